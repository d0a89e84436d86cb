#pragma once

#include <cstddef>
#include <cwchar>
#include <initializer_list>
#include <string>

namespace installhooks {

// Builds a path from a format in which each "%s" takes the next part, as a
// wide printf would, and every other character stands for itself. The result
// may be of any length; the only failure is running out of memory, which
// throws std::bad_alloc and so leaves the calling operation at once, with its
// handles released by their owners. A format whose "%s" count differs from
// the number of parts, or a null part, throws std::invalid_argument: a
// mistake in the caller ends the operation instead of composing a wrong path.
std::wstring composePath(const wchar_t* format, std::initializer_list<const wchar_t*> parts);

}  // namespace installhooks
