#pragma once

// The product allocates from the process heap only, through its import
// table (kernel32 HeapAlloc). For as long as the object lives, it counts
// every such allocation that the module makes, and fails one chosen
// allocation the way the heap fails, with NULL; the others are made. One
// object at a time.

#include <windows.h>

#include "support/iat_patch.h"

namespace testing_support {

class HeapAllocFailure {
public:
    // Fails the `nth` allocation made after construction (1: the first);
    // 0 fails none and only counts.
    HeapAllocFailure(HMODULE module, int nth);
    ~HeapAllocFailure();

    HeapAllocFailure(const HeapAllocFailure&) = delete;
    HeapAllocFailure& operator=(const HeapAllocFailure&) = delete;

    // Fails the next allocation instead, for a test that arms the failure
    // from a call the code makes just before the allocation it targets.
    void failNext();

    bool applied() const { return patch_.applied(); }
    // Allocations seen, the failed one included.
    int allocations() const;
    // Whether the chosen allocation was reached and failed.
    bool failed() const;

private:
    IatPatch patch_;
};

}  // namespace testing_support
