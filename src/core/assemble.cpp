#include "tamberok/assemble.h"

#include <algorithm>
#include <cstring>

#include "tamberok/element_set.h"
#include "tamberok/emplace.h"
#include "tamberok/lazy.h"
#include "tamberok/tables.h"
#include "tamberok/text.h"
#include "tamberok/thread_state.h"
#include "tamberok/trace.h"

namespace tamberok {

namespace {

// Compared as views: their == looks at the lengths before the bytes.
bool counts_as_pattern(const DecodingItem& item) {
  std::string_view source = item.source;
  std::string_view value = item.value;
  bool pattern_source =
      source == "Pattern" || source == "Formula Pattern" || source == "EngineModelPattern";
  return pattern_source && !value.empty() && value != "Not Applicable";
}

// True when `a` ranks above `b`: fewer penalties, then more weight, more
// pattern values, a later year (a missing year ranks lowest).
bool ranks_above(const PassScore& a, const PassScore& b) {
  if (TAMBEROK_TRACE_IF(a.penalty != b.penalty, pass_by_penalty)) return a.penalty > b.penalty;
  if (TAMBEROK_TRACE_IF(a.weight_sum != b.weight_sum, pass_by_weight))
    return a.weight_sum > b.weight_sum;
  if (TAMBEROK_TRACE_IF(a.pattern_count != b.pattern_count, pass_by_pattern_count))
    return a.pattern_count > b.pattern_count;
  // nullopt compares below every year
  if (TAMBEROK_TRACE_IF(a.year != b.year, pass_by_year)) return a.year > b.year;
  // Equal scores: the lower pass id (the decoded year) wins.
  TAMBEROK_TRACE(pass_by_pass_id);
  return a.pass_id < b.pass_id;
}

ElementFacts facts_of(const Db& db, int32_t element_id) {
  ElementFacts facts;
  facts.row = db.element(element_id);
  if (facts.row) {
    facts.shown = db.is_public(*facts.row);
    facts.rank = group_rank(db.string(facts.row->group_name));
  }
  facts.lookup_table = tables::lookup_table_index_of(element_id);
  return facts;
}

// The facts of each element id below FLAT, made on the first ask and shared
// by every thread: they depend on the artifact alone. Every result asks for
// each of its elements twice (weight and display), so they lie in one
// array. Only the ids of the element table need more than their lookup
// table, which keeps the first decode of a process cheap.
struct FactsIndex : Db::Derived {
  static constexpr int32_t FLAT = 1024;
  explicit FactsIndex(const Db& db) {
    // Ids up to the table's largest below FLAT (the catalogue's are in the
    // hundreds); the facts of the others are those of no element.
    Table<ElementRow> rows = db.element_defs();
    int32_t end = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].id >= 0 && rows[i].id < FLAT) end = std::max(end, rows[i].id + 1);
    }
    by_id.resize(static_cast<size_t>(end));
    for (int32_t id = 0; id < end; ++id) {
      by_id[static_cast<size_t>(id)].lookup_table = tables::lookup_table_index_of(id);
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      int32_t id = rows[i].id;
      if (id < 0 || id >= end || by_id[static_cast<size_t>(id)].row) continue;
      by_id[static_cast<size_t>(id)] = facts_of(db, id);
    }
  }
  std::vector<ElementFacts> by_id;
};

const FactsIndex& facts_index(const Db& db) {
  return db.derived<FactsIndex>(Db::DerivedId::element_facts,
                                [&] { return std::make_unique<const FactsIndex>(db); });
}

// The facts of an element id beyond the flat table.
thread_local ElementFacts OTHER_FACTS;

// An element of the result in its display order.
struct Slot {
  int32_t rank;
  int32_t element_id;
  size_t index;  // of the item, which orders equal elements as they came
};
thread_local std::vector<Slot> ORDER;

// The display value of an item: coded values ("XXX") become the name of
// their lookup row; every other value is final.
std::string resolve_value(const Db& db, const ElementFacts& facts, DecodingItem& item) {
  if (item.value != "XXX") return std::move(item.value);
  if (!facts.lookup_table) return item.attribute_id;
  std::optional<int32_t> id = parse_i32(item.attribute_id);
  if (!id) return "";
  std::optional<std::string_view> name = db.lookup(*facts.lookup_table, *id);
  if (!name) return "";
  return std::string(*name);
}

// Whether any byte is below 0x0E, the range that holds tab, line feed and
// carriage return; a word at a time, since nearly no value has one.
bool may_hold_line_breaks(std::string_view text) {
  constexpr uint64_t ONES = 0x0101010101010101;
  constexpr uint64_t HIGHS = 0x8080808080808080;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (((word - ONES * 0x0E) & ~word & HIGHS) != 0) return true;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) < 0x0E) return true;
  }
  return false;
}

void blank_line_breaks(std::string& value) {
  if (!may_hold_line_breaks(value)) return;
  for (char& c : value) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
}

std::optional<int32_t> present(int32_t value) {
  if (value == NONE_I32) return std::nullopt;
  return value;
}

