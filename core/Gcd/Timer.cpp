// Timers: one thread runs the callbacks of every armed timer, in due order,
// from a single list sorted by due time.

#include <atomic>
#include <climits>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

#include "Gcd/Gcd.h"

namespace _GCD {

using std::chrono::microseconds;
using std::chrono::steady_clock;

class Code_Timer;

struct TIMER {
    TIMER(microseconds d, TIMER_ID i, Code_Timer* p)
        : Time_(steady_clock::now() + d), Duration_(d), Id_(i), pCode_(p)
    {
    }
    TIMER(microseconds d, TIMER_ID i, const TIMER_LAMBDA& l)
        : Time_(steady_clock::now() + d), Duration_(d), Id_(i), pCode_(nullptr), Lambda_(l)
    {
    }

    steady_clock::time_point Time_;
    microseconds Duration_;
    TIMER_ID Id_;
    Code_Timer* pCode_;
    TIMER_LAMBDA Lambda_;
};

std::mutex TimerMutex_;
TIMER_ID LastTimerId_ = 0;
std::list<TIMER> listTimers_;
std::condition_variable CondVar_Timer_;
std::mutex Mutex_CondVar_Timer_;
bool flagTimerChanged_ = false;
std::atomic<bool> flagTimerThreadQuit_(false);
std::atomic<bool> flagTimerThreadStarted_(false);
std::thread TimerThread_;
std::mutex TimerClassMutex_;
_INT LastTimerClassId_ = 0;

namespace {

// TimerId_ of a timer object whose callback is running: not armed, but a
// Stop() or Start() during the callback must be seen when it returns.
constexpr TIMER_ID TIMER_RUNNING = -1;

// The sentinel keeps the list from ever being empty while the thread runs.
constexpr std::chrono::minutes SENTINEL_DURATION(52560000);

// Timer lock held.
void _InsertNewTimer(const TIMER& timer_data)
{
    auto it = listTimers_.begin();
    while (it != listTimers_.end() && it->Time_ < timer_data.Time_)
        ++it;
    listTimers_.insert(it, timer_data);
}

// Timer lock held.
TIMER_ID DrawTimerId(TIMER_ID dedicate_id)
{
    LastTimerId_ = LastTimerId_ == INT_MAX ? 1 : LastTimerId_ + 1;
    return dedicate_id != 0 ? dedicate_id : LastTimerId_;
}

void _NotifyTimerThread()
{
    std::lock_guard<std::mutex> lock(Mutex_CondVar_Timer_);
    flagTimerChanged_ = true;
    CondVar_Timer_.notify_one();
}

template <class Target>
TIMER_ID ArmTimer(microseconds duration, const Target& target, TIMER_ID dedicate_id)
{
    TIMER_ID id;
    {
        std::lock_guard<std::mutex> lock(TimerMutex_);
        id = DrawTimerId(dedicate_id);
        _InsertNewTimer(TIMER(duration, id, target));
    }
    _NotifyTimerThread();
    return id;
}

}  // namespace

class Code_Timer : public ITimer {
public:
    Code_Timer(microseconds d, const TIMER_LAMBDA& l) : __Ref_(0), Duration_(d), Lambda_(l), TimerId_(0)
    {
        std::lock_guard<std::mutex> lock(TimerClassMutex_);
        Id_ = ++LastTimerClassId_;
    }

    virtual ~Code_Timer()
    {
        std::lock_guard<std::mutex> lock(TimerClassMutex_);
        _Stop();
    }

    _IROOT_IMPLEMENTATION()

    ID Id() const override { return Id_; }

    void Start() override
    {
        std::lock_guard<std::mutex> lock(TimerClassMutex_);
        _Start();
    }

    void Stop() override
    {
        std::lock_guard<std::mutex> lock(TimerClassMutex_);
        _Stop();
    }

    // Called by the timer thread, which holds a counted reference for the
    // whole call, for the list entry numbered fired_id.
    void Run(TIMER_ID fired_id)
    {
        {
            std::lock_guard<std::mutex> lock(TimerClassMutex_);
            if (TimerId_ != fired_id)
                return;            // stopped or restarted after the entry was taken
            TimerId_ = TIMER_RUNNING;
        }
        const bool again = Lambda_ ? Lambda_() : false;
        std::lock_guard<std::mutex> lock(TimerClassMutex_);
        if (TimerId_ != TIMER_RUNNING)
            return;                // Stop() or Start() during the callback wins
        TimerId_ = 0;
        if (again)
            _Start();
    }

