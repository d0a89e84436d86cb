#include "support/child_process.h"

#include <cstdio>
#include <cwchar>
#include <string>

#include "machine/machine.h"

namespace testing_support {

namespace {

struct Handle {
    HANDLE value = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : value(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle() { close(); }
    void close() {
        if (value != nullptr) {
            CloseHandle(value);
            value = nullptr;
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

std::wstring temporaryFile() {
    wchar_t folder[MAX_PATH] = {};
    wchar_t file[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"out", 0, file);
    return file;
}

}  // namespace

std::string ChildRun::outcome() const {
    if (!started) {
        return "did not start (error " + std::to_string(startError) + ")";
    }
    char time[32];
    std::snprintf(time, sizeof time, " (%.1f s)", seconds);
    return (timedOut ? "was killed at its time limit" : "exited with " + std::to_string(exitCode)) + time;
}

ChildRun runChild(const std::wstring& program, const std::wstring& arguments, DWORD seconds,
                  const std::wstring& outputFile) {
    ChildRun run;
    const std::wstring output = outputFile.empty() ? temporaryFile() : outputFile;
    // A file rather than a pipe: whatever the child leaves running (Wine's
    // services, an installer's helpers) may hold its output open for good.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle sink(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    Handle input(
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    // At the time limit, everything the child started dies with it.
    Handle job(CreateJobObjectW(nullptr, nullptr));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.value;
    startup.hStdOutput = sink.value;
    startup.hStdError = sink.value;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    run.started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                 nullptr, &startup, &process) != FALSE;
    if (!run.started) {
        run.startError = GetLastError();
        return run;
    }
    const ULONGLONG start = GetTickCount64();
    Handle processHandle(process.hProcess);
    Handle thread(process.hThread);
    AssignProcessToJobObject(job.value, process.hProcess);
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, seconds * 1000) != WAIT_OBJECT_0) {
        run.timedOut = true;
        TerminateJobObject(job.value, 1);
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    run.seconds = static_cast<double>(GetTickCount64() - start) / 1000;
    sink.close();
    run.output = machine::readFile(output);
    if (outputFile.empty()) {
        DeleteFileW(output.c_str());
    }
    return run;
}

DWORD scaledSeconds(DWORD seconds) {
    wchar_t scale[16] = {};
    const DWORD length = GetEnvironmentVariableW(L"INSTALLHOOKS_TIMEOUT_SCALE", scale, 16);
    const unsigned long factor = length > 0 && length < 16 ? std::wcstoul(scale, nullptr, 10) : 1;
    return seconds * static_cast<DWORD>(factor > 0 ? factor : 1);
}

}  // namespace testing_support
