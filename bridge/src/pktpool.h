// A packet pool: recycled buffers plus a FIFO queue of nodes with blocking put and take.
// Thread rules: any thread. the queue, stopped_ and the waiter counts are guarded by queueMutex_;
// the buffers by the store's own lock. destroy() stops the queue, releases what is queued, waits
// for threads still waiting in put/take, and the object deletes itself when its last node is back.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "kivobridge/pool.h"
#include "nodestore.h"

namespace pp {

class PacketPool : public Abstract_PacketPool {
public:
    PacketPool(const char* name, size_t maxBytes, size_t maxQueued, int idleTrimMs);

    FLMemNode* require(size_t size) override { return store_.require(size, this); }
    size_t heldBytes() const override { return store_.heldBytes(); }
    size_t maxBytes() const override { return store_.maxBytes(); }
    size_t cachedBytes() const override { return store_.cachedBytes(); }
    void trim() override { store_.trim(); }
    void releaseNode(FLMemNode* node) override;

    int put(FLMemNode* node, int timeout_ms) override { return put(node, timeout_ms, 0); }
    int put(FLMemNode* node, int timeout_ms, int flag) override;
    int take(FLMemNode** node, int timeout_ms) override;
    void clear() override;
    void stop() override;
    size_t queued() const override;

    void destroy();

private:
    ~PacketPool() override = default;  // only through destroy() or the last release

    // A ring that grows by doubling and never shrinks, so a steady stream never allocates.
    void pushLocked(FLMemNode* node);
    FLMemNode* popLocked();
    // Result of a put or take that found the pool stopped; lets destroy() know when the last
    // waiter is gone.
    int leaveStopped();

    NodeStore store_;
    const size_t maxQueued_;
    mutable std::mutex queueMutex_;
    std::condition_variable notFull_;
    std::condition_variable notEmpty_;
    std::condition_variable noWaiters_;  // the last waiter left after stop()
    std::vector<FLMemNode*> ring_;
    size_t head_ = 0;   // index of the oldest node
    size_t count_ = 0;  // nodes queued
    bool stopped_ = false;
    int putWaiters_ = 0;   // threads waiting for room
    int takeWaiters_ = 0;  // threads waiting for a node
};

}  // namespace pp
