#include "common/compose.h"

#include <stdexcept>

namespace installhooks {
namespace {

bool isPart(const wchar_t* f) { return f[0] == L'%' && f[1] == L's'; }

}  // namespace

std::wstring composePath(const wchar_t* format, std::initializer_list<const wchar_t*> parts) {
    std::size_t slots = 0;
    std::size_t length = 0;
    for (const wchar_t* f = format; *f != L'\0'; ++f) {
        if (isPart(f)) {
            ++slots;
            ++f;
        } else {
            ++length;
        }
    }
    // A format and its parts that do not match are a mistake in the caller,
    // never a path to act on: nothing is composed from them.
    if (slots != parts.size()) {
        throw std::invalid_argument("composePath: the parts do not match the format");
    }
    for (const wchar_t* part : parts) {
        if (part == nullptr) {
            throw std::invalid_argument("composePath: a null part");
        }
        length += std::wcslen(part);
    }

    std::wstring result;
    result.reserve(length);
    const wchar_t* const* next = parts.begin();
    for (const wchar_t* f = format; *f != L'\0'; ++f) {
        if (isPart(f)) {
            result.append(*next++);
            ++f;
        } else {
            result.push_back(*f);
        }
    }
    return result;
}

}  // namespace installhooks
