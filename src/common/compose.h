#pragma once

#include <windows.h>

#include <initializer_list>

namespace installhooks {

// A wide string on the process heap, owned: freed exactly once, on every
// path out of the owning scope. An empty owner holds no string, which is how
// a string that could not be made says so.
class HeapString {
public:
    HeapString() = default;
    explicit HeapString(wchar_t* text) : text_(text) {}
    ~HeapString() { reset(); }

    HeapString(const HeapString&) = delete;
    HeapString& operator=(const HeapString&) = delete;
    HeapString(HeapString&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
    HeapString& operator=(HeapString&&) = delete;

    const wchar_t* get() const { return text_; }
    bool empty() const { return text_ == nullptr; }

    void reset() {
        if (text_ != nullptr) {
            HeapFree(GetProcessHeap(), 0, text_);
            text_ = nullptr;
        }
    }

private:
    wchar_t* text_ = nullptr;
};

// Builds a path from a format in which each "%s" takes the next part, as a
// wide printf would, and every other character stands for itself. The result
// may be of any length. An empty result says that nothing was composed: the
// process heap had no room for it, or the format's "%s" count differs from
// the number of parts, or a part is null (a mistake in the caller, never a
// path to act on). The caller then leaves at once, its owners releasing what
// it holds.
HeapString composePath(const wchar_t* format, std::initializer_list<const wchar_t*> parts);

}  // namespace installhooks
