// Checks every language module "bwtcpipmon[xxx].dll": it loads as a data
// file, carries both dialog templates with the controls the port UI drives,
// the nine strings within their limits, the right resource language, and
// dialogs whose texts fit their controls at 96 DPI.
//
// Fonts: the dialogs ask for "MS Shell Dlg", which Windows maps to Tahoma on
// Western systems. Wine here has no Tahoma of its own in the prefix, so the
// test loads Wine's Tahoma privately. Where that font lacks the script of a
// language (Greek in Wine's Tahoma, Thai, CJK), the dialog is created from
// the same template with the face replaced by an installed font that covers
// every text, and widths are judged against Windows' own dialog unit: when
// the stand-in font makes dialog units wider than Tahoma's 6 px (and the
// 9-point CJK UI fonts' 6 px), the room of every control is scaled down by
// that ratio, so a stand-in font can never make a layout look roomier.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "ResourceIds.h"
#include "lang_modules.h"  // kLangModuleDir

namespace {

enum class Script { Latin, Greek, Thai, Cjk, Hangul };

struct Language {
  const wchar_t* tag;
  LANGID langid;
  Script script;
};

// The 22 tags the UI can ask for, with the resource language each module
// must declare.
const Language kLanguages[] = {
    {L"chs", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), Script::Cjk},
    {L"cht", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL), Script::Cjk},
    {L"csy", MAKELANGID(LANG_CZECH, SUBLANG_DEFAULT), Script::Latin},
    {L"dan", MAKELANGID(LANG_DANISH, SUBLANG_DEFAULT), Script::Latin},
    {L"deu", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), Script::Latin},
    {L"ell", MAKELANGID(LANG_GREEK, SUBLANG_DEFAULT), Script::Greek},
    {L"enu", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), Script::Latin},
    {L"esp", MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH), Script::Latin},
    {L"fin", MAKELANGID(LANG_FINNISH, SUBLANG_DEFAULT), Script::Latin},
    {L"fra", MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH), Script::Latin},
    {L"hun", MAKELANGID(LANG_HUNGARIAN, SUBLANG_DEFAULT), Script::Latin},
    {L"ita", MAKELANGID(LANG_ITALIAN, SUBLANG_ITALIAN), Script::Latin},
    {L"jpn", MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), Script::Cjk},
    {L"kor", MAKELANGID(LANG_KOREAN, SUBLANG_KOREAN), Script::Hangul},
    {L"nld", MAKELANGID(LANG_DUTCH, SUBLANG_DUTCH), Script::Latin},
    {L"nor", MAKELANGID(LANG_NORWEGIAN, SUBLANG_NORWEGIAN_BOKMAL), Script::Latin},
    {L"plk", MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT), Script::Latin},
    {L"ptb", MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN), Script::Latin},
    {L"ptg", MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE), Script::Latin},
    {L"sve", MAKELANGID(LANG_SWEDISH, SUBLANG_SWEDISH), Script::Latin},
    {L"tha", MAKELANGID(LANG_THAI, SUBLANG_DEFAULT), Script::Thai},
    {L"trk", MAKELANGID(LANG_TURKISH, SUBLANG_DEFAULT), Script::Latin},
};

const UINT kStringIds[] = {IDS_CAPTION,         IDS_BAD_PORT_NAME, IDS_REMOTE_ADD,
                           IDS_REMOTE_CONFIGURE, IDS_BAD_IP_ADDRESS, IDS_BAD_HOST_NAME,
                           IDS_PORT_EXISTS,      IDS_BAD_PORT_NUMBER, IDS_REMOTE_DELETE};

// Windows' horizontal dialog base unit for the fonts these dialogs get on
// the systems they target (Tahoma 8 pt; MS UI Gothic, SimSun, PMingLiU and
// Gulim 9 pt), at 96 DPI.
constexpr int kReferenceBaseUnitX = 6;
// Overflow accepted before a text counts as clipped, in pixels.
constexpr int kTolerancePx = 2;

const LPCWSTR kRtDialog = MAKEINTRESOURCEW(5);
const LPCWSTR kRtString = MAKEINTRESOURCEW(6);

void PrintTo(const Language& l, std::ostream* os);

std::wstring ModulePath(const wchar_t* tag) {
  return std::wstring(kLangModuleDir) + L"\\bwtcpipmon[" + tag + L"].dll";
}

std::string Narrow(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
  return s;
}

void PrintTo(const Language& l, std::ostream* os) { *os << Narrow(l.tag); }

