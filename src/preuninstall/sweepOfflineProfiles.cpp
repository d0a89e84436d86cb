#include <shlobj.h>
#include <windows.h>

#include "common/compose.h"
#include "common/unique_handle.h"
#include "common/wide.h"
#include "preuninstall/preuninstall.h"

namespace installhooks {
namespace {

constexpr DWORD kNameUnits = 520;
constexpr wchar_t kSearchFormat[] = L"%s\\*.*";
constexpr wchar_t kProfileFolderFormat[] = L"%s\\%s";
constexpr wchar_t kHiveFileFormat[] = L"%s\\NTUSER.DAT";
constexpr wchar_t kMountName[] = L"Korvan_Tmp_Reg";
constexpr wchar_t kRestorePrivilege[] = L"SeRestorePrivilege";
constexpr const wchar_t* kSkippedFolders[] = {L"All Users", L"Default User", L"LocalService", L"NetworkService"};

// One profile's hive at the mount, for the length of a scope: unmounted when
// the scope ends, on every path out, and only if this object mounted it. The
// purge that runs inside the scope has closed every key it opened in the hive
// before the unmount, which an open key would make fail (leaving the user's
// hive loaded and breaking that user's next logon).
class MountedProfileHive {
public:
    explicit MountedProfileHive(const wchar_t* profileFolder)
        : mounted_(loadProfileHive(profileFolder, &outOfMemory_)) {}
    ~MountedProfileHive() {
        if (mounted_) {
            RegUnLoadKeyW(HKEY_USERS, kMountName);
        }
    }

    MountedProfileHive(const MountedProfileHive&) = delete;
    MountedProfileHive& operator=(const MountedProfileHive&) = delete;
    MountedProfileHive(MountedProfileHive&&) = delete;
    MountedProfileHive& operator=(MountedProfileHive&&) = delete;

    bool mounted() const { return mounted_; }
    bool outOfMemory() const { return outOfMemory_; }

private:
    bool outOfMemory_ = false;
    const bool mounted_;
};

bool isSkippedFolder(const wchar_t* name) {
    for (const wchar_t* skipped : kSkippedFolders) {
        if (wideEqual(name, skipped)) {
            return true;
        }
    }
    return false;
}

// Mounts, purges and unmounts the hive of one entry of the profiles
// directory, unless the entry is no profile of another account. False when
// a path could not be composed: the sweep then ends.
bool sweepProfile(const wchar_t* profilesDirectory, const WIN32_FIND_DATAW& entry, const wchar_t* currentUser) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return true;
    }
    if (entry.cFileName[0] == L'.') {
        return true;
    }
    if (isSkippedFolder(entry.cFileName)) {
        return true;
    }
    const HeapString profileFolder = composePath(kProfileFolderFormat, {profilesDirectory, entry.cFileName});
    if (profileFolder.empty()) {
        return false;
    }
    // The caller's own hive is loaded: its settings went with the loaded hives.
    if (currentUser[0] != L'\0' && wideEqual(currentUser, entry.cFileName)) {
        return true;
    }
    const MountedProfileHive hive(profileFolder.get());
    if (!hive.mounted()) {
        return !hive.outOfMemory();
    }
    purgeMountedHive();
    return true;
}

}  // namespace

bool loadProfileHive(const wchar_t* profileFolder, bool* outOfMemory) {
    {
        UniqueKernelHandle token;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()) == FALSE) {
            return false;
        }
        TOKEN_PRIVILEGES privileges = {};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, kRestorePrivilege, &privileges.Privileges[0].Luid) == FALSE) {
            return false;
        }
        // A success that could not assign the privilege (ERROR_NOT_ALL_ASSIGNED)
        // lets the load below fail on its own. The privilege is left enabled.
        if (AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) == FALSE) {
            return false;
        }
    }
    const HeapString hiveFile = composePath(kHiveFileFormat, {profileFolder});
    if (hiveFile.empty()) {
        if (outOfMemory != nullptr) {
            *outOfMemory = true;
        }
        return false;
    }
    return RegLoadKeyW(HKEY_USERS, kMountName, hiveFile.get()) == ERROR_SUCCESS;
}

bool sweepOfflineProfiles() {
    wchar_t name[kNameUnits] = {};
    purgeLoadedHives();

    wchar_t currentUser[kNameUnits] = {};
    DWORD size = kNameUnits;
    if (GetUserNameW(currentUser, &size) == FALSE) {
        // A failed call may have left part of a name: none is taken.
        currentUser[0] = L'\0';
    }

    if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, name) != S_OK) {
        return false;
    }
    wchar_t* lastBackslash = wideFindLast(name, L'\\');
    if (lastBackslash == nullptr) {
        return false;
    }
    // What is left in the buffer is the profiles directory.
    *lastBackslash = L'\0';

    const HeapString pattern = composePath(kSearchFormat, {name});
    if (pattern.empty()) {
        // Out of memory: the walk is over before it began.
        return true;
    }
    WIN32_FIND_DATAW entry;
    const UniqueFindHandle search(FindFirstFileW(pattern.get(), &entry));
    if (!search.valid()) {
        return false;
    }
    // Every entry counts, the first included: only on NTFS is it always ".".
    // Out of memory while composing a name ends the walk; the owners have
    // unmounted the hive and close the search on the way out.
    do {
        if (!sweepProfile(name, entry, currentUser)) {
            return true;
        }
    } while (FindNextFileW(search.get(), &entry) != FALSE);
    return true;
}

}  // namespace installhooks
