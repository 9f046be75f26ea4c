// Replaces the global allocation functions of this test program. They take
// memory from malloc, as the library's do, and give it back with free, so
// the sanitizers see every block allocated and freed the same way.
#include "failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "qel/qel_malloc.h"

namespace {

std::atomic<bool> gCounted{false};

void *allocate(std::size_t n, std::size_t alignment)
{
    if (gCounted.load(std::memory_order_relaxed) && qel_allocationForcedToFail())
        return nullptr;
    if (n == 0)
        n = 1;
    if (alignment <= alignof(std::max_align_t))
        return std::malloc(n);
    // aligned_alloc wants a size that is a multiple of the alignment.
    return std::aligned_alloc(alignment, (n + alignment - 1) / alignment * alignment);
}

void *allocateOrThrow(std::size_t n, std::size_t alignment)
{
    if (void *p = allocate(n, alignment))
        return p;
    throw std::bad_alloc();
}

}  // namespace

void countLanguageAllocations(bool on) { gCounted.store(on); }

void *operator new(std::size_t n) { return allocateOrThrow(n, 0); }
void *operator new[](std::size_t n) { return allocateOrThrow(n, 0); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return allocate(n, 0); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return allocate(n, 0); }
void *operator new(std::size_t n, std::align_val_t a) { return allocateOrThrow(n, static_cast<std::size_t>(a)); }
void *operator new[](std::size_t n, std::align_val_t a) { return allocateOrThrow(n, static_cast<std::size_t>(a)); }
void *operator new(std::size_t n, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return allocate(n, static_cast<std::size_t>(a));
}
void *operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
