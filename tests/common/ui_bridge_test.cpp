#include "common/ui_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorell {
namespace {

using namespace std::chrono_literals;

// The test's own thread plays the user-interface thread: it builds the bridge and serves it.
class UiBridgeTest : public ::testing::Test {
protected:
    std::atomic<int> wakes{0};
    UiBridge bridge{[this] { ++wakes; }};
    std::vector<std::thread> threads;

    ~UiBridgeTest() override {
        // A failed assertion must not leave a worker blocked in the bridge.
        bridge.Close();
        for (auto& t : threads)
            if (t.joinable()) t.join();
    }

    template <class F>
    void Spawn(F&& f) {
        threads.emplace_back(std::forward<F>(f));
    }

    void JoinAll() {
        for (auto& t : threads) t.join();
        threads.clear();
    }

    bool Pump(const std::function<bool()>& done) { return bridge.PumpUntil(done, 10s); }
};

TEST_F(UiBridgeTest, RunsInlineOnTheUiThread) {
    EXPECT_TRUE(bridge.IsUiThread());
    int ran = 0;
    bridge.Invoke([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(bridge.Call([] { return 42; }), 42);
    EXPECT_THROW(bridge.Invoke([] { throw std::runtime_error("inline"); }), std::runtime_error);
    EXPECT_EQ(wakes.load(), 0);
}

TEST_F(UiBridgeTest, OtherThreadsWaitForTheirClosureOnTheUiThread) {
    const auto ui = std::this_thread::get_id();
    std::thread::id ran_on;
    int value = 0;  // written on the UI thread, read by the worker after Invoke returns
    std::atomic<bool> worker_saw{false};
    std::atomic<bool> done{false};
    Spawn([&] {
        EXPECT_FALSE(bridge.IsUiThread());
        bridge.Invoke([&] {
            ran_on = std::this_thread::get_id();
            value = 7;
        });
        worker_saw = value == 7;
        done = true;
    });
    EXPECT_TRUE(Pump([&] { return done.load(); }));
    JoinAll();
    EXPECT_EQ(ran_on, ui);
    EXPECT_TRUE(worker_saw);
    EXPECT_GE(wakes.load(), 1);
}

TEST_F(UiBridgeTest, ExceptionsAreRethrownInTheCaller) {
    struct Custom : Error {
        Custom() : Error("custom failure") {}
    };
    std::string runtime_message;
    bool custom_caught = false;
    std::atomic<bool> done{false};
    Spawn([&] {
        try {
            bridge.Invoke([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            runtime_message = e.what();
        }
        try {
            bridge.Call([]() -> int { throw Custom(); });
        } catch (const Custom&) {
            custom_caught = true;
        }
        done = true;
    });
    EXPECT_TRUE(Pump([&] { return done.load(); }));
    JoinAll();
    EXPECT_EQ(runtime_message, "boom");
    EXPECT_TRUE(custom_caught);
}

TEST_F(UiBridgeTest, CallReturnsValues) {
    std::string text;
    std::unique_ptr<int> owned;
    int void_calls = 0;
    std::atomic<bool> done{false};
    Spawn([&] {
        text = bridge.Call([] { return std::string("from the UI thread"); });
        owned = bridge.Call([] { return std::make_unique<int>(5); });
        const int counter = 3;
        bridge.Call([&, counter] { void_calls += counter; });
        done = true;
    });
    EXPECT_TRUE(Pump([&] { return done.load(); }));
    JoinAll();
    EXPECT_EQ(text, "from the UI thread");
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(*owned, 5);
    EXPECT_EQ(void_calls, 3);
}

TEST_F(UiBridgeTest, ManyThreadsKeepTheirOwnOrder) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 300;
    std::vector<std::vector<int>> seen(kThreads);  // touched only on the UI thread
    std::atomic<int> finished{0};
    for (int t = 0; t < kThreads; ++t) {
        Spawn([&, t] {
            for (int k = 0; k < kCalls; ++k) bridge.Invoke([&, t, k] { seen[t].push_back(k); });
            ++finished;
        });
    }
    EXPECT_TRUE(Pump([&] { return finished == kThreads; }));
    JoinAll();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kCalls)) << t;
        for (int k = 0; k < kCalls; ++k) ASSERT_EQ(seen[t][k], k) << t;
    }
    EXPECT_GE(wakes.load(), kThreads * kCalls);
}

TEST_F(UiBridgeTest, DrainRunsWhatIsPending) {
    std::atomic<int> ran{0};
    std::atomic<int> returned{0};
    for (int t = 0; t < 3; ++t) {
        Spawn([&] {
            bridge.Invoke([&] { ++ran; });
            ++returned;
        });
    }
    // Wait until all three are queued (each wakes the UI once), then serve them in one go.
    while (wakes.load() < 3) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(ran.load(), 0);
    bridge.Drain();
    EXPECT_EQ(ran.load(), 3);
    JoinAll();
    EXPECT_EQ(returned.load(), 3);
}

TEST_F(UiBridgeTest, DrainReturnsWhileOtherThreadsKeepHandingOff) {
    // Threads that hand off one closure after another, as connections streaming lines do. One
    // Drain serves what was pending when it began and returns, so the event loop gets its turn.
    constexpr int kThreads = 8;
    constexpr int kCallsEach = 1000;  // ends a Drain that never returns by itself, eventually
    std::atomic<int> ran{0};
    std::atomic<int> finished{0};
    for (int t = 0; t < kThreads; ++t) {
        Spawn([&] {
            for (int k = 0; k < kCallsEach; ++k) {
                // Long enough for the others to queue their next one meanwhile.
                bridge.Invoke([&] {
                    ++ran;
                    std::this_thread::sleep_for(50us);
                });
            }
            ++finished;
        });
    }
    while (wakes.load() < kThreads) std::this_thread::sleep_for(1ms);
    bridge.Drain();
    EXPECT_LE(ran.load(), kThreads);
    ASSERT_TRUE(Pump([&] { return finished == kThreads; }));
    JoinAll();
    EXPECT_EQ(ran.load(), kThreads * kCallsEach);
}

TEST_F(UiBridgeTest, CloseRefusesPendingAndLaterHandOffs) {
    constexpr int kThreads = 4;
    std::atomic<int> ran{0};
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t) {
        Spawn([&] {
            try {
                bridge.Invoke([&] { ++ran; });
            } catch (const UiBridgeClosed&) {
                ++refused;
            }
        });
    }
    while (wakes.load() < kThreads) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(bridge.IsClosed());
    bridge.Close();
    EXPECT_TRUE(bridge.IsClosed());
    JoinAll();  // none is left blocked
    EXPECT_EQ(refused.load(), kThreads);
    bridge.Drain();
    EXPECT_EQ(ran.load(), 0);

