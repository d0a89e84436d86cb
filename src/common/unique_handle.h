#pragma once

#include <windows.h>

namespace installhooks {

// Owns one handle of a kind described by Traits (its null value and how it is
// closed) and closes it exactly once, on every path out of the owning scope.
template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&&) = delete;
    UniqueHandle& operator=(UniqueHandle&&) = delete;

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Traits::invalid(); }

    // For out-parameters: closes what is held, so a fresh handle is never
    // written over an owned one.
    Handle* put() {
        reset();
        return &handle_;
    }

    void reset(Handle handle = Traits::invalid()) {
        if (handle_ != Traits::invalid()) {
            Traits::close(handle_);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::invalid();
};

struct RegKeyTraits {
    using Handle = HKEY;
    static Handle invalid() { return nullptr; }
    static void close(Handle key) { RegCloseKey(key); }
};

struct FindTraits {
    using Handle = HANDLE;
    static Handle invalid() { return INVALID_HANDLE_VALUE; }
    static void close(Handle find) { FindClose(find); }
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() { return nullptr; }
    static void close(Handle handle) { CloseHandle(handle); }
};

using UniqueHKey = UniqueHandle<RegKeyTraits>;
using UniqueFindHandle = UniqueHandle<FindTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

}  // namespace installhooks
