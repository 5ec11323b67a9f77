#pragma once
// The language resource module of the port monitor UI.
//
// The UI's dialogs and strings live in resource-only DLLs named
// "bwtcpipmon[<tag>].dll", packed into the archive "bwtcpipmon.ddz" in the
// system folder. LoadLanguageModule picks the module, extracts it into a
// fresh temporary file ("bw#XXXX.tmp" in the user's temporary folder) and
// maps it as a data file: the module holds no code, so none is run, and the
// file can be deleted as soon as the module is freed. FreeLanguageModule
// frees it and deletes the file. No load leaves a file behind: a file that
// cannot be extracted or loaded is deleted at once.
//
// The module state is process-wide and not locked: load and free run in
// DllMain (process attach and detach), the handle is read afterwards.

#include <windows.h>

#include "OString.h"

// Which module LoadLanguageModule asks for.
enum OLanguageChoice {
    LANGUAGE_USER,     // the user's language (LOCALE_SABBREVLANGNAME)
    LANGUAGE_DEFAULT,  // English, "bwtcpipmon[enu].dll"
};

// The three-letter tag for an abbreviated language name as GetLocaleInfoW
// gives it ("DEU", "PTB", ...), compared ignoring ASCII case by prefix; one
// of the 22 tags the archive may carry, "enu" when no row matches. NULL is
// taken as an empty name.
LPCWSTR MapLanguageTag(LPCWSTR abbreviated_name);

// The module file name for a tag: "bwtcpipmon[<tag>].dll".
OString LanguageModuleName(LPCWSTR tag);

// Loads the chosen module from <system folder>\bwtcpipmon.ddz unless a
// module is loaded already. Returns TRUE when a module is loaded afterwards;
// on failure the state is unchanged.
BOOL LoadLanguageModule(OLanguageChoice choice);

// The loaded module (a data-file handle for FindResource, LoadStringW and
// DialogBoxParamW), or NULL.
HMODULE GetLanguageModule();

// Frees the module and deletes its temporary file; nothing when none is
// loaded.
void FreeLanguageModule();

// The steps below LoadLanguageModule, for any archive and folder: extracts
// the entry `module_name` of the archive `archive_path` (names compared
// ignoring ASCII case) into a new temporary file of `temp_folder` and loads
// it as a data file. On success returns the module and the file's path in
// `file`; otherwise NULL, with no file left behind and the last error set.
HMODULE LoadModuleFromArchive(const OString& archive_path, const OString& module_name,
                              const OString& temp_folder, OString& file);
