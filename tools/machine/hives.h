#pragma once

// User hives for the sample machine and the tests: hive files written from a
// scratch key, mounted below HKEY_USERS as a loaded user's hive would be, and
// read back. Under Wine a hive file is Wine's text format, and a mounted hive
// is never written back to its file when it is unmounted.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace machine {

// Writes a hive file at `file` (replacing one that is there) whose content
// `fill` builds below the key root\path that it is given.
bool writeHiveFile(const std::wstring& file, const std::function<void(HKEY root, const std::wstring& path)>& fill);

// Writes root\path with everything below it to `file`, replacing it.
bool saveHive(HKEY root, const std::wstring& path, const std::wstring& file);

// Mounts `file` at HKEY_USERS\name.
bool loadHive(const std::wstring& name, const std::wstring& file);
// Unmounts HKEY_USERS\name; true when nothing is mounted there afterwards.
bool unloadHive(const std::wstring& name);
bool hiveLoaded(const std::wstring& name);

// The content of a hive file as dumpTree gives it, read by mounting the file
// for a moment at a name of its own and unmounting it unchanged. Empty when
// the file cannot be mounted.
std::vector<std::wstring> dumpHiveFile(const std::wstring& file, const DumpOptions& options = {});

}  // namespace machine
