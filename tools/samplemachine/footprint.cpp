#include "samplemachine/footprint.h"

namespace sample {

void seed() {
    clear();
    seedPostInstall();
    seedShell();
    seedUsers();
}

void clear() {
    clearPostInstall();
    clearShell();
    clearUsers();
}

Footprint footprint() {
    Footprint items = footprint::product();
    Footprint neighbours;
    addPostInstallItems(neighbours);
    addShellItems(neighbours);
    addUsersItems(neighbours);
    // Each neighbour after the last item of its section.
    for (Item& neighbour : neighbours) {
        auto at = items.end();
        for (auto it = items.begin(); it != items.end(); ++it) {
            if (it->section == neighbour.section) {
                at = it + 1;
            }
        }
        items.insert(at, std::move(neighbour));
    }
    return items;
}

}  // namespace sample
