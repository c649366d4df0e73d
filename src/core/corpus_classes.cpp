// Descriptor character classes of a VIN schema and the covering corpora
// built over them (pairwise, seeded).
#include <algorithm>
#include <bit>

#include "tamberok/errors.h"
#include "tamberok/generate.h"
#include "tamberok/year.h"

namespace tamberok::generate {

namespace {

// A set of VIN_ALPHABET characters: bit i stands for VIN_ALPHABET[i].
using CharMask = uint64_t;
constexpr size_t ALPHABET_SIZE = 33;
static_assert(VIN_ALPHABET.size() == ALPHABET_SIZE);
constexpr CharMask ALL_CHARS = (CharMask{1} << ALPHABET_SIZE) - 1;
constexpr CharMask DIGITS = ALL_CHARS & ~((CharMask{1} << 23) - 1);  // the alphabet's last ten

constexpr size_t VARIED = VARIED_POSITIONS.size();

// One token of a pattern key laid out as a VIN key.
struct KeyToken {
  enum class Kind : uint8_t { any, members, byte } kind = Kind::any;
  std::string_view members;  // between "[" and "]"
  unsigned char byte = 0;
};

// The token that starts at `at` (inside the key); moves `at` past it.
KeyToken next_token(std::string_view key, size_t& at) {
  char b = key[at];
  if (b == '*' || b == '_') {
    ++at;
    return {KeyToken::Kind::any};
  }
  if (b == '[') {
    size_t close = key.find(']', at + 1);
    if (close != std::string_view::npos) {
      KeyToken t{KeyToken::Kind::members, key.substr(at + 1, close - at - 1)};
      at = close + 1;
      return t;
    }
  }
  // A "[" with no closing bracket is itself the token and matches no VIN
  // character; "#" likewise stands only for itself here.
  ++at;
  return {KeyToken::Kind::byte, {}, static_cast<unsigned char>(b)};
}

bool members_match(std::string_view members, unsigned char ch) {
  size_t m = 0;
  while (m < members.size()) {
    auto lo = static_cast<unsigned char>(members[m]);
    if (m + 2 < members.size() && members[m + 1] == '-') {
      auto hi = static_cast<unsigned char>(members[m + 2]);
      if (lo <= ch && ch <= hi) return true;
      m += 3;
    } else {
      if (lo == ch) return true;
      m += 1;
    }
  }
  return false;
}

bool token_matches(const KeyToken& t, unsigned char ch) {
  switch (t.kind) {
    case KeyToken::Kind::any:
      return true;
    case KeyToken::Kind::members:
      return members_match(t.members, ch);
    case KeyToken::Kind::byte:
      return t.byte == ch;
  }
  return false;
}

CharMask token_mask(const KeyToken& t) {
  if (t.kind == KeyToken::Kind::any) return ALL_CHARS;
  CharMask mask = 0;
  for (size_t c = 0; c < ALPHABET_SIZE; ++c) {
    if (token_matches(t, static_cast<unsigned char>(VIN_ALPHABET[c]))) mask |= CharMask{1} << c;
  }
  return mask;
}

// Per varied position, the alphabet characters that the key admits there;
// a key that ends before a position admits everything at it.
std::array<CharMask, VARIED> varied_masks(std::string_view key) {
  std::array<CharMask, VARIED> out;
  out.fill(ALL_CHARS);
  size_t at = 0;
  size_t k = 0;
  size_t v = 0;
  while (at < key.size() && v < VARIED) {
    KeyToken t = next_token(key, at);
    if (k == VARIED_POSITIONS[v].second) out[v++] = token_mask(t);
    ++k;
  }
  return out;
}

// The characters tried at a VIN position: positions that the check-digit
// rules hold to digits only try digits.
CharMask tried_at(uint32_t vin_position, char wmi3, bool car_like) {
  if (vin_position >= 15) return DIGITS;
  if (wmi3 == '9') return ALL_CHARS;
  if (vin_position == 14) return DIGITS;
  if (vin_position == 13 && car_like) return DIGITS;
  return ALL_CHARS;
}

// Two characters share a class exactly when every key admits both or
// neither, so refining the tried set by each distinct admitted set gives
// the classes; representatives are first members in alphabet order.
std::string classes_of(CharMask tried, std::vector<CharMask>& admitted) {
  for (CharMask& m : admitted) m &= tried;
  std::sort(admitted.begin(), admitted.end());
  admitted.erase(std::unique(admitted.begin(), admitted.end()), admitted.end());
  const int tried_count = std::popcount(tried);
  std::array<uint8_t, ALPHABET_SIZE> label{};
  for (CharMask m : admitted) {
    if (m == 0 || m == tried) continue;  // splits nothing
    std::array<int8_t, 2 * ALPHABET_SIZE> relabel;
    relabel.fill(-1);
    int8_t next = 0;
    for (size_t c = 0; c < ALPHABET_SIZE; ++c) {
      if (((tried >> c) & 1) == 0) continue;
      size_t k = 2 * size_t{label[c]} + ((m >> c) & 1);
      if (relabel[k] < 0) relabel[k] = next++;
      label[c] = static_cast<uint8_t>(relabel[k]);
    }
    if (next == tried_count) break;  // every character alone already
  }
  std::string reps;
  std::array<bool, ALPHABET_SIZE> seen{};
  for (size_t c = 0; c < ALPHABET_SIZE; ++c) {
    if (((tried >> c) & 1) == 0 || seen[label[c]]) continue;
    seen[label[c]] = true;
    reps.push_back(VIN_ALPHABET[c]);
  }
  return reps;
}

std::pair<size_t, size_t> schema_patterns(const Db& db, int32_t schema_id) {
  return db.patterns().equal_range([](const PatternRow& p) { return p.vin_schema_id; }, schema_id);
}

}  // namespace

bool key_char_matches(std::string_view key, size_t k, char ch) {
  size_t at = 0;
  for (size_t index = 0; at < key.size(); ++index) {
    KeyToken t = next_token(key, at);
    if (index == k) return token_matches(t, static_cast<unsigned char>(ch));
  }
  return true;
}

std::array<std::string, 12> position_classes(const Db& db, int32_t schema_id, char wmi3,
                                             bool car_like) {
  auto [first, end] = schema_patterns(db, schema_id);
  Table<PatternRow> patterns = db.patterns();
  // Equal StrIds are equal texts, and repeated keys never split a class.
  std::vector<StrId> keys;
  keys.reserve(end - first);
  for (size_t i = first; i < end; ++i) keys.push_back(patterns[i].keys);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::vector<std::array<CharMask, VARIED>> masks;
  masks.reserve(keys.size());
  for (StrId key : keys) masks.push_back(varied_masks(db.string(key)));

  std::array<std::string, 12> out;
  std::vector<CharMask> admitted;
  for (size_t p = 0; p < VARIED; ++p) {
    admitted.clear();
    for (const auto& m : masks) admitted.push_back(m[p]);
    out[p] = classes_of(tried_at(VARIED_POSITIONS[p].first, wmi3, car_like), admitted);
  }
  return out;
}

// ---- Covering rows ----------------------------------------------------------------

namespace {

constexpr uint32_t UNSET = UINT32_MAX;

// The uncovered pairs (i, a, j, b) of one schema, i < j. Each tuple has a
// bit whose index grows with the tuple in lexicographic order, so the set
// behaves as an ordered set: the smallest tuple is the first set bit, and
// as bits are only cleared, a cursor never has to move back.
class PairSet {
 public:
  explicit PairSet(const ClassCounts& counts) : counts_(counts) {
    size_t base = 0;
    for (size_t i = 0; i < VARIED; ++i) {
      size_t after = 0;
      for (size_t j = i + 1; j < VARIED; ++j) {
        offset_[i][j] = after;
        after += counts[j];
      }
      base_[i] = base;
      stride_[i] = after;
      base += counts[i] * after;
    }
    remaining_ = base;
    bits_.assign((base + 63) / 64, ~uint64_t{0});
    if (base % 64 != 0) bits_.back() = (uint64_t{1} << (base % 64)) - 1;
  }

