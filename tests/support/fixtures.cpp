#include "support/fixtures.h"

#include <cstring>

#include "common/hook_table.h"
#include "common/stdcall_call.h"

namespace testing_support {

void ProductKeysTest::clearProductKeys() {
    ASSERT_TRUE(machine::deleteTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", machine::kView64));
    ASSERT_TRUE(machine::deleteTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", machine::kView32));
}

std::wstring HookLibrary::path() {
    // Another build of the DLL, such as a signed copy, when the run names one.
    wchar_t other[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"INSTALLHOOKS_DLL", other, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        return other;
    }
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring folder = program;
    folder.resize(folder.rfind(L'\\') + 1);
    return folder + L"installhooks.dll";
}

HookLibrary::HookLibrary() : module_(LoadLibraryW(path().c_str())) {}

HookLibrary::~HookLibrary() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

void* HookLibrary::hook(const char* name) const {
    return module_ != nullptr ? reinterpret_cast<void*>(GetProcAddress(module_, name)) : nullptr;
}

int HookLibrary::call(const char* name) const {
    for (const HookSignature& signature : kHooks) {
        if (std::strcmp(signature.name, name) == 0) {
            void* function = hook(name);
            if (function == nullptr) {
                ADD_FAILURE() << name << " is not exported";
                return -1;
            }
            const StdcallResult result = callStdcall(function, signature.argumentCount);
            EXPECT_EQ(static_cast<int>(4 * signature.argumentCount), result.bytesPopped) << name;
            return result.returned;
        }
    }
    ADD_FAILURE() << name << " is not a hook";
    return -1;
}

}  // namespace testing_support