bool InRange(wchar_t c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; }

// Whether a character belongs to what a text of the given script may hold:
// ASCII, Latin letters, general punctuation and the script's own blocks.
bool CharAllowed(wchar_t c, Script script) {
  if (InRange(c, 0x20, 0x7E) || InRange(c, 0xA0, 0x24F) || InRange(c, 0x2010, 0x2027) ||
      InRange(c, 0x2030, 0x203A))
    return true;
  switch (script) {
    case Script::Latin: return false;
    case Script::Greek: return InRange(c, 0x370, 0x3FF);
    case Script::Thai: return InRange(c, 0xE01, 0xE5B);
    case Script::Cjk:
      return InRange(c, 0x3000, 0x30FF) || InRange(c, 0x4E00, 0x9FFF) || InRange(c, 0xFF01, 0xFF60);
    case Script::Hangul: return InRange(c, 0xAC00, 0xD7A3) || InRange(c, 0x3131, 0x318E);
  }
  return false;
}

bool HasOwnScript(const std::wstring& s, Script script) {
  if (script == Script::Latin) return true;
  return std::any_of(s.begin(), s.end(), [&](wchar_t c) {
    return !InRange(c, 0, 0x24F) && !InRange(c, 0x2010, 0x203A) && CharAllowed(c, script);
  });
}

// Text checks shared by strings and dialog texts: the code page of the
// script survived (no replacement characters, no UTF-8 read as code page
// 1252, nothing outside the language's script).
void ExpectCleanText(const std::wstring& s, Script script, const std::string& what) {
  for (wchar_t c : s) {
    EXPECT_TRUE(CharAllowed(c, script))
        << what << ": unexpected character U+" << std::hex << unsigned(c) << " in \"" << Narrow(s)
        << "\"";
    EXPECT_FALSE(c == 0xC2 || c == 0xC3) << what << ": UTF-8 read as a single-byte code page: \""
                                         << Narrow(s) << "\"";
  }
}

class LangModule : public ::testing::TestWithParam<Language> {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(ModulePath(GetParam().tag).c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "cannot load " << Narrow(ModulePath(GetParam().tag))
                                << ", error " << GetLastError();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  HMODULE module_ = nullptr;
};

// ---------------------------------------------------------------------------
// Strings and resource languages.

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR param) {
  reinterpret_cast<std::vector<LANGID>*>(param)->push_back(lang);
  return TRUE;
}

TEST_P(LangModule, DeclaresItsLanguageOnly) {
  const LANGID expected = GetParam().langid;
  struct {
    LPCWSTR type;
    LPCWSTR name;
  } resources[] = {
      {kRtDialog, MAKEINTRESOURCEW(IDD_PORTNAME)},
      {kRtDialog, MAKEINTRESOURCEW(IDD_PORTCONFIG)},
      {kRtString, MAKEINTRESOURCEW(IDS_CAPTION / 16 + 1)},
      {kRtString, MAKEINTRESOURCEW(IDS_REMOTE_DELETE / 16 + 1)},
  };
  for (const auto& r : resources) {
    std::vector<LANGID> langs;
    EnumResourceLanguagesW(module_, r.type, r.name, CollectLanguage, LONG_PTR(&langs));
    ASSERT_EQ(langs.size(), 1u) << "resource " << ULONG_PTR(r.name);
    EXPECT_EQ(langs[0], expected) << "resource " << ULONG_PTR(r.name);
  }
}

TEST_P(LangModule, StringsAreWithinLimitsAndPlaceholders) {
  for (UINT id : kStringIds) {
    SCOPED_TRACE("string " + std::to_string(id));
    // With a zero buffer size LoadStringW hands out the resource text itself,
    // so the length seen is the stored one, not one cut to a buffer.
    const wchar_t* text = nullptr;
    int len = LoadStringW(module_, id, reinterpret_cast<LPWSTR>(&text), 0);
    ASSERT_GT(len, 0);
    ASSERT_NE(text, nullptr);
    std::wstring s(text, len);
    EXPECT_LE(len, 259) << Narrow(s);
    // The 260-WCHAR load the UI does returns the whole text.
    wchar_t buf[260];
    EXPECT_EQ(LoadStringW(module_, id, buf, 260), len);
    EXPECT_EQ(s.find(L'\0'), std::wstring::npos);

    const bool formatted = id == IDS_BAD_IP_ADDRESS || id == IDS_BAD_HOST_NAME;
    size_t percents = std::count(s.begin(), s.end(), L'%');
    if (formatted) {
      EXPECT_EQ(percents, 1u) << "exactly one format specifier: " << Narrow(s);
      size_t at = s.find(L'%');
      EXPECT_TRUE(at != std::wstring::npos && at + 1 < s.size() && s[at + 1] == L's')
          << "the specifier is %s: " << Narrow(s);
    } else {
      EXPECT_EQ(percents, 0u) << "no format specifier: " << Narrow(s);
    }
    ExpectCleanText(s, GetParam().script, "string " + std::to_string(id));
    EXPECT_TRUE(HasOwnScript(s, GetParam().script)) << Narrow(s);
    EXPECT_NE(s.front(), L' ');
    EXPECT_NE(s.back(), L' ');
    if (id == IDS_BAD_PORT_NAME) {
      EXPECT_NE(s.find(L"(\\)"), std::wstring::npos) << "the backslash shown as itself: " << Narrow(s);
    }
  }
}

