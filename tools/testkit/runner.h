#pragma once

// Running the carried programs, and what the kit leaves behind: nothing.

#include <windows.h>

#include <string>
#include <vector>

namespace testkit {

// Writes the RCDATA resource `id` of this program to `path`.
bool extract(int id, const std::wstring& path);

struct ChildRun {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
    double seconds = 0;
};

// Runs `program arguments` in `folder`, its output into `log`, in a job of
// its own: when it has not ended after `limit` seconds, or when the kit is
// interrupted, the job and every process in it are killed. Processes it
// started that outlive it are ended with it.
ChildRun runChild(const std::wstring& program, const std::wstring& arguments, const std::wstring& folder,
                  const std::wstring& log, double limit);
// Ctrl+C or Ctrl+Break: the running job is killed, and this turns true.
bool interrupted();

// Places on the machine where the tests keep what they make, found as the
// kit first looks; remove() takes away what is there afterwards and was not
// there then (hives are unmounted, keys and folders deleted), and names it.
class Leftovers {
public:
    Leftovers();
    std::vector<std::string> remove() const;

private:
    std::vector<std::wstring> matches() const;
    std::vector<std::wstring> before_;
};

}  // namespace testkit
