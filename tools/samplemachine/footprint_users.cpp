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
// The report reads a profile's hive file by mounting it here for a moment.
const wchar_t kReportMount[] = L"KorvanSampleReport";

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

// A key as a person reads it: absent, or present with what is below it.
std::wstring keyState(HKEY root, const std::wstring& path) {
    const std::vector<std::wstring> lines = machine::dumpTree(root, path);
    if (lines.empty()) {
        return L"absent";
    }
    std::size_t keys = 0;
    for (const std::wstring& line : lines) {
        keys += line.front() == L'[' ? 1U : 0U;
    }
    if (lines.size() == 1) {
        return L"present, empty";
    }
    return L"present, with " + std::to_wstring(keys - 1) + L" keys and " + std::to_wstring(lines.size() - keys) +
           L" values below it";
}

std::wstring valueState(HKEY root, const std::wstring& path, const std::wstring& name) {
    return machine::describe(machine::readValue(root, path, name));
}

// The items of one hive, as found below root\hive.
void addHiveItems(Footprint& items, const std::wstring& section, const std::wstring& where,
                  std::function<std::wstring(const std::function<std::wstring(HKEY, const std::wstring&)>&)> read,
                  bool withRun, bool withOtherProduct) {
    if (withRun) {
        for (const wchar_t* name : {kRunValue, kNeighbourRunValue}) {
            items.push_back({section, where + L" ...\\CurrentVersion\\Run : " + name, [=] {
                                 return read([&](HKEY root, const std::wstring& hive) {
                                     return valueState(root, join(hive, kRunKey), name);
                                 });
                             }});
        }
    }
    std::vector<const wchar_t*> keys = {kMakerKey, kSettingsKey};
    if (withOtherProduct) {
        keys.push_back(kOtherProductKey);
    }
    for (const wchar_t* key : keys) {
        items.push_back({section, where + L" " + key, [=] {
                             return read(
                                 [&](HKEY root, const std::wstring& hive) { return keyState(root, join(hive, key)); });
                         }});
    }
}

// Reads a loaded hive where it is.
auto inLoadedHive(HKEY root, std::wstring hive) {
    return [=](const std::function<std::wstring(HKEY, const std::wstring&)>& fn) { return fn(root, hive); };
}

// Reads a profile's NTUSER.DAT by mounting it for the report and unmounting
// it unchanged.
auto inHiveFile(std::wstring file) {
    return [=](const std::function<std::wstring(HKEY, const std::wstring&)>& fn) -> std::wstring {
        if (!machine::fileExists(file)) {
            return L"no hive file";
        }
        machine::unloadHive(kReportMount);
        if (!machine::loadHive(kReportMount, file)) {
            return L"hive file cannot be mounted";
        }
        std::wstring state = fn(HKEY_USERS, kReportMount);
        machine::unloadHive(kReportMount);
        return state;
    };
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
    machine::unloadHive(kReportMount);
    for (const wchar_t* name : kOfflineProfiles) {
        const std::wstring folder = profileFolder(name);
        // Only a folder the seed made: its hive file and nothing else.
        DeleteFileW((folder + L"\\NTUSER.DAT").c_str());
        RemoveDirectoryW(folder.c_str());
    }
}

void addUsersItems(Footprint& items) {
    addHiveItems(items, L"Per-user settings: the current user (HKCU)", L"HKCU", inLoadedHive(HKEY_CURRENT_USER, L""),
                 true, false);
    const std::wstring other = std::wstring(L"HKU\\") + kOtherUser;
    addHiveItems(items, L"Per-user settings: another logged-on user (" + other + L")", L"HKU\\...-1001",
                 inLoadedHive(HKEY_USERS, kOtherUser), true, true);
    addHiveItems(items, L"Per-user settings: that user's classes hive (never purged)", L"HKU\\...-1001_Classes",
                 inLoadedHive(HKEY_USERS, kOtherUserClasses), false, false);
    for (const wchar_t* name : kOfflineProfiles) {
        const std::wstring file = profileFolder(name) + L"\\NTUSER.DAT";
        addHiveItems(items,
                     L"Offline profile " + file +
                         L": the file's content, read by mounting it for the report (Wine never writes a mounted hive "
                         L"back to its file, so the sweep's purge does not show here; on Windows it does)",
                     std::wstring(name) + L"'s NTUSER.DAT", inHiveFile(file), true, false);
    }
    items.push_back({L"Offline profile mount", L"HKU\\Korvan_Tmp_Reg",
                     [] { return machine::hiveLoaded(L"Korvan_Tmp_Reg") ? std::wstring(L"mounted") : L"free"; }});
}

}  // namespace sample
