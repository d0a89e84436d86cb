#pragma once

// The import-table patching of tools/trace, under the names the tests use.

#include "trace/iat_patch.h"

namespace testing_support {

using trace::IatPatch;
using trace::ImportEntry;
using trace::listImports;

// The module whose code is under test when the operations are linked into
// the test program itself.
inline HMODULE testProgram() { return GetModuleHandleW(nullptr); }

}  // namespace testing_support