// ---------------------------------------------------------------------------
// Dialog templates: controls, kinds and styles.

INT_PTR CALLBACK QuietDlgProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

std::wstring ClassOf(HWND h) {
  wchar_t cls[64] = {};
  GetClassNameW(h, cls, 64);
  std::wstring s(cls);
  for (auto& c : s) c = wchar_t(towlower(c));
  return s;
}

std::wstring TextOf(HWND h) {
  int n = GetWindowTextLengthW(h);
  std::wstring s(n + 1, L'\0');
  s.resize(GetWindowTextW(h, &s[0], n + 1));
  return s;
}

LONG StyleOf(HWND h) { return GetWindowLongW(h, GWL_STYLE); }

enum class Kind { Edit, ReadOnlyEdit, CheckBox, GroupBox, Static, PushButton };

void ExpectControl(HWND dlg, int id, Kind kind) {
  SCOPED_TRACE("control " + std::to_string(id));
  HWND h = GetDlgItem(dlg, id);
  ASSERT_NE(h, nullptr) << "missing";
  LONG style = StyleOf(h);
  EXPECT_TRUE(style & WS_VISIBLE);
  switch (kind) {
    case Kind::Edit:
    case Kind::ReadOnlyEdit:
      EXPECT_EQ(ClassOf(h), L"edit");
      EXPECT_EQ(bool(style & ES_READONLY), kind == Kind::ReadOnlyEdit);
      EXPECT_FALSE(style & ES_NUMBER) << "the dialog reads leading digits itself";
      EXPECT_FALSE(style & ES_MULTILINE);
      EXPECT_TRUE(style & ES_AUTOHSCROLL) << "names up to 260 characters must fit";
      EXPECT_TRUE(style & WS_TABSTOP);
      break;
    case Kind::CheckBox:
      EXPECT_EQ(ClassOf(h), L"button");
      EXPECT_EQ(style & BS_TYPEMASK, BS_AUTOCHECKBOX) << "clicking must toggle the box";
      EXPECT_TRUE(style & WS_TABSTOP);
      break;
    case Kind::GroupBox:
      EXPECT_EQ(ClassOf(h), L"button");
      EXPECT_EQ(style & BS_TYPEMASK, BS_GROUPBOX);
      break;
    case Kind::Static:
      EXPECT_EQ(ClassOf(h), L"static");
      EXPECT_EQ(style & SS_TYPEMASK, SS_LEFT) << "a word-wrapping text";
      break;
    case Kind::PushButton:
      EXPECT_EQ(ClassOf(h), L"button");
      EXPECT_TRUE((style & BS_TYPEMASK) == BS_PUSHBUTTON ||
                  (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
      EXPECT_TRUE(style & WS_TABSTOP);
      break;
  }
  if (kind != Kind::Edit && kind != Kind::ReadOnlyEdit) {
    EXPECT_FALSE(TextOf(h).empty()) << "control without a text";
  }
}

RECT RectIn(HWND dlg, HWND ctrl) {
  RECT r;
  GetWindowRect(ctrl, &r);
  MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

bool Inside(const RECT& inner, const RECT& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

std::vector<HWND> Children(HWND dlg) {
  std::vector<HWND> out;
  for (HWND h = GetWindow(dlg, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) out.push_back(h);
  return out;
}

// Every control lies inside the dialog, no two overlap (the group box only
// holds its members), and the TLS members lie inside the group box.
void ExpectGeometry(HWND dlg) {
  RECT client;
  GetClientRect(dlg, &client);
  HWND frame = GetDlgItem(dlg, IDC_TLS_FRAME);
  auto kids = Children(dlg);
  for (HWND a : kids) {
    RECT ra = RectIn(dlg, a);
    EXPECT_TRUE(Inside(ra, client)) << "control " << GetDlgCtrlID(a) << " leaves the dialog";
    for (HWND b : kids) {
      if (a >= b || a == frame || b == frame) continue;
      RECT rb = RectIn(dlg, b), x;
      EXPECT_FALSE(IntersectRect(&x, &ra, &rb))
          << "controls " << GetDlgCtrlID(a) << " and " << GetDlgCtrlID(b) << " overlap";
    }
  }
  if (frame) {
    RECT rf = RectIn(dlg, frame);
    for (int id : {IDC_TLS_ENABLE, IDC_TLS_OPTION, IDC_TLS_NOTE1, IDC_TLS_NOTE2}) {
      HWND h = GetDlgItem(dlg, id);
      if (h) {
        EXPECT_TRUE(Inside(RectIn(dlg, h), rf)) << "control " << id << " outside the group";
      }
    }
  }
}

TEST_P(LangModule, DialogsHoldTheControlsTheUiDrives) {
  HWND name = CreateDialogParamW(module_, MAKEINTRESOURCEW(IDD_PORTNAME), nullptr, QuietDlgProc, 0);
  ASSERT_NE(name, nullptr) << "error " << GetLastError();
  ExpectControl(name, IDC_PORTNAME, Kind::Edit);
  ExpectControl(name, IDOK, Kind::PushButton);
  ExpectControl(name, IDCANCEL, Kind::PushButton);
  ExpectGeometry(name);
  std::wstring caption = TextOf(name);
  EXPECT_FALSE(caption.empty());
  EXPECT_LE(caption.size(), 227u);
  ExpectCleanText(caption, GetParam().script, "port name dialog caption");
  for (HWND h : Children(name)) ExpectCleanText(TextOf(h), GetParam().script, "port name dialog");
  DestroyWindow(name);

  HWND cfg = CreateDialogParamW(module_, MAKEINTRESOURCEW(IDD_PORTCONFIG), nullptr, QuietDlgProc, 0);
  ASSERT_NE(cfg, nullptr) << "error " << GetLastError();
  ExpectControl(cfg, IDC_PORTNAME, Kind::ReadOnlyEdit);
  ExpectControl(cfg, IDC_ADDRESS, Kind::Edit);
  ExpectControl(cfg, IDC_PORTNUMBER, Kind::Edit);
  ExpectControl(cfg, IDC_TLS_ENABLE, Kind::CheckBox);
  ExpectControl(cfg, IDC_TLS_OPTION, Kind::CheckBox);
  ExpectControl(cfg, IDC_TLS_FRAME, Kind::GroupBox);
  ExpectControl(cfg, IDC_TLS_NOTE1, Kind::Static);
  ExpectControl(cfg, IDC_TLS_NOTE2, Kind::Static);
  ExpectControl(cfg, IDOK, Kind::PushButton);
  ExpectControl(cfg, IDCANCEL, Kind::PushButton);
  ExpectGeometry(cfg);
  caption = TextOf(cfg);
  EXPECT_FALSE(caption.empty());
  EXPECT_LE(caption.size(), 227u);
  ExpectCleanText(caption, GetParam().script, "port configuration dialog caption");
  for (HWND h : Children(cfg))
    ExpectCleanText(TextOf(h), GetParam().script, "port configuration dialog");
  // Exactly one default button, OK, in both dialogs is what Enter relies on.
  EXPECT_EQ(StyleOf(GetDlgItem(cfg, IDOK)) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  DestroyWindow(cfg);
}

// ---------------------------------------------------------------------------
// Layout: every text fits its control.

// The DIALOGEX template of a resource with its typeface replaced.
std::vector<BYTE> WithTypeface(HMODULE module, int id, const wchar_t* face) {
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), kRtDialog);
  if (!res) return {};
  const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
  size_t size = SizeofResource(module, res);
  auto word = [&](size_t at) { return *reinterpret_cast<const WORD*>(p + at); };
  if (size < 26 || word(0) != 1 || word(2) != 0xFFFF) return {};  // not a DIALOGEX
  DWORD style = *reinterpret_cast<const DWORD*>(p + 12);
  if (!(style & DS_SETFONT)) return {};
  size_t at = 26;
  auto skip_sz_or_ord = [&]() {
    if (word(at) == 0xFFFF) {
      at += 4;
    } else {
      while (word(at)) at += 2;
      at += 2;
    }
  };
  skip_sz_or_ord();  // menu
  skip_sz_or_ord();  // class
  while (word(at)) at += 2;  // title
  at += 2;
  at += 6;  // point size, weight, italic, charset
  size_t face_at = at;
  while (word(at)) at += 2;
  at += 2;
  size_t items_at = (at + 3) & ~size_t(3);

  std::vector<BYTE> out(p, p + face_at);
  const BYTE* f = reinterpret_cast<const BYTE*>(face);
  out.insert(out.end(), f, f + (wcslen(face) + 1) * sizeof(wchar_t));
  while (out.size() % 4) out.push_back(0);
  out.insert(out.end(), p + items_at, p + size);
  return out;
}

// The texts of a dialog's controls all have glyphs in its font.
bool FontCovers(HWND dlg) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0));
  HDC dc = GetDC(dlg);
  HGDIOBJ old = SelectObject(dc, font);
  bool ok = true;
  for (HWND h : Children(dlg)) {
    std::wstring t = TextOf(h);
    std::vector<WORD> glyphs(t.size() + 1);
    if (t.empty()) continue;
    if (GetGlyphIndicesW(dc, t.c_str(), int(t.size()), glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS) ==
        GDI_ERROR) {
      ok = false;
      continue;
    }
    for (size_t i = 0; i < t.size(); ++i)
      if (glyphs[i] == 0xFFFF && t[i] != L'\r' && t[i] != L'\n') ok = false;
  }
  SelectObject(dc, old);
  ReleaseDC(dlg, dc);
  return ok;
}

std::wstring FaceOf(HWND dlg) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0));
  HDC dc = GetDC(dlg);
  HGDIOBJ old = SelectObject(dc, font);
  wchar_t face[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, face);
  SelectObject(dc, old);
  ReleaseDC(dlg, dc);
  return face;
}

