#include "tamberok/tamberok.h"

#include <algorithm>
#include <chrono>

#include "tamberok/assemble.h"
#include "tamberok/pass.h"
#include "tamberok/text.h"
#include "tamberok/year.h"

namespace tamberok {

namespace {

// The model-year keys text that every pass gives its model-year item.
constexpr std::string_view YEAR_KEY = "***X*|Y";

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

int64_t now_micros() {
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  if (seconds < 0) seconds = 0;
  return seconds * 1000000;
}

// Days to civil year with 400-year eras of 146,097 days and years that
// begin on 1 March, so leap days fall at the end of a year. Pure UTC: the
// local zone never decides which year it is.
int32_t civil_year(int64_t micros) {
  int64_t seconds = floor_div(micros, 1000000);
  int64_t z = floor_div(seconds, 86400) + 719468;
  int64_t era = floor_div(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  return static_cast<int32_t>(month <= 2 ? y + 1 : y);
}

int32_t current_year() {
  return civil_year(now_micros());
}

std::string normalize_vin(std::string_view text) {
  bool all_ascii = std::all_of(text.begin(), text.end(),
                               [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (all_ascii) return ascii_upper(trim_unicode(text));  // no intermediate copy
  std::string ascii;
  ascii.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    size_t len = 0;
    char32_t cp = decode_utf8(text, pos, len);
    ascii.push_back(cp < 0x80 ? static_cast<char>(cp) : '&');
    pos += len;
  }
  return ascii_upper(trim_unicode(ascii));
}

std::string wmi_of(std::string_view vin) {
  if (vin.size() < 4) return std::string(vin);
  std::string wmi(vin.substr(0, 3));
  if (vin.size() >= 14 && vin[2] == '9') wmi += vin.substr(11, 3);
  return wmi;
}

std::string descriptor_of(std::string_view vin) {
  std::string padded(vin.substr(0, 17));
  padded.resize(17, '*');
  padded[8] = '*';
  padded.resize(padded[2] == '9' ? 14 : 11);
  return padded;
}

std::string vin_key_of(std::string_view vin) {
  if (vin.size() < 4) return "";
  std::string key(vin.substr(3, std::min<size_t>(vin.size(), 8) - 3));
  if (vin.size() >= 10) {
    key += '|';
    key += vin.substr(9, std::min<size_t>(vin.size(), 17) - 9);
  }
  return key;
}

DecodeResult decode_full(const Db& db, std::string_view text, int64_t now, int32_t current_year) {
  std::string vin = normalize_vin(text);
  std::string wmi = wmi_of(vin);
  std::string descriptor = descriptor_of(vin);
  std::string key = vin_key_of(vin);

  YearPlan plan;  // no year for VINs shorter than 10 characters
  if (vin.size() >= 10) plan = model_year_plan(db, vin, wmi, current_year);

  std::vector<Pass> passes;
  passes.reserve(2);
  passes.push_back(run_pass(db, vin, wmi, key, now, descriptor, 3, plan.has_year, plan.year,
                            YEAR_KEY, plan.year_certain));
  if (plan.second_pass) {
    passes.push_back(run_pass(db, vin, wmi, key, now, descriptor, 4, true, plan.year - 30, YEAR_KEY,
                              plan.year_certain));
  }
  return assemble_result(db, std::move(passes), std::move(vin), std::move(wmi),
                         std::move(descriptor));
}

DecodeResult decode(std::string_view vin) {
  int64_t now = now_micros();
  int32_t year = civil_year(now);
  return decode_full(global_db(), vin, now, year);
}

}  // namespace tamberok
