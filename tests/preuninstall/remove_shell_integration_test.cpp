// The product's shell integration on a real machine: the Send To file of the
// calling account, the Recycle Bin context-menu handler key and the shell
// extension's class key, each removed whatever became of the others, with
// their neighbours left alone and nothing left open.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "preuninstall/preuninstall.h"
#include "samplemachine/footprint.h"
#include "samplemachine/footprint_shell.h"
#include "support/fixtures.h"
#include "support/handle_ledger.h"
#include "support/heap_failure.h"
#include "preuninstall/user_hives.h"

namespace shell = sample::shell;
using testing_support::HandleLedger;
using testing_support::HeapAllocFailure;
using testing_support::testProgram;

namespace {

// Everything around the product's items that must stay as it was.
std::vector<std::wstring> neighbourhood() {
    std::vector<std::wstring> lines = machine::dumpTree(HKEY_LOCAL_MACHINE, shell::neighbourHandlerKey());
    for (const std::wstring& line : machine::dumpTree(HKEY_LOCAL_MACHINE, shell::neighbourClassKey())) {
        lines.push_back(line);
    }
    for (const wchar_t* name : {L"", L"LocalizedString"}) {
        lines.push_back(machine::describe(machine::readValue(HKEY_LOCAL_MACHINE, shell::kRecycleBinClass, name)));
    }
    for (const std::wstring& name : machine::subkeyNames(HKEY_LOCAL_MACHINE, shell::kRecycleBinClass)) {
        lines.push_back(L"RecycleBin\\" + name);
    }
    lines.push_back(machine::fileExists(shell::neighbourSendToFile()) ? L"neighbour file" : L"no neighbour file");
    return lines;
}

class RemoveShellIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        sample::clearShell();
        // The fresh prefix has the Recycle Bin's class key but no handler
        // list; the tests make and remove their own.
        ASSERT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::kRecycleBinClass));
        ASSERT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::kHandlerList))
            << "the machine has a handler list of its own";
        ASSERT_FALSE(shell::sendToFile().empty());
    }
    void TearDown() override {
        sample::clearShell();
        EXPECT_TRUE(machine::deleteTree(HKEY_LOCAL_MACHINE, shell::classKey(), machine::kView64));
    }

    static void seedFullInstall() {
        sample::seedShell();
        ASSERT_TRUE(machine::fileExists(shell::sendToFile()));
        ASSERT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::handlerKey() + L"\\Options\\Verbs\\Shred"));
        ASSERT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::classKey() +
                                                               L"\\Implemented Categories\\{00021490-0000-0000-C000-"
                                                               L"000000000046}\\Reserved"));
    }

    static bool productItemsGone() {
        return !machine::fileExists(shell::sendToFile()) &&
               !machine::keyExists(HKEY_LOCAL_MACHINE, shell::handlerKey()) &&
               !machine::keyExists(HKEY_LOCAL_MACHINE, shell::classKey());
    }
};

}  // namespace

TEST_F(RemoveShellIntegration, RemovesTheThreeItemsOfAFullInstallAndLeavesTheirNeighbours) {
    seedFullInstall();
    const std::vector<std::wstring> neighboursBefore = neighbourhood();
    HandleLedger ledger;

    EXPECT_TRUE(installhooks::removeShellIntegration());

    EXPECT_TRUE(productItemsGone());
    EXPECT_EQ(neighboursBefore, neighbourhood());
    EXPECT_EQ(std::vector<std::wstring>{shell::kNeighbourHandlerName},
              machine::subkeyNames(HKEY_LOCAL_MACHINE, shell::kHandlerList));
    // Both parents opened for writing, in the default view, and closed.
    ASSERT_GE(ledger.opens().size(), 2U);
    EXPECT_EQ(std::wstring(shell::kHandlerList), ledger.opens().front().path);
    EXPECT_EQ(static_cast<REGSAM>(KEY_WRITE), ledger.opens().front().access);
    bool classRootOpened = false;
    for (const testing_support::KeyOpen& open : ledger.opens()) {
        if (open.path == shell::kClassRoot) {
            classRootOpened = true;
            EXPECT_EQ(HKEY_LOCAL_MACHINE, open.parent);
            EXPECT_EQ(static_cast<REGSAM>(KEY_WRITE), open.access);
        }
    }
    EXPECT_TRUE(classRootOpened);
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_EQ(0, ledger.strayCloses());
}