// element_facts with the shared index already at hand, for the loops that
// ask once per item.
class FactsLookup {
 public:
  explicit FactsLookup(const Db& db) : db_(db), index_(facts_index(db)) {}
  const ElementFacts& operator()(int32_t element_id) const {
    if (element_id >= 0 && static_cast<size_t>(element_id) < index_.by_id.size()) {
      return index_.by_id[static_cast<size_t>(element_id)];
    }
    OTHER_FACTS = facts_of(db_, element_id);
    return OTHER_FACTS;
  }

 private:
  const Db& db_;
  const FactsIndex& index_;
};

}  // namespace

const ElementFacts& element_facts(const Db& db, int32_t element_id) {
  return FactsLookup(db)(element_id);
}

int32_t error_penalty(int32_t code) {
  switch (code) {
    case 1:
      return -5;
    case 2:
      return -100;
    case 3:
      return -100;
    case 4:
      return -200;
    case 5:
      return -300;
    case 6:
      return -10;
    case 7:
      return -10000;
    case 8:
      return -1000;
    case 11:
      return -20;
    case 12:
      return -20;
    case 14:
      return -30;
    case 400:
      return -40;
    default:
      return 0;
  }
}

PassScore score_pass(const Db& db, const Pass& pass) {
  PassScore score;
  score.pass_id = pass.pass_id;
  for (int32_t code : pass.error_codes) score.penalty += error_penalty(code);

  // One walk for the weights, the pattern values and the first year item.
  FactsLookup facts(db);
  ElementSet weighed;
  bool year_seen = false;
  for (const DecodingItem& item : pass.items) {
    if (counts_as_pattern(item)) ++score.pattern_count;
    if (!year_seen && item.element_id == element_id::MODEL_YEAR) {
      year_seen = true;
      score.year = parse_i32(item.value);
    }
    if (item.value.empty() || !weighed.insert(item.element_id)) continue;
    if (item.element_id < 0) continue;
    const std::optional<ElementRow>& row = facts(item.element_id).row;
    if (row && row->weight != NONE_I32) score.weight_sum += row->weight;
  }
  return score;
}

DecodeResult assemble_result(const Db& db, std::vector<Pass> passes, std::string vin,
                             std::string wmi, std::string descriptor) {
  std::optional<PassScore> best;
  for (const Pass& pass : passes) {
    PassScore score = score_pass(db, pass);
    if (!best || !ranks_above(*best, score)) best = score;
  }
  auto chosen = best ? std::find_if(passes.begin(), passes.end(),
                                    [&](const Pass& p) { return p.pass_id == best->pass_id; })
                     : passes.end();
  if (chosen == passes.end()) throw Panic("at least one pass ran");
  Pass& pass = *chosen;

  DecodeResult result;
  result.vin = std::move(vin);
  result.wmi = std::move(wmi);
  result.descriptor = std::move(descriptor);
  result.model_year = pass.model_year;
  result.error_codes = std::move(pass.error_codes);
  result.check_digit_valid = pass.check_digit_valid;
  result.corrected_vin = std::move(pass.corrected_vin);

  // Order first, then build each element once, straight into its place.
  FactsLookup facts_of_id(db);
  std::vector<Slot>& order = ORDER;
  order.clear();
  for (size_t i = 0; i < pass.items.size(); ++i) {
    const DecodingItem& item = pass.items[i];
    if (item.to_be_qced || item.element_id < 0) continue;
    const ElementFacts& facts = facts_of_id(item.element_id);
    if (!facts.row || !facts.shown) continue;
    order.push_back({facts.rank, item.element_id, i});
  }
  std::sort(order.begin(), order.end(), [](const Slot& a, const Slot& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.element_id != b.element_id) return a.element_id < b.element_id;
    return a.index < b.index;
  });
  result.elements.reserve(order.size());
  for (const Slot& slot : order) {
    DecodingItem& item = pass.items[slot.index];
    const ElementFacts& facts = facts_of_id(item.element_id);
    const ElementRow& row = *facts.row;
    std::string value = resolve_value(db, facts, item);
    blank_line_breaks(value);
    std::optional<int64_t> created_on;
    if (item.created_on != NONE_I64) created_on = item.created_on;
    // Every member given: a value-initialised element would be zeroed first.
    emplace_aggregate(result.elements, db.string(row.group_name), db.string(row.name),
                      std::move(value), item.element_id, std::move(item.attribute_id),
                      db.string(row.code), db.string(row.data_type), db.string(row.decode),
                      std::move(item.source), present(item.pattern_id), present(item.vin_schema_id),
                      std::move(item.keys), created_on, present(item.wmi_id), item.to_be_qced);
  }
  release_if_large(order);
  return result;
}

void thread_state::prepare_assemble() {
  (void)&OTHER_FACTS;
  (void)&ORDER;
}

void thread_state::scratch_assemble(std::vector<ScratchBuffer>& out) {
  out.push_back({"ORDER", held_bytes(ORDER)});
}

}  // namespace tamberok
