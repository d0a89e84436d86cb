#include "hookhost/output.h"

#include <cstdio>
#include <map>

#include "trace/names.h"

namespace hookhost {
namespace {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

// One JSON object, its members in the order they are added.
class Json {
public:
    explicit Json(const char* type) { add("type", type); }
    Json& add(const char* name, const std::string& value) { return raw(name, jsonString(value)); }
    Json& add(const char* name, const char* value) { return raw(name, jsonString(value)); }
    Json& add(const char* name, std::size_t value) { return raw(name, std::to_string(value)); }
    Json& add(const char* name, int value) { return raw(name, std::to_string(value)); }
    Json& add(const char* name, bool value) { return raw(name, value ? "true" : "false"); }
    Json& raw(const char* name, const std::string& value) {
        text_ += (text_.empty() ? "{" : ",") + jsonString(name) + ":" + value;
        return *this;
    }
    std::string str() const { return text_ + "}"; }
    void print() const { std::printf("%s\n", str().c_str()); }

private:
    std::string text_;
};

std::string jsonCounts(const std::map<std::string, std::size_t>& counts) {
    std::string text = "{";
    for (const auto& [function, count] : counts) {
        text += (text.size() > 1 ? "," : "") + jsonString(function) + ":" + std::to_string(count);
    }
    return text + "}";
}

std::string jsonHandles(const trace::HandleCount& count) {
    std::string open = "[";
    for (const std::string& what : count.leftOpen) {
        open += (open.size() > 1 ? "," : "") + jsonString(what);
    }
    return Json("handles").add("opened", count.opened).add("closed", count.closed).raw("left_open", open + "]").str();
}

std::string textCounts(const std::map<std::string, std::size_t>& counts, std::size_t& total) {
    std::string text;
    total = 0;
    for (const auto& [function, count] : counts) {
        text += (text.empty() ? "" : ", ") + function + " " + std::to_string(count);
        total += count;
    }
    return text.empty() ? "none" : text;
}

std::string itemText(const trace::Item& item) {
    std::string text = item.kind + " " + item.path;
    if (item.kind == "value") {
        text += " : " + item.name;
    }
    if (!item.detail.empty()) {
        text += item.kind == "hive"
                    ? (item.action == "mount" ? " <- " : " (was ") + item.detail + (item.action == "mount" ? "" : ")")
                    : " = " + item.detail;
    }
    if (!item.hiveFile.empty()) {
        text += " (in " + item.hiveFile + ")";
    }
    return text;
}

void textHandles(const char* what, const trace::HandleCount& count) {
    std::string open;
    for (const std::string& name : count.leftOpen) {
        open += "\n    left open: " + name;
    }
    std::printf(
        "%s: %u opened, %u closed, %s%s\n", what, static_cast<unsigned>(count.opened),
        static_cast<unsigned>(count.closed),
        count.leftOpen.empty() ? "none left open" : (std::to_string(count.leftOpen.size()) + " left open").c_str(),
        open.c_str());
}

}  // namespace

void Output::call(const trace::Event& event) const {
    if (json_) {
        Json("call")
            .add("seq", event.sequence)
            .add("function", event.function)
            .add("arguments", event.arguments)
            .add("result", event.result)
            .add("out", event.out)
            .print();
        return;
    }
    std::string line = event.function + "(" + event.arguments + ")";
    if (!event.result.empty()) {
        line += " = " + event.result;
    }
    if (!event.out.empty()) {
        line += " -> " + event.out;
    }
    std::printf("%5u %s\n", static_cast<unsigned>(event.sequence), line.c_str());
}

void Output::summary(const std::string& hook, const trace::Summary& summary) const {
    if (json_) {
        for (const trace::Item& item : summary.items) {
            Json("item")
                .add("action", item.action)
                .add("kind", item.kind)
                .add("path", item.path)
                .add("name", item.name)
                .add("hive_file", item.hiveFile)
                .add("detail", item.detail)
                .add("ok", item.ok)
                .add("status", item.status)
                .add("seq", item.sequence)
                .print();
        }
        Json("summary")
            .add("hook", hook)
            .raw("calls", jsonCounts(summary.calls))
            .raw("runtime_calls", jsonCounts(summary.runtime))
            .raw("keys", jsonHandles(summary.keys))
            .raw("searches", jsonHandles(summary.searches))
            .raw("tokens", jsonHandles(summary.tokens))
            .add("stray_closes", summary.strayCloses)
            .add("mount_free", summary.mountFree)
            .add("restore_privilege_enabled", summary.restorePrivilegeEnabled)
            .print();
        return;
    }
    std::size_t listed = 0;
    std::size_t counted = 0;
    const std::string calls = textCounts(summary.calls, listed);
    const std::string runtime = textCounts(summary.runtime, counted);
    std::printf("== summary of %s\n", hook.c_str());
    std::printf("calls listed above (%u): %s\n", static_cast<unsigned>(listed), calls.c_str());
    std::printf("heap calls, counted, not listed (%u): %s\n", static_cast<unsigned>(counted), runtime.c_str());
    const std::pair<const char*, const char*> groups[] = {{"delete", "deleted"},
                                                          {"write", "written"},
                                                          {"create", "created"},
                                                          {"mount", "mounted"},
                                                          {"unmount", "unmounted"}};
    for (const auto& [action, title] : groups) {
        std::string lines;
        for (const trace::Item& item : summary.items) {
            if (item.ok && item.action == action) {
                lines +=
                    "  " + itemText(item) + "   (call " + std::to_string(item.sequence) + ": " + item.status + ")\n";
            }
        }
        std::printf("%s:%s\n%s", title, lines.empty() ? " nothing" : "", lines.c_str());
    }
    std::string failed;
    for (const trace::Item& item : summary.items) {
        if (!item.ok) {
            failed += "  " + item.action + " " + itemText(item) + "   (call " + std::to_string(item.sequence) + ": " +
                      item.status + ")\n";
        }
    }
    std::printf("failed or not there:%s\n%s", failed.empty() ? " nothing" : "", failed.c_str());
    textHandles("registry keys", summary.keys);
    textHandles("searches", summary.searches);
    textHandles("tokens", summary.tokens);
    if (summary.strayCloses != 0) {
        std::printf("closes of handles that were not open: %d\n", summary.strayCloses);
    }
    std::printf("HKEY_USERS\\%ls: %s\n", trace::kMountName, summary.mountFree ? "free" : "in use");
    std::printf("SeRestorePrivilege: %s in the process token\n",
                summary.restorePrivilegeEnabled ? "enabled" : "not enabled");
}

void Output::returned(const std::string& hook, int value, int bytesPopped) const {
    if (json_) {
        Json("returned").add("hook", hook).add("value", value).add("bytes_popped", bytesPopped).print();
    } else {
        std::printf("%s returned %d\n", hook.c_str(), value);
    }
    std::fflush(stdout);
}

void Output::footprint(const std::string& when, const std::vector<footprint::State>& states) const {
    if (!json_) {
        std::printf("== footprint %s\n", when.c_str());
    }
    std::wstring section;
    for (const footprint::State& state : states) {
        if (json_) {
            Json("footprint")
                .add("when", when.substr(0, when.find(' ')))
                .add("section", trace::utf8(state.section))
                .add("label", trace::utf8(state.label))
                .add("state", trace::utf8(state.state))
                .print();
            continue;
        }
        if (state.section != section) {
            section = state.section;
            std::printf("%s\n", trace::utf8(section).c_str());
        }
        std::printf("    %-60s %s\n", trace::utf8(state.label).c_str(), trace::utf8(state.state).c_str());
    }
}

void Output::changes(const std::vector<footprint::State>& before, const std::vector<footprint::State>& after) const {
    std::map<std::pair<std::wstring, std::wstring>, std::wstring> was;
    for (const footprint::State& state : before) {
        was[{state.section, state.label}] = state.state;
    }
    std::vector<footprint::State> changed;
    std::vector<std::wstring> previous;
    for (const footprint::State& state : after) {
        const auto found = was.find({state.section, state.label});
        const std::wstring old = found != was.end() ? found->second : L"(not found before)";
        if (found != was.end()) {
            was.erase(found);
        }
        if (old != state.state) {
            changed.push_back(state);
            previous.push_back(old);
        }
    }
    for (const footprint::State& state : before) {
        if (was.count({state.section, state.label}) != 0) {
            changed.push_back({state.section, state.label, L"(not found after)"});
            previous.push_back(state.state);
        }
    }
    if (!json_) {
        std::printf("== what changed: %u items\n", static_cast<unsigned>(changed.size()));
    }
    for (std::size_t i = 0; i < changed.size(); ++i) {
        const std::string section = trace::utf8(changed[i].section);
        const std::string label = trace::utf8(changed[i].label);
        if (json_) {
            Json("change")
                .add("section", section)
                .add("label", label)
                .add("before", trace::utf8(previous[i]))
                .add("after", trace::utf8(changed[i].state))
                .print();
        } else {
            std::printf("  * %s: %s\n      %s\n   -> %s\n", section.c_str(), label.c_str(),
                        trace::utf8(previous[i]).c_str(), trace::utf8(changed[i].state).c_str());
        }
    }
}

}  // namespace hookhost
