#include "tamberok/errors.h"

#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <memory>

#include "tamberok/thread_state.h"
#include "tamberok/checkdigit.h"
#include "tamberok/flat_cache.h"
#include "tamberok/lazy.h"
#include "tamberok/text.h"

namespace tamberok {

namespace {

using KeyChars = std::vector<std::pair<uint32_t, char32_t>>;

// The last VIN position the scan can reach, plus one.
constexpr uint32_t SCANNED_END = 15;

// Open-ended schema links run to this year for the character check.
constexpr int32_t OPEN_YEAR_TO = 2999;
// Real traffic keeps to a few thousand keys; varied traffic fills the cache
// within the first tens of thousands of VINs, after which its memory stays
// put: it is reserved whole at the first insertion and kept across clears.
constexpr size_t KEY_CHARS_LIMIT = 4096;

// VIN positions whose use by the matched keys is reported.
constexpr uint32_t EXAMINED[] = {4, 5, 6, 7, 8, 11};
constexpr size_t EXAMINED_COUNT = std::size(EXAMINED);

// A set of ASCII characters as a bit mask. The normalised VIN is ASCII, so
// the masks answer every decode; the wider members kept beside them only
// matter to a hand-made VIN.
struct CharMask {
  uint64_t ascii[2] = {0, 0};

  void add(char32_t c) { ascii[c >> 6] |= uint64_t{1} << (c & 63); }
  bool has(char32_t c) const { return (ascii[c >> 6] >> (c & 63)) & 1; }
};

// A position map in the form the scan reads: per VIN position up to 14, the
// set as an ASCII mask, then what only a position in error reads: the
// allowed texts, all in one string.
struct Charsets {
  uint32_t present = 0;  // bit p: VIN position p has a non-empty set
  std::array<CharMask, SCANNED_END> masks;
  // Allowed text of position p: allowed_texts[allowed_at[p], allowed_at[p + 1]).
  std::array<uint32_t, SCANNED_END + 1> allowed_at{};
  std::string allowed_texts;
  std::vector<std::pair<size_t, char32_t>> beyond_ascii;  // (position, character), sorted

  bool has_set(size_t p) const { return (present >> p) & 1; }
  bool contains(size_t p, char32_t c) const {
    if (c < 128) return masks[p].has(c);
    return std::binary_search(beyond_ascii.begin(), beyond_ascii.end(), std::pair{p, c});
  }
  std::string_view allowed(size_t p) const {
    return std::string_view(allowed_texts).substr(allowed_at[p], allowed_at[p + 1] - allowed_at[p]);
  }
};

// The map of a WMI without schemas for the year. Read by every thread, also
// while the process exits, so it is made once and never destroyed.
constinit std::atomic<const Charsets*> NO_POSITIONS{nullptr};

const Charsets& no_positions() {
  return publish_once(NO_POSITIONS, [] { return std::make_unique<const Charsets>(); });
}

// The position maps of one WMI code. The map of a year depends only on the
// set of schema links that cover it, which changes only where a link's
// years begin or end: one map per run of years between those bounds serves
// every year of the run, and each is made when a decode first needs it.
struct CodeCharsets {
  struct Run {
    int64_t from = 0;
    mutable std::atomic<const Charsets*> map{nullptr};
  };
  explicit CodeCharsets(size_t runs) : runs(std::make_unique<Run[]>(runs)), count(runs) {}
  ~CodeCharsets() {
    for (size_t i = 0; i < count; ++i) delete runs[i].map.load(std::memory_order_relaxed);
  }
  std::unique_ptr<Run[]> runs;  // ascending by from
  size_t count;
};

// The position maps of one artifact, shared by every thread: they are
// facts of the data, at most one per WMI code and run of years, so their
// memory is bounded by the data, not by the traffic or the thread count.
// Slot i belongs to the code whose first row is WMI row i.
struct CharsetIndex : Db::Derived {
  explicit CharsetIndex(const Db& db) : codes(db.wmis().size()) {}
  ~CharsetIndex() override {
    for (size_t i = 0; i < codes.size(); ++i) delete codes[i].load(std::memory_order_relaxed);
  }
  ZeroedSlots<const CodeCharsets*> codes;
  mutable std::atomic<size_t> maps_built{0};
};

const CharsetIndex& charset_index(const Db& db) {
  return db.derived<CharsetIndex>(Db::DerivedId::charsets,
                                  [&] { return std::make_unique<const CharsetIndex>(db); });
}

// What a parsed key allows at the examined positions, in their order.
// Derived from the key text alone, so the cache stays valid across
// artifacts; it is bounded instead.
struct KeyUse {
  std::string key;
  std::array<CharMask, EXAMINED_COUNT> masks;
  std::vector<std::pair<size_t, char32_t>> beyond_ascii;  // (examined index, character)

