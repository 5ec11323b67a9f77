// A port monitor for Wine's spooler that stands in for "Brenwick Network
// Monitor" in the port UI tests. It answers the transceive commands the UI
// sends, keeps its ports in the registry, logs every call with its exact
// input, and fails a chosen command on request.
//
// Registry, key HKLM\SYSTEM\CurrentControlSet\Control\Print\Monitors\Brenwick
// Network Monitor, read afresh on every call:
//   Driver       REG_SZ     this DLL's file name in the system folder
//   LogFile      REG_SZ     file the calls are appended to (no log if absent)
//   FailCommand  REG_SZ     command to fail: a transceive command name, or
//                           "XcvOpenPort" to refuse opening a handle
//   FailStatus   REG_DWORD  the status the failed command returns
//   MonitorUI    REG_SZ     the answer to "MonitorUI" (default netportui.dll)
//   Ports\<name>            one key per port (Wine opens ",XcvPort <name>"
//                           only when it exists); value Config, REG_BINARY,
//                           the port's 2112-byte configuration record
//
// Log: one line per call, UTF-8, fields separated by tabs:
//   open   <kind> <name> <access>  <status>
//   data   <kind> <name> <command> <input> <output> <status>
//   close  <kind> <name>
// kind is "monitor" or "port"; name is the object the handle was opened on;
// access is the granted access in 8 hex digits; input is "-" for a NULL
// pointer, else the input bytes in lower-case hex (empty for 0 bytes);
// output is "-" for a NULL pointer, else the output buffer's size in bytes;
// status is the decimal result (0 success). In name and command the
// characters tab, CR, LF and backslash are written as \t, \r, \n and \\.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

const wchar_t MONITOR_NAME_[] = L"Brenwick Network Monitor";
const wchar_t MONITOR_KEY_[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Brenwick Network Monitor";
const wchar_t PORT_DESCRIPTION_[] = L"Brenwick test port";

// The port configuration record.
constexpr DWORD RECORD_SIZE_ = 2112;
constexpr size_t TEXT_CHARS_ = 261;
constexpr size_t TEXT_FIELDS_[] = {0, 522, 1044, 1566};  // szPortName .. szPrinterName

constexpr DWORD HANDLE_MAGIC_ = 0x4E4F4D42;  // "BMON"

struct XcvHandle {
  DWORD magic = HANDLE_MAGIC_;
  bool monitor = false;
  std::wstring name;
  bool just_deleted = false;  // the last command was a successful "DeletePort"
};

std::mutex Mutex_;

// ---------------------------------------------------------------------------
// Registry.

std::wstring PortKey(const std::wstring& port) {
  return std::wstring(MONITOR_KEY_) + L"\\Ports\\" + port;
}

bool ReadString(const wchar_t* value, std::wstring& out) {
  wchar_t buf[MAX_PATH * 2] = {};
  DWORD size = sizeof(buf) - sizeof(wchar_t), type = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, MONITOR_KEY_, value, RRF_RT_REG_SZ, &type, buf, &size) !=
      ERROR_SUCCESS)
    return false;
  out = buf;
  return true;
}

DWORD ReadDword(const wchar_t* value, DWORD fallback) {
  DWORD v = 0, size = sizeof(v);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, MONITOR_KEY_, value, RRF_RT_REG_DWORD, nullptr, &v, &size) !=
      ERROR_SUCCESS)
    return fallback;
  return v;
}

bool PortExists(const std::wstring& port) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PortKey(port).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

std::vector<std::wstring> ListPorts() {
  std::vector<std::wstring> ports;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(MONITOR_KEY_) + L"\\Ports").c_str(), 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return ports;
  wchar_t name[MAX_PATH];
  for (DWORD i = 0;; ++i) {
    DWORD len = MAX_PATH;
    if (RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    ports.emplace_back(name, len);
  }
  RegCloseKey(key);
  return ports;
}

