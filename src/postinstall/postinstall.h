#pragma once

// The operations that DllPostInstall runs, in the order it runs them.
namespace installhooks {

// Stamps the moment of this run into the product's Substitute key in the
// 64-bit view: "gmt" (the UTC SYSTEMTIME, REG_BINARY, 16 bytes) and "date"
// (the local short date, REG_SZ, always 256 bytes). Never creates the key.
void stampInstallDate();

}  // namespace installhooks
