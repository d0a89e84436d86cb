#pragma once

// Replaces one entry of a module's import address table for the lifetime of
// the object, so a test or a host can make a chosen Windows call fail, or
// watch it, without any seam in the product. Calls the module makes through
// GetProcAddress, and calls made inside other DLLs, do not pass through it.

#include <windows.h>

#include <string>
#include <vector>

namespace trace {

class IatPatch {
public:
    // `dll` is matched without regard to case ("advapi32.dll"). When the
    // module does not import that function nothing is patched and applied()
    // is false: a test that relies on the patch asserts it.
    IatPatch(HMODULE module, const char* dll, const char* function, const void* replacement);
    ~IatPatch();

    IatPatch(const IatPatch&) = delete;
    IatPatch& operator=(const IatPatch&) = delete;

    bool applied() const { return slot_ != nullptr; }
    // The function the slot held before: what a wrapper calls through.
    void* original() const { return original_; }

    template <typename Fn>
    Fn originalAs() const {
        return reinterpret_cast<Fn>(original_);
    }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

struct ImportEntry {
    std::string dll;
    std::string function;
    void** slot;
};

// Every by-name import of a module, in import-table order.
std::vector<ImportEntry> listImports(HMODULE module);

}  // namespace trace
