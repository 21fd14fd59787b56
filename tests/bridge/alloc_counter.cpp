#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local size_t tAllocations = 0;
std::atomic<long> gLive{0};

void* allocate(size_t size, size_t align) {
    ++tAllocations;
    if (size == 0) size = 1;
    void* p = align <= alignof(std::max_align_t)
                  ? std::malloc(size)
                  : std::aligned_alloc(align, (size + align - 1) / align * align);
    if (p) ++gLive;
    return p;
}

void release(void* p) {
    if (!p) return;
    --gLive;
    std::free(p);
}

void* allocateOrThrow(size_t size, size_t align) {
    void* p = allocate(size, align);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace bridgetest {

size_t threadAllocations() {
    return tAllocations;
}

long liveAllocations() {
    return gLive.load();
}

}  // namespace bridgetest

void* operator new(size_t size) {
    return allocateOrThrow(size, 0);
}
void* operator new[](size_t size) {
    return allocateOrThrow(size, 0);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 0);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 0);
}
void* operator new(size_t size, std::align_val_t a) {
    return allocateOrThrow(size, static_cast<size_t>(a));
}
void* operator new[](size_t size, std::align_val_t a) {
    return allocateOrThrow(size, static_cast<size_t>(a));
}
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<size_t>(a));
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<size_t>(a));
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, size_t) noexcept {
    release(p);
}
void operator delete[](void* p, size_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    release(p);
}
