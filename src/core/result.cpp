// The flat form and the JSON text of decode results.
#include "tamberok/result.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
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

// A growing byte buffer whose appends inline; std::string's do not (they
// are compiled into the standard library), which made them the writer's main
// cost on results of a few kilobytes.
class Buffer {
 public:
  explicit Buffer(size_t capacity)
      : data_(std::make_unique_for_overwrite<char[]>(capacity)), capacity_(capacity) {}
  void push_back(char c) {
    if (size_ == capacity_) grow(1);
    data_[size_++] = c;
  }
  void append(const char* data, size_t size) {
    if (size == 0) return;  // an empty view may carry a null pointer
    if (capacity_ - size_ < size) grow(size);
    std::memcpy(data_.get() + size_, data, size);
    size_ += size;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  std::string str() const { return std::string(data_.get(), size_); }

 private:
  void grow(size_t more) {
    size_t capacity = std::max(capacity_ * 2, size_ + more);
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_;
};

// Appends compact JSON to one growing buffer. Commas are placed by the
// writer itself: one goes before any key or value that follows a value in the
// same object or array.
class JsonWriter {
 public:
  JsonWriter() : out_(128) {}

  std::string take() const { return out_.str(); }

  void open(char bracket) {
    separate();
    out_.push_back(bracket);
    after_value_ = false;
  }
  void close(char bracket) {
    out_.push_back(bracket);
    after_value_ = true;
  }

  // Member names go through the string rules like any other text.
  void key(std::string_view name) {
    value(name);
    out_.push_back(':');
    after_value_ = false;
  }

  // Members of the fixed shapes: their names are plain ASCII literals that
  // never need escaping, so they go out in one piece.
  template <size_t N, typename V>
  void member(const char (&name)[N], const V& v) {
    separate();
    out_.push_back('"');
    out_.append(name, N - 1);
    out_.append("\":", 2);
    after_value_ = false;
    value(v);
  }

  void value(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    separate();
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
    after_value_ = true;
  }
  void value(const std::string& text) { value(std::string_view(text)); }

  void value(bool b) { literal(b ? "true" : "false"); }

  void value(int32_t n) { integer(n); }
  void value(int64_t n) { integer(n); }

  template <typename Int>
  void value(const std::optional<Int>& n) {
    if (n) {
      integer(*n);
    } else {
      literal("null");
    }
  }

  template <typename T>
  void value(const std::vector<T>& items) {
    open('[');
    for (const T& item : items) value(item);
    close(']');
  }

 private:
  void separate() {
    if (after_value_) out_.push_back(',');
  }

  void literal(std::string_view text) {
    separate();
    out_.append(text);
    after_value_ = true;
  }

  template <typename Int>
  void integer(Int n) {
    char digits[24];  // holds every 64-bit integer, so to_chars cannot fail
    char* end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    literal(std::string_view(digits, end - digits));
  }

  Buffer out_;
  bool after_value_ = false;
};

// The seven members shared by the nested and the flat form, "vin" to
// "corrected_vin". The object is already open.
template <typename Result>
void write_head(JsonWriter& w, const Result& r) {
  w.member("vin", r.vin);
  w.member("wmi", r.wmi);
  w.member("descriptor", r.descriptor);
  w.member("model_year", r.model_year);
  w.member("error_codes", r.error_codes);
  w.member("check_digit_valid", r.check_digit_valid);
  w.member("corrected_vin", r.corrected_vin);
}

void write_element(JsonWriter& w, const DecodedElement& e) {
  w.open('{');
  w.member("group_name", e.group_name);
  w.member("variable", e.variable);
  w.member("value", e.value);
  w.member("element_id", e.element_id);
  w.member("attribute_id", e.attribute_id);
  w.member("code", e.code);
  w.member("data_type", e.data_type);
  w.member("decode", e.decode);
  w.member("source", e.source);
  w.member("pattern_id", e.pattern_id);
  w.member("vin_schema_id", e.vin_schema_id);
  w.member("keys", e.keys);
  w.member("created_on", e.created_on);
  w.member("wmi_id", e.wmi_id);
  w.member("to_be_qced", e.to_be_qced);
  w.close('}');
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
  w.open('{');
  write_head(w, result);
  w.key("elements");
  w.open('[');
  for (const DecodedElement& element : result.elements) write_element(w, element);
  w.close(']');
  w.close('}');
  return w.take();
}

std::string to_json(const FlatResult& result) {
  JsonWriter w;
  w.open('{');
  write_head(w, result);
  w.key("attributes");
  w.open('{');
  for (const auto& [name, value] : result.attributes) {
    w.key(name);
    std::visit([&](const auto& v) { w.value(v); }, value);
  }
  w.close('}');
  w.close('}');
  return w.take();
}

}  // namespace tamberok
