// libFuzzer harness: any bytes as the VIN text, decoded against the real
// embedded artifact. Both JSON forms must be strict JSON in strict UTF-8,
// the error codes ascending without repeats, and nothing may throw.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json_check.h"
#include "tamberok/tamberok.h"

namespace {

// A fixed clock, so that a finding replays the same way on another day.
constexpr int64_t NOW = 1796083200LL * 1000000;  // 2026-12-01T00:00:00Z
constexpr int32_t YEAR = 2026;

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const tamberok::Db& db = tamberok::global_db();
  std::string_view vin(reinterpret_cast<const char*>(data), size);
  tamberok::DecodeResult r = tamberok::decode_full(db, vin, NOW, YEAR);

  require(std::is_sorted(r.error_codes.begin(), r.error_codes.end()));
  require(std::adjacent_find(r.error_codes.begin(), r.error_codes.end()) == r.error_codes.end());
  require(!r.error_codes.empty());
  require(r.vin == tamberok::normalize_vin(vin));

  std::string nested = tamberok::to_json(r);
  require(tamberok::fuzz::JsonChecker(nested).valid());
  std::string flat = tamberok::to_json(tamberok::FlatResult::from(std::move(r)));
  require(tamberok::fuzz::JsonChecker(flat).valid());
  return 0;
}
