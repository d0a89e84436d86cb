// The RegDeleteKeyExW lookup in a freshly loaded installhooks.dll: made once
// per process, and with it failing every deletion of a child by name goes
// through RegDeleteKeyW. The post-install hook drives the DLL's one such
// deletion (the obsolete "OEM" key), twice.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "registry/registry_support.h"
#include "samplemachine/footprint.h"
#include "support/fixtures.h"
#include "support/iat_patch.h"

using testing_support::HookLibrary;
using testing_support::IatPatch;

namespace {

enum class Lookup { Found, FunctionMissing, ModuleMissing };

int g_moduleLookups = 0;
int g_functionLookups = 0;
Lookup g_lookup = Lookup::Found;
std::vector<std::wstring> g_plainDeletions;
decltype(&GetProcAddress) g_getProcAddress = nullptr;
decltype(&GetModuleHandleW) g_getModuleHandleW = nullptr;
decltype(&RegDeleteKeyW) g_regDeleteKeyW = nullptr;

FARPROC WINAPI answeringGetProcAddress(HMODULE module, LPCSTR name) {
    if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && std::strcmp(name, "RegDeleteKeyExW") == 0) {
        ++g_functionLookups;
        return g_lookup == Lookup::Found
                   ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&registry_testing::recordingRegDeleteKeyExW))
                   : nullptr;
    }
    return g_getProcAddress(module, name);
}

HMODULE WINAPI answeringGetModuleHandleW(LPCWSTR name) {
    if (name != nullptr && lstrcmpiW(name, L"Advapi32.dll") == 0) {
        ++g_moduleLookups;
        if (g_lookup == Lookup::ModuleMissing) {
            return nullptr;
        }
    }
    return g_getModuleHandleW(name);
}

LONG WINAPI recordingRegDeleteKeyW(HKEY key, LPCWSTR name) {
    g_plainDeletions.push_back(name != nullptr ? name : L"");
    return g_regDeleteKeyW(key, name);
}

const wchar_t kOem[] = L"Software\\Korvan\\ZTB\\AppInfo\\OEM";

class DeleteKeyExLookup : public ::testing::TestWithParam<Lookup> {
protected:
    void SetUp() override {
        sample::clearPostInstall();
        registry_testing::deleteExCalls().clear();
        g_plainDeletions.clear();
        g_moduleLookups = 0;
        g_functionLookups = 0;
        g_lookup = GetParam();
    }
    void TearDown() override { sample::clearPostInstall(); }
};

}  // namespace

TEST_P(DeleteKeyExLookup, IsMadeOncePerProcessAndDecidesHowEveryDeletionIsMade) {
    HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    IatPatch function(dll.module(), "kernel32.dll", "GetProcAddress",
                      reinterpret_cast<const void*>(&answeringGetProcAddress));
    IatPatch module(dll.module(), "kernel32.dll", "GetModuleHandleW",
                    reinterpret_cast<const void*>(&answeringGetModuleHandleW));
    IatPatch plain(dll.module(), "advapi32.dll", "RegDeleteKeyW",
                   reinterpret_cast<const void*>(&recordingRegDeleteKeyW));
    ASSERT_TRUE(function.applied() && module.applied() && plain.applied());
    g_getProcAddress = function.originalAs<decltype(g_getProcAddress)>();
    g_getModuleHandleW = module.originalAs<decltype(g_getModuleHandleW)>();
    g_regDeleteKeyW = plain.originalAs<decltype(g_regDeleteKeyW)>();

    for (int run = 0; run < 2; ++run) {
        sample::seedPostInstall();
        ASSERT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, kOem, machine::kView32));
        EXPECT_EQ(0, dll.call("DllPostInstall"));
        EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kOem, machine::kView32));
    }

    EXPECT_EQ(1, g_moduleLookups);
    EXPECT_EQ(GetParam() == Lookup::ModuleMissing ? 0 : 1, g_functionLookups);
    const std::vector<std::wstring> bothOem{L"OEM", L"OEM"};
    if (GetParam() == Lookup::Found) {
        EXPECT_TRUE(g_plainDeletions.empty());
        ASSERT_EQ(2U, registry_testing::deleteExCalls().size());
        for (const registry_testing::DeleteExCall& call : registry_testing::deleteExCalls()) {
            EXPECT_EQ(L"OEM", call.name);
            EXPECT_EQ(0U, call.view);
        }
    } else {
        EXPECT_TRUE(registry_testing::deleteExCalls().empty());
        EXPECT_EQ(bothOem, g_plainDeletions);
    }
}

INSTANTIATE_TEST_SUITE_P(Lookup, DeleteKeyExLookup,
                         ::testing::Values(Lookup::Found, Lookup::FunctionMissing, Lookup::ModuleMissing),
                         [](const ::testing::TestParamInfo<Lookup>& param) {
                             switch (param.param) {
                                 case Lookup::Found:
                                     return "Found";
                                 case Lookup::FunctionMissing:
                                     return "FunctionMissing";
                                 default:
                                     return "ModuleMissing";
                             }
                         });
