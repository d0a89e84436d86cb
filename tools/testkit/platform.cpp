#include "testkit/platform.h"

#include <windows.h>

#include "testkit/reports.h"

namespace testkit {
namespace {

template <typename Function>
Function entry(const wchar_t* module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name)));
}

std::string machineName(USHORT machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_I386:
            return "x86";
        case IMAGE_FILE_MACHINE_AMD64:
            return "x64";
        case 0xAA64:  // IMAGE_FILE_MACHINE_ARM64
            return "Arm64";
        default:
            return "machine type " + hex(machine);
    }
}

}  // namespace

Platform platform() {
    Platform p;
    // GetVersionEx answers what the program's manifest allows; the kernel's
    // own answer is the real version.
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (auto get = entry<LONG(WINAPI*)(OSVERSIONINFOEXW*)>(L"ntdll.dll", "RtlGetVersion"); get && get(&version) == 0) {
        p.major = version.dwMajorVersion;
        p.minor = version.dwMinorVersion;
        p.build = version.dwBuildNumber;
        p.edition = version.wProductType == VER_NT_WORKSTATION         ? "workstation"
                    : version.wProductType == VER_NT_DOMAIN_CONTROLLER ? "domain controller"
                                                                       : "server";
    }
    // IsWow64Process2 (Windows 10 1511 and later) names the host's processor,
    // Arm64 included; before it, a WOW64 process means an x64 host.
    USHORT processMachine = 0;
    USHORT hostMachine = 0;
    if (auto wow64 = entry<BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*)>(L"kernel32.dll", "IsWow64Process2");
        wow64 && wow64(GetCurrentProcess(), &processMachine, &hostMachine)) {
        p.host = machineName(hostMachine);
        p.process = processMachine == IMAGE_FILE_MACHINE_UNKNOWN ? "native" : "WOW64";
    } else {
        BOOL underWow64 = FALSE;
        IsWow64Process(GetCurrentProcess(), &underWow64);
        p.host = underWow64 ? "x64" : "x86";
        p.process = underWow64 ? "WOW64" : "native";
    }
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        p.elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                     elevation.TokenIsElevated != 0;
        CloseHandle(token);
    }
    // Only Wine's ntdll exports these.
    if (auto wine = entry<const char*(CDECL*)()>(L"ntdll.dll", "wine_get_version")) {
        p.wine = wine();
        if (auto host = entry<void(CDECL*)(const char**, const char**)>(L"ntdll.dll", "wine_get_host_version")) {
            const char* system = nullptr;
            const char* release = nullptr;
            host(&system, &release);
            p.wineHost = std::string(system ? system : "?") + " " + (release ? release : "?");
        }
    }
    return p;
}

std::string Platform::line() const {
    const std::string windows = "Windows " + std::to_string(major) + "." + std::to_string(minor) + "." +
                                std::to_string(build) + " (" + edition + ")";
    return (wine.empty() ? windows : "Wine " + wine + " on " + wineHost + ", reporting " + windows) + ", " + host +
           " host, this x86 process " + (process == "native" ? "native" : "under " + process) + ", " +
           (elevated ? "elevated" : "NOT elevated");
}

std::string Platform::json() const {
    return "{\"windows\": " + jsonString(std::to_string(major) + "." + std::to_string(minor)) +
           ", \"build\": " + std::to_string(build) + ", \"edition\": " + jsonString(edition) +
           ", \"host\": " + jsonString(host) + ", \"process\": " + jsonString(process) +
           ", \"elevated\": " + (elevated ? "true" : "false") +
           ", \"wine\": " + (wine.empty() ? "null" : jsonString(wine)) + "}";
}

}  // namespace testkit
