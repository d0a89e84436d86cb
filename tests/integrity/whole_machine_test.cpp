// Each hook, called through the shipped DLL on the seeded sample machine,
// makes exactly the changes written out below and nothing else anywhere in
// what the snapshot covers; called again, it changes nothing more.

#include <windows.h>

#include <gtest/gtest.h>

#include "support/mount_watch.h"
#include "integrity/hook_changes.h"
#include "integrity/machine_state.h"
#include "machine/hives.h"
#include "machine/machine.h"
#include "samplemachine/footprint.h"
#include "support/fixtures.h"

using namespace integrity;
using testing_support::HookLibrary;
using testing_support::MountEvent;
using testing_support::MountWatch;

namespace {

const wchar_t kSubstitute[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";
const wchar_t kSubstitute64[] = L"HKLM64\\Software\\Korvan\\ZTB\\AppInfo\\Substitute";

class WholeMachine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, dll.module()) << "cannot load " << machine::narrow(HookLibrary::path());
        sample::seed();
        seeded = snapshot();
    }
    void TearDown() override {
        machine::unloadHive(L"Korvan_Tmp_Reg");
        sample::clear();
    }

    // Calls the hook, with every mount written back to its hive file as
    // Windows does, and returns the diff against `before`.
    Diff run(const char* hook, const Lines& before) {
        MountWatch writeBack(dll.module());
        EXPECT_TRUE(writeBack.applied());
        EXPECT_EQ(0, dll.call(hook)) << hook;
        mounts = writeBack.events();
        after = snapshot();
        return diff(before, after);
    }

    static void expectDiff(const Expected& expected, const Diff& actual, const char* what) {
        EXPECT_TRUE(expected.unmatched.empty())
            << what << ": expected changes that the seeded machine gives no line for:\n"
            << describeLines(expected.unmatched);
        EXPECT_EQ(expected.diff.removed, actual.removed) << what << ": removed lines\n  expected:\n"
                                                         << describeLines(expected.diff.removed) << "  actual:\n"
                                                         << describeLines(actual.removed);
        EXPECT_EQ(expected.diff.added, actual.added) << what << ": added lines\n  expected:\n"
                                                     << describeLines(expected.diff.added) << "  actual:\n"
                                                     << describeLines(actual.added);
    }

    // The removal hooks: every offline profile was mounted once, purged,
    // and unmounted while the module held no key open.
    void expectOfflineProfilesMountedOnce() {
        std::vector<std::wstring> mounted;
        int unloads = 0;
        for (const MountEvent& event : mounts) {
            if (event.load && event.status == ERROR_SUCCESS) {
                mounted.push_back(event.target);
            }
            if (!event.load) {
                ++unloads;
                EXPECT_EQ(ERROR_SUCCESS, event.status) << machine::narrow(event.target);
            }
        }
        EXPECT_EQ((std::vector<std::wstring>{offlineHiveFile(L"Alice"), offlineHiveFile(L"Bob")}), mounted);
        EXPECT_EQ(2, unloads);
        EXPECT_FALSE(machine::hiveLoaded(L"Korvan_Tmp_Reg"));
    }

    void removalHookIsExact(const char* hook) {
        const Diff first = run(hook, seeded);
        std::vector<Change> changes = shellIntegrationChanges();
        changes = joined({changes, loadedHivesChanges()});
        for (const wchar_t* profile : kOfflineProfiles) {
            changes = joined({changes, offlineProfileChanges(profile)});
        }
        expectDiff(expectedDiff(seeded, changes), first, hook);
        expectOfflineProfilesMountedOnce();

        const Lines once = after;
        const Diff second = run(hook, once);
        EXPECT_TRUE(second.removed.empty()) << hook << " again removed:\n" << describeLines(second.removed);
        EXPECT_TRUE(second.added.empty()) << hook << " again added:\n" << describeLines(second.added);
        expectOfflineProfilesMountedOnce();
    }

    HookLibrary dll;
    Lines seeded;
    Lines after;
    std::vector<MountEvent> mounts;
};

// The stamp's two values as this run must have written them: "gmt" a UTC
// time taken during the call, "date" today's local date in 256 bytes.
struct Stamp {
    std::wstring gmtLine;
    std::wstring dateLine;
};

