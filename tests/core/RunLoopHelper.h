#pragma once
// Runs a test body inside the run loop: the body runs on a thread of its own
// (neither the main thread nor a worker), so it may block and wait for
// tasks, and the loop ends when the body returns.

#include <functional>
#include <thread>

#include "Gcd/Gcd.h"

struct LoopHooks {
    std::function<void()> terminator;
    std::function<void()> last_will;
};

inline void WithRunLoop(const std::function<void()>& body, _UINT threads = 2, LoopHooks hooks = {})
{
    std::thread driver;
    _GCD::Run(
        [&] {
            driver = std::thread([&] {
                body();
                _GCD::Exit();
            });
        },
        hooks.terminator, hooks.last_will, threads);
    driver.join();
}
