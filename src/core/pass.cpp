#include "tamberok/pass.h"

#include <algorithm>
#include <vector>

#include "tamberok/checkdigit.h"
#include "tamberok/emplace.h"
#include "tamberok/errors.h"
#include "tamberok/tables.h"
#include "tamberok/text.h"
#include "tamberok/trace.h"
#include "tamberok/year.h"

namespace tamberok {

namespace {

constexpr size_t TEXT_LIMIT = 500;

constexpr std::string_view POSSIBLE_4 =
    "In the Possible values section, the Numeric value before the : indicates the position in "
    "error and the values after the : indicate the possible values that are allowed in this "
    "position.";
constexpr std::string_view POSSIBLE_5 =
    "The error positions are indicated by ! in Suggested VIN. In the Possible values section, "
    "each pair of parenthesis indicate information about each error position in VIN . The "
    "Numeric value before the : indicates the position in error and the values after the : "
    "indicate the possible values that are allowed in this position";
constexpr std::string_view INCOMPLETE =
    " Incomplete Vehicle Warning - Please be advised that the vehicle may have been altered and "
    "may not be an accurate representation of the vehicle in its current condition. ";
constexpr std::string_view MODEL_YEAR_NOTE =
    " The Model Year decoded for this VIN may be incorrect. If you know the Model year, please "
    "enter it and decode again to get more accurate information. ";
constexpr std::string_view NOTE_OFFROAD =
    " NOTE: Disregard if this is an off-road vehicle PIN, as check digit calculation may not be "
    "accurate.";
constexpr std::string_view NOTE_EXCEPTION =
    " NOTE: Check Digit Exception - The check digit was given an exception based on data from "
    "the OEM indicating an error on production.";

constexpr std::string_view OFF_ROAD_BODY_CLASSES[] = {"69",  "84",  "86",  "88",  "97",
                                                      "105", "113", "124", "126", "127"};
constexpr std::string_view INCOMPLETE_BODY_CLASSES[] = {"62", "63",  "64",  "65", "67", "70",
                                                        "71", "72",  "74",  "75", "76", "77",
                                                        "78", "107", "112", "116"};

// The error codes of a pass: a handful, kept sorted in a vector rather than
// a tree of nodes.
class CodeSet {
 public:
  CodeSet() { codes_.reserve(8); }  // one allocation for the usual handful
  void insert(int32_t code) {
    auto at = std::lower_bound(codes_.begin(), codes_.end(), code);
    if (at == codes_.end() || *at != code) codes_.insert(at, code);
  }
  template <typename It>
  void insert(It first, It last) {
    for (; first != last; ++first) insert(*first);
  }
  size_t count(int32_t code) const {
    return std::binary_search(codes_.begin(), codes_.end(), code) ? 1 : 0;
  }
  std::vector<int32_t>::const_iterator begin() const { return codes_.begin(); }
  std::vector<int32_t>::const_iterator end() const { return codes_.end(); }

