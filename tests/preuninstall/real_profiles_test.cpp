// The removal hook on real users' profiles, made by Windows: local test users,
// each logged on and given a profile by LoadUserProfileW, the product's
// settings seeded into the user's hive, and the shipped DLL's DllPreUnInstall
// run with the profile offline (a real NTUSER.DAT) or held loaded by another
// process. Every user, profile and key that a case makes is removed when it
// ends, and required to be gone; so is what an earlier run left behind, known
// by the name prefix. Windows only: under Wine the cases skip and say why.

#include <windows.h>
#include <lm.h>
#include <sddl.h>
#include <shellapi.h>
#include <userenv.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "machine/hives.h"
#include "machine/machine.h"
#include "support/fixtures.h"
#include "support/platform.h"
#include "user_hives.h"

namespace {

using machine::narrow;
using preuninstall_test::holdsProduct;
using preuninstall_test::join;
using preuninstall_test::kRunKey;
using preuninstall_test::withoutProduct;

const wchar_t kPrefix[] = L"ihtest_";
const wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const wchar_t kHoldArgument[] = L"--hold-profile";
constexpr DWORD kWaitMs = 60000;

const char kWineReason[] =
    "Windows only: Wine 8 has no local accounts or profiles: NetUserAdd keeps a user inside the calling process, "
    "LogonUserW hands out a fixed fake token, LoadUserProfileW hands back HKEY_CURRENT_USER, UnloadUserProfile "
    "fails, and userenv.dll exports no DeleteProfileW";

struct TestUser {
    std::wstring name;
    std::wstring password;
    std::wstring sid;     // once logged on
    std::wstring folder;  // once Windows made the profile
};

bool hasPrefix(const std::wstring& name) { return _wcsnicmp(name.c_str(), kPrefix, wcslen(kPrefix)) == 0; }
bool sameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

std::wstring randomText(const wchar_t* alphabet, int length) {
    static std::random_device source;
    std::wstring text;
    for (int i = 0; i < length; ++i) {
        text += alphabet[source() % wcslen(alphabet)];
    }
    return text;
}

// The profile folder that the profile list gives for a SID, or empty.
std::wstring profileFolder(const std::wstring& sid) {
    const std::wstring stored =
        machine::readValue(HKEY_LOCAL_MACHINE, join(kProfileList, sid), L"ProfileImagePath", machine::kView64).text();
    wchar_t expanded[MAX_PATH] = {};
    const DWORD length = ExpandEnvironmentStringsW(stored.c_str(), expanded, MAX_PATH);
    return stored.empty() || length == 0 || length > MAX_PATH ? std::wstring() : std::wstring(expanded);
}

// Asked of HKEY_USERS' own list: a handle opened inside the hive would
// itself hold off its unload.
bool hiveLoaded(const std::wstring& name) {
    for (const std::wstring& loaded : machine::subkeyNames(HKEY_USERS, L"")) {
        if (sameText(loaded, name)) {
            return true;
        }
    }
    return false;
}

bool waitUntilUnloaded(const std::wstring& sid) {
    for (DWORD waited = 0; hiveLoaded(sid) || hiveLoaded(sid + L"_Classes"); waited += 250) {
        if (waited >= kWaitMs) {
            return false;
        }
        Sleep(250);
    }
    return true;
}

std::vector<std::wstring> prefixedUsers() {
    std::vector<std::wstring> names;
    DWORD resume = 0;
    NET_API_STATUS status = NERR_Success;
    do {
        BYTE* buffer = nullptr;
        DWORD read = 0;
        DWORD total = 0;
        status = NetUserEnum(nullptr, 0, FILTER_NORMAL_ACCOUNT, &buffer, MAX_PREFERRED_LENGTH, &read, &total, &resume);
        const auto* users = reinterpret_cast<const USER_INFO_0*>(buffer);
        for (DWORD i = 0; buffer != nullptr && i < read; ++i) {
            if (hasPrefix(users[i].usri0_name)) {
                names.emplace_back(users[i].usri0_name);
            }
        }
        NetApiBufferFree(buffer);
    } while (status == ERROR_MORE_DATA);
    EXPECT_EQ(NERR_Success, status) << "NetUserEnum";
    return names;
}

// The profile list's SIDs whose profile folder has the prefix.
std::vector<std::wstring> prefixedProfiles() {
    std::vector<std::wstring> sids;
    for (const std::wstring& sid : machine::subkeyNames(HKEY_LOCAL_MACHINE, kProfileList, machine::kView64)) {
        const std::wstring folder = profileFolder(sid);
        if (hasPrefix(folder.substr(folder.find_last_of(L'\\') + 1))) {
            sids.push_back(sid);
        }
    }
    return sids;
}

void deleteProfile(const std::wstring& sid) {
    // Looked up at run time: Wine's userenv.dll has no DeleteProfileW, and an
    // import of it would keep this program from starting there at all.
    using DeleteProfileFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR);
    const auto deleteProfileW = reinterpret_cast<DeleteProfileFn>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"userenv.dll"), "DeleteProfileW")));
    if (deleteProfileW == nullptr) {
        ADD_FAILURE() << "userenv.dll exports no DeleteProfileW";
    } else if (deleteProfileW(sid.c_str(), nullptr, nullptr) == FALSE) {
        ADD_FAILURE() << "DeleteProfileW(" << narrow(sid) << "): error " << GetLastError();
    }
}

