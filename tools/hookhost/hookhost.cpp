// hookhost: the suite installer's side of the hook contract, for QA machines
// and for our own tests. Loads the hook DLL, resolves one hook by name, calls
// it with the argument count that hook takes, and prints what it returned.
//
//   hookhost <path-to-dll> <hook-name>
//
// Exit status: 0 the hook ran, returned 0 and removed its arguments;
// 1 it returned something else or left the stack unbalanced; 2 usage;
// 3 the DLL did not load; 4 unknown hook name; 5 the DLL lacks that export.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/hook_table.h"
#include "common/stdcall_call.h"

namespace {

void printUsage() {
    std::fprintf(stderr, "usage: hookhost <path-to-dll> <hook-name>\nhooks:");
    for (const HookSignature& hook : kHooks) {
        std::fprintf(stderr, " %s", hook.name);
    }
    std::fprintf(stderr, "\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        printUsage();
        return 2;
    }
    const wchar_t* dllPath = argv[1];
    char hookName[64] = {};
    if (WideCharToMultiByte(CP_ACP, 0, argv[2], -1, hookName, sizeof hookName, nullptr, nullptr) == 0) {
        std::fprintf(stderr, "hookhost: unknown hook '%ls'\n", argv[2]);
        return 4;
    }

    const HookSignature* signature = nullptr;
    for (const HookSignature& hook : kHooks) {
        if (std::strcmp(hook.name, hookName) == 0) {
            signature = &hook;
        }
    }
    if (signature == nullptr) {
        std::fprintf(stderr, "hookhost: unknown hook '%s'\n", hookName);
        printUsage();
        return 4;
    }

    HMODULE dll = LoadLibraryW(dllPath);
    if (dll == nullptr) {
        std::fprintf(stderr, "hookhost: cannot load '%ls' (error %lu)\n", dllPath, GetLastError());
        return 3;
    }
    FARPROC hook = GetProcAddress(dll, signature->name);
    if (hook == nullptr) {
        std::fprintf(stderr, "hookhost: '%ls' does not export %s\n", dllPath, signature->name);
        FreeLibrary(dll);
        return 5;
    }

    const StdcallResult result = callStdcall(reinterpret_cast<void*>(hook), signature->argumentCount);
    const int expectedBytes = static_cast<int>(4 * signature->argumentCount);
    std::printf("%s returned %d\n", signature->name, result.returned);
    std::fflush(stdout);
    FreeLibrary(dll);

    if (result.bytesPopped != expectedBytes) {
        std::fprintf(stderr, "hookhost: %s removed %d bytes of arguments, expected %d\n", signature->name,
                     result.bytesPopped, expectedBytes);
        return 1;
    }
    return result.returned == 0 ? 0 : 1;
}