  bool allows(size_t examined, char32_t c) const {
    if (c < 128) return masks[examined].has(c);
    return std::find(beyond_ascii.begin(), beyond_ascii.end(), std::pair{examined, c}) !=
           beyond_ascii.end();
  }
};
thread_local FlatCache<KeyUse> KEY_CHARS;

// Reused by every call on the thread: no allocation for the wide copies of
// the VIN and the WMI, or for the characters allowed at a position.
thread_local std::vector<char32_t> VIN_CHARS;
thread_local std::vector<char32_t> WMI_CHARS;
thread_local std::vector<char32_t> ALLOWED;

void widen(std::string_view text, std::vector<char32_t>& out) {
  out.resize(text.size());
  unsigned char any = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    any |= c;
    out[i] = c;
  }
  if (any < 0x80) return;
  out.clear();
  for (size_t at = 0, len = 0; at < text.size(); at += len)
    out.push_back(decode_utf8(text, at, len));
}

std::vector<char32_t> chars_of(std::string_view text) {
  std::vector<char32_t> out;
  widen(text, out);
  return out;
}

void append_char(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else {
    append_utf8(out, c);
  }
}

void append_text(std::string& out, const std::vector<char32_t>& chars, size_t from, size_t to) {
  for (size_t i = from; i < to && i < chars.size(); ++i) append_char(out, chars[i]);
}

// The members of a range or negated class, as the VIN_ALPHABET characters
// its regular expression admits: a range never yields I, O, Q or a
// character outside the alphabet.
std::vector<char32_t> regex_class_chars(const std::string& class_text) {
  RE2::Options options;
  options.set_log_errors(false);
  RE2 regex("^" + class_text + "$", options);
  std::vector<char32_t> out;
  if (!regex.ok()) return out;
  for (char c : VIN_ALPHABET) {
    if (RE2::PartialMatch(re2::StringPiece(&c, 1), regex)) out.push_back(static_cast<char32_t>(c));
  }
  return out;
}

// The characters of a bracket class (brackets included in `class_text`).
// A class of plain members is read as written, repeats and all, whatever
// the members are: the data holds classes such as "[1268_______]".
std::vector<char32_t> class_chars(std::string_view class_text) {
  std::string upper = ascii_upper(class_text);
  if (upper.find_first_of("-^") != std::string::npos) return regex_class_chars(upper);
  std::vector<char32_t> out = chars_of(upper);
  std::erase_if(out, [](char32_t c) { return c == '[' || c == ']'; });
  return out;
}

// A VIN position (1 to 17 wherever texts name one) in decimal.
void append_position(std::string& out, size_t position) {
  if (position >= 10) out += static_cast<char>('0' + position / 10 % 10);
  out += static_cast<char>('0' + position % 10);
}

// "(position:allowed)", as the possible-values text lists a position.
void append_possible(std::string& out, size_t position, std::string_view allowed) {
  out += '(';
  append_position(out, position);
  out += ':';
  out += allowed;
  out += ')';
}

// Calls visit(link) for each schema link of every WMI row of the code whose
// first row is `first`.
template <typename Visit>
void for_each_link(const Db& db, size_t first, Visit visit) {
  Table<WmiRow> wmis = db.wmis();
  Table<WmiVinSchemaRow> links = db.wmi_vin_schemas();
  std::string_view code = db.string(wmis[first].code);
  for (size_t w = first; w < wmis.size(); ++w) {
    WmiRow row = wmis[w];
    if (w != first && db.string(row.code) != code) break;
    auto [begin, end] =
        links.equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; }, row.id);
    for (size_t l = begin; l < end; ++l) visit(links[l]);
  }
}

int64_t year_to_of(const WmiVinSchemaRow& link) {
  return link.year_to == NONE_I32 ? OPEN_YEAR_TO : link.year_to;
}

std::unique_ptr<const CodeCharsets> code_runs(const Db& db, size_t first) {
  std::vector<int64_t> bounds;
  for_each_link(db, first, [&](const WmiVinSchemaRow& link) {
    bounds.push_back(link.year_from);
    bounds.push_back(year_to_of(link) + 1);
  });
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  auto out = std::make_unique<CodeCharsets>(bounds.size());
  for (size_t i = 0; i < bounds.size(); ++i) out->runs[i].from = bounds[i];
  return out;
}

