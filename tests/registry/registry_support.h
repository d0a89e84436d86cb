#pragma once

// What the RegistryKey tests share: a scratch key under HKCU, and
// process-wide spies on RegDeleteKeyExW and on NtDeleteKey.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/registry_link.h"

namespace registry_testing {

// HKCU\Software\InstallHooksTests\RegistryKey, emptied before and after
// every test.
extern const wchar_t kScratch[];

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

using testing_support::absoluteName;
using testing_support::RegistryLink;

// Every RegDeleteKeyExW call that RegistryKey made in this process. The test
// program hands RegistryKey its RegDeleteKeyExW through the one lookup it
// makes, before the first test runs, and this recording wrapper is what the
// lookup returns.
struct DeleteExCall {
    std::wstring name;
    REGSAM view;
    LONG status;
};
std::vector<DeleteExCall>& deleteExCalls();
// GetProcAddress calls for "RegDeleteKeyExW" seen while that first lookup was
// made (two deletions were made under watch).
int firstLookups();
// Every key that the test program deleted through its handle (NtDeleteKey),
// by the last component of its name, in call order.
struct HandleDeletion {
    std::wstring name;
    LONG status;  // the NTSTATUS
};
std::vector<HandleDeletion>& handleDeletions();
std::vector<std::wstring> handleDeletionNames();
// Recording allocates: off while a test counts the allocations of a walk.
void recordHandleDeletions(bool on);
// The recording wrapper, for tests that hand it to a freshly loaded DLL.
LONG WINAPI recordingRegDeleteKeyExW(HKEY key, LPCWSTR name, REGSAM view, DWORD reserved);

}  // namespace registry_testing
