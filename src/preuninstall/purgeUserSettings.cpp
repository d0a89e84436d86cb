#include <windows.h>

#include <cwchar>
#include <string>

#include "common/compose.h"
#include "preuninstall/preuninstall.h"
#include "registry/RegistryKey.h"

namespace installhooks {
namespace {

constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kMountedRunKey[] = L"Korvan_Tmp_Reg\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"DelayShred";
constexpr wchar_t kMakerKeyFormat[] = L"%s\\Software\\Korvan";
constexpr wchar_t kSoftwareKeyFormat[] = L"%s\\Software";
constexpr wchar_t kSettingsKey[] = L"ZTB";
constexpr wchar_t kMakerKey[] = L"Korvan";
constexpr wchar_t kMountName[] = L"Korvan_Tmp_Reg";
constexpr wchar_t kClassesFragment[] = L"_Classes";
constexpr std::size_t kShortestHiveName = 10;
constexpr std::size_t kHiveNameCountLimit = 260;
constexpr DWORD kHiveNameUnits = 300;

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

// The classes hives ("<SID>_Classes") hold no user settings, and the short
// names are the default hive and the service accounts (".DEFAULT",
// "S-1-5-18", ...), which the product never wrote to.
bool isPurgedHiveName(const wchar_t* name) {
    return wcsnlen(name, kHiveNameCountLimit) >= kShortestHiveName && std::wcsstr(name, kClassesFragment) == nullptr;
}

}  // namespace

bool purgeHiveSettings(const wchar_t* hiveName) {
    // The hive's owner can write below its "Software" key. A maker's key that
    // is a registry link is opened as the link itself and left alone: the
    // elevated purge never follows it to its target elsewhere in the registry.
    RegistryKey key;
    if (key.openKey(HKEY_USERS, composePath(kMakerKeyFormat, {hiveName}).c_str(), kReadWrite, REG_OPTION_OPEN_LINK) !=
        ERROR_SUCCESS) {
        return false;
    }
    if (key.isLink()) {
        return false;
    }
    if (key.deleteKeyTree(kSettingsKey) != ERROR_SUCCESS) {
        return false;
    }

    DWORD subkeys = 0;
    DWORD values = 0;
    if (RegQueryInfoKeyW(key.handle(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS) {
        return true;
    }
    // Whatever else of the maker's is left there keeps its key.
    if (subkeys != 0 || values != 0) {
        return true;
    }

    key.closeKey();
    if (key.openKey(HKEY_USERS, composePath(kSoftwareKeyFormat, {hiveName}).c_str(), KEY_WRITE) != ERROR_SUCCESS) {
        return true;
    }
    // Fails on its own, harmlessly, when a subkey has appeared since the count.
    key.deleteChildKey(kMakerKey);
    key.closeKey();
    return true;
}

void purgeLoadedHives() {
    RegistryKey key;
    if (key.openKey(HKEY_CURRENT_USER, kRunKey, kReadWrite) == ERROR_SUCCESS) {
        RegDeleteValueW(key.handle(), kRunValue);
        key.closeKey();
    }

    if (key.openKey(HKEY_USERS, nullptr, KEY_READ) != ERROR_SUCCESS) {
        return;
    }
    // Only keys below each hive are deleted, never a hive's own key, so the
    // index order of HKEY_USERS stays as it is during the walk.
    wchar_t name[kHiveNameUnits];
    for (DWORD index = 0;; ++index) {
        DWORD length = kHiveNameUnits;
        if (RegEnumKeyExW(key.handle(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        if (isPurgedHiveName(name)) {
            purgeHiveSettings(name);
        }
    }
    key.closeKey();
}

bool purgeMountedHive() {
    {
        RegistryKey run;
        if (run.openKey(HKEY_USERS, kMountedRunKey, kReadWrite) == ERROR_SUCCESS) {
            RegDeleteValueW(run.handle(), kRunValue);
            run.closeKey();
        }
    }
    return purgeHiveSettings(kMountName);
}

}  // namespace installhooks
