// DllPostInstall through the shipped DLL on the sample machine: every step
// runs, in order, and one that fails does not keep the next from running.

#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "samplemachine/footprint.h"
#include "support/fixtures.h"
#include "support/handle_ledger.h"
#include "support/heap_failure.h"
#include "support/import_recorder.h"

using machine::kView32;
using machine::kView64;
using testing_support::HandleLedger;
using testing_support::HeapAllocFailure;
using testing_support::HookLibrary;
using testing_support::ImportRecorder;
using testing_support::textArgument;

namespace {

const std::wstring kSubstitute = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";
const std::wstring kAgentApp = L"C:\\Program Files (x86)\\KorvanNet\\Agent\\app";
const std::wstring kPresets = L"Software\\Korvan\\ZHN\\Settings\\TaskSchedulePreset";
const std::wstring kSuite = L"Software\\Korvan\\ZHN\\Scheduler";
const std::wstring kPlatform = L"Software\\Korvan\\Platform\\Scheduler";

class PostInstallHook : public testing_support::ProductKeysTest {
protected:
    void SetUp() override {
        ProductKeysTest::SetUp();
        ASSERT_NE(nullptr, dll.module());
        sample::seed();
    }
    void TearDown() override {
        sample::clear();
        EXPECT_FALSE(machine::directoryExists(L"C:\\Program Files (x86)\\KorvanNet"));
        ProductKeysTest::TearDown();
    }

    static bool agentFile(const wchar_t* name) { return machine::fileExists(kAgentApp + L"\\" + name); }
    static bool key32(const std::wstring& path) { return machine::keyExists(HKEY_LOCAL_MACHINE, path, kView32); }

    static void expectFilesDeleted() {
        EXPECT_FALSE(agentFile(L"shred.adf"));
        EXPECT_FALSE(agentFile(L"shd.adf"));
        EXPECT_FALSE(agentFile(L"ZWL.ADF"));
        EXPECT_TRUE(agentFile(L"agent.cfg"));
    }
    static void expectFilesKept() {
        EXPECT_TRUE(agentFile(L"shred.adf"));
        EXPECT_TRUE(agentFile(L"shd.adf"));
        EXPECT_TRUE(agentFile(L"ZWL.ADF"));
    }
    static void expectSettingsRemoved() {
        EXPECT_EQ((std::vector<std::wstring>{L"date", L"version"}),
                  machine::valueNames(HKEY_LOCAL_MACHINE, kSubstitute, kView32));
        EXPECT_FALSE(key32(L"Software\\Korvan\\ZTB\\AppInfo\\OEM"));
        EXPECT_EQ(std::vector<std::wstring>{L"Daily"}, machine::subkeyNames(HKEY_LOCAL_MACHINE, kPresets, kView32));
    }
    static void expectTasksMoved() {
        EXPECT_EQ((std::vector<std::wstring>{L"Backup.zwtask", L"Report.zwtask"}),
                  machine::subkeyNames(HKEY_LOCAL_MACHINE, kPlatform, kView32));
        EXPECT_EQ((std::vector<std::wstring>{L"Shred.ZWTASK", L"Updater"}),
                  machine::subkeyNames(HKEY_LOCAL_MACHINE, kSuite, kView32));
        EXPECT_TRUE(key32(kPlatform + L"\\Report.zwtask\\Daily\\Window"));
    }

    HookLibrary dll;
};

}  // namespace

TEST_F(PostInstallHook, DoesEveryStepAndLeavesNothingOpen) {
    {
        HandleLedger ledger(dll.module());
        EXPECT_EQ(0, dll.call("DllPostInstall"));
        EXPECT_EQ(0U, ledger.openCount());
        EXPECT_EQ(0, ledger.strayCloses());
    }
    EXPECT_EQ(16U, machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView64).data.size());
    EXPECT_FALSE(machine::valueExists(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView32));
    expectFilesDeleted();
    expectSettingsRemoved();
    expectTasksMoved();
}

TEST_F(PostInstallHook, RunsTheStepsInTheirOrder) {
    // The calls that mark each step, as the DLL makes them.
    std::vector<std::wstring> calls;
    {
        ImportRecorder recorder(dll.module());
        recorder.observe([&](std::size_t, const std::string& function, const DWORD* arguments) {
            if (function == "RegOpenKeyExW" && reinterpret_cast<HKEY>(arguments[0]) == HKEY_LOCAL_MACHINE) {
                calls.push_back(L"open " + textArgument(arguments, 1));
            } else if (function == "SHGetFolderPathW") {
                calls.emplace_back(L"SHGetFolderPathW");
            } else if (function == "DeleteFileW") {
                calls.push_back(L"delete " + textArgument(arguments, 0));
            }
        });
        EXPECT_EQ(0, dll.call("DllPostInstall"));
    }
    // Each step's calls from HKLM: the stamp, the files, the settings, the
    // tasks (the walk of a deleted subtree opens relative to its parent).
    const std::vector<std::wstring> expected = {
        L"open " + kSubstitute,
        L"SHGetFolderPathW",
        L"delete " + kAgentApp + L"\\shred.adf",
        L"delete " + kAgentApp + L"\\shd.adf",
        L"delete " + kAgentApp + L"\\ZWL.ADF",
        L"open " + kSubstitute,
        L"open Software\\Korvan\\ZTB\\AppInfo",
        L"open " + kPresets + L"\\",
        L"open " + kSuite + L"\\",
        L"open " + kSuite + L"\\Backup.zwtask",
        L"open " + kSuite + L"\\Report.zwtask",
    };
    EXPECT_EQ(expected, calls);
}

TEST_F(PostInstallHook, AStepThatFailsDoesNotStopTheNextOnes) {
    const std::vector<std::wstring> stamp = machine::dumpTree(HKEY_LOCAL_MACHINE, kSubstitute, kView64);
    {
        HandleLedger ledger(dll.module());
        ledger.failEvery("SHGetFolderPathW");
        ledger.failOpen(kSubstitute, ERROR_ACCESS_DENIED);
        EXPECT_EQ(0, dll.call("DllPostInstall"));
        EXPECT_EQ(0U, ledger.openCount());
    }
    // Neither the stamp nor the files; the settings and the tasks all the same.
    EXPECT_EQ(stamp, machine::dumpTree(HKEY_LOCAL_MACHINE, kSubstitute, kView64));
    expectFilesKept();
    expectSettingsRemoved();
    expectTasksMoved();
}

TEST_F(PostInstallHook, RunningOutOfMemoryInOneStepDoesNotStopTheNextOnes) {
    {
        HandleLedger ledger(dll.module());
        // The stamp allocates nothing: the first allocation is the first
        // file path's.
        HeapAllocFailure allocation(dll.module(), 1);
        ASSERT_TRUE(allocation.applied());
        EXPECT_EQ(0, dll.call("DllPostInstall"));
        EXPECT_TRUE(allocation.failed());
        EXPECT_EQ(0U, ledger.openCount());
    }
    EXPECT_EQ(16U, machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView64).data.size());
    expectFilesKept();
    expectSettingsRemoved();
    expectTasksMoved();
}
