#pragma once

// What the per-user purge and the profile sweep are tested on: user hives
// mounted below HKEY_USERS as Windows loads a logged-on user's hive, profile
// folders with their own NTUSER.DAT, and a watch on every hive that the code
// under test mounts and unmounts.
//
// Two ways in which Wine differs from Windows shape these tests. Wine does
// not write a mounted hive back to its file when it is unmounted, so what a
// purge did to a mounted hive is read inside the unmount call, just before
// the hive goes. And Wine lets a hive be unmounted while a key inside it is
// still open, where Windows refuses, so the keys left open at that moment
// are counted through the import table.

#include <windows.h>

#include <string>
#include <vector>

#include "support/handle_ledger.h"
#include "support/iat_patch.h"

namespace preuninstall_test {

inline const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const wchar_t kMountName[] = L"Korvan_Tmp_Reg";
// The current user's hive as Wine names it below HKEY_USERS.
inline const wchar_t kCurrentUserHive[] = L"S-1-5-21-0-0-0-1000";
inline const wchar_t kProfilesDirectory[] = L"C:\\users";

std::wstring join(const std::wstring& parent, const std::wstring& child);

// A user's registry with the product installed, below root\hive: the Run
// value "DelayShred" beside another Run value, the product's settings
// "Software\Korvan\ZTB" with values and subkeys, and a neighbour of the
// maker's key below "Software".
void seedUserSettings(HKEY root, const std::wstring& hive);

// Leaves the current user's hive as the tests found it: removes only what
// they add (the product's settings, a neighbour key, two Run values).
void clearCurrentUser();

// dumpTree lines of a hive as they read once the product's settings, the
// maker's key with them and, with `runValue`, the Run value are gone.
std::vector<std::wstring> withoutProduct(const std::vector<std::wstring>& lines, bool runValue);

// A hive mounted at HKEY_USERS\<name> from a fresh, empty hive file for the
// lifetime of the object, unmounted and its file deleted afterwards.
class TestHive {
public:
    explicit TestHive(std::wstring name);
    ~TestHive();
    TestHive(const TestHive&) = delete;
    TestHive& operator=(const TestHive&) = delete;

    bool mounted() const { return mounted_; }
    const std::wstring& name() const { return name_; }
    std::vector<std::wstring> dump() const;

private:
    std::wstring name_;
    std::wstring file_;
    bool mounted_ = false;
};

// Folders and files made in a profiles directory for one test, removed with
// the object. Only what the object made is ever removed.
class ProfileFolders {
public:
    explicit ProfileFolders(std::wstring directory = kProfilesDirectory);
    ~ProfileFolders();
    ProfileFolders(const ProfileFolders&) = delete;
    ProfileFolders& operator=(const ProfileFolders&) = delete;

    // A profile folder whose NTUSER.DAT holds seedUserSettings; returns the
    // hive file's path.
    std::wstring addProfile(const std::wstring& name);
    // A folder with no hive file in it.
    void addFolder(const std::wstring& name);
    void addFile(const std::wstring& name);
    std::wstring hiveFile(const std::wstring& name) const;
    bool complete() const { return complete_; }

private:
    std::wstring directory_;
    std::vector<std::wstring> made_;
    bool complete_ = true;
};

struct MountEvent {
    bool load = false;
    std::wstring target;  // the hive file of a load, the mount name of an unload
    LONG status = ERROR_SUCCESS;
    // The mounted hive as dumpTree reads it: right after a load that
    // succeeded, and right before an unload.
    std::vector<std::wstring> content;
    // Keys, searches and tokens that the module had open when it asked for
    // the unload (with a ledger only).
    std::size_t openHandles = 0;
    // A failed load after which Wine had left an empty hive at the mount
    // name, unmounted by the watch.
    bool leftoverUnmounted = false;
};

// Watches every RegLoadKeyW and RegUnLoadKeyW of a module through its import
// table. Before an unload it also writes the hive back to the file it was
// loaded from, which is what Windows does and Wine does not, so that a
// second run of a sweep meets what the first one left; and after a failed
// load it frees the mount name where Wine has left an empty hive on it.
class MountWatch {
public:
    explicit MountWatch(HMODULE module, const testing_support::HandleLedger* ledger = nullptr);
    ~MountWatch();
    MountWatch(const MountWatch&) = delete;
    MountWatch& operator=(const MountWatch&) = delete;

    bool applied() const { return load_.applied() && unload_.applied(); }
    const std::vector<MountEvent>& events() const { return events_; }
    // The hive files of every load, in call order.
    std::vector<std::wstring> loadedFiles() const;
    int unloads() const;

private:
    friend struct MountWatchHooks;
    testing_support::IatPatch load_;
    testing_support::IatPatch unload_;
    const testing_support::HandleLedger* ledger_;
    std::vector<MountEvent> events_;
    std::wstring mountedFile_;
};

bool privilegeEnabled(const wchar_t* name);
bool disablePrivilege(const wchar_t* name);

}  // namespace preuninstall_test
