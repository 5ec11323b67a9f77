#pragma once
// printer.exe as a Windows service. The same program, without a new
// option: when the service control manager started it, it runs as the
// service it was started as (any name, in a process of its own), with its
// options from the service's command line exactly as from a console;
// otherwise it is the console program it always was.
//
// As a service it reports START_PENDING, RUNNING, STOP_PENDING (with check
// points while the job being printed is finished) and STOPPED, accepts STOP
// and PRESHUTDOWN, writes its lines into its log (ServiceLog.h) and its
// start, stop and failures also into the Application event log (source: the
// service name). An option error or a missing option stops it with a
// service-specific exit code (1, or 4294967295 for -1) and the help or the
// error in the log. It asks to be restarted 5 s after a failure, three
// times, unless other recovery actions are configured.

#include <functional>

struct SERVICE_PROGRAM {
    // Reads the command line; 0 to run, otherwise the exit status.
    std::function<int()> Parse;
    // Runs until a stop is requested (Shutdown.h).
    std::function<void()> Run;
};

// True when the process ran as a service: `status` is then main's exit
// status. False when the service control manager did not start it.
bool RunAsService(const SERVICE_PROGRAM& program, int& status);
