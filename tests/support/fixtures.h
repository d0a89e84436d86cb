#pragma once

// Fixtures shared by the test programs: a machine whose product keys are
// cleared before and after every test, and the shipped DLL loaded by path.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "machine/machine.h"

namespace testing_support {

// Clears everything the product owns under HKLM\Software (both views) before
// and after each test, so every test starts from a machine without the
// product and leaves none behind.
class ProductKeysTest : public ::testing::Test {
protected:
    void SetUp() override { clearProductKeys(); }
    void TearDown() override { clearProductKeys(); }

    static void clearProductKeys();
};

// installhooks.dll, next to the test program (or the file that the
// environment variable INSTALLHOOKS_DLL names), loaded for the lifetime of
// the object.
class HookLibrary {
public:
    HookLibrary();
    ~HookLibrary();
    HookLibrary(const HookLibrary&) = delete;
    HookLibrary& operator=(const HookLibrary&) = delete;

    HMODULE module() const { return module_; }
    void* hook(const char* name) const;
    // Calls a hook as an installer would, with `argumentCount` zero
    // arguments; fails the test when it does not remove them.
    int call(const char* name) const;

    static std::wstring path();

private:
    HMODULE module_ = nullptr;
};

}  // namespace testing_support
