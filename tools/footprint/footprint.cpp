#include "footprint/footprint.h"

#include <shlobj.h>

#include <algorithm>

#include "machine/hives.h"
#include "machine/machine.h"

namespace footprint {
namespace {

using machine::kView32;
using machine::kView64;

const wchar_t kAppInfo[] = L"Software\\Korvan\\ZTB\\AppInfo";
const wchar_t kSubstitute[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";
const wchar_t kPreset[] = L"Software\\Korvan\\ZHN\\Settings\\TaskSchedulePreset\\ZKW";
const wchar_t kSuiteScheduler[] = L"Software\\Korvan\\ZHN\\Scheduler";
const wchar_t kPlatformScheduler[] = L"Software\\Korvan\\Platform\\Scheduler";
const wchar_t* const kAgentFiles[] = {L"shred.adf", L"shd.adf", L"ZWL.ADF"};
const wchar_t* const kSubstituteValues[] = {L"gmt", L"date", L"buildLD", L"domain", L"lang"};
const wchar_t kSendToFile[] = L"Korvan Eraser.KorvanEraser";
const wchar_t kHandlerKey[] =
    L"SOFTWARE\\Classes\\CLSID\\{645FF040-5081-101B-9F08-00AA002F954E}\\shellex\\ContextMenuHandlers\\"
    L"{A7C2D915-3B6E-4d2a-9F47-1E8B0C5D3A62}";
const wchar_t kClassKey[] = L"SOFTWARE\\Classes\\CLSID\\{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c845}";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"DelayShred";
const wchar_t kMakerKey[] = L"Software\\Korvan";
const wchar_t kSettingsKey[] = L"Software\\Korvan\\ZTB";
const wchar_t kMountName[] = L"Korvan_Tmp_Reg";
const wchar_t* const kSkippedProfiles[] = {L"All Users", L"Default User", L"LocalService", L"NetworkService"};

std::wstring join(const std::wstring& parent, const std::wstring& child) {
    return parent.empty() ? child : parent + L"\\" + child;
}

std::wstring treeSummary(HKEY root, const std::wstring& path, REGSAM view) {
    std::size_t keys = 0;
    std::size_t values = 0;
    for (const std::wstring& line : machine::dumpTree(root, path, view)) {
        ++(line.rfind(L"[", 0) == 0 ? keys : values);
    }
    return std::to_wstring(keys) + (keys == 1 ? L" key, " : L" keys, ") + std::to_wstring(values) +
           (values == 1 ? L" value" : L" values");
}

std::wstring taskState(const std::wstring& name) {
    const std::wstring suite = std::wstring(kSuiteScheduler) + L"\\" + name;
    const std::wstring platform = std::wstring(kPlatformScheduler) + L"\\" + name;
    const bool inSuite = machine::keyExists(HKEY_LOCAL_MACHINE, suite);
    const bool inPlatform = machine::keyExists(HKEY_LOCAL_MACHINE, platform);
    if (inSuite && inPlatform) {
        return L"both (ZHN: " + treeSummary(HKEY_LOCAL_MACHINE, suite, 0) + L"; Platform: " +
               treeSummary(HKEY_LOCAL_MACHINE, platform, 0) + L")";
    }
    if (inSuite) {
        return L"under ZHN\\Scheduler (" + treeSummary(HKEY_LOCAL_MACHINE, suite, 0) + L")";
    }
    if (inPlatform) {
        return L"under Platform\\Scheduler (" + treeSummary(HKEY_LOCAL_MACHINE, platform, 0) + L")";
    }
    return L"absent";
}

bool lessNoCase(const std::wstring& a, const std::wstring& b) { return lstrcmpiW(a.c_str(), b.c_str()) < 0; }

void addSubstitute(Items& items, const wchar_t* viewName, REGSAM view) {
    std::vector<std::wstring> names(std::begin(kSubstituteValues), std::end(kSubstituteValues));
    std::vector<std::wstring> others = machine::valueNames(HKEY_LOCAL_MACHINE, kSubstitute, view);
    std::sort(others.begin(), others.end(), lessNoCase);
    for (const std::wstring& name : others) {
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::wstring& n) { return lstrcmpiW(n.c_str(), name.c_str()) == 0; })) {
            names.push_back(name);
        }
    }
    for (const std::wstring& name : names) {
        items.push_back({L"Install date stamp and Substitute values",
                         std::wstring(L"HKLM ") + viewName + L" ...\\AppInfo\\Substitute : " + name,
                         [=] { return valueState(HKEY_LOCAL_MACHINE, kSubstitute, name, view); }});
    }
}

