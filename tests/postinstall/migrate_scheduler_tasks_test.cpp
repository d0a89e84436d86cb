// The scheduler task migration: task keys ("zwtask" in the name, exact case)
// move from the suite's scheduler key to the platform's, whole, in the
// default (on 64-bit Windows: 32-bit) view.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "postinstall/postinstall.h"
#include "support/fixtures.h"
#include "support/handle_ledger.h"
#include "support/registry_faults.h"

using machine::kView32;
using machine::kView64;
using testing_support::CopyKeyFault;
using testing_support::CreateKeyFault;
using testing_support::HandleLedger;
using testing_support::testProgram;

namespace {

const std::wstring kSuite = L"Software\\Korvan\\ZHN\\Scheduler";
const std::wstring kPlatform = L"Software\\Korvan\\Platform\\Scheduler";

class MigrateSchedulerTasks : public testing_support::ProductKeysTest {
protected:
    // A task as the suite writes it: a few values of several types.
    static void seedTask(const std::wstring& name) {
        const std::wstring path = kSuite + L"\\" + name;
        ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, path, L"", L"default of " + name, kView32));
        ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, path, L"Command", L"zhn.exe /run " + name, kView32));
        ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, path, L"Interval", 3600, kView32));
        ASSERT_TRUE(machine::setBinary(HKEY_LOCAL_MACHINE, path, L"Trigger", {1, 2, 3, 4, 5}, kView32));
    }

    static std::vector<std::wstring> suiteTask(const std::wstring& name) {
        return machine::dumpTree(HKEY_LOCAL_MACHINE, kSuite + L"\\" + name, kView32);
    }
    static std::vector<std::wstring> platformTask(const std::wstring& name) {
        return machine::dumpTree(HKEY_LOCAL_MACHINE, kPlatform + L"\\" + name, kView32);
    }
    static std::vector<std::wstring> suiteNames() { return machine::subkeyNames(HKEY_LOCAL_MACHINE, kSuite, kView32); }
    static std::vector<std::wstring> platformNames() {
        return machine::subkeyNames(HKEY_LOCAL_MACHINE, kPlatform, kView32);
    }

    static void expectEverythingClosed(const HandleLedger& ledger) {
        EXPECT_EQ(0U, ledger.openCount());
        EXPECT_EQ(0, ledger.strayCloses());
        EXPECT_EQ(ledger.keyOpens(), ledger.keyCloses());
    }
};

}  // namespace

// HKLM\Software\Korvan\ZHN\Scheduler (32-bit view), enumerated in this order:
//   Backup.zwtask     values          -> moves
//   Cleanup.zwtask    values          -> moves, though it follows a deleted key
//   Shred.ZWTASK      marker in caps  -> stays
//   Updater           no marker       -> stays
//     Nested.zwtask   not direct      -> stays with its parent
TEST_F(MigrateSchedulerTasks, MovesEveryTaskKeyWithItsValuesAndLeavesTheOthers) {
    seedTask(L"Backup.zwtask");
    seedTask(L"Cleanup.zwtask");
    seedTask(L"Shred.ZWTASK");
    seedTask(L"Updater");
    seedTask(L"Updater\\Nested.zwtask");
    const std::vector<std::wstring> backup = suiteTask(L"Backup.zwtask");
    const std::vector<std::wstring> cleanup = suiteTask(L"Cleanup.zwtask");
    const std::vector<std::wstring> shred = suiteTask(L"Shred.ZWTASK");
    const std::vector<std::wstring> updater = suiteTask(L"Updater");
    ASSERT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kPlatform, kView32));

    bool result = false;
    {
        HandleLedger ledger;
        result = installhooks::migrateSchedulerTasks();
        expectEverythingClosed(ledger);

        // The suite's key is read through its path with the trailing
        // backslash, and no call names a view.
        ASSERT_FALSE(ledger.opens().empty());
        const testing_support::KeyOpen& first = ledger.opens().front();
        EXPECT_EQ("RegOpenKeyExW", first.function);
        EXPECT_EQ(HKEY_LOCAL_MACHINE, first.parent);
        EXPECT_EQ(kSuite + L"\\", first.path);
        EXPECT_EQ(static_cast<REGSAM>(KEY_READ), first.access);
        int creates = 0;
        for (const testing_support::KeyOpen& open : ledger.opens()) {
            EXPECT_EQ(0U, open.access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) << machine::narrow(open.path);
            if (open.function == "RegCreateKeyExW") {
                ++creates;
                EXPECT_EQ(static_cast<REGSAM>(KEY_ALL_ACCESS), open.access);
                EXPECT_EQ(0U, open.options);
            }
        }
        EXPECT_EQ(2, creates);
    }

    EXPECT_TRUE(result);
    EXPECT_EQ(backup, platformTask(L"Backup.zwtask"));
    EXPECT_EQ(cleanup, platformTask(L"Cleanup.zwtask"));
    EXPECT_EQ((std::vector<std::wstring>{L"Backup.zwtask", L"Cleanup.zwtask"}), platformNames());
    EXPECT_EQ((std::vector<std::wstring>{L"Shred.ZWTASK", L"Updater"}), suiteNames());
    EXPECT_EQ(shred, suiteTask(L"Shred.ZWTASK"));
    EXPECT_EQ(updater, suiteTask(L"Updater"));
    // Nothing reached the 64-bit view.
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView64));
}

