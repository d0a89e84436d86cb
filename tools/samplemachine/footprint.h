#pragma once

// The sample machine: a Wine prefix seeded as a machine on which the product
// is installed, with everything the hooks write, move or remove, and
// neighbours that must survive them. The demo prints the state of each item
// before and after every hook; the tests seed the same machine.

#include <functional>
#include <string>
#include <vector>

namespace sample {

struct Item {
    std::wstring section;  // what part of the product's footprint it belongs to
    std::wstring label;    // where it is, as a person would name it
    std::function<std::wstring()> state;
};
using Footprint = std::vector<Item>;

// Each area of the footprint seeds its own items and lists them.
void seedPostInstall();
void clearPostInstall();
void addPostInstallItems(Footprint& items);
void seedShell();
void clearShell();
void addShellItems(Footprint& items);

void seedUsers();
void clearUsers();
void addUsersItems(Footprint& items);

// The whole machine, every area.
void seed();
void clear();
Footprint footprint();

}  // namespace sample
