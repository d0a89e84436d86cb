#include "testkit/runner.h"

#include <msi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>

#include "machine/hives.h"
#include "machine/machine.h"

namespace testkit {
namespace {

// The job of the program that runs, for the console's interrupt.
HANDLE volatile g_job = nullptr;
LONG volatile g_interrupted = 0;

BOOL WINAPI onInterrupt(DWORD) {
    InterlockedExchange(&g_interrupted, 1);
    if (HANDLE job = g_job) {
        TerminateJobObject(job, ERROR_CANCELLED);
    }
    return TRUE;  // the kit goes on to its reports and its clean-up
}

struct Handle {
    HANDLE h = nullptr;
    ~Handle() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
};

// Ends every process in the job and waits until none is left, so that the
// files they ran from can be deleted.
void endJob(HANDLE job) {
    TerminateJobObject(job, ERROR_CANCELLED);
    for (int i = 0; i < 100; ++i) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr) ||
            info.ActiveProcesses == 0) {
            return;
        }
        Sleep(50);
    }
}

// The places where the tests keep what they make, each a parent and a
// pattern for the names below it (PathMatchSpec). Registry places start
// with their root and view; folders may start with an environment variable,
// <profiles> (the folder that holds the users' profile folders) or <sendto>.
// MSI\{product code} is a Windows Installer product, removed with its
// package's removal. Hives below HKU come before folders, since a folder
// cannot go while a hive file in it is mounted.
const wchar_t* const kPlaces[] = {
    // The sample package of the end-to-end tests (examples/msi).
    L"MSI\\{B3A90066-11D2-49CE-A6AA-EBF0311D9C7D}",
    L"HKU\\Korvan*",
    L"HKU\\S-1-5-21-1111-2222-3333-*",
    L"HKLM64\\SOFTWARE\\Korvan",
    L"HKLM32\\SOFTWARE\\Korvan",
    L"HKLM64\\SOFTWARE\\Classes\\CLSID\\{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c84?}",
    L"HKLM32\\SOFTWARE\\Classes\\CLSID\\{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c84?}",
    L"HKLM64\\SOFTWARE\\Classes\\CLSID\\{645FF040-5081-101B-9F08-00AA002F954E}\\shellex\\ContextMenuHandlers\\"
    L"{A7C2D915-3B6E-4d2a-9F47-1E8B0C5D3A6?}",
    L"HKLM32\\SOFTWARE\\Classes\\CLSID\\{645FF040-5081-101B-9F08-00AA002F954E}\\shellex\\ContextMenuHandlers\\"
    L"{A7C2D915-3B6E-4d2a-9F47-1E8B0C5D3A6?}",
    L"HKCU\\Software\\Korvan",
    L"HKCU\\Software\\InstallHooksBench",
    L"%ProgramFiles%\\Korvan*",
    L"%ProgramData%\\Korvan*",
    L"%SystemDrive%\\Korvan*",
    L"<profiles>\\Korvan*",
    L"<profiles>\\Alice",
    L"<profiles>\\Bob",
    L"<profiles>\\benchuser*",
    L"<sendto>\\Korvan Eraser*",
};

// Windows Installer, loaded when the clean-up first looks for a product and
// not before: a refusal loads nothing it does not need (under Wine,
// msi.dll's load sets up the display).
struct WindowsInstaller {
    HMODULE module = LoadLibraryW(L"msi.dll");
    decltype(&MsiQueryProductStateW) productState = function<decltype(&MsiQueryProductStateW)>("MsiQueryProductStateW");
    decltype(&MsiSetInternalUI) setUi = function<decltype(&MsiSetInternalUI)>("MsiSetInternalUI");
    decltype(&MsiConfigureProductExW) configure = function<decltype(&MsiConfigureProductExW)>("MsiConfigureProductExW");

    template <typename Function>
    Function function(const char* name) const {
        return module != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                                 : nullptr;
    }
    bool installed(const std::wstring& product) const {
        return productState != nullptr && productState(product.c_str()) == INSTALLSTATE_DEFAULT;
    }
    // The sample's removal hook that can fail is not the one asked for.
    bool remove(const std::wstring& product) const {
        return setUi != nullptr && configure != nullptr && setUi(INSTALLUILEVEL_NONE, nullptr) >= 0 &&
               configure(product.c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, L"REMOVALHOOK=DllPreUnInstall") ==
                   ERROR_SUCCESS;
    }
};

const WindowsInstaller& windowsInstaller() {
    static const WindowsInstaller msi;
    return msi;
}

