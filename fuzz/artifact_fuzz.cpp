// libFuzzer harness: mutated small artifacts (seeded from the test
// fixtures) opened as a Db, checked, queried and decoded against. Refusing
// the bytes with tamberok::Panic is the expected answer to corruption; an
// out-of-bounds read, an overflow or a huge allocation is a finding.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tamberok/artifact_check.h"
#include "tamberok/db.h"
#include "tamberok/panic.h"
#include "tamberok/tamberok.h"

namespace {

constexpr int64_t NOW = 1796083200LL * 1000000;  // 2026-12-01T00:00:00Z

// The artifact must start 16-byte aligned, as the embedded one does.
struct AlignedCopy {
  explicit AlignedCopy(const uint8_t* data, size_t size)
      : storage(new (std::align_val_t(16)) uint8_t[size == 0 ? 1 : size]), size(size) {
    if (size != 0) std::memcpy(storage.get(), data, size);
  }
  struct Free {
    void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t(16)); }
  };
  std::unique_ptr<uint8_t[], Free> storage;
  size_t size;
};

void exercise(const tamberok::Db& db) {
  tamberok::check_artifact_orders(db);
  std::string first_wmi = "1HG";
  if (!db.wmis().empty()) first_wmi = std::string(db.string(db.wmis()[0].code));
  db.wmi_any(first_wmi);
  db.makeids_for_wmi_str(first_wmi);
  db.element(26);
  db.lookup(44, 0);
  for (size_t i = 0; i < db.cover_vin_list().size() && i < 4; ++i) db.cover_vin(i);
  // A VIN under the artifact's first WMI reaches its schemas and patterns.
  std::string vin = (first_wmi + "CM82633A004352").substr(0, 17);
  tamberok::decode_full(db, vin, NOW, 2026);
  tamberok::decode_full(db, "1HGCM82633A004352", NOW, 2026);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AlignedCopy bytes(data, size);
  try {
    tamberok::Db db(std::span<const uint8_t>(bytes.storage.get(), bytes.size));
    exercise(db);
  } catch (const tamberok::Panic&) {
    // A refusal: the artifact is broken and the reader said so.
  }
  return 0;
}
