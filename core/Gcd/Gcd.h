#pragma once
// Threads of the program: the main run loop, numbered task queues, join
// groups and timers.

#include <chrono>
#include <functional>

#include "Core/CoreObj.h"

namespace _GCD {

typedef std::function<void()> LAMBDA;
typedef _INT TASK_QUEUE_ID;
typedef _INT TASK_ID;

constexpr TASK_QUEUE_ID MAIN_THREAD = 0;
constexpr TASK_QUEUE_ID SERIAL = 1;
constexpr TASK_ID TASK_ID_INVALID = 0;
constexpr _UINT MAX_THREADS = 64;

enum SCHEDULE_POLICY : _INT { RoundRobin = 0, Fifo = 1, Other = 2, Batch = 3, Idle = 4, DeadLine = 5 };
enum PRIORITY : _INT { Min = 1, Normal = 50, Max = 99 };

struct ITaskQueue : public IRoot {
    virtual void Attach(LAMBDA lambda, TASK_ID task_id) = 0;
    virtual void Lock() = 0;
};

// Owns the calling thread until Exit: makes the default queues (1 SERIAL with
// one thread, 2 and 3 with num_default_concurrent_threads each, 0 meaning one
// per hardware thread), starts the timers, calls init, serves MAIN_THREAD,
// then calls terminator, stops the timers, destroys the queues in number
// order and calls last_will.
void Run(LAMBDA init, LAMBDA terminator, LAMBDA last_will, _UINT num_default_concurrent_threads);

TASK_QUEUE_ID CreateQueue(_UINT num_of_threads, SCHEDULE_POLICY policy, PRIORITY priority);

// Posts code to a queue. Returns the task number for a worker queue and
// TASK_ID_INVALID for MAIN_THREAD and for a refused task (after Exit began).
TASK_ID Dispatch(const LAMBDA& code, TASK_QUEUE_ID queue);
// The same, taking the task over instead of copying it.
TASK_ID Dispatch(LAMBDA&& code, TASK_QUEUE_ID queue);

// Asks the run loop to end: refuses further tasks, waits until every queue's
// backlog has been taken, then wakes the main loop. Not for worker threads.
void Exit();

// ---- join groups ----

struct IJoin : public IRoot {
    virtual void Attach(const LAMBDA& l) = 0;
    virtual void AsyncRun(const LAMBDA& after, TASK_QUEUE_ID q) = 0;
    virtual void Run(TASK_QUEUE_ID q) = 0;

    static _OBJ<IJoin> New();
};

// ---- timers ----

typedef std::function<bool()> TIMER_LAMBDA;
typedef _INT TIMER_ID;
constexpr TIMER_ID TIMER_ID_INVALID = 0;

TIMER_ID Dispatch(std::chrono::microseconds duration, const TIMER_LAMBDA& lambda);
TIMER_ID NewTimer(std::chrono::microseconds duration, const TIMER_LAMBDA& lambda, TIMER_ID dedicate_id);
bool DeleteTimer(TIMER_ID timer_id);
void Stop(TIMER_ID id);

struct ITimer : public IRoot {
    typedef _INT ID;

    virtual ID Id() const = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;

    static _OBJ<ITimer> New(std::chrono::microseconds d, const TIMER_LAMBDA& l);
};

// Called by Run only.
void TimerSys_Initialize();
void TimerSys_Shutdown();

}  // namespace _GCD
