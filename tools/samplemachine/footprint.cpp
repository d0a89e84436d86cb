#include "samplemachine/footprint.h"

namespace sample {

void seed() {
    clear();
    seedPostInstall();
    seedShell();
}

void clear() {
    clearPostInstall();
    clearShell();
}

Footprint footprint() {
    Footprint items;
    addPostInstallItems(items);
    addShellItems(items);
    return items;
}

}  // namespace sample
