#pragma once

// The product's footprint on the machine this runs on, found there and not
// taken from a list: the Substitute values in both registry views, the "OEM"
// key and the "ZKW" preset, both scheduler keys with every key below them,
// the agent's three data files, the calling account's Send To entry, the
// context-menu handler and class keys, the current user's Run value, the
// maker's key and the product's settings in every loaded user hive, and the
// Run value and settings of every offline profile, the profiles found as the
// offline sweep finds them. Each item's state is read when asked for.
//
// An offline profile's NTUSER.DAT is never mounted in place and never at the
// sweep's mount name: a private copy of it is mounted for a moment at a name
// of this process's own, read, unmounted and deleted, and the restore
// privilege that mounting needs is put back as it was.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace footprint {

struct Item {
    std::wstring section;  // what part of the footprint it belongs to
    std::wstring label;    // where it is, as a person would name it
    std::function<std::wstring()> state;
};
using Items = std::vector<Item>;

Items product();

// An item's state, read at one moment.
struct State {
    std::wstring section;
    std::wstring label;
    std::wstring state;
};
std::vector<State> read(const Items& items);

// The profile folders that the offline sweep tries, in the order it meets
// them: the folders beside the calling account's own, less "."-folders,
// "All Users", "Default User", "LocalService", "NetworkService" and the
// folder named like the calling account.
std::vector<std::wstring> offlineProfileFolders();

// The pieces, for reports that add items of their own.
std::wstring keyState(HKEY root, const std::wstring& path, REGSAM view = 0);  // absent, or what is below it
std::wstring valueState(HKEY root, const std::wstring& path, const std::wstring& name, REGSAM view = 0);
std::wstring fileState(const std::wstring& path);
// Reads a hive file's content through `read`, given the root and the path
// of the hive's root key, from a private copy mounted for the moment.
std::wstring inHiveFile(const std::wstring& file,
                        const std::function<std::wstring(HKEY root, const std::wstring& hive)>& read);

}  // namespace footprint
