#pragma once

// What the per-user purge and the profile sweep are tested on: user hives
// mounted below HKEY_USERS as Windows loads a logged-on user's hive, profile
// folders with their own NTUSER.DAT, and the watch on every hive that the
// code under test mounts and unmounts (support/mount_watch.h).

#include <windows.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "support/mount_watch.h"

namespace preuninstall_test {

inline const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const wchar_t kMountName[] = L"Korvan_Tmp_Reg";
// The current user's hive below HKEY_USERS, named by the account's SID.
inline const std::wstring kCurrentUserHive = machine::currentUserSid();
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
// Whether the lines hold the product's settings and, with `runValue`, the
// Run value: what a purge compared against them has to find.
bool holdsProduct(const std::vector<std::wstring>& lines, bool runValue);

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

using testing_support::MountEvent;
using testing_support::MountWatch;

// The unmount that followed the successful mount of `file`, or null.
const MountEvent* unloadAfterLoadOf(const std::vector<MountEvent>& events, const std::wstring& file);
// What the mounted hive of `file` held as it was unmounted, read after the
// hook where each platform keeps it. Windows: in the file, which the unload
// wrote, mounted again and read (a failure unless it is what the watch read
// inside the unmount call). Wine divergence: Wine never writes a mounted hive
// back, so it is the hive as the watch read it inside the unmount call.
// Empty, with a failure, when no unmount followed a mount of the file.
std::vector<std::wstring> hiveAsUnmounted(const std::vector<MountEvent>& events, const std::wstring& file);

// A machine whose every kind of user hive holds the product: the current
// user's, another loaded hive, and the offline profile "KorvanAlice". What
// each held is read when the object is made; the current user's settings
// are cleared when it goes.
class UsersWithProduct {
public:
    UsersWithProduct();
    ~UsersWithProduct();
    UsersWithProduct(const UsersWithProduct&) = delete;
    UsersWithProduct& operator=(const UsersWithProduct&) = delete;

    bool complete() const { return loaded_.mounted() && folders_.complete() && !aliceBefore_.empty(); }
    // Each purged as a removal hook purges it, given the mounts that the hook
    // made under a MountWatch.
    void expectPurged(const std::vector<MountEvent>& mounts) const;

private:
    ProfileFolders folders_;
    TestHive loaded_;
    std::wstring alice_;
    std::vector<std::wstring> aliceBefore_;
    std::vector<std::wstring> loadedBefore_;
    std::vector<std::wstring> currentBefore_;
};

using machine::privilegeEnabled;
bool disablePrivilege(const wchar_t* name);

}  // namespace preuninstall_test
