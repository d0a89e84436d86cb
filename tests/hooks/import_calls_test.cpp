// Every call the shipped DLL makes through its import table, recorded on a
// real run, and single calls of it made to fail the way they really fail.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "samplemachine/footprint.h"
#include "support/fixtures.h"
#include "support/import_recorder.h"

using testing_support::HookLibrary;
using testing_support::ImportRecorder;

namespace {

const wchar_t kSubstitute[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";

class ImportCalls : public testing_support::ProductKeysTest {
protected:
    void TearDown() override {
        sample::clear();
        ProductKeysTest::TearDown();
    }
    HookLibrary dll;
};

std::size_t positionOf(const std::vector<std::string>& calls, const std::string& name) {
    return static_cast<std::size_t>(std::find(calls.begin(), calls.end(), name) - calls.begin());
}

}  // namespace

TEST_F(ImportCalls, ThePostInstallCallsAreRecordedInTheirOrderTheLookedUpDeletionToo) {
    sample::seed();
    ImportRecorder recorder(dll.module());
    EXPECT_EQ(0, dll.call("DllPostInstall"));
    const std::vector<std::string> calls = recorder.callNames();
    const std::size_t date = positionOf(calls, "GetDateFormatW");
    const std::size_t time = positionOf(calls, "GetSystemTime");
    const std::size_t open = positionOf(calls, "RegOpenKeyExW");
    ASSERT_LT(open, calls.size());
    EXPECT_LT(date, time);
    EXPECT_LT(time, open);
    EXPECT_GE(std::count(calls.begin(), calls.end(), "RegSetValueExW"), 2);
    // The obsolete "OEM" key goes through the function the DLL looks up by
    // name, and that call is recorded too.
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "RegDeleteKeyExW"));
}

TEST_F(ImportCalls, AFailedOpenThroughTheThunkReturnsItsStatusAndTheHookStillReturnsZero) {
    sample::seed();
    const std::vector<std::wstring> before = machine::dumpTree(HKEY_LOCAL_MACHINE, kSubstitute, machine::kView64);
    ImportRecorder recorder(dll.module());
    EXPECT_EQ(0, dll.call("DllPostInstall"));
    const std::size_t open = positionOf(recorder.callNames(), "RegOpenKeyExW");
    ASSERT_LT(open, recorder.calls().size());

    sample::seed();
    recorder.clear();
    recorder.failCall(open);
    EXPECT_EQ(0, dll.call("DllPostInstall"));
    EXPECT_TRUE(recorder.injected());
    EXPECT_EQ(before, machine::dumpTree(HKEY_LOCAL_MACHINE, kSubstitute, machine::kView64));
}

TEST_F(ImportCalls, HandlesAreCountedAndTreesGoKeyByKeyThroughTheirOwnHandles) {
    sample::seed();
    ImportRecorder recorder(dll.module());
    EXPECT_EQ(0, dll.call("DllPreUnInstall"));
    const std::vector<std::string> first = recorder.callNames();
    // No key is deleted by name: each goes through the handle it was opened
    // and emptied with.
    EXPECT_GT(std::count(first.begin(), first.end(), "NtDeleteKey"), 0);
    EXPECT_EQ(0, std::count(first.begin(), first.end(), "RegDeleteKeyExW"));
    EXPECT_GT(std::count(first.begin(), first.end(), "RegOpenKeyExW"), 0);
    EXPECT_EQ(1, std::count(first.begin(), first.end(), "FindFirstFileW"));
    EXPECT_GT(std::count(first.begin(), first.end(), "OpenProcessToken"), 0);
    EXPECT_EQ(0U, recorder.openKeys());
    EXPECT_EQ(0U, recorder.openFinds());
    EXPECT_EQ(0U, recorder.openTokens());
    EXPECT_EQ(0, recorder.strayCloses());

    // A close made to fail reports the failure and still releases the key.
    sample::seed();
    recorder.clear();
    EXPECT_EQ(0, dll.call("DllPreUnInstall"));
    const std::size_t close = positionOf(recorder.callNames(), "RegCloseKey");
    ASSERT_LT(close, recorder.calls().size());
    sample::seed();
    recorder.clear();
    recorder.failCall(close);
    EXPECT_EQ(0, dll.call("DllPreUnInstall"));
    EXPECT_TRUE(recorder.injected());
    EXPECT_EQ(0U, recorder.openKeys());
    EXPECT_EQ(0, recorder.strayCloses());
}
