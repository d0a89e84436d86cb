// The offline profile sweep: after the loaded hives, the hive of every other
// profile in the profiles directory is mounted at HKEY_USERS\Korvan_Tmp_Reg,
// purged and unmounted at once, on every path, out of memory included.

#include <shlobj.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/hives.h"
#include "machine/machine.h"
#include "preuninstall/preuninstall.h"
#include "support/fixtures.h"
#include "support/handle_ledger.h"
#include "support/heap_failure.h"
#include "support/iat_patch.h"
#include "support/platform.h"
#include "user_hives.h"

using machine::dumpTree;
using machine::keyExists;
using preuninstall_test::clearCurrentUser;
using preuninstall_test::hiveAsUnmounted;
using preuninstall_test::join;
using preuninstall_test::kCurrentUserHive;
using preuninstall_test::kMountName;
using preuninstall_test::kRunKey;
using preuninstall_test::MountEvent;
using preuninstall_test::MountWatch;
using preuninstall_test::ProfileFolders;
using preuninstall_test::seedUserSettings;
using preuninstall_test::TestHive;
using preuninstall_test::unloadAfterLoadOf;
using preuninstall_test::withoutProduct;
using testing_support::HandleLedger;
using testing_support::HookLibrary;
using testing_support::IatPatch;
using testing_support::testProgram;

namespace {

const wchar_t kRestorePrivilege[] = L"SeRestorePrivilege";
const wchar_t kPrivateProfiles[] = L"C:\\KorvanTestProfiles";

std::vector<std::wstring> sorted(std::vector<std::wstring> items) {
    std::sort(items.begin(), items.end());
    return items;
}

std::vector<std::wstring> hiveFiles(const std::wstring& directory, std::initializer_list<const wchar_t*> folders) {
    std::vector<std::wstring> files;
    for (const wchar_t* folder : folders) {
        files.push_back(directory + L"\\" + folder + L"\\NTUSER.DAT");
    }
    return sorted(files);
}

bool hasLine(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool mentions(const std::vector<std::wstring>& lines, const std::wstring& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; });
}

// Every mount that succeeded is followed at once by the unmount of the mount
// name, and nothing else is ever unmounted.
void expectEachMountUnmountedRightAway(const std::vector<MountEvent>& events) {
    for (std::size_t i = 0; i < events.size(); ++i) {
        const MountEvent& event = events[i];
        if (event.load && event.status == ERROR_SUCCESS) {
            ASSERT_LT(i + 1, events.size()) << "never unmounted: " << machine::narrow(event.target);
            EXPECT_FALSE(events[i + 1].load) << "mounted again over " << machine::narrow(event.target);
            EXPECT_EQ(std::wstring(kMountName), events[i + 1].target);
            EXPECT_EQ(ERROR_SUCCESS, events[i + 1].status);
        }
        if (!event.load) {
            ASSERT_GT(i, 0U);
            EXPECT_TRUE(events[i - 1].load && events[i - 1].status == ERROR_SUCCESS)
                << "unmounted what it did not mount";
        }
    }
}

class SweepOfflineProfiles : public ::testing::Test {
protected:
    void SetUp() override {
        clearCurrentUser();
        ASSERT_FALSE(machine::hiveLoaded(kMountName));
    }
    void TearDown() override {
        clearCurrentUser();
        EXPECT_TRUE(machine::unloadHive(kMountName));
    }
};

// --- Replacements in the test program's import table ------------------------

