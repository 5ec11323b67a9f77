// Drives the test port monitor through Wine's own spooler, the way the port
// UI does: OpenPrinterW on ",XcvMonitor Brenwick Network Monitor" and
// ",XcvPort <name>", then XcvDataW commands. Checks the answers, the ports it
// keeps in the registry, the log it writes and the failures it can be told
// to produce.
#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TestMonitor.h"

namespace {

using namespace _TESTMON;

const std::wstring MONITOR_XCV = std::wstring(L",XcvMonitor ") + MONITOR_NAME;

HANDLE OpenXcv(const std::wstring& name) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
  HANDLE h = nullptr;
  if (!OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &h, &defaults)) return nullptr;
  return h;
}

struct Answer {
  BOOL ok = FALSE;
  DWORD error = 0;   // GetLastError when ok is FALSE
  DWORD status = 0;  // pdwStatus
  DWORD needed = 0;  // pcbOutputNeeded
};

Answer Xcv(HANDLE h, const wchar_t* command, const Bytes* input, BYTE* output = nullptr,
           DWORD output_size = 0) {
  Answer a;
  a.status = 0xDEADBEEF;
  a.ok = XcvDataW(h, command, input ? const_cast<BYTE*>(input->data()) : nullptr,
                  input ? DWORD(input->size()) : 0, output, output_size, &a.needed, &a.status);
  if (!a.ok) a.error = GetLastError();
  return a;
}

Bytes Utf16(const std::wstring& s) {  // characters only, no terminator
  Bytes b(s.size() * sizeof(wchar_t));
  std::memcpy(b.data(), s.data(), b.size());
  return b;
}

// A record with every field set to something recognisable.
Bytes FullRecord(const std::wstring& port) {
  Bytes r = EmptyRecord();
  PutText(r, PORT_NAME, port);
  PutText(r, RESERVED_TEXT, L"monitor-private \x00e9t\x00e9");
  PutText(r, ADDRESS, L"printer-1.example");
  PutText(r, PRINTER_NAME, L"Label Printer 12");
  PutDword(r, PORT_NUMBER, 9101);
  PutDword(r, RESERVED_DWORD, 1);
  PutDword(r, FROM_SHARED_BLOCK, 1);
  PutDword(r, SUPPORTS_TLS, 2);
  PutDword(r, TLS_ENABLED, 1);
  PutDword(r, TLS_OPTION, 1);
  return r;
}

bool ModuleLoaded() { return GetModuleHandleW(L"bwtestmon.dll") != nullptr; }

class TestMonitor : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
};

TEST_F(TestMonitor, OpensThroughTheSpoolerInsideThisProcess) {
  HANDLE mon = OpenXcv(MONITOR_XCV);
  ASSERT_NE(mon, nullptr) << "OpenPrinterW error " << GetLastError();
  // Wine runs the spooler's provider in the calling process: the monitor is
  // loaded here, and unloaded again once its last handle is closed.
  EXPECT_TRUE(ModuleLoaded());
  ClosePrinter(mon);
  EXPECT_FALSE(ModuleLoaded());

  auto log = ReadLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].event, Event::Open);
  EXPECT_EQ(log[0].handle, Handle::Monitor);
  EXPECT_EQ(log[0].object, MONITOR_NAME);
  EXPECT_EQ(log[0].access, DWORD(SERVER_ACCESS_ADMINISTER));
  EXPECT_EQ(log[0].status, 0u);
  EXPECT_EQ(log[1].event, Event::Close);
  EXPECT_EQ(log[1].handle, Handle::Monitor);
}