    // A reference for the timer thread, unless the object is already being
    // destroyed (count 0).
    bool _TryAddRef()
    {
        _COMREF n = __atomic_load_n(&__Ref_, __ATOMIC_SEQ_CST);
        while (n > 0) {
            if (__atomic_compare_exchange_n(&__Ref_, &n, n + 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
                return true;
        }
        return false;
    }

private:
    void _Start()
    {
        if (TimerId_ != 0)
            _Stop();
        TimerId_ = ArmTimer(Duration_, this, 0);
    }

    void _Stop()
    {
        if (TimerId_ > 0)
            DeleteTimer(TimerId_);
        TimerId_ = 0;
    }

    _COMREF __Ref_;
    microseconds Duration_;
    TIMER_LAMBDA Lambda_;
    TIMER_ID TimerId_;
    ID Id_;
};

namespace {

// Fires the first entry if it is due.
void FireFirstDue()
{
    std::unique_lock<std::mutex> lock(TimerMutex_);
    if (listTimers_.empty() || listTimers_.front().Time_ > steady_clock::now())
        return;   // the entry waited for was deleted
    TIMER timer = listTimers_.front();
    listTimers_.pop_front();

    if (timer.pCode_) {
        Code_Timer* code = timer.pCode_;
        if (!code->_TryAddRef())
            return;   // being destroyed; its destructor no longer finds the entry
        lock.unlock();
        code->Run(timer.Id_);
        code->__Release();
    } else if (timer.Lambda_) {
        // A plain timer's callback runs under the timer lock.
        const bool again = timer.Lambda_();
        lock.unlock();
        if (again)
            ArmTimer(timer.Duration_, timer.Lambda_, timer.Id_);
    }
}

void Proc_TimerThread()
{
    flagTimerThreadStarted_ = true;
    for (;;) {
        if (flagTimerThreadQuit_)
            return;
        bool have_timeout;
        steady_clock::time_point timeout;
        {
            std::lock_guard<std::mutex> lock(TimerMutex_);
            have_timeout = !listTimers_.empty();
            if (have_timeout)
                timeout = listTimers_.front().Time_;
        }
        {
            std::unique_lock<std::mutex> lock(Mutex_CondVar_Timer_);
            if (have_timeout)
                CondVar_Timer_.wait_until(lock, timeout, [] { return flagTimerChanged_; });
            else
                CondVar_Timer_.wait(lock, [] { return flagTimerChanged_; });
            flagTimerChanged_ = false;
        }
        if (flagTimerThreadQuit_)
            return;
        FireFirstDue();
    }
}

}  // namespace

TIMER_ID NewTimer(microseconds duration, const TIMER_LAMBDA& lambda, TIMER_ID dedicate_id)
{
    return ArmTimer(duration, lambda, dedicate_id);
}

TIMER_ID Dispatch(microseconds duration, const TIMER_LAMBDA& lambda)
{
    return NewTimer(duration, lambda, 0);
}

bool DeleteTimer(TIMER_ID timer_id)
{
    std::lock_guard<std::mutex> lock(TimerMutex_);
    if (timer_id == 0 || flagTimerThreadQuit_)
        return false;
    for (auto it = listTimers_.begin(); it != listTimers_.end(); ++it) {
        if (it->Id_ == timer_id) {
            listTimers_.erase(it);
            return true;
        }
    }
    return false;
}

void Stop(TIMER_ID id)
{
    DeleteTimer(id);
}

_OBJ<ITimer> ITimer::New(microseconds d, const TIMER_LAMBDA& l)
{
    // Counted before it is armed, so the timer thread can hold it when it fires.
    _OBJ<ITimer> timer(new Code_Timer(d, l));
    timer->Start();
    return timer;
}

void TimerSys_Initialize()
{
    std::lock_guard<std::mutex> lock(TimerMutex_);
    flagTimerThreadQuit_ = false;
    flagTimerThreadStarted_ = false;
    {
        std::lock_guard<std::mutex> cv_lock(Mutex_CondVar_Timer_);
        flagTimerChanged_ = false;
    }
    const TIMER_ID sentinel_id = DrawTimerId(0);
    listTimers_.push_front(TIMER(SENTINEL_DURATION, sentinel_id, TIMER_LAMBDA()));
    TimerThread_ = std::thread(Proc_TimerThread);
    while (!flagTimerThreadStarted_)
        std::this_thread::yield();
}

void TimerSys_Shutdown()
{
    flagTimerThreadQuit_ = true;
    _NotifyTimerThread();
    if (TimerThread_.joinable())
        TimerThread_.join();
    // Entries left now never fire; drop them so that a later start begins
    // with a clean list.
    std::lock_guard<std::mutex> lock(TimerMutex_);
    listTimers_.clear();
}

}  // namespace _GCD