// Scheduler\Report.zwtask
//   Daily            values
//     Window         values
//   Weekly           (empty key)
TEST_F(MigrateSchedulerTasks, MovesATaskWithSubkeysWholeAndASecondRunChangesNothing) {
    seedTask(L"Report.zwtask");
    seedTask(L"Report.zwtask\\Daily");
    seedTask(L"Report.zwtask\\Daily\\Window");
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kSuite + L"\\Report.zwtask\\Weekly", kView32));
    seedTask(L"Updater");
    const std::vector<std::wstring> report = suiteTask(L"Report.zwtask");

    {
        HandleLedger ledger;
        EXPECT_TRUE(installhooks::migrateSchedulerTasks());
        expectEverythingClosed(ledger);
    }

    EXPECT_EQ(report, platformTask(L"Report.zwtask"));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kSuite + L"\\Report.zwtask", kView32));
    EXPECT_EQ(std::vector<std::wstring>{L"Updater"}, suiteNames());

    const std::vector<std::wstring> after = machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32);
    {
        HandleLedger ledger;
        EXPECT_FALSE(installhooks::migrateSchedulerTasks());
        expectEverythingClosed(ledger);
    }
    EXPECT_EQ(after, machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32));
}

TEST_F(MigrateSchedulerTasks, CopiesIntoANewKeyThatAlreadyExists) {
    seedTask(L"Backup.zwtask");
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kPlatform + L"\\Backup.zwtask", L"Owner", L"platform", kView32));
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kPlatform + L"\\Backup.zwtask", L"Interval", 60, kView32));
    const std::vector<std::wstring> backup = suiteTask(L"Backup.zwtask");
    const std::wstring owner =
        machine::describe(machine::readValue(HKEY_LOCAL_MACHINE, kPlatform + L"\\Backup.zwtask", L"Owner", kView32));

    EXPECT_TRUE(installhooks::migrateSchedulerTasks());

    // The copy's values join the existing key's, replacing those of the same
    // name ("Interval").
    std::vector<std::wstring> expected = backup;
    expected.insert(expected.begin() + 4, L" : Owner = " + owner);
    EXPECT_EQ(expected, platformTask(L"Backup.zwtask"));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kSuite + L"\\Backup.zwtask", kView32));
}

TEST_F(MigrateSchedulerTasks, MovesATaskWhoseNameHasTheRegistrysFullLength) {
    // 255 characters: the paths built from it are longer than MAX_PATH.
    std::wstring name = L"Long.zwtask.";
    name.resize(255, L'x');
    seedTask(name);
    ASSERT_EQ(std::vector<std::wstring>{name}, suiteNames());
    const std::vector<std::wstring> task = suiteTask(name);

    EXPECT_TRUE(installhooks::migrateSchedulerTasks());

    EXPECT_EQ(task, platformTask(name));
    EXPECT_EQ(std::vector<std::wstring>{}, suiteNames());
}

