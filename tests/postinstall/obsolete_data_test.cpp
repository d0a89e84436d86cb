// The obsolete agent files below the 32-bit Program Files folder, and the
// obsolete values, "OEM" key and "ZKW" preset in the default (on 64-bit
// Windows: 32-bit) registry view.

#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "postinstall/postinstall.h"
#include "support/fixtures.h"
#include "support/handle_ledger.h"
#include "support/import_recorder.h"
#include "support/platform.h"

using machine::kView32;
using machine::kView64;
using testing_support::HandleLedger;

namespace {

// The 32-bit installer's Program Files folder: "Program Files (x86)" on
// 64-bit Windows, "Program Files" on 32-bit Windows.
const std::wstring kKorvanNet = machine::shellFolder(CSIDL_PROGRAM_FILES) + L"\\KorvanNet";
const std::wstring kAgentApp = kKorvanNet + L"\\Agent\\app";
const std::vector<std::wstring> kAgentFiles = {kAgentApp + L"\\shred.adf", kAgentApp + L"\\shd.adf",
                                               kAgentApp + L"\\ZWL.ADF"};

const std::wstring kSubstitute = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";
const std::wstring kAppInfo = L"Software\\Korvan\\ZTB\\AppInfo";
const std::wstring kPresets = L"Software\\Korvan\\ZHN\\Settings\\TaskSchedulePreset";

class ObsoleteData : public testing_support::ProductKeysTest {
protected:
    void SetUp() override {
        ProductKeysTest::SetUp();
        ASSERT_TRUE(machine::removeDirectoryTree(kKorvanNet));
    }
    void TearDown() override {
        EXPECT_TRUE(machine::removeDirectoryTree(kKorvanNet));
        ProductKeysTest::TearDown();
    }

    static std::vector<std::wstring> settings() {
        return machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32);
    }

    static void expectEverythingClosed(const HandleLedger& ledger) {
        EXPECT_EQ(0U, ledger.openCount());
        EXPECT_EQ(0, ledger.strayCloses());
    }
};

// Runs the file step, and returns the files it deleted, in order; with
// `folderFails`, the Program Files folder cannot be found.
std::vector<std::wstring> deleteFilesRecorded(bool folderFails, bool& result) {
    testing_support::ImportRecorder recorder;
    std::vector<std::wstring> deleted;
    recorder.observe([&](std::size_t position, const std::string& function, const DWORD* arguments) {
        if (function == "DeleteFileW") {
            deleted.push_back(testing_support::textArgument(arguments, 0));
        } else if (folderFails && function == "SHGetFolderPathW") {
            recorder.failCall(position);
        }
    });
    result = installhooks::deleteObsoleteDataFiles();
    EXPECT_EQ(folderFails, recorder.injected());
    return deleted;
}

}  // namespace

TEST_F(ObsoleteData, DeletesTheThreeAgentFilesInOrderAndNothingBesideThem) {
    for (const std::wstring& file : kAgentFiles) {
        ASSERT_TRUE(machine::createDirectories(kAgentApp) && machine::writeFile(file));
    }
    // Neighbours: another file in the folder, and a file of an obsolete
    // name one folder up.
    ASSERT_TRUE(machine::writeFile(kAgentApp + L"\\agent.cfg"));
    ASSERT_TRUE(machine::writeFile(kKorvanNet + L"\\Agent\\shred.adf"));

    bool result = false;
    EXPECT_EQ(kAgentFiles, deleteFilesRecorded(false, result));
    EXPECT_TRUE(result);
    for (const std::wstring& file : kAgentFiles) {
        EXPECT_FALSE(machine::fileExists(file)) << machine::narrow(file);
    }
    EXPECT_TRUE(machine::fileExists(kAgentApp + L"\\agent.cfg"));
    EXPECT_TRUE(machine::fileExists(kKorvanNet + L"\\Agent\\shred.adf"));
    EXPECT_TRUE(machine::directoryExists(kAgentApp));
}

TEST_F(ObsoleteData, DeletesWhicheverFilesAreThere) {
    // Only the last of the three.
    ASSERT_TRUE(machine::createDirectories(kAgentApp) && machine::writeFile(kAgentFiles[2]));
    EXPECT_TRUE(installhooks::deleteObsoleteDataFiles());
    EXPECT_FALSE(machine::fileExists(kAgentFiles[2]));

    // No agent folder at all: nothing to do, nothing made.
    ASSERT_TRUE(machine::removeDirectoryTree(kKorvanNet));
    EXPECT_TRUE(installhooks::deleteObsoleteDataFiles());
    EXPECT_FALSE(machine::directoryExists(kKorvanNet));
}

TEST_F(ObsoleteData, WithoutTheProgramFilesFolderTouchesNoFile) {
    for (const std::wstring& file : kAgentFiles) {
        ASSERT_TRUE(machine::createDirectories(kAgentApp) && machine::writeFile(file));
    }
    bool result = true;
    EXPECT_TRUE(deleteFilesRecorded(true, result).empty());
    EXPECT_FALSE(result);
    for (const std::wstring& file : kAgentFiles) {
        EXPECT_TRUE(machine::fileExists(file)) << machine::narrow(file);
    }
}

