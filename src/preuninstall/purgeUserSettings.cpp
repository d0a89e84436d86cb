#include <windows.h>

#include <initializer_list>

#include "common/wide.h"
#include "preuninstall/preuninstall.h"
#include "registry/RegistryKey.h"

namespace installhooks {
namespace {

constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"DelayShred";
constexpr wchar_t kSoftwareKey[] = L"Software";
constexpr wchar_t kSettingsKey[] = L"ZTB";
constexpr wchar_t kMakerKey[] = L"Korvan";
constexpr wchar_t kMountName[] = L"Korvan_Tmp_Reg";
constexpr wchar_t kClassesFragment[] = L"_Classes";
constexpr SIZE_T kShortestHiveName = 10;
constexpr SIZE_T kHiveNameCountLimit = 260;
constexpr DWORD kHiveNameUnits = 300;

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;
// The maker's key is emptied and then deleted through the same handle.
constexpr REGSAM kMakerKeyAccess = KEY_READ | KEY_WRITE | DELETE;

// The classes hives ("<SID>_Classes") hold no user settings, and the short
// names are the default hive and the service accounts (".DEFAULT",
// "S-1-5-18", ...), which the product never wrote to.
bool isPurgedHiveName(const wchar_t* name) {
    return wideLengthUpTo(name, kHiveNameCountLimit) >= kShortestHiveName && !wideContains(name, kClassesFragment);
}

// Whether the key held, opened as itself, has subkeys of its own. A registry
// link never has any (creating below a link creates below its target), and
// whether a key object is a link is fixed when it is created: a key that had
// subkeys when counted stays no link for as long as the handle refers to it.
// If its owner deletes it and puts a link in its place afterwards, the
// handle refers to the deleted key and every open below it fails.
bool hasSubkeys(const RegistryKey& key) {
    DWORD subkeys = 0;
    return key.countSubkeys(subkeys) == ERROR_SUCCESS && subkeys != 0;
}

// A hive's owner may write anywhere below its "Software" key, also while the
// elevated purge runs, and may put a registry link in place of any key on
// the way, or set a link's target at any moment. So the way into a hive
// goes from the hive's own key one key at a time, each opened as itself,
// and goes below a key only when that handle has counted subkeys: no test
// of a link's flag or value, which a link without its target yet would
// pass. A key without subkeys ends the way (false): nothing of ours can be
// below it. The last key is held, opened with `access`, and not counted:
// what the caller does through that handle acts on the key itself, even on
// a link. The keys passed through are only read.
bool openInsideHive(RegistryKey& key, const wchar_t* hiveName, std::initializer_list<const wchar_t*> path,
                    REGSAM access) {
    if (key.openKey(HKEY_USERS, hiveName, KEY_READ, REG_OPTION_OPEN_LINK) != ERROR_SUCCESS) {
        return false;
    }
    const wchar_t* const* last = path.end() - 1;
    for (const wchar_t* const* name = path.begin(); name != path.end(); ++name) {
        if (!hasSubkeys(key) ||
            key.openKey(key.handle(), *name, name == last ? access : KEY_READ, REG_OPTION_OPEN_LINK) != ERROR_SUCCESS) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool purgeHiveSettings(const wchar_t* hiveName) {
    RegistryKey key;
    // The settings are below the maker's key, so it is counted like the keys
    // above it before the walk goes below it.
    if (!openInsideHive(key, hiveName, {kSoftwareKey, kMakerKey}, kMakerKeyAccess) || !hasSubkeys(key) ||
        key.deleteKeyTree(kSettingsKey) != ERROR_SUCCESS) {
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
    // Deleted through the handle that was counted, never by name: the
    // platform refuses, harmlessly, when a subkey has appeared since the
    // count, and a link put in the key's place meanwhile is not reached.
    key.deleteKey();
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
        // Never gone below: the value is deleted through the handle of the
        // key itself, which on a link names the link's own values.
        if (openInsideHive(run, kMountName, {L"SOFTWARE", L"Microsoft", L"Windows", L"CurrentVersion", L"Run"},
                           kReadWrite)) {
            RegDeleteValueW(run.handle(), kRunValue);
            run.closeKey();
        }
    }
    return purgeHiveSettings(kMountName);
}

}  // namespace installhooks
