// The shipped DLL as an installer engine sees it: its export and import
// tables, its version resource, and the stdcall contract of each hook.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "common/hook_table.h"
#include "common/stdcall_call.h"
#include "support/fixtures.h"
#include "support/iat_patch.h"

using testing_support::HookLibrary;

namespace {

std::vector<std::string> exportedNames(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::vector<std::string> result;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        result.emplace_back(reinterpret_cast<const char*>(base + names[i]));
    }
    EXPECT_EQ(exports->NumberOfNames, exports->NumberOfFunctions) << "every export has a name";
    return result;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::wstring versionString(const std::wstring& file, const wchar_t* name) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<BYTE> data(size);
    if (GetFileVersionInfoW(file.c_str(), 0, size, data.data()) == FALSE) {
        return {};
    }
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (VerQueryValueW(data.data(), query.c_str(), &value, &length) == FALSE || length == 0) {
        return {};
    }
    return static_cast<const wchar_t*>(value);
}

}  // namespace

TEST(Exports, TheDllLoadsAndExportsExactlyTheFourHooksUndecorated) {
    HookLibrary dll;
    ASSERT_NE(nullptr, dll.module()) << "LoadLibrary failed: " << GetLastError();
    std::vector<std::string> names = exportedNames(dll.module());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"DllCreateTasks", "DllPostInstall", "DllPreUnInstall", "DllZudaUnInstall"}),
              names);
}

TEST(Exports, EveryHookReturnsZeroAndRemovesExactlyItsArguments) {
    HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    // DllPostInstall stamps a key that does not exist here; the others have
    // nothing to remove on a machine without the product.
    const unsigned expectedArguments[] = {4, 4, 4, 1};
    int index = 0;
    for (const HookSignature& hook : kHooks) {
        SCOPED_TRACE(hook.name);
        EXPECT_EQ(expectedArguments[index++], hook.argumentCount);
        void* function = dll.hook(hook.name);
        ASSERT_NE(nullptr, function);
        const StdcallResult result = callStdcall(function, hook.argumentCount);
        EXPECT_EQ(0, result.returned);
        EXPECT_EQ(static_cast<int>(4 * hook.argumentCount), result.bytesPopped);
    }
}

TEST(Exports, TheStackCheckCatchesAWrongArgumentCount) {
    // The probe itself must tell a 16-byte hook called with one argument.
    HookLibrary dll;
    void* function = dll.hook("DllCreateTasks");
    ASSERT_NE(nullptr, function);
    const StdcallResult result = callStdcall(function, 1);
    EXPECT_EQ(16, result.bytesPopped);
}

TEST(Exports, LoadingAndFreeingTheDllLeavesNothingBehind) {
    // A DLL with a C++ runtime inside kept a thread-local slot per load under
    // Wine (a process died after about a thousand loads); this one runs only
    // its DllMain.
    const DWORD before = TlsAlloc();
    TlsFree(before);
    for (int i = 0; i < 20; ++i) {
        HookLibrary dll;
        ASSERT_NE(nullptr, dll.module());
    }
    const DWORD after = TlsAlloc();
    TlsFree(after);
    EXPECT_EQ(before, after);
}

TEST(Exports, TheDllImportsOnlyWindowsSystemLibraries) {
    HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    const std::set<std::string> system = {"kernel32.dll", "advapi32.dll", "shell32.dll",
                                          "shlwapi.dll",  "ole32.dll",    "ntdll.dll"};
    std::set<std::string> imported;
    for (const testing_support::ImportEntry& entry : testing_support::listImports(dll.module())) {
        imported.insert(lower(entry.dll));
    }
    ASSERT_FALSE(imported.empty());
    for (const std::string& name : imported) {
        EXPECT_EQ(1U, system.count(name)) << name << " is not a Windows system library";
    }
    // The view-aware deletion is looked up at run time, never imported.
    for (const testing_support::ImportEntry& entry : testing_support::listImports(dll.module())) {
        EXPECT_NE("RegDeleteKeyExW", entry.function);
    }
}

TEST(Exports, TheDllIsHardenedForAnElevatedHost) {
    HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    auto* base = reinterpret_cast<BYTE*>(dll.module());
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, nt->FileHeader.Machine);
    EXPECT_NE(0, nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_NE(0, nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    // The stack protector's guard, named by the load configuration, is no
    // longer the value the file holds (0xBB40E64E): the loader randomised it.
    const IMAGE_DATA_DIRECTORY& config = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    ASSERT_GE(config.Size, offsetof(IMAGE_LOAD_CONFIG_DIRECTORY32, SecurityCookie) + sizeof(DWORD));
    const auto* loadConfig = reinterpret_cast<const IMAGE_LOAD_CONFIG_DIRECTORY32*>(base + config.VirtualAddress);
    ASSERT_NE(0U, loadConfig->SecurityCookie);
    const DWORD guard = *reinterpret_cast<const DWORD*>(loadConfig->SecurityCookie);
    EXPECT_NE(0xBB40E64EU, guard);
    EXPECT_NE(0U, guard);
}

TEST(Exports, TheVersionResourceNamesTheProjectVersion) {
    const std::wstring file = HookLibrary::path();
    const std::string expected = INSTALLHOOKS_VERSION;
    EXPECT_EQ(std::wstring(expected.begin(), expected.end()), versionString(file, L"FileVersion"));
    EXPECT_EQ(std::wstring(expected.begin(), expected.end()), versionString(file, L"ProductVersion"));
    EXPECT_FALSE(versionString(file, L"FileDescription").empty());
    EXPECT_EQ(L"installhooks.dll", versionString(file, L"OriginalFilename"));
}