DWORD StoreRecord(const std::wstring& port, const BYTE* record, bool create) {
  HKEY key;
  DWORD disposition = 0;
  LSTATUS rc = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, PortKey(port).c_str(), 0, nullptr, 0,
                                        KEY_WRITE, nullptr, &key, &disposition)
                      : RegOpenKeyExW(HKEY_LOCAL_MACHINE, PortKey(port).c_str(), 0, KEY_WRITE, &key);
  if (rc != ERROR_SUCCESS) return create ? DWORD(rc) : ERROR_UNKNOWN_PORT;
  rc = RegSetValueExW(key, L"Config", 0, REG_BINARY, record, RECORD_SIZE_);
  RegCloseKey(key);
  return DWORD(rc);
}

DWORD LoadRecord(const std::wstring& port, BYTE* record) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PortKey(port).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return ERROR_UNKNOWN_PORT;
  DWORD size = RECORD_SIZE_, type = 0;
  LSTATUS rc = RegQueryValueExW(key, L"Config", nullptr, &type, record, &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_BINARY || size != RECORD_SIZE_) {
    // A port key without a stored record: a record that only names it.
    std::memset(record, 0, RECORD_SIZE_);
    std::memcpy(record, port.c_str(), std::min(port.size(), TEXT_CHARS_ - 1) * sizeof(wchar_t));
  }
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Log.

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

