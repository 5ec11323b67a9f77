#include "Gcd/Gcd.h"

#include <atomic>
#include <cassert>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "Gcd/CodeQueue.h"

namespace _GCD {

std::atomic<int> LastTaskId_(0);
std::mutex Mutex_;
std::thread::id MainThreadId_;
std::vector<_OBJ<ITaskQueue>> CodeQueue_;
std::mutex Mutex_MainThreadCodeQueue_;
std::queue<LAMBDA, std::deque<LAMBDA>> MainThreadCodeQueue_;
std::mutex Mutex_CondVar_;
std::condition_variable CondVar_;
bool flagMainThreadWaked_ = false;
bool flagExit_ = false;
bool flagLocked_ = false;

namespace {

void WakeMainThread()
{
    std::lock_guard<std::mutex> lock(Mutex_CondVar_);
    flagMainThreadWaked_ = true;
    CondVar_.notify_one();
}

// Next task number under the registry lock; after the largest number the
// count starts again at 1, never at TASK_ID_INVALID.
TASK_ID NextTaskId()
{
    const int last = LastTaskId_.load();
    const int next = last == INT_MAX || last < 0 ? 1 : last + 1;
    LastTaskId_.store(next);
    return next;
}

void ServeMainQueue()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(Mutex_CondVar_);
            if (flagExit_)
                return;
            CondVar_.wait(lock, [] { return flagMainThreadWaked_; });
            if (flagExit_)
                return;
            flagMainThreadWaked_ = false;
        }
        LAMBDA task;
        bool have_task = false;
        {
            std::lock_guard<std::mutex> lock(Mutex_MainThreadCodeQueue_);
            if (!MainThreadCodeQueue_.empty()) {
                task = std::move(MainThreadCodeQueue_.front());
                MainThreadCodeQueue_.pop();
                have_task = true;
            }
        }
        if (have_task) {
            task();
            task = nullptr;
        }
        bool more;
        {
            std::lock_guard<std::mutex> lock(Mutex_MainThreadCodeQueue_);
            more = !MainThreadCodeQueue_.empty();
        }
        if (more) {
            std::lock_guard<std::mutex> lock(Mutex_CondVar_);
            flagMainThreadWaked_ = true;
        }
    }
}

void _CreateSysDefaultQueue(_UINT num_default_concurrent_threads)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    MainThreadId_ = std::this_thread::get_id();
    const _UINT n = num_default_concurrent_threads == 0 ? _DefaultThreadCount() : num_default_concurrent_threads;
    CodeQueue_.push_back(CreateTaskQueue(1, RoundRobin, Normal));
    CodeQueue_.push_back(CreateTaskQueue(n, RoundRobin, Normal));
    CodeQueue_.push_back(CreateTaskQueue(n, Idle, Min));
}

}  // namespace

void Run(LAMBDA init, LAMBDA terminator, LAMBDA last_will, _UINT num_default_concurrent_threads)
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        flagLocked_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(Mutex_CondVar_);
        flagExit_ = false;
        flagMainThreadWaked_ = false;
    }
    {
        // Tasks posted to the main thread before Run still run.
        std::lock_guard<std::mutex> lock(Mutex_MainThreadCodeQueue_);
        if (!MainThreadCodeQueue_.empty())
            WakeMainThread();
    }

    _CreateSysDefaultQueue(num_default_concurrent_threads);
    TimerSys_Initialize();

    if (init)
        init();
    ServeMainQueue();

    if (terminator)
        terminator();
    TimerSys_Shutdown();

    // Destroy the queues in number order, each after its threads ended. The
    // registry lock is not held while a queue is destroyed: its last tasks
    // may still be finishing and must be able to look at the registry.
    for (;;) {
        _OBJ<ITaskQueue> queue;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            if (CodeQueue_.empty())
                break;
            queue = CodeQueue_.front();
            CodeQueue_.erase(CodeQueue_.begin());
        }
        queue = nullptr;
    }
    {
        // Main-thread tasks that never ran are destroyed here, on the main
        // thread, rather than during static destruction.
        std::queue<LAMBDA, std::deque<LAMBDA>> never_run;
        std::lock_guard<std::mutex> lock(Mutex_MainThreadCodeQueue_);
        never_run.swap(MainThreadCodeQueue_);
    }

    if (last_will)
        last_will();
}

TASK_QUEUE_ID CreateQueue(_UINT num_of_threads, SCHEDULE_POLICY policy, PRIORITY priority)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    const _UINT n = num_of_threads == 0 ? _DefaultThreadCount() : num_of_threads;
    CodeQueue_.push_back(CreateTaskQueue(n, policy, priority));
    return static_cast<TASK_QUEUE_ID>(CodeQueue_.size());
}

namespace {

template <class Code>
bool PostTask(Code&& code, TASK_QUEUE_ID queue, TASK_ID* task_id)
{
    if (task_id)
        *task_id = TASK_ID_INVALID;
    std::lock_guard<std::mutex> lock(Mutex_);
    if (flagLocked_)
        return false;

    if (queue == MAIN_THREAD) {
        {
            std::lock_guard<std::mutex> main_lock(Mutex_MainThreadCodeQueue_);
            MainThreadCodeQueue_.push(std::forward<Code>(code));
        }
        WakeMainThread();
        return true;
    }

    const _INT ndxQueue = queue - 1;
    const TASK_ID id = NextTaskId();
    assert(ndxQueue >= 0 && "negative queue number");
    assert(ndxQueue < (_INT)CodeQueue_.size());
    CodeQueue_[ndxQueue]->Attach(std::forward<Code>(code), id);
    if (task_id)
        *task_id = id;
    return true;
}

}  // namespace

