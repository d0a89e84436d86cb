#include <shlobj.h>
#include <windows.h>

#include <cwchar>
#include <new>
#include <string>

#include "common/compose.h"
#include "common/unique_handle.h"
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
    explicit MountedProfileHive(const wchar_t* profileFolder) : mounted_(loadProfileHive(profileFolder)) {}
    ~MountedProfileHive() {
        if (mounted_) {
            RegUnLoadKeyW(HKEY_USERS, kMountName);
        }
    }

    MountedProfileHive(const MountedProfileHive&) = delete;
    MountedProfileHive& operator=(const MountedProfileHive&) = delete;

    bool mounted() const { return mounted_; }

private:
    const bool mounted_;
};

bool isSkippedFolder(const wchar_t* name) {
    for (const wchar_t* skipped : kSkippedFolders) {
        if (std::wcscmp(name, skipped) == 0) {
            return true;
        }
    }
    return false;
}

// Mounts, purges and unmounts the hive of one entry of the profiles
// directory, unless the entry is no profile of another account.
void sweepProfile(const wchar_t* profilesDirectory, const WIN32_FIND_DATAW& entry, const std::wstring& currentUser) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return;
    }
    if (entry.cFileName[0] == L'.') {
        return;
    }
    if (isSkippedFolder(entry.cFileName)) {
        return;
    }
    const std::wstring profileFolder = composePath(kProfileFolderFormat, {profilesDirectory, entry.cFileName});
    // The caller's own hive is loaded: its settings went with the loaded hives.
    if (!currentUser.empty() && currentUser == entry.cFileName) {
        return;
    }
    MountedProfileHive hive(profileFolder.c_str());
    if (!hive.mounted()) {
        return;
    }
    purgeMountedHive();
}

}  // namespace

bool loadProfileHive(const wchar_t* profileFolder) {
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
    const std::wstring hiveFile = composePath(kHiveFileFormat, {profileFolder});
    return RegLoadKeyW(HKEY_USERS, kMountName, hiveFile.c_str()) == ERROR_SUCCESS;
}

bool sweepOfflineProfiles() {
    wchar_t name[kNameUnits] = {};
    try {
        purgeLoadedHives();

        std::wstring currentUser;
        DWORD size = kNameUnits;
        if (GetUserNameW(name, &size) != FALSE) {
            currentUser = name;
        }

        if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, name) != S_OK) {
            return false;
        }
        wchar_t* lastBackslash = std::wcsrchr(name, L'\\');
        if (lastBackslash == nullptr) {
            return false;
        }
        // What is left in the buffer is the profiles directory.
        *lastBackslash = L'\0';

        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW(composePath(kSearchFormat, {name}).c_str(), &entry));
        if (!search.valid()) {
            return false;
        }
        // Every entry counts, the first included: only on NTFS is it always ".".
        do {
            sweepProfile(name, entry, currentUser);
        } while (FindNextFileW(search.get(), &entry) != FALSE);
        return true;
    } catch (const std::bad_alloc&) {
        // Out of memory while composing a name: the owners have unmounted the
        // hive and closed the search on the way here.
        return true;
    }
}

}  // namespace installhooks
