#include "tamberok/errors.h"

#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

#include "tamberok/checkdigit.h"
#include "tamberok/hash.h"
#include "tamberok/text.h"

namespace tamberok {

namespace {

using KeyChars = std::vector<std::pair<uint32_t, char32_t>>;
using ValidChars = std::set<char32_t>;
using PositionMap = std::map<uint32_t, ValidChars>;

// The last VIN position the scan can reach, plus one.
constexpr uint32_t SCANNED_END = 15;

// A position map in the form the scan reads: per VIN position up to 14, the
// set as a bit mask over ASCII (the normalised VIN is ASCII) with the full
// set for anything else, and its allowed text made once.
struct Charsets {
  struct Position {
    bool present = false;  // a non-empty set
    uint64_t ascii[2] = {0, 0};
    ValidChars chars;
    std::string allowed;

    bool contains(char32_t c) const {
      if (c < 128) return (ascii[c >> 6] >> (c & 63)) & 1;
      return chars.contains(c);
    }
  };
  bool empty = true;  // no position at all, scanned or not
  std::array<Position, SCANNED_END> positions;
};

// Open-ended schema links run to this year for the character check.
constexpr int32_t OPEN_YEAR_TO = 2999;
constexpr size_t KEY_CHARS_LIMIT = 16384;

// Facts of one artifact: WMI text -> model year -> position map. Emptied when
// the thread meets another Db.
struct CharsetCache {
  uint64_t serial = 0;
  std::unordered_map<std::string, std::unordered_map<int32_t, std::shared_ptr<const Charsets>>,
                     FxHash, std::equal_to<>>
      maps;
};
thread_local CharsetCache CHARSET_CACHE;

// Parsed keys. valid_chars_in_key depends on the key text alone, so the map
// stays valid across artifacts; it is bounded instead.
thread_local std::unordered_map<std::string, std::shared_ptr<const KeyChars>, FxHash,
                                std::equal_to<>>
    KEY_CHARS;

std::vector<char32_t> chars_of(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    for (char c : text) out.push_back(static_cast<char32_t>(c));
    return out;
  }
  for (size_t at = 0, len = 0; at < text.size(); at += len)
    out.push_back(decode_utf8(text, at, len));
  return out;
}

std::string text_of(const std::vector<char32_t>& chars, size_t from, size_t to) {
  std::string out;
  for (size_t i = from; i < to && i < chars.size(); ++i) append_utf8(out, chars[i]);
  return out;
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

std::string allowed_text(const ValidChars& chars) {
  std::string out;
  for (char32_t c : chars) append_utf8(out, c);
  return out;
}

std::string possible_entry(uint32_t position, std::string_view allowed) {
  std::string out = "(";
  out += std::to_string(position);
  out += ':';
  out += allowed;
  out += ')';
  return out;
}

std::shared_ptr<const Charsets> build_position_map(const Db& db, std::string_view wmi,
                                                   int32_t year) {
  Table<WmiRow> wmis = db.wmis();
  Table<WmiVinSchemaRow> links = db.wmi_vin_schemas();
  Table<PatternRow> patterns = db.patterns();
  std::set<std::string_view, decltype(&text_less)> keys(&text_less);
  for (size_t w = db.wmi_lower_bound(wmi); w < wmis.size(); ++w) {
    WmiRow row = wmis[w];
    if (db.string(row.code) != wmi) break;
    auto [first, end] =
        links.equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; }, row.id);
    for (size_t l = first; l < end; ++l) {
      WmiVinSchemaRow link = links[l];
      int32_t year_to = link.year_to == NONE_I32 ? OPEN_YEAR_TO : link.year_to;
      if (year < link.year_from || year > year_to) continue;
      auto [p_first, p_end] = patterns.equal_range(
          [](const PatternRow& r) { return r.vin_schema_id; }, link.vin_schema_id);
      for (size_t p = p_first; p < p_end; ++p) keys.insert(db.string(patterns[p].keys));
    }
  }
  PositionMap map;
  for (std::string_view key : keys) {
    for (const auto& [position, c] : valid_chars_in_key(key)) map[position + 3].insert(c);
  }
  auto out = std::make_shared<Charsets>();
  out->empty = map.empty();
  for (auto& [position, chars] : map) {
    if (position >= SCANNED_END || chars.empty()) continue;
    Charsets::Position& at = out->positions[position];
    at.present = true;
    for (char32_t c : chars) {
      if (c < 128) at.ascii[c >> 6] |= uint64_t{1} << (c & 63);
    }
    at.allowed = allowed_text(chars);
    at.chars = std::move(chars);
  }
  return out;
}

