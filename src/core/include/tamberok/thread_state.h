// The per-thread state of the core: its caches and scratch buffers, made
// ready before they are needed and kept small after a huge input.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace tamberok {

// Makes the calling thread's per-thread storage exist: every per-thread cache
// and buffer of the core, and the per-thread state of the C++ runtime (its
// exception handling) and of the regular-expression library. The first use
// of such storage on a thread allocates it, and when that fails (under an
// address-space limit, say) the C library or the runtime ends the process
// instead of reporting it; the first C++ exception thrown on a thread is
// such a use. Once it exists, running out of memory is an ordinary
// std::bad_alloc. Pool workers call this as they start and the binding at
// every entry, before anything can throw; after the first call on a thread
// it costs one thread-local load. It may itself throw std::bad_alloc.
void prepare_thread();

// Per-thread scratch buffers keep their capacity from call to call, which
// saves allocations on every decode; one that a huge input made large gives
// its memory back once the call is done with it.
inline constexpr size_t KEPT_BUFFER_BYTES = size_t{64} << 10;

// The bytes a buffer holds for the next call.
template <typename Buffer>
size_t held_bytes(const Buffer& buffer) {
  return buffer.capacity() * sizeof(typename Buffer::value_type);
}

template <typename Buffer>
void release_if_large(Buffer& buffer) {
  if (held_bytes(buffer) > KEPT_BUFFER_BYTES) Buffer().swap(buffer);
}

// Test hook: each scratch buffer of the calling thread, by the name of its
// variable, and the bytes it holds between calls.
struct ScratchBuffer {
  std::string_view name;
  size_t bytes;
};
std::vector<ScratchBuffer> scratch_buffers();

// Each source file's part of prepare_thread: odr-uses its thread_local
// objects, which constructs them (and registers their destructors).
namespace thread_state {
void prepare_assemble();
void prepare_conversion();
void prepare_decode();
void prepare_errors();
void prepare_matcher();
void prepare_schema_index();

// Each source file's part of scratch_buffers.
void scratch_assemble(std::vector<ScratchBuffer>& out);
void scratch_conversion(std::vector<ScratchBuffer>& out);
void scratch_decode(std::vector<ScratchBuffer>& out);
void scratch_errors(std::vector<ScratchBuffer>& out);
void scratch_schema_index(std::vector<ScratchBuffer>& out);
}  // namespace thread_state

}  // namespace tamberok