// The characters every pattern key of the code's schemas for the year
// allows at each VIN position. Equal StrIds are equal texts, so each
// distinct key is read once.
std::unique_ptr<const Charsets> build_position_map(const Db& db, size_t first, int32_t year) {
  Table<PatternRow> patterns = db.patterns();
  std::vector<StrId> keys;
  for_each_link(db, first, [&](const WmiVinSchemaRow& link) {
    if (year < link.year_from || year > year_to_of(link)) return;
    auto [p_first, p_end] = patterns.equal_range(
        [](const PatternRow& r) { return r.vin_schema_id; }, link.vin_schema_id);
    for (size_t p = p_first; p < p_end; ++p) keys.push_back(patterns[p].keys);
  });
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  auto out = std::make_unique<Charsets>();
  std::vector<std::pair<size_t, char32_t>>& wide = out->beyond_ascii;
  for (StrId key : keys) {
    for (const auto& [key_position, c] : valid_chars_in_key(db.string(key))) {
      size_t p = size_t{key_position} + 3;
      if (p >= SCANNED_END) continue;
      out->present |= uint32_t{1} << p;
      if (c < 128) {
        out->masks[p].add(c);
      } else {
        wide.emplace_back(p, c);
      }
    }
  }
  std::sort(wide.begin(), wide.end());
  wide.erase(std::unique(wide.begin(), wide.end()), wide.end());
  // Each position's characters in code-point order: its ASCII ones, then
  // the wider ones.
  auto next_wide = wide.begin();
  for (size_t p = 0; p < SCANNED_END; ++p) {
    out->allowed_at[p] = static_cast<uint32_t>(out->allowed_texts.size());
    for (char32_t c = 0; c < 128; ++c) {
      if (out->masks[p].has(c)) out->allowed_texts.push_back(static_cast<char>(c));
    }
    for (; next_wide != wide.end() && next_wide->first == p; ++next_wide) {
      append_utf8(out->allowed_texts, next_wide->second);
    }
  }
  out->allowed_at[SCANNED_END] = static_cast<uint32_t>(out->allowed_texts.size());
  return out;
}

// The position map of a WMI and year, shared by every thread.
const Charsets& position_map(const Db& db, std::string_view wmi, int32_t year) {
  Table<WmiRow> wmis = db.wmis();
  size_t first = db.wmi_lower_bound(wmi);
  if (first == wmis.size() || db.string(wmis[first].code) != wmi) return no_positions();
  const CharsetIndex& index = charset_index(db);
  const CodeCharsets& code = publish_once(index.codes[first], [&] { return code_runs(db, first); });
  const CodeCharsets::Run* begin = code.runs.get();
  const CodeCharsets::Run* after = std::upper_bound(
      begin, begin + code.count, int64_t{year},
      [](int64_t y, const CodeCharsets::Run& run) { return y < run.from; });
  if (after == begin) return no_positions();
  return publish_once((after - 1)->map, [&] {
    index.maps_built.fetch_add(1, std::memory_order_relaxed);
    return build_position_map(db, first, year);
  });
}

KeyUse key_use_of(const std::string& key) {
  KeyUse use;
  use.key = key;
  for (const auto& [key_position, c] : valid_chars_in_key(key)) {
    if (c == U'|') continue;
    const uint32_t* at = std::find(std::begin(EXAMINED), std::end(EXAMINED), key_position + 3);
    if (at == std::end(EXAMINED)) continue;
    size_t examined = static_cast<size_t>(at - std::begin(EXAMINED));
    if (c < 128) {
      use.masks[examined].add(c);
    } else {
      use.beyond_ascii.emplace_back(examined, c);
    }
  }
  return use;
}

// What a key allows at the examined positions; valid until the next call on
// this thread, which may empty KEY_CHARS.
const KeyUse& key_use(const std::string& key) {
  uint64_t hash = text_hash(key, 0);
  const KeyUse* hit = KEY_CHARS.find(hash, [&](const KeyUse& entry) { return entry.key == key; });
  if (hit != nullptr) return *hit;
  KeyUse use = key_use_of(key);
  if (KEY_CHARS.size() >= KEY_CHARS_LIMIT) KEY_CHARS.clear();
  KEY_CHARS.reserve(KEY_CHARS_LIMIT);
  return KEY_CHARS.insert(hash, std::move(use));
}

