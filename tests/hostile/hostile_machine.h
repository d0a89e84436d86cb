#pragma once

// What a real machine throws at the hooks, and how the hostile tests read the
// machine before and after a hook without being fooled by it themselves:
// every registry walk here goes through handles (so that paths deeper than a
// single call can name still read), opens every key as itself (so that a
// registry link is read, and deleted, as the link and never as its target),
// and reports an unreadable key instead of skipping it.

#include <windows.h>

#include <string>
#include <vector>

#include "support/registry_link.h"

namespace hostile {

// Lines for a subtree: "[path]" for each key, "path : name = type/size/hash"
// for each value, siblings in sorted order. A component longer than 32
// characters is shortened to its start, length and hash; a path longer than
// 512 characters is shown as its depth and last component. A key that cannot
// be opened for reading shows as "[path] unreadable (status)". `skip` names
// relative key paths ("Software\Korvan") or values ("path : name") that are
// left out, compared without regard to case. Empty when the key is absent.
std::vector<std::wstring> dumpKeys(HKEY root, const std::wstring& path, REGSAM view,
                                   const std::vector<std::wstring>& skip = {});

// Names of the direct subkeys, sorted, without `skip`.
std::vector<std::wstring> subkeyList(HKEY root, const std::wstring& path, REGSAM view,
                                     const std::vector<std::wstring>& skip = {});

// One line per entry below a folder (recursively, unless told otherwise;
// never into a reparse point): relative path, attributes, and for files the
// size and a hash of the content, except for the full paths in `skipContent`
// (whose content is checked another way).
std::vector<std::wstring> listFolder(const std::wstring& folder, const std::vector<std::wstring>& skipContent = {},
                                     bool recursive = true);

// Registry links (support/registry_link.h): Windows and Wine keep links in
// the user's hive file, so each one made here is removed with removeKeyTree.
using testing_support::createLink;
using testing_support::linkExists;

// Removes root\path and everything below it without following any link
// (links are deleted as themselves) and through handles only, so it works on
// subtrees of any depth. True when the key is gone afterwards.
bool removeKeyTree(HKEY root, const std::wstring& path, REGSAM view = 0);

// Denies KEY_READ on root\path to everyone (the owner keeps the right to
// change the key's security), and gives everyone full access back.
bool denyRead(HKEY root, const std::wstring& path, REGSAM view);
bool allowAll(HKEY root, const std::wstring& path, REGSAM view);

}  // namespace hostile
