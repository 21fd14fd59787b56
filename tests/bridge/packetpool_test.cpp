#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "kivobridge/pool.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct PktPoolDeleter {
    void operator()(pp::Abstract_PacketPool* p) const { pp::destroy_pktpool(p); }
};
using PktPoolPtr = std::unique_ptr<pp::Abstract_PacketPool, PktPoolDeleter>;

PktPoolPtr makePool(size_t maxQueued, size_t maxBytes = 0) {
    pp::PoolOptions o;
    o.max_queued = maxQueued;
    o.max_bytes = maxBytes;
    return PktPoolPtr(pp::create_pktpool("test", &o));
}

struct Stamp {
    int producer;
    int seq;
};

pp::FLMemNode* stamped(pp::Abstract_PacketPool* pool, int producer, int seq, size_t size) {
    pp::FLMemNode* n = pool->require(size);
    if (n) {
        const Stamp s{producer, seq};
        std::memcpy(n->buffer, &s, sizeof s);
    }
    return n;
}

Stamp stampOf(const pp::FLMemNode* n) {
    Stamp s;
    std::memcpy(&s, n->buffer, sizeof s);
    return s;
}

}  // namespace

// Queue results: FIFO, -1 when full or empty after the time-out (with a null out node), the
// count limit bypassed by the flag, and the caller keeping a node whose put failed.
TEST(BridgePacketPool, PutTakeResultsAndOrder) {
    PktPoolPtr pool(pp::create_pktpool(nullptr, nullptr));
    EXPECT_EQ(pool->maxBytes(), pp::kPacketPoolMaxBytes);
    pool = makePool(2);
    pp::FLMemNode* out = reinterpret_cast<pp::FLMemNode*>(&pool);
    EXPECT_EQ(pool->take(&out, 0), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(pool->take(&out, 30), -1);
    EXPECT_EQ(pool->take(nullptr, 0), -2);
    EXPECT_EQ(pool->put(nullptr, 0), -2);

    pp::FLMemNode* a = stamped(pool.get(), 0, 1, 100);
    pp::FLMemNode* b = stamped(pool.get(), 0, 2, 5000);
    pp::FLMemNode* c = stamped(pool.get(), 0, 3, 100);
    pp::FLMemNode* d = stamped(pool.get(), 0, 4, 100);
    EXPECT_EQ(pool->put(a, 0), 0);
    EXPECT_EQ(pool->put(b, 0), 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(pool->put(c, 50), -1);
    EXPECT_GE(Clock::now() - t0, 45ms);  // it did wait for room
    EXPECT_EQ(pool->queued(), 2u);
    EXPECT_EQ(c->ref, 1);  // still ours
    EXPECT_EQ(pool->put(c, 0, pp::kPutNoCountLimit), 0);
    EXPECT_EQ(pool->put(d, 0, pp::kPutNoCountLimit), 0);
    EXPECT_EQ(pool->queued(), 4u);
    for (int want = 1; want <= 4; ++want) {
        ASSERT_EQ(pool->take(&out, 0), 0);
        EXPECT_EQ(stampOf(out).seq, want);
        pp::release_pnode(&out);
    }
    EXPECT_EQ(pool->queued(), 0u);
}

// A put waiting for room goes through as soon as a take makes room, and a take waiting for a
// node gets it as soon as it is put.
TEST(BridgePacketPool, WaitersProceedWhenUnblocked) {
    PktPoolPtr pool = makePool(1);
    pp::FLMemNode* first = stamped(pool.get(), 0, 1, 64);
    ASSERT_EQ(pool->put(first, 0), 0);
    std::atomic<int> putResult{99};
    std::thread putter([&] { putResult = pool->put(stamped(pool.get(), 0, 2, 64), 10000); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(putResult, 99);
    pp::FLMemNode* out = nullptr;
    ASSERT_EQ(pool->take(&out, 0), 0);
    pp::release_pnode(&out);
    putter.join();
    EXPECT_EQ(putResult, 0);
    ASSERT_EQ(pool->take(&out, 0), 0);
    EXPECT_EQ(stampOf(out).seq, 2);
    pp::release_pnode(&out);

    std::thread taker([&] {
        pp::FLMemNode* got = nullptr;
        if (pool->take(&got, 10000) == 0) {
            EXPECT_EQ(stampOf(got).seq, 3);
            pp::release_pnode(&got);
        } else {
            ADD_FAILURE() << "take gave up";
        }
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(pool->put(stamped(pool.get(), 0, 3, 64), 0), 0);
    taker.join();
}

// stop() must wake a put blocked on a full queue and a take blocked on an empty one, and make
// every later put and take fail with -2; clear() gives queued nodes back for reuse.
TEST(BridgePacketPool, StopWakesBlockedCallersAndClearReleases) {
    PktPoolPtr full = makePool(1), empty = makePool(1);
    pp::FLMemNode* queuedNode = stamped(full.get(), 0, 1, 2048);
    uint8_t* const queuedBuf = queuedNode->buffer;
    ASSERT_EQ(full->put(queuedNode, 0), 0);
    pp::FLMemNode* blockedNode = stamped(full.get(), 0, 2, 64);

    std::atomic<int> putResult{99}, takeResult{99};
    pp::FLMemNode* taken = reinterpret_cast<pp::FLMemNode*>(&putResult);
    const auto t0 = Clock::now();
    std::thread putter([&] { putResult = full->put(blockedNode, 60000); });
    std::thread taker([&] { takeResult = empty->take(&taken, 60000); });
    std::this_thread::sleep_for(50ms);
    full->stop();
    empty->stop();
    putter.join();
    taker.join();
    EXPECT_LT(Clock::now() - t0, 10s);
    EXPECT_EQ(putResult, -2);
    EXPECT_EQ(takeResult, -2);
    EXPECT_EQ(taken, nullptr);

    EXPECT_EQ(full->put(blockedNode, 0, pp::kPutNoCountLimit), -2);
    pp::FLMemNode* out = nullptr;
    EXPECT_EQ(full->take(&out, 100), -2);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(full->queued(), 1u);
    pp::release_pnode(&blockedNode);  // the caller still owned it

    full->clear();
    EXPECT_EQ(full->queued(), 0u);
    pp::FLMemNode* again = full->require(2048);
    EXPECT_EQ(again->buffer, queuedBuf);
    pp::release_pnode(&again);
}

// Several producers and consumers on a small queue: every node arrives exactly once, and the
// nodes of one producer reach each consumer in the order they were put.
TEST(BridgePacketPool, ManyProducersAndConsumers) {
    constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 5000;
    PktPoolPtr pool = makePool(8);
    std::vector<std::vector<int>> seen(kProducers, std::vector<int>(kPerProducer, 0));
    std::mutex seenMutex;
    std::atomic<int> received{0}, orderErrors{0}, putFailures{0};

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                pp::FLMemNode* n = stamped(pool.get(), p, i, 64 + (i % 7) * 500);
                int rc;
                while ((rc = pool->put(n, 20)) == -1) {
                }
                if (rc != 0) {
                    ++putFailures;
                    pp::release_pnode(&n);
                }
            }
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&] {
            std::vector<int> last(kProducers, -1);
            while (received < kProducers * kPerProducer) {
                pp::FLMemNode* n = nullptr;
                if (pool->take(&n, 20) != 0) continue;
                const Stamp s = stampOf(n);
                if (s.seq <= last[s.producer]) ++orderErrors;
                last[s.producer] = s.seq;
                {
                    std::lock_guard<std::mutex> lock(seenMutex);
                    ++seen[s.producer][s.seq];
                }
                pp::release_pnode(&n);
                ++received;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(putFailures, 0);
    EXPECT_EQ(orderErrors, 0);
    EXPECT_EQ(received, kProducers * kPerProducer);
    for (int p = 0; p < kProducers; ++p)
        for (int i = 0; i < kPerProducer; ++i) ASSERT_EQ(seen[p][i], 1) << p << "/" << i;
    EXPECT_EQ(pool->queued(), 0u);
}

// The packet pool caps bytes like the memory pool; kPutNoCountLimit does not lift the byte cap
// because the nodes come from require().
TEST(BridgePacketPool, ByteCapReturnsNull) {
    PktPoolPtr pool = makePool(4, 1u << 20);
    std::vector<pp::FLMemNode*> nodes;
    while (pp::FLMemNode* n = pool->require(100 << 10)) nodes.push_back(n);
    EXPECT_GE(nodes.size(), 7u);
    EXPECT_LE(pool->heldBytes(), 1u << 20);
    for (auto* n : nodes) EXPECT_EQ(pool->put(n, 0, pp::kPutNoCountLimit), 0);
    EXPECT_EQ(pool->require(100 << 10), nullptr);
    pool->clear();
    pp::FLMemNode* n = pool->require(100 << 10);
    EXPECT_NE(n, nullptr);
    pp::release_pnode(&n);
}

// A node of another pool may pass through a packet queue; it goes back to its own pool when
// released or cleared.
TEST(BridgePacketPool, ForeignNodesGoBackToTheirPool) {
    pp::Abstract_MemPool* mem = pp::create_mempool("frames", nullptr);
    PktPoolPtr queue = makePool(4);
    pp::FLMemNode* n = mem->require(3000);
    uint8_t* const buf = n->buffer;
    ASSERT_EQ(queue->put(n, 0), 0);
    EXPECT_EQ(queue->heldBytes(), 0u);
    queue->clear();
    pp::FLMemNode* back = mem->require(3000);
    EXPECT_EQ(back->buffer, buf);
    ASSERT_EQ(queue->put(back, 0), 0);
    queue.reset();  // destroying the queue releases what it still holds
    back = mem->require(3000);
    EXPECT_EQ(back->buffer, buf);
    pp::release_pnode(&back);
    pp::destroy_mempool(mem);
}

// Destroying a packet pool while a consumer waits and nodes are still out: the consumer is
// woken with -2, and the outstanding nodes stay valid until their holders release them.
TEST(BridgePacketPool, DestroyWithWaiterAndNodesOut) {
    const long before = bridgetest::liveAllocations();
    pp::Abstract_PacketPool* pool = pp::create_pktpool("late", nullptr);
    pp::FLMemNode* held = pool->require(1 << 16);
    pp::FLMemNode* queued = pool->require(1 << 10);
    ASSERT_EQ(pool->put(queued, 0), 0);
    pp::FLMemNode* cached = pool->require(1 << 12);
    pp::release_pnode(&cached);
    // A taker blocked on an empty pool, in a second pool so the queued node stays queued.
    pp::Abstract_PacketPool* waitPool = pp::create_pktpool("wait", nullptr);
    std::atomic<int> takeResult{99};
    std::thread taker([&] {
        pp::FLMemNode* got = nullptr;
        takeResult = waitPool->take(&got, 60000);
    });
    std::this_thread::sleep_for(50ms);
    pp::destroy_pktpool(waitPool);
    taker.join();
    EXPECT_EQ(takeResult, -2);

    pp::destroy_pktpool(pool);
    // The node still held keeps its buffer, and the pool, alive until it comes back; the queued
    // and cached ones went with the destroy.
    std::memset(held->buffer, 1, held->size);
    EXPECT_GT(bridgetest::liveAllocations(), before);
    pp::release_pnode(&held);
    EXPECT_EQ(bridgetest::liveAllocations(), before);
    pp::destroy_pktpool(nullptr);
}

// The packet hot path (require, put, take, release) stops touching the heap after warm-up;
// a steady heldBytes shows the buffers are recycled.
TEST(BridgePacketPool, SteadyStreamReusesBuffers) {
    PktPoolPtr pool = makePool(16);
    for (int i = 0; i < 3; ++i) {
        pp::FLMemNode* n = pool->require(1500);
        pool->put(n, 0);
    }
    pool->clear();
    const size_t held = pool->heldBytes();
    for (int i = 0; i < 2000; ++i) {
        pp::FLMemNode* a = pool->require(1500);
        pp::FLMemNode* b = pool->require(1400);
        ASSERT_EQ(pool->put(a, 0), 0);
        ASSERT_EQ(pool->put(b, 0), 0);
        pp::FLMemNode* out = nullptr;
        ASSERT_EQ(pool->take(&out, 0), 0);
        EXPECT_EQ(out, a);
        pp::release_pnode(&out);
        ASSERT_EQ(pool->take(&out, 0), 0);
        pp::release_pnode(&out);
    }
    EXPECT_EQ(pool->heldBytes(), held);
}
