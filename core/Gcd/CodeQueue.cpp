#include "Gcd/CodeQueue.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace _GCD {

_UINT _DefaultThreadCount()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

_OBJ<ITaskQueue> CreateTaskQueue(_UINT num_threads, SCHEDULE_POLICY policy, PRIORITY priority)
{
    return _OBJ<ITaskQueue>(new Code_TaskQueue(num_threads, policy, priority));
}

Code_TaskQueue::Code_TaskQueue(_UINT num_threads, SCHEDULE_POLICY policy, PRIORITY priority)
    : __Ref_(0), flagLocked_(false), numThreads_(std::clamp<_UINT>(num_threads, 1, MAX_THREADS))
{
    // A queue always has at least one thread: a queue without one would
    // never run its tasks and Lock() would wait for it for ever.
    for (_UINT i = 0; i < numThreads_; ++i) {
        THREAD_ENTRY& e = ThreadTab_[i];
        e.flagWaked_ = e.flagKill_ = e.flagDead_ = false;
        e.Thread_ = std::thread(ThreadProc, this, i, policy, priority);
    }
}

Code_TaskQueue::~Code_TaskQueue()
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        flagLocked_ = true;
    }
    for (_UINT i = 0; i < numThreads_; ++i) {
        std::lock_guard<std::mutex> lock(Mutex_);
        THREAD_ENTRY& e = ThreadTab_[i];
        {
            std::lock_guard<std::mutex> entry_lock(e.Mutex_CondVar_);
            e.flagKill_ = true;
            e.flagWaked_ = true;
        }
        e.CondVar_.notify_one();
    }
    for (_UINT i = 0; i < numThreads_; ++i)
        ThreadTab_[i].Thread_.join();
}

void Code_TaskQueue::Attach(LAMBDA lambda, TASK_ID task_id)
{
    THREAD_ENTRY* woken = nullptr;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (flagLocked_)
            return;
        TaskQueue_.push(TASK(task_id, std::move(lambda)));

        // Wake the lowest-numbered idle thread, if any; a thread that is
        // awake takes the task when it next looks at the backlog.
        for (_UINT i = 0; i < numThreads_ && !woken; ++i) {
            THREAD_ENTRY& e = ThreadTab_[i];
            std::lock_guard<std::mutex> entry_lock(e.Mutex_CondVar_);
            if (!e.flagWaked_ && !e.flagDead_) {
                e.flagWaked_ = true;
                woken = &e;
            }
        }
    }
    // Outside the queue lock: the woken thread's first step takes it, and
    // must not find it still held by us.
    if (woken)
        woken->CondVar_.notify_one();
}

void Code_TaskQueue::Lock()
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        flagLocked_ = true;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            if (TaskQueue_.empty())
                return;
        }
        for (_UINT i = 0; i < numThreads_; ++i) {
            std::lock_guard<std::mutex> lock(Mutex_);
            THREAD_ENTRY& e = ThreadTab_[i];
            std::unique_lock<std::mutex> entry_lock(e.Mutex_CondVar_);
            if (!e.flagWaked_) {
                e.flagWaked_ = true;
                entry_lock.unlock();
                e.CondVar_.notify_one();
            }
        }
        std::this_thread::yield();
    }
}

bool Code_TaskQueue::TakeTask(THREAD_ENTRY& entry, TASK& task)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (!TaskQueue_.empty()) {
        task = std::move(TaskQueue_.front());
        TaskQueue_.pop();
        return true;
    }
    std::lock_guard<std::mutex> entry_lock(entry.Mutex_CondVar_);
    entry.flagWaked_ = false;
    return false;
}

void ThreadProc(void* ptr, _UINT thread_ndx, SCHEDULE_POLICY policy, PRIORITY priority)
{
    _SetScheduler(policy, priority);
    Code_TaskQueue* queue = static_cast<Code_TaskQueue*>(ptr);
    Code_TaskQueue::THREAD_ENTRY& entry = queue->ThreadTab_[thread_ndx];

    for (;;) {
        {
            std::unique_lock<std::mutex> entry_lock(entry.Mutex_CondVar_);
            if (entry.flagKill_)
                break;
            entry.CondVar_.wait(entry_lock, [&] { return entry.flagWaked_; });
            if (entry.flagKill_)
                break;
        }
        // Drain the backlog. The task runs with no lock held and is
        // destroyed on this thread before the next one is taken.
        Code_TaskQueue::TASK task;
        while (queue->TakeTask(entry, task)) {
            task.Lambda_();
            task = Code_TaskQueue::TASK();
        }
    }

    std::lock_guard<std::mutex> entry_lock(entry.Mutex_CondVar_);
    entry.flagDead_ = true;
}

void _SetScheduler(SCHEDULE_POLICY policy, PRIORITY priority)
{
    int linux_policy = 0;                          // SCHED_OTHER
    if (policy == RoundRobin)
        linux_policy = 2;                          // SCHED_RR
    else if (policy == Fifo)
        linux_policy = 1;                          // SCHED_FIFO
    sched_param param{};
    param.sched_priority = static_cast<int>(priority);
    // A platform that refuses leaves the thread as it was; the queue works
    // all the same.
    (void)pthread_setschedparam(pthread_self(), linux_policy, &param);
}

}  // namespace _GCD
