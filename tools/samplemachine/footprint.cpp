#include "samplemachine/footprint.h"

namespace sample {

void seed() {
    clear();
    seedPostInstall();
    seedUsers();
}

void clear() {
    clearPostInstall();
    clearUsers();
}

Footprint footprint() {
    Footprint items;
    addPostInstallItems(items);
    addUsersItems(items);
    return items;
}

}  // namespace sample