std::string Escaped(const std::wstring& w) {
  std::string out;
  for (char c : Utf8(w)) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Hex(const BYTE* p, DWORD n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (DWORD i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

const char* KindOf(const XcvHandle& h) { return h.monitor ? "monitor" : "port"; }

void Log(const std::string& line) {
  std::wstring path;
  if (!ReadString(L"LogFile", path) || path.empty()) return;
  HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(f, text.data(), DWORD(text.size()), &written, nullptr);
  CloseHandle(f);
}

// The failure requested for a command, or ERROR_SUCCESS.
DWORD InjectedFailure(const std::wstring& command) {
  std::wstring fail;
  if (!ReadString(L"FailCommand", fail) || fail != command) return ERROR_SUCCESS;
  return ReadDword(L"FailStatus", ERROR_GEN_FAILURE);
}

// ---------------------------------------------------------------------------
// Commands.

// A NUL-terminated name at the start of a buffer (unaligned access safe).
bool NameFrom(const BYTE* p, DWORD cb, std::wstring& out) {
  if (!p) return false;
  out.clear();
  for (DWORD i = 0; i + 1 < cb; i += 2) {
    wchar_t c;
    std::memcpy(&c, p + i, sizeof(c));
    if (c == 0) return true;
    out += c;
  }
  return false;
}

bool ValidPortName(const std::wstring& name) {
  return !name.empty() && name.size() < TEXT_CHARS_ && name.find(L'\\') == std::wstring::npos;
}

// Every text field of a record ends within its 261 characters.
bool RecordWellFormed(const BYTE* record) {
  std::wstring ignored;
  for (size_t at : TEXT_FIELDS_)
    if (!NameFrom(record + at, TEXT_CHARS_ * sizeof(wchar_t), ignored)) return false;
  return true;
}

DWORD DoPortExists(XcvHandle& h, const BYTE* in, DWORD cb_in, BYTE* out, DWORD cb_out,
                   DWORD* needed) {
  if (!h.monitor) return ERROR_INVALID_FUNCTION;
  std::wstring name;
  if (!NameFrom(in, cb_in, name)) return ERROR_INVALID_PARAMETER;
  *needed = sizeof(DWORD);
  if (!out || cb_out < sizeof(DWORD)) return ERROR_INSUFFICIENT_BUFFER;
  DWORD exists = ValidPortName(name) && PortExists(name) ? 1 : 0;
  std::memcpy(out, &exists, sizeof(exists));
  return ERROR_SUCCESS;
}

DWORD DoAddPort(XcvHandle& h, const BYTE* in, DWORD cb_in) {
  if (!h.monitor) return ERROR_INVALID_FUNCTION;
  std::wstring name;
  if (!NameFrom(in, cb_in, name)) return ERROR_INVALID_PARAMETER;
  if (!ValidPortName(name)) return ERROR_INVALID_NAME;
  if (PortExists(name)) return ERROR_ALREADY_EXISTS;
  BYTE record[RECORD_SIZE_] = {};
  std::memcpy(record, name.c_str(), name.size() * sizeof(wchar_t));
  return StoreRecord(name, record, true);
}

DWORD DoGetConfig(XcvHandle& h, BYTE* out, DWORD cb_out, DWORD* needed) {
  if (h.monitor) return ERROR_INVALID_FUNCTION;
  *needed = RECORD_SIZE_;
  if (!out || cb_out < RECORD_SIZE_) return ERROR_INSUFFICIENT_BUFFER;
  BYTE record[RECORD_SIZE_];
  DWORD rc = LoadRecord(h.name, record);
  if (rc == ERROR_SUCCESS) std::memcpy(out, record, RECORD_SIZE_);
  return rc;
}

DWORD DoSetConfig(XcvHandle& h, const BYTE* in, DWORD cb_in) {
  if (!in || cb_in != RECORD_SIZE_ || !RecordWellFormed(in)) return ERROR_INVALID_PARAMETER;
  std::wstring port = h.name;
  if (h.monitor) NameFrom(in, TEXT_CHARS_ * sizeof(wchar_t), port);  // named by szPortName
  if (!ValidPortName(port) || !PortExists(port)) return ERROR_UNKNOWN_PORT;
  return StoreRecord(port, in, false);
}

// "MonitorUI": the file name of the monitor's user-interface DLL, which the
// spooler loads to run AddPortW, ConfigurePortW and DeletePortW.
DWORD DoMonitorUi(BYTE* out, DWORD cb_out, DWORD* needed) {
  std::wstring ui;
  if (!ReadString(L"MonitorUI", ui)) ui = L"netportui.dll";
  const DWORD size = DWORD((ui.size() + 1) * sizeof(wchar_t));
  *needed = size;
  if (!out || cb_out < size) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(out, ui.c_str(), size);
  return ERROR_SUCCESS;
}

DWORD DoDeletePort(const BYTE* in, DWORD cb_in) {
  std::wstring name;
  if (!NameFrom(in, cb_in, name)) return ERROR_INVALID_PARAMETER;
  if (!ValidPortName(name) || !PortExists(name)) return ERROR_UNKNOWN_PORT;
  LSTATUS rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, PortKey(name).c_str());
  return DWORD(rc);
}

// ---------------------------------------------------------------------------
// MONITOR2 entries.

BOOL WINAPI MonEnumPorts(HANDLE, LPWSTR server, DWORD level, LPBYTE buf, DWORD cb_buf,
                         LPDWORD needed, LPDWORD returned) {
  std::lock_guard<std::mutex> lock(Mutex_);
  if (level != 1 && level != 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  (void)server;
  const auto ports = ListPorts();
  const DWORD entry = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
  DWORD size = 0;
  for (const auto& p : ports) {
    size += entry + DWORD((p.size() + 1) * sizeof(wchar_t));
    if (level == 2) size += sizeof(MONITOR_NAME_) + sizeof(PORT_DESCRIPTION_);
  }
  *needed = size;
  *returned = 0;
  if (!buf || cb_buf < size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // Structures at the front, strings from the back.
  BYTE* strings = buf + size;
  auto put = [&](const wchar_t* s, size_t bytes) {
    strings -= bytes;
    std::memcpy(strings, s, bytes);
    return reinterpret_cast<LPWSTR>(strings);
  };
  for (size_t i = 0; i < ports.size(); ++i) {
    LPWSTR name = put(ports[i].c_str(), (ports[i].size() + 1) * sizeof(wchar_t));
    if (level == 1) {
      reinterpret_cast<PORT_INFO_1W*>(buf)[i].pName = name;
    } else {
      PORT_INFO_2W& info = reinterpret_cast<PORT_INFO_2W*>(buf)[i];
      info.pPortName = name;
      info.pMonitorName = put(MONITOR_NAME_, sizeof(MONITOR_NAME_));
      info.pDescription = put(PORT_DESCRIPTION_, sizeof(PORT_DESCRIPTION_));
      info.fPortType = PORT_TYPE_WRITE;
      info.Reserved = 0;
    }
  }
  *returned = DWORD(ports.size());
  return TRUE;
}

BOOL WINAPI MonXcvOpen(HANDLE, LPCWSTR object, ACCESS_MASK access, PHANDLE xcv) {
  std::lock_guard<std::mutex> lock(Mutex_);
  auto* h = new XcvHandle;
  h->name = object ? object : L"";
  h->monitor = h->name.empty() || h->name == MONITOR_NAME_;
  DWORD status = InjectedFailure(L"XcvOpenPort");
  if (status == ERROR_SUCCESS && !h->monitor && !PortExists(h->name)) status = ERROR_UNKNOWN_PORT;
  wchar_t hex[16];
  wsprintfW(hex, L"%08x", unsigned(access));
  Log("open\t" + std::string(KindOf(*h)) + "\t" + Escaped(h->name) + "\t" + Utf8(hex) + "\t" +
      std::to_string(status));
  if (status != ERROR_SUCCESS) {
    delete h;
    SetLastError(status);
    return FALSE;
  }
  *xcv = h;
  return TRUE;
}

DWORD WINAPI MonXcvData(HANDLE xcv, LPCWSTR data_name, PBYTE in, DWORD cb_in, PBYTE out,
                        DWORD cb_out, PDWORD needed) {
  std::lock_guard<std::mutex> lock(Mutex_);
  auto* h = static_cast<XcvHandle*>(xcv);
  if (!h || h->magic != HANDLE_MAGIC_) return ERROR_INVALID_HANDLE;
  const std::wstring command = data_name ? data_name : L"";
  DWORD dummy = 0;
  if (!needed) needed = &dummy;
  // The input as it came, before anything could touch the buffers.
  std::string input = in ? Hex(in, cb_in) : "-";

  const bool after_delete = h->just_deleted;
  h->just_deleted = false;
  DWORD status = InjectedFailure(command);
  if (status == ERROR_SUCCESS) {
    if (command == L"PortExists") {
      status = DoPortExists(*h, in, cb_in, out, cb_out, needed);
    } else if (command == L"AddPort") {
      status = DoAddPort(*h, in, cb_in);
    } else if (command == L"GetConfig") {
      status = DoGetConfig(*h, out, cb_out, needed);
    } else if (command == L"SetConfig") {
      status = DoSetConfig(*h, in, cb_in);
    } else if (command == L"DeletePort") {
      status = DoDeletePort(in, cb_in);
      h->just_deleted = status == ERROR_SUCCESS;
    } else if (command == L"MonitorUI") {
      status = DoMonitorUi(out, cb_out, needed);
    } else if (command == L"PortDeleted") {
      // Only ever the follow-up of a successful "DeletePort" on this handle.
      status = after_delete ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
    } else {
      status = ERROR_INVALID_PARAMETER;
    }
  }
  Log("data\t" + std::string(KindOf(*h)) + "\t" + Escaped(h->name) + "\t" + Escaped(command) + "\t" +
      input + "\t" + (out ? std::to_string(cb_out) : std::string("-")) + "\t" +
      std::to_string(status));
  return status;
}

BOOL WINAPI MonXcvClose(HANDLE xcv) {
  std::lock_guard<std::mutex> lock(Mutex_);
  auto* h = static_cast<XcvHandle*>(xcv);
  if (!h || h->magic != HANDLE_MAGIC_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Log("close\t" + std::string(KindOf(*h)) + "\t" + Escaped(h->name));
  h->magic = 0;
  delete h;
  return TRUE;
}

VOID WINAPI MonShutdown(HANDLE) {}

MONITOR2 Monitor_ = [] {
  MONITOR2 m = {};
  m.cbSize = sizeof(MONITOR2);
  m.pfnEnumPorts = MonEnumPorts;
  m.pfnXcvOpenPort = MonXcvOpen;
  m.pfnXcvDataPort = MonXcvData;
  m.pfnXcvClosePort = MonXcvClose;
  m.pfnShutdown = MonShutdown;
  return m;
}();

int MonitorHandle_;

}  // namespace

extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT, PHANDLE monitor) {
  if (monitor) *monitor = &MonitorHandle_;
  return &Monitor_;
}
