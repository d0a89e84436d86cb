#include "testkit/reports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace testkit {
namespace {

// The value of attribute `name` in the start tag of `element`, or -1.
int attribute(const std::string& xml, const char* element, const char* name) {
    const std::size_t start = xml.find(std::string("<") + element + " ");
    if (start == std::string::npos) {
        return -1;
    }
    const std::size_t end = xml.find('>', start);
    const std::size_t at = xml.find(std::string(" ") + name + "=\"", start);
    if (at == std::string::npos || at > end) {
        return -1;
    }
    return std::atoi(xml.c_str() + at + std::char_traits<char>::length(name) + 3);
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// A failing case that stands for what the program's report cannot say.
std::string programFailure(const ProgramResult& r) {
    const std::string message = xmlText(r.verdict() + ": " + r.detail());
    return "  <testsuite name=\"" + r.name + "\" tests=\"1\" failures=\"1\" errors=\"0\" time=\"" +
           oneDecimal(r.seconds) + "\">\n    <testcase name=\"program\" classname=\"" + r.name + "\" time=\"" +
           oneDecimal(r.seconds) + "\">\n      <failure message=\"" + message + "\" type=\"\"><![CDATA[" + r.verdict() +
           ": " + r.detail() + "]]></failure>\n    </testcase>\n  </testsuite>\n";
}

}  // namespace

std::string ProgramResult::verdict() const {
    if (passed()) {
        return "passed";
    }
    if (timedOut) {
        return "TIMEOUT";
    }
    return started && reported ? "FAILED" : "CRASHED";
}

std::string ProgramResult::detail() const {
    if (!started) {
        return "did not start";
    }
    const std::string time = " (" + oneDecimal(seconds) + " s)";
    std::string unreported;
    if (!reported) {
        unreported =
            listed < 0 ? "; its cases could not be listed" : "; " + std::to_string(listed) + " cases not reported";
    }
    if (timedOut) {
        return "killed after its limit of " + oneDecimal(limit) + " s" + unreported;
    }
    if (!reported) {
        return "exit code " + hex(exitCode) + ", no complete XML report: ended before reporting" + unreported + time;
    }
    std::string text = std::to_string(tests) + " cases";
    if (failures > 0) {
        text += ", " + std::to_string(failures) + " failed";
    }
    if (skipped > 0) {
        text += ", " + std::to_string(skipped) + " skipped";
    }
    if (disabled > 0) {
        text += ", " + std::to_string(disabled) + " disabled";
    }
    // Why cases skipped, each reason once.
    for (std::size_t i = 0; i < skipReasons.size(); ++i) {
        text += (i == 0 ? " (" : " | ") + skipReasons[i] + (i + 1 == skipReasons.size() ? ")" : "");
    }
    if (exitCode != 0) {
        text += "; exit code " + hex(exitCode);
    }
    return text + time;
}

void readReport(const std::wstring& file, ProgramResult& result) {
    std::string xml;
    if (!readFile(file, xml)) {
        return;
    }
    const std::size_t end = xml.find_last_not_of(" \r\n\t");
    const std::string closing = "</testsuites>";
    result.reported = end != std::string::npos && end + 1 >= closing.size() &&
                      xml.compare(end + 1 - closing.size(), closing.size(), closing) == 0 &&
                      attribute(xml, "testsuites", "tests") >= 0;
    if (result.reported) {
        result.tests = attribute(xml, "testsuites", "tests");
        result.failures = attribute(xml, "testsuites", "failures");
        result.disabled = attribute(xml, "testsuites", "disabled");
        result.skipped = static_cast<int>(count(xml, "result=\"skipped\""));
        result.completed = static_cast<int>(count(xml, "result=\"completed\""));
        // A skip's message: where GTEST_SKIP was, a line break, why.
        for (std::size_t at = xml.find("<skipped message=\""); at != std::string::npos;
             at = xml.find("<skipped message=\"", at + 1)) {
            const std::size_t start = at + 18;
            std::string why = xml.substr(start, xml.find('"', start) - start);
            const std::size_t lineBreak = why.find("&#x0A;");
            why = lineBreak == std::string::npos ? why : why.substr(lineBreak + 6);
            for (const auto& [entity, character] :
                 {std::pair{"&#x0A;", " "}, std::pair{"&quot;", "\""}, std::pair{"&apos;", "'"}, std::pair{"&lt;", "<"},
                  std::pair{"&gt;", ">"}, std::pair{"&amp;", "&"}}) {
                replaceAll(why, entity, character);
            }
            if (std::find(result.skipReasons.begin(), result.skipReasons.end(), why) == result.skipReasons.end()) {
                result.skipReasons.push_back(why);
            }
        }
        result.xml = xml;
    }
}

int listedCases(const std::wstring& file) {
    std::string xml;
    return readFile(file, xml) && xml.find("</testsuites>") != std::string::npos ? attribute(xml, "testsuites", "tests")
                                                                                 : -1;
}

std::string junit(const std::vector<ProgramResult>& results) {
    int tests = 0;
    int failures = 0;
    double time = 0;
    std::string suites;
    for (const ProgramResult& r : results) {
        time += r.seconds;
        if (r.reported) {
            // Each program's suites, named after it.
            std::string body = r.xml.substr(r.xml.find('>', r.xml.find("<testsuites ")) + 1);
            body.resize(body.rfind("</testsuites>"));
            replaceAll(body, "<testsuite name=\"", "<testsuite name=\"" + r.name + ".");
            replaceAll(body, "classname=\"", "classname=\"" + r.name + ".");
            suites += body;
            tests += r.tests;
            failures += r.failures;
        }
        if (!r.passed() && (!r.reported || r.failures == 0)) {
            suites += programFailure(r);
            tests += 1;
            failures += 1;
        }
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"installhooks-testkit\" tests=\"" +
           std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\" errors=\"0\" time=\"" +
           oneDecimal(time) + "\">\n" + suites + "</testsuites>\n";
}

std::string summaryJson(const std::string& platformJson, const std::vector<ProgramResult>& results,
                        const std::vector<std::string>& removed, const std::string& bench, bool ok) {
    int passed = 0;
    int failed = 0;
    int cases = 0;
    std::string programs;
    for (const ProgramResult& r : results) {
        passed += r.passedCases();
        failed += r.failedCases();
        cases += r.reported ? r.tests : 0;
        programs += std::string(programs.empty() ? "" : ",\n") + "    {\"name\": " + jsonString(r.name) +
                    ", \"verdict\": " + jsonString(r.verdict()) + ", \"detail\": " + jsonString(r.detail()) +
                    ", \"exit_code\": " + jsonString(r.started && !r.timedOut ? hex(r.exitCode) : "") +
                    ", \"seconds\": " + oneDecimal(r.seconds) + ", \"limit_seconds\": " + oneDecimal(r.limit) +
                    ", \"listed\": " + std::to_string(r.listed) + ", \"reported\": " + (r.reported ? "true" : "false") +
                    ", \"tests\": " + std::to_string(r.tests) + ", \"failures\": " + std::to_string(r.failures) +
                    ", \"skipped\": " + std::to_string(r.skipped) + ", \"disabled\": " + std::to_string(r.disabled) +
                    "}";
    }
    std::string cleaned;
    for (const std::string& item : removed) {
        cleaned += std::string(cleaned.empty() ? "" : ", ") + jsonString(item);
    }
    return "{\n  \"platform\": " + platformJson + ",\n  \"ok\": " + (ok ? "true" : "false") +
           ",\n  \"cases\": " + std::to_string(cases) + ",\n  \"passed\": " + std::to_string(passed) +
           ",\n  \"failed\": " + std::to_string(failed) + ",\n  \"programs\": [\n" + programs +
           "\n  ],\n  \"bench\": " + bench + ",\n  \"removed_after_the_run\": [" + cleaned + "]\n}\n";
}

std::string hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", value);
    return text;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string xmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool readFile(const std::wstring& path, std::string& content) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content.append(buffer, got);
    }
    std::fclose(file);
    return true;
}

bool writeFile(const std::wstring& path, const std::string& content) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace testkit
