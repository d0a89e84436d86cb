// What DllPostInstall works on: the product's Substitute key (stamped in the
// 64-bit view, cleaned of obsolete values in the 32-bit one).

#include <windows.h>

#include "machine/machine.h"
#include "samplemachine/footprint.h"

namespace sample {
namespace {

const wchar_t kSubstitute[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";

std::wstring valueState(const wchar_t* name, REGSAM view) {
    return machine::describe(machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, name, view));
}

void addValue(Footprint& items, const wchar_t* viewName, REGSAM view, const wchar_t* name) {
    items.push_back({L"Install date stamp and Substitute values",
                     std::wstring(L"HKLM ") + viewName + L" ...\\AppInfo\\Substitute : " + name,
                     [=] { return valueState(name, view); }});
}

}  // namespace

void seedPostInstall() {
    using machine::kView32;
    using machine::kView64;
    // The 64-bit view holds an old stamp of other types and sizes.
    machine::setDword(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", 20200101, kView64);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"date", L"1/1/2020", kView64);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"version", L"7.2.1", kView64);
    // The 32-bit view holds the values of older releases.
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"buildLD", L"7.0.0.1184", kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"domain", L"update.korvan.example", kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"lang", L"en-US", kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"date", L"3/14/2019", kView32);
    machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"version", L"7.2.1", kView32);
}

void clearPostInstall() {
    machine::deleteTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", machine::kView64);
    machine::deleteTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", machine::kView32);
}

void addPostInstallItems(Footprint& items) {
    for (const wchar_t* name : {L"gmt", L"date", L"version"}) {
        addValue(items, L"64-bit view", machine::kView64, name);
    }
    for (const wchar_t* name : {L"buildLD", L"domain", L"lang", L"gmt", L"date", L"version"}) {
        addValue(items, L"32-bit view", machine::kView32, name);
    }
}

}  // namespace sample
