#include "tamberok/conversion.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "tamberok/thread_state.h"
#include "tamberok/element_set.h"
#include "tamberok/panic.h"
#include "tamberok/text.h"

namespace tamberok {

namespace {

constexpr uint128 UINT128_MAX_VALUE = ~uint128{0};
// Quotients keep about 16 significant digits but never more than this many
// decimals, so a quotient's digit text stays bounded by its operands' length
// plus this cap.
constexpr int64_t MAX_QUOTIENT_SCALE = 1000;
constexpr std::string_view PLACEHOLDER = "#x#";
constexpr size_t SOURCE_CHARS = 50;
constexpr int32_t CONVERSION_PRIORITY = 100;

std::string_view strip_leading_zeros(std::string_view digits) {
  size_t first = digits.find_first_not_of('0');
  return first == std::string_view::npos ? std::string_view() : digits.substr(first);
}

bool is_zero(const Dec& d) {
  return strip_leading_zeros(d.digits).empty();
}

// The digits read as an unsigned 128-bit integer; none when they do not fit.
std::optional<uint128> read_u128(std::string_view digits) {
  uint128 value = 0;
  for (char c : digits) {
    unsigned d = static_cast<unsigned>(c - '0');
    if (value > (UINT128_MAX_VALUE - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

// The exact product of two digit texts, digit by digit. Column sums stay far
// below 2^64 (81 per digit pair), so carries are settled once at the end.
std::string multiply_digits(std::string_view a, std::string_view b) {
  a = strip_leading_zeros(a);
  b = strip_leading_zeros(b);
  if (a.empty() || b.empty()) return "0";
  std::vector<uint64_t> columns(a.size() + b.size(), 0);
  for (size_t i = 0; i < a.size(); ++i) {
    uint64_t da = static_cast<uint64_t>(a[a.size() - 1 - i] - '0');
    if (da == 0) continue;
    for (size_t j = 0; j < b.size(); ++j) {
      columns[i + j] += da * static_cast<uint64_t>(b[b.size() - 1 - j] - '0');
    }
  }
  std::string out(columns.size(), '0');
  uint64_t carry = 0;
  for (size_t k = 0; k < columns.size(); ++k) {
    uint64_t v = columns[k] + carry;
    out[out.size() - 1 - k] = static_cast<char>('0' + v % 10);
    carry = v / 10;
  }
  return out;
}

std::string apply_sign(std::string text, bool negative) {
  // A zero result never shows a sign, even when an operand was "-0".
  if (negative && text.find_first_of("123456789") != std::string::npos) {
    return "-" + text;
  }
  return text;
}

std::optional<std::string> product(const Dec& x, const Dec& y) {
  uint64_t scale = uint64_t{x.scale} + y.scale;
  if (scale > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  std::string text =
      format_fixed(multiply_digits(x.digits, y.digits), static_cast<uint32_t>(scale));
  return apply_sign(std::move(text), x.negative != y.negative);
}

std::optional<std::string> quotient(const Dec& x, const Dec& y) {
  if (is_zero(y)) return std::nullopt;
  auto [wx, fx] = Dec::weight_and_firstdigit(x);
  auto [wy, fy] = Dec::weight_and_firstdigit(y);
  int64_t qweight = int64_t{wx} - wy - (fx <= fy ? 1 : 0);
  int64_t rscale = 16 - 4 * qweight;
  rscale = std::max({rscale, int64_t{x.scale}, int64_t{y.scale}});
  rscale = std::clamp<int64_t>(rscale, 0, MAX_QUOTIENT_SCALE);

  // A divisor beyond 128 bits cannot occur in the data; it counts as a
  // formula that cannot be evaluated rather than a wrong digit text.
  std::optional<uint128> divisor = read_u128(strip_leading_zeros(y.digits));
  if (!divisor) return std::nullopt;
  std::string numerator = x.digits;
  int64_t shift = rscale - int64_t{x.scale} + int64_t{y.scale};
  if (shift >= 0) {
    numerator.append(static_cast<size_t>(shift), '0');
  } else {
    // Only a dividend with more than 1000 decimals gets here; its extra
    // decimals move into the divisor, which must still fit.
    for (int64_t i = 0; i < -shift; ++i) {
      if (*divisor > UINT128_MAX_VALUE / 10) return std::nullopt;
      *divisor *= 10;
    }
  }
  auto [digits, remainder] = long_div(numerator, *divisor);
  // Half up on the magnitude; 2r >= D written so that 2r cannot overflow.
  digits = round_up_if(std::move(digits), remainder >= *divisor - remainder);
  std::string text = format_fixed(digits, static_cast<uint32_t>(rscale));
  return apply_sign(std::move(text), x.negative != y.negative);
}

std::optional<std::string> evaluate(std::string_view formula, std::string_view attribute) {
  size_t at = formula.find(PLACEHOLDER);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = trim_unicode_start(formula.substr(at + PLACEHOLDER.size()));
  if (rest.empty()) return std::nullopt;
  char op = rest[0];
  // A multi-byte first character is some other operator and fails below, so
  // taking one byte as the operator is enough.
  std::string_view operand = trim_unicode(rest.substr(1));
  std::optional<Dec> x = Dec::parse(attribute);
  if (!x) return std::nullopt;
  std::optional<Dec> y = Dec::parse(operand);
  if (!y) return std::nullopt;
  if (op == '*') return product(*x, *y);
  if (op == '/') return quotient(*x, *y);
  return std::nullopt;
}

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  size_t pos = 0;
  for (size_t at; (at = text.find(from, pos)) != std::string_view::npos; pos = at + from.size()) {
    out.append(text.substr(pos, at - pos));
    out.append(to);
  }
  out.append(text.substr(pos));
  return out;
}

std::string source_text(int32_t conversion_id, std::string_view formula,
                        std::string_view attribute) {
  std::string text = "Conversion " + std::to_string(conversion_id) + ": " +
                     replace_all(formula, PLACEHOLDER, attribute);
  return std::string(cut_chars(text, SOURCE_CHARS));
}

// Sort key of a row's source time: an item without a creation time counts
// as newer than any dated one.
bool newer(int64_t a, int64_t b) {
  if (a == b) return false;
  if (a == NONE_I64) return true;
  if (b == NONE_I64) return false;
  return a > b;
}

}  // namespace

std::optional<Dec> Dec::parse(std::string_view text) {
  text = trim_unicode(text);
  if (text.empty()) return std::nullopt;
  Dec d;
  size_t i = 0;
  if (text[0] == '+' || text[0] == '-') {
    d.negative = text[0] == '-';
    i = 1;
  }
  bool point = false;
  uint64_t scale = 0;
  d.digits.reserve(text.size() - i);
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' && !point) {
      point = true;
    } else if (is_ascii_digit(c)) {
      d.digits.push_back(c);
      if (point) ++scale;
    } else {
      return std::nullopt;
    }
  }
  if (d.digits.empty() || scale > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  d.scale = static_cast<uint32_t>(scale);
  return d;
}

std::pair<int32_t, int64_t> Dec::weight_and_firstdigit(const Dec& d) {
  std::string_view s = strip_leading_zeros(d.digits);
  if (s.empty()) return {0, 0};
  int64_t t = static_cast<int64_t>(s.size()) - int64_t{d.scale} - 1;
  int64_t weight = t >= 0 ? t / 4 : -((-t + 3) / 4);
  int64_t k = t - 4 * weight + 1;
  int64_t first = 0;
  for (int64_t i = 0; i < k; ++i) {
    first = first * 10 + (static_cast<size_t>(i) < s.size() ? s[static_cast<size_t>(i)] - '0' : 0);
  }
  // Only texts of billions of digits could leave the 32-bit range.
  weight = std::clamp<int64_t>(weight, std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max());
  return {static_cast<int32_t>(weight), first};
}

std::pair<std::string, uint128> long_div(std::string_view digits, uint128 divisor) {
  if (divisor == 0) throw Panic("attempt to divide by zero");
  std::string q(digits.size(), '0');
  uint128 r = 0;
  // r * 10 + 9 fits while the divisor is at most this; larger divisors step
  // through modular additions so that nothing wraps.
  const bool small = divisor <= (UINT128_MAX_VALUE - 9) / 10 + 1;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (!is_ascii_digit(digits[i])) throw Panic("ascii digits");
    unsigned d = static_cast<unsigned>(digits[i] - '0');
    unsigned qd = 0;
    if (small) {
      r = r * 10 + d;
      qd = static_cast<unsigned>(r / divisor);
      r -= qd * divisor;
    } else {
      // r < divisor throughout; adding v < divisor overflows the modulus
      // exactly when r >= divisor - v.
      auto add = [&](uint128 v) {
        if (r >= divisor - v) {
          r -= divisor - v;
          ++qd;
        } else {
          r += v;
        }
      };
      uint128 base = r;
      r = 0;
      for (int n = 0; n < 10; ++n) add(base);
      add(d);
    }
    q[i] = static_cast<char>('0' + qd);
  }
  return {std::move(q), r};
}

std::string round_up_if(std::string digits, bool cond) {
  if (!cond) return digits;
  bool carry = true;
  for (size_t i = digits.size(); carry && i > 0;) {
    --i;
    if (digits[i] == '9') {
      digits[i] = '0';
    } else {
      if (!is_ascii_digit(digits[i])) throw Panic("ascii digits");
      ++digits[i];
      carry = false;
    }
  }
  if (carry) digits.insert(digits.begin(), '1');
  if (!std::all_of(digits.begin(), digits.end(), is_ascii_digit)) throw Panic("ascii digits");
  return digits;
}

std::string format_fixed(std::string_view digits, uint32_t scale) {
  std::string_view stripped = strip_leading_zeros(digits);
  std::string s = stripped.empty() ? std::string("0") : std::string(stripped);
  if (scale == 0) return s;
  if (s.size() <= scale) s.insert(0, scale + 1 - s.size(), '0');
  size_t whole = s.size() - scale;
  return s.substr(0, whole) + "." + s.substr(whole);
}

std::string evaluate_formula(std::string_view formula, std::string_view attribute) {
  return evaluate(formula, attribute).value_or("0");
}

namespace {

// The value and source text of one conversion of one attribute.
struct ConversionTexts {
  std::string value;
  std::string source;
};

// The same few displacements turn up VIN after VIN, so each thread keeps the
// texts it has worked out, keyed by everything they depend on: the
// conversion id, the formula text and the attribute text. Emptied when
// full, so odd attributes cannot grow it without bound.
struct ConversionMemo {
  std::string key;  // reused for every lookup
  std::unordered_map<std::string, ConversionTexts> texts;
};
thread_local ConversionMemo CONVERSION_MEMO;
constexpr size_t CONVERSION_MEMO_LIMIT = 4096;

// Valid until the thread's next call.
const ConversionTexts& conversion_texts(int32_t conversion_id, std::string_view formula,
                                        std::string_view attribute) {
  ConversionMemo& memo = CONVERSION_MEMO;
  // The formula's length comes first, so no two (formula, attribute) pairs
  // share a key.
  uint64_t formula_size = formula.size();
  memo.key.assign(reinterpret_cast<const char*>(&conversion_id), sizeof conversion_id);
  memo.key.append(reinterpret_cast<const char*>(&formula_size), sizeof formula_size);
  memo.key.append(formula);
  memo.key.append(attribute);
  auto found = memo.texts.find(memo.key);
  if (found != memo.texts.end()) return found->second;
  if (memo.texts.size() >= CONVERSION_MEMO_LIMIT) memo.texts.clear();
  ConversionTexts texts{evaluate_formula(formula, attribute),
                        source_text(conversion_id, formula, attribute)};
  return memo.texts.try_emplace(memo.key, std::move(texts)).first->second;
}

}  // namespace

void append_conversions(std::vector<DecodingItem>& items, const Db& db) {
  struct Row {
    std::string attribute;
    std::string keys;
    std::string_view formula;
    int64_t created_on;
    int32_t priority;
    int32_t conversion_id;
    int32_t to_element_id;
    int32_t pattern_id;
    int32_t vin_schema_id;
    int32_t wmi_id;
  };
  Table<ConversionRow> conversions = db.conversions();
  std::vector<Row> rows;
  for (const DecodingItem& item : items) {
    for (size_t i = 0; i < conversions.size(); ++i) {
      ConversionRow c = conversions[i];
      if (c.from_element_id != item.element_id) continue;
      rows.push_back({item.attribute_id, item.keys, db.string(c.formula), item.created_on,
                      item.priority, c.id, c.to_element_id, item.pattern_id, item.vin_schema_id,
                      item.wmi_id});
    }
  }
  if (rows.empty()) return;
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    if (a.priority != b.priority) return a.priority > b.priority;
    if (a.created_on != b.created_on) return newer(a.created_on, b.created_on);
    return a.conversion_id < b.conversion_id;
  });