  bool empty() const { return remaining_ == 0; }

  bool contains(size_t i, uint32_t a, size_t j, uint32_t b) const {
    size_t at = index(i, a, j, b);
    return (bits_[at / 64] >> (at % 64)) & 1;
  }

  void erase(size_t i, uint32_t a, size_t j, uint32_t b) {
    size_t at = index(i, a, j, b);
    uint64_t bit = uint64_t{1} << (at % 64);
    if (bits_[at / 64] & bit) {
      bits_[at / 64] &= ~bit;
      --remaining_;
    }
  }

  struct Pair {
    size_t i;
    uint32_t a;
    size_t j;
    uint32_t b;
  };
  // The smallest tuple; the set must not be empty.
  Pair smallest() {
    while (cursor_ < bits_.size() && bits_[cursor_] == 0) ++cursor_;
    if (cursor_ == bits_.size()) throw Panic("tamberok: smallest of an empty pair set");
    size_t at = cursor_ * 64 + static_cast<size_t>(std::countr_zero(bits_[cursor_]));
    size_t i = 0;
    while (at >= base_[i] + counts_[i] * stride_[i]) ++i;
    size_t rest = at - base_[i];
    Pair pair{i, static_cast<uint32_t>(rest / stride_[i]), i + 1, 0};
    rest %= stride_[i];
    while (rest >= counts_[pair.j]) rest -= counts_[pair.j++];
    pair.b = static_cast<uint32_t>(rest);
    return pair;
  }