// The Substitute key has the same path in both views: the stamp writes the
// 64-bit one, the obsolete values go from the 32-bit one.
TEST_F(ObsoleteData, RemovesTheThreeObsoleteValuesFromThe32BitSubstituteKeyOnly) {
    for (REGSAM view : {kView32, kView64}) {
        for (const wchar_t* name : {L"buildLD", L"domain", L"lang"}) {
            ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, name, L"old", view));
        }
        ASSERT_TRUE(machine::setBinary(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", std::vector<BYTE>(16, 7), view));
        ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"date", L"3/14/2019", view));
    }
    const machine::Value gmt32 = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView32);
    const machine::Value date32 = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView32);

    installhooks::stampInstallDate();
    {
        HandleLedger ledger;
        EXPECT_TRUE(installhooks::removeObsoleteSettings());
        expectEverythingClosed(ledger);
    }

    EXPECT_EQ((std::vector<std::wstring>{L"date", L"gmt"}),
              machine::valueNames(HKEY_LOCAL_MACHINE, kSubstitute, kView32));
    EXPECT_EQ(256U, machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView64).data.size());
    if (testing_support::twoRegistryViews()) {
        EXPECT_EQ(gmt32.data, machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView32).data);
        EXPECT_EQ(date32.data, machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView32).data);
        // The 64-bit key keeps its values, with the fresh stamp.
        EXPECT_EQ((std::vector<std::wstring>{L"buildLD", L"date", L"domain", L"gmt", L"lang"}),
                  machine::valueNames(HKEY_LOCAL_MACHINE, kSubstitute, kView64));
    } else {
        EXPECT_NE(date32.data, machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView32).data)
            << "32-bit Windows: one registry view, so one Substitute key, with the fresh stamp";
    }
}

// AppInfo
//   OEM            values             -> deleted
//   Substitute     value              -> stays
TEST_F(ObsoleteData, DeletesOemOnlyWhileItHasNoSubkeys) {
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kAppInfo + L"\\OEM", L"Vendor", L"Acme", kView32));
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kAppInfo + L"\\OEM", L"Bundle", 3, kView32));
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"version", L"7.2.1", kView32));
    const std::vector<std::wstring> substitute = machine::dumpTree(HKEY_LOCAL_MACHINE, kSubstitute, kView32);

    EXPECT_TRUE(installhooks::removeObsoleteSettings());

    EXPECT_EQ(std::vector<std::wstring>{L"Substitute"}, machine::subkeyNames(HKEY_LOCAL_MACHINE, kAppInfo, kView32));
    EXPECT_EQ(substitute, machine::dumpTree(HKEY_LOCAL_MACHINE, kSubstitute, kView32));

    // With a subkey of its own, "OEM" stays with all it holds.
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kAppInfo + L"\\OEM", L"Vendor", L"Acme", kView32));
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kAppInfo + L"\\OEM\\Branding", L"Logo", L"acme.png", kView32));
    const std::vector<std::wstring> appInfo = machine::dumpTree(HKEY_LOCAL_MACHINE, kAppInfo, kView32);
    EXPECT_TRUE(installhooks::removeObsoleteSettings());
    EXPECT_EQ(appInfo, machine::dumpTree(HKEY_LOCAL_MACHINE, kAppInfo, kView32));
}

// TaskSchedulePreset
//   Daily          value              -> stays
//   ZKW            values             -> deleted, whole
//     Night        value
//       Window     value
//     Weekend      (empty key)
TEST_F(ObsoleteData, DeletesTheZkwPresetWholeFromAParentOpenedWithFullAccess) {
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kPresets, L"Default", L"Daily", kView32));
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\Daily", L"Hour", 2, kView32));
    const std::vector<std::wstring> withoutZkw = machine::dumpTree(HKEY_LOCAL_MACHINE, kPresets, kView32);
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW", L"Name", L"ZKW", kView32));
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW\\Night", L"Hour", 23, kView32));
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW\\Night\\Window", L"Minutes", 90, kView32));
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW\\Weekend", kView32));

    {
        HandleLedger ledger;
        EXPECT_TRUE(installhooks::removeObsoleteSettings());
        expectEverythingClosed(ledger);
        bool parentOpened = false;
        for (const testing_support::KeyOpen& open : ledger.opens()) {
            if (open.function == "RegOpenKeyExW" && open.path == kPresets + L"\\") {
                parentOpened = true;
                EXPECT_EQ(HKEY_LOCAL_MACHINE, open.parent);
                EXPECT_EQ(static_cast<REGSAM>(KEY_ALL_ACCESS), open.access);
            }
        }
        EXPECT_TRUE(parentOpened);
    }

    EXPECT_EQ(withoutZkw, machine::dumpTree(HKEY_LOCAL_MACHINE, kPresets, kView32));
}

