// What a thread keeps between calls: its scratch buffers stay as they are
// for ordinary VINs, and give back what a long input made them hold.
#include "tamberok/thread_state.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "decoder_fixture.h"
#include "support.h"
#include "tamberok/tamberok.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;
using testing::decoder_contents;
using testing::T2026;

constexpr std::string_view VIN = "1HGCM82633A004352";

size_t held_by(std::string_view name) {
  for (const ScratchBuffer& buffer : scratch_buffers()) {
    if (buffer.name == name) return buffer.bytes;
  }
  ADD_FAILURE() << "no scratch buffer " << name;
  return 0;
}

TEST(ThreadState, ScratchBuffersHoldAtMost64KiBAfterALongInputOfAnySize) {
  ArtifactDb a(decoder_contents());
  // On a thread of its own, so that what it holds comes from these calls.
  std::thread([&] {
    decode_full(a.db(), VIN, T2026, 2026);
    // The wide copy of an ordinary VIN stays for the next call.
    EXPECT_GE(held_by("VIN_CHARS"), VIN.size() * sizeof(char32_t));
    for (size_t extra : {size_t{20'000}, size_t{100'000}, size_t{1'000'000}, size_t{5'000'000}}) {
      std::string vin = std::string(VIN) + std::string(extra, 'A');
      EXPECT_EQ(decode_full(a.db(), vin, T2026, 2026).vin.size(), vin.size());
      for (const ScratchBuffer& buffer : scratch_buffers()) {
        EXPECT_LE(buffer.bytes, size_t{64} << 10)
            << buffer.name << " after " << extra << " characters past the VIN";
      }
    }
  }).join();
}

}  // namespace
}  // namespace tamberok
