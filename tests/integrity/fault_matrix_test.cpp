// The fault matrix: every call that a hook makes through the DLL's import
// table on the seeded sample machine is made to fail, one at a time, the way
// that call really fails. Whatever fails, the hook returns 0, leaves no
// registry key, search or token open, leaves the mount free, changes nothing
// that a clean run would not change, and the operations after the failing
// one still do their work.

#include <windows.h>

#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/mount_watch.h"
#include "integrity/hook_changes.h"
#include "integrity/machine_state.h"
#include "machine/hives.h"
#include "machine/machine.h"
#include "samplemachine/footprint.h"
#include "support/fixtures.h"
#include "support/import_recorder.h"

using namespace integrity;
using testing_support::HookLibrary;
using testing_support::ImportRecorder;
using testing_support::MountEvent;
using testing_support::MountWatch;

namespace {

const wchar_t kMountName[] = L"Korvan_Tmp_Reg";

// One call of a clean run, with what tells the operations apart.
struct Call {
    std::string function;
    HKEY parent = nullptr;  // RegOpenKeyExW
    std::wstring path;      // RegOpenKeyExW: the subkey; RegLoadKeyW: the hive file
    REGSAM access = 0;      // RegOpenKeyExW
    int folder = -1;        // SHGetFolderPathW: the CSIDL
};

std::wstring wideArgument(DWORD word) {
    const auto* text = reinterpret_cast<const wchar_t*>(word);
    return text != nullptr ? std::wstring(text) : std::wstring();
}

Call describeCall(const std::string& function, const DWORD* arguments) {
    Call call;
    call.function = function;
    if (function == "RegOpenKeyExW") {
        call.parent = reinterpret_cast<HKEY>(arguments[0]);
        call.path = wideArgument(arguments[1]);
        call.access = arguments[3];
    } else if (function == "RegLoadKeyW") {
        call.path = wideArgument(arguments[2]);
    } else if (function == "SHGetFolderPathW") {
        call.folder = static_cast<int>(arguments[1]);
    }
    return call;
}

bool isAllocation(const std::string& function) { return function == "HeapAlloc"; }

// One operation of a hook, or a part of the offline profile sweep that runs
// whatever happened in the part before it: where its calls begin in the
// clean run, and what it changes.
struct Unit {
    std::string name;
    std::size_t begin = 0;
    bool inSweep = false;
    bool offlineProfile = false;
    std::vector<Change> changes;
};

// The DLL loaded on its own, every import recorded, every mount written
// back to its hive file on the unmount.
struct Session {
    Session() : recorder(dll.module()), writeBack(dll.module(), [this] { return recorder.openKeys(); }) {}
    HookLibrary dll;
    ImportRecorder recorder;
    MountWatch writeBack;
};

// The stamp's values hold the time of each run: compared as "written by a
// run", not by their content, which the stamp's own tests check.
Lines normalized(const Lines& lines) {
    const std::wstring substitute = L"V HKLM64\\Software\\Korvan\\ZTB\\AppInfo\\Substitute : ";
    Lines result;
    result.reserve(lines.size());
    for (const std::wstring& line : lines) {
        if (line.rfind(substitute + L"gmt = ", 0) == 0 &&
            line.find(L"UTC (REG_BINARY, 16 bytes)") != std::wstring::npos) {
            result.push_back(substitute + L"gmt = <stamp>");
        } else if (line.rfind(substitute + L"date = ", 0) == 0 &&
                   line.find(L"(REG_SZ, 256 bytes)") != std::wstring::npos) {
            result.push_back(substitute + L"date = <stamp>");
        } else {
            result.push_back(line);
        }
    }
    std::sort(result.begin(), result.end());
    return result;
}

bool mountFree() {
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExW(HKEY_USERS, kMountName, 0, KEY_READ, &key);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return status == ERROR_FILE_NOT_FOUND;
}

struct MatrixSize {
    std::size_t hooks = 0;
    std::size_t calls = 0;
    std::size_t tried = 0;
    std::size_t notFailable = 0;
    std::size_t freshlyLoaded = 0;  // faults tried in a DLL loaded for them
    std::set<std::string> failableFunctions;
    std::set<std::string> otherFunctions;
};

class FaultMatrix : public ::testing::Test {
protected:
    void TearDown() override {
        machine::unloadHive(kMountName);
        sample::clear();
    }

