// printer: a network print client. It keeps a WebSocket connection to the
// print server and prints every image the server sends on a Windows printer.
// It runs as a console program, or as a service when the service control
// manager starts it.

#include <iostream>
#include <thread>

#include "CommandLine.h"
#include "Core/CoreSys.h"
#include "Gcd/Gcd.h"
#include "MainCtrl.h"
#include "Service.h"
#include "Shutdown.h"

_STRING strUrl;
_STRING strDriver;
_STRING strName;
_INT PrinterDpi = 0;
_OBJ<IMainCtrl> MainCtrl_;

void Run(int /*argc*/, char** /*argv*/)
{
    _SYS::Initialize("zelt", "printer.cpp");
    MainCtrl_ = IMainCtrl::CreateSingleton(strUrl, strDriver, strName, PrinterDpi);
    // A stop asked for while the run loop was starting was lost with the
    // flags the loop clears at its start: ask again.
    if (StopRequested())
        std::thread([] { _GCD::Exit(); }).detach();
}

void Terminate()
{
    MainCtrl_ = nullptr;
}

void Shutdown()
{
    _SYS::Shutdown();
}

namespace {

void RunClient(int argc, char** argv)
{
    _GCD::Run([argc, argv] { Run(argc, argv); }, Terminate, Shutdown, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    const SERVICE_PROGRAM service = {
        [&] {
            const COMMAND_LINE parsed =
                ParseCommandLine(argc, argv, strUrl, strDriver, strName, PrinterDpi, std::cout, std::cerr);
            return parsed == COMMAND_LINE::Run ? 0 : ExitStatus(parsed);
        },
        [&] { RunClient(argc, argv); },
    };
    int status = 0;
    if (RunAsService(service, status))
        return status;

    const COMMAND_LINE parsed =
        ParseCommandLine(argc, argv, strUrl, strDriver, strName, PrinterDpi, std::cout, std::cerr);
    if (parsed != COMMAND_LINE::Run)
        return ExitStatus(parsed);

    InstallConsoleStop();
    RunClient(argc, argv);
    NotifyStopped();
    return 0;
}
