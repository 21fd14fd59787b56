#include "nodestore.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "kivobridge/log.h"

namespace pp {

namespace {

constexpr uint32_t kMagicOut = 0x4b4e4f55;     // handed out
constexpr uint32_t kMagicCached = 0x4b4e4346;  // on a free list
constexpr size_t kAlign = 64;                  // cache line; enough for any SIMD row code

int highestBit(size_t v) {
    return static_cast<int>(sizeof(size_t) * 8) - 1 - __builtin_clzl(v);
}

}  // namespace

// The node handed out is the first member, so a FLMemNode* converts back to its Node.
struct NodeStore::Node {
    FLMemNode pub;
    size_t capacity;
    size_t cls;
    uint32_t magic;
    Node* nextFree;
    std::chrono::steady_clock::time_point cachedAt;  // when it went on its free list
};

size_t NodeStore::classIndex(size_t size) {
    if (size <= (size_t{1} << kMinShift)) return 0;
    const int k = highestBit(size - 1);  // 2^k < size <= 2^(k+1)
    const size_t base = size_t{1} << k;
    const size_t step = base / 4;
    const size_t sub = (size - base + step - 1) / step;  // 1..4
    return (static_cast<size_t>(k) - kMinShift) * 4 + sub;
}

size_t NodeStore::classCapacity(size_t size) {
    if (size == 0 || size > (size_t{1} << (sizeof(size_t) * 8 - 2))) return 0;
    const size_t idx = classIndex(size);
    const size_t k = kMinShift + idx / 4;
    const size_t base = size_t{1} << k;
    return base + (idx % 4) * (base / 4);
}

NodeStore::NodeStore(const char* kind, const char* name, size_t maxBytes, int idleTrimMs)
    : name_(name && *name ? name : kind),
      maxBytes_(maxBytes),
      idle_(std::chrono::milliseconds(idleTrimMs)) {}

NodeStore::~NodeStore() {
    std::lock_guard<std::mutex> lock(mutex_);
    dropCachedLocked(SIZE_MAX);
}

void NodeStore::dropCachedLocked(size_t need) {
    for (size_t i = kClasses; i-- > 0 && cached_ > 0;) {
        while (Node* n = free_[i]) {
            if (need != SIZE_MAX && held_ + need <= maxBytes_) return;
            free_[i] = n->nextFree;
            freeNodeLocked(n);
        }
    }
}

void NodeStore::freeNodeLocked(Node* n) {
    held_ -= n->capacity;
    cached_ -= n->capacity;
    ::operator delete(n->pub.buffer, std::align_val_t(kAlign));
    delete n;
}

void NodeStore::trimIdleLocked(std::chrono::steady_clock::time_point now) {
    if (now < nextTrim_ || cached_ == 0) return;
    nextTrim_ = now + std::min<std::chrono::steady_clock::duration>(idle_, std::chrono::seconds(1));
    const auto cutoff = now - idle_;
    for (Node*& head : free_) {
        // A free list is a stack: below the first node cached before the cutoff, all are older.
        Node** link = &head;
        while (*link && (*link)->cachedAt >= cutoff) link = &(*link)->nextFree;
        Node* n = *link;
        *link = nullptr;
        while (n) {
            Node* next = n->nextFree;
            freeNodeLocked(n);
            n = next;
        }
    }
}

void NodeStore::trim() {
    std::lock_guard<std::mutex> lock(mutex_);
    dropCachedLocked(SIZE_MAX);
}

size_t NodeStore::cachedBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cached_;
}

FLMemNode* NodeStore::require(size_t size, Abstract_Pool* owner) {
    const size_t capacity = classCapacity(size);
    if (capacity == 0) return nullptr;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return nullptr;
    trimIdleLocked(now);
    const size_t idx = classIndex(size);
    Node* n = free_[idx];
    if (n) {
        free_[idx] = n->nextFree;
        cached_ -= n->capacity;
    } else {
        // Cached buffers are dropped only when that makes room; otherwise they stay useful.
        const bool fits = capacity <= maxBytes_ && held_ - cached_ <= maxBytes_ - capacity;
        if (fits && held_ + capacity > maxBytes_) dropCachedLocked(capacity);
        if (!fits) {
            if (!warnedFull_) {
                warnedFull_ = true;
                LOGW("Pool %s is full: %zu of %zu bytes held, %zu more asked", name_.c_str(), held_,
                     maxBytes_, capacity);
            }
            return nullptr;
        }
        void* buf = ::operator new(capacity, std::align_val_t(kAlign), std::nothrow);
        if (!buf) {
            LOGE("Memory alloc fail");
            return nullptr;
        }
        n = new (std::nothrow) Node;
        if (!n) {
            ::operator delete(buf, std::align_val_t(kAlign));
            LOGE("Memory alloc fail");
            return nullptr;
        }
        n->pub.buffer = static_cast<uint8_t*>(buf);
        n->capacity = capacity;
        n->cls = idx;
        held_ += capacity;
    }
    warnedFull_ = false;
    n->magic = kMagicOut;
    n->nextFree = nullptr;
    n->pub.size = size;
    n->pub.user = nullptr;
    n->pub.ref = 1;
    n->pub.pool = owner;
    ++out_;
    return &n->pub;
}

NodeStore::Released NodeStore::release(FLMemNode* node) {
    if (!node) return Released::Kept;
    Node* n = reinterpret_cast<Node*>(node);
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (n->magic != kMagicOut) {
        // Already back (or never ours): recycling it again would hand one buffer to two users.
        LOGW("Pool %s: node released twice, ignored", name_.c_str());
        if (node->ref < 0) node->ref = 0;
        return Released::Kept;
    }
    if (node->ref > 1) {
        --node->ref;
        return Released::Kept;
    }
    // 1 is the normal last release; 0 or less means the holder's count went wrong, but the
    // node is still ours and would otherwise be lost for good.
    if (node->ref < 0) LOGW("Pool %s: node released with reference %d", name_.c_str(), node->ref);
    node->ref = 0;
    node->user = nullptr;
    --out_;
    if (closed_) {
        held_ -= n->capacity;
        n->magic = 0;
        ::operator delete(node->buffer, std::align_val_t(kAlign));
        delete n;
        return out_ == 0 ? Released::LastOfClosed : Released::Freed;
    }
    n->magic = kMagicCached;
    n->nextFree = free_[n->cls];
    n->cachedAt = now;
    free_[n->cls] = n;
    cached_ += n->capacity;
    trimIdleLocked(now);
    return Released::Kept;
}

bool NodeStore::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    dropCachedLocked(SIZE_MAX);
    return out_ == 0;
}

size_t NodeStore::heldBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

}  // namespace pp