bool _Post(const LAMBDA& code, TASK_QUEUE_ID queue, TASK_ID* task_id)
{
    return PostTask(code, queue, task_id);
}

TASK_ID Dispatch(const LAMBDA& code, TASK_QUEUE_ID queue)
{
    TASK_ID id;
    PostTask(code, queue, &id);
    return id;
}

TASK_ID Dispatch(LAMBDA&& code, TASK_QUEUE_ID queue)
{
    TASK_ID id;
    PostTask(std::move(code), queue, &id);
    return id;
}

void Exit()
{
    // Refuse new tasks first, then drain every queue without holding the
    // registry lock: a running task that posts during the drain is refused
    // at once instead of waiting for the drain that waits for it.
    {
        std::vector<_OBJ<ITaskQueue>> queues;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            flagLocked_ = true;
            queues = CodeQueue_;
        }
        for (auto& queue : queues)
            queue->Lock();
        // The references go before the main loop may start destroying the
        // queues, so that only the main thread ever destroys one.
    }
    {
        std::lock_guard<std::mutex> lock(Mutex_CondVar_);
        flagExit_ = true;
        flagMainThreadWaked_ = true;
        CondVar_.notify_one();
    }
}

}  // namespace _GCD

// ---- join groups ----

namespace _GCD {

namespace {

// Runs a group's completion function on queue 2; when the runtime refuses
// the post (it is shutting down), runs it on the calling thread instead so
// that the completion is never lost.
void RunCompletion(const LAMBDA& after)
{
    if (!_Post(after, 2, nullptr))
        after();
}

}  // namespace

class Code_Join : public IJoin {
public:
    Code_Join() : __Ref_(0), numRuningTasks_(0) {}
    virtual ~Code_Join() {}

    _IROOT_IMPLEMENTATION()

    void Attach(const LAMBDA& l) override
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        vectLambdas_.push_back(l);
    }

    void AsyncRun(const LAMBDA& after, TASK_QUEUE_ID q) override
    {
        std::unique_lock<std::mutex> lock(Mutex_);
        numRuningTasks_ = static_cast<_UINT>(vectLambdas_.size());
        if (numRuningTasks_ == 0) {
            if (after)
                after();
            return;
        }
        lambdaAfterJoin_ = after;
        _OBJ<IJoin> self(this);
        _UINT refused = 0;
        for (const LAMBDA& l : vectLambdas_) {
            const LAMBDA task = [self, l] {
                l();
                static_cast<Code_Join*>(self.__Ptr())->Detach();
            };
            if (!_Post(task, q, nullptr))
                ++refused;
        }
        vectLambdas_.clear();

        // A refused task never runs: count it as finished.
        numRuningTasks_ -= refused;
        if (refused > 0 && numRuningTasks_ == 0 && lambdaAfterJoin_) {
            const LAMBDA completion = lambdaAfterJoin_;
            lock.unlock();
            RunCompletion(completion);
        }
    }

    void Run(TASK_QUEUE_ID q) override
    {
        std::unique_lock<std::mutex> run_lock(RunMutex_);
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            numRuningTasks_ = static_cast<_UINT>(vectLambdas_.size());
            if (numRuningTasks_ == 0)
                return;
            _UINT refused = 0;
            for (const LAMBDA& l : vectLambdas_) {
                const LAMBDA task = [this, l] {
                    l();
                    Detach_Run_Blocked();
                };
                if (!_Post(task, q, nullptr))
                    ++refused;
            }
            vectLambdas_.clear();
            numRuningTasks_ -= refused;
        }
        RunCV_.wait(run_lock, [this] {
            std::lock_guard<std::mutex> lock(Mutex_);
            return numRuningTasks_ == 0;
        });
    }

    void Detach()
    {
        LAMBDA completion;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            if (--numRuningTasks_ == 0)
                completion = lambdaAfterJoin_;
        }
        if (completion)
            RunCompletion(completion);
    }

    // The count reaches 0 under RunMutex_ as well, so the waiting Run cannot
    // see it (and return, and let the group be destroyed) before this call
    // is done with the group.
    void Detach_Run_Blocked()
    {
        std::lock_guard<std::mutex> run_lock(RunMutex_);
        std::lock_guard<std::mutex> lock(Mutex_);
        if (--numRuningTasks_ == 0)
            RunCV_.notify_all();
    }

private:
    _COMREF __Ref_;
    std::mutex Mutex_;
    std::vector<LAMBDA> vectLambdas_;
    LAMBDA lambdaAfterJoin_;
    _UINT numRuningTasks_;
    std::mutex RunMutex_;
    std::condition_variable RunCV_;
};

_OBJ<IJoin> IJoin::New()
{
    return _OBJ<IJoin>(new Code_Join());
}

}  // namespace _GCD
