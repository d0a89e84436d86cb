#pragma once

// How much stack a piece of work takes, and whether it fits in a given
// budget: the work runs on a thread of its own after everything but the
// budget has been used up (Wine gives every thread at least 1 MB, whatever
// CreateThread asks for), with the stack below it painted, and the deepest
// byte that no longer holds the paint tells how far down it went.

#include <cstddef>
#include <functional>

namespace testing_support {

struct StackUse {
    bool ran = false;
    // Bytes between the frame that called the work and the deepest byte it
    // touched; up to a kilobyte of the work's own first frames is not seen.
    std::size_t deepest = 0;
};

// Runs `work` with no more than `budget` bytes of stack left below the frame
// that calls it, and waits for it. Work that needs more dies of the overflow,
// and the process with it.
StackUse runWithStackLeft(std::size_t budget, const std::function<void()>& work);

}  // namespace testing_support
