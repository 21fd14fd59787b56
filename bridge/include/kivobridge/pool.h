// Memory pool and packet pool: recycled buffers for the hot paths (network payloads, decoded
// pictures, recording queues). All operations are thread-safe and may be called from any thread.
//
// A node comes from require() with reference count 1 and goes back with release_pnode(); its
// buffer is then kept for the next require() of a similar size, so a steady stream of same-sized
// requests stops touching the heap after warm-up. Each pool caps the bytes it holds (buffers in
// use plus buffers kept for reuse); a require() beyond the cap returns null. Buffers kept for
// reuse that stay unused for a while are freed (checked on require and release), so a burst does
// not pin its memory for the rest of the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "kivobridge/bridge.h"

namespace pp {

class Abstract_Pool;

struct FLMemNode {
    uint8_t* buffer;      // at least the requested size
    size_t size;          // the size asked for in require()
    void* user;           // free for the holder (the muxer stores a description record here)
    int ref;              // reference count; 1 after require()
    Abstract_Pool* pool;  // owner the node goes back to; null only for foreign nodes
};

// Byte cap of a pool made with default options.
constexpr size_t kMemPoolMaxBytes = 64u << 20;      // 64 MiB
constexpr size_t kPacketPoolMaxBytes = 512u << 20;  // 512 MiB
// Nodes a packet pool queues before put() waits (unless put is given kPutNoCountLimit).
constexpr size_t kPacketPoolMaxQueued = 64;

// put() flag: queue the node even when the count limit is reached, as long as the byte cap
// allows (small, loss-sensitive items such as audio chunks never wait behind big pictures).
constexpr int kPutNoCountLimit = 1;

// How long a released buffer is kept for reuse before it is freed.
constexpr int kPoolIdleTrimMs = 5000;

struct PoolOptions {
    size_t max_bytes = 0;   // 0: the default cap of the pool kind
    size_t max_queued = 0;  // packet pools only; 0: kPacketPoolMaxQueued
    int idle_trim_ms = 0;   // 0: kPoolIdleTrimMs
};

class KIVOBRIDGE_API Abstract_Pool {
public:
    virtual ~Abstract_Pool() = default;
    // Null when the cap would be exceeded or size is 0.
    virtual FLMemNode* require(size_t size) = 0;
    // Bytes currently held: buffers in use plus buffers kept for reuse.
    virtual size_t heldBytes() const = 0;
    virtual size_t maxBytes() const = 0;
    // Bytes of the buffers kept for reuse.
    virtual size_t cachedBytes() const = 0;
    // Frees every buffer kept for reuse now (for example when a session ends).
    virtual void trim() = 0;
    // Called by release_pnode(); applies the node's reference rules under the pool's lock.
    virtual void releaseNode(FLMemNode* node) = 0;
};

class KIVOBRIDGE_API Abstract_MemPool : public Abstract_Pool {};

class KIVOBRIDGE_API Abstract_PacketPool : public Abstract_Pool {
public:
    // Queues a node; waits up to timeout_ms while the queue is full. 0 when queued, -1 when
    // full after the time-out, -2 when stopped or node is null. On failure the caller still
    // owns the node.
    virtual int put(FLMemNode* node, int timeout_ms) = 0;
    virtual int put(FLMemNode* node, int timeout_ms, int flag) = 0;
    // Takes the oldest node; waits up to timeout_ms (0: no wait). 0 when taken; otherwise -1
    // (empty after the time-out) or -2 (stopped), and *node is null.
    virtual int take(FLMemNode** node, int timeout_ms) = 0;
    // Releases every queued node.
    virtual void clear() = 0;
    // Wakes every waiter; later puts and takes fail at once with -2.
    virtual void stop() = 0;
    virtual size_t queued() const = 0;
};

KIVOBRIDGE_API Abstract_MemPool* create_mempool(const char* name, const PoolOptions* options);
KIVOBRIDGE_API void destroy_mempool(Abstract_MemPool* pool);
KIVOBRIDGE_API Abstract_PacketPool* create_pktpool(const char* name, const PoolOptions* options);
KIVOBRIDGE_API void destroy_pktpool(Abstract_PacketPool* pool);

// Gives a node back to its pool and clears the caller's pointer.
inline void release_pnode(FLMemNode** pnode) {
    if (!pnode || !*pnode) return;
    FLMemNode* node = *pnode;
    *pnode = nullptr;
    if (!node->pool) {
        fprintf(stderr, "[ERROR] *** FLMemNode's pool is NULL, exit\n");
        free(node->buffer);
        free(node);
        return;
    }
    node->pool->releaseNode(node);
}

}  // namespace pp