// A token of the user's, from the first logon type that the machine's rights
// grant an ordinary user; the user's SID is taken from it.
HANDLE logOn(TestUser& user) {
    std::string refused;
    const std::pair<DWORD, const char*> types[] = {
        {LOGON32_LOGON_NETWORK, "network"}, {LOGON32_LOGON_BATCH, "batch"}, {LOGON32_LOGON_INTERACTIVE, "interactive"}};
    for (const auto& [type, typeName] : types) {
        HANDLE token = nullptr;
        if (LogonUserW(user.name.c_str(), L".", user.password.c_str(), type, LOGON32_PROVIDER_DEFAULT, &token) ==
            FALSE) {
            refused += std::string(" ") + typeName + ": error " + std::to_string(GetLastError()) + ";";
            continue;
        }
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        wchar_t* sid = nullptr;
        if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != FALSE &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid) != FALSE) {
            user.sid = sid;
            LocalFree(sid);
        } else {
            ADD_FAILURE() << "the SID of " << narrow(user.name) << "'s logon token: error " << GetLastError();
        }
        return token;
    }
    ADD_FAILURE() << "LogonUserW(" << narrow(user.name) << ") refused every logon type:" << refused;
    return nullptr;
}

bool enableProfilePrivileges() {
    return machine::enablePrivilege(L"SeBackupPrivilege") && machine::enablePrivilege(L"SeRestorePrivilege");
}

PROFILEINFOW profileInfo(std::wstring& name) {
    PROFILEINFOW info{};
    info.dwSize = sizeof info;
    info.dwFlags = PI_NOUI;
    info.lpUserName = name.data();
    return info;
}

// The user logged on, with the user's profile loaded by this process for the
// lifetime of the object.
class ProfileLogon {
public:
    explicit ProfileLogon(TestUser& user) : token_(logOn(user)) {
        PROFILEINFOW info = profileInfo(user.name);
        if (token_ == nullptr) {
            return;
        }
        if (LoadUserProfileW(token_, &info) == FALSE) {
            ADD_FAILURE() << "LoadUserProfileW(" << narrow(user.name) << "): error " << GetLastError();
            return;
        }
        profile_ = info.hProfile;
        const std::wstring hive = machine::kernelKeyName(static_cast<HKEY>(profile_));
        usersHive_ = !user.sid.empty() && sameText(hive, L"\\REGISTRY\\USER\\" + user.sid);
        EXPECT_TRUE(usersHive_) << "Windows: LoadUserProfileW hands back the root of the user's hive, HKEY_USERS\\"
                                << narrow(user.sid) << "; this handle names \"" << narrow(hive) << "\"";
        if (!usersHive_) {
            return;
        }
        user.folder = profileFolder(user.sid);
        EXPECT_TRUE(machine::fileExists(user.folder + L"\\NTUSER.DAT")) << "no profile folder with a hive file";
    }
    ~ProfileLogon() {
        unload();
        if (token_ != nullptr) {
            CloseHandle(token_);
        }
    }
    ProfileLogon(const ProfileLogon&) = delete;
    ProfileLogon& operator=(const ProfileLogon&) = delete;

