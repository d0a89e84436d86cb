#pragma once

// The operations that DllPreUnInstall and DllZudaUnInstall run, in the order
// they run them.
namespace installhooks {}  // namespace installhooks
