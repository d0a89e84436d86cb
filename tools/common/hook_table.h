#pragma once

// The hooks of installhooks.dll as an installer sees them: exported name and
// the number of pointer-sized arguments each one takes (and pops).
struct HookSignature {
    const char* name;
    unsigned argumentCount;
};

inline constexpr HookSignature kHooks[] = {
    {"DllPostInstall", 4},
    {"DllCreateTasks", 4},
    {"DllPreUnInstall", 4},
    {"DllZudaUnInstall", 1},
};
