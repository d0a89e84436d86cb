// Scheduler task migration: migrateSchedulerTasks against a plain loop of
// SHCopyKeyW and RegDeleteTreeW over the same task keys, for growing numbers
// of tasks. Both run on identical freshly seeded scheduler keys, in an order
// that alternates from one repetition to the next.

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>
#include <map>

#include "bench.h"
#include "postinstall/postinstall.h"

namespace bench {
namespace {

constexpr const wchar_t* kSuiteScheduler = L"Software\\Korvan\\ZHN\\Scheduler";
constexpr const wchar_t* kPlatformScheduler = L"Software\\Korvan\\Platform\\Scheduler";

// A task key as the suite writes one: a command, a schedule, binary flags,
// and (when `withSubkey`) a "Trigger" subkey with a value of its own.
bool seedTasks(DWORD tasks, bool withSubkey) {
    HKEY scheduler = createKey(HKEY_LOCAL_MACHINE, kSuiteScheduler);
    if (scheduler == nullptr) {
        return false;
    }
    bool seeded = true;
    for (DWORD i = 0; i < tasks && seeded; ++i) {
        wchar_t name[32];
        std::swprintf(name, 32, L"zwtask%04lu", static_cast<unsigned long>(i));
        HKEY task = createKey(scheduler, name);
        if (task == nullptr) {
            seeded = false;
            break;
        }
        const DWORD schedule = 86400 + i;
        BYTE flags[16] = {};
        flags[0] = static_cast<BYTE>(i);
        seeded = setString(task, L"Command", L"\"C:\\Program Files (x86)\\Korvan\\ZTB\\zwscan.exe\" /quick") &&
                 RegSetValueExW(task, L"Schedule", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&schedule),
                                sizeof schedule) == ERROR_SUCCESS &&
                 RegSetValueExW(task, L"Flags", 0, REG_BINARY, flags, sizeof flags) == ERROR_SUCCESS;
        if (seeded && withSubkey) {
            HKEY trigger = createKey(task, L"Trigger");
            seeded = trigger != nullptr && setString(trigger, L"Start", L"2024-01-05T03:00:00");
            if (trigger != nullptr) {
                RegCloseKey(trigger);
            }
        }
        RegCloseKey(task);
    }
    RegCloseKey(scheduler);
    return seeded;
}

void clearSchedulers() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSuiteScheduler);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPlatformScheduler);
}

DWORD subkeyCount(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return count;
}

// What an installer script would write: copy each task key with shlwapi,
// then delete the old one with its subtree.
bool copyAndDeleteLoop() {
    HKEY scheduler = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSuiteScheduler, 0, KEY_READ | KEY_WRITE, &scheduler) != ERROR_SUCCESS) {
        return false;
    }
    bool copied = true;
    for (DWORD index = 0;;) {
        wchar_t name[260];
        DWORD length = 259;
        if (RegEnumKeyExW(scheduler, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        if (std::wcsstr(name, L"zwtask") == nullptr) {
            ++index;
            continue;
        }
        wchar_t target[400];
        std::swprintf(target, 400, L"%ls\\%ls", kPlatformScheduler, name);
        HKEY destination = createKey(HKEY_LOCAL_MACHINE, target);
        if (destination == nullptr) {
            copied = false;
            break;
        }
        const bool ok = SHCopyKeyW(scheduler, name, destination, 0) == ERROR_SUCCESS;
        RegCloseKey(destination);
        if (!ok || RegDeleteTreeW(scheduler, name) != ERROR_SUCCESS) {
            copied = false;
            ++index;
        }
    }
    RegCloseKey(scheduler);
    return copied;
}

struct Method {
    const char* name;
    bool (*run)();
};

bool viaMigrateSchedulerTasks() { return installhooks::migrateSchedulerTasks(); }

const Method kOurs{"migrateSchedulerTasks", &viaMigrateSchedulerTasks};
const Method kLoop{"SHCopyKeyW + RegDeleteTreeW loop", &copyAndDeleteLoop};

}  // namespace

void runSchedulerMigration(const Options& options, Report& report) {
    Table table;
    table.title = "Scheduler task migration (median ms per task)";
    table.header = {"task keys",
                    "shape",
                    "reps",
                    "migrateSchedulerTasks",
                    "SHCopyKeyW + RegDeleteTreeW loop",
                    "ours / loop",
                    "old keys left (ours / loop)"};
    const int repetitions = options.quick ? 3 : 9;
    const std::vector<DWORD> sizes = options.quick ? std::vector<DWORD>{1, 10, 100} : std::vector<DWORD>{1, 100, 1000};
    clearSchedulers();
    for (bool withSubkey : {true, false}) {
        const char* shape = withSubkey ? "3 values + a subkey" : "3 values";
        for (DWORD tasks : sizes) {
            std::map<const Method*, std::vector<double>> seconds;
            std::map<const Method*, DWORD> left;
            std::map<const Method*, bool> failed;
            for (int rep = 0; rep < repetitions; ++rep) {
                for (int i = 0; i < 2; ++i) {
                    const Method* method = (i + rep) % 2 == 0 ? &kOurs : &kLoop;
                    clearSchedulers();
                    if (!seedTasks(tasks, withSubkey)) {
                        failed[method] = true;
                        continue;
                    }
                    const double start = now();
                    const bool result = method->run();
                    const double elapsed = now() - start;
                    // Every task must have arrived at the platform's key.
                    if (!result || subkeyCount(kPlatformScheduler) != tasks) {
                        failed[method] = true;
                    }
                    left[method] = subkeyCount(kSuiteScheduler);
                    seconds[method].push_back(elapsed);
                }
            }
            clearSchedulers();
            progress("  %lu tasks (%s) done\n", static_cast<unsigned long>(tasks), shape);
            auto perTask = [&](const Method* method) {
                return failed[method] ? -1.0 : median(seconds[method]) / tasks * 1e3;
            };
            auto cell = [&](const Method* method) {
                const double ms = perTask(method);
                return ms < 0 ? std::string("failed") : format("%.2f", ms);
            };
            const double ours = perTask(&kOurs);
            const double loop = perTask(&kLoop);
            table.rows.push_back({format("%lu", static_cast<unsigned long>(tasks)), shape, format("%d", repetitions),
                                  cell(&kOurs), cell(&kLoop),
                                  ours > 0 && loop > 0 ? format("%.2f", ours / loop) : std::string("-"),
                                  format("%lu / %lu", static_cast<unsigned long>(left[&kOurs]),
                                         static_cast<unsigned long>(left[&kLoop]))});
            for (const Method* method : {&kOurs, &kLoop}) {
                if (perTask(method) > 0) {
                    report.seriesFor("migration", format("%s, %s", method->name, shape))
                        .points.emplace_back(tasks, perTask(method));
                }
            }
        }
    }
    table.notes.push_back(
        "Task keys \"zwtask0000\"... below HKLM\\Software\\Korvan\\ZHN\\Scheduler (32-bit view), each with a "
        "string, a DWORD and 16 bytes of binary; \"a subkey\" adds a \"Trigger\" subkey with one value. Each "
        "repetition seeds the scheduler key afresh for each method and times only the move.");
    table.notes.push_back(
        "Old keys left: task keys still below the suite's scheduler key after the move, ours / the loop's (0: "
        "every task moved). The loop copies each task key with SHCopyKeyW and deletes it with RegDeleteTreeW.");
    report.tables.push_back(table);
}

}  // namespace bench
