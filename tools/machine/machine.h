#pragma once

// Plain helpers that set up and inspect registry keys, values and files in
// the Wine prefix, for the sample machine and the tests. They talk to the
// registry directly and never go through the product's code.

#include <windows.h>

#include <string>
#include <vector>

namespace machine {

// Registry view flags as the product's 32-bit process sees them: 0 is the
// default (32-bit) view, Bits64 the native one.
constexpr REGSAM kDefaultView = 0;
constexpr REGSAM kView64 = KEY_WOW64_64KEY;
constexpr REGSAM kView32 = KEY_WOW64_32KEY;

bool createKey(HKEY root, const std::wstring& path, REGSAM view = kDefaultView);
bool keyExists(HKEY root, const std::wstring& path, REGSAM view = kDefaultView);
// Removes a key and everything below it; true when it is gone afterwards.
bool deleteTree(HKEY root, const std::wstring& path, REGSAM view = kDefaultView);

bool setString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& value,
               REGSAM view = kDefaultView);
bool setDword(HKEY root, const std::wstring& path, const std::wstring& name, DWORD value, REGSAM view = kDefaultView);
bool setBinary(HKEY root, const std::wstring& path, const std::wstring& name, const std::vector<BYTE>& data,
               REGSAM view = kDefaultView);
bool setValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD size,
              REGSAM view = kDefaultView);

struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    std::wstring text() const;  // REG_SZ data up to its first terminator
};
Value readValue(HKEY root, const std::wstring& path, const std::wstring& name, REGSAM view = kDefaultView);
bool valueExists(HKEY root, const std::wstring& path, const std::wstring& name, REGSAM view = kDefaultView);

std::vector<std::wstring> subkeyNames(HKEY root, const std::wstring& path, REGSAM view = kDefaultView);
std::vector<std::wstring> valueNames(HKEY root, const std::wstring& path, REGSAM view = kDefaultView);
// The names of an open key's subkeys, sorted.
std::vector<std::wstring> subkeysOf(HKEY key);

// Creates `levels` nested keys below root\path, one per level, each named by
// `nameOf(level)` (level 1 first), each below the handle of the one before,
// so that a chain may be deeper than a single path can name. Returns how
// many were made.
int createChain(HKEY root, const std::wstring& path, int levels, std::wstring (*nameOf)(int));
// The number of levels below root\path along the first subkey of each key,
// through handles, each key opened as itself; -1 when root\path is absent.
int chainDepth(HKEY root, const std::wstring& path);

// A hash of the bytes, as 8 hex digits: equal for equal data, and almost
// never for different data.
std::wstring hashOf(const void* data, std::size_t size);
// A name longer than 32 characters as its start, its length and a hash of it.
std::wstring shortName(const std::wstring& name);

// How dumpTree reads a tree.
struct DumpOptions {
    // Relative key paths ("Software\Korvan") and values ("path : name") left
    // out, compared without regard to case.
    std::vector<std::wstring> skip;
    // For trees made to be hostile: names show as shortName gives them, and a
    // path longer than 512 characters as its depth and last component.
    bool shorten = false;
    // What the root shows as in the lines (nothing by default, so that the
    // lines name paths relative to it).
    std::wstring label;
    // Lines tagged by kind instead: "K path" for a key and
    // "V path : name = description" for a value.
    bool tagged = false;
};

// One line per key ("[relative path]") and value ("relative path : name =
// description") from root\path down, siblings in sorted order, for comparing
// whole subtrees before and after an operation. The walk goes through
// handles, so a tree deeper than a single path can name still reads; every
// key is opened as itself, so a registry link reads as a key with its link
// value and is never followed; a key that cannot be opened for reading shows
// as "[path] unreadable (status)". Empty when root\path is absent.
std::vector<std::wstring> dumpTree(HKEY root, const std::wstring& path, REGSAM view = kDefaultView,
                                   const DumpOptions& options = {});

// A value as a person reads it: absent, a string in quotes, a number, a
// 16-byte SYSTEMTIME as a UTC timestamp, other data as hex. Data that the
// description does not show in full (a string with more after its
// terminator than zeros, more than 24 bytes as hex) adds a hash of all of it,
// so two descriptions are the same only for the same data.
std::wstring describe(const Value& value);

bool writeFile(const std::wstring& path, const std::string& content = "sample");
// A file's bytes; empty when it cannot be read.
std::string readFile(const std::wstring& path);
bool fileExists(const std::wstring& path);
bool directoryExists(const std::wstring& path);
// Creates the folder and any missing parents.
bool createDirectories(const std::wstring& path);
// Removes a folder and everything in it; true when it is gone afterwards.
bool removeDirectoryTree(const std::wstring& path);

// The folder SHGetFolderPathW reports for a CSIDL, or empty.
std::wstring shellFolder(int csidl);

// Enables a privilege in the process token; false when it cannot be had.
bool enablePrivilege(const wchar_t* name);

// Whether the privilege is enabled in the process token.
bool privilegeEnabled(const wchar_t* name);

// The kernel's full name of an open key ("\REGISTRY\MACHINE\Software\..."),
// or empty when the handle names no key. Asked through the ntdll entry point
// looked up by name, so no import-table patch of the caller's sees the call.
std::wstring kernelKeyName(HKEY key);

// The security identifier of the account the process runs as, as text (the
// name of its hive below HKEY_USERS); empty when it cannot be had.
std::wstring currentUserSid();

std::string narrow(const std::wstring& text);

}  // namespace machine
