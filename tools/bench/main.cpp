// installhooks_bench.exe [--quick] [--only dll|tree|migration|sweep] [--out DIR]
//
// Measures how the hooks' operations grow with the size of what they work
// on, against the platform's own routines, and writes the tables to
// DIR\results.md and DIR\results.tsv and the plot data to DIR\*.dat
// (scripts/bench turns those into DIR\results.png). Runs in a throwaway Wine
// prefix: it builds and deletes large registry trees, scheduler keys and
// profile folders.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "bench.h"
#include "counting.h"
#include "machine/machine.h"

namespace bench {
namespace {

std::string markdown(const Table& table) {
    std::string text = "### " + table.title + "\n\n|";
    for (const std::string& cell : table.header) {
        text += " " + cell + " |";
    }
    text += "\n|";
    for (std::size_t i = 0; i < table.header.size(); ++i) {
        text += i == 0 ? "---|" : "---:|";
    }
    text += "\n";
    for (const auto& row : table.rows) {
        text += "|";
        for (const std::string& cell : row) {
            text += " " + cell + " |";
        }
        text += "\n";
    }
    for (const std::string& note : table.notes) {
        text += "\n" + note + "\n";
    }
    return text + "\n";
}

std::string tsv(const Table& table) {
    std::string text = "# " + table.title + "\n";
    for (std::size_t i = 0; i < table.header.size(); ++i) {
        text += (i == 0 ? "" : "\t") + table.header[i];
    }
    text += "\n";
    for (const auto& row : table.rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            text += (i == 0 ? "" : "\t") + row[i];
        }
        text += "\n";
    }
    return text + "\n";
}

bool writeText(const std::wstring& path, const std::string& text) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        progress("cannot write %ls\n", path.c_str());
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// One file per panel; each series is a gnuplot data block whose first line
// is its title, blocks separated by two blank lines.
void writePlotData(const std::wstring& outDir, const Report& report) {
    for (const char* plot : {"tree", "treeperkey", "migration", "sweep"}) {
        std::string text;
        for (const Series& series : report.series) {
            if (series.plot != plot || series.points.empty()) {
                continue;
            }
            text += "\"" + series.title + "\"\n";
            for (const auto& [x, y] : series.points) {
                text += format("%.0f\t%.9g\n", x, y);
            }
            text += "\n\n";
        }
        std::wstring path = outDir + L"\\" + std::wstring(plot, plot + std::strlen(plot)) + L".dat";
        if (!text.empty()) {
            writeText(path, text);
        } else {
            DeleteFileW(path.c_str());
        }
    }
}

}  // namespace
}  // namespace bench

int wmain(int argc, wchar_t** argv) {
    bench::Options options;
    std::wstring only;  // one section: dll, tree, migration or sweep
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--quick") == 0) {
            options.quick = true;
        } else if (std::wcscmp(argv[i], L"--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (std::wcscmp(argv[i], L"--out") == 0 && i + 1 < argc) {
            options.outDir = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: installhooks_bench.exe [--quick] [--only dll|tree|migration|sweep] [--out DIR]\n");
            return 2;
        }
    }
    if (!machine::createDirectories(options.outDir)) {
        std::fprintf(stderr, "cannot create %ls\n", options.outDir.c_str());
        return 1;
    }

    bench::countViewAwareDeletions();
    bench::Report report;
    const double start = bench::now();
    auto wanted = [&](const wchar_t* section) { return only.empty() || only == section; };
    if (wanted(L"dll")) {
        bench::progress("the DLL\n");
        bench::runDllLoad(options, report);
    }
    if (wanted(L"tree")) {
        bench::progress("tree deletion\n");
        bench::runTreeDeletion(options, report);
    }
    if (wanted(L"migration")) {
        bench::progress("scheduler task migration\n");
        bench::runSchedulerMigration(options, report);
    }
    if (wanted(L"sweep")) {
        bench::progress("offline profile sweep\n");
        bench::runProfileSweep(options, report);
    }
    const double total = bench::now() - start;

    std::string markdown =
        bench::format("Mode: %s. Whole run: %.0f s under Wine.\n\n", options.quick ? "quick (--quick)" : "full", total);
    std::string tsv;
    for (const bench::Table& table : report.tables) {
        markdown += bench::markdown(table);
        tsv += bench::tsv(table);
    }
    std::fwrite(markdown.data(), 1, markdown.size(), stdout);
    std::fflush(stdout);
    const bool written = bench::writeText(options.outDir + L"\\results.md", markdown) &&
                         bench::writeText(options.outDir + L"\\results.tsv", tsv);
    bench::writePlotData(options.outDir, report);
    return written ? 0 : 1;
}
