// hookhost's trace and report on the seeded sample machine. The trace of
// each hook, recorded through the shipped DLL's import table, must name
// exactly what the whole-machine snapshot sees change; hookhost.exe with its
// flags must change the machine as it does without them; and its report
// must agree with the machine, reading every offline profile's hive from a
// copy and never mounting the profile's own file.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "footprint/footprint.h"
#include "integrity/hook_changes.h"
#include "integrity/machine_state.h"
#include "machine/hives.h"
#include "machine/machine.h"
#include "samplemachine/footprint.h"
#include "support/child_process.h"
#include "support/fixtures.h"
#include "support/iat_patch.h"
#include "support/mount_watch.h"
#include "trace/call_trace.h"
#include "trace/import_recorder.h"

using namespace integrity;
using testing_support::HookLibrary;

namespace {

std::wstring lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

std::wstring wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    out.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size())) - 1));
    return out;
}

// A trace item's key as the snapshot names it, in lower case.
std::wstring snapshotKey(const trace::Item& item) {
    std::wstring path = wide(item.path);
    const std::wstring mount = std::wstring(L"HKU\\") + trace::kMountName;
    if (!item.hiveFile.empty() && lower(path).rfind(lower(mount), 0) == 0) {
        return lower(L"HIVE(" + wide(item.hiveFile) + L")" + path.substr(mount.size()));
    }
    const std::pair<std::wstring, std::wstring> roots[] = {
        {L"hklm\\software\\classes\\wow6432node\\", L"hklm32\\software\\classes\\"},
        {L"hklm\\software\\wow6432node\\", L"hklm32\\software\\"},
        {L"hklm\\software\\", L"hklm64\\software\\"},
        {L"hkcu\\", L"hku\\" + lower(places().currentUserHive) + L"\\"},
    };
    path = lower(path);
    for (const auto& [from, to] : roots) {
        if (path.rfind(from, 0) == 0) {
            return to + path.substr(from.size());
        }
    }
    return path;
}

bool under(const std::wstring& path, const std::wstring& key) { return path == key || path.rfind(key + L"\\", 0) == 0; }

// Every line the snapshot saw change that no item of the trace explains,
// and every item that changed nothing the snapshot saw.
Lines unexplained(const Diff& diff, const std::vector<trace::Item>& items) {
    Lines out;
    auto explains = [&](const std::wstring& line, bool added) {
        const wchar_t kind = line[0];
        const std::wstring path = lower(linePath(line));
        const std::wstring value = kind == L'V' ? lower(line.substr(line.find(L" : ") + 3)) : L"";
        return std::any_of(items.begin(), items.end(), [&](const trace::Item& item) {
            const std::wstring key = snapshotKey(item);
            if (!item.ok) {
                return false;
            }
            if (item.kind == "value") {
                // A value written over one that was there removes its old line.
                return kind == L'V' && key == path && value.rfind(lower(wide(item.name)) + L" = ", 0) == 0 &&
                       (item.action == "write" || (!added && item.action == "delete"));
            }
            if (item.kind == "tree") {
                return added && under(path, key);
            }
            if (item.kind == "file") {
                return !added && kind == L'F' && item.action == "delete" && key == path;
            }
            return item.kind == "key" && key == path &&
                   (added ? kind == L'K' && item.action == "create" : item.action == "delete");
        });
    };
    for (const std::wstring& line : diff.removed) {
        if (!explains(line, false)) {
            out.push_back(L"changed, not in the trace: removed " + line);
        }
    }
    for (const std::wstring& line : diff.added) {
        if (!explains(line, true)) {
            out.push_back(L"changed, not in the trace: added " + line);
        }
    }
    for (const trace::Item& item : items) {
        if (!item.ok || item.action == "mount" || item.action == "unmount") {
            continue;
        }
        const std::wstring key = snapshotKey(item);
        const Lines& side = item.action == "delete" ? diff.removed : diff.added;
        const bool seen = std::any_of(side.begin(), side.end(), [&](const std::wstring& line) {
            const std::wstring path = lower(linePath(line));
            if (item.kind == "value") {
                return line[0] == L'V' && path == key &&
                       lower(line).find(L" : " + lower(wide(item.name)) + L" = ") != std::wstring::npos;
            }
            return item.kind == "tree" ? under(path, key) : path == key;
        });
        if (!seen) {
            out.push_back(L"in the trace, not seen changed: " + wide(item.action + " " + item.kind + " " + item.path));
        }
    }
    return out;
}

// The stamp holds the time of each run.
Lines withoutStampTimes(Lines lines) {
    const std::wstring substitute = L"V HKLM64\\Software\\Korvan\\ZTB\\AppInfo\\Substitute : ";
    for (std::wstring& line : lines) {
        for (const wchar_t* value : {L"gmt = ", L"date = "}) {
            if (line.rfind(substitute + value, 0) == 0) {
                line = substitute + value + L"<stamp>";
            }
        }
    }
    return lines;
}