    bool loaded() const { return profile_ != nullptr && usersHive_; }
    HANDLE token() const { return token_; }
    bool unload() {
        if (profile_ == nullptr) {
            return true;
        }
        const bool unloaded = UnloadUserProfile(token_, profile_) != FALSE;
        EXPECT_TRUE(unloaded) << "UnloadUserProfile: error " << GetLastError();
        profile_ = nullptr;
        return unloaded;
    }

private:
    HANDLE token_ = nullptr;
    HANDLE profile_ = nullptr;
    bool usersHive_ = false;
};

// The other process: this program started as
// `<program> --hold-profile <user> <token> <ready> <release>`, the three
// handles inherited. It loads the user's profile, signals `ready`, waits for
// `release`, unloads the profile and ends: 0 when all of it went well, 10
// when the load failed, 11 when no release came, 12 when the unload failed.
[[maybe_unused]] const bool g_heldInChild = [] {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr || count != 6 || std::wcscmp(argv[1], kHoldArgument) != 0) {
        LocalFree(argv);
        return false;
    }
    std::wstring name = argv[2];
    const auto handle = [&](int i) {
        return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoul(argv[i], nullptr, 10)));
    };
    PROFILEINFOW info = profileInfo(name);
    // Loading a profile takes both privileges enabled, in this process too.
    if (!enableProfilePrivileges() || LoadUserProfileW(handle(3), &info) == FALSE) {
        std::fprintf(stderr, "[ holder   ] LoadUserProfileW: error %lu\n", GetLastError());
        ExitProcess(10);
    }
    SetEvent(handle(4));
    const DWORD released = WaitForSingleObject(handle(5), 5 * kWaitMs);
    if (UnloadUserProfile(handle(3), info.hProfile) == FALSE) {
        std::fprintf(stderr, "[ holder   ] UnloadUserProfile: error %lu\n", GetLastError());
        ExitProcess(12);
    }
    ExitProcess(released == WAIT_OBJECT_0 ? 0 : 11);
}();

// That process, holding the user's profile loaded until released (or, if it
// will not end, terminated) with the object.
class ProfileHolder {
public:
    ProfileHolder(const TestUser& user, HANDLE token) {
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        ready_ = CreateEventW(&inherited, TRUE, FALSE, nullptr);
        release_ = CreateEventW(&inherited, TRUE, FALSE, nullptr);
        wchar_t program[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        const auto number = [](HANDLE h) { return std::to_wstring(reinterpret_cast<std::uintptr_t>(h)); };
        std::wstring command = L"\"" + std::wstring(program) + L"\" " + kHoldArgument + L" " + user.name + L" " +
                               number(token) + L" " + number(ready_) + L" " + number(release_);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (ready_ == nullptr || release_ == nullptr ||
            SetHandleInformation(token, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) == FALSE ||
            CreateProcessW(program, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child_) ==
                FALSE) {
            ADD_FAILURE() << "cannot start the process that holds the profile: error " << GetLastError();
            return;
        }
        const HANDLE waits[] = {ready_, child_.hProcess};
        holding_ = WaitForMultipleObjects(2, waits, FALSE, kWaitMs) == WAIT_OBJECT_0;
    }
    ~ProfileHolder() {
        release();
        CloseHandle(ready_);
        CloseHandle(release_);
    }
    ProfileHolder(const ProfileHolder&) = delete;
    ProfileHolder& operator=(const ProfileHolder&) = delete;

    bool holding() const { return holding_; }
    // The process's exit code once released.
    DWORD release() {
        DWORD code = STILL_ACTIVE;
        if (child_.hProcess == nullptr) {
            return code;
        }
        SetEvent(release_);
        if (WaitForSingleObject(child_.hProcess, kWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(child_.hProcess, 99);
            WaitForSingleObject(child_.hProcess, kWaitMs);
        }
        GetExitCodeProcess(child_.hProcess, &code);
        CloseHandle(child_.hProcess);
        CloseHandle(child_.hThread);
        child_ = {};
        return code;
    }

private:
    HANDLE ready_ = nullptr;
    HANDLE release_ = nullptr;
    PROCESS_INFORMATION child_{};
    bool holding_ = false;
};

void runRemovalHook() {
    const testing_support::HookLibrary dll;
    ASSERT_NE(nullptr, dll.module()) << "cannot load " << narrow(testing_support::HookLibrary::path());
    EXPECT_EQ(0, dll.call("DllPreUnInstall"));
}

class RealProfiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (testing_support::onWine()) {
            GTEST_SKIP() << kWineReason;
        }
        ASSERT_TRUE(enableProfilePrivileges())
            << "LoadUserProfileW needs SeBackupPrivilege and SeRestorePrivilege: run elevated, as an administrator";
        removeTestAccounts();
    }
    void TearDown() override {
        if (IsSkipped()) {
            return;
        }
        removeTestAccounts();
        expectGone();
    }