// Makes FindFirstFileW return the first real entry, as a file system that
// does not list "." and ".." first would.
using FindFirstFn = HANDLE(WINAPI*)(LPCWSTR, LPWIN32_FIND_DATAW);
FindFirstFn g_findFirstFileW = nullptr;
std::wstring g_firstEntry;
HANDLE WINAPI findFirstWithoutDots(LPCWSTR pattern, LPWIN32_FIND_DATAW entry) {
    HANDLE find = g_findFirstFileW(pattern, entry);
    while (find != INVALID_HANDLE_VALUE && entry->cFileName[0] == L'.' &&
           (entry->cFileName[1] == L'\0' || (entry->cFileName[1] == L'.' && entry->cFileName[2] == L'\0'))) {
        if (FindNextFileW(find, entry) == FALSE) {
            break;
        }
    }
    g_firstEntry = entry->cFileName;
    return find;
}
HANDLE WINAPI findFirstFails(LPCWSTR, LPWIN32_FIND_DATAW) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// The calling account's profile folder and user name, as the test sets them.
using ShGetFolderPathFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
ShGetFolderPathFn g_shGetFolderPathW = nullptr;
const wchar_t* g_profileFolder = nullptr;
HRESULT WINAPI profileFolderAs(HWND window, int csidl, HANDLE token, DWORD flags, LPWSTR path) {
    if ((csidl & 0xFF) != CSIDL_PROFILE) {
        return g_shGetFolderPathW(window, csidl, token, flags, path);
    }
    if (g_profileFolder == nullptr) {
        return E_FAIL;
    }
    lstrcpyW(path, g_profileFolder);
    return S_OK;
}
const wchar_t* g_userName = nullptr;
BOOL WINAPI userNameAs(LPWSTR buffer, LPDWORD size) {
    if (g_userName == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    lstrcpyW(buffer, g_userName);
    *size = static_cast<DWORD>(lstrlenW(g_userName) + 1);
    return TRUE;
}

// One allocation of the program made to fail, armed by a Windows call that
// the step makes just before the allocation it targets.
testing_support::HeapAllocFailure* g_allocation = nullptr;
bool g_armed = false;
void armOnce() {
    if (!g_armed && g_allocation != nullptr) {
        g_armed = true;
        g_allocation->failNext();
    }
}
using EnumKeyFn = LONG(WINAPI*)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME);
EnumKeyFn g_regEnumKeyExW = nullptr;
// The walk of HKEY_USERS ends at an index past 0 (a tree deletion only ever
// asks for index 0); it composed nothing, and the next allocation is the
// search pattern's.
LONG WINAPI enumThenFailAllocation(HKEY key, DWORD index, LPWSTR name, LPDWORD length, LPDWORD reserved, LPWSTR cls,
                                   LPDWORD clsLength, PFILETIME written) {
    const LONG status = g_regEnumKeyExW(key, index, name, length, reserved, cls, clsLength, written);
    if (status == ERROR_NO_MORE_ITEMS && index > 0) {
        armOnce();
    }
    return status;
}
using AdjustFn = BOOL(WINAPI*)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
AdjustFn g_adjustTokenPrivileges = nullptr;
// The privilege is enabled before the hive file's path is composed.
BOOL WINAPI adjustThenFailAllocation(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD size,
                                     PTOKEN_PRIVILEGES previous, PDWORD needed) {
    const BOOL ok = g_adjustTokenPrivileges(token, disableAll, state, size, previous, needed);
    armOnce();
    return ok;
}
using UnloadFn = LONG(WINAPI*)(HKEY, LPCWSTR);
UnloadFn g_regUnLoadKeyW = nullptr;
// After the first profile's unmount, the next allocation is the next
// profile folder's path.
LONG WINAPI unloadThenFailAllocation(HKEY root, LPCWSTR name) {
    const LONG status = g_regUnLoadKeyW(root, name);
    armOnce();
    return status;
}

// Leaves open the first key inside the mounted hive that is closed once the
// watch has seen the mount: one that the purge opened, as a faulty purge
// would leave it.
using CloseKeyFn = LONG(WINAPI*)(HKEY);
CloseKeyFn g_regCloseKey = nullptr;
const std::vector<MountEvent>* g_mounts = nullptr;
HKEY g_leftOpen = nullptr;
LONG WINAPI closeAllButOneInTheMountedHive(HKEY key) {
    const std::wstring inside = L"\\REGISTRY\\USER\\" + std::wstring(kMountName) + L"\\";
    if (g_leftOpen == nullptr && g_mounts != nullptr && !g_mounts->empty() &&
        _wcsnicmp(machine::kernelKeyName(key).c_str(), inside.c_str(), inside.size()) == 0) {
        g_leftOpen = key;
        return ERROR_SUCCESS;
    }
    return g_regCloseKey(key);
}

}  // namespace

