#pragma once

// The subtrees that the deletion benchmark builds and deletes.

#include <windows.h>

#include <string>

namespace bench {

// All benchmark keys live below this volatile key of HKEY_CURRENT_USER:
// wineserver never writes volatile keys to user.reg, so its periodic save of
// the registry file cannot land inside a timing, and a run that dies leaves
// nothing behind once the wineserver exits.
extern const wchar_t* const kBenchRoot;

enum class Shape {
    Wide,    // the root and all other keys directly below it
    Bushy,   // every key has 10 children (breadth first), as deep as it gets
    Deep,    // chains 100 keys deep hanging from the root
    Values,  // Bushy, and every key carries 3 values (string, number, binary)
};

const char* shapeName(Shape shape);
const char* shapeDescription(Shape shape);

// Builds a subtree of exactly `keys` keys (its root included) named `name`
// below `parent`; every key is volatile. False when a call failed.
bool buildTree(HKEY parent, const wchar_t* name, Shape shape, DWORD keys);

// Number of keys of a subtree, its root included; 0 when it is absent.
DWORD countKeys(HKEY parent, const wchar_t* name);

}  // namespace bench
