#pragma once

#include <windows.h>

namespace installhooks {

// An owned handle to one open registry key that remembers the 32/64-bit view
// bits of the mask it was opened with, and deletes children of its key in
// that same view. Every operation returns the platform's status code
// unchanged (ERROR_SUCCESS is 0); none throws.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey();

    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    RegistryKey(RegistryKey&&) = delete;
    RegistryKey& operator=(RegistryKey&&) = delete;

    // Opens `name` below `parent` and, on success only, makes it the held key;
    // on error the object is unchanged. `parent` may be this object's own
    // handle: the old key is closed only after the new one is open. Returns
    // the status of that close when the open succeeded. With `options`
    // REG_OPTION_OPEN_LINK a registry link is opened as itself, never its
    // target.
    LONG openKey(HKEY parent, const wchar_t* name, REGSAM access, DWORD options = 0);

    // Closes the held key, if any, and empties the object (also when the
    // close fails). Returns 0 when nothing was held.
    LONG closeKey();

    // Deletes the child `name`, which must have no subkeys, in the held key's
    // view. ERROR_INVALID_HANDLE on an empty object, ERROR_INVALID_PARAMETER
    // for a null or empty name (which would name the held key itself).
    LONG deleteChildKey(const wchar_t* name);

    // Deletes the child `name` with all its descendants, deepest first, in the
    // held key's view, and stops at the first error (what was deleted before
    // stays deleted). Registry links inside the subtree, or as `name` itself,
    // are removed as links: their targets are never touched. Allocates
    // nothing on the heap. Same refusals as deleteChildKey.
    LONG deleteKeyTree(const wchar_t* name);

    // Whether the held key is a registry link; meaningful only for a key
    // opened as itself (REG_OPTION_OPEN_LINK).
    bool isLink() const;

    HKEY handle() const { return handle_; }
    REGSAM view() const { return view_; }

private:
    LONG deleteLinkKey(const wchar_t* name);

    HKEY handle_ = nullptr;
    REGSAM view_ = 0;
};

}  // namespace installhooks
