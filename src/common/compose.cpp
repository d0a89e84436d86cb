#include "common/compose.h"

namespace installhooks {

std::wstring composePath(const wchar_t* format, std::initializer_list<const wchar_t*> parts) {
    const wchar_t* const* next = parts.begin();
    std::size_t length = 0;
    for (const wchar_t* f = format; *f != L'\0'; ++f) {
        if (f[0] == L'%' && f[1] == L's') {
            const wchar_t* part = next != parts.end() ? *next++ : nullptr;
            length += part != nullptr ? std::wcslen(part) : 0;
            ++f;
        } else {
            ++length;
        }
    }

    std::wstring result;
    result.reserve(length);
    next = parts.begin();
    for (const wchar_t* f = format; *f != L'\0'; ++f) {
        if (f[0] == L'%' && f[1] == L's') {
            const wchar_t* part = next != parts.end() ? *next++ : nullptr;
            if (part != nullptr) {
                result.append(part);
            }
            ++f;
        } else {
            result.push_back(*f);
        }
    }
    return result;
}

}  // namespace installhooks