void addPostInstall(Items& items) {
    addSubstitute(items, L"64-bit view", kView64);
    addSubstitute(items, L"32-bit view", kView32);

    const std::wstring agent = machine::shellFolder(CSIDL_PROGRAM_FILES) + L"\\KorvanNet\\Agent\\app";
    for (const wchar_t* file : kAgentFiles) {
        const std::wstring path = agent + L"\\" + file;
        items.push_back({L"Obsolete agent data files", path, [=] { return fileState(path); }});
    }

    const wchar_t settings[] = L"Obsolete settings (32-bit view)";
    const std::wstring oem = std::wstring(kAppInfo) + L"\\OEM";
    items.push_back({settings, L"HKLM ...\\ZTB\\AppInfo\\OEM", [=] { return keyState(HKEY_LOCAL_MACHINE, oem); }});
    items.push_back({settings, L"HKLM ...\\ZHN\\Settings\\TaskSchedulePreset\\ZKW",
                     [] { return keyState(HKEY_LOCAL_MACHINE, kPreset); }});

    const wchar_t tasks[] = L"Scheduler task keys (32-bit view)";
    items.push_back({tasks, L"HKLM ...\\ZHN\\Scheduler", [] { return keyState(HKEY_LOCAL_MACHINE, kSuiteScheduler); }});
    items.push_back(
        {tasks, L"HKLM ...\\Platform\\Scheduler", [] { return keyState(HKEY_LOCAL_MACHINE, kPlatformScheduler); }});
    std::vector<std::wstring> names = machine::subkeyNames(HKEY_LOCAL_MACHINE, kSuiteScheduler);
    for (const std::wstring& name : machine::subkeyNames(HKEY_LOCAL_MACHINE, kPlatformScheduler)) {
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::wstring& n) { return lstrcmpiW(n.c_str(), name.c_str()) == 0; })) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), lessNoCase);
    for (const std::wstring& name : names) {
        items.push_back({tasks, L"task " + name, [=] { return taskState(name); }});
    }
}

void addShell(Items& items) {
    const wchar_t section[] = L"Shell integration";
    const std::wstring sendTo = machine::shellFolder(CSIDL_SENDTO) + L"\\" + kSendToFile;
    items.push_back({section, std::wstring(L"Send To\\") + kSendToFile, [=] { return fileState(sendTo); }});
    items.push_back({section, L"HKLM ...\\ContextMenuHandlers\\{A7C2D915-...3A62}",
                     [] { return keyState(HKEY_LOCAL_MACHINE, kHandlerKey); }});
    items.push_back(
        {section, L"HKLM ...\\CLSID\\{5e3b9a17-...c845}", [] { return keyState(HKEY_LOCAL_MACHINE, kClassKey); }});
}

using HiveReader = std::function<std::wstring(const std::function<std::wstring(HKEY, const std::wstring&)>&)>;

void addHive(Items& items, const std::wstring& section, const std::wstring& where, const HiveReader& read,
             bool withRun) {
    if (withRun) {
        items.push_back({section, where + L" ...\\CurrentVersion\\Run : " + kRunValue, [=] {
                             return read([](HKEY root, const std::wstring& hive) {
                                 return valueState(root, join(hive, kRunKey), kRunValue);
                             });
                         }});
    }
    for (const wchar_t* key : {kMakerKey, kSettingsKey}) {
        items.push_back({section, where + L" " + key, [=] {
                             return read(
                                 [&](HKEY root, const std::wstring& hive) { return keyState(root, join(hive, key)); });
                         }});
    }
}

HiveReader inLoadedHive(HKEY root, const std::wstring& hive) {
    return [=](const std::function<std::wstring(HKEY, const std::wstring&)>& fn) { return fn(root, hive); };
}

void addUsers(Items& items) {
    addHive(items, L"Per-user settings: the current user (HKCU)", L"HKCU", inLoadedHive(HKEY_CURRENT_USER, L""), true);
    const std::wstring own = machine::currentUserSid();
    for (const std::wstring& hive : machine::subkeyNames(HKEY_USERS, L"")) {
        if (lstrcmpiW(hive.c_str(), own.c_str()) == 0) {
            continue;
        }
        const bool purged = hive.size() >= 10 && hive.find(L"_Classes") == std::wstring::npos;
        addHive(items, L"Per-user settings: loaded hive HKU\\" + hive + (purged ? L"" : L" (never purged)"),
                L"HKU\\" + hive, inLoadedHive(HKEY_USERS, hive), false);
    }
    for (const std::wstring& folder : offlineProfileFolders()) {
        const std::wstring file = folder + L"\\NTUSER.DAT";
        const std::wstring name = folder.substr(folder.rfind(L'\\') + 1);
        addHive(
            items, L"Offline profile " + file, name + L"'s NTUSER.DAT",
            [=](const std::function<std::wstring(HKEY, const std::wstring&)>& fn) { return inHiveFile(file, fn); },
            true);
    }
    items.push_back({L"Offline profile mount", std::wstring(L"HKU\\") + kMountName,
                     [] { return machine::hiveLoaded(kMountName) ? std::wstring(L"mounted") : L"free"; }});
}

