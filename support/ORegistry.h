#pragma once
// Registry values named by one slash path.
//
// A path is "KEY:sub/key/Value" where KEY is a symbolic key of the key
// table (see ORegistryKeys.cpp; compared in upper case) or a root digit
// 0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_USER, 2 HKEY_LOCAL_MACHINE,
// 3 HKEY_USERS. The last component is the value name. "//", "::" and "%%"
// stand for a literal "/", ":" and "%"; a backslash counts as "/". A path
// without ":" after its first character is relative to the base path.
//
// Example: PRINT:Monitors/Brenwick Port/DefaultPortNumber is the value
// "DefaultPortNumber" of the key
//   HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Brenwick Port

#include <windows.h>

#include "OString.h"

class ORegistry {
public:
    // Results of ReadValue besides the byte count.
    enum : int {
        READ_FAILED = -1,      // any other query error (no such value, ...)
        READ_UNRESOLVED = -2,  // the path names no value
        READ_NO_KEY = -3,      // the key cannot be opened
        READ_TOO_LONG = -4,    // the value holds more than 4 bytes
    };

    // Base path empty, extra access bits 0; builds the key table once.
    ORegistry();
    virtual ~ORegistry();

    // Replaces a leading table key of a key path ("PRINT:Monitors" gives
    // "2:SYSTEM/CurrentControlSet/Control/Print/Monitors"); a key path
    // without a table key comes back unchanged.
    virtual OString Expand(const OString& key_path) const;
    // Opens the key of an expanded key path ("2:SOFTWARE/X"): read-write,
    // else read-only, else, when `create` is set, creates it. The caller
    // closes the key. NULL on failure, with the last error set.
    virtual HKEY Open(const OString& key_path, BOOL create) const;

    // Splits a path into its key path (table key not yet expanded) and its
    // decoded value name. An empty path names the base path's default value.
    BOOL Resolve(const OString& path, OString& key_path, OString& value_name) const;

    // Reads at most 4 bytes of a value into `dest` and returns how many were
    // read (0 to 4, only those bytes of `dest` are written), or one of the
    // negative results above. The value's registry type is not checked.
    int ReadValue(const OString& path, void* dest) const;

    // Paths without a root are taken relative to this one.
    void SetBasePath(const OString& base) { Base_ = base; }
    // Added to every access mask (for instance KEY_WOW64_64KEY).
    void SetAccessBits(DWORD bits) { AccessBits_ = bits; }

private:
    OString Base_;
    DWORD AccessBits_;
};
