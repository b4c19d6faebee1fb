#pragma once
// One corvane-north process started by a test: its standard input from a file
// (or /dev/null), its standard output and error into files of a scratch
// directory of its own. The process is killed, and the directory removed, when
// the object dies.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct NorthOutcome {
    int status = -1;  // exit status, or 1000 + signal when killed
    std::string out;
    std::string err;
};

class NorthProcess {
  public:
    // Starts corvane-north with the arguments; throws std::runtime_error when
    // it cannot be started.
    explicit NorthProcess(const std::vector<std::string>& arguments,
                          const std::string& stdinPath = "");
    ~NorthProcess();
    NorthProcess(const NorthProcess&) = delete;
    NorthProcess& operator=(const NorthProcess&) = delete;

    pid_t pid() const { return child; }
    // True once the process has ended; its exit status is then in `status`.
    bool finished(int& status);
    // Waits for the end, killing the process after `limit` (a test failure),
    // and collects its output.
    NorthOutcome wait(std::chrono::seconds limit = std::chrono::seconds(60));
    std::string output() const;
    std::string errors() const;

  private:
    std::string dir;
    pid_t child = -1;
    int exitStatus = -1;
};

// Runs corvane-north to its end.
NorthOutcome runNorthProcess(const std::vector<std::string>& arguments,
                             const std::string& stdinPath = "",
                             std::chrono::seconds limit = std::chrono::seconds(60));