TEST_F(ObsoleteData, WithoutTheZkwPresetNeverOpensItsParent) {
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\Daily", L"Hour", 2, kView32));
    // A preset of that name only in the 64-bit view is not the product's
    // (32-bit Windows has one view, and no such preset).
    const bool twoViews = testing_support::twoRegistryViews();
    if (twoViews) {
        ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW", L"Name", L"ZKW", kView64));
    }
    const std::vector<std::wstring> before = settings();
    {
        HandleLedger ledger;
        EXPECT_TRUE(installhooks::removeObsoleteSettings());
        expectEverythingClosed(ledger);
        int presetTests = 0;
        for (const testing_support::KeyOpen& open : ledger.opens()) {
            EXPECT_NE(kPresets + L"\\", open.path);
            if (open.function == "RegOpenKeyW") {
                ++presetTests;
                EXPECT_EQ(kPresets + L"\\ZKW", open.path);
                EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), open.status);
            }
        }
        EXPECT_EQ(1, presetTests);
    }
    EXPECT_EQ(before, settings());
    EXPECT_EQ(twoViews, machine::keyExists(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW", kView64));
}

TEST_F(ObsoleteData, APresetParentThatCannotBeOpenedWithFullAccessLeavesThePreset) {
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW", L"Name", L"ZKW", kView32));
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW\\Night", L"Hour", 23, kView32));
    // The steps before it still do their work.
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"lang", L"en-US", kView32));
    const std::vector<std::wstring> presets = machine::dumpTree(HKEY_LOCAL_MACHINE, kPresets, kView32);
    {
        HandleLedger ledger;
        ledger.failOpen(L"TaskSchedulePreset\\", ERROR_ACCESS_DENIED);
        EXPECT_TRUE(installhooks::removeObsoleteSettings());
        expectEverythingClosed(ledger);
    }
    EXPECT_EQ(presets, machine::dumpTree(HKEY_LOCAL_MACHINE, kPresets, kView32));
    EXPECT_FALSE(machine::valueExists(HKEY_LOCAL_MACHINE, kSubstitute, L"lang", kView32));
}

TEST_F(ObsoleteData, OpensEachKeyWithItsMaskAndNoViewFlag) {
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kSubstitute, kView32));
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW", kView32));
    HandleLedger ledger;
    EXPECT_TRUE(installhooks::removeObsoleteSettings());
    expectEverythingClosed(ledger);
    // The first four opens are the step's own; those after them are the
    // preset walk's.
    ASSERT_LE(4U, ledger.opens().size());
    // RegOpenKeyW takes no mask: its open names only the key.
    const struct {
        const char* function;
        std::wstring path;
        REGSAM access;
    } expected[] = {
        {"RegOpenKeyExW", kSubstitute, KEY_READ | KEY_WRITE},
        {"RegOpenKeyExW", kAppInfo, KEY_READ | KEY_WRITE},
        {"RegOpenKeyW", kPresets + L"\\ZKW", 0},
        {"RegOpenKeyExW", kPresets + L"\\", KEY_ALL_ACCESS},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(machine::narrow(expected[i].path));
        const testing_support::KeyOpen& open = ledger.opens()[i];
        EXPECT_EQ(expected[i].function, open.function);
        EXPECT_EQ(HKEY_LOCAL_MACHINE, open.parent);
        EXPECT_EQ(expected[i].path, open.path);
        if (open.function != "RegOpenKeyW") {
            EXPECT_EQ(expected[i].access, open.access);
        }
        EXPECT_EQ(static_cast<LONG>(ERROR_SUCCESS), open.status);
    }
    for (const testing_support::KeyOpen& open : ledger.opens()) {
        if (open.function != "RegOpenKeyW") {
            EXPECT_EQ(0U, open.access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) << machine::narrow(open.path);
        }
    }
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW", kView32));
}

TEST_F(ObsoleteData, ASecondRunOfBothChangesNothing) {
    for (const std::wstring& file : kAgentFiles) {
        ASSERT_TRUE(machine::createDirectories(kAgentApp) && machine::writeFile(file));
    }
    ASSERT_TRUE(machine::writeFile(kAgentApp + L"\\agent.cfg"));
    for (const wchar_t* name : {L"buildLD", L"domain", L"lang", L"gmt", L"date"}) {
        ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, name, L"old", kView32));
    }
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kAppInfo + L"\\OEM", L"Vendor", L"Acme", kView32));
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\ZKW\\Night", L"Hour", 23, kView32));
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kPresets + L"\\Daily", L"Hour", 2, kView32));

    EXPECT_TRUE(installhooks::deleteObsoleteDataFiles());
    EXPECT_TRUE(installhooks::removeObsoleteSettings());
    const std::vector<std::wstring> after = settings();
    ASSERT_EQ(std::vector<std::wstring>{L"Daily"}, machine::subkeyNames(HKEY_LOCAL_MACHINE, kPresets, kView32));

    EXPECT_TRUE(installhooks::deleteObsoleteDataFiles());
    EXPECT_TRUE(installhooks::removeObsoleteSettings());
    EXPECT_EQ(after, settings());
    EXPECT_TRUE(machine::fileExists(kAgentApp + L"\\agent.cfg"));
    for (const std::wstring& file : kAgentFiles) {
        EXPECT_FALSE(machine::fileExists(file)) << machine::narrow(file);
    }
}
