#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RunLoopHelper.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

TEST(Timer, OneShotFiresOnceOnTheTimerThreadAfterItsDelay)
{
    WithRunLoop([] {
        std::atomic<int> calls{0};
        std::promise<std::thread::id> fired;
        const auto start = Clock::now();
        const auto id = _GCD::Dispatch(200000us, [&] {
            if (++calls == 1)
                fired.set_value(std::this_thread::get_id());
            return false;
        });
        EXPECT_NE(id, _GCD::TIMER_ID_INVALID);
        auto f = fired.get_future();
        ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
        EXPECT_GE(Clock::now() - start, 200ms);
        EXPECT_NE(f.get(), std::this_thread::get_id());
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(calls, 1);
        EXPECT_FALSE(_GCD::DeleteTimer(id));   // gone after returning false
    });
}

TEST(Timer, RepeatingTimerKeepsItsNumberAndPeriod)
{
    WithRunLoop([] {
        std::vector<Clock::time_point> times;
        std::promise<void> done;
        const auto start = Clock::now();
        const auto id = _GCD::Dispatch(50000us, [&] {
            times.push_back(Clock::now());
            if (times.size() == 4) {
                done.set_value();
                return false;
            }
            return true;
        });
        ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
        ASSERT_EQ(times.size(), 4u);
        EXPECT_GE(times[0] - start, 50ms);
        for (size_t i = 1; i < times.size(); ++i)
            EXPECT_GE(times[i] - times[i - 1], 50ms);
        EXPECT_FALSE(_GCD::DeleteTimer(id));
    });
}

TEST(Timer, RepeatingTimerCanBeDeletedBetweenRuns)
{
    WithRunLoop([] {
        std::atomic<int> calls{0};
        const auto id = _GCD::Dispatch(20000us, [&] {
            ++calls;
            return true;
        });
        while (calls < 2)
            std::this_thread::sleep_for(1ms);
        // It is out of the list only while its callback runs.
        while (!_GCD::DeleteTimer(id))
            std::this_thread::sleep_for(1ms);
        const int after_delete = calls;
        std::this_thread::sleep_for(150ms);
        EXPECT_LE(calls - after_delete, 1);
    });
}

TEST(Timer, NumbersAdvanceAlsoForDedicatedNumbers)
{
    WithRunLoop([] {
        const auto a = _GCD::Dispatch(std::chrono::hours(1), [] { return false; });
        EXPECT_EQ(_GCD::NewTimer(std::chrono::hours(1), [] { return false; }, 77), 77);
        const auto c = _GCD::Dispatch(std::chrono::hours(1), [] { return false; });
        EXPECT_EQ(c, a + 2);
        EXPECT_TRUE(_GCD::DeleteTimer(a));
        EXPECT_TRUE(_GCD::DeleteTimer(77));
        EXPECT_TRUE(_GCD::DeleteTimer(c));
        EXPECT_FALSE(_GCD::DeleteTimer(c));
        EXPECT_FALSE(_GCD::DeleteTimer(0));
    });
}

TEST(Timer, DueTimersFireInDueOrder)
{
    WithRunLoop([] {
        std::mutex m;
        std::vector<int> order;
        std::promise<void> done;
        auto record = [&](int n) {
            std::lock_guard<std::mutex> lock(m);
            order.push_back(n);
            if (order.size() == 4)
                done.set_value();
            return false;
        };
        _GCD::Dispatch(240000us, [&] { return record(4); });
        _GCD::Dispatch(60000us, [&] { return record(1); });
        _GCD::Dispatch(180000us, [&] { return record(3); });
        _GCD::Dispatch(120000us, [&] { return record(2); });
        ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    });
}

TEST(Timer, DeletingTheAwaitedTimerDoesNotFireTheNextOneEarly)
{
    WithRunLoop([] {
        std::atomic<bool> first_fired{false};
        std::promise<Clock::time_point> second;
        const auto start = Clock::now();
        const auto first = _GCD::Dispatch(100000us, [&] {
            first_fired = true;
            return false;
        });
        _GCD::Dispatch(300000us, [&] {
            second.set_value(Clock::now());
            return false;
        });
        EXPECT_TRUE(_GCD::DeleteTimer(first));
        auto f = second.get_future();
        ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
        EXPECT_GE(f.get() - start, 300ms);
        EXPECT_FALSE(first_fired);
    });
}