TEST_F(RemoveShellIntegration, RemovesTheSendToFileThenTheHandlerKeyThenTheClassKey) {
    seedFullInstall();
    std::vector<std::string> calls;
    {
        testing_support::ImportRecorder recorder;
        recorder.observe([&](std::size_t, const std::string& function, const DWORD* arguments) {
            if (function == "DeleteFileW" || function == "RegOpenKeyExW") {
                calls.push_back(
                    function + " " +
                    machine::narrow(testing_support::textArgument(arguments, function == "DeleteFileW" ? 0 : 1)));
            }
        });
        installhooks::removeShellIntegration();
    }
    const auto position = [&calls](const std::string& call) {
        for (std::size_t i = 0; i < calls.size(); ++i) {
            if (calls[i] == call) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    const int file = position("DeleteFileW " + machine::narrow(shell::sendToFile()));
    const int handler = position("RegOpenKeyExW " + machine::narrow(shell::kHandlerName));
    const int classKey = position("RegOpenKeyExW " + machine::narrow(shell::kClassName));
    ASSERT_EQ(0, file);
    EXPECT_LT(file, handler);
    EXPECT_LT(handler, classKey);
}

// SOFTWARE\Classes\CLSID has a key of its own in each view; the step, with
// no view flag, removes the class key of the library's own (32-bit) view.
TEST_F(RemoveShellIntegration, RemovesTheClassKeyOfTheDefaultViewOnly) {
    seedFullInstall();
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, shell::classKey() + L"\\InprocServer32", L"",
                                   L"C:\\Program Files\\Korvan\\ZTB\\KorvanShell64.dll", machine::kView64));
    const std::vector<std::wstring> view64 = machine::dumpTree(HKEY_LOCAL_MACHINE, shell::classKey(), machine::kView64);
    ASSERT_NE(machine::dumpTree(HKEY_LOCAL_MACHINE, shell::classKey()), view64);

    EXPECT_TRUE(installhooks::removeShellIntegration());

    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::classKey()));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::classKey(), machine::kView32));
    EXPECT_EQ(view64, machine::dumpTree(HKEY_LOCAL_MACHINE, shell::classKey(), machine::kView64));
}

TEST_F(RemoveShellIntegration, ASecondRunChangesNothingAndReturnsTheSameResult) {
    seedFullInstall();
    EXPECT_TRUE(installhooks::removeShellIntegration());
    const std::vector<std::wstring> after = machine::dumpTree(HKEY_LOCAL_MACHINE, shell::kRecycleBinClass);
    const std::vector<std::wstring> neighbours = neighbourhood();
    HandleLedger ledger;

    EXPECT_TRUE(installhooks::removeShellIntegration());

    EXPECT_TRUE(productItemsGone());
    EXPECT_EQ(after, machine::dumpTree(HKEY_LOCAL_MACHINE, shell::kRecycleBinClass));
    EXPECT_EQ(neighbours, neighbourhood());
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(RemoveShellIntegration, WithoutTheHandlerListTheClassKeyAndFileStillGoAndTheResultIsFalse) {
    shell::seedSendToFile();
    shell::seedClassKey();
    ASSERT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::kHandlerList));
    const std::vector<std::wstring> recycleBin = machine::dumpTree(HKEY_LOCAL_MACHINE, shell::kRecycleBinClass);
    HandleLedger ledger;

    EXPECT_FALSE(installhooks::removeShellIntegration());

    EXPECT_TRUE(productItemsGone());
    EXPECT_EQ(recycleBin, machine::dumpTree(HKEY_LOCAL_MACHINE, shell::kRecycleBinClass));
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_EQ(0, ledger.strayCloses());
}

