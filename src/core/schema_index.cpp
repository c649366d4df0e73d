#include "tamberok/schema_index.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "tamberok/thread_state.h"
#include "tamberok/decode.h"
#include "tamberok/hash.h"

namespace tamberok {

namespace {

// Make, manufacturer, model year and vehicle type come from the WMI row and
// the year rule, never from patterns.
bool is_wmi_element(int32_t id) {
  return id == element_id::MAKE || id == element_id::MANUFACTURER || id == element_id::MODEL_YEAR ||
         id == element_id::VEHICLE_TYPE;
}

// The visits of a WMI that the index keeps no entry for.
thread_local std::vector<LinkVisit> SCRATCH_VISITS;

void set_literal(KeyMatcher& m, size_t i, unsigned char c) {
  uint64_t shift = 8 * (i % 8);
  m.literal[i / 8] |= uint64_t{c} << shift;
  m.care[i / 8] |= uint64_t{0xFF} << shift;
}

KeyMatcher plain_matcher(std::string_view keys) {
  KeyMatcher m;
  if (keys.size() > 16) {
    m.length = LONG_KEY;
    m.long_keys = keys;
    return m;
  }
  m.length = static_cast<uint8_t>(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    char k = keys[i];
    if (k != '*' && k != '_') set_literal(m, i, static_cast<unsigned char>(k));
  }
  return m;
}

// A class key of at most 16 tokens: its token list spread over the literal
// fields, the positions of '.' and the class positions.
KeyMatcher class_matcher(const matcher::Compiled& compiled, std::vector<ClassPosition>& classes) {
  KeyMatcher m;
  m.length = static_cast<uint8_t>(compiled.tokens.size());
  m.first_class = static_cast<uint32_t>(classes.size());
  for (size_t i = 0; i < compiled.tokens.size(); ++i) {
    const matcher::Token& token = compiled.tokens[i];
    if (token.kind == matcher::Token::Kind::Any) {
      m.any |= static_cast<uint16_t>(1u << i);
    } else if (token.kind == matcher::Token::Kind::Literal) {
      set_literal(m, i, token.literal);
    } else if (token.kind == matcher::Token::Kind::Class) {
      ClassPosition c{static_cast<uint8_t>(i), {}};
      std::memcpy(c.bytes, compiled.sets[i].data(), sizeof c.bytes);
      classes.push_back(c);
      ++m.class_count;
    }
  }
  return m;
}

std::unique_ptr<const CompiledSchema> compile_schema(const Db& db, int32_t vin_schema_id) {
  auto out = std::make_unique<CompiledSchema>();
  out->db = &db;
  Table<VinSchemaRow> schemas = db.vin_schemas();
  size_t at = schemas.lower_bound(0, schemas.size(),
                                  [&](const VinSchemaRow& r) { return r.id < vin_schema_id; });
  out->decodes = at < schemas.size() && schemas[at].id == vin_schema_id && !(schemas[at].skip & 1);

  Table<PatternRow> patterns = db.patterns();
  auto [first, end] =
      patterns.equal_range([](const PatternRow& r) { return r.vin_schema_id; }, vin_schema_id);
  // Distinct keys by (class flag, StrId of the text matched): equal StrIds
  // are equal texts.
  std::unordered_map<uint64_t, uint32_t> key_slots;
  std::vector<std::vector<MatchableRow>> rows_of_key;
  for (size_t j = first; j < end; ++j) {
    PatternRow p = patterns[j];
    if (p.element_id < 0 || is_wmi_element(p.element_id)) continue;
    std::optional<ElementRow> element = db.element(p.element_id);
    if (element && db.string(p.keys).find('#') != std::string_view::npos) {
      out->formulas.push_back(static_cast<uint32_t>(j));
    }
    if (!element || element->included != 1 || (element->excluded & 1) != 0) continue;
    bool has_class = p.has_class & 1;
    uint64_t slot_key = (uint64_t{has_class} << 32) | (has_class ? p.keys_regex : p.keys);
    auto [slot, added] = key_slots.try_emplace(slot_key, static_cast<uint32_t>(out->keys.size()));
    if (added) {
      if (has_class) {
        // Each distinct class text is compiled once: its StrId is the slot key.
        std::optional<matcher::Compiled> tokens =
            matcher::compile_tokens_only(db.string(p.keys_regex));
        if (tokens && tokens->tokens.size() <= 16) {
          out->keys.push_back(class_matcher(*tokens, out->classes));
        } else if (tokens) {
          // Matching reads only the byte sets, and the schemas of a long run
          // all stay in memory: the token list goes.
          tokens->tokens = {};
          out->compiled.push_back(std::make_unique<const matcher::Compiled>(std::move(*tokens)));
          KeyMatcher m;
          m.compiled = out->compiled.back().get();
          out->keys.push_back(m);
        } else {
          KeyMatcher m;
          m.regex = true;
          m.regex_text = p.keys_regex;
          out->keys.push_back(m);
        }
      } else {
        out->keys.push_back(plain_matcher(db.string(p.keys)));
      }
      rows_of_key.emplace_back();
    }
    rows_of_key[slot->second].push_back({static_cast<uint32_t>(j), p.id});
  }
  size_t rows = 0;
  for (const std::vector<MatchableRow>& of_key : rows_of_key) rows += of_key.size();
  out->matchable.reserve(rows);
  for (size_t k = 0; k < out->keys.size(); ++k) {
    out->keys[k].rows_begin = static_cast<uint32_t>(out->matchable.size());
    out->matchable.insert(out->matchable.end(), rows_of_key[k].begin(), rows_of_key[k].end());
    out->keys[k].rows_end = static_cast<uint32_t>(out->matchable.size());
  }
  // Kept for the life of the process: no room to grow.
  out->keys.shrink_to_fit();
  out->classes.shrink_to_fit();
  out->formulas.shrink_to_fit();
  out->compiled.shrink_to_fit();
  return out;
}

}  // namespace

PaddedKey::PaddedKey(std::string_view text)
    : key(text), has_line_feed(text.find('\n') != std::string_view::npos) {
  char bytes[16] = {};
  if (!text.empty()) std::memcpy(bytes, text.data(), std::min<size_t>(text.size(), 16));
  std::memcpy(words, bytes, 16);
}

bool link_covers(const WmiVinSchemaRow& link, bool has_year, int32_t year) {
  if (!has_year) return true;
  int32_t upper = link.year_to == NONE_I32 ? DECODER_OPEN_YEAR_TO : link.year_to;
  return link.year_from <= year && year <= upper;
}

SchemaCell::~SchemaCell() {
  delete compiled.load(std::memory_order_relaxed);
}

SchemaIndex::WmiEntry::~WmiEntry() {
  delete walks.load(std::memory_order_relaxed);
}

// Room for every WMI row id and every schema a link names; nothing else is
// ever asked for by the decoder.
SchemaIndex::SchemaIndex(const Db& db)
    : db_(db), wmis_(db.wmis().size()), by_row_(db.vin_schemas().size()) {}

SchemaIndex::~SchemaIndex() {
  wmis_.for_each([](uint64_t word) { delete reinterpret_cast<const WmiEntry*>(word); });
  for (size_t i = 0; i < by_row_.size(); ++i) delete by_row_[i].load(std::memory_order_relaxed);
  if (const PublishedSlots* others = others_.load(std::memory_order_relaxed)) {
    others->for_each([](uint64_t word) { delete reinterpret_cast<const SchemaCell*>(word); });
    delete others;
  }
}

std::pair<size_t, size_t> SchemaIndex::search_links(int32_t wmi_id) const {
  // The table is sorted by wmi_id: each WMI's links are one run.
  return db_.wmi_vin_schemas().equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; },
                                           wmi_id);
}