 private:
  std::vector<int32_t> codes_;
};

template <size_t N>
bool one_of(std::string_view text, const std::string_view (&list)[N]) {
  return std::find(std::begin(list), std::end(list), text) != std::end(list);
}

// Trimmed and cut to TEXT_LIMIT characters, in place: the note grows piece
// by piece and is finished after each one.
void finish(std::string& text) {
  std::string_view kept = cut_chars(trim_unicode(text), TEXT_LIMIT);
  size_t start = static_cast<size_t>(kept.data() - text.data());
  text.erase(start + kept.size());
  text.erase(0, start);
}

// "pattern" anywhere in the source, in any ASCII case; compared in place
// since every item of every pass asks.
bool source_mentions_pattern(std::string_view source) {
  constexpr std::string_view WORD = "pattern";
  if (source.size() < WORD.size()) return false;
  for (size_t at = 0; at + WORD.size() <= source.size(); ++at) {
    size_t k = 0;
    while (k < WORD.size() && ascii_to_lower(source[at + k]) == WORD[k]) ++k;
    if (k == WORD.size()) return true;
  }
  return false;
}

bool is_vin_char(char c) {
  return is_ascii_digit(c) || (is_ascii_upper(c) && c != 'I' && c != 'O' && c != 'Q');
}

bool is_year_char(char c) {
  return decoded_year(c).has_value();
}

// Whether character c may stand at position p (from 1) of a VIN whose
// trailing serial digits begin at digits_from.
bool char_allowed(char c, size_t p, size_t digits_from) {
  if (p == 9) return is_ascii_digit(c) || c == 'X' || c == '*';
  if (p == 10) return is_year_char(c);
  if (p >= digits_from) return is_ascii_digit(c) || c == '*';
  return is_vin_char(c) || c == '*';
}

// Whether the exception list names this VIN with its check-digit exception.
bool check_digit_excepted(const Db& db, std::string_view vin) {
  Table<VinExceptionRow> rows = db.vin_exceptions();
  size_t at = rows.lower_bound(
      0, rows.size(), [&](const VinExceptionRow& r) { return text_less(db.string(r.vin), vin); });
  if (at == rows.size()) return false;
  VinExceptionRow row = rows[at];
  return db.string(row.vin) == vin && (row.check_digit & 1);
}

// The note of element 156, built in the order codes 4/5, 14, 400, the
// incomplete-vehicle warning and the model-year warning.
std::string note_text(const CodeSet& codes, const std::optional<std::string>& unused,
                      std::string_view invalid_chars, const std::vector<DecodingItem>& items,
                      const std::optional<std::string>& vehicle_type, bool year_certain) {
  std::string note;  // empty: no note
  if (codes.count(4)) note = POSSIBLE_4;
  if (codes.count(5)) note = POSSIBLE_5;
  if (codes.count(14)) {
    if (unused) {
      note += " Unused position(s): ";
      note += *unused;
      note += ". ";
      finish(note);
    } else {
      note.clear();
    }
  }
  if (codes.count(400)) {
    std::string_view list = invalid_chars.size() >= 2 ? invalid_chars.substr(2) : invalid_chars;
    note += " Invalid character(s): ";
    note += list;
    note += ". ";
    finish(note);
  }
  bool incomplete = vehicle_type && *vehicle_type == "10";
  if (!incomplete) {
    incomplete = std::any_of(items.begin(), items.end(), [](const DecodingItem& item) {
      return item.element_id == element_id::BODY_CLASS &&
             one_of(item.attribute_id, INCOMPLETE_BODY_CLASSES);
    });
  }
  if (incomplete) {
    note += INCOMPLETE;
    finish(note);
  }
  if (!year_certain) {
    note += MODEL_YEAR_NOTE;
    finish(note);
  }
  return note;
}

// The names of the codes from the artifact's error-code table, "; "-joined.
std::string error_text(const Db& db, const CodeSet& codes, bool off_road, bool excepted) {
  constexpr std::optional<uint16_t> table = tables::lookup_table_index("errorcode");
  std::string text;
  bool any = false;
  for (int32_t code : codes) {
    std::optional<std::string_view> name = table ? db.lookup(*table, code) : std::nullopt;
    if (!name) continue;
    if (any) text += "; ";
    any = true;
    text += trim_unicode(*name);
    if (code == 1 && off_road) {
      text += NOTE_OFFROAD;
    } else if (code == 0 && excepted) {
      text += NOTE_EXCEPTION;
    }
  }
  text.resize(cut_chars(text, TEXT_LIMIT).size());  // a prefix
  return text;
}

std::string codes_text(const CodeSet& codes) {
  std::string text;
  for (int32_t code : codes) {
    if (!text.empty()) text += ',';
    text += std::to_string(code);
  }
  return text;
}

// Characters of UTF-8 text as scalar values; the corrected VIN is edited
// per character, and a suggestion may hold characters of a key class.
std::u32string to_chars(std::string_view text) {
  std::u32string out;
  for (size_t pos = 0; pos < text.size();) {
    size_t len = 0;
    out.push_back(decode_utf8(text, pos, len));
    pos += len;
  }
  return out;
}

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string from_chars(const std::u32string& chars) {
  std::string out;
  for (char32_t c : chars) append_utf8(out, c);
  return out;
}

}  // namespace

void append_correction(std::vector<DecodingItem>& items, int32_t element_id, std::string text) {
  std::string attribute_id = text;
  // Every member given: an item built empty and then filled would be zeroed
  // and written twice.
  emplace_aggregate(items, std::string(), std::move(attribute_id), std::move(text),
                    std::string("Corrections"), NONE_I64, NONE_I32, NONE_I32, NONE_I32, element_id,
                    999, false);
}

Pass run_pass(const Db& db, std::string_view vin, std::string_view wmi, std::string_view key,
              int64_t now, std::string_view descriptor, int32_t pass_id, bool has_year,
              int32_t year, std::string_view year_key, bool year_certain) {
  DecodeCoreOutput core = decode_core(db, wmi, key, has_year, year, year_key, now);
  std::vector<DecodingItem>& items = core.items;
  CodeSet codes;

  ErrorOutcome outcome;
  bool any_pattern = std::any_of(items.begin(), items.end(), [](const DecodingItem& item) {
    return item.pattern_id != NONE_I32;
  });
  if (!core.wmi_found) {
    codes.insert(7);
  } else if (!any_pattern) {
    codes.insert(8);
  } else {
    std::vector<std::string> matched_keys;
    for (const DecodingItem& item : items) {
      if (source_mentions_pattern(item.source) && !item.keys.empty())
        matched_keys.push_back(item.keys);
    }
    outcome = errorcode(db, vin, wmi, has_year ? 1 : 0, year, matched_keys);
    codes.insert(outcome.error_codes.begin(), outcome.error_codes.end());
  }

  bool glider = std::any_of(items.begin(), items.end(), [](const DecodingItem& item) {
    return item.element_id == element_id::BODY_CLASS && item.attribute_id == "64";
  });
  if (glider) codes.insert(9);
  bool off_road = std::any_of(items.begin(), items.end(), [](const DecodingItem& item) {
    return item.element_id == element_id::BODY_CLASS &&
           one_of(item.attribute_id, OFF_ROAD_BODY_CLASSES);
  });
  if (off_road) codes.insert(10);
  if (!has_year) codes.insert(11);

  std::optional<std::string> vehicle_type;
  auto type_item = std::find_if(items.begin(), items.end(), [](const DecodingItem& item) {
    return item.element_id == element_id::VEHICLE_TYPE;
  });
  if (type_item != items.end()) vehicle_type = type_item->attribute_id;

  bool excepted = check_digit_excepted(db, vin);

  bool car = false;
  size_t digits_from = 14;
  if (vin.size() >= 3 && vin[2] == '9') {
    digits_from = 15;
  } else {
    car = car_like(db, wmi);
    digits_from = car ? 13 : 14;
  }

  // Mark every character that may not stand where it is, on top of the
  // suggestion when there is one. The marks go by character; when both
  // texts are ASCII every character is one byte and the bytes serve as is.
  std::string invalid_chars;
  auto mark_invalid = [&](auto& corrected, auto chars_of_vin) {
    for (size_t p = 1; p <= vin.size(); ++p) {
      char c = vin[p - 1];
      if (p == 9 && (off_road || excepted)) continue;
      if (char_allowed(c, p, digits_from)) continue;
      invalid_chars += ", " + std::to_string(p) + ":" + c;
      if (corrected.empty()) corrected = chars_of_vin(vin);
      if (corrected.size() >= p) {
        corrected[p - 1] = '!';
      } else {
        corrected.push_back('!');
      }
    }
  };
  std::string corrected_vin;
  if (is_ascii(vin) && is_ascii(outcome.suggested_vin)) {
    corrected_vin = outcome.suggested_vin;
    mark_invalid(corrected_vin, [](std::string_view text) { return std::string(text); });
  } else {
    std::u32string corrected = to_chars(outcome.suggested_vin);
    mark_invalid(corrected, to_chars);
    corrected_vin = from_chars(corrected);
  }
  if (!invalid_chars.empty()) codes.insert(400);

  bool check_digit_valid = false;
  if (vin.size() < 17) {
    codes.insert(6);
  } else if (std::optional<char> expected = check_digit_with_flag(vin, car)) {
    check_digit_valid = *expected == vin[8];
    if (!check_digit_valid && !TAMBEROK_TRACE_IF(excepted, check_digit_excepted)) codes.insert(1);
  }

  // Clean means nothing is left but warnings that do not affect decoding.
  size_t serious = 0;
  bool only_fourteen = true;
  for (int32_t code : codes) {
    if (code == 9 || code == 10 || code == 12) continue;
    ++serious;
    if (code != 14) only_fourteen = false;
  }
  if (serious == 0 || (serious == 1 && only_fourteen)) codes.insert(0);
  bool has_model = std::any_of(items.begin(), items.end(), [](const DecodingItem& item) {
    return item.element_id == element_id::MODEL;
  });
  if (codes.count(0) && !has_model) codes.insert(14);

  Pass pass;
  pass.corrected_vin = std::move(corrected_vin);
  std::string note =
      note_text(codes, outcome.unused_positions, invalid_chars, items, vehicle_type, year_certain);
  std::string errors = error_text(db, codes, off_road, excepted);
  append_correction(items, element_id::SUGGESTED_VIN, pass.corrected_vin);
  append_correction(items, element_id::ERROR_CODE, codes_text(codes));
  append_correction(items, element_id::POSSIBLE_VALUES, std::move(outcome.possible_values));
  append_correction(items, element_id::ADDITIONAL_ERROR_TEXT, std::move(note));
  append_correction(items, element_id::ERROR_TEXT, std::move(errors));
  append_correction(items, element_id::VEHICLE_DESCRIPTOR, std::string(descriptor));

  pass.items = std::move(items);
  pass.error_codes.assign(codes.begin(), codes.end());
  if (has_year) pass.model_year = year;
  pass.pass_id = pass_id;
  pass.check_digit_valid = check_digit_valid;
  return pass;
}

}  // namespace tamberok