TEST_F(MigrateSchedulerTasks, AFailedCopyKeepsTheOldKeyAndTheLatestCopyDecidesTheResult) {
    seedTask(L"Backup.zwtask");
    seedTask(L"Cleanup.zwtask");
    seedTask(L"Updater");
    const std::vector<std::wstring> cleanup = suiteTask(L"Cleanup.zwtask");

    // The last task in enumeration order fails: the step ends after it
    // without trying it again, and the result is false.
    {
        HandleLedger ledger;
        CopyKeyFault copy(testProgram(), L"\\Cleanup.zwtask", ERROR_ACCESS_DENIED);
        ASSERT_TRUE(copy.applied());
        EXPECT_FALSE(installhooks::migrateSchedulerTasks());
        EXPECT_EQ((std::vector<std::wstring>{L"Backup.zwtask", L"Cleanup.zwtask"}), copy.sources());
        // The whole key is copied: no subkey name is given.
        EXPECT_EQ((std::vector<std::wstring>{L"", L""}), copy.subkeys());
        expectEverythingClosed(ledger);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Cleanup.zwtask", L"Updater"}), suiteNames());
    EXPECT_EQ(cleanup, suiteTask(L"Cleanup.zwtask"));
    // Its new key stays as far as it was made: created, nothing copied.
    EXPECT_EQ(std::vector<std::wstring>{L"[]"}, platformTask(L"Cleanup.zwtask"));

    // A failure followed by a successful copy: the later copy decides.
    {
        seedTask(L"Backup.zwtask");
        CopyKeyFault copy(testProgram(), L"\\Backup.zwtask", ERROR_ACCESS_DENIED);
        ASSERT_TRUE(copy.applied());
        EXPECT_TRUE(installhooks::migrateSchedulerTasks());
        EXPECT_EQ((std::vector<std::wstring>{L"Backup.zwtask", L"Cleanup.zwtask"}), copy.sources());
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Backup.zwtask", L"Updater"}), suiteNames());
    EXPECT_EQ(cleanup, platformTask(L"Cleanup.zwtask"));
}

TEST_F(MigrateSchedulerTasks, AnOldKeyThatCannotBeOpenedEndsTheMigrationThere) {
    seedTask(L"Alpha.zwtask");
    seedTask(L"Backup.zwtask");
    seedTask(L"Cleanup.zwtask");
    const std::vector<std::wstring> alpha = suiteTask(L"Alpha.zwtask");

    bool result = false;
    {
        HandleLedger ledger;
        ledger.failOpen(L"ZHN\\Scheduler\\Backup.zwtask", ERROR_ACCESS_DENIED);
        result = installhooks::migrateSchedulerTasks();
        expectEverythingClosed(ledger);
    }

    // Alpha was moved before; the latest copy succeeded.
    EXPECT_TRUE(result);
    EXPECT_EQ(alpha, platformTask(L"Alpha.zwtask"));
    EXPECT_EQ((std::vector<std::wstring>{L"Backup.zwtask", L"Cleanup.zwtask"}), suiteNames());
    EXPECT_EQ(std::vector<std::wstring>{L"Alpha.zwtask"}, platformNames());
}

TEST_F(MigrateSchedulerTasks, ACreateThatFailsEndsTheMigrationWithThatKeyNeitherCopiedNorDeleted) {
    seedTask(L"Alpha.zwtask");
    seedTask(L"Backup.zwtask");
    seedTask(L"Cleanup.zwtask");
    const std::vector<std::wstring> backup = suiteTask(L"Backup.zwtask");

    {
        HandleLedger ledger;
        CreateKeyFault create(testProgram(), L"Platform\\Scheduler\\Backup.zwtask", ERROR_ACCESS_DENIED);
        CopyKeyFault copy(testProgram(), L"", ERROR_SUCCESS);
        ASSERT_TRUE(create.applied() && copy.applied());
        EXPECT_TRUE(installhooks::migrateSchedulerTasks());
        EXPECT_EQ(1, create.failures());
        EXPECT_EQ(std::vector<std::wstring>{L"Alpha.zwtask"}, copy.sources());
        expectEverythingClosed(ledger);
    }

    EXPECT_EQ((std::vector<std::wstring>{L"Backup.zwtask", L"Cleanup.zwtask"}), suiteNames());
    EXPECT_EQ(backup, suiteTask(L"Backup.zwtask"));
    EXPECT_EQ(std::vector<std::wstring>{L"Alpha.zwtask"}, platformNames());
}

TEST_F(MigrateSchedulerTasks, WithoutTasksReturnsFalseAndCreatesNothing) {
    // No suite scheduler key at all.
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\ZHN", kView32));
    {
        HandleLedger ledger;
        EXPECT_FALSE(installhooks::migrateSchedulerTasks());
        ASSERT_EQ(1U, ledger.opens().size());
        EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), ledger.opens()[0].status);
        expectEverythingClosed(ledger);
    }
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\Platform", kView32));
    EXPECT_EQ(std::vector<std::wstring>{L"ZHN"},
              machine::subkeyNames(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32));

    // A suite scheduler key without subkeys.
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kSuite, kView32));
    {
        HandleLedger ledger;
        EXPECT_FALSE(installhooks::migrateSchedulerTasks());
        EXPECT_EQ(1U, ledger.opens().size());
        expectEverythingClosed(ledger);
    }
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\Platform", kView32));

    // Tasks only in the 64-bit view are not the suite's: the step does not
    // see them.
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kSuite + L"\\Backup.zwtask", L"Command", L"x", kView64));
    EXPECT_FALSE(installhooks::migrateSchedulerTasks());
    EXPECT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, kSuite + L"\\Backup.zwtask", kView64));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\Platform", kView32));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\Platform", kView64));
}
