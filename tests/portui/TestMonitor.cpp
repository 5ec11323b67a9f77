#include "TestMonitor.h"

#include <algorithm>
#include <cstring>

#include "test_monitor_dll.h"  // TEST_MONITOR_DLL: the built DLL as Wine sees it

namespace _TESTMON {

namespace {

const wchar_t DLL_NAME_[] = L"bwtestmon.dll";

std::wstring PortsKey() { return std::wstring(MONITOR_KEY) + L"\\Ports"; }

bool SetString(const wchar_t* value, const std::wstring& data) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, MONITOR_KEY, value, REG_SZ, data.c_str(),
                         DWORD((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool ReadFileBytes(const std::wstring& path, Bytes& out) {
  out.clear();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  BYTE buf[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(f, buf, sizeof(buf), &got, nullptr)) && got) out.insert(out.end(), buf, buf + got);
  CloseHandle(f);
  return ok;
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), &w[0], n);
  return w;
}

std::wstring Unescaped(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    } else {
      out += s[i];
    }
  }
  return Wide(out);
}

bool FromHex(const std::string& s, Bytes& out) {
  auto nibble = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  if (s.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = nibble(s[i]), lo = nibble(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(BYTE(hi << 4 | lo));
  }
  return true;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == '\t') fields.emplace_back();
    else fields.back() += c;
  }
  return fields;
}

}  // namespace

Bytes EmptyRecord() { return Bytes(RECORD_SIZE, 0); }

void PutText(Bytes& record, RecordField field, const std::wstring& text) {
  std::memset(&record[field], 0, TEXT_FIELD_SIZE);
  std::memcpy(&record[field], text.data(), std::min<size_t>(text.size(), 260) * sizeof(wchar_t));
}

void PutDword(Bytes& record, RecordField field, DWORD value) {
  std::memcpy(&record[field], &value, sizeof(value));
}

std::wstring GetText(const Bytes& record, RecordField field) {
  std::wstring s;
  for (size_t i = 0; i + 1 < TEXT_FIELD_SIZE; i += 2) {
    wchar_t c;
    std::memcpy(&c, &record[field + i], sizeof(c));
    if (!c) break;
    s += c;
  }
  return s;
}

DWORD GetDword(const Bytes& record, RecordField field) {
  DWORD v;
  std::memcpy(&v, &record[field], sizeof(v));
  return v;
}

Bytes NameField(const std::wstring& name) {
  Bytes b(TEXT_FIELD_SIZE, 0);
  std::memcpy(b.data(), name.data(), std::min<size_t>(name.size(), 260) * sizeof(wchar_t));
  return b;
}

Bytes NameAndTerminator(const std::wstring& name) {
  Bytes b((name.size() + 1) * sizeof(wchar_t), 0);
  std::memcpy(b.data(), name.data(), name.size() * sizeof(wchar_t));
  return b;
}

std::wstring LogPath() {
  wchar_t dir[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir, n) + L"bwtestmon.log";
}

bool Install(std::wstring* error) {
  auto fail = [&](const std::wstring& why) {
    if (error) *error = why + L" (error " + std::to_wstring(GetLastError()) + L")";
    return false;
  };
  wchar_t sys[MAX_PATH];
  UINT n = GetSystemDirectoryW(sys, MAX_PATH);
  if (!n || n >= MAX_PATH) return fail(L"no system folder");
  const std::wstring target = std::wstring(sys) + L"\\" + DLL_NAME_;
  Bytes built, installed;
  if (!ReadFileBytes(TEST_MONITOR_DLL, built) || built.empty())
    return fail(L"cannot read " + std::wstring(TEST_MONITOR_DLL));
  if (!ReadFileBytes(target, installed) || installed != built) {
    // Written beside the target and renamed over it: a copy the spooler has
    // mapped is never rewritten in place.
    const std::wstring temp = target + L".new";
    if (!CopyFileW(TEST_MONITOR_DLL, temp.c_str(), FALSE)) return fail(L"cannot copy to " + temp);
    if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
      return fail(L"cannot replace " + target);
  }
  if (!SetString(L"Driver", DLL_NAME_)) return fail(L"cannot register the monitor");
  if (!SetString(L"LogFile", LogPath())) return fail(L"cannot register the log file");
  Reset();
  return true;
}

void Reset() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, PortsKey().c_str());
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"MonitorUI");
  ClearFailure();
  ClearLog();
}

void SetMonitorUi(const std::wstring& dll) { SetString(L"MonitorUI", dll); }

void ClearLog() {
  HANDLE f = CreateFileW(LogPath().c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
}

std::vector<Call> ReadLog() {
  std::vector<Call> calls;
  Bytes raw;
  if (!ReadFileBytes(LogPath(), raw)) return calls;
  std::string text(raw.begin(), raw.end());
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a line still being written
    auto f = Split(text.substr(start, end - start));
    start = end + 1;
    Call c;
    if (f.size() < 3) continue;
    c.handle = f[1] == "port" ? Handle::Port : Handle::Monitor;
    c.object = Unescaped(f[2]);
    if (f[0] == "open" && f.size() == 5) {
      c.event = Event::Open;
      c.access = std::stoul(f[3], nullptr, 16);
      c.status = std::stoul(f[4]);
    } else if (f[0] == "data" && f.size() == 7) {
      c.event = Event::Data;
      c.command = Unescaped(f[3]);
      c.input_null = f[4] == "-";
      if (!c.input_null && !FromHex(f[4], c.input)) continue;
      c.output_null = f[5] == "-";
      c.output_size = c.output_null ? 0 : std::stoul(f[5]);
      c.status = std::stoul(f[6]);
    } else if (f[0] == "close" && f.size() == 3) {
      c.event = Event::Close;
    } else {
      continue;
    }
    calls.push_back(std::move(c));
  }
  return calls;
}

std::vector<Call> ReadCommands() {
  std::vector<Call> out;
  for (auto& c : ReadLog())
    if (c.event == Event::Data) out.push_back(std::move(c));
  return out;
}

void FailCommand(const std::wstring& command, DWORD status) {
  SetString(L"FailCommand", command);
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"FailStatus", REG_DWORD, &status, sizeof(status));
}

void ClearFailure() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MONITOR_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key, L"FailCommand");
  RegDeleteValueW(key, L"FailStatus");
  RegCloseKey(key);
}

bool PortExists(const std::wstring& name) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (PortsKey() + L"\\" + name).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool SeedPort(const std::wstring& name, const Bytes& record) {
  if (record.size() != RECORD_SIZE) return false;
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, (PortsKey() + L"\\" + name).c_str(), L"Config",
                         REG_BINARY, record.data(), RECORD_SIZE) == ERROR_SUCCESS;
}

bool StoredConfig(const std::wstring& name, Bytes& record) {
  record.assign(RECORD_SIZE, 0);
  DWORD size = RECORD_SIZE;
  return RegGetValueW(HKEY_LOCAL_MACHINE, (PortsKey() + L"\\" + name).c_str(), L"Config",
                      RRF_RT_REG_BINARY, nullptr, record.data(), &size) == ERROR_SUCCESS &&
         size == RECORD_SIZE;
}

}  // namespace _TESTMON
