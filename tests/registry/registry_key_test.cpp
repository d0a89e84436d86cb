// RegistryKey on real keys: what openKey, closeKey and destruction do with
// the handles, what deleteChildKey and deleteKeyTree delete and leave, in
// which registry view, and that a registry link never leads the walk out of
// the subtree it deletes.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "common/compose.h"
#include "registry/RegistryKey.h"
#include "registry/registry_support.h"
#include "support/handle_ledger.h"
#include "support/heap_failure.h"
#include "support/iat_patch.h"
#include "support/platform.h"
#include "support/stack_use.h"

using installhooks::RegistryKey;
using machine::kView32;
using machine::kView64;
using registry_testing::deleteExCalls;
using registry_testing::kScratch;
using registry_testing::RegistryLink;
using testing_support::HandleLedger;
using testing_support::HeapAllocFailure;
using testing_support::IatPatch;
using testing_support::testProgram;

namespace {

const std::wstring kBase = kScratch;
const std::wstring kParent = kBase + L"\\Parent";
const std::wstring kDoomed = kParent + L"\\Doomed";
const std::wstring kTarget = kBase + L"\\Target";

using registry_testing::handleDeletionNames;
using registry_testing::handleDeletions;

// Doomed            (values)
// ├── Alpha         (value)
// │   ├── A1        (value)
// │   │   ├── A1x   (value)
// │   │   └── A1y
// │   └── A2
// ├── Bravo
// │   ├── B1        (value)
// │   └── B2
// │       └── B2x   (value)
// └── Charlie
//     └── C1
void buildDoomed(const std::wstring& doomed) {
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, doomed, L"", L"doomed"));
    ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, doomed, L"count", 3));
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, doomed + L"\\Alpha", L"name", L"alpha"));
    ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, doomed + L"\\Alpha\\A1", L"n", 1));
    ASSERT_TRUE(machine::setBinary(HKEY_CURRENT_USER, doomed + L"\\Alpha\\A1\\A1x", L"blob", {1, 2, 3}));
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, doomed + L"\\Alpha\\A1\\A1y"));
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, doomed + L"\\Alpha\\A2"));
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, doomed + L"\\Bravo\\B1", L"", L"b1"));
    ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, doomed + L"\\Bravo\\B2\\B2x", L"n", 2));
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, doomed + L"\\Charlie\\C1"));
}

// Target            (value)
// ├── T1            (value)
// │   └── T1a       (value)
// └── T2
void buildTarget() {
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kTarget, L"owner", L"someone else"));
    ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, kTarget + L"\\T1", L"n", 1));
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kTarget + L"\\T1\\T1a", L"", L"deep"));
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, kTarget + L"\\T2"));
}

class DeleteKeyTree : public registry_testing::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        deleteExCalls().clear();
        handleDeletions().clear();
    }
};

int g_lookups = 0;
decltype(&GetProcAddress) g_getProcAddress = nullptr;
FARPROC WINAPI countingGetProcAddress(HMODULE module, LPCSTR name) {
    ++g_lookups;
    return g_getProcAddress(module, name);
}

}  // namespace

TEST_F(DeleteKeyTree, AMissingChildGivesFileNotFoundAndChangesNothing) {
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kParent + L"\\Other", L"v", L"x"));
    const std::vector<std::wstring> before = machine::dumpTree(HKEY_CURRENT_USER, kBase);
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.deleteKeyTree(L"Doomed"));

    EXPECT_EQ(before, machine::dumpTree(HKEY_CURRENT_USER, kBase));
    EXPECT_TRUE(handleDeletions().empty());
}

TEST_F(DeleteKeyTree, AChildWithoutSubkeysIsDeleted) {
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kDoomed, L"v", L"x"));
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));

    EXPECT_EQ(ERROR_SUCCESS, key.deleteKeyTree(L"Doomed"));

    EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, kDoomed));
    EXPECT_TRUE(machine::keyExists(HKEY_CURRENT_USER, kParent));
}

