// The stack protector's failure routine (src/common/hardening.c, linked
// here as into the DLL) on a processor that takes no fast-fail requests, as
// on Windows 7: the program runs itself as a child whose import of
// IsProcessorFeaturePresent answers for it, calls the routine there, and
// reads the child's end from outside (GetExitCodeProcess).
//
// - Feature absent: the routine asks for PF_FASTFAIL_AVAILABLE, gets FALSE
//   and terminates its process with STATUS_STACK_BUFFER_OVERRUN. That raises
//   no exception, so no handler and no debugger can step in.
// - Feature present (the control): the routine makes the fast-fail request
//   and never reaches TerminateProcess. Windows 8 and later end the process
//   in the kernel with the same status, no handler run. Wine raises the
//   request as a non-continuable exception instead (STATUS_STACK_BUFFER_OVERRUN;
//   STATUS_ILLEGAL_INSTRUCTION where its 32-bit side runs under qemu-user,
//   which hands the interrupt over as an illegal instruction), which the
//   child's vectored handler reports and ends the process with, so that Wine
//   starts no debugger.
//
// Exit status 0 when both children ended as they must.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "trace/iat_patch.h"

extern "C" __declspec(noreturn) void __stack_chk_fail(void);

namespace {

BOOL featurePresent = FALSE;
trace::IatPatch* terminatePatch = nullptr;

void say(const char* format, unsigned long value) {
    std::printf(format, value);
    std::fflush(stdout);
}

BOOL WINAPI answerFeature(DWORD feature) {
    say(featurePresent ? "IsProcessorFeaturePresent(%lu) -> TRUE\n" : "IsProcessorFeaturePresent(%lu) -> FALSE\n",
        feature);
    return featurePresent;
}

BOOL WINAPI watchTerminate(HANDLE process, UINT code) {
    say("TerminateProcess(0x%08lX)\n", code);
    return terminatePatch->originalAs<BOOL(WINAPI*)(HANDLE, UINT)>()(process, code);
}

LONG CALLBACK reportException(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    say("exception 0x%08lX\n", code);
    ExitProcess(code);
    return EXCEPTION_CONTINUE_SEARCH;
}

[[noreturn]] void child(bool present) {
    featurePresent = present ? TRUE : FALSE;
    const HMODULE self = GetModuleHandleW(nullptr);
    trace::IatPatch feature(self, "kernel32.dll", "IsProcessorFeaturePresent",
                            reinterpret_cast<const void*>(&answerFeature));
    trace::IatPatch terminate(self, "kernel32.dll", "TerminateProcess", reinterpret_cast<const void*>(&watchTerminate));
    terminatePatch = &terminate;
    if (!feature.applied() || !terminate.applied()) {
        say("the program does not import IsProcessorFeaturePresent and TerminateProcess (%lu)\n", 0);
        ExitProcess(2);
    }
    AddVectoredExceptionHandler(1, reportException);
    __stack_chk_fail();
}

struct Ended {
    DWORD code = 0;
    std::string output;
};

// Runs this program with `argument` and collects what it printed and how it ended.
bool runChild(const wchar_t* argument, Ended& ended) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherit, 0)) {
        return false;
    }
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(path) + L"\" " + argument;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer;
    startup.hStdError = writer;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    const bool started =
        CreateProcessW(path, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process) != 0;
    CloseHandle(writer);
    if (started) {
        char buffer[512];
        DWORD read = 0;
        while (ReadFile(reader, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            ended.output.append(buffer, read);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &ended.code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(reader);
    return started;
}

bool has(const Ended& ended, const char* text) { return ended.output.find(text) != std::string::npos; }

// Checks one child; prints what it saw and whether it is right.
bool expect(const wchar_t* argument, const char* name, bool present) {
    Ended ended;
    if (!runChild(argument, ended)) {
        std::printf("FAIL %s: the child did not start (error %lu)\n", name, GetLastError());
        return false;
    }
    std::printf("%s: exit status 0x%08lX; the child said:\n%s", name, ended.code, ended.output.c_str());
    const char* problem = nullptr;
    const bool emulatedInterrupt =
        present && ended.code == static_cast<DWORD>(STATUS_ILLEGAL_INSTRUCTION) && has(ended, "exception 0xC000001D");
    if (ended.code != static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN) && !emulatedInterrupt) {
        problem = "the process did not end with STATUS_STACK_BUFFER_OVERRUN (0xC0000409)";
    } else if (!has(ended,
                    present ? "IsProcessorFeaturePresent(23) -> TRUE" : "IsProcessorFeaturePresent(23) -> FALSE")) {
        problem = "the routine did not ask for PF_FASTFAIL_AVAILABLE (23)";
    } else if (present && has(ended, "TerminateProcess")) {
        problem = "with fast fail available the routine still called TerminateProcess";
    } else if (!present && (!has(ended, "TerminateProcess(0xC0000409)") || has(ended, "exception"))) {
        problem = "without fast fail the routine did not terminate the process itself, without an exception";
    }
    std::printf("%s %s%s%s\n", problem ? "FAIL" : "ok  ", name, problem ? ": " : "", problem ? problem : "");
    return problem == nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"--child") == 0) {
        child(std::wcscmp(argv[2], L"present") == 0);
    }
    const bool absent = expect(L"--child absent", "fast fail not available", false);
    const bool present = expect(L"--child present", "fast fail available (control)", true);
    return absent && present ? 0 : 1;
}
