#include "common/compose.h"

#include "common/wide.h"

namespace installhooks {
namespace {

bool isPart(const wchar_t* f) { return f[0] == L'%' && f[1] == L's'; }

}  // namespace

HeapString composePath(const wchar_t* format, std::initializer_list<const wchar_t*> parts) {
    SIZE_T slots = 0;
    SIZE_T length = 0;
    for (const wchar_t* f = format; *f != L'\0'; ++f) {
        if (isPart(f)) {
            ++slots;
            ++f;
        } else {
            ++length;
        }
    }
    if (slots != parts.size()) {
        return {};
    }
    for (const wchar_t* part : parts) {
        if (part == nullptr) {
            return {};
        }
        const SIZE_T partLength = wideLength(part);
        // A length that would wrap the byte count cannot be allocated.
        if (partLength > (static_cast<SIZE_T>(-1) / sizeof(wchar_t)) - 1 - length) {
            return {};
        }
        length += partLength;
    }

    auto* text = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t)));
    if (text == nullptr) {
        return {};
    }
    wchar_t* out = text;
    const wchar_t* const* next = parts.begin();
    for (const wchar_t* f = format; *f != L'\0'; ++f) {
        if (isPart(f)) {
            for (const wchar_t* p = *next++; *p != L'\0'; ++p) {
                *out++ = *p;
            }
            ++f;
        } else {
            *out++ = *f;
        }
    }
    *out = L'\0';
    return HeapString(text);
}

}  // namespace installhooks