TEST_F(TestMonitor, AddConfigureDeleteRoundTrip) {
  const std::wstring port = L"BW_10.0.0.7";
  HANDLE mon = OpenXcv(MONITOR_XCV);
  ASSERT_NE(mon, nullptr);
  const Bytes name = NameField(port);

  DWORD exists = 7;
  Answer a = Xcv(mon, L"PortExists", &name, reinterpret_cast<BYTE*>(&exists), sizeof(exists));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.status, 0u);
  EXPECT_EQ(exists, 0u);
  EXPECT_EQ(a.needed, sizeof(DWORD));

  // ",XcvPort" is routed by the registry: no port key, no handle.
  EXPECT_EQ(OpenXcv(L",XcvPort " + port), nullptr);

  a = Xcv(mon, L"AddPort", &name);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.status, 0u);
  EXPECT_TRUE(PortExists(port)) << "registry key Ports\\<name> kept in step";
  a = Xcv(mon, L"PortExists", &name, reinterpret_cast<BYTE*>(&exists), sizeof(exists));
  EXPECT_EQ(a.status, 0u);
  EXPECT_EQ(exists, 1u);
  EXPECT_EQ(Xcv(mon, L"AddPort", &name).status, DWORD(ERROR_ALREADY_EXISTS));

  HANDLE ph = OpenXcv(L",XcvPort " + port);
  ASSERT_NE(ph, nullptr) << "error " << GetLastError();
  Bytes out(RECORD_SIZE, 0xCC);
  a = Xcv(ph, L"GetConfig", nullptr, out.data(), RECORD_SIZE);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.status, 0u);
  EXPECT_EQ(a.needed, RECORD_SIZE);
  Bytes fresh = EmptyRecord();
  PutText(fresh, PORT_NAME, port);
  EXPECT_EQ(out, fresh) << "a new port's record only names it";

  // Stored as sent, returned as stored, szReserved included.
  const Bytes full = FullRecord(port);
  EXPECT_EQ(Xcv(ph, L"SetConfig", &full).status, 0u);
  Bytes stored;
  ASSERT_TRUE(StoredConfig(port, stored));
  EXPECT_EQ(stored, full);
  const Bytes printer = Utf16(L"Label Printer 12");  // 24 bytes, no terminator
  a = Xcv(ph, L"GetConfig", &printer, out.data(), RECORD_SIZE);
  EXPECT_EQ(a.status, 0u);
  EXPECT_EQ(out, full);

  // "SetConfig" on the monitor handle names the port in the record.
  Bytes changed = full;
  PutDword(changed, PORT_NUMBER, 9100);
  EXPECT_EQ(Xcv(mon, L"SetConfig", &changed).status, 0u);
  ASSERT_TRUE(StoredConfig(port, stored));
  EXPECT_EQ(GetDword(stored, PORT_NUMBER), 9100u);

  // "PortDeleted" only follows a successful "DeletePort".
  EXPECT_EQ(Xcv(ph, L"PortDeleted", nullptr).status, DWORD(ERROR_INVALID_FUNCTION));
  const Bytes del = NameAndTerminator(port);
  EXPECT_EQ(Xcv(ph, L"DeletePort", &del).status, 0u);
  EXPECT_EQ(Xcv(ph, L"PortDeleted", nullptr).status, 0u);
  EXPECT_FALSE(PortExists(port));
  EXPECT_EQ(Xcv(ph, L"GetConfig", nullptr, out.data(), RECORD_SIZE).status, DWORD(ERROR_UNKNOWN_PORT));
  ClosePrinter(ph);
  ClosePrinter(mon);

  SetLastError(0);
  EXPECT_EQ(OpenXcv(L",XcvPort " + port), nullptr) << "the port is gone";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_PORT));

  // The log: every command with its handle and the exact bytes it carried.
  auto cmds = ReadCommands();
  struct Expected {
    const wchar_t* command;
    Handle handle;
    const Bytes* input;  // nullptr: NULL input
    DWORD output_size;   // 0 with output_null
    DWORD status;
  };
  const Expected expected[] = {
      {L"PortExists", Handle::Monitor, &name, 4, 0},
      {L"AddPort", Handle::Monitor, &name, 0, 0},
      {L"PortExists", Handle::Monitor, &name, 4, 0},
      {L"AddPort", Handle::Monitor, &name, 0, ERROR_ALREADY_EXISTS},
      {L"GetConfig", Handle::Port, nullptr, RECORD_SIZE, 0},
      {L"SetConfig", Handle::Port, &full, 0, 0},
      {L"GetConfig", Handle::Port, &printer, RECORD_SIZE, 0},
      {L"SetConfig", Handle::Monitor, &changed, 0, 0},
      {L"PortDeleted", Handle::Port, nullptr, 0, ERROR_INVALID_FUNCTION},
      {L"DeletePort", Handle::Port, &del, 0, 0},
      {L"PortDeleted", Handle::Port, nullptr, 0, 0},
      {L"GetConfig", Handle::Port, nullptr, RECORD_SIZE, ERROR_UNKNOWN_PORT},
  };
  ASSERT_EQ(cmds.size(), std::size(expected));
  for (size_t i = 0; i < cmds.size(); ++i) {
    SCOPED_TRACE("log entry " + std::to_string(i));
    EXPECT_EQ(cmds[i].command, expected[i].command);
    EXPECT_EQ(cmds[i].handle, expected[i].handle);
    EXPECT_EQ(cmds[i].object, expected[i].handle == Handle::Port ? port : std::wstring(MONITOR_NAME));
    EXPECT_EQ(cmds[i].input_null, expected[i].input == nullptr);
    if (expected[i].input) {
      EXPECT_EQ(cmds[i].input, *expected[i].input);
    }
    EXPECT_EQ(cmds[i].output_null, expected[i].output_size == 0);
    EXPECT_EQ(cmds[i].output_size, expected[i].output_size);
    EXPECT_EQ(cmds[i].status, expected[i].status);
  }
}

