#include "tamberok/schema_index.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

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

// A class key: its token list spread over the literal fields and class
// positions when the text compiled to tokens.
KeyMatcher class_matcher(const matcher::Compiled& compiled, std::vector<ClassPosition>& classes) {
  KeyMatcher m;
  m.compiled = &compiled;
  if (compiled.kind != matcher::Compiled::Kind::Tokens) return m;
  if (compiled.tokens.size() > 16) return m;  // the compiled text decides
  m.tokens = true;
  m.length = static_cast<uint8_t>(compiled.tokens.size());
  m.first_class = static_cast<uint32_t>(classes.size());
  for (size_t i = 0; i < compiled.tokens.size(); ++i) {
    const matcher::Token& token = compiled.tokens[i];
    if (token.kind == matcher::Token::Kind::Literal) {
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
  std::unordered_map<StrId, const matcher::Compiled*, FxHash> compiled;
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
        auto [it, fresh] = compiled.try_emplace(p.keys_regex, nullptr);
        if (fresh) {
          out->compiled.push_back(
              std::make_unique<const matcher::Compiled>(matcher::compile(db.string(p.keys_regex))));
          it->second = out->compiled.back().get();
        }
        out->keys.push_back(class_matcher(*it->second, out->classes));
      } else {
        out->keys.push_back(plain_matcher(db.string(p.keys)));
      }
      rows_of_key.emplace_back();
    }
    rows_of_key[slot->second].push_back({static_cast<uint32_t>(j), p.id});
  }
  for (size_t k = 0; k < out->keys.size(); ++k) {
    out->keys[k].rows_begin = static_cast<uint32_t>(out->matchable.size());
    out->matchable.insert(out->matchable.end(), rows_of_key[k].begin(), rows_of_key[k].end());
    out->keys[k].rows_end = static_cast<uint32_t>(out->matchable.size());
  }
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

SchemaIndex::SchemaIndex(const Db& db) : db_(db) {
  Table<WmiVinSchemaRow> links = db.wmi_vin_schemas();
  ids_.reserve(links.size());
  for (size_t i = 0; i < links.size(); ++i) ids_.push_back(links[i].vin_schema_id);
  std::sort(ids_.begin(), ids_.end());
  ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
  slots_ = std::make_unique<std::atomic<const CompiledSchema*>[]>(ids_.size());
  for (size_t i = 0; i < ids_.size(); ++i) slots_[i].store(nullptr, std::memory_order_relaxed);
  // The table is sorted by wmi_id: each WMI's links are one run.
  for (size_t i = 0; i < links.size();) {
    int32_t wmi_id = links[i].wmi_id;
    size_t j = i + 1;
    while (j < links.size() && links[j].wmi_id == wmi_id) ++j;
    links_.try_emplace(wmi_id, WmiLinks{static_cast<uint32_t>(i), static_cast<uint32_t>(j),
                                        static_cast<uint32_t>(links_.size())});
    i = j;
  }
  walks_ = std::make_unique<std::atomic<const WmiWalks*>[]>(links_.size());
  for (size_t i = 0; i < links_.size(); ++i) walks_[i].store(nullptr, std::memory_order_relaxed);
}

uint32_t SchemaIndex::slot_of(int32_t vin_schema_id) const {
  auto at = std::lower_bound(ids_.begin(), ids_.end(), vin_schema_id);
  if (at == ids_.end() || *at != vin_schema_id) throw Panic("schema index: a schema without link");
  return static_cast<uint32_t>(at - ids_.begin());
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
    LinkVisit visit{static_cast<uint32_t>(i), slot_of(link.vin_schema_id), link.year_from, true};
    for (size_t j = start; j < out.size(); ++j) {
      if (out[j].slot == visit.slot) {
        visit.priority = out[j].priority;
        visit.first_visit = false;
        break;
      }
    }
    out.push_back(visit);
  }
}

