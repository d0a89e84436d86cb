// The RegDeleteKeyExW lookup in a freshly loaded installhooks.dll: made once
// per process, and with it failing every deletion goes through RegDeleteKeyW.
// The removal hook drives the DLL's deletions (the shell integration's two
// subtrees).

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "registry/registry_support.h"
#include "samplemachine/footprint.h"
#include "samplemachine/footprint_shell.h"
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

std::size_t keysBelow(const std::wstring& path) {
    std::size_t keys = 0;
    for (const std::wstring& line : machine::dumpTree(HKEY_LOCAL_MACHINE, path)) {
        keys += line.front() == L'[' ? 1U : 0U;
    }
    return keys;
}

class DeleteKeyExLookup : public ::testing::TestWithParam<Lookup> {
protected:
    void SetUp() override {
        sample::clearShell();
        registry_testing::deleteExCalls().clear();
        g_plainDeletions.clear();
        g_moduleLookups = 0;
        g_functionLookups = 0;
        g_lookup = GetParam();
    }
    void TearDown() override { sample::clearShell(); }
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

    std::size_t keys = 0;
    for (const char* hook : {"DllPreUnInstall", "DllZudaUnInstall"}) {
        SCOPED_TRACE(hook);
        sample::shell::seedHandlerKey();
        sample::shell::seedClassKey();
        keys += keysBelow(sample::shell::handlerKey()) + keysBelow(sample::shell::classKey());
        EXPECT_EQ(0, dll.call(hook));
        EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, sample::shell::handlerKey()));
        EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, sample::shell::classKey()));
    }
    ASSERT_GT(keys, 2U);

    EXPECT_EQ(1, g_moduleLookups);
    EXPECT_EQ(GetParam() == Lookup::ModuleMissing ? 0 : 1, g_functionLookups);
    if (GetParam() == Lookup::Found) {
        EXPECT_TRUE(g_plainDeletions.empty());
        EXPECT_EQ(keys, registry_testing::deleteExCalls().size());
        for (const registry_testing::DeleteExCall& call : registry_testing::deleteExCalls()) {
            EXPECT_EQ(0U, call.view) << machine::narrow(call.name);
        }
    } else {
        EXPECT_TRUE(registry_testing::deleteExCalls().empty());
        EXPECT_EQ(keys, g_plainDeletions.size());
        EXPECT_EQ(sample::shell::kClassName, g_plainDeletions.back());
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
