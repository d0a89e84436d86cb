// Offline profile sweep: sweepOfflineProfiles over growing numbers of
// offline profiles, and the share of its time spent mounting and unmounting
// their hives (RegLoadKeyW / RegUnLoadKeyW, timed through the program's
// import table).

#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "bench.h"
#include "counting.h"
#include "machine/machine.h"
#include "preuninstall/preuninstall.h"

namespace bench {
namespace {

// A plain (saved) key, not below the volatile bench root: wineserver saves
// no volatile key into a hive file.
constexpr const wchar_t* kHiveSource = L"Software\\InstallHooksBenchHive";
constexpr const wchar_t* kProfilePrefix = L"benchuser";
constexpr DWORD kFillerKeys = 300;

bool setIn(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* text) {
    HKEY key = createKey(root, path);
    if (key == nullptr) {
        return false;
    }
    const bool set = setString(key, name, text);
    RegCloseKey(key);
    return set;
}

// The hive of a user who has the product: its Run value and settings key,
// another program's Run value, and a few hundred keys of other software.
HKEY buildHiveSource() {
    HKEY source = createKey(HKEY_CURRENT_USER, kHiveSource);
    if (source == nullptr) {
        return nullptr;
    }
    bool built =
        setIn(source, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"DelayShred",
              L"\"C:\\Program Files (x86)\\Korvan\\ZTB\\shred.exe\" /delay") &&
        setIn(source, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"OtherTool", L"C:\\Tools\\other.exe") &&
        setIn(source, L"Software\\Korvan\\ZTB\\Settings", L"Language", L"en-US") &&
        setIn(source, L"Software\\Korvan\\ZTB\\History", L"LastScan", L"2024-01-05");
    for (DWORD i = 0; i < kFillerKeys && built; ++i) {
        wchar_t path[64];
        std::swprintf(path, 64, L"Software\\Vendor%lu\\App\\Settings", static_cast<unsigned long>(i % 30));
        wchar_t name[32];
        std::swprintf(name, 32, L"Option%lu", static_cast<unsigned long>(i));
        wchar_t sub[96];
        std::swprintf(sub, 96, L"%ls\\%ls", path, name);
        built = setIn(source, sub, L"Value", L"a setting of some other program");
    }
    if (!built) {
        RegCloseKey(source);
        RegDeleteTreeW(HKEY_CURRENT_USER, kHiveSource);
        return nullptr;
    }
    return source;
}

std::wstring profilesDirectory() {
    std::wstring own = machine::shellFolder(CSIDL_PROFILE);
    const std::size_t slash = own.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : own.substr(0, slash);
}

std::wstring profileFolder(const std::wstring& directory, DWORD index) {
    wchar_t name[32];
    std::swprintf(name, 32, L"%ls%02lu", kProfilePrefix, static_cast<unsigned long>(index));
    return directory + L"\\" + name;
}

// Writes every profile's NTUSER.DAT afresh, so each repetition finds the
// product's keys to purge (Wine does not write a mounted hive back, but a
// sweep on Windows would have emptied them).
bool writeHives(HKEY source, const std::wstring& directory, DWORD profiles) {
    for (DWORD i = 0; i < profiles; ++i) {
        const std::wstring folder = profileFolder(directory, i);
        if (!machine::createDirectories(folder)) {
            return false;
        }
        const std::wstring hive = folder + L"\\NTUSER.DAT";
        DeleteFileW(hive.c_str());
        if (RegSaveKeyW(source, hive.c_str(), nullptr) != ERROR_SUCCESS) {
            return false;
        }
    }
    return true;
}

void removeProfiles(const std::wstring& directory, DWORD profiles) {
    for (DWORD i = 0; i < profiles; ++i) {
        machine::removeDirectoryTree(profileFolder(directory, i));
    }
}

bool mountIsFree() {
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExW(HKEY_USERS, L"Korvan_Tmp_Reg", 0, KEY_READ, &key);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return status == ERROR_FILE_NOT_FOUND;
}

}  // namespace

void runProfileSweep(const Options& options, Report& report) {
    const std::wstring directory = profilesDirectory();
    if (directory.empty() || !machine::enablePrivilege(L"SeBackupPrivilege")) {
        progress("sweep: no profiles directory, or SeBackupPrivilege cannot be had\n");
        return;
    }
    HKEY source = buildHiveSource();
    if (source == nullptr) {
        progress("sweep: cannot build the hive to save\n");
        return;
    }

    Table table;
    table.title = "Offline profile sweep (median of the repetitions)";
    table.header = {"offline profiles",
                    "reps",
                    "sweep (ms)",
                    "ms per profile",
                    "extra ms per profile vs none",
                    "RegLoadKeyW+RegUnLoadKeyW share",
                    "loads / unloads per sweep"};
    const int repetitions = options.quick ? 3 : 11;
    const std::vector<DWORD> sizes = options.quick ? std::vector<DWORD>{0, 1, 5} : std::vector<DWORD>{0, 1, 10, 50};
    DWORD largest = 0;
    double emptySweep = -1;
    for (DWORD profiles : sizes) {
        largest = profiles > largest ? profiles : largest;
        std::vector<double> totals;
        std::vector<double> shares;
        long loads = 0;
        long unloads = 0;
        bool failed = false;
        for (int rep = 0; rep < repetitions && !failed; ++rep) {
            if (!writeHives(source, directory, profiles)) {
                failed = true;
                break;
            }
            HiveMountTimer timer;
            if (!timer.applied()) {
                failed = true;
                break;
            }
            const double start = now();
            const bool walked = installhooks::sweepOfflineProfiles();
            const double elapsed = now() - start;
            if (!walked || !mountIsFree()) {
                failed = true;
            }
            totals.push_back(elapsed);
            shares.push_back((timer.loadSeconds() + timer.unloadSeconds()) / elapsed);
            loads = timer.loads();
            unloads = timer.unloads();
        }
        progress("  %lu offline profiles done\n", static_cast<unsigned long>(profiles));
        if (failed || totals.empty()) {
            table.rows.push_back({format("%lu", static_cast<unsigned long>(profiles)), format("%d", repetitions),
                                  "failed", "-", "-", "-", "-"});
            continue;
        }
        const double total = median(totals);
        if (profiles == 0) {
            emptySweep = total;
        }
        const bool any = profiles > 0;
        table.rows.push_back(
            {format("%lu", static_cast<unsigned long>(profiles)), format("%d", repetitions),
             format("%.1f", total * 1e3), any ? format("%.2f", total / profiles * 1e3) : std::string("-"),
             any && emptySweep >= 0 ? format("%.2f", (total - emptySweep) / profiles * 1e3) : std::string("-"),
             format("%.0f%%", median(shares) * 100), format("%ld / %ld", loads, unloads)});
        if (any) {
            report.seriesFor("sweep", "sweepOfflineProfiles, ms per profile")
                .points.emplace_back(profiles, total / profiles * 1e3);
            if (emptySweep >= 0) {
                report.seriesFor("sweep", "extra ms per profile over an empty sweep")
                    .points.emplace_back(profiles, (total - emptySweep) / profiles * 1e3);
            }
        }
    }
    removeProfiles(directory, largest);
    RegCloseKey(source);
    RegDeleteTreeW(HKEY_CURRENT_USER, kHiveSource);

    table.notes.push_back(format(
        "Each offline profile is a folder %ls\\%ls<nn> whose NTUSER.DAT is saved with RegSaveKeyW "
        "(SeBackupPrivilege) from a key holding the product's Run value and settings and %lu keys of other "
        "software; the folders are removed afterwards. The sweep also meets the prefix's own folders (Public: no "
        "hive, so one failed load; the calling account's: skipped).",
        directory.c_str(), kProfilePrefix, static_cast<unsigned long>(kFillerKeys)));
    table.notes.push_back(
        "The sweep first purges the loaded hives and walks the folder; the row with no offline profile is that "
        "fixed part. The share is the time inside RegLoadKeyW and RegUnLoadKeyW over the whole sweep.");
    report.tables.push_back(table);
}

}  // namespace bench
