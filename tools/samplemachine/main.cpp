// samplemachine: seeds the Wine prefix as a machine with the product
// installed, and reports the state of every item of the product's footprint.
//
//   samplemachine seed     clear the footprint, then seed it afresh
//   samplemachine clear    remove every item the seed can create
//   samplemachine report   one line per item: section, label, state (tab-separated, UTF-8)

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "machine/machine.h"
#include "samplemachine/footprint.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: samplemachine seed|clear|report\n");
        return 2;
    }
    _setmode(_fileno(stdout), _O_BINARY);
    const std::wstring command = argv[1];
    if (command == L"seed") {
        sample::seed();
    } else if (command == L"clear") {
        sample::clear();
    } else if (command == L"report") {
        for (const sample::Item& item : sample::footprint()) {
            std::printf("%s\t%s\t%s\n", machine::narrow(item.section).c_str(), machine::narrow(item.label).c_str(),
                        machine::narrow(item.state()).c_str());
        }
    } else {
        std::fprintf(stderr, "samplemachine: unknown command '%ls'\n", argv[1]);
        return 2;
    }
    return 0;
}
