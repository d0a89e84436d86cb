#include "support/handle_ledger.h"

#include "support/text.h"

namespace testing_support {
namespace {

// The failure that failOpen arms: the opens' own, with the chosen status.
ImportFailure g_openFailures[] = {{"RegOpenKeyExW", 20, 0, 0}, {"RegOpenKeyW", 12, 0, 0}};

const ImportFailure* openFailureOf(const std::string& function) {
    for (const ImportFailure& failure : g_openFailures) {
        if (function == failure.function) {
            return &failure;
        }
    }
    return nullptr;
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
        if (!failSuffix_.empty() && openFailureOf(function) != nullptr &&
            endsWithNoCase(textArgument(arguments, 1), failSuffix_)) {
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
        keyOpens_ += status == ERROR_SUCCESS ? 1 : 0;
    });
}

void HandleLedger::failOpen(const std::wstring& pathSuffix, LONG status) {
    failSuffix_ = pathSuffix;
    for (ImportFailure& failure : g_openFailures) {
        failure.returnValue = static_cast<DWORD>(status);
    }
}

}  // namespace testing_support
