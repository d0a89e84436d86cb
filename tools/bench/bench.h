#pragma once

// The benchmark program's shared parts: a clock, medians, the tables it
// prints and writes, and the series it plots. Each section of the run lives
// in its own file and fills a Report.

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct Options {
    bool quick = false;
    std::wstring outDir = L"build\\bench";
};

// Seconds on the performance counter.
// Creates or opens a key with full access; null when that fails.
HKEY createKey(HKEY parent, const wchar_t* name);
bool setString(HKEY key, const wchar_t* name, const wchar_t* text);

double now();
double median(std::vector<double> samples);

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
// Progress goes to stderr, so the table on stdout stays clean.
void progress(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

struct Table {
    std::string title;
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> notes;
};

// One line of a plot: y against x, under a title.
struct Series {
    std::string plot;  // which panel: "tree", "treeperkey", "migration", "sweep"
    std::string title;
    std::vector<std::pair<double, double>> points;
};

struct Report {
    std::vector<Table> tables;
    std::vector<Series> series;

    Series& seriesFor(const std::string& plot, const std::string& title);
};

void runTreeDeletion(const Options& options, Report& report);
void runSchedulerMigration(const Options& options, Report& report);
void runProfileSweep(const Options& options, Report& report);
void runDllLoad(const Options& options, Report& report);

}  // namespace bench
