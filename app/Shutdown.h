#pragma once
// Ending printer.exe from outside, the orderly way: Ctrl+C, Ctrl+Break,
// closing the console window, logoff and shutdown (console), and the
// service control manager's STOP and PRESHUTDOWN all come here. The run loop
// then ends through _GCD::Exit: the job being printed (and whatever is
// queued behind it) is finished, the controller is released, the connection
// sends its close frame (1000), GDI+ shuts down and main returns 0.

#include <chrono>

// Starts ending the run loop; later calls do nothing. Returns at once:
// _GCD::Exit runs on a thread of its own, since it waits until every queue's
// backlog has been taken.
void RequestStop();

// Whether a stop was requested.
bool StopRequested();

// Called by main once the run loop has returned and everything it owned is
// released; WaitStopped returns true once that happened, false when it did
// not within `limit`.
void NotifyStopped();
bool WaitStopped(std::chrono::milliseconds limit);

// Console mode: the control events above request a stop; for the events
// after which Windows ends the process (closing the window, logoff,
// shutdown) the handler waits until main has finished.
void InstallConsoleStop();