struct RegistryRoot {
    const wchar_t* prefix;
    HKEY key;
    REGSAM view;
};
const RegistryRoot kRoots[] = {{L"HKU\\", HKEY_USERS, 0},
                               {L"HKLM64\\", HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY},
                               {L"HKLM32\\", HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
                               {L"HKCU\\", HKEY_CURRENT_USER, 0}};

const RegistryRoot* rootOf(const std::wstring& place) {
    for (const RegistryRoot& root : kRoots) {
        if (place.rfind(root.prefix, 0) == 0) {
            return &root;
        }
    }
    return nullptr;
}

std::wstring folderPlace(std::wstring place) {
    const std::wstring profile = machine::shellFolder(CSIDL_PROFILE);
    for (const auto& [tag, folder] : {std::pair{L"<profiles>", profile.substr(0, profile.rfind(L'\\'))},
                                      std::pair{L"<sendto>", machine::shellFolder(CSIDL_SENDTO)}}) {
        if (place.rfind(tag, 0) == 0) {
            place = folder + place.substr(wcslen(tag));
        }
    }
    wchar_t expanded[MAX_PATH];
    const DWORD length = ExpandEnvironmentStringsW(place.c_str(), expanded, MAX_PATH);
    return length > 0 && length <= MAX_PATH ? expanded : L"";
}

}  // namespace

bool extract(int id, const std::wstring& path) {
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = resource != nullptr ? LoadResource(nullptr, resource) : nullptr;
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) {
        return false;
    }
    Handle file{CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)};
    DWORD written = 0;
    const DWORD size = SizeofResource(nullptr, resource);
    return file.h != INVALID_HANDLE_VALUE && WriteFile(file.h, data, size, &written, nullptr) && written == size;
}

ChildRun runChild(const std::wstring& program, const std::wstring& arguments, const std::wstring& folder,
                  const std::wstring& log, double limit) {
    static const BOOL handlerSet = SetConsoleCtrlHandler(&onInterrupt, TRUE);
    (void)handlerSet;
    ChildRun run;
    if (interrupted()) {
        return run;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle output{CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)};
    Handle input{
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr)};
    Handle job{CreateJobObjectW(nullptr, nullptr)};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (output.h == INVALID_HANDLE_VALUE || job.h == nullptr ||
        !SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        return run;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.h;
    startup.hStdOutput = output.h;
    startup.hStdError = output.h;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + program + L"\" " + arguments;
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        folder.c_str(), &startup, &process)) {
        return run;
    }
    Handle processHandle{process.hProcess};
    Handle thread{process.hThread};
    // Where jobs do not nest (before Windows 8) and the kit runs in one, the
    // program alone is timed and killed.
    const bool inJob = AssignProcessToJobObject(job.h, process.hProcess) != FALSE;
    run.started = true;
    g_job = inJob ? job.h : nullptr;
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    ResumeThread(process.hThread);
    run.timedOut = WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit * 1000)) == WAIT_TIMEOUT;
    if (inJob) {
        endJob(job.h);
    } else if (run.timedOut) {
        TerminateProcess(process.hProcess, ERROR_CANCELLED);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    g_job = nullptr;
    QueryPerformanceCounter(&end);
    run.seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    return run;
}

bool interrupted() { return g_interrupted != 0; }

Leftovers::Leftovers() : before_(matches()) {}

std::vector<std::wstring> Leftovers::matches() const {
    std::vector<std::wstring> found;
    for (const std::wstring place : kPlaces) {
        const std::size_t split = place.rfind(L'\\');
        const std::wstring pattern = place.substr(split + 1);
        if (place.rfind(L"MSI\\", 0) == 0) {
            if (windowsInstaller().installed(pattern)) {
                found.push_back(place);
            }
            continue;
        }
        if (const RegistryRoot* root = rootOf(place)) {
            const std::size_t from = wcslen(root->prefix);
            const std::wstring parent = split >= from ? place.substr(from, split - from) : L"";
            for (const std::wstring& name : machine::subkeyNames(root->key, parent, root->view)) {
                if (PathMatchSpecW(name.c_str(), pattern.c_str())) {
                    found.push_back(place.substr(0, split + 1) + name);
                }
            }
            continue;
        }
        const std::wstring folder = folderPlace(place.substr(0, split));
        WIN32_FIND_DATAW entry;
        HANDLE search =
            folder.empty() ? INVALID_HANDLE_VALUE : FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) {
                    found.push_back(folder + L"\\" + entry.cFileName);
                }
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
    }
    return found;
}

std::vector<std::string> Leftovers::remove() const {
    std::vector<std::string> removed;
    for (const std::wstring& item : matches()) {
        if (std::find(before_.begin(), before_.end(), item) != before_.end()) {
            continue;
        }
        bool gone = false;
        if (item.rfind(L"MSI\\", 0) == 0) {
            gone = windowsInstaller().remove(item.substr(4));
        } else if (const RegistryRoot* root = rootOf(item)) {
            const std::wstring path = item.substr(wcslen(root->prefix));
            gone =
                root->key == HKEY_USERS ? machine::unloadHive(path) : machine::deleteTree(root->key, path, root->view);
        } else if (GetFileAttributesW(item.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            // Through \\?\, so that names beyond MAX_PATH inside go too.
            gone = machine::removeDirectoryTree(L"\\\\?\\" + item);
        } else {
            SetFileAttributesW(item.c_str(), FILE_ATTRIBUTE_NORMAL);
            gone = DeleteFileW(item.c_str()) != FALSE;
        }
        removed.push_back(machine::narrow(item) + (gone ? "" : " (could not be removed)"));
    }
    return removed;
}

}  // namespace testkit
