#include "tamberok/trace.h"

namespace tamberok::trace {

namespace {

thread_local uint64_t NOTED = 0;

}  // namespace

bool enabled() {
#ifdef TAMBEROK_TRACING
  return true;
#else
  return false;
#endif
}

void note(Hook hook) {
  NOTED |= uint64_t{1} << static_cast<uint32_t>(hook);
}

uint64_t take() {
  uint64_t noted = NOTED;
  NOTED = 0;
  return noted;
}

}  // namespace tamberok::trace
