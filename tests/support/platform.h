#pragma once

// The platform a test program runs on, asked at run time, for the tests that
// meet a place where Windows and Wine differ. Where they differ, Windows
// decides what is right: such a test states Windows' behaviour as its
// expectation ("Windows: ..." in its message) and Wine's as a divergence
// ("Wine divergence: ..."), as Wine's own conformance tests do; a case that
// exists on one platform only says so when it skips.
//
// Wine is known by ntdll's export "wine_get_version", which only Wine has.
// INSTALLHOOKS_TEST_PLATFORM forces the answer: "windows" (64-bit Windows),
// "windows-32bit" (32-bit Windows, one registry view) or "wine", so that a
// test's Windows branch can be shown to fail on Wine's behaviour. Any other
// value stops the program at its first question.

namespace testing_support {

enum class Platform { Windows, Wine };

Platform platform();
inline bool onWine() { return platform() == Platform::Wine; }

// Whether the registry has two views for this (32-bit) process: under WOW64
// on 64-bit Windows, x64 or Arm64, and in a 64-bit Wine prefix. On 32-bit
// Windows there is one, and KEY_WOW64_64KEY and KEY_WOW64_32KEY both name it.
bool twoRegistryViews();

}  // namespace testing_support
