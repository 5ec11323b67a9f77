#pragma once
// The worker queue behind a queue number. Visible inside the runtime only.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <thread>

#include "Gcd/Gcd.h"

namespace _GCD {

class Code_TaskQueue : public ITaskQueue {
public:
    Code_TaskQueue(_UINT num_threads, SCHEDULE_POLICY policy, PRIORITY priority);
    virtual ~Code_TaskQueue();

    _IROOT_IMPLEMENTATION()

    void Attach(LAMBDA lambda, TASK_ID task_id) override;
    void Lock() override;

    _UINT NumThreads() const { return numThreads_; }

    struct THREAD_ENTRY {
        bool flagWaked_ = false;
        bool flagKill_ = false;
        bool flagDead_ = false;
        std::mutex Mutex_CondVar_;
        std::condition_variable CondVar_;
        std::thread Thread_;
    };

    struct TASK {
        TASK() : Id_(TASK_ID_INVALID) {}
        TASK(TASK_ID id, LAMBDA lambda) : Id_(id), Lambda_(std::move(lambda)) {}
        TASK_ID Id_;
        LAMBDA Lambda_;
    };

private:
    friend void ThreadProc(void* ptr, _UINT thread_ndx, SCHEDULE_POLICY policy, PRIORITY priority);

    // Takes the oldest task, or clears the entry's wake flag when there is
    // none (both under the queue lock, so no task can slip in unseen).
    bool TakeTask(THREAD_ENTRY& entry, TASK& task);

    _COMREF __Ref_;
    THREAD_ENTRY ThreadTab_[MAX_THREADS];
    std::mutex Mutex_;
    bool flagLocked_;
    _UINT numThreads_;
    std::queue<TASK, std::deque<TASK>> TaskQueue_;
};

_OBJ<ITaskQueue> CreateTaskQueue(_UINT num_threads, SCHEDULE_POLICY policy, PRIORITY priority);
void ThreadProc(void* ptr, _UINT thread_ndx, SCHEDULE_POLICY policy, PRIORITY priority);
void _SetScheduler(SCHEDULE_POLICY policy, PRIORITY priority);

// Dispatch that also tells whether the task was accepted (MAIN_THREAD
// included, whose Dispatch result is always TASK_ID_INVALID).
bool _Post(const LAMBDA& code, TASK_QUEUE_ID queue, TASK_ID* task_id);

// The thread count a request of 0 stands for: one per hardware thread, and
// never fewer than one.
_UINT _DefaultThreadCount();

}  // namespace _GCD
