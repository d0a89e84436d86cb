#pragma once

#include <cwctype>
#include <string>

namespace testing_support {

// Registry paths compare without regard to case.
inline bool endsWithNoCase(const std::wstring& text, const std::wstring& suffix) {
    if (suffix.empty() || suffix.size() > text.size()) {
        return false;
    }
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::towlower(text[text.size() - suffix.size() + i]) != std::towlower(suffix[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace testing_support
