#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "kivobridge/pool.h"

namespace {

struct MemPoolDeleter {
    void operator()(pp::Abstract_MemPool* p) const { pp::destroy_mempool(p); }
};
using MemPoolPtr = std::unique_ptr<pp::Abstract_MemPool, MemPoolDeleter>;

MemPoolPtr makePool(size_t maxBytes = 0) {
    pp::PoolOptions o;
    o.max_bytes = maxBytes;
    return MemPoolPtr(pp::create_mempool("test", &o));
}

}  // namespace

// A fresh node is fully initialised and its whole buffer usable; a buffer is never more than a
// quarter larger than asked for (held bytes grow by the buffer's real size).
TEST(BridgeMemPool, NodeFieldsAndSizeClassWaste) {
    MemPoolPtr pool(pp::create_mempool(nullptr, nullptr));
    ASSERT_TRUE(pool);
    EXPECT_EQ(pool->maxBytes(), pp::kMemPoolMaxBytes);
    EXPECT_EQ(pool->require(0), nullptr);

    std::mt19937 rng(7);
    std::vector<size_t> sizes = {1, 63, 64, 65, 80, 81, 1500, 4096, 4097, 65536, 3u << 20};
    for (int i = 0; i < 300; ++i) sizes.push_back(1 + rng() % (4u << 20));
    for (size_t size : sizes) {
        pool = makePool();  // empty, so held bytes are exactly this buffer
        pp::FLMemNode* node = pool->require(size);
        ASSERT_NE(node, nullptr) << size;
        const size_t capacity = pool->heldBytes();
        EXPECT_GE(capacity, size);
        EXPECT_LE(capacity, std::max<size_t>(64, size + size / 4)) << size;
        EXPECT_EQ(node->size, size);
        EXPECT_EQ(node->ref, 1);
        EXPECT_EQ(node->user, nullptr);
        EXPECT_EQ(node->pool, pool.get());
        std::memset(node->buffer, 0xab, capacity);
        node->user = &rng;
        pp::release_pnode(&node);
        EXPECT_EQ(node, nullptr);
        // The released buffer is the one handed out next for the same size, with fresh fields.
        const size_t held = pool->heldBytes();
        pp::FLMemNode* again = pool->require(size);
        EXPECT_EQ(pool->heldBytes(), held);
        EXPECT_EQ(again->user, nullptr);
        EXPECT_EQ(again->ref, 1);
        pp::release_pnode(&again);
    }
    pp::FLMemNode* none = nullptr;
    pp::release_pnode(&none);  // null is ignored
    pp::release_pnode(nullptr);
}

// Hot path: after warm-up a steady stream of same-sized requests must not touch the heap.
TEST(BridgeMemPool, SteadyStreamDoesNotAllocate) {
    MemPoolPtr pool = makePool();
    for (size_t size : {size_t{1500}, size_t{64} << 10, size_t{3} << 20}) {
        pp::FLMemNode* warm[3];
        for (auto& n : warm) n = pool->require(size);
        for (auto& n : warm) pp::release_pnode(&n);
        const size_t held = pool->heldBytes();
        const size_t before = bridgetest::threadAllocations();
        for (int i = 0; i < 1000; ++i) {
            pp::FLMemNode* a = pool->require(size);
            pp::FLMemNode* b = pool->require(size - 1);
            ASSERT_TRUE(a && b);
            ASSERT_NE(a->buffer, b->buffer);
            a->buffer[size - 1] = 1;
            pp::release_pnode(&b);
            pp::release_pnode(&a);
        }
        EXPECT_EQ(bridgetest::threadAllocations(), before) << size;
        EXPECT_EQ(pool->heldBytes(), held);
    }
}

// The cap bounds buffers in use plus cached ones: beyond it require() returns null, cached
// buffers are dropped to make room when that helps, and kept when it does not.
TEST(BridgeMemPool, ByteCap) {
    MemPoolPtr pool = makePool(1u << 20);
    EXPECT_EQ(pool->maxBytes(), 1u << 20);
    EXPECT_EQ(pool->require((1u << 20) + 1), nullptr);

    pp::FLMemNode* a = pool->require(600 << 10);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(pool->require(600 << 10), nullptr);
    uint8_t* const aBuf = a->buffer;
    pp::release_pnode(&a);
    a = pool->require(600 << 10);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->buffer, aBuf);  // recycled, not a second buffer

    // 600 KiB out, 100 KiB cached: 500 KiB cannot fit even without the cache, so the cached
    // buffer must survive for its own size.
    pp::FLMemNode* small = pool->require(100 << 10);
    ASSERT_NE(small, nullptr);
    uint8_t* const smallBuf = small->buffer;
    pp::release_pnode(&small);
    EXPECT_EQ(pool->require(500 << 10), nullptr);
    small = pool->require(100 << 10);
    EXPECT_EQ(small->buffer, smallBuf);
    pp::release_pnode(&small);
    pp::release_pnode(&a);

    // Everything cached (600 + 100 KiB): a 900 KiB request fits once the cache is dropped.
    pp::FLMemNode* big = pool->require(900 << 10);
    ASSERT_NE(big, nullptr);
    EXPECT_LE(pool->heldBytes(), pool->maxBytes());
    pp::release_pnode(&big);
}