TEST_F(RemoveShellIntegration, WithoutTheSendToFolderBothRegistryEntriesStillGo) {
    seedFullInstall();
    {
        HandleLedger ledger;
        ledger.failEvery("SHGetFolderPathW");
        EXPECT_TRUE(installhooks::removeShellIntegration());
        EXPECT_TRUE(ledger.injected());
        EXPECT_EQ(0U, ledger.openCount());
    }
    EXPECT_TRUE(machine::fileExists(shell::sendToFile()));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::handlerKey()));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::classKey()));
}

TEST_F(RemoveShellIntegration, WhenTheRecycleBinIdentifierCannotBeWrittenTheOtherTwoStillGo) {
    seedFullInstall();
    HandleLedger ledger;
    ledger.failEvery("StringFromGUID2");
    EXPECT_FALSE(installhooks::removeShellIntegration());
    EXPECT_TRUE(ledger.injected());
    EXPECT_FALSE(machine::fileExists(shell::sendToFile()));
    EXPECT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::handlerKey() + L"\\Options\\Verbs\\Shred"));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::classKey()));
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(RemoveShellIntegration, WhenTheClassRootCannotBeOpenedTheClassKeyStaysAndTheResultIsFalse) {
    seedFullInstall();
    const std::vector<std::wstring> classBefore = machine::dumpTree(HKEY_LOCAL_MACHINE, shell::classKey());
    HandleLedger ledger;
    ledger.failOpen(shell::kClassRoot, ERROR_ACCESS_DENIED);

    EXPECT_FALSE(installhooks::removeShellIntegration());

    EXPECT_FALSE(machine::fileExists(shell::sendToFile()));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::handlerKey()));
    EXPECT_EQ(classBefore, machine::dumpTree(HKEY_LOCAL_MACHINE, shell::classKey()));
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_EQ(0, ledger.strayCloses());
}

TEST_F(RemoveShellIntegration, APathThatCannotBeComposedEndsTheStepThere) {
    seedFullInstall();
    bool result = true;
    {
        // The first allocation is the Send To file's path.
        HeapAllocFailure allocation(testProgram(), 1);
        ASSERT_TRUE(allocation.applied());
        result = installhooks::removeShellIntegration();
        EXPECT_TRUE(allocation.failed());
    }
    EXPECT_FALSE(result);
    EXPECT_TRUE(machine::fileExists(shell::sendToFile()));
    EXPECT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::handlerKey()));
    EXPECT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::classKey()));
}

// The removal hooks run the step first, through the shipped DLL.
class RemovalHooks : public RemoveShellIntegration, public ::testing::WithParamInterface<const char*> {};

TEST_P(RemovalHooks, RemoveTheShellIntegrationAndLeaveNothingOpen) {
    testing_support::HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    seedFullInstall();
    const std::vector<std::wstring> neighboursBefore = neighbourhood();
    HandleLedger ledger(dll.module());

    EXPECT_EQ(0, dll.call(GetParam()));

    EXPECT_TRUE(productItemsGone());
    EXPECT_EQ(neighboursBefore, neighbourhood());
    EXPECT_GE(ledger.keyOpens(), 2);
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_P(RemovalHooks, GoOnAfterTheStepRunsOutOfMemory) {
    testing_support::HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    seedFullInstall();
    preuninstall_test::seedUserSettings(HKEY_CURRENT_USER, L"");
    ASSERT_TRUE(machine::keyExists(HKEY_CURRENT_USER, L"Software\\Korvan\\ZTB"));
    {
        HeapAllocFailure allocation(dll.module(), 1);
        ASSERT_TRUE(allocation.applied());
        EXPECT_EQ(0, dll.call(GetParam()));
        EXPECT_TRUE(allocation.failed());
    }
    // The step was left at its first path, before any registry entry; the
    // purge that follows it ran all the same.
    EXPECT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, shell::classKey()));
    EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, L"Software\\Korvan"));
    preuninstall_test::clearCurrentUser();
}

INSTANTIATE_TEST_SUITE_P(Hooks, RemovalHooks, ::testing::Values("DllPreUnInstall", "DllZudaUnInstall"),
                         [](const ::testing::TestParamInfo<const char*>& param) { return std::string(param.param); });
