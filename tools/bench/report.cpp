#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "bench.h"

namespace bench {

double now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

double median(std::vector<double> samples) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    return samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

std::string format(const char* pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    char buffer[2048];
    std::vsnprintf(buffer, sizeof buffer, pattern, arguments);
    va_end(arguments);
    return buffer;
}

void progress(const char* pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    std::vfprintf(stderr, pattern, arguments);
    va_end(arguments);
    std::fflush(stderr);
}

Series& Report::seriesFor(const std::string& plot, const std::string& title) {
    for (Series& s : series) {
        if (s.plot == plot && s.title == title) {
            return s;
        }
    }
    series.push_back({plot, title, {}});
    return series.back();
}

}  // namespace bench