struct Scan {
  uint32_t errors = 0;            // bit p: VIN position p is in error
  size_t last = 0;                // the last position in error
  std::string_view last_allowed;  // into the position map
  std::string possible_values;
  std::string marked_vin;
};

// Marks every descriptor position whose character the position map does not
// allow. Positions 9 and 10 (check digit, model year) are never checked, and
// a 6-character WMI owns positions 12 to 14. The marked VIN is only needed,
// and only made, when some position is in error.
Scan scan_positions(const std::vector<char32_t>& vin, const std::vector<char32_t>& wmi,
                    const Charsets& map) {
  Scan scan;
  size_t n = vin.size();
  size_t end = std::min<size_t>(n, wmi.size() == 6 ? 11 : 14);
  size_t text_size = 0;
  for (size_t p = 4; p <= end; ++p) {
    if (p == 9 || p == 10 || !map.has_set(p) || map.contains(p, vin[p - 1])) continue;
    scan.errors |= uint32_t{1} << p;
    scan.last = p;
    text_size += (p < 10 ? 4 : 5) + map.allowed(p).size();  // "(p:allowed)"
  }
  if (scan.errors == 0) return scan;
  scan.last_allowed = map.allowed(scan.last);
  scan.possible_values.reserve(text_size);
  for (uint32_t left = scan.errors; left != 0; left &= left - 1) {
    size_t p = static_cast<size_t>(std::countr_zero(left));
    append_possible(scan.possible_values, p, map.allowed(p));
  }
  std::string& marked = scan.marked_vin;
  marked.reserve(n + 3);
  size_t chars = 0;
  for (size_t i = 0; i < 3 && i < wmi.size(); ++i, ++chars) append_char(marked, wmi[i]);
  for (size_t p = 4; p <= end; ++p, ++chars)
    append_char(marked, (scan.errors >> p & 1) ? U'!' : vin[p - 1]);
  if (wmi.size() != 3) {
    for (size_t i = 3; i < 6 && i < wmi.size(); ++i, ++chars) append_char(marked, wmi[i]);
  }
  append_text(marked, vin, chars, std::min(chars + 3, n));
  return scan;
}

// Codes 2 to 5 from the error positions of the scan.
void add_character_codes(const std::vector<char32_t>& vin, Scan& scan, ErrorOutcome& out) {
  if (scan.errors == 0) return;
  if (std::popcount(scan.errors) > 1) {
    out.error_codes.push_back(5);
    out.suggested_vin = std::move(scan.marked_vin);
    out.possible_values = std::move(scan.possible_values);
    return;
  }
  int32_t position = static_cast<int32_t>(scan.last);
  std::vector<char32_t>& allowed = ALLOWED;
  widen(scan.last_allowed, allowed);
  if (allowed.size() == 1) {
    out.error_codes.push_back(2);
    out.suggested_vin = build_replace(vin, position, scan.last_allowed);
    out.possible_values = std::move(scan.possible_values);
    return;
  }
  // Several characters fit: only a single one that also satisfies the check
  // digit is worth suggesting. Each candidate is the VIN's first 17
  // characters with one of them at the position; for an ASCII character
  // that is one byte of a shared text.
  std::string prefix;
  std::string suffix;
  append_text(prefix, vin, 0, scan.last - 1);
  append_text(suffix, vin, scan.last, 17);
  std::string ascii_candidate = prefix + '?' + suffix;
  std::string only_vin;
  char32_t only_char = 0;
  size_t counted = 0;
  for (char32_t c : allowed) {
    std::string wide_candidate;
    std::string* candidate = &ascii_candidate;
    if (c < 0x80) {
      ascii_candidate[prefix.size()] = static_cast<char>(c);
    } else {
      wide_candidate = prefix;
      append_utf8(wide_candidate, c);
      wide_candidate += suffix;
      candidate = &wide_candidate;
    }
    if (candidate->size() != 17 || check_digit_with_flag(*candidate, true) != (*candidate)[8])
      continue;
    if (++counted == 1) {
      only_vin = *candidate;
      only_char = c;
    }
  }
  if (counted == 1) {
    out.error_codes.push_back(3);
    out.suggested_vin = std::move(only_vin);
    std::string text;
    append_char(text, only_char);
    append_possible(out.possible_values, scan.last, text);
  } else {
    out.error_codes.push_back(4);
    out.suggested_vin = std::move(scan.marked_vin);
    append_possible(out.possible_values, scan.last, scan.last_allowed);
  }
}

