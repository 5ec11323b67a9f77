#include "Service.h"

#include <windows.h>

#include <chrono>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "ServiceLog.h"
#include "Shutdown.h"

namespace {

constexpr DWORD START_WAIT_HINT_MS = 10000;
constexpr DWORD STOP_WAIT_HINT_MS = 30000;
constexpr WORD EVENT_MESSAGE_ID = 1;   // "%1" in the program's message table

const SERVICE_PROGRAM* Program_ = nullptr;
int ExitStatus_ = 0;
std::wstring Name_;
SERVICE_STATUS_HANDLE StatusHandle_ = nullptr;
std::mutex StatusMutex_;
SERVICE_STATUS Status_ = {};
SERVICE_LOG Log_;
std::thread Watch_;

void Report(DWORD state, DWORD wait_hint = 0, DWORD exit_code = NO_ERROR, DWORD specific = 0)
{
    std::lock_guard<std::mutex> lock(StatusMutex_);
    Status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    if (state != Status_.dwCurrentState)
        Status_.dwCheckPoint = 0;
    Status_.dwCurrentState = state;
    Status_.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    Status_.dwWin32ExitCode = exit_code;
    Status_.dwServiceSpecificExitCode = specific;
    Status_.dwWaitHint = wait_hint;
    Status_.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : Status_.dwCheckPoint + 1;
    if (StatusHandle_)
        SetServiceStatus(StatusHandle_, &Status_);
}

std::wstring Wide(const std::string& text)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string Narrow(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// Start, stop and failures for the Application event log.
void EventLog(WORD type, const std::string& text)
{
    HANDLE source = RegisterEventSourceW(nullptr, Name_.c_str());
    if (!source)
        return;
    const std::wstring wide = Wide(text);
    LPCWSTR strings[] = {wide.c_str()};
    ReportEventW(source, type, 0, EVENT_MESSAGE_ID, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

// Both into the log and into the event log.
void Announce(WORD type, const std::string& text)
{
    Log_.WriteLine(text);
    EventLog(type, text);
}

// Restart 5 s after a failure, three times (the count starts again after a
// day without failure), unless recovery actions are configured already.
void EnsureRestartOnFailure()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return;
    SC_HANDLE service = OpenServiceW(manager, Name_.c_str(), SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (service) {
        DWORD needed = 0;
        QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
        std::string buffer(needed > 0 ? needed : sizeof(SERVICE_FAILURE_ACTIONSW), '\0');
        auto* current = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(&buffer[0]);
        const bool configured = QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS,
                                                     reinterpret_cast<LPBYTE>(current),
                                                     static_cast<DWORD>(buffer.size()), &needed) &&
                                current->cActions > 0;
        if (!configured) {
            SC_ACTION restart[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}};
            SERVICE_FAILURE_ACTIONSW actions = {86400, nullptr, nullptr, 3, restart};
            if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions))
                Log_.WriteLine("Cannot set the restart after a failure (error " + std::to_string(GetLastError()) +
                               ")");
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

// STOP_PENDING with a new check point every second until main is done; a
// stop that outlasts the wait hint is said once in the log.
void WatchStop()
{
    const auto start = std::chrono::steady_clock::now();
    bool said = false;
    while (!WaitStopped(std::chrono::seconds(1))) {
        Report(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
        if (!said && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(STOP_WAIT_HINT_MS)) {
            Log_.WriteLine("Stopping takes longer than " + std::to_string(STOP_WAIT_HINT_MS / 1000) +
                           " s: a job is still being printed");
            said = true;
        }
    }
}

DWORD WINAPI Control(DWORD code, DWORD, void*, void*)
{
    switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
        if (!StopRequested()) {
            Report(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
            Log_.WriteLine(code == SERVICE_CONTROL_STOP ? "Stop requested" : "Stop requested: the system shuts down");
            RequestStop();
            Watch_ = std::thread(WatchStop);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
{
    Name_ = argc > 0 && argv[0] && *argv[0] ? argv[0] : L"ZeltPrinter";
    StatusHandle_ = RegisterServiceCtrlHandlerExW(Name_.c_str(), Control, nullptr);
    if (!StatusHandle_) {
        ExitStatus_ = 1;
        return;
    }
    Report(SERVICE_START_PENDING, START_WAIT_HINT_MS);

    std::wstring error;
    if (!Log_.Open(Name_, error)) {
        EventLog(EVENTLOG_ERROR_TYPE, "The service cannot start: " + Narrow(error));
        Report(SERVICE_STOPPED, 0, ERROR_CANNOT_MAKE);
        ExitStatus_ = 1;
        return;
    }
    Log_.CaptureConsoleStreams();
    Announce(EVENTLOG_INFORMATION_TYPE, "Service " + Narrow(Name_) + " starting (" + Narrow(Log_.Path()) + ")");
    EnsureRestartOnFailure();
    Report(SERVICE_START_PENDING, START_WAIT_HINT_MS);

    // The command line as from a console: the help or the error goes into
    // the log, and the service stops with the console's exit status.
    const int parsed = Program_->Parse();
    if (parsed != 0) {
        Announce(EVENTLOG_ERROR_TYPE, "Service " + Narrow(Name_) + " stopped: " +
                                          (parsed == 1 ? "the printer (-p) and the ZELT name (-n) are needed"
                                                       : "an option of its command line is wrong") +
                                          " (see " + Narrow(Log_.Path()) + ")");
        Log_.Close();
        ExitStatus_ = parsed;
        Report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(parsed));
        return;
    }

    Report(SERVICE_RUNNING);
    Announce(EVENTLOG_INFORMATION_TYPE, "Service " + Narrow(Name_) + " running");
    Program_->Run();
    NotifyStopped();
    if (Watch_.joinable())
        Watch_.join();
    Announce(EVENTLOG_INFORMATION_TYPE, "Service " + Narrow(Name_) + " stopped");
    Log_.Close();
    ExitStatus_ = 0;
    Report(SERVICE_STOPPED);
}

}  // namespace

bool RunAsService(const SERVICE_PROGRAM& program, int& status)
{
    Program_ = &program;
    wchar_t any_name[] = L"";   // an own-process service is found by the manager whatever it is called
    SERVICE_TABLE_ENTRYW table[] = {{any_name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return false;   // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT: started from a console or a shell
    status = ExitStatus_;
    return true;
}