// The walks of every year, precomputed: the set of covering links only
// changes where a link begins or ends, so one walk per such year serves
// every year up to the next one.
std::unique_ptr<const SchemaIndex::WmiWalks> SchemaIndex::walks_of(const WmiLinks& w) const {
  Table<WmiVinSchemaRow> links = db_.wmi_vin_schemas();
  auto out = std::make_unique<WmiWalks>();
  add_visits(w.first, w.end, false, 0, out->visits);
  out->all_end = static_cast<uint32_t>(out->visits.size());
  std::vector<int64_t> bounds;
  for (size_t i = w.first; i < w.end; ++i) {
    WmiVinSchemaRow link = links[i];
    int32_t upper = link.year_to == NONE_I32 ? DECODER_OPEN_YEAR_TO : link.year_to;
    bounds.push_back(link.year_from);
    bounds.push_back(int64_t{upper} + 1);
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  for (int64_t from : bounds) {
    if (from > INT32_MAX) break;  // no year lies there
    YearRun run{static_cast<int32_t>(from), static_cast<uint32_t>(out->visits.size()), 0};
    add_visits(w.first, w.end, true, run.from, out->visits);
    run.end = static_cast<uint32_t>(out->visits.size());
    out->runs.push_back(run);
  }
  return out;
}

const SchemaIndex::WmiWalks& SchemaIndex::walks(const WmiLinks& w) const {
  std::atomic<const WmiWalks*>& slot = walks_[w.slot];
  const WmiWalks* ready = slot.load(std::memory_order_acquire);
  if (ready != nullptr) return *ready;
  // As with schemas: the first thread to publish wins.
  std::unique_ptr<const WmiWalks> built = walks_of(w);
  const WmiWalks* expected = nullptr;
  if (slot.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return *built.release();
  }
  return *expected;
}

std::span<const LinkVisit> SchemaIndex::visits(int32_t wmi_id, bool has_year, int32_t year) const {
  auto it = links_.find(wmi_id);
  if (it == links_.end()) {
    thread_local std::vector<LinkVisit> scratch;
    scratch.clear();
    auto [first, end] = links(wmi_id);
    add_visits(first, end, has_year, year, scratch);
    return scratch;
  }
  const WmiWalks& w = walks(it->second);
  const LinkVisit* visits = w.visits.data();
  if (!has_year) return {visits, visits + w.all_end};
  auto after = std::upper_bound(w.runs.begin(), w.runs.end(), year,
                                [](int32_t y, const YearRun& run) { return y < run.from; });
  if (after == w.runs.begin()) return {};
  const YearRun& run = *(after - 1);
  return {visits + run.begin, visits + run.end};
}

SchemaIndex::~SchemaIndex() {
  for (size_t i = 0; i < ids_.size(); ++i) delete slots_[i].load(std::memory_order_relaxed);
  for (size_t i = 0; i < links_.size(); ++i) delete walks_[i].load(std::memory_order_relaxed);
}

const CompiledSchema& SchemaIndex::schema(int32_t vin_schema_id) const {
  return schema_in_slot(slot_of(vin_schema_id));
}

const CompiledSchema& SchemaIndex::schema_in_slot(uint32_t at) const {
  std::atomic<const CompiledSchema*>& slot = slots_[at];
  const CompiledSchema* ready = slot.load(std::memory_order_acquire);
  if (ready != nullptr) return *ready;
  // Threads that meet a new schema at once each compile it; the first to
  // publish wins and the others drop their copy.
  std::unique_ptr<const CompiledSchema> built = compile_schema(db_, ids_[at]);
  const CompiledSchema* expected = nullptr;
  if (slot.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return *built.release();
  }
  return *expected;
}

std::pair<size_t, size_t> SchemaIndex::links(int32_t wmi_id) const {
  auto it = links_.find(wmi_id);
  if (it == links_.end()) {
    return db_.wmi_vin_schemas().equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; },
                                             wmi_id);
  }
  return {it->second.first, it->second.end};
}

const SchemaIndex& schema_index(const Db& db) {
  return db.schema_index<SchemaIndex>([&] { return std::make_shared<const SchemaIndex>(db); });
}

}  // namespace tamberok
