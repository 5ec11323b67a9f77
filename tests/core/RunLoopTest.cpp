#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Gcd/CodeQueue.h"
#include "RunLoopHelper.h"

namespace _GCD {
extern std::atomic<int> LastTaskId_;
}

using namespace std::chrono_literals;

namespace {

// Waits until pred() holds, at most `limit`.
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 10s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(RunLoop, CallbackOrderAndEveryWorkerEndsBeforeLastWill)
{
    std::vector<std::string> events;
    std::mutex m;
    auto record = [&](const char* e) {
        std::lock_guard<std::mutex> lock(m);
        events.push_back(e);
    };
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> slow_task_done{false};
    _GCD::TIMER_ID timer_armed_by_terminator = 0;

    LoopHooks hooks;
    hooks.terminator = [&] {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        record("terminator");
        // Timers still run while the terminate callback runs.
        timer_armed_by_terminator = _GCD::Dispatch(std::chrono::hours(1), [] { return false; });
    };
    hooks.last_will = [&] {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        record("last_will");
        // The slow task was running when Exit returned; its queue was
        // destroyed (and its thread joined) before this callback.
        EXPECT_TRUE(slow_task_done);
    };

    _GCD::Run(
        [&] {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            record("init");
            _GCD::Dispatch([&] { record("main task"); }, _GCD::MAIN_THREAD);
            _GCD::Dispatch(
                [&] {
                    std::this_thread::sleep_for(200ms);
                    slow_task_done = true;
                },
                _GCD::SERIAL);
            std::thread([] {
                std::this_thread::sleep_for(50ms);
                _GCD::Exit();
            }).detach();
        },
        hooks.terminator, hooks.last_will, 2);

    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], "init");
    EXPECT_EQ(events[1], "main task");
    EXPECT_EQ(events[2], "terminator");
    EXPECT_EQ(events[3], "last_will");
    // The timer system stopped after the terminate callback.
    EXPECT_NE(timer_armed_by_terminator, _GCD::TIMER_ID_INVALID);
    EXPECT_FALSE(_GCD::DeleteTimer(timer_armed_by_terminator));
}

TEST(RunLoop, TaskNumbersShareOneCounterAndSkipInvalid)
{
    WithRunLoop([] {
        const _GCD::TASK_ID a = _GCD::Dispatch([] {}, _GCD::SERIAL);
        const _GCD::TASK_ID b = _GCD::Dispatch([] {}, 2);
        EXPECT_EQ(_GCD::Dispatch([] {}, _GCD::MAIN_THREAD), _GCD::TASK_ID_INVALID);
        const _GCD::TASK_ID c = _GCD::Dispatch([] {}, 3);
        EXPECT_NE(a, _GCD::TASK_ID_INVALID);
        EXPECT_EQ(b, a + 1);
        EXPECT_EQ(c, b + 1);

        // After the largest number the counter starts again at 1.
        _GCD::LastTaskId_ = INT_MAX - 1;
        EXPECT_EQ(_GCD::Dispatch([] {}, 2), INT_MAX);
        EXPECT_EQ(_GCD::Dispatch([] {}, 2), 1);
    });
}

TEST(RunLoop, SerialRunsTasksInOrderOneAtATimeOnOneThread)
{
    constexpr int N = 2000;
    std::vector<int> order;
    std::set<std::thread::id> threads;
    std::atomic<int> inside{0};
    std::atomic<int> overlap{0};
    std::atomic<int> done{0};
    WithRunLoop([&] {
        for (int i = 0; i < N; ++i) {
            _GCD::Dispatch(
                [&, i] {
                    if (++inside > 1)
                        ++overlap;
                    order.push_back(i);
                    threads.insert(std::this_thread::get_id());
                    --inside;
                    ++done;
                },
                _GCD::SERIAL);
        }
        ASSERT_TRUE(WaitFor([&] { return done == N; }));
    });
    ASSERT_EQ(order.size(), static_cast<size_t>(N));
    for (int i = 0; i < N; ++i)
        ASSERT_EQ(order[i], i);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(overlap, 0);
}

