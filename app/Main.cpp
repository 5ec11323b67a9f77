// printer: a network print client. It keeps a WebSocket connection to the
// print server and prints every image the server sends on a Windows printer.

#include <iostream>

#include "CommandLine.h"
#include "Core/CoreSys.h"
#include "Gcd/Gcd.h"
#include "MainCtrl.h"

_STRING strUrl;
_STRING strDriver;
_STRING strName;
_INT PrinterDpi = 0;
_OBJ<IMainCtrl> MainCtrl_;

void Run(int /*argc*/, char** /*argv*/)
{
    _SYS::Initialize("zelt", "printer.cpp");
    MainCtrl_ = IMainCtrl::CreateSingleton(strUrl, strDriver, strName, PrinterDpi);
}

void Terminate()
{
    MainCtrl_ = nullptr;
}

void Shutdown()
{
    _SYS::Shutdown();
}

int main(int argc, char** argv)
{
    const COMMAND_LINE parsed =
        ParseCommandLine(argc, argv, strUrl, strDriver, strName, PrinterDpi, std::cout, std::cerr);
    if (parsed != COMMAND_LINE::Run)
        return ExitStatus(parsed);

    _GCD::Run([argc, argv] { Run(argc, argv); }, Terminate, Shutdown, 0);
    return 0;
}
