#include "support/handle_ledger.h"

#include <algorithm>

#include "support/text.h"

namespace testing_support {
namespace {

// The failure that failOpen arms: the open's own, with the chosen status.
ImportFailure g_openFailure{};
LONG g_openStatus = ERROR_SUCCESS;

bool isOpen(const std::string& function) { return function == "RegOpenKeyExW" || function == "RegOpenKeyW"; }

const ImportFailure* openFailureOf(const std::string& function) {
    const ImportFailure* real = isOpen(function) ? failureOf(function) : nullptr;
    if (real == nullptr) {
        return nullptr;
    }
    g_openFailure = *real;
    g_openFailure.returnValue = static_cast<DWORD>(g_openStatus);
    return &g_openFailure;
}

}  // namespace

HandleLedger::HandleLedger(HMODULE module) : ImportRecorder(module, trace::LookUps::PassedThrough) {
    ImportRecorder::observe([this](std::size_t position, const std::string& function, const DWORD* arguments) {
        if (observer_) {
            observer_(position, function, arguments);
        }
        if (function == failEvery_) {
            failCall(position);
        }
        if (!failSuffix_.empty() && isOpen(function) && endsWithNoCase(textArgument(arguments, 1), failSuffix_)) {
            failSuffix_.clear();
            trace::ImportRecorder::failCall(position, &openFailureOf);
        }
    });
    observeReturns([this](const trace::RecordedCall& call) {
        const std::string& function = functionOf(call);
        const DWORD* a = call.arguments;
        if (function == "RegCloseKey") {
            ++keyCloses_;
            return;
        }
        const bool ex = function == "RegOpenKeyExW";
        const bool create = function == "RegCreateKeyExW";
        if (!ex && !create && function != "RegOpenKeyW") {
            return;
        }
        const auto status = static_cast<LONG>(call.result);
        opens_.push_back({function, reinterpret_cast<HKEY>(a[0]), textArgument(a, 1),
                          ex       ? a[2]
                          : create ? a[4]
                                   : 0,
                          ex       ? a[3]
                          : create ? a[5]
                                   : 0,
                          status});
    });
}

int HandleLedger::keyOpens() const {
    return static_cast<int>(
        std::count_if(opens_.begin(), opens_.end(), [](const KeyOpen& open) { return open.status == ERROR_SUCCESS; }));
}

void HandleLedger::failOpen(const std::wstring& pathSuffix, LONG status) {
    failSuffix_ = pathSuffix;
    g_openStatus = status;
}

}  // namespace testing_support