// The position map of a WMI and year, from this thread's cache when it has
// one. Empty maps are not kept: a WMI without schemas for the year is
// looked up again next time.
std::shared_ptr<const Charsets> position_map(const Db& db, std::string_view wmi, int32_t year) {
  CharsetCache& cache = CHARSET_CACHE;
  if (cache.serial != db.serial()) {
    cache.maps.clear();
    cache.serial = db.serial();
  }
  if (auto outer = cache.maps.find(wmi); outer != cache.maps.end()) {
    if (auto inner = outer->second.find(year); inner != outer->second.end()) return inner->second;
  }
  std::shared_ptr<const Charsets> map = build_position_map(db, wmi, year);
  if (!map->empty) {
    auto outer = cache.maps.find(wmi);
    if (outer == cache.maps.end()) outer = cache.maps.try_emplace(std::string(wmi)).first;
    outer->second[year] = map;
  }
  return map;
}

// The pairs of a key; valid until the next call on this thread, which may
// empty KEY_CHARS.
const KeyChars& key_chars(const std::string& key) {
  if (auto it = KEY_CHARS.find(key); it != KEY_CHARS.end()) return *it->second;
  auto chars = std::make_shared<const KeyChars>(valid_chars_in_key(key));
  if (KEY_CHARS.size() >= KEY_CHARS_LIMIT) KEY_CHARS.clear();
  KEY_CHARS.emplace(key, chars);
  return *chars;
}

struct Scan {
  std::vector<uint32_t> error_positions;
  std::string last_allowed;
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
  for (size_t p = 4; p <= end; ++p) {
    const Charsets::Position& set = map.positions[p];
    if (p == 9 || p == 10 || !set.present || set.contains(vin[p - 1])) continue;
    scan.last_allowed = set.allowed;
    scan.possible_values += possible_entry(static_cast<uint32_t>(p), scan.last_allowed);
    scan.error_positions.push_back(static_cast<uint32_t>(p));
  }
  if (scan.error_positions.empty()) return scan;
  std::vector<char32_t> scanned;
  for (size_t p = 4, e = 0; p <= end; ++p) {
    bool error = e < scan.error_positions.size() && scan.error_positions[e] == p;
    if (error) ++e;
    scanned.push_back(error ? U'!' : vin[p - 1]);
  }
  std::vector<char32_t> marked(wmi.begin(), wmi.begin() + std::min<size_t>(wmi.size(), 3));
  marked.insert(marked.end(), scanned.begin(), scanned.end());
  if (wmi.size() != 3) {
    for (size_t i = 3; i < 6 && i < wmi.size(); ++i) marked.push_back(wmi[i]);
  }
  for (size_t i = marked.size(), stop = std::min(marked.size() + 3, n); i < stop; ++i) {
    marked.push_back(vin[i]);
  }
  scan.marked_vin = text_of(marked, 0, marked.size());
  return scan;
}

