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
    // stays deleted). Every key of the subtree is opened as itself and
    // deleted through the handle it was opened with, never by name again: a
    // registry link in the subtree, or as `name` itself, goes as the link,
    // and a key swapped for a link while the walk runs is not followed. Each
    // key is emptied of at most as many subkeys as it had when the walk
    // opened it; one that gained more meanwhile is refused its deletion.
    // Walks without recursion, in the same few kilobytes of stack at any
    // depth, down to the registry's 512 levels (ERROR_FILENAME_EXCED_RANGE
    // for a deeper tree); allocates nothing on the heap. Same refusals as
    // deleteChildKey.
    LONG deleteKeyTree(const wchar_t* name);

    // Deletes the held key itself through its handle; the platform refuses a
    // key that has subkeys. The object still holds the handle, which is to be
    // closed. ERROR_INVALID_HANDLE on an empty object.
    LONG deleteKey();

    // The number of subkeys the held key has now, into `count` (left as it
    // was on failure). Opened as itself, a registry link has none.
    // ERROR_INVALID_HANDLE on an empty object.
    LONG countSubkeys(DWORD& count) const;

    HKEY handle() const { return handle_; }
    REGSAM view() const { return view_; }

private:
    HKEY handle_ = nullptr;
    REGSAM view_ = 0;
};

}  // namespace installhooks