  // Every element the pass already has is taken, whatever its value: a
  // stated "Not Applicable" must not be overwritten by a computed one.
  ElementSet claimed;
  for (const DecodingItem& item : items) claimed.insert(item.element_id);
  for (Row& row : rows) {
    // Claimed before evaluating, so a formula that fails still takes the
    // target and a lower-ranked source cannot fill it.
    if (!claimed.insert(row.to_element_id)) continue;
    const ConversionTexts& texts = conversion_texts(row.conversion_id, row.formula, row.attribute);
    items.push_back({.keys = std::move(row.keys),
                     .attribute_id = texts.value,
                     .value = texts.value,
                     .source = texts.source,
                     .created_on = NONE_I64,
                     .pattern_id = row.pattern_id,
                     .vin_schema_id = row.vin_schema_id,
                     .wmi_id = row.wmi_id,
                     .element_id = row.to_element_id,
                     .priority = CONVERSION_PRIORITY,
                     .to_be_qced = false});
  }
}

void thread_state::prepare_conversion() {
  (void)&CONVERSION_MEMO;
}

void thread_state::scratch_conversion(std::vector<ScratchBuffer>& out) {
  out.push_back({"CONVERSION_MEMO.key", held_bytes(CONVERSION_MEMO.key)});
}

}  // namespace tamberok
