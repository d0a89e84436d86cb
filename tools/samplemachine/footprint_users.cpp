// What DllPreUnInstall purges from the users' registry: the current user's Run
// value "DelayShred" and the product's settings "Software\Korvan\ZTB" in every
// loaded user hive, and the same in the NTUSER.DAT of each profile whose owner
// is not logged on (mounted by the hook for a moment). Neighbours that must
// stay: another Run value, another product of the maker's, the other loaded
// user's Run value, and the settings in a classes hive.

#include <windows.h>

#include <string>
#include <vector>

#include "machine/hives.h"
#include "machine/machine.h"
#include "samplemachine/footprint.h"

namespace sample {
namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kSettingsKey[] = L"Software\\Korvan\\ZTB";
const wchar_t kMakerKey[] = L"Software\\Korvan";
const wchar_t kOtherProductKey[] = L"Software\\Korvan\\ZHN";
const wchar_t kRunValue[] = L"DelayShred";
const wchar_t kNeighbourRunValue[] = L"ContosoTray";

// Another user who is logged on: Windows has loaded that user's hive and its
// classes hive below HKEY_USERS. Their files live outside the profiles
// directory here, since Wine would let the sweep mount a loaded hive's file a
// second time where Windows refuses.
const wchar_t kOtherUser[] = L"S-1-5-21-1111-2222-3333-1001";
const wchar_t kOtherUserClasses[] = L"S-1-5-21-1111-2222-3333-1001_Classes";
const wchar_t kLoadedHiveFolder[] = L"C:\\ProgramData\\KorvanSampleHives";

// Profiles whose owners are not logged on, beside the caller's own ("root").
const wchar_t* const kOfflineProfiles[] = {L"Alice", L"Bob"};

std::wstring join(const std::wstring& parent, const std::wstring& child) {
    return parent.empty() ? child : parent + L"\\" + child;
}

std::wstring profileFolder(const std::wstring& name) {
    const std::wstring own = machine::shellFolder(0x28);  // CSIDL_PROFILE
    return own.substr(0, own.rfind(L'\\') + 1) + name;
}

std::wstring loadedHiveFile(const std::wstring& name) {
    return std::wstring(kLoadedHiveFolder) + L"\\" + name + L".dat";
}

void seedProductSettings(HKEY root, const std::wstring& hive) {
    const std::wstring settings = join(hive, kSettingsKey);
    machine::setString(root, settings, L"Language", L"en-US");
    machine::setDword(root, settings + L"\\Eraser", L"Passes", 7);
    machine::setString(root, settings + L"\\Eraser\\Schedule", L"Day", L"Friday");
    machine::setString(root, settings + L"\\Recent", L"Item0", L"C:\\Temp\\old.log");
}

void seedRun(HKEY root, const std::wstring& hive) {
    const std::wstring run = join(hive, kRunKey);
    machine::setString(root, run, kRunValue, L"\"C:\\Program Files (x86)\\Korvan\\ZTB\\shred.exe\" /delayed");
    machine::setString(root, run, kNeighbourRunValue, L"C:\\Program Files\\Contoso\\tray.exe");
}

}  // namespace

void seedUsers() {
    // The current user: the Run value and the product's settings, nothing else
    // of the maker's.
    seedRun(HKEY_CURRENT_USER, L"");
    seedProductSettings(HKEY_CURRENT_USER, L"");

    // Another logged-on user, with another product of the maker's, and that
    // user's classes hive, which the purge never touches.
    machine::createDirectories(kLoadedHiveFolder);
    machine::writeHiveFile(loadedHiveFile(kOtherUser), [](HKEY root, const std::wstring& path) {
        seedRun(root, path);
        seedProductSettings(root, path);
        machine::setString(root, join(path, kOtherProductKey), L"Version", L"3.1");
    });
    machine::loadHive(kOtherUser, loadedHiveFile(kOtherUser));
    machine::writeHiveFile(loadedHiveFile(kOtherUserClasses),
                           [](HKEY root, const std::wstring& path) { seedProductSettings(root, path); });
    machine::loadHive(kOtherUserClasses, loadedHiveFile(kOtherUserClasses));

    // Profiles whose owners are not logged on.
    for (const wchar_t* name : kOfflineProfiles) {
        const std::wstring folder = profileFolder(name);
        machine::createDirectories(folder);
        machine::writeHiveFile(folder + L"\\NTUSER.DAT", [](HKEY root, const std::wstring& path) {
            seedRun(root, path);
            seedProductSettings(root, path);
        });
    }
}

void clearUsers() {
    machine::deleteTree(HKEY_CURRENT_USER, kMakerKey);
    HKEY run = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
        RegDeleteValueW(run, kRunValue);
        RegDeleteValueW(run, kNeighbourRunValue);
        RegCloseKey(run);
    }
    for (const wchar_t* hive : {kOtherUser, kOtherUserClasses}) {
        machine::unloadHive(hive);
        DeleteFileW(loadedHiveFile(hive).c_str());
    }
    RemoveDirectoryW(kLoadedHiveFolder);
    for (const wchar_t* name : kOfflineProfiles) {
        const std::wstring folder = profileFolder(name);
        // Only a folder the seed made: its hive file and nothing else.
        DeleteFileW((folder + L"\\NTUSER.DAT").c_str());
        RemoveDirectoryW(folder.c_str());
    }
}

void addUsersItems(Footprint& items) {
    const std::wstring runValue = std::wstring(L" ...\\CurrentVersion\\Run : ") + kNeighbourRunValue + L" (stays)";
    items.push_back({L"Per-user settings: the current user (HKCU)", L"HKCU" + runValue,
                     [] { return footprint::valueState(HKEY_CURRENT_USER, kRunKey, kNeighbourRunValue); }});
    const std::wstring other = std::wstring(L"HKU\\") + kOtherUser;
    const std::wstring otherRun = join(kOtherUser, kRunKey);
    items.push_back({L"Per-user settings: loaded hive " + other,
                     other + L" ...\\CurrentVersion\\Run : " + kRunValue + L" (stays: only the current user's goes)",
                     [=] { return footprint::valueState(HKEY_USERS, otherRun, kRunValue); }});
    const std::wstring otherProduct = join(kOtherUser, kOtherProductKey);
    items.push_back({L"Per-user settings: loaded hive " + other, other + L" " + kOtherProductKey + L" (stays)",
                     [=] { return footprint::keyState(HKEY_USERS, otherProduct); }});
    for (const wchar_t* name : kOfflineProfiles) {
        const std::wstring file = profileFolder(name) + L"\\NTUSER.DAT";
        items.push_back({L"Offline profile " + file, std::wstring(name) + L"'s NTUSER.DAT" + runValue, [=] {
                             return footprint::inHiveFile(file, [](HKEY root, const std::wstring& hive) {
                                 return footprint::valueState(root, join(hive, kRunKey), kNeighbourRunValue);
                             });
                         }});
    }
}

}  // namespace sample
