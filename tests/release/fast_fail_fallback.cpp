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

#include "support/child_process.h"
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

// Runs this program again with `argument`.
testing_support::ChildRun runSelf(const wchar_t* argument) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return testing_support::runChild(path, argument, testing_support::scaledSeconds(30));
}

bool has(const testing_support::ChildRun& ended, const char* text) {
    return ended.output.find(text) != std::string::npos;
}

// Checks one child; prints what it saw and whether it is right.
bool expect(const wchar_t* argument, const char* name, bool present) {
    const testing_support::ChildRun ended = runSelf(argument);
    if (!ended.started || ended.timedOut) {
        std::printf("FAIL %s: the child %s\n", name, ended.outcome().c_str());
        return false;
    }
    std::printf("%s: exit status 0x%08lX; the child said:\n%s", name, ended.exitCode, ended.output.c_str());
    const char* problem = nullptr;
    const bool emulatedInterrupt = present && ended.exitCode == static_cast<DWORD>(STATUS_ILLEGAL_INSTRUCTION) &&
                                   has(ended, "exception 0xC000001D");
    if (ended.exitCode != static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN) && !emulatedInterrupt) {
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