// Creates the dialog in its own font, or in the first stand-in font that has
// glyphs for all its texts.
HWND CreateMeasurableDialog(HMODULE module, int id, std::vector<BYTE>& storage) {
  HWND dlg = CreateDialogParamW(module, MAKEINTRESOURCEW(id), nullptr, QuietDlgProc, 0);
  if (!dlg || FontCovers(dlg)) return dlg;
  DestroyWindow(dlg);
  for (const wchar_t* face : {L"DejaVu Sans", L"Loma", L"WenQuanYi Micro Hei"}) {
    storage = WithTypeface(module, id, face);
    if (storage.empty()) return nullptr;
    dlg = CreateDialogIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(storage.data()),
                                     nullptr, QuietDlgProc, 0);
    if (!dlg) return nullptr;
    if (FontCovers(dlg) && _wcsicmp(FaceOf(dlg).c_str(), face) == 0) return dlg;
    DestroyWindow(dlg);
  }
  return nullptr;
}

struct Fit {
  int width_slack = 1 << 30;   // least room left beside a one-line text, px
  int height_slack = 1 << 30;  // least room left below a wrapped text, px
  std::wstring face;
  int base_unit_x = 0;
};

void ExpectTextsFit(HWND dlg, const std::string& dialog_name, Fit& fit) {
  RECT unit = {0, 0, 4, 8};
  MapDialogRect(dlg, &unit);
  const int bux = unit.right;
  fit.base_unit_x = bux;
  fit.face = FaceOf(dlg);
  // Room in pixels scaled to the reference dialog unit.
  auto room = [&](int px) { return bux > kReferenceBaseUnitX ? px * kReferenceBaseUnitX / bux : px; };

  HFONT font = reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0));
  for (HWND h : Children(dlg)) {
    std::wstring text = TextOf(h);
    if (text.empty() || ClassOf(h) == L"edit") continue;
    const int id = GetDlgCtrlID(h);
    SCOPED_TRACE(dialog_name + " control " + std::to_string(id) + " \"" + Narrow(text) + "\"");
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0)), font);
    RECT rc;
    GetClientRect(h, &rc);
    HDC dc = GetDC(h);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW tm;
    GetTextMetricsW(dc, &tm);
    SIZE ext;
    GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &ext);

    const std::wstring cls = ClassOf(h);
    const LONG type = StyleOf(h) & (cls == L"static" ? SS_TYPEMASK : BS_TYPEMASK);
    int avail = 0, need = 0;
    if (cls == L"static") {
      // Word-wrapped like the control draws it, within the scaled width.
      avail = room(rc.right);
      RECT calc = {0, 0, avail, 0};
      DrawTextW(dc, text.c_str(), int(text.size()), &calc, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
      EXPECT_LE(calc.right, avail + kTolerancePx) << "a word is wider than the control";
      EXPECT_LE(calc.bottom, rc.bottom + kTolerancePx)
          << "needs " << calc.bottom / tm.tmHeight << " lines, room for " << rc.bottom / tm.tmHeight;
      if (rc.bottom >= 2 * tm.tmHeight) {  // a wrapped note: judged by its height above
        fit.height_slack = std::min<int>(fit.height_slack, rc.bottom - calc.bottom);
        SelectObject(dc, old);
        ReleaseDC(h, dc);
        continue;
      }
      need = ext.cx;  // a one-line label
    } else if (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX) {
      avail = room(rc.right) - (GetSystemMetrics(SM_CXMENUCHECK) + 4);
      need = ext.cx;
    } else if (type == BS_GROUPBOX) {
      avail = room(rc.right) - 16;
      need = ext.cx;
    } else {
      avail = room(rc.right) - 8;
      need = ext.cx;
    }
    EXPECT_LE(need, avail + kTolerancePx) << "text " << need << " px, room " << avail << " px";
    if (type != BS_GROUPBOX || cls == L"static") {
      EXPECT_LE(ext.cy, rc.bottom + kTolerancePx) << "text taller than the control";
    }
    fit.width_slack = std::min(fit.width_slack, avail - need);
    SelectObject(dc, old);
    ReleaseDC(h, dc);
  }
}