// Codes 2 to 5 from the error positions of the scan.
void add_character_codes(const std::vector<char32_t>& vin, const Scan& scan, ErrorOutcome& out) {
  if (scan.error_positions.empty()) return;
  if (scan.error_positions.size() > 1) {
    out.error_codes.push_back(5);
    out.suggested_vin = scan.marked_vin;
    out.possible_values = scan.possible_values;
    return;
  }
  int32_t position = static_cast<int32_t>(scan.error_positions.front());
  std::vector<char32_t> allowed = chars_of(scan.last_allowed);
  if (allowed.size() == 1) {
    out.error_codes.push_back(2);
    out.suggested_vin = build_replace(vin, position, scan.last_allowed);
    out.possible_values = scan.possible_values;
    return;
  }
  // Several characters fit: only a single one that also satisfies the check
  // digit is worth suggesting.
  std::string only_vin;
  std::string only_char;
  size_t counted = 0;
  for (char32_t c : allowed) {
    std::string text;
    append_utf8(text, c);
    std::string candidate = build_replace(vin, position, text);
    if (candidate.size() != 17 || check_digit_with_flag(candidate, true) != candidate[8]) continue;
    if (++counted == 1) {
      only_vin = std::move(candidate);
      only_char = std::move(text);
    }
  }
  if (counted == 1) {
    out.error_codes.push_back(3);
    out.suggested_vin = std::move(only_vin);
    out.possible_values = possible_entry(static_cast<uint32_t>(position), only_char);
  } else {
    out.error_codes.push_back(4);
    out.suggested_vin = scan.marked_vin;
    out.possible_values = possible_entry(static_cast<uint32_t>(position), scan.last_allowed);
  }
}

// VIN positions 4 to 8 and 11 whose character no matched key names.
std::optional<std::string> unused_positions(const std::vector<char32_t>& vin,
                                            const std::vector<std::string>& matched_keys) {
  constexpr uint32_t EXAMINED[] = {4, 5, 6, 7, 8, 11};
  size_t n = vin.size();
  auto examined = [&](uint32_t p) {
    return p <= n && std::find(std::begin(EXAMINED), std::end(EXAMINED), p) != std::end(EXAMINED);
  };
  uint32_t used = 0;  // bit p
  for (size_t k = 0; k < matched_keys.size(); ++k) {
    const std::string& key = matched_keys[k];
    // Items of one pattern key often follow each other; the repeat would be
    // a KEY_CHARS hit that adds nothing.
    if (k != 0 && key == matched_keys[k - 1]) continue;
    for (const auto& [key_position, c] : key_chars(key)) {
      if (c == U'|' || key_position > 14) continue;
      uint32_t p = key_position + 3;
      if (examined(p) && vin[p - 1] == c) used |= 1u << p;
    }
  }
  std::string text;
  for (uint32_t p : EXAMINED) {
    if (!examined(p) || (used >> p & 1)) continue;
    if (!text.empty()) text += ',';
    text += std::to_string(p);
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
  std::string out = text_of(vin, 0, p > 0 ? p - 1 : 0);
  out += text;
  if (p < 17) out += text_of(vin, p, p + (17 - p));
  return out;
}

ErrorOutcome errorcode(const Db& db, std::string_view vin, std::string_view wmi, int32_t has_year,
                       int32_t year, const std::vector<std::string>& matched_keys) {
  ErrorOutcome out;
  std::vector<char32_t> vin_chars = chars_of(vin);
  std::vector<char32_t> wmi_chars = chars_of(wmi);
  if (wmi_chars.size() < 3) out.error_codes.push_back(6);
  if (has_year == 1) {
    std::shared_ptr<const Charsets> map = position_map(db, wmi, year);
    add_character_codes(vin_chars, scan_positions(vin_chars, wmi_chars, *map), out);
  }
  out.unused_positions = unused_positions(vin_chars, matched_keys);
  if (out.unused_positions) out.error_codes.push_back(14);
  return out;
}

size_t key_chars_size() {
  return KEY_CHARS.size();
}

size_t charset_cache_size() {
  size_t total = 0;
  for (const auto& [wmi, years] : CHARSET_CACHE.maps) total += years.size();
  return total;
}

}  // namespace tamberok
