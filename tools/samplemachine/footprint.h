#pragma once

// The sample machine: a Wine prefix seeded as a machine on which the product
// is installed, with everything the hooks write, move or remove, and
// neighbours that must survive them. The demo prints the state of each item
// before and after every hook; the tests seed the same machine.

#include <string>
#include <vector>

#include "footprint/footprint.h"

namespace sample {

using Item = footprint::Item;
using Footprint = footprint::Items;

// Each area of the footprint seeds its own items and lists the neighbours
// that it seeds beside the product's footprint.
void seedPostInstall();
void clearPostInstall();
void addPostInstallItems(Footprint& items);
void seedShell();
void clearShell();
void addShellItems(Footprint& items);

void seedUsers();
void clearUsers();
void addUsersItems(Footprint& items);

// The whole machine, every area. The footprint is the product's, as found
// on the machine, with the neighbours in the sections they belong to.
void seed();
void clear();
Footprint footprint();

}  // namespace sample