 private:
  size_t index(size_t i, uint32_t a, size_t j, uint32_t b) const {
    if (i >= j || j >= VARIED || a >= counts_[i] || b >= counts_[j]) {
      throw Panic("tamberok: class pair outside the class counts");
    }
    return base_[i] + a * stride_[i] + offset_[i][j] + b;
  }

  ClassCounts counts_;
  std::array<size_t, VARIED> base_{};
  std::array<size_t, VARIED> stride_{};
  std::array<std::array<size_t, VARIED>, VARIED> offset_{};
  size_t remaining_ = 0;
  size_t cursor_ = 0;
  std::vector<uint64_t> bits_;
};

// Completes a row in position order, each free position taking the class
// that covers most outstanding pairs with the positions set so far (the
// larger class on ties), then retires every pair the row covers.
CoveringRow fill_and_retire(CoveringRow row, const ClassCounts& counts, PairSet& pairs) {
  for (size_t p = 0; p < VARIED; ++p) {
    if (row[p] != UNSET) continue;
    uint32_t best = 0;
    int best_score = -1;
    for (uint32_t v = 0; v < counts[p]; ++v) {
      int score = 0;
      for (size_t q = 0; q < VARIED; ++q) {
        if (q == p || row[q] == UNSET) continue;
        bool open = q < p ? pairs.contains(q, row[q], p, v) : pairs.contains(p, v, q, row[q]);
        score += open ? 1 : 0;
      }
      if (score >= best_score) {
        best_score = score;
        best = v;
      }
    }
    row[p] = best;
  }
  for (size_t i = 0; i < VARIED; ++i) {
    for (size_t j = i + 1; j < VARIED; ++j) pairs.erase(i, row[i], j, row[j]);
  }
  return row;
}

CoveringRow unset_row() {
  CoveringRow row;
  row.fill(UNSET);
  return row;
}

// Covers what is left of the set, one row per smallest uncovered pair.
template <typename Sink>
void cover_remaining(const ClassCounts& counts, PairSet& pairs, Sink sink) {
  while (!pairs.empty()) {
    PairSet::Pair seed = pairs.smallest();
    CoveringRow row = unset_row();
    row[seed.i] = seed.a;
    row[seed.j] = seed.b;
    sink(fill_and_retire(row, counts, pairs));
  }
}

// One schema's share of a covering corpus.
struct SchemaCorpus {
  int32_t schema_id;
  std::string_view wmi;
  std::array<std::string, 12> classes;
  ClassCounts counts;
  int32_t year;
};

// The VIN of a row: the representatives written into a VIN key. Positions
// 12-14 of a six-character WMI are the WMI's own, so the row's classes there
// are left out.
std::optional<std::string> emit(const SchemaCorpus& s, const CoveringRow& row) {
  std::string key = "*****|********";
  for (size_t k = 0; k < VARIED; ++k) {
    if (s.wmi.size() == 6 && k >= 6 && k <= 8) continue;
    if (row[k] >= s.classes[k].size()) throw Panic("tamberok: row class outside its class list");
    key[VARIED_POSITIONS[k].second] = s.classes[k][row[k]];
  }
  return build_vin(s.wmi, key, s.year);
}

// Runs `body` over every schema of schema_to_wmi, stopping before a schema
// once `limit` (0: none) VINs are out; a started schema always finishes.
template <typename Body>
std::vector<std::string> for_each_schema(const Db& db, uint64_t limit, int32_t current_year,
                                         Body body) {
  std::vector<SchemaEntry> schemas = schema_to_wmi(db);
  std::vector<std::pair<int32_t, std::string_view>> wmis = wmis_by_id(db);
  const int32_t max_year = current_year + 2;
  std::vector<std::string> out;
  for (const SchemaEntry& entry : schemas) {
    if (limit != 0 && out.size() >= limit) break;
    std::optional<std::string_view> wmi = find_wmi(wmis, entry.wmi_id);
    if (!wmi) continue;
    char wmi3 = wmi->size() >= 3 ? (*wmi)[2] : 'A';
    SchemaCorpus s{entry.vin_schema_id,
                   *wmi,
                   position_classes(db, entry.vin_schema_id, wmi3, car_like(db, *wmi)),
                   {},
                   schema_year(entry.year_from, entry.year_to, max_year)};
    for (size_t p = 0; p < VARIED; ++p) s.counts[p] = static_cast<uint32_t>(s.classes[p].size());
    PairSet pairs(s.counts);
    auto sink = [&](const CoveringRow& row) {
      if (std::optional<std::string> vin = emit(s, row)) out.push_back(std::move(*vin));
    };
    body(s, pairs, sink);
  }
  return out;
}

// The row that a pattern key seeds: a position whose classes the key tells
// apart is pinned to the first class it admits; a position where it admits
// every class, or none, is left free.
CoveringRow seed_row(std::string_view key, const std::array<std::string, 12>& classes) {
  std::array<CharMask, VARIED> masks = varied_masks(key);
  CoveringRow row = unset_row();
  for (size_t p = 0; p < VARIED; ++p) {
    std::optional<uint32_t> first;
    bool all = true;
    for (size_t c = 0; c < classes[p].size(); ++c) {
      size_t letter = VIN_ALPHABET.find(classes[p][c]);
      bool admitted = letter != std::string_view::npos && ((masks[p] >> letter) & 1);
      if (admitted && !first) first = static_cast<uint32_t>(c);
      all = all && admitted;
    }
    if (first && !all) row[p] = *first;
  }
  return row;
}

}  // namespace

std::vector<CoveringRow> covering_rows(const ClassCounts& counts) {
  for (uint32_t c : counts) {
    if (c == 0) throw Panic("tamberok: a varied position without classes");
  }
  PairSet pairs(counts);
  std::vector<CoveringRow> rows;
  cover_remaining(counts, pairs, [&](const CoveringRow& row) { rows.push_back(row); });
  return rows;
}

std::vector<std::string> pairwise(const Db& db, uint64_t limit, int32_t current_year) {
  return for_each_schema(db, limit, current_year,
                         [](const SchemaCorpus& s, PairSet& pairs, auto& sink) {
                           cover_remaining(s.counts, pairs, sink);
                         });
}

std::vector<std::string> seeded(const Db& db, uint64_t limit, int32_t current_year) {
  Table<PatternRow> patterns = db.patterns();
  std::vector<StrId> seen;  // keys of the current schema, sorted
  return for_each_schema(
      db, limit, current_year, [&](const SchemaCorpus& s, PairSet& pairs, auto& sink) {
        seen.clear();
        auto [first, end] = schema_patterns(db, s.schema_id);
        for (size_t i = first; i < end; ++i) {
          StrId key = patterns[i].keys;
          auto at = std::lower_bound(seen.begin(), seen.end(), key);
          if (at != seen.end() && *at == key) continue;
          seen.insert(at, key);
          sink(fill_and_retire(seed_row(db.string(key), s.classes), s.counts, pairs));
        }
        cover_remaining(s.counts, pairs, sink);
      });
}

}  // namespace tamberok::generate