// hookhost.exe beside the test program, its output captured.
testing_support::ChildRun runHookhost(const std::wstring& arguments) {
    std::wstring program = HookLibrary::path();
    program = program.substr(0, program.rfind(L'\\') + 1) + L"hookhost.exe";
    const testing_support::ChildRun run =
        testing_support::runChild(program, arguments, testing_support::scaledSeconds(120));
    EXPECT_TRUE(run.started && !run.timedOut) << "hookhost.exe " << run.outcome();
    return run;
}

std::wstring dllArgument(const char* hook) { return L"\"" + HookLibrary::path() + L"\" " + wide(hook); }

// The state a report gives an item, found after `from` in its output.
std::string reported(const std::string& output, const std::string& label, std::size_t from) {
    const std::size_t at = output.find("    " + label + " ", from);
    if (at == std::string::npos) {
        return "(not reported)";
    }
    const std::size_t start = output.find_first_not_of(' ', at + 4 + label.size());
    return output.substr(start, output.find_first_of("\r\n", start) - start);
}

class Hookhost : public ::testing::Test {
protected:
    void SetUp() override { sample::seed(); }
    void TearDown() override {
        machine::unloadHive(trace::kMountName);
        sample::clear();
    }
};

}  // namespace

TEST_F(Hookhost, TheTraceOfEachHookNamesWhatTheMachineSeesChange) {
    for (const char* hook : {"DllPostInstall", "DllCreateTasks", "DllPreUnInstall", "DllZudaUnInstall"}) {
        SCOPED_TRACE(hook);
        sample::seed();
        const Lines before = snapshot();
        std::vector<trace::Event> events;
        trace::Summary summary;
        {
            HookLibrary dll;
            trace::ImportRecorder recorder(dll.module());
            // Written back at the unmount, as Windows does, so that the
            // snapshot sees the offline profiles' changes.
            testing_support::MountWatch writeBack(dll.module());
            trace::CallTrace calls(recorder, [&](const trace::Event& event) { events.push_back(event); });
            EXPECT_EQ(0, dll.call(hook));
            summary = calls.summary();
        }
        const Diff changed = diff(before, snapshot());
        EXPECT_EQ(Lines{}, unexplained(changed, summary.items)) << describeLines(unexplained(changed, summary.items));
        EXPECT_EQ(std::string(hook) == "DllCreateTasks", changed.removed.empty() && changed.added.empty());
        for (const trace::HandleCount* count : {&summary.keys, &summary.searches, &summary.tokens}) {
            EXPECT_EQ(count->opened, count->closed);
            EXPECT_TRUE(count->leftOpen.empty());
        }
        EXPECT_TRUE(summary.mountFree);
        std::size_t listed = 0;
        for (const auto& [function, count] : summary.calls) {
            listed += count;
        }
        EXPECT_EQ(events.size(), listed);
        if (std::string(hook) != "DllPostInstall") {
            continue;
        }
        // The stamp's calls come first, in the product's order, with their
        // paths, masks and results.
        const std::vector<std::string> stamp = {"GetDateFormatW",  "GetSystemTime",  "RegOpenKeyExW",
                                                "RegDeleteValueW", "RegSetValueExW", "RegDeleteValueW",
                                                "RegSetValueExW",  "RegCloseKey"};
        ASSERT_GE(events.size(), stamp.size());
        for (std::size_t i = 0; i < stamp.size(); ++i) {
            EXPECT_EQ(stamp[i], events[i].function) << i;
            EXPECT_EQ(i + 1, events[i].sequence);
        }
        EXPECT_EQ("LOCALE_USER_DEFAULT, 0, NULL, NULL, buffer, 128", events[0].arguments);
        EXPECT_EQ("HKLM, \"Software\\Korvan\\ZTB\\AppInfo\\Substitute\", 0, KEY_ALL_ACCESS|KEY_WOW64_64KEY",
                  events[2].arguments);
        const std::string key = "HKLM\\Software\\Korvan\\ZTB\\AppInfo\\Substitute [64-bit view]";
        EXPECT_EQ("0 ERROR_SUCCESS", events[2].result);
        EXPECT_EQ(key, events[2].out);
        EXPECT_EQ(key + ", \"gmt\"", events[3].arguments);
        EXPECT_EQ(0U, events[4].arguments.find(key + ", \"gmt\", REG_BINARY, "));
        EXPECT_NE(std::string::npos, events[6].arguments.find(", \"date\", REG_SZ, \""));
        EXPECT_NE(std::string::npos, events[6].arguments.find("\", 256 bytes"));
        EXPECT_EQ(key, events[7].arguments);
    }
}

TEST_F(Hookhost, AFailedCallIsTracedWithItsStatusByName) {
    machine::deleteTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\ZTB\\AppInfo\\Substitute", machine::kView64);
    HookLibrary dll;
    trace::ImportRecorder recorder(dll.module());
    std::vector<trace::Event> events;
    trace::CallTrace calls(recorder, [&](const trace::Event& event) { events.push_back(event); });
    EXPECT_EQ(0, dll.call("DllPostInstall"));
    ASSERT_GE(events.size(), 3U);
    EXPECT_EQ("2 ERROR_FILE_NOT_FOUND", events[2].result);
    EXPECT_EQ("", events[2].out);
    EXPECT_EQ("SHGetFolderPathW", events[3].function);
    EXPECT_EQ("NULL, CSIDL_PROGRAM_FILES, NULL, SHGFP_TYPE_CURRENT", events[3].arguments);
    EXPECT_EQ("0x00000000 S_OK", events[3].result);
}

