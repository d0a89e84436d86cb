// What DllPostInstall works on: the product's Substitute key (stamped in the
// 64-bit view, cleaned of obsolete values in the 32-bit one), the agent's
// obsolete data files, the obsolete "OEM" key and "ZKW" preset, and the
// suite's scheduler task keys that move to the platform's scheduler.

#include <windows.h>

#include <shlobj.h>

#include "machine/machine.h"
#include "samplemachine/footprint.h"

namespace sample {
namespace {

using machine::kView32;
using machine::kView64;

const wchar_t kSubstitute[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";
const std::wstring kOem = L"Software\\Korvan\\ZTB\\AppInfo\\OEM";
const std::wstring kPresets = L"Software\\Korvan\\ZHN\\Settings\\TaskSchedulePreset";
const std::wstring kSuiteScheduler = L"Software\\Korvan\\ZHN\\Scheduler";
const std::wstring kPlatformScheduler = L"Software\\Korvan\\Platform\\Scheduler";

const wchar_t* const kAgentFiles[] = {L"shred.adf", L"shd.adf", L"ZWL.ADF", L"agent.cfg"};
const wchar_t* const kTasks[] = {L"Backup.zwtask", L"Report.zwtask", L"Shred.ZWTASK", L"Updater"};

// The agent's folder below the Program Files folder this 32-bit process
// sees ("Program Files (x86)" on 64-bit Windows).
std::wstring agentFolder() { return machine::shellFolder(CSIDL_PROGRAM_FILES) + L"\\KorvanNet\\Agent\\app"; }

std::wstring valueState(const wchar_t* name, REGSAM view) {
    return machine::describe(machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, name, view));
}

void addValue(Footprint& items, const wchar_t* viewName, REGSAM view, const wchar_t* name) {
    items.push_back({L"Install date stamp and Substitute values",
                     std::wstring(L"HKLM ") + viewName + L" ...\\AppInfo\\Substitute : " + name,
                     [=] { return valueState(name, view); }});
}

// "3 keys, 5 values" for a key and everything below it.
std::wstring treeSummary(const std::wstring& path) {
    int keys = 0;
    int values = 0;
    for (const std::wstring& line : machine::dumpTree(HKEY_LOCAL_MACHINE, path, kView32)) {
        ++(line.rfind(L"[", 0) == 0 ? keys : values);
    }
    return std::to_wstring(keys) + (keys == 1 ? L" key, " : L" keys, ") + std::to_wstring(values) +
           (values == 1 ? L" value" : L" values");
}

std::wstring keyState(const std::wstring& path) {
    return machine::keyExists(HKEY_LOCAL_MACHINE, path, kView32) ? L"present (" + treeSummary(path) + L")" : L"absent";
}

std::wstring taskState(const std::wstring& name) {
    const std::wstring suite = kSuiteScheduler + L"\\" + name;
    const std::wstring platform = kPlatformScheduler + L"\\" + name;
    const bool inSuite = machine::keyExists(HKEY_LOCAL_MACHINE, suite, kView32);
    const bool inPlatform = machine::keyExists(HKEY_LOCAL_MACHINE, platform, kView32);
    if (inSuite && inPlatform) {
        return L"both (ZHN: " + treeSummary(suite) + L"; Platform: " + treeSummary(platform) + L")";
    }
    if (inSuite) {
        return L"under ZHN\\Scheduler (" + treeSummary(suite) + L")";
    }
    if (inPlatform) {
        return L"under Platform\\Scheduler (" + treeSummary(platform) + L")";
    }
    return L"absent";
}

void seedTask(const std::wstring& path, const std::wstring& command) {
    machine::setString(HKEY_LOCAL_MACHINE, path, L"Command", command, kView32);
    machine::setDword(HKEY_LOCAL_MACHINE, path, L"Interval", 86400, kView32);
}

}  // namespace

void seedPostInstall() {
    // The 64-bit view holds an old stamp of other types and sizes.
    machine::setDword(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", 20200101, kView64);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"date", L"1/1/2020", kView64);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"version", L"7.2.1", kView64);
    // The 32-bit view holds the values of older releases.
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"buildLD", L"7.0.0.1184", kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"domain", L"update.korvan.example", kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"lang", L"en-US", kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"date", L"3/14/2019", kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"version", L"7.2.1", kView32);

    // The agent's data files of older releases, and its configuration, which
    // stays.
    const std::wstring folder = agentFolder();
    machine::createDirectories(folder);
    for (const wchar_t* file : kAgentFiles) {
        machine::writeFile(folder + L"\\" + file);
    }

    machine::setString(HKEY_LOCAL_MACHINE, kOem, L"Vendor", L"Acme PC", kView32);
    machine::setDword(HKEY_LOCAL_MACHINE, kOem, L"Bundle", 3, kView32);

    // The obsolete "ZKW" preset, nested, beside a preset that stays.
    machine::setString(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW", L"Name", L"Night shred", kView32);
    machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW\\Night", L"Hour", 23, kView32);
    machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW\\Night\\Window", L"Minutes", 90, kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kPresets + L"\\Daily", L"Name", L"Daily scan", kView32);

    // The suite's scheduler: two tasks (one with subkeys of its own), a key
    // with the marker only in capitals and a key that is no task.
    seedTask(kSuiteScheduler + L"\\Backup.zwtask", L"zhn.exe /backup");
    seedTask(kSuiteScheduler + L"\\Report.zwtask", L"zhn.exe /report");
    seedTask(kSuiteScheduler + L"\\Report.zwtask\\Daily", L"zhn.exe /report daily");
    machine::setDword(HKEY_LOCAL_MACHINE, kSuiteScheduler + L"\\Report.zwtask\\Daily\\Window", L"Minutes", 30, kView32);
    seedTask(kSuiteScheduler + L"\\Shred.ZWTASK", L"zhn.exe /shred");
    seedTask(kSuiteScheduler + L"\\Updater", L"zhn.exe /update");
}

void clearPostInstall() {
    machine::deleteTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView64);
    machine::deleteTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32);
    // Only what the seed made: the folders go only when left empty.
    const std::wstring folder = agentFolder();
    for (const wchar_t* file : kAgentFiles) {
        DeleteFileW((folder + L"\\" + file).c_str());
    }
    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str());
    RemoveDirectoryW(folder.substr(0, folder.rfind(L"\\Agent\\app")).c_str());
}

