#pragma once

// What the kit runs on, as it says at the top of its output and in its
// summary: the Windows version and build, the host's processor, whether the
// process is elevated, and whether it is Wine.

#include <string>

namespace testkit {

struct Platform {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    std::string edition;  // "workstation", "server", "domain controller"
    std::string host;     // the machine's own processor: "x86", "x64", "Arm64"
    std::string process;  // how this 32-bit process runs: "native" or "WOW64"
    bool elevated = false;
    std::string wine;  // Wine's version, or empty on Windows
    std::string wineHost;

    std::string line() const;
    std::string json() const;
};

Platform platform();

}  // namespace testkit