    // A new local user, ordinary, with a random password.
    TestUser& addUser() {
        made_.push_back({kPrefix + randomText(L"0123456789abcdef", 8),
                         L"Ih-" + randomText(L"ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789", 24) + L"#7",
                         {},
                         {}});
        TestUser& user = made_.back();
        USER_INFO_1 info{};
        info.usri1_name = user.name.data();
        info.usri1_password = user.password.data();
        info.usri1_priv = USER_PRIV_USER;
        info.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
        DWORD field = 0;
        const NET_API_STATUS status = NetUserAdd(nullptr, 1, reinterpret_cast<BYTE*>(&info), &field);
        EXPECT_EQ(NERR_Success, status) << "NetUserAdd(" << narrow(user.name) << "), field " << field;
        return user;
    }

private:
    // Every profile and local user with the prefix: those the case made, and
    // those an earlier run left behind.
    void removeTestAccounts() {
        std::vector<std::wstring> sids = prefixedProfiles();
        std::vector<std::wstring> names = prefixedUsers();
        for (const TestUser& user : made_) {
            sids.push_back(user.sid);
            names.push_back(user.name);
        }
        for (const std::wstring& sid : sids) {
            if (!sid.empty() && machine::keyExists(HKEY_LOCAL_MACHINE, join(kProfileList, sid), machine::kView64)) {
                // Windows refuses to delete a profile whose hive is loaded.
                EXPECT_TRUE(waitUntilUnloaded(sid)) << "the hive of " << narrow(sid) << " stays loaded";
                deleteProfile(sid);
            }
        }
        for (const std::wstring& name : names) {
            const NET_API_STATUS status = NetUserDel(nullptr, name.c_str());
            EXPECT_TRUE(status == NERR_Success || status == NERR_UserNotFound)
                << "NetUserDel(" << narrow(name) << "): status " << status;
        }
    }

    // Lists what the case made, and requires each to be gone.
    void expectGone() {
        for (const TestUser& user : made_) {
            const std::string sid = narrow(user.sid);
            const std::string keys =
                sid.empty() ? "(none known)" : "HKU\\" + sid + ", HKU\\" + sid + "_Classes, ProfileList\\" + sid;
            std::printf("[ made     ] user %s; profile folder %s; keys %s\n", narrow(user.name).c_str(),
                        user.folder.empty() ? "(none known)" : narrow(user.folder).c_str(), keys.c_str());
            BYTE* info = nullptr;
            EXPECT_EQ(NERR_UserNotFound, NetUserGetInfo(nullptr, user.name.c_str(), 0, &info))
                << "the user " << narrow(user.name) << " is still there";
            NetApiBufferFree(info);
            if (!user.sid.empty()) {
                EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, join(kProfileList, user.sid), machine::kView64))
                    << "its profile list entry is still there";
                EXPECT_FALSE(hiveLoaded(user.sid) || hiveLoaded(user.sid + L"_Classes")) << "its hive is still loaded";
            }
            EXPECT_FALSE(!user.folder.empty() && GetFileAttributesW(user.folder.c_str()) != INVALID_FILE_ATTRIBUTES)
                << "its profile folder is still there";
        }
        EXPECT_EQ(std::vector<std::wstring>{}, prefixedUsers()) << "local users with the test prefix";
        EXPECT_EQ(std::vector<std::wstring>{}, prefixedProfiles()) << "profiles with the test prefix";
    }

    std::deque<TestUser> made_;
};

}  // namespace