TEST_F(DeleteKeyTree, DeletesAThreeLevelSubtreeDeepestFirstAndLeavesTheParentAndItsOtherChildren) {
    buildDoomed(kDoomed);
    // Parent (value) also holds Keep (value) with Keep\Inner (value), and
    // Doomedness (a name that starts like the doomed child's).
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kParent, L"mine", L"parent"));
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kParent + L"\\Keep", L"v", L"keep"));
    ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, kParent + L"\\Keep\\Inner", L"n", 9));
    ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, kParent + L"\\Doomedness", L"n", 1));
    const std::vector<std::wstring> before = machine::dumpTree(HKEY_CURRENT_USER, kParent);
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));

    EXPECT_EQ(ERROR_SUCCESS, key.deleteKeyTree(L"Doomed"));

    EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, kDoomed));
    EXPECT_EQ((std::vector<std::wstring>{L"Doomedness", L"Keep"}), machine::subkeyNames(HKEY_CURRENT_USER, kParent));
    std::vector<std::wstring> expected = before;
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [](const std::wstring& line) {
                                      return line.rfind(L"[Doomed]", 0) == 0 || line.rfind(L"Doomed :", 0) == 0 ||
                                             line.rfind(L"[Doomed\\", 0) == 0 || line.rfind(L"Doomed\\", 0) == 0;
                                  }),
                   expected.end());
    EXPECT_EQ(expected, machine::dumpTree(HKEY_CURRENT_USER, kParent));
    // Each key goes after everything below it, through its own handle and
    // never by name; the named child goes last.
    EXPECT_EQ((std::vector<std::wstring>{L"A1x", L"A1y", L"A1", L"A2", L"Alpha", L"B1", L"B2x", L"B2", L"Bravo", L"C1",
                                         L"Charlie", L"Doomed"}),
              handleDeletionNames());
    EXPECT_TRUE(deleteExCalls().empty());
}

TEST_F(DeleteKeyTree, AGrandchildThatCannotBeOpenedStopsTheWalkWithItsStatus) {
    buildDoomed(kDoomed);
    const std::vector<std::wstring> bravoBefore = machine::dumpTree(HKEY_CURRENT_USER, kDoomed + L"\\Bravo");
    const std::vector<std::wstring> charlieBefore = machine::dumpTree(HKEY_CURRENT_USER, kDoomed + L"\\Charlie");
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));
    HandleLedger ledger;
    // A status the final deletion of Doomed could not give by itself.
    ledger.failOpen(L"Bravo", ERROR_CANTOPEN);

    EXPECT_EQ(ERROR_CANTOPEN, key.deleteKeyTree(L"Doomed"));

    // Alpha, enumerated first, is gone; the walk went no further than Bravo.
    EXPECT_EQ((std::vector<std::wstring>{L"Bravo", L"Charlie"}), machine::subkeyNames(HKEY_CURRENT_USER, kDoomed));
    EXPECT_EQ(bravoBefore, machine::dumpTree(HKEY_CURRENT_USER, kDoomed + L"\\Bravo"));
    EXPECT_EQ(charlieBefore, machine::dumpTree(HKEY_CURRENT_USER, kDoomed + L"\\Charlie"));
    EXPECT_TRUE(machine::valueExists(HKEY_CURRENT_USER, kDoomed, L"count"));
    for (const testing_support::KeyOpen& open : ledger.opens()) {
        EXPECT_NE(L"Charlie", open.path);
    }
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_EQ(0, ledger.strayCloses());
}

TEST_F(DeleteKeyTree, MakesNoHeapAllocation) {
    buildDoomed(kDoomed);
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));
    LONG status = -1;
    int control = 0;
    int allocations = 0;
    registry_testing::recordHandleDeletions(false);
    {
        HeapAllocFailure counter(testProgram(), 0);
        ASSERT_TRUE(counter.applied());
        // The counter sees an allocation made the way the product makes one.
        installhooks::composePath(L"%s", {L"x"});
        control = counter.allocations();
        status = key.deleteKeyTree(L"Doomed");
        allocations = counter.allocations() - control;
    }
    registry_testing::recordHandleDeletions(true);
    EXPECT_EQ(1, control);
    EXPECT_EQ(ERROR_SUCCESS, status);
    EXPECT_EQ(0, allocations);
    EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, kDoomed));
}

// Doomed\L1\L2\...: one key per level. Windows keeps a tree to 512 levels
// below its hive's root and refuses a key below that; Wine makes keys at any
// depth, and there the walk's own limit of 512 levels, counted from the key
// it deletes, is what stops it.
namespace {
std::wstring levelName(int level) { return L"L" + std::to_wstring(level); }
}  // namespace

