// C++ allocations of the whole module go to mimalloc: this file replaces the
// global operator new and delete.
//
// mimalloc ships these replacements ready-made (mimalloc-new-delete.h), but
// its mi_new aborts the process when memory runs out: the distribution's
// library cannot see the C++ new_handler, so it never throws. Here an
// allocation failure does what operator new must do (ask the new_handler,
// then throw std::bad_alloc), so the module boundary turns it into a
// PanicException instead of a dead interpreter.
#include <mimalloc.h>

#include <cstddef>
#include <new>

namespace {

void* allocate(std::size_t size, std::size_t alignment) {
  for (;;) {
    void* block = alignment == 0 ? mi_malloc(size) : mi_malloc_aligned(size, alignment);
    if (block != nullptr) return block;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* allocate_or_null(std::size_t size, std::size_t alignment) noexcept {
  try {
    return allocate(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

constexpr std::size_t align(std::align_val_t alignment) {
  return static_cast<std::size_t>(alignment);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, align(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, align(a)); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, align(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, align(a));
}

// mi_free takes every block mimalloc made, aligned or not, whatever its size.
void operator delete(void* block) noexcept { mi_free(block); }
void operator delete[](void* block) noexcept { mi_free(block); }
void operator delete(void* block, std::size_t) noexcept { mi_free(block); }
void operator delete[](void* block, std::size_t) noexcept { mi_free(block); }
void operator delete(void* block, std::align_val_t) noexcept { mi_free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { mi_free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { mi_free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { mi_free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { mi_free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { mi_free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  mi_free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  mi_free(block);
}