// The title the UI sets, "TCP/IP Port Monitor 1.0.0 - <caption>", fits the
// title bar: measured at 9 points (the size of Windows' caption font) in the
// dialog's face, with 70 px kept for the close button and the margins.
void ExpectTitleFits(HWND dlg, const std::string& dialog_name) {
  const std::wstring title = L"TCP/IP Port Monitor 1.0.0 - " + TextOf(dlg);
  RECT wr;
  GetWindowRect(dlg, &wr);
  HDC dc = GetDC(dlg);
  HFONT font = CreateFontW(-MulDiv(9, 96, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, 0, 0, 0, 0, FaceOf(dlg).c_str());
  HGDIOBJ old = SelectObject(dc, font);
  SIZE ext;
  GetTextExtentPoint32W(dc, title.c_str(), int(title.size()), &ext);
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(dlg, dc);
  EXPECT_LE(ext.cx, (wr.right - wr.left) - 70) << dialog_name << " title \"" << Narrow(title) << "\"";
}

TEST_P(LangModule, TextsFitTheirControlsAt96Dpi) {
  HDC screen = GetDC(nullptr);
  ASSERT_EQ(GetDeviceCaps(screen, LOGPIXELSX), 96);
  ReleaseDC(nullptr, screen);
  for (int id : {IDD_PORTNAME, IDD_PORTCONFIG}) {
    std::vector<BYTE> storage;
    HWND dlg = CreateMeasurableDialog(module_, id, storage);
    ASSERT_NE(dlg, nullptr) << "no installed font has glyphs for every text of dialog " << id
                            << " (scripts/deps installs fonts-wine, fonts-wqy-microhei, "
                               "fonts-tlwg-loma-ttf)";
    Fit fit;
    ExpectTextsFit(dlg, "dialog " + std::to_string(id), fit);
    ExpectTitleFits(dlg, "dialog " + std::to_string(id));
    std::printf("[ layout ] %s dialog %d: font %s, base unit %d px, least room %d px beside a "
                "line, %d px below a note\n",
                Narrow(GetParam().tag).c_str(), id, Narrow(fit.face).c_str(), fit.base_unit_x,
                fit.width_slack, id == IDD_PORTCONFIG ? fit.height_slack : 0);
    DestroyWindow(dlg);
  }
}

INSTANTIATE_TEST_SUITE_P(All, LangModule, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<Language>& info) {
                           return Narrow(info.param.tag);
                         });

// "MS Shell Dlg" is Tahoma on the Windows systems these dialogs target;
// make Wine's Tahoma available to this process only.
class TahomaEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_GT(AddFontResourceExW(L"Z:\\usr\\share\\wine\\fonts\\tahoma.ttf", FR_PRIVATE, nullptr), 0)
        << "Wine's Tahoma is missing (Debian package fonts-wine, installed by scripts/deps)";
  }
};
const auto* const kTahoma = ::testing::AddGlobalTestEnvironment(new TahomaEnvironment);

}  // namespace