TEST_F(DeleteKeyTree, TakesTheSameStackAtAnyDepthAndStopsBelowTheRegistrysDeepest) {
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, kParent));
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));
    registry_testing::recordHandleDeletions(false);
    // Makes a chain of `keys` from Doomed down, as far as the platform lets
    // it, and deletes it; returns the chain's length and the stack taken.
    auto deleteChainOf = [&](int keys, LONG* status) {
        const int made = 1 + machine::createChain(HKEY_CURRENT_USER, kDoomed, keys - 1, &levelName);
        // Room for a walk that takes a name buffer per level.
        const testing_support::StackUse use =
            testing_support::runWithStackLeft(768 * 1024, [&] { *status = key.deleteKeyTree(L"Doomed"); });
        EXPECT_TRUE(use.ran);
        return std::pair{made, use.deepest};
    };
    // Doomed is the 5th level below the hive's root.
    const int doomedLevel = static_cast<int>(std::count(kDoomed.begin(), kDoomed.end(), L'\\')) + 1;
    const int deepest = testing_support::onWine() ? 512 : 512 - doomedLevel + 1;
    LONG shallowStatus = -1;
    LONG deepStatus = -1;
    LONG deeperStatus = -1;
    const auto [shallowMade, shallow] = deleteChainOf(8, &shallowStatus);
    const auto [deepMade, deep] = deleteChainOf(deepest, &deepStatus);
    EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, kDoomed));
    const int deeperMade = deleteChainOf(deepest + 1, &deeperStatus).first;
    registry_testing::recordHandleDeletions(true);

    std::printf("[ stack    ] deleteKeyTree: %zu bytes for a tree 8 levels deep, %zu for %d\n", shallow, deep, deepest);
    EXPECT_EQ(8, shallowMade);
    EXPECT_EQ(deepest, deepMade);
    EXPECT_EQ(ERROR_SUCCESS, shallowStatus);
    EXPECT_EQ(ERROR_SUCCESS, deepStatus);
    EXPECT_LE(deep, shallow + 64);
    if (testing_support::onWine()) {
        // A level more than the walk goes: it ends before it deletes anything.
        EXPECT_EQ(deepest + 1, deeperMade)
            << "Wine divergence: Wine makes a key more than 512 levels below the hive's root";
        EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, deeperStatus);
        EXPECT_EQ(512, machine::chainDepth(HKEY_CURRENT_USER, kDoomed));
    } else {
        EXPECT_EQ(deepest, deeperMade)
            << "Windows: the registry refuses a key more than 512 levels below the hive's root";
        EXPECT_EQ(ERROR_SUCCESS, deeperStatus);
        EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, kDoomed));
    }
}

TEST_F(DeleteKeyTree, RemovesALinkInsideTheSubtreeAndLeavesItsTarget) {
    buildTarget();
    // Parent\Doomed\Inner\Link -> Target, beside Parent\Doomed\Plain.
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, kDoomed + L"\\Inner"));
    ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, kDoomed + L"\\Plain", L"n", 1));
    const std::wstring target = registry_testing::absoluteName(HKEY_CURRENT_USER, kTarget);
    ASSERT_FALSE(target.empty());
    RegistryLink link(HKEY_CURRENT_USER, kDoomed + L"\\Inner\\Link", target);
    ASSERT_TRUE(link.made());
    // The link is live: its path leads into the target.
    ASSERT_TRUE(machine::keyExists(HKEY_CURRENT_USER, kDoomed + L"\\Inner\\Link\\T1\\T1a"));
    const std::vector<std::wstring> targetBefore = machine::dumpTree(HKEY_CURRENT_USER, kTarget);
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));

    EXPECT_EQ(ERROR_SUCCESS, key.deleteKeyTree(L"Doomed"));

    EXPECT_FALSE(link.exists());
    EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, kDoomed));
    EXPECT_EQ(targetBefore, machine::dumpTree(HKEY_CURRENT_USER, kTarget));
}

TEST_F(DeleteKeyTree, RemovesALinkNamedAsTheChildItselfAndLeavesItsTarget) {
    buildTarget();
    // Parent\Link -> Target (with subkeys), Parent\LeafLink -> Target\T2 (none).
    const std::wstring target = registry_testing::absoluteName(HKEY_CURRENT_USER, kTarget);
    ASSERT_FALSE(target.empty());
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, kParent));
    RegistryLink link(HKEY_CURRENT_USER, kParent + L"\\Link", target);
    RegistryLink leafLink(HKEY_CURRENT_USER, kParent + L"\\LeafLink", target + L"\\T2");
    ASSERT_TRUE(link.made() && leafLink.made());
    ASSERT_TRUE(machine::keyExists(HKEY_CURRENT_USER, kParent + L"\\Link\\T1"));
    const std::vector<std::wstring> targetBefore = machine::dumpTree(HKEY_CURRENT_USER, kTarget);
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));

    EXPECT_EQ(ERROR_SUCCESS, key.deleteKeyTree(L"Link"));
    EXPECT_EQ(ERROR_SUCCESS, key.deleteKeyTree(L"LeafLink"));

    EXPECT_FALSE(link.exists());
    EXPECT_FALSE(leafLink.exists());
    EXPECT_TRUE(machine::keyExists(HKEY_CURRENT_USER, kParent));
    EXPECT_EQ(targetBefore, machine::dumpTree(HKEY_CURRENT_USER, kTarget));
}