    bool later_refused = false;
    Spawn([&] {
        try {
            bridge.Invoke([&] { ++ran; });
        } catch (const UiBridgeClosed&) {
            later_refused = true;
        }
    });
    JoinAll();
    EXPECT_TRUE(later_refused);
    EXPECT_EQ(ran.load(), 0);
}

TEST_F(UiBridgeTest, CloseFromARunningClosureLetsItFinish) {
    std::atomic<bool> first_started{false};
    bool first_returned = false;
    bool second_refused = false;
    Spawn([&] {
        bridge.Invoke([&] {
            first_started = true;
            // Another thread hands work over meanwhile (the second wake); then the program closes.
            while (wakes.load() < 2) std::this_thread::sleep_for(1ms);
            bridge.Close();
        });
        first_returned = true;
    });
    Spawn([&] {
        while (!first_started) std::this_thread::sleep_for(1ms);
        try {
            bridge.Invoke([] {});
        } catch (const UiBridgeClosed&) {
            second_refused = true;
        }
    });
    while (wakes.load() < 1) std::this_thread::sleep_for(1ms);
    bridge.Drain();
    JoinAll();
    EXPECT_TRUE(first_returned);
    EXPECT_TRUE(second_refused);
}

TEST_F(UiBridgeTest, ClosuresMayHandOffAndPumpReentrantly) {
    // A closure on the UI thread uses the bridge itself and, like a modal dialog, serves another
    // thread's hand-off while it waits.
    std::vector<std::string> log;  // UI thread only
    std::atomic<bool> b_may_go{false};
    std::atomic<bool> b_done{false};
    std::atomic<bool> a_done{false};
    Spawn([&] {
        bridge.Invoke([&] {
            log.push_back("a start");
            bridge.Invoke([&] { log.push_back("a inline"); });
            log.push_back("a got " + std::to_string(bridge.Call([] { return 1; })));
            b_may_go = true;
            EXPECT_TRUE(bridge.PumpUntil([&] { return b_done.load(); }, 10s));
            log.push_back("a end");
        });
        a_done = true;
    });
    Spawn([&] {
        while (!b_may_go) std::this_thread::sleep_for(1ms);
        bridge.Invoke([&] { log.push_back("b"); });
        b_done = true;
    });
    EXPECT_TRUE(Pump([&] { return a_done.load(); }));
    JoinAll();
    EXPECT_EQ(log, (std::vector<std::string>{"a start", "a inline", "a got 1", "b", "a end"}));
}

TEST_F(UiBridgeTest, ClosureIsReleasedBeforeTheCallerResumes) {
    // The closure owns an object whose destructor uses the bridge; it must not run under the
    // bridge's lock, and it must be gone by the time Invoke returns.
    struct Probe {
        UiBridge* bridge;
        std::atomic<bool>* destroyed;
        ~Probe() {
            (void)bridge->IsClosed();
            *destroyed = true;
        }
    };
    std::atomic<bool> destroyed{false};
    bool destroyed_before_return = false;
    std::atomic<bool> done{false};
    Spawn([&] {
        std::shared_ptr<Probe> probe(new Probe{&bridge, &destroyed});
        bridge.Invoke([p = std::move(probe)] {});
        destroyed_before_return = destroyed;
        done = true;
    });
    EXPECT_TRUE(Pump([&] { return done.load(); }));
    JoinAll();
    EXPECT_TRUE(destroyed_before_return);
}

TEST_F(UiBridgeTest, PumpUntilTimesOutAndReportsTheCondition) {
    EXPECT_TRUE(bridge.PumpUntil([] { return true; }, 0ms));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(bridge.PumpUntil([] { return false; }, 50ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

TEST_F(UiBridgeTest, PumpUntilAfterCloseWaitsWithoutSpinning) {
    bridge.Close();
    int checks = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(bridge.PumpUntil(
        [&] {
            ++checks;
            return false;
        },
        100ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_LT(checks, 100);  // polled every few milliseconds, not in a busy loop
}

}  // namespace
}  // namespace quorell
