#include "PrinterHandle.h"

#include <winspool.h>

CPrinterHandle::CPrinterHandle(LPCWSTR name)
    : Handle_(nullptr)
{
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &Handle_, &defaults))
        Handle_ = nullptr;
}

CPrinterHandle::~CPrinterHandle()
{
    const DWORD error = GetLastError();
    ClosePrinter(Handle_);
    SetLastError(error);
}
