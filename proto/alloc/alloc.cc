// Routes the C++ allocations of the module (and of the test programs) through
// mimalloc. Inside the extension these definitions have hidden visibility, so
// they replace operator new/delete for our own code only and never for the
// interpreter or other extensions.
#ifdef VELMORA_MIMALLOC
#include <mimalloc.h>

#include <cstddef>
#include <new>

namespace {
[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }
inline void* alloc(std::size_t n) {
  void* p = mi_new_nothrow(n);
  if (!p) out_of_memory();
  return p;
}
// Deleting nullptr (moved-from containers, empty maps) is common and must
// cost no call.
inline void release(void* p) noexcept {
  if (p) mi_free(p);
}
inline void* alloc_aligned(std::size_t n, std::align_val_t a) {
  void* p = mi_malloc_aligned(n ? n : 1, static_cast<std::size_t>(a));
  if (!p) out_of_memory();
  return p;
}
}  // namespace

void* operator new(std::size_t n) { return alloc(n); }
void* operator new[](std::size_t n) { return alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return mi_new_nothrow(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return mi_new_nothrow(n); }
void* operator new(std::size_t n, std::align_val_t a) { return alloc_aligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return alloc_aligned(n, a); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
#endif
