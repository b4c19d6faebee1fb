#pragma once
// Runs a command line of /bin/sh for a test and collects what it printed and
// how it ended. The caller owns the result; the call blocks until the command
// ends. Thread-safe: no shared state.

#include <string>

struct ShellOutcome {
    int status = -1;     // exit status; -1 when it did not exit or could not start
    std::string output;  // standard output (add "2>&1" to the command for errors)
};

// Runs `command` with /bin/sh -c and waits for its end.
ShellOutcome runShellCommand(const std::string& command);

// The standard output of `command`, without its trailing line breaks.
std::string shellOutputLine(const std::string& command);
