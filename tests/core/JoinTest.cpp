#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RunLoopHelper.h"

using namespace std::chrono_literals;

namespace {

TEST(Join, AsyncRunOnAnEmptyGroupCallsAfterAtOnceOnTheCaller)
{
    WithRunLoop([] {
        _OBJ<_GCD::IJoin> join = _GCD::IJoin::New();
        std::thread::id ran_on;
        join->AsyncRun([&] { ran_on = std::this_thread::get_id(); }, _GCD::SERIAL);
        EXPECT_EQ(ran_on, std::this_thread::get_id());
    });
}

TEST(Join, AsyncRunOnSerialRunsInOrderThenAfterOnQueue2)
{
    WithRunLoop([] {
        std::vector<int> order;
        std::thread::id serial_thread;
        std::promise<std::thread::id> after_thread;
        std::atomic<int> after_calls{0};
        _OBJ<_GCD::IJoin> join = _GCD::IJoin::New();
        for (int i = 0; i < 3; ++i) {
            join->Attach([&, i] {
                order.push_back(i);
                serial_thread = std::this_thread::get_id();
                std::this_thread::sleep_for(10ms);
            });
        }
        join->AsyncRun(
            [&] {
                EXPECT_EQ(order.size(), 3u);
                if (++after_calls == 1)
                    after_thread.set_value(std::this_thread::get_id());
            },
            _GCD::SERIAL);
        join = nullptr;   // the running tasks keep the group alive

        auto f = after_thread.get_future();
        ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
        EXPECT_NE(f.get(), serial_thread);
        std::promise<void> serial_idle;
        _GCD::Dispatch([&] { serial_idle.set_value(); }, _GCD::SERIAL);
        serial_idle.get_future().wait();
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(after_calls, 1);
    });
}

TEST(Join, RunBlocksUntilEveryFunctionReturned)
{
    WithRunLoop([] {
        std::atomic<int> finished{0};
        _OBJ<_GCD::IJoin> join = _GCD::IJoin::New();
        for (int i = 0; i < 4; ++i) {
            join->Attach([&, i] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20 * (i + 1)));
                ++finished;
            });
        }
        join->Run(2);
        EXPECT_EQ(finished, 4);
        join->Run(2);   // empty now: returns at once
        EXPECT_EQ(finished, 4);
    });
}

TEST(Join, FunctionsAttachedDuringARunBelongToTheNextRun)
{
    WithRunLoop([] {
        std::atomic<int> first{0}, second{0};
        _OBJ<_GCD::IJoin> join = _GCD::IJoin::New();
        join->Attach([&] {
            ++first;
            join->Attach([&] { ++second; });
        });
        join->Run(2);
        EXPECT_EQ(first, 1);
        EXPECT_EQ(second, 0);
        join->Run(_GCD::SERIAL);
        EXPECT_EQ(second, 1);
    });
}

TEST(Join, ManyGroupsUnderLoadComplete)
{
    WithRunLoop([] {
        constexpr int GROUPS = 200;
        std::atomic<int> completions{0};
        std::atomic<int> calls{0};
        for (int g = 0; g < GROUPS; ++g) {
            _OBJ<_GCD::IJoin> join = _GCD::IJoin::New();
            for (int i = 0; i < 5; ++i)
                join->Attach([&] { ++calls; });
            join->AsyncRun([&] { ++completions; }, 1 + g % 3);
        }
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (completions < GROUPS && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(completions, GROUPS);
        EXPECT_EQ(calls, GROUPS * 5);
    });
}

TEST(Join, RefusedPostsDuringShutdownNeitherHangNorLoseTheCompletion)
{
    _OBJ<_GCD::IJoin> blocking = _GCD::IJoin::New();
    _OBJ<_GCD::IJoin> async = _GCD::IJoin::New();
    std::atomic<int> ran{0};
    std::atomic<int> completions{0};
    LoopHooks hooks;
    // The terminate callback runs after Exit: every post is refused.
    hooks.terminator = [&] {
        blocking->Attach([&] { ++ran; });
        blocking->Run(2);   // returns: the refused function counts as finished
        async->Attach([&] { ++ran; });
        async->Attach([&] { ++ran; });
        async->AsyncRun([&] { ++completions; }, _GCD::SERIAL);
    };
    WithRunLoop([] {}, 2, hooks);
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(completions, 1);
}

}  // namespace