// VIN positions 4 to 8 and 11 whose character no matched key names.
std::optional<std::string> unused_positions(const std::vector<char32_t>& vin,
                                            const std::vector<std::string>& matched_keys) {
  size_t n = vin.size();
  size_t examined = 0;  // EXAMINED[0, examined) lie within the VIN
  std::array<char32_t, EXAMINED_COUNT> chars{};
  for (; examined < EXAMINED_COUNT && EXAMINED[examined] <= n; ++examined)
    chars[examined] = vin[EXAMINED[examined] - 1];
  uint32_t all = (1u << examined) - 1;
  uint32_t used = 0;  // bit i: EXAMINED[i] is named
  for (size_t k = 0; k < matched_keys.size(); ++k) {
    const std::string& key = matched_keys[k];
    // Items of one pattern key often follow each other; the repeat would be
    // a KEY_CHARS hit that adds nothing.
    if (k != 0 && key == matched_keys[k - 1]) continue;
    const KeyUse& use = key_use(key);
    if (used == all) continue;  // looked up all the same: KEY_CHARS learns every key
    for (size_t i = 0; i < examined; ++i) {
      if (use.allows(i, chars[i])) used |= 1u << i;
    }
  }
  std::string text;
  for (size_t i = 0; i < examined; ++i) {
    if (used >> i & 1) continue;
    if (!text.empty()) text += ',';
    append_position(text, EXAMINED[i]);
  }
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace

std::vector<std::pair<uint32_t, char32_t>> valid_chars_in_key(std::string_view key) {
  KeyChars out;
  uint32_t position = 0;
  std::optional<size_t> class_start;
  for (size_t at = 0, len = 0; at < key.size(); at += len) {
    char32_t c = decode_utf8(key, at, len);
    if (class_start) {
      if (c != U']') continue;
      std::vector<char32_t> members = class_chars(key.substr(*class_start, at + 1 - *class_start));
      ++position;
      for (char32_t m : members) {
        if (m != U'*' && m != U'|') out.emplace_back(position, m);
      }
      class_start.reset();
    } else if (c == U'[') {
      class_start = at;
    } else {
      ++position;
      if (c == U'*') continue;
      if (c == U'#') {
        for (char32_t d = U'0'; d <= U'9'; ++d) out.emplace_back(position, d);
      } else {
        out.emplace_back(position, c);
      }
    }
  }
  return out;
}

std::string build_replace(const std::vector<char32_t>& vin, int32_t position,
                          std::string_view text) {
  size_t p = position > 0 ? static_cast<size_t>(position) : 0;
  std::string out;
  out.reserve(17 + text.size());
  append_text(out, vin, 0, p > 0 ? p - 1 : 0);
  out += text;
  if (p < 17) append_text(out, vin, p, 17);
  return out;
}

ErrorOutcome errorcode(const Db& db, std::string_view vin, std::string_view wmi, int32_t has_year,
                       int32_t year, const std::vector<std::string>& matched_keys) {
  ErrorOutcome out;
  widen(vin, VIN_CHARS);
  widen(wmi, WMI_CHARS);
  bool short_wmi = WMI_CHARS.size() < 3;
  Scan scan;
  if (has_year == 1) scan = scan_positions(VIN_CHARS, WMI_CHARS, position_map(db, wmi, year));
  out.unused_positions = unused_positions(VIN_CHARS, matched_keys);
  // The codes, known before they are added: one allocation at most.
  out.error_codes.reserve(short_wmi + (scan.errors != 0) + out.unused_positions.has_value());
  if (short_wmi) out.error_codes.push_back(6);
  add_character_codes(VIN_CHARS, scan, out);
  if (out.unused_positions) out.error_codes.push_back(14);
  // A VIN of millions of characters must not leave its copy behind.
  release_if_large(VIN_CHARS);
  return out;
}

size_t key_chars_size() {
  return KEY_CHARS.size();
}

size_t position_maps_built(const Db& db) {
  return charset_index(db).maps_built.load(std::memory_order_relaxed);
}

void thread_state::prepare_errors() {
  (void)&KEY_CHARS;
  (void)&VIN_CHARS;
  (void)&WMI_CHARS;
  (void)&ALLOWED;
}

void thread_state::scratch_errors(std::vector<ScratchBuffer>& out) {
  out.push_back({"VIN_CHARS", held_bytes(VIN_CHARS)});
  out.push_back({"WMI_CHARS", held_bytes(WMI_CHARS)});
  out.push_back({"ALLOWED", held_bytes(ALLOWED)});
}

}  // namespace tamberok
