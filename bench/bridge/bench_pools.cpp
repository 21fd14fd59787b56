// Require/release throughput of the memory pool and the packet pool against malloc/free of the
// same sizes, measured in the same run. Single thread, then two threads sharing one pool (the
// packet pool case is one producer and one consumer passing nodes through the queue, against
// the same hand-over with malloc'd buffers through a mutex-guarded queue).
// Usage: bench_pools [seconds per case, default 0.5]
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivobridge/pool.h"

namespace {

using Clock = std::chrono::steady_clock;
double gSeconds = 0.5;

// Runs body(iterations) in growing batches for about gSeconds; returns operations per second.
double measure(const std::function<void(long)>& body) {
    long batch = 64;
    long total = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < gSeconds) {
        body(batch);
        total += batch;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (batch < (1 << 20)) batch *= 2;
    }
    return total / elapsed;
}

// The buffer is touched once, as a real user would, so the baseline cannot skip the work.
void touch(void* p, size_t size) {
    static_cast<volatile uint8_t*>(p)[0] = 1;
    static_cast<volatile uint8_t*>(p)[size - 1] = 2;
}

double mallocSingle(size_t size) {
    return measure([size](long n) {
        for (long i = 0; i < n; ++i) {
            void* p = std::malloc(size);
            touch(p, size);
            std::free(p);
        }
    });
}

double mempoolSingle(size_t size) {
    pp::Abstract_MemPool* pool = pp::create_mempool("bench", nullptr);
    const double r = measure([pool, size](long n) {
        for (long i = 0; i < n; ++i) {
            pp::FLMemNode* node = pool->require(size);
            touch(node->buffer, size);
            pp::release_pnode(&node);
        }
    });
    pp::destroy_mempool(pool);
    return r;
}

// Two threads, each requiring and releasing on its own (sharing the allocator or the pool).
double twoThreads(const std::function<void(long)>& body) {
    std::atomic<long> ops{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            const double r = measure(body);
            ops += static_cast<long>(r);
        });
    for (auto& t : threads) t.join();
    return static_cast<double>(ops);
}

double mallocTwo(size_t size) {
    return twoThreads([size](long n) {
        for (long i = 0; i < n; ++i) {
            void* p = std::malloc(size);
            touch(p, size);
            std::free(p);
        }
    });
}

double mempoolTwo(size_t size) {
    pp::Abstract_MemPool* pool = pp::create_mempool("bench", nullptr);
    const double r = twoThreads([pool, size](long n) {
        for (long i = 0; i < n; ++i) {
            pp::FLMemNode* node = pool->require(size);
            touch(node->buffer, size);
            pp::release_pnode(&node);
        }
    });
    pp::destroy_mempool(pool);
    return r;
}

double pktpoolSingle(size_t size) {
    pp::Abstract_PacketPool* pool = pp::create_pktpool("bench", nullptr);
    const double r = measure([pool, size](long n) {
        for (long i = 0; i < n; ++i) {
            pp::FLMemNode* node = pool->require(size);
            touch(node->buffer, size);
            pool->put(node, 0);
            pool->take(&node, 0);
            pp::release_pnode(&node);
        }
    });
    pp::destroy_pktpool(pool);
    return r;
}

// Baseline for the queue: malloc'd buffers through a mutex-guarded deque.
struct MallocQueue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<void*> q;
};

double mallocQueueSingle(size_t size) {
    MallocQueue mq;
    return measure([&mq, size](long n) {
        for (long i = 0; i < n; ++i) {
            void* p = std::malloc(size);
            touch(p, size);
            {
                std::lock_guard<std::mutex> l(mq.m);
                mq.q.push_back(p);
            }
            void* got;
            {
                std::lock_guard<std::mutex> l(mq.m);
                got = mq.q.front();
                mq.q.pop_front();
            }
            std::free(got);
        }
    });
}

// One producer, one consumer, a fixed number of items; returns items per second.
double handOver(long items, const std::function<void(long)>& produce,
                const std::function<void(long)>& consume) {
    const auto start = Clock::now();
    std::thread producer(produce, items);
    consume(items);
    producer.join();
    return items / std::chrono::duration<double>(Clock::now() - start).count();
}

long handOverItems(size_t size) {
    const double perSecond = size >= (1u << 20) ? 20000 : 1000000;
    return std::max(1000L, static_cast<long>(perSecond * gSeconds));
}

double pktpoolTwo(size_t size) {
    pp::Abstract_PacketPool* pool = pp::create_pktpool("bench", nullptr);
    const double r = handOver(
        handOverItems(size),
        [pool, size](long n) {
            for (long i = 0; i < n; ++i) {
                pp::FLMemNode* node = pool->require(size);
                while (!node) {
                    std::this_thread::yield();
                    node = pool->require(size);
                }
                touch(node->buffer, size);
                while (pool->put(node, 100) == -1) {
                }
            }
        },
        [pool](long n) {
            for (long i = 0; i < n;) {
                pp::FLMemNode* node = nullptr;
                if (pool->take(&node, 100) != 0) continue;
                pp::release_pnode(&node);
                ++i;
            }
        });
    pp::destroy_pktpool(pool);
    return r;
}

double mallocQueueTwo(size_t size) {
    MallocQueue mq;
    return handOver(
        handOverItems(size),
        [&mq, size](long n) {
            for (long i = 0; i < n; ++i) {
                void* p = std::malloc(size);
                touch(p, size);
                std::unique_lock<std::mutex> l(mq.m);
                mq.cv.wait(l, [&] { return mq.q.size() < pp::kPacketPoolMaxQueued; });
                mq.q.push_back(p);
                mq.cv.notify_all();
            }
        },
        [&mq](long n) {
            for (long i = 0; i < n; ++i) {
                void* p;
                {
                    std::unique_lock<std::mutex> l(mq.m);
                    mq.cv.wait(l, [&] { return !mq.q.empty(); });
                    p = mq.q.front();
                    mq.q.pop_front();
                    mq.cv.notify_all();
                }
                std::free(p);
            }
        });
}

std::string sizeText(size_t size) {
    if (size % (1u << 20) == 0) return std::to_string(size >> 20) + " MiB";
    if (size % (1u << 10) == 0) return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " B";
}

void row(const char* what, size_t size, double pool, double baseline) {
    std::printf("%-28s %8s %14.0f %14.0f %8.2f\n", what, sizeText(size).c_str(), pool, baseline,
                pool / baseline);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) gSeconds = std::atof(argv[1]);
    if (gSeconds <= 0) gSeconds = 0.5;
    std::printf("%-28s %8s %14s %14s %8s\n", "case", "size", "pool ops/s", "malloc ops/s", "ratio");
    const size_t sizes[] = {1500, 64u << 10, 3u << 20};
    for (size_t s : sizes) row("mempool, 1 thread", s, mempoolSingle(s), mallocSingle(s));
    for (size_t s : sizes) row("mempool, 2 threads", s, mempoolTwo(s), mallocTwo(s));
    for (size_t s : sizes)
        row("pktpool put+take, 1 thread", s, pktpoolSingle(s), mallocQueueSingle(s));
    for (size_t s : sizes) row("pktpool 1 prod + 1 cons", s, pktpoolTwo(s), mallocQueueTwo(s));
    return 0;
}