TEST(Timer, ZeroAndNegativeDurationsFireAtOnce)
{
    WithRunLoop([] {
        std::promise<void> zero, negative;
        _GCD::Dispatch(0us, [&] {
            zero.set_value();
            return false;
        });
        _GCD::Dispatch(-5000us, [&] {
            negative.set_value();
            return false;
        });
        EXPECT_EQ(zero.get_future().wait_for(5s), std::future_status::ready);
        EXPECT_EQ(negative.get_future().wait_for(5s), std::future_status::ready);
    });
}

TEST(Timer, AfterShutdownNothingFiresAndDeleteIsFalse)
{
    std::atomic<bool> fired{false};
    _GCD::TIMER_ID id = 0;
    WithRunLoop([&] {
        id = _GCD::Dispatch(200000us, [&] {
            fired = true;
            return false;
        });
    });
    EXPECT_FALSE(_GCD::DeleteTimer(id));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(fired);
}

TEST(TimerObject, FiresRepeatsStopsAndRestarts)
{
    WithRunLoop([] {
        std::atomic<int> calls{0};
        _OBJ<_GCD::ITimer> timer = _GCD::ITimer::New(20000us, [&] {
            ++calls;
            return true;
        });
        _OBJ<_GCD::ITimer> other = _GCD::ITimer::New(std::chrono::hours(1), [] { return false; });
        EXPECT_EQ(other->Id(), timer->Id() + 1);

        while (calls < 3)
            std::this_thread::sleep_for(1ms);
        timer->Stop();
        const int stopped_at = calls;
        std::this_thread::sleep_for(100ms);
        EXPECT_LE(calls - stopped_at, 1);   // a callback already under way may finish
        const int before_start = calls;
        const auto id = timer->Id();
        timer->Start();
        while (calls < before_start + 2)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(timer->Id(), id);
        timer->Stop();
    });
}

TEST(TimerObject, StartRestartsThePeriod)
{
    WithRunLoop([] {
        std::promise<Clock::time_point> fired;
        std::atomic<int> calls{0};
        _OBJ<_GCD::ITimer> timer = _GCD::ITimer::New(200000us, [&] {
            if (++calls == 1)
                fired.set_value(Clock::now());
            return false;
        });
        std::this_thread::sleep_for(100ms);
        const auto restarted = Clock::now();
        timer->Start();
        auto f = fired.get_future();
        ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
        EXPECT_GE(f.get() - restarted, 200ms);
    });
}

TEST(TimerObject, StopDuringTheCallbackIsNotUndoneByItsResult)
{
    WithRunLoop([] {
        std::promise<void> entered;
        std::promise<void> proceed;
        auto proceed_f = proceed.get_future().share();
        std::atomic<int> calls{0};
        _OBJ<_GCD::ITimer> timer = _GCD::ITimer::New(10000us, [&] {
            if (++calls == 1) {
                entered.set_value();
                proceed_f.wait();
            }
            return true;
        });
        entered.get_future().wait();
        timer->Stop();
        proceed.set_value();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(calls, 1);
    });
}

TEST(TimerObject, ReleasingTheLastReferenceInsideItsCallbackIsSafe)
{
    WithRunLoop([] {
        std::mutex m;
        _OBJ<_GCD::ITimer> holder;
        std::promise<void> done;
        {
            std::lock_guard<std::mutex> lock(m);
            holder = _GCD::ITimer::New(10000us, [&] {
                std::lock_guard<std::mutex> lock(m);
                holder = nullptr;   // the timer thread still holds it
                done.set_value();
                return true;        // re-armed, then disarmed by its destructor
            });
        }
        ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
        std::this_thread::sleep_for(50ms);
    });
}

TEST(TimerObject, DestroyingWhileDueNeverRunsADestroyedTimer)
{
    WithRunLoop([] {
        std::atomic<int> calls{0};
        for (int i = 0; i < 2000; ++i) {
            _OBJ<_GCD::ITimer> timer = _GCD::ITimer::New(0us, [&] {
                ++calls;
                return true;
            });
            if (i % 2)
                std::this_thread::yield();
        }
        std::this_thread::sleep_for(50ms);
        const int settled = calls;
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(calls, settled);   // no destroyed timer fires again
    });
}

}  // namespace