void addPostInstallItems(Footprint& items) {
    for (const wchar_t* name : {L"gmt", L"date", L"version"}) {
        addValue(items, L"64-bit view", kView64, name);
    }
    for (const wchar_t* name : {L"buildLD", L"domain", L"lang", L"gmt", L"date", L"version"}) {
        addValue(items, L"32-bit view", kView32, name);
    }

    for (const wchar_t* file : kAgentFiles) {
        const std::wstring path = agentFolder() + L"\\" + file;
        items.push_back({L"Obsolete agent data files", path,
                         [=] { return machine::fileExists(path) ? std::wstring(L"present") : L"absent"; }});
    }

    items.push_back(
        {L"Obsolete settings (32-bit view)", L"HKLM ...\\ZTB\\AppInfo\\OEM", [] { return keyState(kOem); }});
    for (const wchar_t* preset : {L"ZKW", L"Daily"}) {
        const std::wstring path = kPresets + L"\\" + preset;
        items.push_back({L"Obsolete settings (32-bit view)",
                         std::wstring(L"HKLM ...\\ZHN\\Settings\\TaskSchedulePreset\\") + preset,
                         [=] { return keyState(path); }});
    }

    for (const wchar_t* task : kTasks) {
        const std::wstring name = task;
        items.push_back({L"Scheduler task keys (32-bit view)", L"task " + name, [=] { return taskState(name); }});
    }
}

}  // namespace sample
