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
    Footprint items;
    addPostInstallItems(items);
    addShellItems(items);
    addUsersItems(items);
    return items;
}

}  // namespace sample
