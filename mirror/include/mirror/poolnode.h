// Owners for the bridge's pools and nodes, so every path gives a buffer back exactly once.
// Same thread rules as the pools themselves (any thread).
#pragma once

#include <memory>
#include <utility>

#include "kivobridge/pool.h"

namespace mirror {

struct MemPoolDeleter {
    void operator()(pp::Abstract_MemPool* p) const { pp::destroy_mempool(p); }
};
using MemPoolPtr = std::unique_ptr<pp::Abstract_MemPool, MemPoolDeleter>;

struct PacketPoolDeleter {
    void operator()(pp::Abstract_PacketPool* p) const {
        p->stop();
        pp::destroy_pktpool(p);
    }
};
using PacketPoolPtr = std::unique_ptr<pp::Abstract_PacketPool, PacketPoolDeleter>;

// One node of a pool, given back on destruction.
class PoolNode {
public:
    explicit PoolNode(pp::FLMemNode* node = nullptr) : node_(node) {}
    ~PoolNode() { pp::release_pnode(&node_); }
    PoolNode(PoolNode&& o) noexcept : node_(std::exchange(o.node_, nullptr)) {}
    PoolNode& operator=(PoolNode&& o) noexcept {
        pp::release_pnode(&node_);
        node_ = std::exchange(o.node_, nullptr);
        return *this;
    }
    PoolNode(const PoolNode&) = delete;
    PoolNode& operator=(const PoolNode&) = delete;

    pp::FLMemNode* get() const { return node_; }
    // Gives up ownership (the node now belongs to whoever took it, e.g. a queue).
    pp::FLMemNode* detach() { return std::exchange(node_, nullptr); }
    uint8_t* data() const { return node_ ? node_->buffer : nullptr; }
    explicit operator bool() const { return node_ != nullptr; }

private:
    pp::FLMemNode* node_;
};

}  // namespace mirror
