#include "Shutdown.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Gcd/Gcd.h"

namespace {

std::atomic<bool> flagStopRequested_(false);
std::mutex StoppedMutex_;
std::condition_variable StoppedCondVar_;
bool flagStopped_ = false;

// Windows ends the process when the handler of these returns, and at the
// latest after 5 s (closing) or 20 s (logoff, shutdown): wait just under.
std::chrono::milliseconds GraceOf(DWORD event)
{
    return event == CTRL_CLOSE_EVENT ? std::chrono::milliseconds(4500) : std::chrono::milliseconds(19000);
}

BOOL WINAPI ConsoleControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        RequestStop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        RequestStop();
        WaitStopped(GraceOf(event));
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void RequestStop()
{
    if (flagStopRequested_.exchange(true))
        return;
    // Exit must not run on a worker of the run loop's queues, and may wait
    // for the job being printed: a thread of its own.
    std::thread([] { _GCD::Exit(); }).detach();
}

bool StopRequested()
{
    return flagStopRequested_;
}

void NotifyStopped()
{
    std::lock_guard<std::mutex> lock(StoppedMutex_);
    flagStopped_ = true;
    StoppedCondVar_.notify_all();
}

bool WaitStopped(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(StoppedMutex_);
    return StoppedCondVar_.wait_for(lock, limit, [] { return flagStopped_; });
}

void InstallConsoleStop()
{
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
}
