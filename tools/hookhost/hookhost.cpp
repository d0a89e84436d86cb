// hookhost: the suite installer's side of the hook contract, for QA machines
// and for our own tests. Loads the hook DLL, resolves one hook by name, calls
// it with the argument count that hook takes, and prints what it returned.
//
//   hookhost [--trace] [--report] [--json] <path-to-dll> <hook-name>
//
// --trace   every call the DLL makes through its imports (and through the
//           RegDeleteKeyExW it looks up), one line each, then a summary of
//           what the calls did and of the handles they left
// --report  the product's footprint on this machine before and after the
//           call, and what changed
// --json    the same as JSON Lines, one object per line
//
// Exit status: 0 the hook ran, returned 0 and removed its arguments;
// 1 it returned something else or left the stack unbalanced; 2 usage;
// 3 the file is missing, is no 32-bit DLL, or did not load; 4 unknown hook
// name; 5 the DLL lacks that export. No hook is called unless the status
// can be 0 or 1.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/hook_table.h"
#include "common/stdcall_call.h"
#include "footprint/footprint.h"
#include "hookhost/output.h"
#include "trace/call_trace.h"
#include "trace/import_recorder.h"

namespace {

struct Options {
    bool trace = false;
    bool report = false;
    bool json = false;
    std::vector<const wchar_t*> positional;
};

std::string hookList() {
    std::string names;
    for (const HookSignature& hook : kHooks) {
        names += std::string(names.empty() ? "" : " ") + hook.name;
    }
    return names;
}

int usage(const char* problem) {
    std::fprintf(stderr,
                 "hookhost: %s; usage: hookhost [--trace] [--report] [--json] <path-to-dll> <hook-name> (hooks: %s)\n",
                 problem, hookList().c_str());
    return 2;
}

// What is wrong with the file as a 32-bit DLL, or nothing.
std::optional<std::string> notA32BitDll(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return std::string("does not exist");
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::string("is a folder, not a DLL");
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "cannot be read (error " + std::to_string(GetLastError()) + ")";
    }
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS32 nt{};
    DWORD read = 0;
    bool headers = ReadFile(file, &dos, sizeof dos, &read, nullptr) != FALSE && read == sizeof dos &&
                   dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0;
    if (headers) {
        headers = SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                  ReadFile(file, &nt, sizeof nt.Signature + sizeof nt.FileHeader, &read, nullptr) != FALSE &&
                  read == sizeof nt.Signature + sizeof nt.FileHeader && nt.Signature == IMAGE_NT_SIGNATURE;
    }
    CloseHandle(file);
    if (!headers) {
        return std::string("is not a Windows DLL (no PE header)");
    }
    if (nt.FileHeader.Machine == IMAGE_FILE_MACHINE_AMD64 || nt.FileHeader.Machine == IMAGE_FILE_MACHINE_ARM64) {
        return std::string("is a 64-bit DLL; the installer and hookhost load 32-bit DLLs only");
    }
    if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_I386) {
        return "is built for another processor (machine " + std::to_string(nt.FileHeader.Machine) + "), not 32-bit x86";
    }
    if ((nt.FileHeader.Characteristics & IMAGE_FILE_DLL) == 0) {
        return std::string("is a program, not a DLL");
    }
    return std::nullopt;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--trace") {
            options.trace = true;
        } else if (argument == L"--report") {
            options.report = true;
        } else if (argument == L"--json") {
            options.json = true;
        } else if (argument.rfind(L"--", 0) == 0) {
            std::fprintf(stderr, "hookhost: unknown option '%ls'; options: --trace --report --json\n", argv[i]);
            return 2;
        } else {
            options.positional.push_back(argv[i]);
        }
    }
    if (options.positional.size() != 2) {
        return usage(options.positional.size() < 2 ? "expected a DLL and a hook name" : "too many arguments");
    }
    if (options.json && !options.trace && !options.report) {
        return usage("--json goes with --trace or --report");
    }
    const wchar_t* dllPath = options.positional[0];
    char hookName[64] = {};
    const HookSignature* signature = nullptr;
    if (WideCharToMultiByte(CP_ACP, 0, options.positional[1], -1, hookName, sizeof hookName, nullptr, nullptr) != 0) {
        for (const HookSignature& hook : kHooks) {
            if (std::strcmp(hook.name, hookName) == 0) {
                signature = &hook;
            }
        }
    }
    if (signature == nullptr) {
        std::fprintf(stderr, "hookhost: unknown hook '%ls' (hooks: %s)\n", options.positional[1], hookList().c_str());
        return 4;
    }
    if (const std::optional<std::string> problem = notA32BitDll(dllPath)) {
        std::fprintf(stderr, "hookhost: '%ls' %s\n", dllPath, problem->c_str());
        return 3;
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

    const hookhost::Output output(options.json);
    std::vector<footprint::State> before;
    const std::string when = std::string("before ") + signature->name;
    if (options.report) {
        before = footprint::read(footprint::product());
        output.footprint(when, before);
    }
    // The recorder goes before the DLL is freed: the DLL's shutdown then
    // calls through its own import table again.
    auto recorder = options.trace ? std::make_unique<trace::ImportRecorder>(dll) : nullptr;
    auto calls = options.trace ? std::make_unique<trace::CallTrace>(
                                     *recorder, [&output](const trace::Event& event) { output.call(event); })
                               : nullptr;

    const StdcallResult result = callStdcall(reinterpret_cast<void*>(hook), signature->argumentCount);
    const int expectedBytes = static_cast<int>(4 * signature->argumentCount);
    output.returned(signature->name, result.returned, result.bytesPopped);
    if (calls) {
        output.summary(signature->name, calls->summary());
        calls.reset();
        recorder.reset();
    }
    std::fflush(stdout);
    FreeLibrary(dll);

    if (options.report) {
        const std::vector<footprint::State> after = footprint::read(footprint::product());
        output.footprint(std::string("after ") + signature->name, after);
        output.changes(before, after);
    }
    std::fflush(stdout);

    if (result.bytesPopped != expectedBytes) {
        std::fprintf(stderr, "hookhost: %s removed %d bytes of arguments, expected %d\n", signature->name,
                     result.bytesPopped, expectedBytes);
        return 1;
    }
    return result.returned == 0 ? 0 : 1;
}
