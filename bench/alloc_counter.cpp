// Counting replacements of the global allocation functions. Every form of
// operator new funnels into counted_alloc, and aligned_alloc (which Asio uses
// for coroutine frames) is replaced too; all of them take their memory from
// glibc, so every delete goes to free().
#include "alloc_counter.hpp"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

// glibc's own aligned allocation, behind the replaced aligned_alloc.
extern "C" void* __libc_memalign(std::size_t alignment, std::size_t size);

namespace tarvik_bench {
namespace {

std::atomic<std::uint64_t> g_allocations{0};

void* counted_alloc(std::size_t size, std::size_t alignment) noexcept {
    count_allocation();
    if (size == 0) size = 1;
    if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
    return __libc_memalign(alignment, size);
}

void* counted_alloc_or_throw(std::size_t size, std::size_t alignment) {
    if (void* p = counted_alloc(size, alignment)) return p;
    throw std::bad_alloc();
}

}  // namespace

void count_allocation() noexcept { g_allocations.fetch_add(1, std::memory_order_relaxed); }
std::uint64_t allocations() noexcept { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace tarvik_bench

using tarvik_bench::counted_alloc;
using tarvik_bench::counted_alloc_or_throw;

extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    tarvik_bench::count_allocation();
    return __libc_memalign(alignment, size);
}

void* operator new(std::size_t size) { return counted_alloc_or_throw(size, alignof(std::max_align_t)); }
void* operator new[](std::size_t size) { return counted_alloc_or_throw(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counted_alloc(size, alignof(std::max_align_t));
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return counted_alloc(size, alignof(std::max_align_t));
}
void* operator new(std::size_t size, std::align_val_t al) {
    return counted_alloc_or_throw(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al) {
    return counted_alloc_or_throw(size, static_cast<std::size_t>(al));
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return counted_alloc(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return counted_alloc(size, static_cast<std::size_t>(al));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
