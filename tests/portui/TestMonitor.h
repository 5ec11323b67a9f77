// Test side of the test port monitor (tests/portui/monitor): installs it in
// the Wine prefix as "Brenwick Network Monitor", resets its ports, reads its
// call log and makes it fail a command.
//
// Under Wine the spooler runs inside the test process and loads the monitor
// on first use of ",XcvMonitor Brenwick Network Monitor" (or of
// ",XcvPort <name>" for a port it keeps); Install() before the first
// OpenPrinterW is enough, nothing needs restarting. The monitor keeps its
// state in the registry and its log in a file, so tests of one executable
// share it: call Reset() at the start of each test. Test executables that
// use it must not run at the same time: register them with
// zp_add_monitor_test (tests/portui/CMakeLists.txt), which links this helper
// and sets the ctest RESOURCE_LOCK brenwick_monitor.
//
// The log format is described at the top of monitor/TestPortMonitor.cpp.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace _TESTMON {

constexpr wchar_t MONITOR_NAME[] = L"Brenwick Network Monitor";
constexpr wchar_t MONITOR_KEY[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Brenwick Network Monitor";

using Bytes = std::vector<BYTE>;

// The 2112-byte port configuration record: offsets of its fields.
constexpr DWORD RECORD_SIZE = 2112;
constexpr size_t TEXT_FIELD_SIZE = 522;  // WCHAR[261]
enum RecordField : size_t {
  PORT_NAME = 0,
  RESERVED_TEXT = 522,
  ADDRESS = 1044,
  PRINTER_NAME = 1566,
  PORT_NUMBER = 2088,
  RESERVED_DWORD = 2092,
  FROM_SHARED_BLOCK = 2096,
  SUPPORTS_TLS = 2100,
  TLS_ENABLED = 2104,
  TLS_OPTION = 2108,
};
Bytes EmptyRecord();                                           // 2112 zero bytes
void PutText(Bytes& record, RecordField field, const std::wstring& text);  // at most 260 chars
void PutDword(Bytes& record, RecordField field, DWORD value);
std::wstring GetText(const Bytes& record, RecordField field);  // up to the first NUL
DWORD GetDword(const Bytes& record, RecordField field);
Bytes NameField(const std::wstring& name);        // 522 bytes, zero-filled after the name
Bytes NameAndTerminator(const std::wstring& name);  // 2 * (length + 1) bytes

// One line of the monitor's log.
enum class Event { Open, Data, Close };
enum class Handle { Monitor, Port };
struct Call {
  Event event = Event::Data;
  Handle handle = Handle::Monitor;
  std::wstring object;        // what the handle was opened on (port name, or the monitor's)
  std::wstring command;       // Data: pszDataName
  bool input_null = true;     // Data: pInputData was NULL
  Bytes input;                // Data: the cbInputData bytes
  bool output_null = true;    // Data: pOutputData was NULL
  DWORD output_size = 0;      // Data: cbOutputData
  DWORD access = 0;           // Open: granted access
  DWORD status = 0;           // Open, Data: the result the monitor gave
};

// Copies the built monitor DLL into the system folder when it differs from
// the copy there, registers it (value Driver) and its log file, and resets
// it. Returns false with a reason in *error.
bool Install(std::wstring* error = nullptr);

// No ports, no requested failure, an empty log.
void Reset();

std::vector<Call> ReadLog();       // every line, in order
std::vector<Call> ReadCommands();  // the Data lines only
void ClearLog();
std::wstring LogPath();

// Makes the monitor answer `command` with `status` (without acting) until
// cleared; "XcvOpenPort" makes opening a handle fail with that error.
void FailCommand(const std::wstring& command, DWORD status);
void ClearFailure();

// The DLL the monitor names in answer to "MonitorUI" (the spooler loads it
// for AddPortW, ConfigurePortW and DeletePortW); netportui.dll until set.
// Reset() restores the default.
void SetMonitorUi(const std::wstring& dll);

// The monitor's storage, read and written directly.
bool PortExists(const std::wstring& name);
bool SeedPort(const std::wstring& name, const Bytes& record);  // creates or replaces
bool StoredConfig(const std::wstring& name, Bytes& record);

}  // namespace _TESTMON
