// Tree deletion: RegistryKey::deleteKeyTree against the platform's
// RegDeleteTreeW and shlwapi's SHDeleteKeyW on identical fresh subtrees.
//
// For every repetition each method gets its own freshly built tree, and the
// order of the methods rotates from one repetition to the next, so that a
// burst of load from elsewhere on the machine does not always hit the same
// method. Only the deletion is timed.

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <map>

#include "bench.h"
#include "counting.h"
#include "registry/RegistryKey.h"
#include "trees.h"

namespace bench {
namespace {

constexpr const wchar_t* kTreeName = L"tree";
// Seconds that the 100,000-key trees may take, building included.
constexpr double kLargestTreesBudget = 240;

struct Method {
    const char* name;
    LONG (*remove)(installhooks::RegistryKey& root, const wchar_t* name);
};

LONG viaRegDeleteTree(installhooks::RegistryKey& root, const wchar_t* name) {
    return RegDeleteTreeW(root.handle(), name);
}
LONG viaShDeleteKey(installhooks::RegistryKey& root, const wchar_t* name) {
    return static_cast<LONG>(SHDeleteKeyW(root.handle(), name));
}
LONG viaDeleteKeyTree(installhooks::RegistryKey& root, const wchar_t* name) { return root.deleteKeyTree(name); }

const Method kRegDeleteTree{"RegDeleteTreeW", &viaRegDeleteTree};
const Method kShDeleteKey{"SHDeleteKeyW", &viaShDeleteKey};
const Method kDeleteKeyTree{"deleteKeyTree", &viaDeleteKeyTree};

struct Case {
    Shape shape;
    DWORD keys;
    int repetitions;
    bool countCalls;  // count the import calls of our walk (one extra tree each)
};

struct Outcome {
    std::vector<double> seconds;
    long allocations = 0;
    bool failed = false;
};

bool treeIsGone(installhooks::RegistryKey& root) {
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExW(root.handle(), kTreeName, 0, KEY_READ, &key);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return status == ERROR_FILE_NOT_FOUND;
}

// Registry calls our walk makes per deleted key, and everything else it
// calls through the import table (heap allocations included).
std::string callsPerKey(installhooks::RegistryKey& root, const Method& method, const Case& c, long* allocations) {
    if (!buildTree(root.handle(), kTreeName, c.shape, c.keys)) {
        return "build failed";
    }
    LONG status = ERROR_SUCCESS;
    const std::map<std::string, long> counts = countImportCalls([&] { status = method.remove(root, kTreeName); });
    if (status != ERROR_SUCCESS || !treeIsGone(root)) {
        return format("failed (%ld)", status);
    }
    long registry = 0;
    std::string detail;
    *allocations = 0;
    for (const auto& [function, calls] : counts) {
        if (function == "malloc" || function == "calloc" || function == "realloc" || function == "HeapAlloc") {
            *allocations += calls;
            continue;
        }
        if (function.rfind("Reg", 0) == 0 || function == "NtDeleteKey") {
            registry += calls;
        }
        detail +=
            format("%s%s %.1f", detail.empty() ? "" : ", ", function.c_str(), static_cast<double>(calls) / c.keys);
    }
    return format("%.1f (%s)", static_cast<double>(registry) / c.keys, detail.c_str());
}

// Our time over the faster platform routine of the same repetition, whose
// trees were deleted moments apart: steadier than a ratio of medians when
// the machine's load changes during the run.
std::string pairedRatio(const Outcome& ours, const Outcome& regTree, const Outcome& shDelete) {
    if (ours.failed || regTree.failed || shDelete.failed || ours.seconds.size() != regTree.seconds.size() ||
        ours.seconds.size() != shDelete.seconds.size() || ours.seconds.empty()) {
        return "-";
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ours.seconds.size(); ++i) {
        ratios.push_back(ours.seconds[i] / std::min(regTree.seconds[i], shDelete.seconds[i]));
    }
    return format("%.2f", median(ratios));
}

}  // namespace

void runTreeDeletion(const Options& options, Report& report) {
    installhooks::RegistryKey root;
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kBenchRoot, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &created, nullptr) != ERROR_SUCCESS) {
        progress("tree deletion: cannot create HKCU\\%ls\n", kBenchRoot);
        return;
    }
    RegCloseKey(created);
    if (root.openKey(HKEY_CURRENT_USER, kBenchRoot, KEY_READ | KEY_WRITE) != ERROR_SUCCESS) {
        progress("tree deletion: cannot open HKCU\\%ls\n", kBenchRoot);
        return;
    }

    const Shape shapes[] = {Shape::Wide, Shape::Bushy, Shape::Deep, Shape::Values};
    std::vector<Case> cases;
    for (DWORD keys : options.quick ? std::vector<DWORD>{100, 1000} : std::vector<DWORD>{1000, 10000}) {
        for (Shape shape : shapes) {
            cases.push_back({shape, keys, options.quick ? 3 : 5, true});
        }
    }
    if (!options.quick) {
        cases.push_back({Shape::Bushy, 100000, 3, true});
    }
    // The first trees of a process are slower to build and delete (the
    // wineserver's tables grow, pages fault in): warm up untimed.
    if (buildTree(root.handle(), kTreeName, Shape::Bushy, 1000)) {
        RegDeleteTreeW(root.handle(), kTreeName);
    }

    // What a key costs to build and to delete on this machine, to keep the
    // largest trees inside the run's budget.
    std::vector<double> secondsPerKey;

    Table table;
    table.title = "Tree deletion (median seconds per tree)";
    table.header = {"shape",
                    "keys",
                    "reps",
                    "RegDeleteTreeW",
                    "SHDeleteKeyW",
                    "deleteKeyTree",
                    "ours / fastest platform",
                    "paired ratio",
                    "ours µs/key",
                    "heap allocs (ours)"};
    Table calls;
    calls.title = "Registry calls per deleted key, counted through the import table";
    calls.header = {"method", "registry calls per deleted key (by function)", "heap allocs", "trees counted"};
    // method -> what was counted -> the trees that gave that count
    std::vector<std::pair<std::string, std::string>> counted;
    std::vector<std::string> countedTrees;
    std::vector<double> buildSeconds;

    for (Case c : cases) {
        if (c.keys >= 100000 && !secondsPerKey.empty()) {
            const double perTree = median(secondsPerKey) * c.keys;
            const int affordable = static_cast<int>(kLargestTreesBudget / (perTree * 4));
            if (affordable < c.repetitions) {
                c.repetitions = std::max(affordable, 1);
                table.notes.push_back(
                    format("The %lu-key trees got %d repetition(s): at %.1f s per tree built "
                           "and deleted, more would overrun the run's budget.",
                           static_cast<unsigned long>(c.keys), c.repetitions, perTree));
            }
        }
        const std::vector<const Method*> methods{&kRegDeleteTree, &kShDeleteKey, &kDeleteKeyTree};
        std::map<const Method*, Outcome> outcomes;
        {
            AllocationCounter allocations;
            for (int rep = 0; rep < c.repetitions; ++rep) {
                for (std::size_t i = 0; i < methods.size(); ++i) {
                    const Method* method = methods[(i + static_cast<std::size_t>(rep)) % methods.size()];
                    Outcome& outcome = outcomes[method];
                    const double buildStart = now();
                    if (!buildTree(root.handle(), kTreeName, c.shape, c.keys)) {
                        outcome.failed = true;
                        RegDeleteTreeW(root.handle(), kTreeName);
                        continue;
                    }
                    buildSeconds.push_back((now() - buildStart) / c.keys);
                    allocations.reset();
                    const double start = now();
                    const LONG status = method->remove(root, kTreeName);
                    const double seconds = now() - start;
                    outcome.allocations = std::max(outcome.allocations, allocations.count());
                    if (status != ERROR_SUCCESS || !treeIsGone(root)) {
                        outcome.failed = true;
                        RegDeleteTreeW(root.handle(), kTreeName);
                        continue;
                    }
                    outcome.seconds.push_back(seconds);
                    secondsPerKey.push_back((now() - buildStart) / c.keys);
                }
                progress("  %s %lu keys: repetition %d of %d done\n", shapeName(c.shape),
                         static_cast<unsigned long>(c.keys), rep + 1, c.repetitions);
            }
        }

        auto medianOf = [&](const Method* method) {
            const Outcome& outcome = outcomes[method];
            return outcome.failed || outcome.seconds.empty() ? -1.0 : median(outcome.seconds);
        };
        auto cell = [&](const Method* method) {
            const double m = medianOf(method);
            return m < 0 ? std::string("failed") : format("%.3f", m);
        };
        const double ours = medianOf(&kDeleteKeyTree);
        const double regTree = medianOf(&kRegDeleteTree);
        const double shDelete = medianOf(&kShDeleteKey);
        double fastest = -1;
        for (double m : {regTree, shDelete}) {
            if (m > 0 && (fastest < 0 || m < fastest)) {
                fastest = m;
            }
        }
        table.rows.push_back(
            {shapeName(c.shape), format("%lu", static_cast<unsigned long>(c.keys)), format("%d", c.repetitions),
             cell(&kRegDeleteTree), cell(&kShDeleteKey), cell(&kDeleteKeyTree),
             ours > 0 && fastest > 0 ? format("%.2f", ours / fastest) : std::string("-"),
             pairedRatio(outcomes[&kDeleteKeyTree], outcomes[&kRegDeleteTree], outcomes[&kShDeleteKey]),
             ours > 0 ? format("%.0f", ours / c.keys * 1e6) : std::string("-"),
             format("%ld", outcomes[&kDeleteKeyTree].allocations)});
        for (const Method* method : {&kRegDeleteTree, &kShDeleteKey, &kDeleteKeyTree}) {
            const double m = medianOf(method);
            if (m > 0) {
                const std::string title = format("%s, %s", shapeName(c.shape), method->name);
                report.seriesFor("tree", title).points.emplace_back(c.keys, m);
                report.seriesFor("treeperkey", title).points.emplace_back(c.keys, m / c.keys * 1e6);
            }
        }
        if (c.countCalls) {
            {
                long allocs = 0;
                const std::string perKey = callsPerKey(root, kDeleteKeyTree, c, &allocs);
                const std::pair<std::string, std::string> found{kDeleteKeyTree.name,
                                                                perKey + "\t" + format("%ld", allocs)};
                const std::string tree = format("%s %lu", shapeName(c.shape), static_cast<unsigned long>(c.keys));
                std::size_t i = 0;
                while (i < counted.size() && counted[i] != found) {
                    ++i;
                }
                if (i == counted.size()) {
                    counted.push_back(found);
                    countedTrees.push_back(tree);
                } else {
                    countedTrees[i] += ", " + tree;
                }
            }
        }
    }

    table.notes.push_back("Shapes: " + format("wide = %s; bushy = %s; deep = %s; values = %s.",
                                              shapeDescription(Shape::Wide), shapeDescription(Shape::Bushy),
                                              shapeDescription(Shape::Deep), shapeDescription(Shape::Values)));
    table.notes.push_back(
        "Deep is bounded by the registry itself: Windows allows at most 512 levels below a hive's root, so a chain "
        "of 100,000 keys cannot exist; chains of 100 keep every path far inside the limits (255 characters per "
        "name) while still making the walk go 101 levels down.");
    table.notes.push_back(
        "Each repetition builds a fresh identical tree for each method (volatile keys under HKCU\\Software\\"
        "InstallHooksBench) and times only its deletion; the methods' order rotates per repetition. Heap "
        "allocations: malloc, calloc, realloc and HeapAlloc through the program's imports during our walk, "
        "largest count of any repetition.");
    table.notes.push_back(
        "ours / fastest platform: our median over the faster platform routine's median. Paired ratio: the median, "
        "over the repetitions, of our time over the faster platform routine's time in the same repetition.");
    if (!buildSeconds.empty()) {
        table.notes.push_back(
            format("Building the trees took %.0f µs per key (median over all trees).", median(buildSeconds) * 1e6));
    }
    calls.notes.push_back(
        "Counted with every import of the program routed through a recording thunk (the walk deletes each key "
        "through its own handle with NtDeleteKey, an import like the others). The platform routines make their "
        "calls inside advapi32/shlwapi, out of reach of our import table. "
        "Rounded to one decimal: the tree's root is the one key that no parent enumerates.");
    for (std::size_t i = 0; i < counted.size(); ++i) {
        const std::string& what = counted[i].second;
        const std::size_t tab = what.find('\t');
        calls.rows.push_back({counted[i].first, what.substr(0, tab), what.substr(tab + 1), countedTrees[i]});
    }
    report.tables.push_back(table);
    if (!calls.rows.empty()) {
        report.tables.push_back(calls);
    }
    root.closeKey();
}

}  // namespace bench
