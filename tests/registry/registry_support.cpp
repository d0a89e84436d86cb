#include "registry/registry_support.h"

#include <winternl.h>

#include <cstring>
#include <memory>

#include "machine/machine.h"
#include "registry/RegistryKey.h"
#include "support/iat_patch.h"
#include "support/registry_faults.h"

namespace registry_testing {

const wchar_t kScratch[] = L"Software\\InstallHooksTests\\RegistryKey";

void ScratchTest::SetUp() { ASSERT_TRUE(machine::deleteTree(HKEY_CURRENT_USER, kScratch)); }

void ScratchTest::TearDown() {
    EXPECT_TRUE(machine::deleteTree(HKEY_CURRENT_USER, kScratch));
    machine::deleteTree(HKEY_CURRENT_USER, L"Software\\InstallHooksTests");
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
        deletions_ =
            std::make_unique<testing_support::IatPatch>(testing_support::testProgram(), "ntdll.dll", "NtDeleteKey",
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