TEST_F(DeleteKeyTree, RemovesAnOrdinaryKeyThatCarriesALinkTypedSymbolicLinkValue) {
    buildTarget();
    // Parent\Doomed\Fake and Parent\Fake: ordinary keys, each with the value
    // "SymbolicLinkValue" of type REG_LINK naming Target, and a subkey
    // Child\Grandchild of their own. Neither is a link, so both go with their
    // subkeys, and Target stays.
    const std::wstring target = registry_testing::absoluteName(HKEY_CURRENT_USER, kTarget);
    ASSERT_FALSE(target.empty());
    for (const std::wstring& fake : {kDoomed + L"\\Fake", kParent + L"\\Fake"}) {
        ASSERT_TRUE(machine::setValue(HKEY_CURRENT_USER, fake, L"SymbolicLinkValue", REG_LINK, target.data(),
                                      static_cast<DWORD>(target.size() * sizeof(wchar_t))));
        ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, fake + L"\\Child\\Grandchild", L"n", 1));
    }
    ASSERT_TRUE(machine::keyExists(HKEY_CURRENT_USER, kDoomed + L"\\Fake\\Child"));
    const std::vector<std::wstring> targetBefore = machine::dumpTree(HKEY_CURRENT_USER, kTarget);
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));

    EXPECT_EQ(ERROR_SUCCESS, key.deleteKeyTree(L"Doomed"));
    EXPECT_EQ(ERROR_SUCCESS, key.deleteKeyTree(L"Fake"));

    EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, kDoomed));
    EXPECT_FALSE(machine::keyExists(HKEY_CURRENT_USER, kParent + L"\\Fake"));
    EXPECT_TRUE(machine::keyExists(HKEY_CURRENT_USER, kParent));
    EXPECT_EQ(targetBefore, machine::dumpTree(HKEY_CURRENT_USER, kTarget));
}

TEST_F(DeleteKeyTree, RefusesAnEmptyObjectAndANullOrEmptyNameWithoutTouchingTheRegistry) {
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kDoomed, L"v", L"x"));
    const std::vector<std::wstring> before = machine::dumpTree(HKEY_CURRENT_USER, kBase);
    RegistryKey empty;
    RegistryKey held;
    ASSERT_EQ(ERROR_SUCCESS, held.openKey(HKEY_CURRENT_USER, kDoomed.c_str(), KEY_READ | KEY_WRITE));
    HandleLedger ledger;

    EXPECT_EQ(ERROR_INVALID_HANDLE, empty.deleteKeyTree(L"Doomed"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, empty.deleteChildKey(L"Doomed"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, held.deleteKeyTree(nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, held.deleteKeyTree(L""));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, held.deleteChildKey(nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, held.deleteChildKey(L""));

    EXPECT_TRUE(ledger.opens().empty());
    EXPECT_TRUE(handleDeletions().empty());
    EXPECT_EQ(before, machine::dumpTree(HKEY_CURRENT_USER, kBase));
}

// The same path in both registry views. Wine honours a view flag only for a
// path resolved from a predefined root, so the result on the machine shows
// only that the walk starts in the right view; the calls themselves show
// that every open of the walk carries the view bits, and each key goes
// through the handle opened in that view.
class DeleteKeyTreeViews : public ::testing::Test {
protected:
    static constexpr const wchar_t* kViews = L"Software\\InstallHooksTests\\Views";

    void SetUp() override {
        if (!testing_support::twoRegistryViews()) {
            GTEST_SKIP() << "32-bit Windows: one registry view, none to leave alone";
        }
        clearBoth();
        handleDeletions().clear();
        // Views\Doomed (value "view") with Alpha\One and Bravo, in each view.
        for (const auto& [view, label] : {std::pair<REGSAM, const wchar_t*>{kView64, L"64"}, {kView32, L"32"}}) {
            const std::wstring doomed = std::wstring(kViews) + L"\\Doomed";
            ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, doomed, L"view", label, view));
            ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, doomed + L"\\Alpha\\One", L"view", label, view));
            ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, doomed + L"\\Bravo", view));
        }
    }
    void TearDown() override { clearBoth(); }

    static void clearBoth() {
        for (REGSAM view : {kView64, kView32}) {
            EXPECT_TRUE(machine::deleteTree(HKEY_LOCAL_MACHINE, L"Software\\InstallHooksTests", view));
        }
    }

    // Deletes Views\Doomed through a parent opened with `view`, and checks
    // the view bits that each open and each deletion of the walk received.
    void deleteThroughParentOpenedWith(REGSAM view) {
        RegistryKey key;
        ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_LOCAL_MACHINE, kViews, KEY_WRITE | view));
        EXPECT_EQ(view, key.view());
        HandleLedger ledger;

        EXPECT_EQ(ERROR_SUCCESS, key.deleteKeyTree(L"Doomed"));

        ASSERT_EQ(4U, ledger.opens().size());
        for (const testing_support::KeyOpen& open : ledger.opens()) {
            SCOPED_TRACE(machine::narrow(open.path));
            EXPECT_EQ(view | KEY_READ | KEY_WRITE | DELETE, open.access);
            EXPECT_EQ(static_cast<DWORD>(REG_OPTION_OPEN_LINK), open.options);
        }
        EXPECT_EQ((std::vector<std::wstring>{L"One", L"Alpha", L"Bravo", L"Doomed"}), handleDeletionNames());
        EXPECT_EQ(0U, ledger.openCount());
    }
};

