#pragma once

// What hookhost prints for --trace and --report: readable text by default,
// JSON Lines (one object per call, footprint item, change and summary) with
// --json. Everything goes to standard output, UTF-8.

#include <string>
#include <vector>

#include "footprint/footprint.h"
#include "trace/call_trace.h"

namespace hookhost {

class Output {
public:
    explicit Output(bool json) : json_(json) {}

    void call(const trace::Event& event) const;
    void summary(const std::string& hook, const trace::Summary& summary) const;
    // The hook's result line: "DllPostInstall returned 0" as text.
    void returned(const std::string& hook, int value, int bytesPopped) const;
    void footprint(const std::string& when, const std::vector<footprint::State>& states) const;
    // Every item whose state differs, or that is found on one side only.
    void changes(const std::vector<footprint::State>& before, const std::vector<footprint::State>& after) const;

private:
    bool json_;
};

}  // namespace hookhost
