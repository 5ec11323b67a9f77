#include "ServiceLog.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

namespace {

std::mutex WriteMutex_;   // one line at a time, rotation included

std::wstring ErrorText(DWORD code)
{
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring out = text ? text : L"";
    LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' ' || out.back() == L'.'))
        out.pop_back();
    return out + L" (" + std::to_wstring(code) + L")";
}

// Full control for SYSTEM and Administrators, read for users; inherited by
// what is made inside, not by the parent's rules.
bool MakeProtectedFolder(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
                                                              SDDL_REVISION_1, &sd, nullptr))
        return false;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd, FALSE};
    const BOOL made = CreateDirectoryW(path.c_str(), &sa);
    const DWORD error = GetLastError();
    LocalFree(sd);
    return made || error == ERROR_ALREADY_EXISTS;
}

HANDLE OpenForAppending(const std::wstring& path)
{
    return CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

struct READER {
    SERVICE_LOG* Log;
    HANDLE Pipe;
};

// Splits what the streams write into lines for the log.
DWORD WINAPI ReadLines(void* parameter)
{
    READER reader = *static_cast<READER*>(parameter);
    delete static_cast<READER*>(parameter);
    std::string pending;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader.Pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        std::string::size_type end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            reader.Log->WriteLine(line);
            pending.erase(0, end + 1);
        }
    }
    if (!pending.empty())
        reader.Log->WriteLine(pending);
    return 0;
}

}  // namespace

std::string LocalTimestamp()
{
    SYSTEMTIME local;
    GetLocalTime(&local);
    TIME_ZONE_INFORMATION zone;
    const DWORD which = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;   // minutes to add to local time to get UTC
    if (which == TIME_ZONE_ID_DAYLIGHT)
        bias += zone.DaylightBias;
    else if (which == TIME_ZONE_ID_STANDARD)
        bias += zone.StandardBias;
    const long offset = -bias;
    char text[40];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld:%02ld", local.wYear, local.wMonth,
                  local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds, offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

bool SERVICE_LOG::Open(const std::wstring& service_name, std::wstring& error)
{
    wchar_t data[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data))) {
        error = L"cannot find the ProgramData folder";
        return false;
    }
    std::wstring folder = std::wstring(data) + L"\\ZELT";
    for (const wchar_t* part : {L"", L"\\printer"}) {
        folder += part;
        if (!MakeProtectedFolder(folder)) {
            error = L"cannot make " + folder + L": " + ErrorText(GetLastError());
            return false;
        }
    }
    Path_ = folder + L"\\" + service_name + L".log";
    File_ = OpenForAppending(Path_);
    if (File_ == INVALID_HANDLE_VALUE) {
        File_ = nullptr;
        error = L"cannot open " + Path_ + L": " + ErrorText(GetLastError());
        return false;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(File_, &size);
    Size_ = static_cast<unsigned long long>(size.QuadPart);
    return true;
}

bool SERVICE_LOG::CaptureConsoleStreams()
{
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, 0))
        return false;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_TEXT | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // A service starts without standard handles, and the C runtime's
    // streams then have no descriptor (-2), which neither _dup2 nor freopen
    // can change: such a stream is given a stream of its own on the pipe
    // (the C runtime's way for programs without a console). Win32's handles
    // follow.
    for (FILE* stream : {stdout, stderr}) {
        if (_fileno(stream) >= 0) {
            _dup2(fd, _fileno(stream));
        } else if (FILE* opened = _fdopen(_dup(fd), "w")) {
            *stream = *opened;
        }
    }
    _close(fd);
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr))));
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    std::cout.clear();
    std::cerr.clear();
    ReadEnd_ = read_end;
    Reader_ = CreateThread(nullptr, 0, ReadLines, new READER{this, read_end}, 0, nullptr);
    return Reader_ != nullptr;
}

void SERVICE_LOG::WriteLine(const std::string& text)
{
    const std::string line = LocalTimestamp() + " " + text + "\r\n";
    std::lock_guard<std::mutex> lock(WriteMutex_);
    if (!File_)
        return;
    if (Size_ > 0 && Size_ + line.size() > ROTATE_AT)
        Rotate();
    DWORD written = 0;
    if (File_ && WriteFile(File_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
        Size_ += written;
}

void SERVICE_LOG::Rotate()
{
    CloseHandle(File_);
    MoveFileExW(Path_.c_str(), (Path_ + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    File_ = OpenForAppending(Path_);
    if (File_ == INVALID_HANDLE_VALUE)
        File_ = nullptr;
    Size_ = 0;
}

void SERVICE_LOG::Close()
{
    if (Reader_) {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(stdout);
        std::fflush(stderr);
        // Closing both descriptors closes the pipe's write end: the reader
        // gets what is left and ends.
        _close(_fileno(stdout));
        _close(_fileno(stderr));
        WaitForSingleObject(Reader_, 5000);
        CloseHandle(Reader_);
        CloseHandle(ReadEnd_);
        Reader_ = ReadEnd_ = nullptr;
    }
    std::lock_guard<std::mutex> lock(WriteMutex_);
    if (File_)
        CloseHandle(File_);
    File_ = nullptr;
}