const SchemaIndex::WmiEntry* SchemaIndex::entry(int32_t wmi_id) const {
  const uint64_t hash = int_hash(wmi_id);
  auto same = [&](uint64_t word) {
    return reinterpret_cast<const WmiEntry*>(word)->wmi_id == wmi_id;
  };
  if (uint64_t word = wmis_.find(hash, same)) return reinterpret_cast<const WmiEntry*>(word);
  auto [first, end] = search_links(wmi_id);
  auto made = std::make_unique<WmiEntry>(wmi_id, static_cast<uint32_t>(first),
                                         static_cast<uint32_t>(end));
  uint64_t word = wmis_.insert(hash, reinterpret_cast<uint64_t>(made.get()), same);
  if (word == reinterpret_cast<uint64_t>(made.get())) made.release();
  return reinterpret_cast<const WmiEntry*>(word);
}

const SchemaCell& SchemaIndex::cell(int32_t vin_schema_id) const {
  // A schema of the table has the slot of its row: the cells of a WMI's
  // schemas then share a few pages instead of each dirtying one of its own.
  Table<VinSchemaRow> schemas = db_.vin_schemas();
  size_t at = schemas.lower_bound(0, schemas.size(),
                                  [&](const VinSchemaRow& r) { return r.id < vin_schema_id; });
  if (at < schemas.size() && schemas[at].id == vin_schema_id) {
    return publish_once(by_row_[at], [&] { return std::make_unique<const SchemaCell>(vin_schema_id); });
  }
  // A link may name a schema the table lacks: its patterns still count.
  const PublishedSlots& others = publish_once(
      others_, [&] { return std::make_unique<const PublishedSlots>(db_.wmi_vin_schemas().size()); });
  const uint64_t hash = int_hash(vin_schema_id);
  auto same = [&](uint64_t word) {
    return reinterpret_cast<const SchemaCell*>(word)->vin_schema_id == vin_schema_id;
  };
  if (uint64_t word = others.find(hash, same)) return *reinterpret_cast<const SchemaCell*>(word);
  auto made = std::make_unique<SchemaCell>(vin_schema_id);
  uint64_t word = others.insert(hash, reinterpret_cast<uint64_t>(made.get()), same);
  if (word == 0) throw Panic("schema index: more schemas than links");
  if (word == reinterpret_cast<uint64_t>(made.get())) made.release();
  return *reinterpret_cast<const SchemaCell*>(word);
}

