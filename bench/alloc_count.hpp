#pragma once
// Counts every global operator new, per thread, so a benchmark can tell how many heap
// allocations one thread (the stream receive worker, say) made between two moments.
//
// Include in exactly one translation unit of a benchmark executable: it replaces the global
// allocation functions. Each thread takes a counter slot at its first allocation; slots are
// never freed, and a thread id reused by the system takes a new slot (lookups take the newest).
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace bench::alloc {

struct Slot {
    std::atomic<pid_t> tid{0};
    std::atomic<std::uint64_t> count{0};
};

inline std::array<Slot, 512> g_slots;
inline Slot g_overflow;  // threads beyond the table share this one
inline std::atomic<std::size_t> g_used{0};
inline thread_local Slot* t_slot = nullptr;

inline void count_one() {
    if (!t_slot) {
        const std::size_t i = g_used.fetch_add(1, std::memory_order_relaxed);
        t_slot = i < g_slots.size() ? &g_slots[i] : &g_overflow;
        t_slot->tid.store(::gettid(), std::memory_order_release);
    }
    t_slot->count.fetch_add(1, std::memory_order_relaxed);
}

// Allocations thread `tid` has made so far (0 for a thread that never allocated).
inline std::uint64_t count_of(pid_t tid) {
    const std::size_t used = std::min(g_used.load(std::memory_order_acquire), g_slots.size());
    for (std::size_t i = used; i-- > 0;)
        if (g_slots[i].tid.load(std::memory_order_acquire) == tid)
            return g_slots[i].count.load(std::memory_order_relaxed);
    return 0;
}

// Allocations of every thread so far.
inline std::uint64_t total() {
    std::uint64_t sum = g_overflow.count.load(std::memory_order_relaxed);
    for (const auto& s : g_slots) sum += s.count.load(std::memory_order_relaxed);
    return sum;
}

inline void* allocate(std::size_t size) {
    count_one();
    return std::malloc(size ? size : 1);
}

inline void* allocate_aligned(std::size_t size, std::align_val_t align) {
    count_one();
    const auto a = static_cast<std::size_t>(align);
    return std::aligned_alloc(a, (size + a - 1) / a * a);
}

// Out of line, so that the compiler does not pair a visible malloc with this free.
[[gnu::noinline]] inline void release(void* p) noexcept { std::free(p); }

}  // namespace bench::alloc

void* operator new(std::size_t size) {
    if (void* p = bench::alloc::allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = bench::alloc::allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return bench::alloc::allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return bench::alloc::allocate(size); }
void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = bench::alloc::allocate_aligned(size, align)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
    if (void* p = bench::alloc::allocate_aligned(size, align)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { bench::alloc::release(p); }
void operator delete[](void* p) noexcept { bench::alloc::release(p); }
void operator delete(void* p, std::size_t) noexcept { bench::alloc::release(p); }
void operator delete[](void* p, std::size_t) noexcept { bench::alloc::release(p); }
void operator delete(void* p, std::align_val_t) noexcept { bench::alloc::release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { bench::alloc::release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { bench::alloc::release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { bench::alloc::release(p); }
