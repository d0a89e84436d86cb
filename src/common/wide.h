#pragma once

#include <windows.h>

// The few wide-string routines the operations need, as code of our own: the
// DLL links no C runtime. Comparisons are exact, code unit by code unit.
namespace installhooks {

inline SIZE_T wideLength(const wchar_t* text) {
    SIZE_T length = 0;
    while (text[length] != L'\0') {
        ++length;
    }
    return length;
}

// The length of `text`, counted up to at most `limit` units.
inline SIZE_T wideLengthUpTo(const wchar_t* text, SIZE_T limit) {
    SIZE_T length = 0;
    while (length < limit && text[length] != L'\0') {
        ++length;
    }
    return length;
}

inline bool wideEqual(const wchar_t* a, const wchar_t* b) {
    while (*a != L'\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Whether `text` holds `fragment` anywhere (case-sensitive).
inline bool wideContains(const wchar_t* text, const wchar_t* fragment) {
    for (; *text != L'\0'; ++text) {
        SIZE_T i = 0;
        while (fragment[i] != L'\0' && text[i] == fragment[i]) {
            ++i;
        }
        if (fragment[i] == L'\0') {
            return true;
        }
    }
    return fragment[0] == L'\0';
}

// The last occurrence of `unit` in `text`, or null.
inline wchar_t* wideFindLast(wchar_t* text, wchar_t unit) {
    wchar_t* last = nullptr;
    for (; *text != L'\0'; ++text) {
        if (*text == unit) {
            last = text;
        }
    }
    return last;
}

}  // namespace installhooks
