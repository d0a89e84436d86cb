#pragma once

// What the kit carries, each an RCDATA resource of its own; the build lists
// them (cmake/testkit.cmake) and generates the table kPayload of
// testkit_payload.h.

namespace testkit {

enum class Kind { kFile, kProgram, kBench };

struct PayloadEntry {
    const wchar_t* name;  // the file's name in the folder the kit extracts to
    int resource;
    Kind kind;
    int seconds;  // a program's time limit
};

}  // namespace testkit
