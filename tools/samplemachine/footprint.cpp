#include "samplemachine/footprint.h"

namespace sample {

void seed() {
    clear();
    seedPostInstall();
}

void clear() { clearPostInstall(); }

Footprint footprint() {
    Footprint items;
    addPostInstallItems(items);
    return items;
}

}  // namespace sample