TEST_F(Hookhost, TracingAndReportingChangeTheMachineAsAPlainRunDoes) {
    for (const char* hook : {"DllPostInstall", "DllPreUnInstall"}) {
        SCOPED_TRACE(hook);
        sample::seed();
        Lines before = snapshot();
        const testing_support::ChildRun plain = runHookhost(dllArgument(hook));
        EXPECT_EQ(0U, plain.exitCode);
        EXPECT_EQ(std::string(hook) + " returned 0\r\n", plain.output);
        const Diff plainDiff = diff(withoutStampTimes(before), withoutStampTimes(snapshot()));
        EXPECT_FALSE(plainDiff.removed.empty());

        sample::seed();
        before = snapshot();
        const testing_support::ChildRun flagged = runHookhost(L"--trace --report " + dllArgument(hook));
        EXPECT_EQ(0U, flagged.exitCode);
        const Diff flaggedDiff = diff(withoutStampTimes(before), withoutStampTimes(snapshot()));
        EXPECT_EQ(plainDiff.removed, flaggedDiff.removed);
        EXPECT_EQ(plainDiff.added, flaggedDiff.added);
    }
}

TEST_F(Hookhost, TheReportAgreesWithTheMachineAndMountsNoProfilesOwnHive) {
    // A profile the sample machine does not know, added as a folder beside
    // the others.
    const std::wstring carol = places().profiles + L"\\Carol";
    ASSERT_TRUE(machine::createDirectories(carol));
    ASSERT_TRUE(CopyFileW(offlineHiveFile(L"Alice").c_str(), (carol + L"\\NTUSER.DAT").c_str(), FALSE));

    // The report's reading, watched in this process: Wine never writes a
    // mounted hive back, so only the files it loads can show that no
    // profile's own NTUSER.DAT was mounted.
    {
        testing_support::MountWatch watch(testing_support::testProgram());
        ASSERT_TRUE(watch.applied());
        footprint::read(footprint::product());
        const std::vector<std::wstring> mounted = watch.mountedFiles();
        EXPECT_GE(mounted.size(), 3U);
        for (const std::wstring& folder : footprint::offlineProfileFolders()) {
            const std::wstring own = lower(folder + L"\\NTUSER.DAT");
            for (const std::wstring& file : mounted) {
                EXPECT_NE(own, lower(file));
            }
        }
    }
    const std::wstring sendTo = places().sendTo + L"\\Korvan Eraser.KorvanEraser";
    ASSERT_TRUE(machine::fileExists(sendTo));

    const testing_support::ChildRun run = runHookhost(L"--report " + dllArgument("DllPreUnInstall"));
    EXPECT_EQ(0U, run.exitCode);
    const std::size_t after = run.output.find("== footprint after");
    ASSERT_NE(std::string::npos, after);
    const std::string sendToLabel = "Send To\\Korvan Eraser.KorvanEraser";
    EXPECT_EQ("present", reported(run.output, sendToLabel, 0));
    EXPECT_EQ(machine::fileExists(sendTo) ? "present" : "absent", reported(run.output, sendToLabel, after));
    EXPECT_EQ("absent", reported(run.output, "HKCU Software\\Korvan", after));
    EXPECT_EQ(machine::keyExists(HKEY_CURRENT_USER, L"Software\\Korvan"), false);
    const std::string otherSettings = std::string("HKU\\") + machine::narrow(kOtherUserHive) + " Software\\Korvan\\ZTB";
    EXPECT_EQ(0U, reported(run.output, otherSettings, 0).rfind("present, with 3 keys", 0));
    EXPECT_EQ("absent", reported(run.output, otherSettings, after));
    // Carol is read like the others, from a private copy of her file.
    EXPECT_EQ(reported(run.output, "Alice's NTUSER.DAT Software\\Korvan\\ZTB", 0),
              reported(run.output, "Carol's NTUSER.DAT Software\\Korvan\\ZTB", 0));
    EXPECT_EQ(0U, reported(run.output, "Carol's NTUSER.DAT Software\\Korvan\\ZTB", 0).rfind("present", 0));
    EXPECT_NE(std::string::npos, run.output.find("== what changed: "));

    EXPECT_FALSE(machine::hiveLoaded(trace::kMountName));
    for (const std::wstring& hive : machine::subkeyNames(HKEY_USERS, L"")) {
        EXPECT_EQ(std::wstring::npos, hive.find(L"KorvanFootprint")) << machine::narrow(hive);
    }
    DeleteFileW((carol + L"\\NTUSER.DAT").c_str());
    RemoveDirectoryW(carol.c_str());
}