    // The units of a hook, located in its clean run by the first call each
    // one makes.
    static std::vector<Unit> unitsOf(const std::string& hook, const std::vector<Call>& calls) {
        std::vector<Unit> units;
        auto find = [&](std::size_t from, const std::function<bool(const Call&)>& first) {
            for (std::size_t i = from; i < calls.size(); ++i) {
                if (first(calls[i])) {
                    return i;
                }
            }
            ADD_FAILURE() << hook << ": an operation's first call is missing from the clean run";
            return calls.size();
        };
        auto opens = [](HKEY parent, const wchar_t* path, bool view64) {
            return [=](const Call& call) {
                return call.function == "RegOpenKeyExW" && call.parent == parent && call.path == path &&
                       ((call.access & KEY_WOW64_64KEY) != 0) == view64;
            };
        };
        if (hook == "DllPostInstall") {
            units.push_back({"stampInstallDate", 0, false, false, {}});
            const std::size_t files = find(0, [](const Call& call) {
                return call.function == "SHGetFolderPathW" && call.folder == CSIDL_PROGRAM_FILES;
            });
            units.push_back({"deleteObsoleteDataFiles", files, false, false, obsoleteDataFileChanges()});
            const std::size_t settings =
                find(files, opens(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\ZTB\\AppInfo\\Substitute", false));
            units.push_back({"removeObsoleteSettings", settings, false, false, obsoleteSettingsChanges()});
            const std::size_t tasks =
                find(settings, opens(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\ZHN\\Scheduler\\", false));
            units.push_back({"migrateSchedulerTasks", tasks, false, false, taskMigrationChanges()});
        } else if (hook == "DllPreUnInstall" || hook == "DllZudaUnInstall") {
            units.push_back({"removeShellIntegration", 0, false, false, shellIntegrationChanges()});
            const std::size_t loaded =
                find(0, opens(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", false));
            units.push_back({"sweep: purgeLoadedHives", loaded, true, false, loadedHivesChanges()});
            const std::size_t walk = find(loaded, [](const Call& call) { return call.function == "GetUserNameW"; });
            units.push_back({"sweep: profile walk", walk, true, false, {}});
            std::size_t from = walk;
            for (const wchar_t* profile : kOfflineProfiles) {
                // A profile begins where loadProfileHive does, at the token
                // of the load of its hive file.
                const std::wstring file = offlineHiveFile(profile);
                const std::size_t load = find(from, [&](const Call& call) {
                    return call.function == "RegLoadKeyW" && lstrcmpiW(call.path.c_str(), file.c_str()) == 0;
                });
                std::size_t token = load;
                while (token > from && calls[token].function != "OpenProcessToken") {
                    --token;
                }
                units.push_back({"sweep: offline profile " + machine::narrow(profile), token, true, true,
                                 offlineProfileChanges(profile)});
                from = load;
            }
        }
        for (std::size_t i = 1; i < units.size(); ++i) {
            EXPECT_LT(units[i - 1].begin, units[i].begin) << hook << ": " << units[i].name;
        }
        return units;
    }

    static std::size_t unitAt(const std::vector<Unit>& units, std::size_t position) {
        std::size_t unit = 0;
        for (std::size_t i = 0; i < units.size(); ++i) {
            if (units[i].begin <= position) {
                unit = i;
            }
        }
        return unit;
    }

    // Whether a unit after the failing call must still do its work. The
    // sweep ends, by design, when it runs out of memory, when the profiles
    // directory cannot be found or walked on, and it can mount no profile
    // after an unmount that failed.
    static bool mustStillRun(const Unit& failing, const Unit& later, const std::string& function) {
        if (!failing.inSweep || !later.inSweep) {
            return true;
        }
        if (isAllocation(function)) {
            return false;
        }
        const bool endsWalk = function == "SHGetFolderPathW" || function == "FindFirstFileW" ||
                              function == "FindNextFileW" || function == "RegUnLoadKeyW";
        return !(endsWalk && later.offlineProfile);
    }

    static void TearDownTestSuite();

    // Runs the matrix of one hook and adds its size to the total.
    void runMatrix(const char* hook) {
        MatrixSize size;
        runMatrixOf(hook, size);
        EXPECT_EQ(size.calls, size.tried + size.notFailable);
        if (std::string(hook) == "DllCreateTasks") {
            EXPECT_EQ(0U, size.calls);  // it calls nothing at all
        } else {
            EXPECT_GT(size.tried, 0U);
        }
        ++total.hooks;
        total.calls += size.calls;
        total.tried += size.tried;
        total.notFailable += size.notFailable;
        total.failableFunctions.insert(size.failableFunctions.begin(), size.failableFunctions.end());
        total.otherFunctions.insert(size.otherFunctions.begin(), size.otherFunctions.end());
    }
    void runMatrixOf(const char* hook, MatrixSize& size);

    static MatrixSize total;
};

void FaultMatrix::runMatrixOf(const char* hook, MatrixSize& size) {
    SCOPED_TRACE(hook);
    const auto started = std::chrono::steady_clock::now();

    // The clean run: the first call of the hook in a freshly loaded DLL,
    // which is also when the DLL looks up RegDeleteKeyExW.
    auto session = std::make_unique<Session>();
    ASSERT_TRUE(session->writeBack.applied());
    sample::seed();
    const Lines seeded = snapshot(Reach::Footprint);
    std::vector<Call> clean;
    session->recorder.clear();
    session->recorder.observe([&](std::size_t, const std::string& function, const DWORD* arguments) {
        clean.push_back(describeCall(function, arguments));
    });
    ASSERT_EQ(0, session->dll.call(hook));
    session->recorder.observe(nullptr);
    const Diff cleanDiff = diff(normalized(seeded), normalized(snapshot(Reach::Footprint)));
    const std::set<std::wstring> cleanRemoved(cleanDiff.removed.begin(), cleanDiff.removed.end());
    const std::set<std::wstring> cleanAdded(cleanDiff.added.begin(), cleanDiff.added.end());
    const std::vector<Unit> units = unitsOf(hook, clean);

    // Every unit does its work in the clean run: the check that the
    // faulted runs make below can fail.
    for (const Unit& unit : units) {
        const Expected expected = expectedDiff(seeded, unit.changes);
        EXPECT_TRUE(expected.unmatched.empty()) << unit.name << describeLines(expected.unmatched);
        for (const std::wstring& line : expected.diff.removed) {
            EXPECT_EQ(1U, cleanRemoved.count(line)) << unit.name << ": " << machine::narrow(line);
        }
        for (const std::wstring& line : expected.diff.added) {
            EXPECT_EQ(1U, cleanAdded.count(line)) << unit.name << ": " << machine::narrow(line);
        }
    }

    // The lookup is made once per loaded DLL: the calls up to it are failed
    // in a DLL loaded for each of them, the later ones in a DLL that has
    // made its lookup, where the same call comes two positions earlier.
    std::size_t lookupEnd = 0;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        if (clean[i].function == "GetProcAddress") {
            lookupEnd = i + 1;
            EXPECT_TRUE(i > 0 && clean[i - 1].function == "GetModuleHandleW");
            break;
        }
    }
    const std::size_t lookupCalls = lookupEnd == 0 ? 0 : 2;
    sample::seed();
    session->recorder.clear();
    ASSERT_EQ(0, session->dll.call(hook));
    std::vector<std::string> cleanNames;
    std::vector<std::string> expectedAgain;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        cleanNames.push_back(clean[i].function);
        if (i + lookupCalls < lookupEnd || i >= lookupEnd) {
            expectedAgain.push_back(clean[i].function);
        }
    }
    ASSERT_EQ(expectedAgain, session->recorder.callNames())
        << "a second run differs from the first by more than the lookup";
    // One DLL, and one recorder, at a time.
    session.reset();

    auto failuresSoFar = [] {
        return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    };
    int faultyCalls = 0;
    bool warmed = false;
    size.calls += clean.size();
    for (std::size_t k = 0; k < clean.size(); ++k) {
        const std::string& function = clean[k].function;
        if (testing_support::failureOf(function) == nullptr) {
            ++size.notFailable;
            size.otherFunctions.insert(function);
            continue;
        }
        ++size.tried;
        size.failableFunctions.insert(function);
        const std::size_t unit = unitAt(units, k);
        const int failuresBefore = failuresSoFar();
        SCOPED_TRACE("call " + std::to_string(k) + " " + function + " in " + units[unit].name);

        std::size_t position = k;
        if (k < lookupEnd) {
            session.reset();
            session = std::make_unique<Session>();
            ++size.freshlyLoaded;
        } else {
            if (!warmed) {
                // A DLL that has made its lookup, in a clean run.
                session.reset();
                session = std::make_unique<Session>();
                sample::seed();
                session->recorder.clear();
                EXPECT_EQ(0, session->dll.call(hook));
                warmed = true;
            }
            position = k - lookupCalls;
        }
        sample::seed();
        session->recorder.clear();
        session->writeBack.clear();
        session->recorder.failCall(position);
        int returned = -1;
        try {
            returned = session->dll.call(hook);
        } catch (...) {
            ADD_FAILURE() << "an exception left the hook";
        }
        EXPECT_EQ(0, returned);
        ASSERT_TRUE(session->recorder.injected());
        // The calls up to the failing one are those of the clean run: the
        // fault hit the call it was meant for.
        const std::vector<std::string> made = session->recorder.callNames();
        const std::vector<std::string>& reference = k < lookupEnd ? cleanNames : expectedAgain;
        ASSERT_LT(position, made.size());
        ASSERT_TRUE(
            std::equal(made.begin(), made.begin() + static_cast<std::ptrdiff_t>(position) + 1, reference.begin()));
        ASSERT_EQ(function, made[position]);

        EXPECT_EQ(0U, session->recorder.openKeys());
        EXPECT_EQ(0U, session->recorder.openFinds());
        EXPECT_EQ(0U, session->recorder.openTokens());
        EXPECT_EQ(0, session->recorder.strayCloses());
        session->recorder.closeLeftovers();
        for (const MountEvent& event : session->writeBack.events()) {
            if (!event.load) {
                EXPECT_EQ(0U, event.openHandles) << "keys open in the hive at its unmount";
            }
        }
        if (function == "RegUnLoadKeyW") {
            // The one way to leave the mount taken: no later profile gets it.
            EXPECT_FALSE(mountFree());
            const std::vector<MountEvent>& events = session->writeBack.events();
            const auto failed = std::find_if(events.begin(), events.end(), [](const MountEvent& event) {
                return !event.load && event.status != ERROR_SUCCESS;
            });
            EXPECT_TRUE(std::none_of(failed, events.end(), [](const MountEvent& event) {
                return event.load && event.status == ERROR_SUCCESS;
            }));
            machine::unloadHive(kMountName);
        }
        EXPECT_TRUE(mountFree());

        const Lines afterFault = snapshot(Reach::Footprint);
        const Diff faulted = diff(normalized(seeded), normalized(afterFault));
        Lines beyond;
        for (const std::wstring& line : faulted.removed) {
            if (cleanRemoved.count(line) == 0) {
                beyond.push_back(L"removed: " + line);
            }
        }
        for (const std::wstring& line : faulted.added) {
            if (cleanAdded.count(line) == 0) {
                beyond.push_back(L"added: " + line);
            }
        }
        EXPECT_TRUE(beyond.empty()) << "changes no clean run makes:\n" << describeLines(beyond, 10);
        const std::set<std::wstring> present(afterFault.begin(), afterFault.end());
        for (std::size_t later = unit + 1; later < units.size(); ++later) {
            if (!mustStillRun(units[unit], units[later], function)) {
                continue;
            }
            const Expected expected = expectedDiff(seeded, units[later].changes);
            Lines undone;
            for (const std::wstring& line : expected.diff.removed) {
                if (present.count(line) != 0) {
                    undone.push_back(L"still there: " + line);
                }
            }
            for (const std::wstring& line : expected.diff.added) {
                if (present.count(line) == 0) {
                    undone.push_back(L"missing: " + line);
                }
            }
            EXPECT_TRUE(undone.empty()) << units[later].name << " did not do its work:\n" << describeLines(undone, 5);
        }
        if (failuresSoFar() > failuresBefore) {
            ++faultyCalls;
        }
        if (faultyCalls >= 10) {
            return;  // enough to read; the rest would likely repeat it
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "[ matrix   ] %s: %u calls in the clean run, %u faults tried (%u of them in a DLL loaded for the fault, up to "
        "its RegDeleteKeyExW lookup), %u calls not failable (%.1f s)\n",
        hook, static_cast<unsigned>(clean.size()), static_cast<unsigned>(size.tried),
        static_cast<unsigned>(size.freshlyLoaded), static_cast<unsigned>(size.notFailable), seconds);
}

std::string joinNames(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

}  // namespace

MatrixSize FaultMatrix::total;

void FaultMatrix::TearDownTestSuite() {
    if (total.calls == 0 && total.tried == 0) {
        return;
    }
    std::printf("[ matrix   ] failed in turn: %s\n", joinNames(total.failableFunctions).c_str());
    std::printf("[ matrix   ] passed through, cannot fail: %s\n", joinNames(total.otherFunctions).c_str());
    std::printf("[ matrix   ] total: %u calls in the clean runs of %u hooks, %u faults tried, %u calls not failable\n",
                static_cast<unsigned>(total.calls), static_cast<unsigned>(total.hooks),
                static_cast<unsigned>(total.tried), static_cast<unsigned>(total.notFailable));
}

TEST_F(FaultMatrix, PostInstall) { runMatrix("DllPostInstall"); }
TEST_F(FaultMatrix, CreateTasks) { runMatrix("DllCreateTasks"); }
TEST_F(FaultMatrix, PreUnInstall) { runMatrix("DllPreUnInstall"); }
TEST_F(FaultMatrix, ZudaUnInstall) { runMatrix("DllZudaUnInstall"); }