TEST_F(SweepOfflineProfiles, EveryOtherProfileIsMountedPurgedAndUnmounted) {
    // C:\users (a fresh prefix holds Public and root, the calling account)
    //   KorvanAlice\NTUSER.DAT, KorvanBob\NTUSER.DAT   profiles with the product
    //   KorvanNoHive\                                  no hive: its load fails
    //   KorvanFile                                     a file
    //   .KorvanDot\NTUSER.DAT                          a "." folder
    //   All Users\, Default User\, LocalService\, NetworkService\  (NTUSER.DAT each)
    ProfileFolders folders;
    const std::wstring alice = folders.addProfile(L"KorvanAlice");
    const std::wstring bob = folders.addProfile(L"KorvanBob");
    folders.addFolder(L"KorvanNoHive");
    folders.addFile(L"KorvanFile");
    folders.addProfile(L".KorvanDot");
    for (const wchar_t* skipped : {L"All Users", L"Default User", L"LocalService", L"NetworkService"}) {
        folders.addProfile(skipped);
    }
    ASSERT_TRUE(folders.complete());
    const std::vector<std::wstring> aliceFile = machine::dumpHiveFile(alice);
    ASSERT_TRUE(hasLine(aliceFile, L"[Software\\Korvan\\ZTB]"));
    seedUserSettings(HKEY_CURRENT_USER, L"");
    const std::vector<std::wstring> currentBefore = dumpTree(HKEY_USERS, kCurrentUserHive);
    ASSERT_TRUE(preuninstall_test::disablePrivilege(kRestorePrivilege));

    std::vector<MountEvent> events;
    {
        // Watched only while the sweep runs: the checks below make calls of
        // their own.
        HandleLedger ledger;
        MountWatch watch(testProgram(), &ledger);
        ASSERT_TRUE(watch.applied());
        EXPECT_TRUE(installhooks::sweepOfflineProfiles());
        EXPECT_EQ(0U, ledger.openCount());
        EXPECT_EQ(0, ledger.strayCloses());
        EXPECT_EQ(hiveFiles(L"C:\\users", {L"KorvanAlice", L"KorvanBob", L"KorvanNoHive", L"Public"}),
                  sorted(watch.loadedFiles()));
        EXPECT_EQ(2, watch.unloads());
        events = watch.events();
    }
    expectEachMountUnmountedRightAway(events);
    for (const std::wstring& file : {alice, bob}) {
        SCOPED_TRACE(machine::narrow(file));
        const MountEvent* unload = unloadAfterLoadOf(events, file);
        ASSERT_NE(nullptr, unload);
        // Nothing open but the directory search as the hive was unmounted
        // (AKeyLeftOpenInTheMountedHive... shows what a key would do).
        EXPECT_EQ(1U, unload->openHandles);
        EXPECT_EQ(withoutProduct(aliceFile, true), hiveAsUnmounted(events, file));
    }
    // The loaded hives went first.
    EXPECT_EQ(withoutProduct(currentBefore, true), dumpTree(HKEY_USERS, kCurrentUserHive));
    EXPECT_FALSE(machine::hiveLoaded(kMountName));
    EXPECT_TRUE(preuninstall_test::privilegeEnabled(kRestorePrivilege));
}

// What the count of open handles at each unmount guards against: a key left
// open inside the mounted hive. Windows then refuses the unload, and the
// user's hive stays loaded; Wine unloads it all the same, so under Wine the
// count is the only sign of it.
TEST_F(SweepOfflineProfiles, AKeyLeftOpenInTheMountedHiveIsCountedAndOnWindowsKeepsTheHiveLoaded) {
    ProfileFolders folders;
    const std::wstring alice = folders.addProfile(L"KorvanAlice");
    ASSERT_TRUE(folders.complete());
    g_leftOpen = nullptr;
    std::vector<MountEvent> events;
    {
        HandleLedger ledger;
        MountWatch watch(testProgram(), &ledger);
        IatPatch close(testProgram(), "advapi32.dll", "RegCloseKey",
                       reinterpret_cast<const void*>(&closeAllButOneInTheMountedHive));
        ASSERT_TRUE(watch.applied() && close.applied());
        g_regCloseKey = close.originalAs<CloseKeyFn>();
        g_mounts = &watch.events();
        EXPECT_TRUE(installhooks::sweepOfflineProfiles());
        g_mounts = nullptr;
        events = watch.events();
    }
    ASSERT_NE(nullptr, g_leftOpen) << "the purge closed no key inside the mounted hive";
    RegCloseKey(g_leftOpen);
    const MountEvent* unload = unloadAfterLoadOf(events, alice);
    ASSERT_NE(nullptr, unload);
    // The search and the key: where the other tests require 1.
    EXPECT_EQ(2U, unload->openHandles);
    if (testing_support::onWine()) {
        EXPECT_EQ(ERROR_SUCCESS, unload->status)
            << "Wine divergence: RegUnLoadKeyW unloads a hive with a key open below its root";
        EXPECT_FALSE(machine::hiveLoaded(kMountName));
    } else {
        EXPECT_EQ(ERROR_ACCESS_DENIED, unload->status)
            << "Windows: RegUnLoadKeyW refuses a hive while a key inside it is open";
        EXPECT_TRUE(machine::hiveLoaded(kMountName)) << "Windows: the hive stays loaded";
    }
}