TEST(RunLoop, MainThreadTasksRunInOrderOnTheMainThread)
{
    const auto caller = std::this_thread::get_id();
    std::vector<int> order;
    std::atomic<int> done{0};
    WithRunLoop([&] {
        for (int i = 0; i < 3; ++i) {
            _GCD::Dispatch(
                [&, i] {
                    EXPECT_EQ(std::this_thread::get_id(), caller);
                    order.push_back(i);
                    ++done;
                },
                _GCD::MAIN_THREAD);
        }
        ASSERT_TRUE(WaitFor([&] { return done == 3; }));
    });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(RunLoop, CreatedQueuesAreNumberedFromFourAndRunTheirTasks)
{
    WithRunLoop([] {
        const auto q4 = _GCD::CreateQueue(1, _GCD::Other, _GCD::Normal);
        const auto q5 = _GCD::CreateQueue(0, _GCD::Other, _GCD::Normal);
        EXPECT_EQ(q4, 4);
        EXPECT_EQ(q5, 5);

        std::promise<std::thread::id> serial_thread, q4_thread;
        _GCD::Dispatch([&] { serial_thread.set_value(std::this_thread::get_id()); }, _GCD::SERIAL);
        _GCD::Dispatch([&] { q4_thread.set_value(std::this_thread::get_id()); }, q4);
        EXPECT_NE(serial_thread.get_future().get(), q4_thread.get_future().get());
    });
}

TEST(RunLoop, ConcurrentQueuesAreCappedAt64Threads)
{
    constexpr int N = 70;
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> concurrent{0};
    std::atomic<int> finished{0};
    WithRunLoop(
        [&] {
            for (int i = 0; i < N; ++i) {
                _GCD::Dispatch(
                    [&] {
                        ++concurrent;
                        std::unique_lock<std::mutex> lock(m);
                        cv.wait(lock, [&] { return release; });
                        ++finished;
                    },
                    2);
            }
            EXPECT_TRUE(WaitFor([&] { return concurrent == 64; }));
            std::this_thread::sleep_for(100ms);
            EXPECT_EQ(concurrent, 64);
            {
                std::lock_guard<std::mutex> lock(m);
                release = true;
            }
            cv.notify_all();
            EXPECT_TRUE(WaitFor([&] { return finished == N; }));
        },
        100);
}

TEST(RunLoop, AQueueAskedForNoThreadStillGetsOne)
{
    _OBJ<_GCD::ITaskQueue> queue = _GCD::CreateTaskQueue(0, _GCD::Other, _GCD::Normal);
    std::promise<void> ran;
    queue->Attach([&] { ran.set_value(); }, 1);
    EXPECT_EQ(ran.get_future().wait_for(10s), std::future_status::ready);
    queue->Lock();   // returns: the backlog is empty
}

TEST(RunLoop, ExitDrainsBacklogsAndRefusesLaterTasks)
{
    constexpr int N = 50;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<bool> late_ran{false};
    LoopHooks hooks;
    hooks.last_will = [&] { EXPECT_EQ(finished, N); };
    WithRunLoop(
        [&] {
            for (int i = 0; i < N; ++i) {
                _GCD::Dispatch(
                    [&] {
                        ++started;
                        std::this_thread::sleep_for(1ms);
                        ++finished;
                    },
                    _GCD::SERIAL);
            }
            _GCD::Exit();
            // Every task has been taken; the last may still be running.
            EXPECT_GE(started, N - 1);
            EXPECT_EQ(_GCD::Dispatch([&] { late_ran = true; }, _GCD::SERIAL), _GCD::TASK_ID_INVALID);
            EXPECT_EQ(_GCD::Dispatch([&] { late_ran = true; }, 2), _GCD::TASK_ID_INVALID);
        },
        2, hooks);
    EXPECT_FALSE(late_ran);
}

TEST(RunLoop, ATaskPostingWhileExitDrainsIsRefusedWithoutDeadlock)
{
    std::atomic<bool> exit_called{false};
    std::atomic<_GCD::TASK_ID> inner{-1};
    WithRunLoop([&] {
        _GCD::Dispatch(
            [&] {
                while (!exit_called)
                    std::this_thread::sleep_for(1ms);
                std::this_thread::sleep_for(50ms);
                inner = _GCD::Dispatch([] {}, _GCD::SERIAL);
            },
            _GCD::SERIAL);
        _GCD::Dispatch([] {}, _GCD::SERIAL);   // backlog Exit must wait for
        exit_called = true;
    });
    EXPECT_EQ(inner, _GCD::TASK_ID_INVALID);
}

TEST(RunLoop, NoTaskIsStrandedUnderConcurrentPosting)
{
    constexpr int PRODUCERS = 4;
    constexpr int PER_PRODUCER = 5000;
    std::atomic<int> ran{0};
    WithRunLoop([&] {
        std::vector<std::thread> producers;
        for (int p = 0; p < PRODUCERS; ++p) {
            producers.emplace_back([&, p] {
                for (int i = 0; i < PER_PRODUCER; ++i)
                    _GCD::Dispatch([&] { ++ran; }, 1 + (i + p) % 3);
            });
        }
        for (auto& t : producers)
            t.join();
        EXPECT_TRUE(WaitFor([&] { return ran == PRODUCERS * PER_PRODUCER; }));
    });
    EXPECT_EQ(ran, PRODUCERS * PER_PRODUCER);
}

TEST(RunLoopDeathTest, DispatchToAMissingQueueStopsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(WithRunLoop([] { _GCD::Dispatch([] {}, 7); }), "ndxQueue < \\(_INT\\)CodeQueue_.size\\(\\)");
}

}  // namespace
