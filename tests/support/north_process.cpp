#include "north_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
}  // namespace

NorthProcess::NorthProcess(const std::vector<std::string>& arguments,
                           const std::string& stdinPath) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lakesink-north-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a scratch directory");
    dir = pattern;

    std::vector<std::string> argv{LAKESINK_NORTH_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> raw;
    for (auto& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    const std::string input = stdinPath.empty() ? "/dev/null" : stdinPath;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir + "/stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir + "/stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int rc = posix_spawn(&child, argv[0].c_str(), &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        child = -1;
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

NorthProcess::~NorthProcess() {
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

bool NorthProcess::finished(int& status) {
    if (child <= 0) {
        status = exitStatus;
        return true;
    }
    int raw = 0;
    if (waitpid(child, &raw, WNOHANG) != child)
        return false;
    child = -1;
    exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
    status = exitStatus;
    return true;
}

NorthOutcome NorthProcess::wait(std::chrono::seconds limit) {
    NorthOutcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool killed = false;
    while (!finished(outcome.status)) {
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            killed = true;
            ADD_FAILURE() << "corvane-north did not finish in time";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    outcome.out = output();
    outcome.err = errors();
    return outcome;
}

std::string NorthProcess::output() const {
    return readFile(dir + "/stdout");
}

std::string NorthProcess::errors() const {
    return readFile(dir + "/stderr");
}

NorthOutcome runNorthProcess(const std::vector<std::string>& arguments,
                             const std::string& stdinPath, std::chrono::seconds limit) {
    NorthProcess north(arguments, stdinPath);
    return north.wait(limit);
}
