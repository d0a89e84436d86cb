#pragma once

// Registry links as the owner of a hive makes them: a link key whose
// "SymbolicLinkValue" names its target, removed as the link itself (never
// through it) so that its target is never touched and no link is left in a
// hive file.

#include <windows.h>

#include <string>

namespace testing_support {

// The kernel's absolute name of a key ("\REGISTRY\USER\S-1-...\Software\..."),
// the form a link's target takes; empty when the key cannot be opened.
std::wstring absoluteName(HKEY root, const std::wstring& path, REGSAM view = 0);

// Makes root\path a link to `target` (an absolute name); false when either
// step fails. With an empty `target` the link is made without one, as its
// owner may leave it until setLinkTarget.
bool createLink(HKEY root, const std::wstring& path, const std::wstring& target);
// Sets the target of the link root\path, opened as itself.
bool setLinkTarget(HKEY root, const std::wstring& path, const std::wstring& target);
// Whether root\path is a link key itself (not its target).
bool linkExists(HKEY root, const std::wstring& path);
// Deletes the link key root\path itself; its target stays.
void removeLink(HKEY root, const std::wstring& path);

// A link at root\path for the lifetime of the object.
class RegistryLink {
public:
    RegistryLink(HKEY root, std::wstring path, const std::wstring& target)
        : root_(root), path_(std::move(path)), made_(createLink(root_, path_, target)) {}
    ~RegistryLink() { removeLink(root_, path_); }
    RegistryLink(const RegistryLink&) = delete;
    RegistryLink& operator=(const RegistryLink&) = delete;

    bool made() const { return made_; }
    bool exists() const { return linkExists(root_, path_); }

private:
    HKEY root_;
    std::wstring path_;
    bool made_;
};

}  // namespace testing_support
