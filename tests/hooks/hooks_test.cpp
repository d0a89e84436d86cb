// The hooks through the shipped DLL's real exports: what each one does to a
// machine with the product installed, and that none of them fails or leaks
// when a Windows call inside it fails.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integrity/hook_changes.h"
#include "integrity/machine_state.h"
#include "machine/machine.h"
#include "samplemachine/footprint.h"
#include "support/fixtures.h"
#include "support/handle_ledger.h"

using machine::kView32;
using machine::kView64;
using testing_support::HandleLedger;
using testing_support::HookLibrary;

namespace {

const wchar_t kSubstitute[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";

class Hooks : public testing_support::ProductKeysTest {
protected:
    void SetUp() override {
        ProductKeysTest::SetUp();
        ASSERT_NE(nullptr, dll.module());
    }
    void TearDown() override {
        sample::clear();
        ProductKeysTest::TearDown();
    }

    // The product's keys in both views, as text.
    static std::vector<std::wstring> productKeys() {
        std::vector<std::wstring> lines = machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView64);
        for (const std::wstring& line : machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32)) {
            lines.push_back(L"32: " + line);
        }
        return lines;
    }

    HookLibrary dll;
};

}  // namespace

TEST_F(Hooks, DllCreateTasksChangesNothingAndOpensNothing) {
    sample::seed();
    const std::vector<std::wstring> before = productKeys();
    HandleLedger ledger(dll.module());

    EXPECT_EQ(0, dll.call("DllCreateTasks"));

    EXPECT_EQ(0, ledger.keyOpens());
    EXPECT_TRUE(ledger.opens().empty());
    EXPECT_EQ(before, productKeys());
}

TEST_F(Hooks, DllPostInstallStampsThe64BitViewAndLeavesThe32BitViewsStampAlone) {
    sample::seed();
    const machine::Value oldDate32 = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView32);

    EXPECT_EQ(0, dll.call("DllPostInstall"));

    const machine::Value gmt = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView64);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), gmt.type);
    EXPECT_EQ(16U, gmt.data.size());
    EXPECT_EQ(256U, machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView64).data.size());
    EXPECT_FALSE(machine::valueExists(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView32));
    EXPECT_EQ(oldDate32.data, machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView32).data);
}

TEST_F(Hooks, DllPostInstallOnAMachineWithoutTheProductCreatesNothing) {
    EXPECT_EQ(0, dll.call("DllPostInstall"));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView64));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32));
}

TEST_F(Hooks, DllPostInstallReturnsZeroAndLeavesNothingOpenWhenTheStampCannotOpenItsKey) {
    sample::seed();
    const std::vector<std::wstring> before = machine::dumpTree(HKEY_LOCAL_MACHINE, kSubstitute, kView64);
    {
        HandleLedger ledger(dll.module());
        ledger.failOpen(kSubstitute, ERROR_ACCESS_DENIED);
        EXPECT_EQ(0, dll.call("DllPostInstall"));
        EXPECT_EQ(0U, ledger.openCount());
    }
    EXPECT_EQ(before, machine::dumpTree(HKEY_LOCAL_MACHINE, kSubstitute, kView64));
}

TEST_F(Hooks, DllPostInstallWhenEveryOpenFailsStillDeletesTheAgentsFilesAndChangesNothingElse) {
    sample::seed();
    const integrity::Lines before = integrity::snapshot();
    {
        HandleLedger ledger(dll.module());
        ledger.failEvery("RegOpenKeyExW");
        EXPECT_EQ(0, dll.call("DllPostInstall"));
        EXPECT_TRUE(ledger.injected());
    }
    const integrity::Expected expected = integrity::expectedDiff(before, integrity::obsoleteDataFileChanges());
    EXPECT_TRUE(expected.unmatched.empty()) << integrity::describeLines(expected.unmatched);
    const integrity::Diff actual = integrity::diff(before, integrity::snapshot());
    EXPECT_EQ(expected.diff.removed, actual.removed) << integrity::describeLines(actual.removed);
    EXPECT_EQ(expected.diff.added, actual.added) << integrity::describeLines(actual.added);
}

TEST_F(Hooks, DllPostInstallReturnsZeroAndClosesTheKeyWhenAWriteFails) {
    sample::seed();
    HandleLedger ledger(dll.module());
    ledger.failEvery("RegSetValueExW");

    EXPECT_EQ(0, dll.call("DllPostInstall"));

    EXPECT_GE(ledger.keyOpens(), 1);
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_FALSE(machine::valueExists(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView64));
}
