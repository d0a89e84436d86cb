#include "trees.h"

#include <cwchar>

namespace bench {

const wchar_t* const kBenchRoot = L"Software\\InstallHooksBench";

namespace {

constexpr DWORD kFanOut = 10;
constexpr DWORD kChainLength = 100;
constexpr DWORD kNameLength = 256;

HKEY createVolatile(HKEY parent, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

bool setValues(HKEY key, DWORD index) {
    wchar_t text[64];
    std::swprintf(text, 64, L"value of key %lu, as a settings string", static_cast<unsigned long>(index));
    const auto textBytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
    BYTE blob[32];
    for (DWORD i = 0; i < sizeof blob; ++i) {
        blob[i] = static_cast<BYTE>(index + i);
    }
    return RegSetValueExW(key, L"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), textBytes) == ERROR_SUCCESS &&
           RegSetValueExW(key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&index), sizeof index) ==
               ERROR_SUCCESS &&
           RegSetValueExW(key, L"Data", 0, REG_BINARY, blob, sizeof blob) == ERROR_SUCCESS;
}

// Node `index` of a complete 10-ary tree numbered breadth first (the root is
// 0); its children are 10*index+1 .. 10*index+10, as far as they exist.
bool buildBushy(HKEY key, DWORD index, DWORD keys, bool values) {
    if (values && !setValues(key, index)) {
        return false;
    }
    for (DWORD child = index * kFanOut + 1; child <= index * kFanOut + kFanOut && child < keys; ++child) {
        wchar_t name[16];
        std::swprintf(name, 16, L"k%lu", static_cast<unsigned long>(child));
        HKEY opened = createVolatile(key, name);
        if (opened == nullptr) {
            return false;
        }
        const bool built = buildBushy(opened, child, keys, values);
        RegCloseKey(opened);
        if (!built) {
            return false;
        }
    }
    return true;
}

bool buildWide(HKEY root, DWORD keys) {
    for (DWORD child = 1; child < keys; ++child) {
        wchar_t name[16];
        std::swprintf(name, 16, L"k%lu", static_cast<unsigned long>(child));
        HKEY opened = createVolatile(root, name);
        if (opened == nullptr) {
            return false;
        }
        RegCloseKey(opened);
    }
    return true;
}

bool buildDeep(HKEY root, DWORD keys) {
    DWORD made = 1;
    for (DWORD chain = 0; made < keys; ++chain) {
        wchar_t name[16];
        std::swprintf(name, 16, L"c%lu", static_cast<unsigned long>(chain));
        HKEY link = createVolatile(root, name);
        if (link == nullptr) {
            return false;
        }
        ++made;
        for (DWORD depth = 1; depth < kChainLength && made < keys; ++depth, ++made) {
            std::swprintf(name, 16, L"d%lu", static_cast<unsigned long>(depth));
            HKEY next = createVolatile(link, name);
            RegCloseKey(link);
            if (next == nullptr) {
                return false;
            }
            link = next;
        }
        RegCloseKey(link);
    }
    return true;
}

DWORD countBelow(HKEY key) {
    DWORD count = 0;
    wchar_t name[kNameLength];
    for (DWORD index = 0;; ++index) {
        DWORD length = kNameLength;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
            count += 1 + countBelow(child);
            RegCloseKey(child);
        }
    }
    return count;
}

}  // namespace

const char* shapeName(Shape shape) {
    switch (shape) {
        case Shape::Wide:
            return "wide";
        case Shape::Bushy:
            return "bushy";
        case Shape::Deep:
            return "deep";
        case Shape::Values:
            return "values";
    }
    return "?";
}

const char* shapeDescription(Shape shape) {
    switch (shape) {
        case Shape::Wide:
            return "all keys directly below the root (one level)";
        case Shape::Bushy:
            return "10 children per key, filled breadth first (depth 3 at 1,000 keys, 4 at 10,000, 5 at 100,000)";
        case Shape::Deep:
            return "chains of 100 keys hanging from the root (depth 101)";
        case Shape::Values:
            return "bushy, with 3 values in every key (a 40-character string, a DWORD, 32 bytes of binary)";
    }
    return "?";
}

bool buildTree(HKEY parent, const wchar_t* name, Shape shape, DWORD keys) {
    HKEY root = createVolatile(parent, name);
    if (root == nullptr) {
        return false;
    }
    bool built = false;
    switch (shape) {
        case Shape::Wide:
            built = buildWide(root, keys);
            break;
        case Shape::Bushy:
            built = buildBushy(root, 0, keys, false);
            break;
        case Shape::Deep:
            built = buildDeep(root, keys);
            break;
        case Shape::Values:
            built = buildBushy(root, 0, keys, true);
            break;
    }
    RegCloseKey(root);
    return built;
}

DWORD countKeys(HKEY parent, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, name, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    const DWORD count = 1 + countBelow(key);
    RegCloseKey(key);
    return count;
}

}  // namespace bench