ULONGLONG fileTimeOf(const SYSTEMTIME& time) {
    FILETIME file{};
    SystemTimeToFileTime(&time, &file);
    return (static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

Stamp expectStampWithin(const SYSTEMTIME& from, const SYSTEMTIME& to) {
    Stamp stamp;
    const machine::Value gmt = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", machine::kView64);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), gmt.type);
    EXPECT_EQ(sizeof(SYSTEMTIME), gmt.data.size());
    if (gmt.data.size() == sizeof(SYSTEMTIME)) {
        SYSTEMTIME written{};
        std::copy(gmt.data.begin(), gmt.data.end(), reinterpret_cast<BYTE*>(&written));
        EXPECT_LE(fileTimeOf(from), fileTimeOf(written));
        EXPECT_LE(fileTimeOf(written), fileTimeOf(to));
    }
    stamp.gmtLine = std::wstring(L"V ") + kSubstitute64 + L" : gmt = " + machine::describe(gmt);

    wchar_t today[128] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, today, 128);
    machine::Value date;
    date.present = true;
    date.type = REG_SZ;
    date.data.assign(reinterpret_cast<const BYTE*>(today), reinterpret_cast<const BYTE*>(today) + sizeof today);
    stamp.dateLine = std::wstring(L"V ") + kSubstitute64 + L" : date = " + machine::describe(date);
    return stamp;
}

SYSTEMTIME now() {
    SYSTEMTIME time{};
    GetSystemTime(&time);
    return time;
}

}  // namespace

TEST_F(WholeMachine, TheSnapshotCoversTheWholeFootprint) {
    // Every change of every hook finds its lines in the seeded machine, and
    // a snapshot taken twice reads the same.
    std::vector<Change> all = joined({obsoleteDataFileChanges(), obsoleteSettingsChanges(), taskMigrationChanges(),
                                      shellIntegrationChanges(), loadedHivesChanges()});
    for (const wchar_t* profile : kOfflineProfiles) {
        all = joined({all, offlineProfileChanges(profile)});
    }
    const Expected expected = expectedDiff(seeded, all);
    EXPECT_TRUE(expected.unmatched.empty()) << describeLines(expected.unmatched);
    EXPECT_EQ(seeded, snapshot());
    std::printf("[ snapshot ] %u lines\n", static_cast<unsigned>(seeded.size()));
}

TEST_F(WholeMachine, PostInstallMakesExactlyItsChangesAndAgainOnlyRenewsTheStamp) {
    SYSTEMTIME from = now();
    const Diff first = run("DllPostInstall", seeded);
    SYSTEMTIME to = now();
    const Stamp stamp = expectStampWithin(from, to);
    expectDiff(expectedDiff(seeded, joined({stampChanges(stamp.gmtLine, stamp.dateLine), obsoleteDataFileChanges(),
                                            obsoleteSettingsChanges(), taskMigrationChanges()})),
               first, "DllPostInstall");
    EXPECT_TRUE(mounts.empty());

    // Again: nothing is left to delete or move; only the stamp names the
    // latest call.
    const Lines once = after;
    Sleep(20);
    from = now();
    const Diff second = run("DllPostInstall", once);
    to = now();
    const Stamp again = expectStampWithin(from, to);
    std::vector<Change> renewed = {removeValue(kSubstitute64, L"gmt"), addLine(again.gmtLine)};
    if (again.dateLine != stamp.dateLine) {  // the second call came after midnight
        renewed.push_back(removeValue(kSubstitute64, L"date"));
        renewed.push_back(addLine(again.dateLine));
    }
    expectDiff(expectedDiff(once, renewed), second, "DllPostInstall again");
}

TEST_F(WholeMachine, CreateTasksChangesNothing) {
    const Diff first = run("DllCreateTasks", seeded);
    EXPECT_TRUE(first.removed.empty()) << describeLines(first.removed);
    EXPECT_TRUE(first.added.empty()) << describeLines(first.added);
    EXPECT_TRUE(mounts.empty());
}

TEST_F(WholeMachine, PreUnInstallMakesExactlyItsChangesAndAgainNone) { removalHookIsExact("DllPreUnInstall"); }

TEST_F(WholeMachine, ZudaUnInstallMakesExactlyItsChangesAndAgainNone) { removalHookIsExact("DllZudaUnInstall"); }
