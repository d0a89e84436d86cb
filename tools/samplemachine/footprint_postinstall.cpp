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

const wchar_t* const kAgentFiles[] = {L"shred.adf", L"shd.adf", L"ZWL.ADF", L"agent.cfg"};

// The agent's folder below the Program Files folder this 32-bit process
// sees ("Program Files (x86)" on 64-bit Windows).
std::wstring agentFolder() { return machine::shellFolder(CSIDL_PROGRAM_FILES) + L"\\KorvanNet\\Agent\\app"; }

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
    const std::wstring config = agentFolder() + L"\\agent.cfg";
    items.push_back({L"Obsolete agent data files", config + L" (stays)", [=] { return footprint::fileState(config); }});
    const std::wstring daily = kPresets + L"\\Daily";
    items.push_back({L"Obsolete settings (32-bit view)", L"HKLM ...\\ZHN\\Settings\\TaskSchedulePreset\\Daily (stays)",
                     [=] { return footprint::keyState(HKEY_LOCAL_MACHINE, daily); }});
}

}  // namespace sample