TEST_F(SweepOfflineProfiles, LoadProfileHiveMountsTheFoldersHiveWithTheRestorePrivilege) {
    ProfileFolders folders;
    const std::wstring alice = folders.addProfile(L"KorvanAlice");
    folders.addFolder(L"KorvanNoHive");
    ASSERT_TRUE(folders.complete());
    const std::vector<std::wstring> aliceFile = machine::dumpHiveFile(alice);
    ASSERT_FALSE(aliceFile.empty());
    ASSERT_TRUE(preuninstall_test::disablePrivilege(kRestorePrivilege));
    HandleLedger ledger;

    EXPECT_FALSE(installhooks::loadProfileHive(L"C:\\users\\KorvanNoHive"));
    EXPECT_TRUE(preuninstall_test::privilegeEnabled(kRestorePrivilege));
    EXPECT_FALSE(machine::hiveLoaded(kMountName));

    ASSERT_TRUE(installhooks::loadProfileHive(L"C:\\users\\KorvanAlice"));
    EXPECT_EQ(aliceFile, dumpTree(HKEY_USERS, kMountName));
    // One hive at a time: the mount name is taken now.
    EXPECT_FALSE(installhooks::loadProfileHive(L"C:\\users\\KorvanAlice"));
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(SweepOfflineProfiles, TheFirstEntryOfTheSearchIsExaminedToo) {
    ProfileFolders folders;
    const std::wstring alice = folders.addProfile(L"KorvanAlice");
    ASSERT_TRUE(folders.complete());
    IatPatch findFirst(testProgram(), "kernel32.dll", "FindFirstFileW",
                       reinterpret_cast<const void*>(&findFirstWithoutDots));
    ASSERT_TRUE(findFirst.applied());
    g_findFirstFileW = findFirst.originalAs<FindFirstFn>();
    MountWatch watch(testProgram());

    EXPECT_TRUE(installhooks::sweepOfflineProfiles());

    ASSERT_EQ(L"KorvanAlice", g_firstEntry);
    ASSERT_FALSE(watch.loadedFiles().empty());
    EXPECT_EQ(alice, watch.loadedFiles().front());
    const std::vector<std::wstring> purged = hiveAsUnmounted(watch.events(), alice);
    ASSERT_FALSE(purged.empty());
    EXPECT_FALSE(mentions(purged, L"Korvan\\ZTB"));
    EXPECT_FALSE(mentions(purged, L"DelayShred"));
}

TEST_F(SweepOfflineProfiles, TheWalkedFolderIsTheParentOfTheCallersOwnProfile) {
    // C:\KorvanTestProfiles\Carol (the caller's), Dave, networkservice, LocalService;
    // C:\users\KorvanAlice is not in it.
    ProfileFolders users;
    users.addProfile(L"KorvanAlice");
    ProfileFolders folders(kPrivateProfiles);
    for (const wchar_t* name : {L"Carol", L"Dave", L"networkservice", L"LocalService"}) {
        folders.addProfile(name);
    }
    ASSERT_TRUE(users.complete());
    ASSERT_TRUE(folders.complete());
    IatPatch folder(testProgram(), "shell32.dll", "SHGetFolderPathW", reinterpret_cast<const void*>(&profileFolderAs));
    IatPatch user(testProgram(), "advapi32.dll", "GetUserNameW", reinterpret_cast<const void*>(&userNameAs));
    ASSERT_TRUE(folder.applied());
    ASSERT_TRUE(user.applied());
    g_shGetFolderPathW = folder.originalAs<ShGetFolderPathFn>();
    g_profileFolder = L"C:\\KorvanTestProfiles\\Carol";

    struct Case {
        const wchar_t* userName;
        std::vector<std::wstring> loads;
    };
    // The own folder is known by its exact name only; the skip list too.
    const Case cases[] = {
        {L"Carol", hiveFiles(kPrivateProfiles, {L"Dave", L"networkservice"})},
        {L"carol", hiveFiles(kPrivateProfiles, {L"Carol", L"Dave", L"networkservice"})},
        {nullptr, hiveFiles(kPrivateProfiles, {L"Carol", L"Dave", L"networkservice"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.userName != nullptr ? machine::narrow(c.userName) : "no user name");
        g_userName = c.userName;
        MountWatch watch(testProgram());
        EXPECT_TRUE(installhooks::sweepOfflineProfiles());
        EXPECT_EQ(c.loads, sorted(watch.loadedFiles()));
        expectEachMountUnmountedRightAway(watch.events());
    }
}

TEST_F(SweepOfflineProfiles, WithoutAProfilesDirectoryOnlyTheLoadedHivesArePurged) {
    ProfileFolders folders;
    folders.addProfile(L"KorvanAlice");
    ASSERT_TRUE(folders.complete());
    IatPatch folder(testProgram(), "shell32.dll", "SHGetFolderPathW", reinterpret_cast<const void*>(&profileFolderAs));
    ASSERT_TRUE(folder.applied());
    g_shGetFolderPathW = folder.originalAs<ShGetFolderPathFn>();

    struct Case {
        const char* name;
        const wchar_t* profileFolder;
        bool searchFails;
    };
    const Case cases[] = {
        {"SHGetFolderPathW fails", nullptr, false},
        {"a profile folder without a backslash", L"KorvanProfile", false},
        {"the search does not start", L"C:\\users\\root", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_profileFolder = c.profileFolder;
        IatPatch findFirst(testProgram(), "kernel32.dll", "FindFirstFileW",
                           reinterpret_cast<const void*>(c.searchFails ? &findFirstFails : &findFirstWithoutDots));
        g_findFirstFileW = findFirst.originalAs<FindFirstFn>();
        seedUserSettings(HKEY_CURRENT_USER, L"");
        const std::vector<std::wstring> before = dumpTree(HKEY_USERS, kCurrentUserHive);
        HandleLedger ledger;
        MountWatch watch(testProgram());

        EXPECT_FALSE(installhooks::sweepOfflineProfiles());

        EXPECT_EQ(withoutProduct(before, true), dumpTree(HKEY_USERS, kCurrentUserHive));
        EXPECT_TRUE(watch.events().empty());
        EXPECT_EQ(0U, ledger.openCount());
    }
}

TEST_F(SweepOfflineProfiles, AnOccupiedMountNameKeepsEveryProfileAndItsOccupant) {
    ProfileFolders folders;
    const std::wstring alice = folders.addProfile(L"KorvanAlice");
    ASSERT_TRUE(folders.complete());
    const std::vector<std::wstring> aliceBefore = machine::dumpHiveFile(alice);
    TestHive occupant(kMountName);
    ASSERT_TRUE(occupant.mounted());
    seedUserSettings(HKEY_USERS, kMountName);
    const std::vector<std::wstring> occupantBefore = occupant.dump();
    MountWatch watch(testProgram());

    EXPECT_TRUE(installhooks::sweepOfflineProfiles());

    ASSERT_FALSE(watch.events().empty());
    for (const MountEvent& event : watch.events()) {
        EXPECT_TRUE(event.load) << "unmounted " << machine::narrow(event.target);
        EXPECT_NE(ERROR_SUCCESS, event.status) << machine::narrow(event.target);
    }
    EXPECT_TRUE(machine::hiveLoaded(kMountName));
    // A loaded hive like any other for the walk: its settings go, its Run value stays.
    EXPECT_EQ(withoutProduct(occupantBefore, false), occupant.dump());
    EXPECT_EQ(aliceBefore, machine::dumpHiveFile(alice));
}

TEST_F(SweepOfflineProfiles, ASecondSweepChangesNothing) {
    ProfileFolders folders;
    const std::wstring alice = folders.addProfile(L"KorvanAlice");
    const std::wstring bob = folders.addProfile(L"KorvanBob");
    ASSERT_TRUE(folders.complete());
    TestHive loaded(L"S-1-5-21-7000-7000-7000-1001");
    ASSERT_TRUE(loaded.mounted());
    seedUserSettings(HKEY_USERS, loaded.name());
    seedUserSettings(HKEY_CURRENT_USER, L"");
    const std::vector<std::wstring> original = machine::dumpHiveFile(alice);
    {
        MountWatch first(testProgram());
        EXPECT_TRUE(installhooks::sweepOfflineProfiles());
        ASSERT_EQ(2, first.unloads());
    }
    const std::vector<std::wstring> current = dumpTree(HKEY_USERS, kCurrentUserHive);
    const std::vector<std::wstring> other = loaded.dump();

    MountWatch second(testProgram());
    EXPECT_TRUE(installhooks::sweepOfflineProfiles());

    EXPECT_EQ(current, dumpTree(HKEY_USERS, kCurrentUserHive));
    EXPECT_EQ(other, loaded.dump());
    for (const std::wstring& file : {alice, bob}) {
        SCOPED_TRACE(machine::narrow(file));
        // Mounted as the first sweep left it, unmounted unchanged, and so
        // the next sweep finds it.
        EXPECT_EQ(withoutProduct(original, true), hiveAsUnmounted(second.events(), file));
        EXPECT_EQ(withoutProduct(original, true), machine::dumpHiveFile(file));
    }
}

// Out of memory while a name is composed, at three points of the sweep: the
// sweep stops there, returns true, and leaves no hive mounted and nothing open.
class SweepOutOfMemory : public SweepOfflineProfiles {
protected:
    void SetUp() override {
        SweepOfflineProfiles::SetUp();
        alice = folders.addProfile(L"KorvanAlice");
        folders.addProfile(L"KorvanBob");
        ASSERT_TRUE(folders.complete());
        seedUserSettings(HKEY_CURRENT_USER, L"");
        g_armed = false;
    }

    // Runs the sweep with the allocation failure armed by `armingCall`.
    template <typename Fn>
    void sweepWithFailureArmedBy(const char* dll, const char* function, Fn replacement, Fn& original) {
        IatPatch arming(testProgram(), dll, function, reinterpret_cast<const void*>(replacement));
        ASSERT_TRUE(arming.applied());
        original = arming.originalAs<Fn>();
        testing_support::HeapAllocFailure allocation(testProgram(), 0);
        ASSERT_TRUE(allocation.applied());
        g_allocation = &allocation;

        EXPECT_TRUE(installhooks::sweepOfflineProfiles());

        g_allocation = nullptr;
        EXPECT_TRUE(allocation.failed());
    }

    ProfileFolders folders;
    std::wstring alice;
};

TEST_F(SweepOutOfMemory, AfterTheWalkOfTheLoadedHives) {
    HandleLedger ledger;
    MountWatch watch(testProgram(), &ledger);
    sweepWithFailureArmedBy("advapi32.dll", "RegEnumKeyExW", &enumThenFailAllocation, g_regEnumKeyExW);

    // The walk allocated nothing and purged the loaded hives; the search was
    // never started.
    EXPECT_TRUE(watch.events().empty());
    EXPECT_FALSE(machine::valueExists(HKEY_CURRENT_USER, kRunKey, L"DelayShred"));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, L"Software\\Korvan"));
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(SweepOutOfMemory, BeforeAProfileIsMounted) {
    HandleLedger ledger;
    MountWatch watch(testProgram(), &ledger);
    sweepWithFailureArmedBy("advapi32.dll", "AdjustTokenPrivileges", &adjustThenFailAllocation,
                            g_adjustTokenPrivileges);

    EXPECT_TRUE(watch.events().empty());
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, L"Software\\Korvan"));
    EXPECT_FALSE(machine::hiveLoaded(kMountName));
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(SweepOutOfMemory, AfterAProfileWasPurgedAndUnmounted) {
    HandleLedger ledger;
    MountWatch watch(testProgram(), &ledger);
    sweepWithFailureArmedBy("advapi32.dll", "RegUnLoadKeyW", &unloadThenFailAllocation, g_regUnLoadKeyW);

    // The mounted purge allocated nothing: the first profile was purged
    // whole and unmounted, with only the search open; no profile after it.
    const std::vector<MountEvent>& events = watch.events();
    ASSERT_EQ(2U, events.size());
    EXPECT_EQ(alice, events[0].target);
    expectEachMountUnmountedRightAway(events);
    EXPECT_EQ(1U, events[1].openHandles);
    const std::vector<std::wstring> purged = hiveAsUnmounted(events, alice);
    ASSERT_FALSE(purged.empty());
    EXPECT_FALSE(mentions(purged, L"DelayShred"));
    EXPECT_FALSE(mentions(purged, L"Korvan\\ZTB"));
    EXPECT_FALSE(machine::hiveLoaded(kMountName));
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_EQ(0, ledger.strayCloses());
}

// The removal hooks run the sweep from the shipped DLL.
TEST_F(SweepOfflineProfiles, BothRemovalHooksPurgeEveryUserHive) {
    HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    for (const char* hook : {"DllPreUnInstall", "DllZudaUnInstall"}) {
        SCOPED_TRACE(hook);
        preuninstall_test::UsersWithProduct users;
        ASSERT_TRUE(users.complete());
        MountWatch watch(dll.module());
        ASSERT_TRUE(watch.applied());

        EXPECT_EQ(0, dll.call(hook));

        users.expectPurged(watch.events());
    }
}