// The walk of a pass over links [first, end): a schema's priority and its
// formulas come from the first covering link that names it.
void SchemaIndex::add_visits(size_t first, size_t end, bool has_year, int32_t year,
                             std::vector<LinkVisit>& out) const {
  Table<WmiVinSchemaRow> links = db_.wmi_vin_schemas();
  size_t start = out.size();
  for (size_t i = first; i < end; ++i) {
    WmiVinSchemaRow link = links[i];
    if (!link_covers(link, has_year, year)) continue;
    LinkVisit visit{static_cast<uint32_t>(i), &cell(link.vin_schema_id), link.year_from, true};
    for (size_t j = start; j < out.size(); ++j) {
      if (out[j].schema == visit.schema) {
        visit.priority = out[j].priority;
        visit.first_visit = false;
        break;
      }
    }
    out.push_back(visit);
  }
}

std::unique_ptr<const SchemaIndex::WmiWalks> SchemaIndex::walks_of(const WmiEntry& w) const {
  Table<WmiVinSchemaRow> links = db_.wmi_vin_schemas();
  std::vector<int64_t> bounds;
  for (size_t i = w.first; i < w.end; ++i) {
    WmiVinSchemaRow link = links[i];
    int32_t upper = link.year_to == NONE_I32 ? DECODER_OPEN_YEAR_TO : link.year_to;
    bounds.push_back(link.year_from);
    bounds.push_back(int64_t{upper} + 1);
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  while (!bounds.empty() && bounds.back() > INT32_MAX) bounds.pop_back();  // no year lies there
  auto out = std::make_unique<WmiWalks>(bounds.size());
  for (size_t i = 0; i < bounds.size(); ++i) out->runs[i].from = static_cast<int32_t>(bounds[i]);
  return out;
}

const std::vector<LinkVisit>& SchemaIndex::walk(const WmiEntry& e, const Walk& w,
                                               bool has_year) const {
  return publish_once(w.visits, [&] {
    auto out = std::make_unique<std::vector<LinkVisit>>();
    add_visits(e.first, e.end, has_year, w.from, *out);
    out->shrink_to_fit();
    return out;
  });
}

std::span<const LinkVisit> SchemaIndex::visits(int32_t wmi_id, bool has_year, int32_t year) const {
  const WmiEntry* e = entry(wmi_id);
  if (e == nullptr) {
    std::vector<LinkVisit>& scratch = SCRATCH_VISITS;
    scratch.clear();
    auto [first, end] = search_links(wmi_id);
    add_visits(first, end, has_year, year, scratch);
    return scratch;
  }
  const WmiWalks& walks = publish_once(e->walks, [&] { return walks_of(*e); });
  if (!has_year) return walk(*e, walks.all, false);
  const Walk* begin = walks.runs.get();
  const Walk* after = std::upper_bound(begin, begin + walks.run_count, year,
                                       [](int32_t y, const Walk& run) { return y < run.from; });
  if (after == begin) return {};
  return walk(*e, *(after - 1), true);
}

const CompiledSchema& SchemaIndex::schema(int32_t vin_schema_id) const {
  return compiled(cell(vin_schema_id));
}

const CompiledSchema& SchemaIndex::compiled(const SchemaCell& cell) const {
  // Threads that meet a new schema at once each compile it; the first to
  // publish wins and the others drop their copy.
  return publish_once(cell.compiled, [&] { return compile_schema(db_, cell.vin_schema_id); });
}

std::pair<size_t, size_t> SchemaIndex::links(int32_t wmi_id) const {
  if (const WmiEntry* e = entry(wmi_id)) return {e->first, e->end};
  return search_links(wmi_id);
}

const SchemaIndex& schema_index(const Db& db) {
  return db.derived<SchemaIndex>(Db::DerivedId::schema_index,
                                 [&] { return std::make_unique<const SchemaIndex>(db); });
}

void thread_state::prepare_schema_index() {
  (void)&SCRATCH_VISITS;
}

void thread_state::scratch_schema_index(std::vector<ScratchBuffer>& out) {
  out.push_back({"SCRATCH_VISITS", held_bytes(SCRATCH_VISITS)});
}

}  // namespace tamberok
