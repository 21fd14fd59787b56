#include <algorithm>
#include <chrono>
#include <new>

#include "kivobridge/log.h"
#include "mempool.h"
#include "pktpool.h"

namespace pp {

void MemPool::releaseNode(FLMemNode* node) {
    if (store_.release(node) == NodeStore::Released::LastOfClosed) delete this;
}

void MemPool::destroy() {
    if (store_.close()) delete this;
}

PacketPool::PacketPool(const char* name, size_t maxBytes, size_t maxQueued, int idleTrimMs)
    : store_("pktpool", name, maxBytes, idleTrimMs), maxQueued_(maxQueued) {}

void PacketPool::releaseNode(FLMemNode* node) {
    if (store_.release(node) == NodeStore::Released::LastOfClosed) delete this;
}

void PacketPool::pushLocked(FLMemNode* node) {
    if (count_ == ring_.size()) {
        std::vector<FLMemNode*> bigger(std::max<size_t>(16, ring_.size() * 2));
        for (size_t i = 0; i < count_; ++i) bigger[i] = ring_[(head_ + i) % ring_.size()];
        ring_.swap(bigger);
        head_ = 0;
    }
    ring_[(head_ + count_) % ring_.size()] = node;
    ++count_;
}

FLMemNode* PacketPool::popLocked() {
    FLMemNode* node = ring_[head_];
    ring_[head_] = nullptr;
    head_ = (head_ + 1) % ring_.size();
    --count_;
    return node;
}

namespace {

// Waits on cv until ready() or the time-out; a negative time-out waits without limit. waiters
// counts the threads waiting on cv, so the other side only signals when someone listens.
template <typename Ready>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int timeout_ms,
             int& waiters, Ready ready) {
    if (ready()) return true;
    if (timeout_ms == 0) return false;
    ++waiters;
    bool ok = true;
    if (timeout_ms < 0)
        cv.wait(lock, ready);
    else
        ok = cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
    --waiters;
    return ok;
}

}  // namespace

int PacketPool::put(FLMemNode* node, int timeout_ms, int flag) {
    if (!node) return -2;
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (stopped_) return -2;
    if (!(flag & kPutNoCountLimit)) {
        const bool room = waitFor(notFull_, lock, timeout_ms, putWaiters_,
                                  [this] { return stopped_ || count_ < maxQueued_; });
        if (stopped_) return leaveStopped();
        if (!room) return -1;
    }
    try {
        pushLocked(node);
    } catch (const std::bad_alloc&) {
        LOGE("Memory alloc fail");
        return -1;
    }
    // Signalled under the lock: once the lock is dropped a concurrent destroy may free us.
    if (takeWaiters_ > 0) notEmpty_.notify_one();
    return 0;
}

int PacketPool::take(FLMemNode** node, int timeout_ms) {
    if (!node) return -2;
    *node = nullptr;
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (stopped_) return -2;
    const bool ready = waitFor(notEmpty_, lock, timeout_ms, takeWaiters_,
                               [this] { return stopped_ || count_ > 0; });
    if (stopped_) return leaveStopped();
    if (!ready) return -1;
    *node = popLocked();
    if (putWaiters_ > 0) notFull_.notify_one();
    return 0;
}

int PacketPool::leaveStopped() {
    if (putWaiters_ == 0 && takeWaiters_ == 0) noWaiters_.notify_all();
    return -2;
}

void PacketPool::clear() {
    std::vector<FLMemNode*> drained;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        drained.reserve(count_);
        while (count_ > 0) drained.push_back(popLocked());
        notFull_.notify_all();
    }
    // Released outside the queue lock: a node of another pool takes that pool's lock.
    for (FLMemNode* node : drained) release_pnode(&node);
}

void PacketPool::stop() {
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopped_ = true;
        notFull_.notify_all();
        notEmpty_.notify_all();
    }
}

size_t PacketPool::queued() const {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return count_;
}

void PacketPool::destroy() {
    stop();
    {
        std::unique_lock<std::mutex> lock(queueMutex_);
        noWaiters_.wait(lock, [this] { return putWaiters_ == 0 && takeWaiters_ == 0; });
    }
    clear();
    if (store_.close()) delete this;
}

namespace {

size_t capOr(const PoolOptions* options, size_t fallback) {
    return options && options->max_bytes ? options->max_bytes : fallback;
}

int idleTrimOf(const PoolOptions* options) {
    return options && options->idle_trim_ms > 0 ? options->idle_trim_ms : kPoolIdleTrimMs;
}

}  // namespace

Abstract_MemPool* create_mempool(const char* name, const PoolOptions* options) {
    return new (std::nothrow) MemPool(name, capOr(options, kMemPoolMaxBytes), idleTrimOf(options));
}

void destroy_mempool(Abstract_MemPool* pool) {
    if (pool) static_cast<MemPool*>(pool)->destroy();
}

Abstract_PacketPool* create_pktpool(const char* name, const PoolOptions* options) {
    const size_t maxQueued =
        options && options->max_queued ? options->max_queued : kPacketPoolMaxQueued;
    return new (std::nothrow)
        PacketPool(name, capOr(options, kPacketPoolMaxBytes), maxQueued, idleTrimOf(options));
}

void destroy_pktpool(Abstract_PacketPool* pool) {
    if (pool) static_cast<PacketPool*>(pool)->destroy();
}

}  // namespace pp
