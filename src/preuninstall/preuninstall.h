#pragma once

// The operations that DllPreUnInstall and DllZudaUnInstall run, in the order
// they run them.
namespace installhooks {

// Removes the product's shell integration, each item whatever became of the
// others, in this order: the Send To file of the calling account, the
// Recycle Bin context-menu handler key and the shell extension's class key
// (both below HKLM\SOFTWARE\Classes\CLSID, with their subtrees, default
// view). True exactly when both parent keys opened for writing; it says
// nothing about what existed or was deleted.
bool removeShellIntegration();

}  // namespace installhooks
