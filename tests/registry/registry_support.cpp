#include "registry/registry_support.h"

#include <winternl.h>

#include <cstring>
#include <memory>

#include "machine/machine.h"
#include "registry/RegistryKey.h"
#include "support/iat_patch.h"
#include "support/registry_faults.h"

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key, int infoClass, PVOID info, ULONG length, PULONG resultLength);

namespace registry_testing {

const wchar_t kScratch[] = L"Software\\InstallHooksTests\\RegistryKey";

void ScratchTest::SetUp() { ASSERT_TRUE(machine::deleteTree(HKEY_CURRENT_USER, kScratch)); }

void ScratchTest::TearDown() {
    EXPECT_TRUE(machine::deleteTree(HKEY_CURRENT_USER, kScratch));
    machine::deleteTree(HKEY_CURRENT_USER, L"Software\\InstallHooksTests");
}

std::wstring absoluteName(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    constexpr int kKeyNameInformation = 3;
    alignas(ULONG) BYTE buffer[2048] = {};
    ULONG length = 0;
    const NTSTATUS status = NtQueryKey(key, kKeyNameInformation, buffer, sizeof buffer, &length);
    RegCloseKey(key);
    if (status < 0) {
        return {};
    }
    ULONG nameBytes = 0;
    std::memcpy(&nameBytes, buffer, sizeof nameBytes);
    return std::wstring(reinterpret_cast<const wchar_t*>(buffer + sizeof(ULONG)), nameBytes / sizeof(wchar_t));
}

RegistryLink::RegistryLink(HKEY root, std::wstring path, const std::wstring& target)
    : root_(root), path_(std::move(path)) {
    HKEY link = nullptr;
    if (RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr, &link,
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    // The target without its terminator, as the kernel expects it.
    made_ = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.c_str()),
                           static_cast<DWORD>(target.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(link);
}

RegistryLink::~RegistryLink() {
    HKEY link = nullptr;
    if (RegOpenKeyExW(root_, path_.c_str(), REG_OPTION_OPEN_LINK, DELETE, &link) == ERROR_SUCCESS) {
        NtDeleteKey(link);
        RegCloseKey(link);
    }
}

bool RegistryLink::exists() const {
    HKEY link = nullptr;
    if (RegOpenKeyExW(root_, path_.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &link) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    const bool isLink =
        RegQueryValueExW(link, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == 0 && type == REG_LINK;
    RegCloseKey(link);
    return isLink;
}

namespace {

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
using NtDeleteKeyFn = NTSTATUS(NTAPI*)(HANDLE);
using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);

RegDeleteKeyExWFn g_realDeleteEx = nullptr;
GetProcAddressFn g_realGetProcAddress = nullptr;
int g_firstLookups = 0;
NtDeleteKeyFn g_realNtDeleteKey = nullptr;
bool g_recordDeletions = true;

NTSTATUS NTAPI recordingNtDeleteKey(HANDLE key) {
    if (!g_recordDeletions) {
        return g_realNtDeleteKey(key);
    }
    // Named before it goes: a deleted key has no name to ask for.
    const std::wstring name = testing_support::registryKeyName(static_cast<HKEY>(key));
    const NTSTATUS status = g_realNtDeleteKey(key);
    handleDeletions().push_back({name.substr(name.find_last_of(L'\\') + 1), status});
    return status;
}

bool namesRegDeleteKeyExW(LPCSTR name) {
    return HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && std::strcmp(name, "RegDeleteKeyExW") == 0;
}

FARPROC WINAPI handingOutSpy(HMODULE module, LPCSTR name) {
    if (namesRegDeleteKeyExW(name)) {
        ++g_firstLookups;
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&recordingRegDeleteKeyExW));
    }
    return g_realGetProcAddress(module, name);
}

// Makes the process's one RegDeleteKeyExW lookup before any test, with the
// lookup answered by the recording wrapper.
class DeleteExSpy : public ::testing::Environment {
public:
    void SetUp() override {
        g_realDeleteEx = reinterpret_cast<RegDeleteKeyExWFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
        ASSERT_NE(nullptr, g_realDeleteEx);
        const std::wstring probe = std::wstring(kScratch) + L"Probe";
        ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, probe + L"\\One"));
        ASSERT_TRUE(machine::createKey(HKEY_CURRENT_USER, probe + L"\\Two"));
        {
            testing_support::IatPatch lookup(testing_support::testProgram(), "kernel32.dll", "GetProcAddress",
                                             reinterpret_cast<const void*>(&handingOutSpy));
            ASSERT_TRUE(lookup.applied());
            g_realGetProcAddress = lookup.originalAs<GetProcAddressFn>();
            installhooks::RegistryKey key;
            ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, probe.c_str(), KEY_WRITE));
            EXPECT_EQ(ERROR_SUCCESS, key.deleteChildKey(L"One"));
            EXPECT_EQ(ERROR_SUCCESS, key.deleteChildKey(L"Two"));
        }
        EXPECT_TRUE(machine::deleteTree(HKEY_CURRENT_USER, probe));
        deletions_ = std::make_unique<testing_support::IatPatch>(testing_support::testProgram(), "ntdll.dll",
                                                                 "NtDeleteKey",
                                                                 reinterpret_cast<const void*>(&recordingNtDeleteKey));
        ASSERT_TRUE(deletions_->applied());
        g_realNtDeleteKey = deletions_->originalAs<NtDeleteKeyFn>();
    }

private:
    std::unique_ptr<testing_support::IatPatch> deletions_;
};

const ::testing::Environment* const g_spy = ::testing::AddGlobalTestEnvironment(new DeleteExSpy);

}  // namespace

std::vector<DeleteExCall>& deleteExCalls() {
    static std::vector<DeleteExCall> calls;
    return calls;
}

int firstLookups() { return g_firstLookups; }

std::vector<HandleDeletion>& handleDeletions() {
    static std::vector<HandleDeletion> deletions;
    return deletions;
}

void recordHandleDeletions(bool on) { g_recordDeletions = on; }

std::vector<std::wstring> handleDeletionNames() {
    std::vector<std::wstring> names;
    for (const HandleDeletion& deletion : handleDeletions()) {
        names.push_back(deletion.name);
    }
    return names;
}

LONG WINAPI recordingRegDeleteKeyExW(HKEY key, LPCWSTR name, REGSAM view, DWORD reserved) {
    const LONG status = g_realDeleteEx(key, name, view, reserved);
    deleteExCalls().push_back({name != nullptr ? name : L"", view, status});
    return status;
}

}  // namespace registry_testing
