#include "tamberok/thread_state.h"

#include <exception>

namespace tamberok {

namespace {
thread_local bool PREPARED = false;
}  // namespace

void prepare_thread() {
  if (PREPARED) return;
  // The runtime keeps the exceptions in flight per thread; this reads that
  // state, which makes it.
  (void)std::uncaught_exceptions();
  thread_state::prepare_assemble();
  thread_state::prepare_conversion();
  thread_state::prepare_decode();
  thread_state::prepare_errors();
  thread_state::prepare_schema_index();
  thread_state::prepare_matcher();  // last: it allocates the most
  PREPARED = true;
}

std::vector<ScratchBuffer> scratch_buffers() {
  std::vector<ScratchBuffer> out;
  thread_state::scratch_assemble(out);
  thread_state::scratch_conversion(out);
  thread_state::scratch_decode(out);
  thread_state::scratch_errors(out);
  thread_state::scratch_schema_index(out);
  return out;
}

}  // namespace tamberok
