#pragma once
// Where printer.exe's status lines go when it runs as a service, with no
// console: %ProgramData%\ZELT\printer\<service name>.log, each line with
// the local time in ISO 8601 in front ("2026-12-09T14:03:07.512+01:00 Remote
// Connected"). The folder is made, when missing, with an ACL that lets only
// Administrators and SYSTEM write (users read). At 1 MiB the log becomes
// <service name>.log.1 (one previous file is kept) and a new one is begun.
//
// Everything the program writes to standard output and standard error (the
// C runtime's and the C++ streams) goes there, line by line, as written.

#include <string>

class SERVICE_LOG {
public:
    // Opens (or creates) the log of the service; false with the reason when
    // it cannot be opened.
    bool Open(const std::wstring& service_name, std::wstring& error);

    // Standard output and standard error into the log, until Close.
    bool CaptureConsoleStreams();

    // One line, from anywhere in the program (the lines of the streams come
    // through here too).
    void WriteLine(const std::string& text);

    // Flushes the streams, writes what is left and closes the log.
    void Close();

    const std::wstring& Path() const { return Path_; }

    // Rotates when the log would grow past this many bytes.
    static constexpr unsigned long long ROTATE_AT = 1024 * 1024;

private:
    void Rotate();

    std::wstring Path_;
    void* File_ = nullptr;   // HANDLE
    unsigned long long Size_ = 0;
    void* ReadEnd_ = nullptr;   // HANDLE of the pipe the streams write into
    void* Reader_ = nullptr;    // HANDLE of the thread that reads it
    int SavedOut_ = -1, SavedErr_ = -1;
};

// The local time now, ISO 8601 with milliseconds and the UTC offset.
std::string LocalTimestamp();
