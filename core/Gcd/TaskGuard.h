#pragma once
// The one rule for work that reaches an object after it was posted: no task
// touches an object that is gone.
//
// A task posted on behalf of an object holds a copy of the object's guard
// (not the object) and runs its code only through Run(). The object's
// destructor calls Close() before anything else: from then on Run() does
// nothing, and Close() first waits for a task that is running on another
// thread. Called from inside a task of its own (an object destroyed by its
// own event), Close() does not wait for that task, which must then not touch
// the object after the call that destroyed it.
//
// Code run through Run() must not wait for the thread that may be closing
// the guard.

#include <memory>
#include <mutex>

namespace _GCD {

class TASK_GUARD {
public:
    TASK_GUARD() : State_(std::make_shared<STATE>()) {}

    // Runs code unless the guard is closed; false when it did not run.
    template <class Code>
    bool Run(Code&& code) const
    {
        std::lock_guard<std::recursive_mutex> lock(State_->Mutex_);
        if (State_->flagClosed_)
            return false;
        code();
        return true;
    }

    void Close() const
    {
        std::lock_guard<std::recursive_mutex> lock(State_->Mutex_);
        State_->flagClosed_ = true;
    }

private:
    struct STATE {
        std::recursive_mutex Mutex_;
        bool flagClosed_ = false;
    };
    std::shared_ptr<STATE> State_;
};

}  // namespace _GCD