// Enables a privilege for the lifetime of the object, and puts it back as
// it was.
class PrivilegeForAMoment {
public:
    explicit PrivilegeForAMoment(const wchar_t* name) {
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_) == FALSE) {
            token_ = nullptr;
            return;
        }
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = 0;
        held_ = LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) != FALSE &&
                AdjustTokenPrivileges(token_, FALSE, &wanted, sizeof previous_, &previous_, &size) != FALSE &&
                GetLastError() == ERROR_SUCCESS;
    }
    ~PrivilegeForAMoment() {
        if (token_ != nullptr) {
            if (held_) {
                AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
            }
            CloseHandle(token_);
        }
    }
    PrivilegeForAMoment(const PrivilegeForAMoment&) = delete;
    PrivilegeForAMoment& operator=(const PrivilegeForAMoment&) = delete;
    bool held() const { return held_; }

private:
    HANDLE token_ = nullptr;
    TOKEN_PRIVILEGES previous_{};
    bool held_ = false;
};

}  // namespace

std::wstring keyState(HKEY root, const std::wstring& path, REGSAM view) {
    const std::vector<std::wstring> lines = machine::dumpTree(root, path, view);
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

std::wstring valueState(HKEY root, const std::wstring& path, const std::wstring& name, REGSAM view) {
    return machine::describe(machine::readValue(root, path, name, view));
}

std::wstring fileState(const std::wstring& path) { return machine::fileExists(path) ? L"present" : L"absent"; }

std::wstring inHiveFile(const std::wstring& file,
                        const std::function<std::wstring(HKEY root, const std::wstring& hive)>& read) {
    if (!machine::fileExists(file)) {
        return L"no hive file";
    }
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    wchar_t mount[64];
    wsprintfW(mount, L"KorvanFootprintRead%lu", GetCurrentProcessId());
    const std::wstring copy = std::wstring(folder) + mount + L".dat";
    if (CopyFileW(file.c_str(), copy.c_str(), FALSE) == FALSE) {
        return L"hive file cannot be read (error " + std::to_wstring(GetLastError()) + L")";
    }
    std::wstring state = L"hive file cannot be mounted";
    {
        PrivilegeForAMoment restore(L"SeRestorePrivilege");
        if (restore.held() && RegLoadKeyW(HKEY_USERS, mount, copy.c_str()) == ERROR_SUCCESS) {
            state = read(HKEY_USERS, mount);
            RegUnLoadKeyW(HKEY_USERS, mount);
        }
    }
    for (const wchar_t* suffix : {L"", L".LOG", L".LOG1", L".LOG2"}) {
        DeleteFileW((copy + suffix).c_str());
    }
    return state;
}

std::vector<std::wstring> offlineProfileFolders() {
    std::vector<std::wstring> folders;
    const std::wstring own = machine::shellFolder(CSIDL_PROFILE);
    const std::size_t slash = own.rfind(L'\\');
    if (slash == std::wstring::npos) {
        return folders;
    }
    const std::wstring profiles = own.substr(0, slash);
    wchar_t user[520] = {};
    DWORD length = 520;
    if (GetUserNameW(user, &length) == FALSE) {
        user[0] = 0;
    }
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((profiles + L"\\*.*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return folders;
    }
    do {
        const std::wstring name = entry.cFileName;
        const bool skipped = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || name.rfind(L".", 0) == 0 ||
                             std::any_of(std::begin(kSkippedProfiles), std::end(kSkippedProfiles),
                                         [&](const wchar_t* skip) { return name == skip; }) ||
                             name == user;
        if (!skipped) {
            folders.push_back(profiles + L"\\" + name);
        }
    } while (FindNextFileW(find, &entry) != FALSE);
    FindClose(find);
    return folders;
}

Items product() {
    Items items;
    addPostInstall(items);
    addShell(items);
    addUsers(items);
    return items;
}

std::vector<State> read(const Items& items) {
    std::vector<State> states;
    states.reserve(items.size());
    for (const Item& item : items) {
        states.push_back({item.section, item.label, item.state()});
    }
    return states;
}

}  // namespace footprint