TEST_F(DeleteKeyTreeViews, AParentOpenedInThe64BitViewDeletesThe64BitSubtreeOnly) {
    const std::vector<std::wstring> view32Before = machine::dumpTree(HKEY_LOCAL_MACHINE, kViews, kView32);
    deleteThroughParentOpenedWith(KEY_WOW64_64KEY);
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, std::wstring(kViews) + L"\\Doomed", kView64));
    EXPECT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, kViews, kView64));
    EXPECT_EQ(view32Before, machine::dumpTree(HKEY_LOCAL_MACHINE, kViews, kView32));
}

TEST_F(DeleteKeyTreeViews, AParentOpenedWithoutAViewFlagDeletesThe32BitSubtreeOnly) {
    const std::vector<std::wstring> view64Before = machine::dumpTree(HKEY_LOCAL_MACHINE, kViews, kView64);
    deleteThroughParentOpenedWith(0);
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, std::wstring(kViews) + L"\\Doomed", kView32));
    EXPECT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, kViews, kView32));
    EXPECT_EQ(view64Before, machine::dumpTree(HKEY_LOCAL_MACHINE, kViews, kView64));
}

class DeleteChildKey : public registry_testing::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        deleteExCalls().clear();
    }
};

TEST_F(DeleteChildKey, RefusesAChildWithSubkeysAndDeletesNothing) {
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kDoomed + L"\\Sub", L"v", L"x"));
    const std::vector<std::wstring> before = machine::dumpTree(HKEY_CURRENT_USER, kBase);
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));

    EXPECT_NE(ERROR_SUCCESS, key.deleteChildKey(L"Doomed"));

    EXPECT_EQ(before, machine::dumpTree(HKEY_CURRENT_USER, kBase));
}

TEST_F(DeleteChildKey, DeletesAnEmptyChildThroughTheOneLookedUpEntryPointWithoutLookingAgain) {
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, kParent + L"\\One"));
    ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, kParent + L"\\Two"));
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kParent.c_str(), KEY_WRITE));
    g_lookups = 0;
    {
        IatPatch lookup(testProgram(), "kernel32.dll", "GetProcAddress",
                        reinterpret_cast<const void*>(&countingGetProcAddress));
        ASSERT_TRUE(lookup.applied());
        g_getProcAddress = lookup.originalAs<decltype(g_getProcAddress)>();
        EXPECT_EQ(ERROR_SUCCESS, key.deleteChildKey(L"One"));
        EXPECT_EQ(ERROR_SUCCESS, key.deleteChildKey(L"Two"));
    }

    EXPECT_EQ(0, g_lookups);
    // The program's first two deletions, before any test, made the one lookup.
    EXPECT_EQ(1, registry_testing::firstLookups());
    std::vector<std::wstring> deleted;
    for (const registry_testing::DeleteExCall& call : deleteExCalls()) {
        deleted.push_back(call.name);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"One", L"Two"}), deleted);
    EXPECT_EQ(std::vector<std::wstring>{}, machine::subkeyNames(HKEY_CURRENT_USER, kParent));
}