TEST_F(RealProfiles, AnOfflineProfileLosesTheSettingsInItsHiveFileAndStillLoads) {
    TestUser& user = addUser();
    ASSERT_FALSE(HasFailure()) << "no user to test with";
    {
        ProfileLogon logon(user);
        ASSERT_TRUE(logon.loaded());
        preuninstall_test::seedUserSettings(HKEY_USERS, user.sid);
        ASSERT_FALSE(HasFailure());
        ASSERT_TRUE(logon.unload());
    }
    ASSERT_TRUE(waitUntilUnloaded(user.sid)) << "Windows: UnloadUserProfile leaves the user's hive offline";
    const std::wstring file = user.folder + L"\\NTUSER.DAT";
    const std::vector<std::wstring> before = machine::dumpHiveFile(file);
    ASSERT_TRUE(holdsProduct(before, true)) << "the seeded settings are not in " << narrow(file);

    runRemovalHook();

    EXPECT_EQ(withoutProduct(before, true), machine::dumpHiveFile(file))
        << "Windows: the hook mounts the offline hive, purges the settings and the Run value, and the unload "
           "writes that to the file; nothing else in it changes";
    ProfileLogon again(user);
    ASSERT_TRUE(again.loaded()) << "the profile no longer loads";
    wchar_t folder[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    EXPECT_TRUE(GetUserProfileDirectoryW(again.token(), folder, &size) != FALSE && sameText(folder, user.folder))
        << "Windows gave the user a profile other than its own (\"" << narrow(folder)
        << "\"): it found the hive unusable";
    const std::wstring run = join(user.sid, kRunKey);
    EXPECT_FALSE(machine::valueExists(HKEY_USERS, run, L"DelayShred"));
    EXPECT_TRUE(machine::valueExists(HKEY_USERS, run, L"KorvanTestNeighbour"))
        << "the hive loaded is not the one seeded";
}

TEST_F(RealProfiles, ALoadedHiveOfAnotherUserLosesTheSettingsAndStillUnloads) {
    TestUser& user = addUser();
    ASSERT_FALSE(HasFailure()) << "no user to test with";
    const HANDLE token = logOn(user);
    ASSERT_FALSE(HasFailure()) << "no logon of the user";
    const std::unique_ptr<void, decltype(&CloseHandle)> owned(token, &CloseHandle);
    ProfileHolder holder(user, token);
    ASSERT_TRUE(holder.holding()) << "the other process did not load the profile; its exit code: " << holder.release();
    user.folder = profileFolder(user.sid);
    ASSERT_TRUE(hiveLoaded(user.sid)) << "Windows: LoadUserProfileW loads the hive at HKEY_USERS\\" << narrow(user.sid);
    preuninstall_test::seedUserSettings(HKEY_USERS, user.sid);
    const std::vector<std::wstring> before = machine::dumpTree(HKEY_USERS, user.sid);
    ASSERT_TRUE(holdsProduct(before, true));

    runRemovalHook();

    EXPECT_EQ(withoutProduct(before, false), machine::dumpTree(HKEY_USERS, user.sid))
        << "a loaded hive that is not the caller's loses the settings only, its Run value stays";
    EXPECT_EQ(0U, holder.release()) << "the other process unloads the profile (10: load failed, 11: no release, "
                                       "12: UnloadUserProfile failed, 99: it did not end)";
    EXPECT_TRUE(waitUntilUnloaded(user.sid))
        << "Windows: the hive unloads once its holder lets it go; a key the hook left open in it would keep it";
    const std::vector<std::wstring> written = machine::dumpHiveFile(user.folder + L"\\NTUSER.DAT");
    EXPECT_FALSE(written.empty() || holdsProduct(written, false)) << "the unload wrote the purged hive to its file";
}
