#include "support/platform.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testing_support {
namespace {

struct Answer {
    Platform platform;
    bool twoViews;
    const char* how;
};

Answer ask() {
    const auto wineVersion = reinterpret_cast<const char*(CDECL*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    const Answer found{wineVersion != nullptr ? Platform::Wine : Platform::Windows, wow64 != FALSE, "detected"};
    const char* forced = std::getenv("INSTALLHOOKS_TEST_PLATFORM");
    if (forced == nullptr || forced[0] == '\0') {
        return found;
    }
    if (std::strcmp(forced, "windows") == 0) {
        return {Platform::Windows, true, "forced by INSTALLHOOKS_TEST_PLATFORM"};
    }
    if (std::strcmp(forced, "windows-32bit") == 0) {
        return {Platform::Windows, false, "forced by INSTALLHOOKS_TEST_PLATFORM"};
    }
    if (std::strcmp(forced, "wine") == 0) {
        return {Platform::Wine, true, "forced by INSTALLHOOKS_TEST_PLATFORM"};
    }
    std::fprintf(stderr, "INSTALLHOOKS_TEST_PLATFORM=%s: expected windows, windows-32bit or wine\n", forced);
    std::fflush(stderr);
    std::_Exit(2);
}

const Answer& answer() {
    static const Answer once = [] {
        const Answer given = ask();
        std::printf("[ platform ] %s, %s (%s)\n", given.platform == Platform::Wine ? "Wine" : "Windows",
                    given.twoViews ? "two registry views" : "one registry view", given.how);
        std::fflush(stdout);
        return given;
    }();
    return once;
}

}  // namespace

Platform platform() { return answer().platform; }

bool twoRegistryViews() { return answer().twoViews; }

}  // namespace testing_support
