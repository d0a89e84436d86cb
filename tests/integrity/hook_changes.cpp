#include "integrity/hook_changes.h"

#include <windows.h>

#include <shlobj.h>

#include "machine/machine.h"

namespace integrity {
namespace {

const std::wstring kMachine32 = L"HKLM32\\Software\\Korvan";
const std::wstring kClasses32 = L"HKLM32\\Software\\Classes\\CLSID";
const std::wstring kRun = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

}  // namespace

const Places& places() {
    static const Places found = [] {
        Places p;
        p.programFiles = machine::shellFolder(CSIDL_PROGRAM_FILES);
        p.sendTo = machine::shellFolder(CSIDL_SENDTO);
        const std::wstring own = machine::shellFolder(CSIDL_PROFILE);
        p.profiles = own.substr(0, own.rfind(L'\\'));
        p.currentUserHive = machine::currentUserSid();
        return p;
    }();
    return found;
}

std::wstring offlineHiveFile(const std::wstring& profile) {
    return places().profiles + L"\\" + profile + L"\\NTUSER.DAT";
}

std::vector<Change> stampChanges(const std::wstring& gmtLine, const std::wstring& dateLine) {
    const std::wstring substitute = L"HKLM64\\Software\\Korvan\\ZTB\\AppInfo\\Substitute";
    return {removeValue(substitute, L"gmt"), removeValue(substitute, L"date"), addLine(gmtLine), addLine(dateLine)};
}

std::vector<Change> obsoleteDataFileChanges() {
    const std::wstring app = places().programFiles + L"\\KorvanNet\\Agent\\app\\";
    // agent.cfg beside them stays.
    return {removeFile(app + L"shred.adf"), removeFile(app + L"shd.adf"), removeFile(app + L"ZWL.ADF")};
}

std::vector<Change> obsoleteSettingsChanges() {
    const std::wstring substitute = kMachine32 + L"\\ZTB\\AppInfo\\Substitute";
    // "date" and "version" stay in the 32-bit view, the "Daily" preset beside "ZKW".
    return {
        removeValue(substitute, L"buildLD"),
        removeValue(substitute, L"domain"),
        removeValue(substitute, L"lang"),
        removeTree(kMachine32 + L"\\ZTB\\AppInfo\\OEM"),
        removeTree(kMachine32 + L"\\ZHN\\Settings\\TaskSchedulePreset\\ZKW"),
    };
}

std::vector<Change> taskMigrationChanges() {
    const std::wstring suite = kMachine32 + L"\\ZHN\\Scheduler\\";
    const std::wstring platform = kMachine32 + L"\\Platform\\Scheduler";
    // "Shred.ZWTASK" (the marker in capitals) and "Updater" stay.
    return {
        moveTree(suite + L"Backup.zwtask", platform + L"\\Backup.zwtask"),
        moveTree(suite + L"Report.zwtask", platform + L"\\Report.zwtask"),
        addLine(L"K " + kMachine32 + L"\\Platform"),
        addLine(L"K " + platform),
    };
}

std::vector<Change> shellIntegrationChanges() {
    // The neighbouring Send To entry, handler and class key stay.
    return {
        removeFile(places().sendTo + L"\\Korvan Eraser.KorvanEraser"),
        removeTree(kClasses32 + L"\\{645FF040-5081-101B-9F08-00AA002F954E}\\shellex\\ContextMenuHandlers\\"
                                L"{A7C2D915-3B6E-4d2a-9F47-1E8B0C5D3A62}"),
        removeTree(kClasses32 + L"\\{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c845}"),
    };
}

std::vector<Change> loadedHivesChanges() {
    const std::wstring current = L"HKU\\" + places().currentUserHive;
    const std::wstring other = std::wstring(L"HKU\\") + kOtherUserHive;
    // The current user's maker key holds nothing else and goes with the
    // settings; the other user's keeps another product. That user's Run
    // value and classes hive stay.
    return {
        removeValue(current + L"\\" + kRun, L"DelayShred"),
        removeTree(current + L"\\Software\\Korvan"),
        removeTree(other + L"\\Software\\Korvan\\ZTB"),
    };
}

std::vector<Change> offlineProfileChanges(const std::wstring& profile) {
    const std::wstring hive = L"HIVE(" + offlineHiveFile(profile) + L")";
    return {removeValue(hive + L"\\" + kRun, L"DelayShred"), removeTree(hive + L"\\Software\\Korvan")};
}

std::vector<Change> joined(const std::vector<std::vector<Change>>& parts) {
    std::vector<Change> all;
    for (const std::vector<Change>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace integrity
