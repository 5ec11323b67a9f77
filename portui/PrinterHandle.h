#pragma once
// One spooler handle, opened on a transceive name (",XcvMonitor <monitor>"
// or ",XcvPort <port>") with administer access and closed on destruction.

#include <windows.h>

class CPrinterHandle {
public:
    // NULL handle when OpenPrinterW fails; no error is raised.
    explicit CPrinterHandle(LPCWSTR name);
    // Closes the handle (also a NULL one) without disturbing the thread's
    // last error, so an operation's failure survives its cleanup.
    virtual ~CPrinterHandle();
    CPrinterHandle(const CPrinterHandle&) = delete;
    CPrinterHandle& operator=(const CPrinterHandle&) = delete;

    HANDLE Get() const { return Handle_; }

private:
    HANDLE Handle_;
};
