#pragma once

// Counting what a piece of our code asks of the platform, through the bench
// program's own import table (the product's code is linked into it, so its
// calls go through that table): heap allocations, each registry call, and the
// time spent inside chosen calls.

#include <windows.h>

#include <map>
#include <memory>
#include <string>

#include "support/iat_patch.h"

namespace bench {

// Must run before the product's code first deletes a key: the view-aware
// deletion is looked up once per process with GetProcAddress, so no import
// table sees those calls. The lookup is answered with a counting forwarder,
// which costs one extra jump per deleted key.
void countViewAwareDeletions();
long viewAwareDeletions();

// Counts malloc, calloc, realloc and HeapAlloc made through the program's
// imports (operator new goes through malloc) while the object lives.
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    void reset();
    long count() const;

private:
    std::unique_ptr<testing_support::IatPatch> malloc_, calloc_, realloc_, heapAlloc_;
};

// Every call made through the program's import table while `work` runs, by
// function name; the looked-up RegDeleteKeyExW is added under its own name.
template <typename Work>
std::map<std::string, long> countImportCalls(Work&& work);

// Accumulates the time spent inside RegLoadKeyW and RegUnLoadKeyW, called
// through the program's imports, while the object lives.
class HiveMountTimer {
public:
    HiveMountTimer();
    ~HiveMountTimer();
    HiveMountTimer(const HiveMountTimer&) = delete;
    HiveMountTimer& operator=(const HiveMountTimer&) = delete;

    bool applied() const;
    void reset();
    double loadSeconds() const;
    double unloadSeconds() const;
    long loads() const;
    long unloads() const;

private:
    std::unique_ptr<testing_support::IatPatch> load_, unload_;
};

std::map<std::string, long> recordImportCalls(void (*work)(void*), void* context);

template <typename Work>
std::map<std::string, long> countImportCalls(Work&& work) {
    return recordImportCalls([](void* context) { (*static_cast<Work*>(context))(); }, &work);
}

}  // namespace bench
