#include "stream_emulator.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

extern char** environ;

StreamEmulator::StreamEmulator(const std::string& warehouse) : dir(warehouse) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        throw std::runtime_error("cannot make a pipe");
    std::vector<std::string> argv{
        LAKESINK_STREAM_EMULATOR_PATH, "--warehouse", dir, "--grpc-port", "0", "--http-port", "0"};
    std::vector<char*> raw;
    for (std::string& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    // Its own messages would hold a caller's pipe open after the caller ends.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&child, argv[0].c_str(), &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        child = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
    FILE* out = fdopen(pipeFds[0], "r");
    char line[128] = {0};
    const bool ready = fgets(line, sizeof line, out) &&
                       std::sscanf(line, "listening grpc=%d http=%d", &grpc, &http) == 2;
    fclose(out);
    if (!ready) {
        // No destructor runs for an object whose constructor throws.
        stop();
        throw std::runtime_error("the stream emulator did not start");
    }
}

StreamEmulator::~StreamEmulator() {
    stop();
}

void StreamEmulator::stop() {
    if (child <= 0)
        return;
    kill(child, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 50 && !ended; ++i) {
        ended = waitpid(child, nullptr, WNOHANG) == child;
        if (!ended)
            usleep(100000);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    child = -1;
}

void StreamEmulator::write(const std::string& file, const std::string& text) const {
    std::ofstream(dir + "/" + file, std::ios::trunc) << text;
}

void StreamEmulator::setFaults(const std::string& lines) const {
    write("stream_faults", lines);
}

void StreamEmulator::setCredentials(const std::string& lines) const {
    write("stream_credentials", lines);
}

void StreamEmulator::setAckMillis(long ms) const {
    write("stream_latency", "ack " + std::to_string(ms) + "\n");
}

void StreamEmulator::setTokenSeconds(long seconds) const {
    write("stream_token_seconds", std::to_string(seconds) + "\n");
}
