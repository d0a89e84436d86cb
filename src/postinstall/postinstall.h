#pragma once

// The operations that DllPostInstall runs, in the order it runs them.
namespace installhooks {

// Stamps the moment of this run into the product's Substitute key in the
// 64-bit view: "gmt" (the UTC SYSTEMTIME, REG_BINARY, 16 bytes) and "date"
// (the local short date, REG_SZ, always 256 bytes). Never creates the key.
void stampInstallDate();

// Deletes the agent's obsolete data files "shred.adf", "shd.adf" and
// "ZWL.ADF" from "KorvanNet\Agent\app" below the Program Files folder that
// this 32-bit process sees. False when that folder cannot be found (then no
// file is touched); true otherwise, whether or not any file was there.
bool deleteObsoleteDataFiles();

// Deletes, in the default registry view, the Substitute values "buildLD",
// "domain" and "lang", the "OEM" key below AppInfo (only while it has no
// subkeys) and the "ZKW" task-schedule preset with its subtree. Leaves "gmt"
// and "date" alone. Always true.
bool removeObsoleteSettings();

// Moves every direct subkey of the suite's scheduler key whose name contains
// "zwtask" (case-sensitive) to the platform's scheduler key under the same
// name, with its values and subkeys, in the default registry view. False
// when the suite's scheduler key cannot be opened or nothing was copied;
// otherwise whether the latest copy succeeded.
bool migrateSchedulerTasks();

}  // namespace installhooks
