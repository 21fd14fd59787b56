// A memory pool: recycled buffers, nothing more. Thread rules: any thread.
// destroy() marks the pool closed; the object deletes itself when its last node comes back.
#pragma once

#include "kivobridge/pool.h"
#include "nodestore.h"

namespace pp {

class MemPool : public Abstract_MemPool {
public:
    MemPool(const char* name, size_t maxBytes, int idleTrimMs)
        : store_("mempool", name, maxBytes, idleTrimMs) {}

    FLMemNode* require(size_t size) override { return store_.require(size, this); }
    size_t heldBytes() const override { return store_.heldBytes(); }
    size_t maxBytes() const override { return store_.maxBytes(); }
    size_t cachedBytes() const override { return store_.cachedBytes(); }
    void trim() override { store_.trim(); }
    void releaseNode(FLMemNode* node) override;

    void destroy();

private:
    ~MemPool() override = default;  // only through destroy() or the last release
    NodeStore store_;
};

}  // namespace pp
