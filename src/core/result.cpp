// The flat form and the JSON text of decode results.
#include "tamberok/result.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <unordered_map>

#include "tamberok/decode.h"
#include "tamberok/hash.h"

namespace tamberok {
namespace {

bool in_multi_valued(int32_t element_id) {
  return std::find(MULTI_VALUED_ELEMENTS.begin(), MULTI_VALUED_ELEMENTS.end(), element_id) !=
         MULTI_VALUED_ELEMENTS.end();
}

// ---- JSON writer --------------------------------------------------------------

// Escape class of each byte: 0 written as is, 'u' as \u00xx, any other value
// is the letter after the backslash. Bytes from 0x80 up are parts of UTF-8
// sequences and go out raw, as does "/".
constexpr std::array<char, 256> make_escapes() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}
constexpr std::array<char, 256> ESCAPES = make_escapes();

class JsonWriter {
 public:
  JsonWriter() { out_.reserve(128); }

  std::string take() { return std::move(out_); }

  void raw(std::string_view text) { out_.append(text); }

  void string(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    out_.push_back('"');
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      char escape = ESCAPES[c];
      if (escape == 0) continue;
      out_.append(text.data() + start, i - start);
      out_.push_back('\\');
      if (escape == 'u') {
        const char u[] = {'u', '0', '0', HEX[c >> 4], HEX[c & 0xF]};
        out_.append(u, sizeof u);
      } else {
        out_.push_back(escape);
      }
      start = i + 1;
    }
    out_.append(text.data() + start, text.size() - start);
    out_.push_back('"');
  }

  template <typename Int>
  void integer(Int value) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;  // 24 bytes hold every 64-bit integer
    out_.append(digits, end);
  }

  template <typename Int>
  void optional(const std::optional<Int>& value) {
    if (value) {
      integer(*value);
    } else {
      raw("null");
    }
  }

  void boolean(bool value) { raw(value ? "true" : "false"); }

  // `"name":`, preceded by "," unless it opens the object. Member names are
  // literals here, but they go through the string rules all the same.
  void key(std::string_view name, bool first = false) {
    if (!first) out_.push_back(',');
    string(name);
    out_.push_back(':');
  }

  void put(char c) { out_.push_back(c); }

  void string_array(const std::vector<std::string>& texts) {
    put('[');
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i != 0) put(',');
      string(texts[i]);
    }
    put(']');
  }

 private:
  std::string out_;
};

// The seven members shared by the nested and the flat form, "vin" to
// "corrected_vin". The object is already open.
template <typename Result>
void write_head(JsonWriter& w, const Result& r) {
  w.key("vin", true);
  w.string(r.vin);
  w.key("wmi");
  w.string(r.wmi);
  w.key("descriptor");
  w.string(r.descriptor);
  w.key("model_year");
  w.optional(r.model_year);
  w.key("error_codes");
  w.put('[');
  for (size_t i = 0; i < r.error_codes.size(); ++i) {
    if (i != 0) w.put(',');
    w.integer(r.error_codes[i]);
  }
  w.put(']');
  w.key("check_digit_valid");
  w.boolean(r.check_digit_valid);
  w.key("corrected_vin");
  w.string(r.corrected_vin);
}

void write_element(JsonWriter& w, const DecodedElement& e) {
  w.put('{');
  w.key("group_name", true);
  w.string(e.group_name);
  w.key("variable");
  w.string(e.variable);
  w.key("value");
  w.string(e.value);
  w.key("element_id");
  w.integer(e.element_id);
  w.key("attribute_id");
  w.string(e.attribute_id);
  w.key("code");
  w.string(e.code);
  w.key("data_type");
  w.string(e.data_type);
  w.key("decode");
  w.string(e.decode);
  w.key("source");
  w.string(e.source);
  w.key("pattern_id");
  w.optional(e.pattern_id);
  w.key("vin_schema_id");
  w.optional(e.vin_schema_id);
  w.key("keys");
  w.string(e.keys);
  w.key("created_on");
  w.optional(e.created_on);
  w.key("wmi_id");
  w.optional(e.wmi_id);
  w.key("to_be_qced");
  w.boolean(e.to_be_qced);
  w.put('}');
}

}  // namespace

FlatResult FlatResult::from(DecodeResult result) {
  FlatResult flat;
  flat.vin = std::move(result.vin);
  flat.wmi = std::move(result.wmi);
  flat.descriptor = std::move(result.descriptor);
  flat.model_year = result.model_year;
  flat.error_codes = std::move(result.error_codes);
  flat.check_digit_valid = result.check_digit_valid;
  flat.corrected_vin = std::move(result.corrected_vin);

  flat.attributes.reserve(result.elements.size());
  std::unordered_map<std::string_view, size_t, FxHash> position;
  position.reserve(result.elements.size());
  for (DecodedElement& element : result.elements) {
    auto [it, inserted] = position.try_emplace(element.variable, flat.attributes.size());
    if (!inserted) {
      // The first element of a name fixed its shape: a list keeps growing,
      // a single value keeps the first one seen.
      FlatValue& value = flat.attributes[it->second].second;
      if (auto* list = std::get_if<std::vector<std::string>>(&value)) {
        list->push_back(std::move(element.value));
      }
      continue;
    }
    if (in_multi_valued(element.element_id)) {
      std::vector<std::string> list;
      list.push_back(std::move(element.value));
      flat.attributes.emplace_back(element.variable, FlatValue(std::move(list)));
    } else {
      flat.attributes.emplace_back(element.variable, FlatValue(std::move(element.value)));
    }
  }
  return flat;
}

std::string to_json(const DecodeResult& result) {
  JsonWriter w;
  w.put('{');
  write_head(w, result);
  w.key("elements");
  w.put('[');
  for (size_t i = 0; i < result.elements.size(); ++i) {
    if (i != 0) w.put(',');
    write_element(w, result.elements[i]);
  }
  w.put(']');
  w.put('}');
  return w.take();
}

std::string to_json(const FlatResult& result) {
  JsonWriter w;
  w.put('{');
  write_head(w, result);
  w.key("attributes");
  w.put('{');
  bool first = true;
  for (const auto& [name, value] : result.attributes) {
    w.key(name, first);
    first = false;
    if (const auto* single = std::get_if<std::string>(&value)) {
      w.string(*single);
    } else {
      w.string_array(std::get<std::vector<std::string>>(value));
    }
  }
  w.put('}');
  w.put('}');
  return w.take();
}

}  // namespace tamberok