// Reference rules: 2 -> 1 and the node stays out; 1 -> 0 and it goes back; a negative count
// becomes 0 and the node goes back; releasing a node that is already back must not put it on
// the free list twice (two holders would then share one buffer).
TEST(BridgeMemPool, ReleaseReferenceRules) {
    MemPoolPtr pool = makePool();
    pp::FLMemNode* node = pool->require(1000);
    pp::FLMemNode* const raw = node;
    node->ref = 2;
    pp::release_pnode(&node);
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(raw->ref, 1);
    pp::FLMemNode* other = pool->require(1000);
    EXPECT_NE(other->buffer, raw->buffer);  // still in use: not handed out again
    pp::release_pnode(&other);

    node = raw;
    pp::release_pnode(&node);
    EXPECT_EQ(raw->ref, 0);
    node = raw;
    pp::release_pnode(&node);  // already back: ignored
    EXPECT_EQ(raw->ref, 0);
    pp::FLMemNode* x = pool->require(1000);
    pp::FLMemNode* y = pool->require(1000);
    pp::FLMemNode* z = pool->require(1000);
    EXPECT_NE(x->buffer, y->buffer);
    EXPECT_NE(y->buffer, z->buffer);
    EXPECT_NE(x->buffer, z->buffer);

    x->ref = -1;
    uint8_t* const xBuf = x->buffer;
    pp::FLMemNode* const xRaw = x;
    pp::release_pnode(&x);
    EXPECT_EQ(xRaw->ref, 0);
    pp::FLMemNode* reused = pool->require(1000);
    EXPECT_EQ(reused->buffer, xBuf);
    EXPECT_EQ(reused->ref, 1);
    pp::release_pnode(&reused);
    pp::release_pnode(&y);
    pp::release_pnode(&z);
}

// Destroying a pool with nodes still out: those buffers stay valid for their holders, and the
// pool with every buffer and node is freed once the last of them comes back.
TEST(BridgeMemPool, ReleaseAfterDestroy) {
    std::vector<pp::FLMemNode*> out;
    out.reserve(8);
    const long before = bridgetest::liveAllocations();
    pp::Abstract_MemPool* pool = pp::create_mempool("late", nullptr);
    for (int i = 0; i < 8; ++i) out.push_back(pool->require(4096 * (i + 1)));
    pp::FLMemNode* cached = pool->require(100);
    pp::release_pnode(&cached);
    out[3]->ref = 2;
    pp::destroy_mempool(pool);
    for (pp::FLMemNode* n : out) std::memset(n->buffer, 0x5a, n->size);
    std::thread t([&] {
        for (size_t i = 0; i < out.size(); i += 2) pp::release_pnode(&out[i]);
    });
    pp::FLMemNode* shared = out[3];
    for (size_t i = 1; i < out.size(); i += 2) pp::release_pnode(&out[i]);
    t.join();
    // The second holder of the shared node keeps it, and with it the pool.
    EXPECT_EQ(shared->ref, 1);
    std::memset(shared->buffer, 0x5b, shared->size);
    EXPECT_GT(bridgetest::liveAllocations(), before);
    pp::release_pnode(&shared);
    EXPECT_EQ(bridgetest::liveAllocations(), before);
    pp::destroy_mempool(nullptr);
}

// Guards against a burst pinning its buffers for the rest of the run: cached buffers left unused
// for the idle time are freed on a later require or release, and trim() frees them at once.
TEST(BridgeMemPool, IdleCachedBuffersAreGivenBack) {
    pp::PoolOptions o;
    o.idle_trim_ms = 100;
    MemPoolPtr pool(pp::create_mempool("idle", &o));
    std::vector<pp::FLMemNode*> burst;
    for (int i = 0; i < 16; ++i) burst.push_back(pool->require(1 << 20));
    for (auto*& n : burst) pp::release_pnode(&n);
    EXPECT_GE(pool->cachedBytes(), size_t{16} << 20);
    // A small steady stream goes on; the burst's buffers go once idle, the busy one stays.
    uint8_t* steady = nullptr;
    bool recycled = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pool->heldBytes() > 4096 && std::chrono::steady_clock::now() < deadline) {
        pp::FLMemNode* n = pool->require(1000);
        if (steady && n->buffer != steady) recycled = false;
        steady = n->buffer;
        pp::release_pnode(&n);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_LE(pool->heldBytes(), 4096u);
    EXPECT_TRUE(recycled) << "a buffer in steady use must not be freed";

    pp::FLMemNode* a = pool->require(300000);
    pp::release_pnode(&a);
    EXPECT_GT(pool->cachedBytes(), 0u);
    pool->trim();
    EXPECT_EQ(pool->cachedBytes(), 0u);
    EXPECT_EQ(pool->heldBytes(), 0u);
}

// Many threads requiring and releasing at once: a buffer is never handed to two holders (each
// holder fills its buffer and finds it unchanged before giving it back).
TEST(BridgeMemPool, ConcurrentHoldersNeverShareABuffer) {
    MemPoolPtr pool = makePool(32u << 20);
    std::atomic<int> failures{0}, nulls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            std::vector<pp::FLMemNode*> held;
            for (int i = 0; i < 4000; ++i) {
                if (held.size() < 8 && (rng() % 2 || held.empty())) {
                    const size_t size = 1 + rng() % 20000;
                    pp::FLMemNode* n = pool->require(size);
                    if (!n) {
                        ++nulls;
                        continue;
                    }
                    std::memset(n->buffer, t + 1, n->size);
                    held.push_back(n);
                } else {
                    const size_t k = rng() % held.size();
                    pp::FLMemNode* n = held[k];
                    for (size_t b = 0; b < n->size; b += 97)
                        if (n->buffer[b] != t + 1) ++failures;
                    held.erase(held.begin() + static_cast<long>(k));
                    pp::release_pnode(&n);
                }
            }
            for (auto* n : held) pp::release_pnode(&n);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(nulls, 0);
    EXPECT_LE(pool->heldBytes(), pool->maxBytes());
}
