#pragma once

// What the RegistryKey tests share: a scratch key under HKCU, registry links
// made and removed as links, and a process-wide spy on RegDeleteKeyExW.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace registry_testing {

// HKCU\Software\InstallHooksTests\RegistryKey, emptied before and after
// every test.
extern const wchar_t kScratch[];

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// The kernel's absolute name of a key ("\REGISTRY\USER\S-1-...\Software\..."),
// the form a link's target takes; empty when the key cannot be opened.
std::wstring absoluteName(HKEY root, const std::wstring& path);

// A registry link at root\path pointing at `target` (an absolute name), made
// with REG_OPTION_CREATE_LINK and removed as itself when the object goes, so
// the target is never touched and no link is left in user.reg.
class RegistryLink {
public:
    RegistryLink(HKEY root, std::wstring path, const std::wstring& target);
    ~RegistryLink();
    RegistryLink(const RegistryLink&) = delete;
    RegistryLink& operator=(const RegistryLink&) = delete;

    bool made() const { return made_; }
    // Whether the link key itself (not its target) is there.
    bool exists() const;

private:
    HKEY root_;
    std::wstring path_;
    bool made_ = false;
};

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