TEST_F(TestMonitor, RefusesMalformedRequests) {
  HANDLE mon = OpenXcv(MONITOR_XCV);
  ASSERT_NE(mon, nullptr);
  ASSERT_TRUE(SeedPort(L"P1", FullRecord(L"P1")));
  HANDLE ph = OpenXcv(L",XcvPort P1");
  ASSERT_NE(ph, nullptr);

  const Bytes empty = NameField(L"");
  const Bytes slash = NameField(L"a\\b");
  Bytes unterminated(522, 0x41);
  EXPECT_EQ(Xcv(mon, L"AddPort", &empty).status, DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(Xcv(mon, L"AddPort", &slash).status, DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(Xcv(mon, L"AddPort", &unterminated).status, DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Xcv(mon, L"AddPort", nullptr).status, DWORD(ERROR_INVALID_PARAMETER));

  // Commands on the wrong kind of handle, unknown commands.
  const Bytes p1 = NameField(L"P1");
  BYTE out[RECORD_SIZE];
  EXPECT_EQ(Xcv(ph, L"AddPort", &p1).status, DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(Xcv(ph, L"PortExists", &p1, out, 4).status, DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(Xcv(mon, L"GetConfig", nullptr, out, RECORD_SIZE).status, DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(Xcv(mon, L"PortList", nullptr, out, 100).status, DWORD(ERROR_INVALID_PARAMETER));

  // Output buffers too small: the size needed comes back.
  Answer a = Xcv(mon, L"PortExists", &p1, out, 2);
  EXPECT_EQ(a.status, DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(a.needed, 4u);
  a = Xcv(ph, L"GetConfig", nullptr, out, RECORD_SIZE - 1);
  EXPECT_EQ(a.status, DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(a.needed, RECORD_SIZE);

  // Records: exact size, every text field terminated, an existing port.
  Bytes shorter = FullRecord(L"P1");
  shorter.pop_back();
  Bytes open_text = FullRecord(L"P1");
  std::memset(&open_text[ADDRESS], 0x41, TEXT_FIELD_SIZE);
  const Bytes other = FullRecord(L"P2");
  EXPECT_EQ(Xcv(ph, L"SetConfig", &shorter).status, DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Xcv(ph, L"SetConfig", &open_text).status, DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Xcv(mon, L"SetConfig", &other).status, DWORD(ERROR_UNKNOWN_PORT));
  const Bytes del_missing = NameAndTerminator(L"P2");
  EXPECT_EQ(Xcv(mon, L"DeletePort", &del_missing).status, DWORD(ERROR_UNKNOWN_PORT));
  Bytes stored;
  ASSERT_TRUE(StoredConfig(L"P1", stored));
  EXPECT_EQ(stored, FullRecord(L"P1")) << "nothing refused was stored";

  ClosePrinter(ph);
  ClosePrinter(mon);
}

TEST_F(TestMonitor, FailsTheCommandItIsToldTo) {
  HANDLE mon = OpenXcv(MONITOR_XCV);
  ASSERT_NE(mon, nullptr);
  const Bytes name = NameField(L"P9");

  FailCommand(L"AddPort", ERROR_ACCESS_DENIED);
  Answer a = Xcv(mon, L"AddPort", &name);
  EXPECT_TRUE(a.ok) << "the status travels in pdwStatus, XcvDataW itself succeeds";
  EXPECT_EQ(a.status, DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(PortExists(L"P9")) << "a failed command does nothing";
  DWORD exists = 5;
  EXPECT_EQ(Xcv(mon, L"PortExists", &name, reinterpret_cast<BYTE*>(&exists), 4).status, 0u)
      << "other commands still work";
  ClearFailure();
  EXPECT_EQ(Xcv(mon, L"AddPort", &name).status, 0u);
  EXPECT_TRUE(PortExists(L"P9"));

  FailCommand(L"PortDeleted", 1234);
  const Bytes del = NameAndTerminator(L"P9");
  EXPECT_EQ(Xcv(mon, L"DeletePort", &del).status, 0u);
  EXPECT_EQ(Xcv(mon, L"PortDeleted", nullptr).status, 1234u);
  ClosePrinter(mon);

  // Opening a handle can be refused too; OpenPrinterW then fails.
  FailCommand(L"XcvOpenPort", ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenXcv(MONITOR_XCV), nullptr);
  ClearFailure();
  mon = OpenXcv(MONITOR_XCV);
  EXPECT_NE(mon, nullptr);
  if (mon) ClosePrinter(mon);

  auto log = ReadLog();
  ASSERT_FALSE(log.empty());
  bool refused_open = false;
  for (const auto& c : log)
    if (c.event == Event::Open && c.status == ERROR_ACCESS_DENIED) refused_open = true;
  EXPECT_TRUE(refused_open);
}

TEST_F(TestMonitor, EnumPortsListsItsPortsAndTheLogKeepsOddNames) {
  const std::wstring odd = L"Gr\x00f6\x00dfe\tport #2";
  ASSERT_TRUE(SeedPort(L"S1", FullRecord(L"S1")));
  ASSERT_TRUE(SeedPort(odd, FullRecord(odd)));

  DWORD needed = 0, count = 0;
  EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
  ASSERT_GT(needed, 0u);
  std::vector<BYTE> buf(needed);
  ASSERT_TRUE(EnumPortsW(nullptr, 2, buf.data(), needed, &needed, &count)) << GetLastError();
  int ours = 0;
  auto* info = reinterpret_cast<PORT_INFO_2W*>(buf.data());
  for (DWORD i = 0; i < count; ++i) {
    if (info[i].pMonitorName && std::wstring(info[i].pMonitorName) == MONITOR_NAME) {
      ++ours;
      EXPECT_TRUE(std::wstring(info[i].pPortName) == L"S1" || std::wstring(info[i].pPortName) == odd);
    }
  }
  EXPECT_EQ(ours, 2);

  HANDLE ph = OpenXcv(L",XcvPort " + odd);
  ASSERT_NE(ph, nullptr) << GetLastError();
  BYTE out[RECORD_SIZE];
  EXPECT_EQ(Xcv(ph, L"GetConfig", nullptr, out, RECORD_SIZE).status, 0u);
  ClosePrinter(ph);
  auto cmds = ReadCommands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].object, odd);
  EXPECT_EQ(cmds[0].handle, Handle::Port);
}

TEST_F(TestMonitor, NamesItsUserInterfaceToTheSpooler) {
  HANDLE mon = OpenXcv(MONITOR_XCV);
  ASSERT_NE(mon, nullptr);
  wchar_t ui[MAX_PATH] = {};
  Answer a = Xcv(mon, L"MonitorUI", nullptr, reinterpret_cast<BYTE*>(ui), sizeof(ui));
  EXPECT_EQ(a.status, 0u);
  EXPECT_STREQ(ui, L"netportui.dll");
  EXPECT_EQ(a.needed, sizeof(L"netportui.dll"));
  a = Xcv(mon, L"MonitorUI", nullptr, reinterpret_cast<BYTE*>(ui), 4);
  EXPECT_EQ(a.status, DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(a.needed, sizeof(L"netportui.dll"));
  ClosePrinter(mon);

  // Wine's AddPortW asks the monitor for its UI DLL on a handle opened on
  // "" and would hand the operation to that DLL's AddPortUI; with no such
  // DLL it fails.
  SetMonitorUi(L"bwtest-absent-ui.dll");
  ClearLog();
  HWND owner = CreateWindowW(L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 50, 50, nullptr,
                             nullptr, nullptr, nullptr);
  EXPECT_FALSE(AddPortW(nullptr, owner, const_cast<LPWSTR>(MONITOR_NAME)));
  DestroyWindow(owner);
  auto cmds = ReadCommands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].command, L"MonitorUI");
  EXPECT_EQ(cmds[0].handle, Handle::Monitor);
  EXPECT_EQ(cmds[0].object, L"");
  EXPECT_EQ(cmds[0].status, 0u);
}

class MonitorEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::wstring error;
    ASSERT_TRUE(Install(&error)) << std::string(error.begin(), error.end());
  }
};
const auto* const kMonitor = ::testing::AddGlobalTestEnvironment(new MonitorEnvironment);

}  // namespace
