// No Qt headers here: Qt's `emit` macro would hide the bus's emit().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kivobridge/bridge.h"

using namespace std::chrono_literals;

namespace {

struct Call {
    std::string name;
    bg::Value value;
    std::thread::id thread;
};

}  // namespace

// Pattern rules: exact names, prefix with a trailing "*", nothing else; the callback gets the
// emitted name and value on the emitting thread; unsubscribed callbacks are never called.
TEST(BridgeSignalBus, PatternsDeliveryAndUnsubscribe) {
    bg::SignalBus* bus = bg::CD->signalBus();
    std::vector<Call> prefix, exact, all;
    const auto rec = [](std::vector<Call>& into) {
        return [&into](const std::string& n, const bg::Value& v) {
            into.push_back({n, v, std::this_thread::get_id()});
        };
    };
    const uint64_t p = bus->subscribe("mainWindows.*", rec(prefix));
    const uint64_t e = bus->subscribe("mainWindows.wintop", rec(exact));
    const uint64_t a = bus->subscribe("*", rec(all));
    EXPECT_NE(p, 0u);
    EXPECT_NE(p, e);

    bus->emit("mainWindows.wintop", bg::Value(true));
    bus->emit("mainWindows.virtualMic", bg::Value(false));
    bus->emit("mainWindows", bg::Value("x"));
    bus->emit("other.mainWindows.wintop", bg::Value("y"));
    bus->emit("mainWindows.wintopX", bg::Value("z"));

    ASSERT_EQ(prefix.size(), 3u);
    EXPECT_EQ(prefix[0].name, "mainWindows.wintop");
    EXPECT_EQ(prefix[0].value, bg::Value(true));
    EXPECT_EQ(prefix[1].name, "mainWindows.virtualMic");
    EXPECT_EQ(prefix[2].name, "mainWindows.wintopX");
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_EQ(all.size(), 5u);

    std::thread other([bus] { bus->emit("mainWindows.fromThread", bg::Value("t")); });
    const std::thread::id otherId = other.get_id();
    other.join();
    EXPECT_EQ(prefix.back().thread, otherId);

    bus->unsubscribe(p);
    bus->unsubscribe(p);  // twice is harmless
    bus->unsubscribe(12345678);
    bus->emit("mainWindows.wintop", bg::Value(false));
    EXPECT_EQ(prefix.size(), 4u);
    EXPECT_EQ(exact.size(), 2u);
    bus->unsubscribe(e);
    bus->unsubscribe(a);
}

// Callbacks run without the bus lock: they may emit, subscribe and unsubscribe (themselves
// too) without deadlock, and one that throws does not stop the others.
TEST(BridgeSignalBus, ReentrantCallbacksAndThrowingHandler) {
    bg::SignalBus* bus = bg::CD->signalBus();
    int nested = 0, late = 0, afterThrow = 0;
    uint64_t self = 0;
    const uint64_t thrower =
        bus->subscribe("re.*", [](const std::string&, const bg::Value&) { throw 42; });
    self = bus->subscribe("re.outer", [&](const std::string&, const bg::Value&) {
        bus->emit("re.inner", bg::Value());
        bus->subscribe("re.inner", [&](const std::string&, const bg::Value&) { ++late; });
        bus->unsubscribe(self);
    });
    const uint64_t inner =
        bus->subscribe("re.inner", [&](const std::string&, const bg::Value&) { ++nested; });
    const uint64_t tail =
        bus->subscribe("re.*", [&](const std::string&, const bg::Value&) { ++afterThrow; });
    bus->emit("re.outer", bg::Value());
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(late, 0);
    EXPECT_EQ(afterThrow, 2);            // re.inner and re.outer
    bus->emit("re.outer", bg::Value());  // self is gone now
    EXPECT_EQ(nested, 1);
    bus->emit("re.inner", bg::Value());
    EXPECT_EQ(late, 1);
    bus->unsubscribe(thrower);
    bus->unsubscribe(inner);
    bus->unsubscribe(tail);
}

// After unsubscribe() returns, the callback is not still running on another thread: its
// owner may be destroyed right away.
TEST(BridgeSignalBus, UnsubscribeWaitsForRunningCallback) {
    bg::SignalBus* bus = bg::CD->signalBus();
    std::atomic<bool> started{false}, finished{false};
    const uint64_t id = bus->subscribe("slow", [&](const std::string&, const bg::Value&) {
        started = true;
        std::this_thread::sleep_for(200ms);
        finished = true;
    });
    std::thread emitter([bus] { bus->emit("slow", bg::Value()); });
    while (!started) std::this_thread::yield();
    bus->unsubscribe(id);
    EXPECT_TRUE(finished);
    emitter.join();
}
