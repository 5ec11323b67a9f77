#include "OLanguageModule.h"

#include "OFile.h"
#include "OResourceFile.h"

namespace {

// Rows tried in order, the first match wins: "ptg" before "pt", so that
// Portuguese of Portugal gets its own module and every other Portuguese
// the Brazilian one.
struct TagRow {
    const WCHAR* prefix;
    int length;
    const WCHAR* tag;
};

const TagRow TAG_TABLE_[] = {
    {L"chs", 3, L"chs"}, {L"zhi", 3, L"chs"}, {L"cht", 3, L"cht"}, {L"zhh", 3, L"cht"},
    {L"zhm", 3, L"cht"}, {L"cs", 2, L"csy"},  {L"da", 2, L"dan"},  {L"de", 2, L"deu"},
    {L"el", 2, L"ell"},  {L"en", 2, L"enu"},  {L"es", 2, L"esp"},  {L"fi", 2, L"fin"},
    {L"fr", 2, L"fra"},  {L"hu", 2, L"hun"},  {L"it", 2, L"ita"},  {L"jpn", 3, L"jpn"},
    {L"ko", 2, L"kor"},  {L"nl", 2, L"nld"},  {L"no", 2, L"nor"},  {L"pl", 2, L"plk"},
    {L"ptg", 3, L"ptg"}, {L"pt", 2, L"ptb"},  {L"sv", 2, L"sve"},  {L"th", 2, L"tha"},
    {L"tr", 2, L"trk"},
};

const WCHAR DEFAULT_TAG_[] = L"enu";
const WCHAR ARCHIVE_NAME_[] = L"\\bwtcpipmon.ddz";
const WCHAR TEMP_PREFIX_[] = L"bw#";

// Process-wide: the loaded module and the file it was loaded from. Plain
// storage, so that nothing depends on the order of static destruction at
// process detach.
HMODULE LanguageModule_ = nullptr;
WCHAR LanguageFile_[MAX_PATH] = {};

WCHAR FoldAscii(WCHAR c) { return c >= L'A' && c <= L'Z' ? WCHAR(c - L'A' + L'a') : c; }

BOOL StartsWithNoCase(LPCWSTR text, LPCWSTR prefix, int length)
{
    for (int i = 0; i < length; ++i) {
        if (!text[i] || FoldAscii(text[i]) != prefix[i])
            return FALSE;
    }
    return TRUE;
}

}  // namespace

LPCWSTR MapLanguageTag(LPCWSTR abbreviated_name)
{
    if (!abbreviated_name)
        return DEFAULT_TAG_;
    for (const TagRow& row : TAG_TABLE_) {
        if (StartsWithNoCase(abbreviated_name, row.prefix, row.length))
            return row.tag;
    }
    return DEFAULT_TAG_;
}

OString LanguageModuleName(LPCWSTR tag)
{
    OString name(L"bwtcpipmon[");
    name.Append(tag);
    name.Append(L"].dll");
    return name;
}

HMODULE LoadModuleFromArchive(const OString& archive_path, const OString& module_name,
                              const OString& temp_folder, OString& file)
{
    {
        OFile probe;
        if (!probe.Open(archive_path, 0))
            return nullptr;
    }
    WCHAR temp_file[MAX_PATH];
    if (!GetTempFileNameW(temp_folder.Wide(), TEMP_PREFIX_, 0, temp_file))
        return nullptr;

    HMODULE module = nullptr;
    {
        OResourceFile archive;
        archive.Add(archive_path);
        if (archive.Extract(module_name, OString(temp_file), OResourceFile::EXTRACT_TEMPORARY)) {
            // A data-file image: resources only, no code is run, and the
            // file is free to be deleted once the module is freed.
            module = LoadLibraryExW(temp_file, nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        }
    }
    if (!module) {
        const DWORD error = GetLastError();
        DeleteFileW(temp_file);
        SetLastError(error);
        return nullptr;
    }
    file = OString(temp_file);
    return module;
}

BOOL LoadLanguageModule(OLanguageChoice choice)
{
    if (LanguageModule_)
        return TRUE;

    OString module_name;
    if (choice == LANGUAGE_USER) {
        WCHAR abbreviated[8] = {};
        GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, abbreviated, 8);
        module_name = LanguageModuleName(MapLanguageTag(abbreviated));
    } else {
        module_name = LanguageModuleName(DEFAULT_TAG_);
    }

    WCHAR system_dir[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system_dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return FALSE;
    OString archive_path(system_dir);
    archive_path.Append(ARCHIVE_NAME_);

    WCHAR temp_dir[MAX_PATH];
    const DWORD t = GetTempPathW(MAX_PATH, temp_dir);
    if (t == 0 || t >= MAX_PATH)
        return FALSE;

    OString file;
    HMODULE module = LoadModuleFromArchive(archive_path, module_name, OString(temp_dir), file);
    if (!module)
        return FALSE;
    if (file.GetLength() >= MAX_PATH) {  // cannot happen: GetTempFileNameW fills MAX_PATH at most
        FreeLibrary(module);
        DeleteFileW(file.Wide());
        return FALSE;
    }
    LanguageModule_ = module;
    lstrcpynW(LanguageFile_, file.Wide(), MAX_PATH);
    return TRUE;
}

HMODULE GetLanguageModule() { return LanguageModule_; }

void FreeLanguageModule()
{
    if (!LanguageModule_)
        return;
    FreeLibrary(LanguageModule_);
    LanguageModule_ = nullptr;
    if (LanguageFile_[0])
        DeleteFileW(LanguageFile_);
    LanguageFile_[0] = L'\0';
}
