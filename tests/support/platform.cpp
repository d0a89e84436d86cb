#include "support/platform.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace testing_support {
namespace {

struct Answer {
    Platform platform;
    bool twoViews;
    const char* how;
    std::string ntdll;  // whose ntdll the process has
};

Answer ask() {
    using WineGetVersion = const char*(CDECL*)();
    const auto wineVersion = reinterpret_cast<WineGetVersion>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    const std::string ntdll = wineVersion != nullptr ? std::string("Wine ") + wineVersion() : "Windows";
    const char* forced = std::getenv("INSTALLHOOKS_TEST_PLATFORM");
    if (forced == nullptr || forced[0] == '\0') {
        return {wineVersion != nullptr ? Platform::Wine : Platform::Windows, wow64 != FALSE, "detected", ntdll};
    }
    const char* how = "forced by INSTALLHOOKS_TEST_PLATFORM";
    if (std::strcmp(forced, "windows") == 0) {
        return {Platform::Windows, true, how, ntdll};
    }
    if (std::strcmp(forced, "windows-32bit") == 0) {
        return {Platform::Windows, false, how, ntdll};
    }
    if (std::strcmp(forced, "wine") == 0) {
        return {Platform::Wine, true, how, ntdll};
    }
    std::fprintf(stderr, "INSTALLHOOKS_TEST_PLATFORM=%s: expected windows, windows-32bit or wine\n", forced);
    std::fflush(stderr);
    std::_Exit(2);
}

const Answer& answer() {
    static const Answer once = [] {
        const Answer given = ask();
        std::printf("[ platform ] %s, %s (%s; ntdll of %s)\n", given.platform == Platform::Wine ? "Wine" : "Windows",
                    given.twoViews ? "two registry views" : "one registry view", given.how, given.ntdll.c_str());
        std::fflush(stdout);
        return given;
    }();
    return once;
}

// Asked as the program starts, so that a value the switch does not know
// stops it before any test has changed the machine.
[[maybe_unused]] const Answer& g_atStart = answer();

}  // namespace

Platform platform() { return answer().platform; }

bool twoRegistryViews() { return answer().twoViews; }

}  // namespace testing_support
