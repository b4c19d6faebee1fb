#include "stream_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace zbemu {
namespace {

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

long valueOf(const std::string& path, const std::string& key, long fallback) {
    for (const std::string& line : readLines(path)) {
        std::istringstream in(line);
        std::string name;
        long value = 0;
        if (key.empty()) {
            if (in >> value)
                return value;
        } else if (in >> name >> value && name == key) {
            return value;
        }
    }
    return fallback;
}

// A file descriptor locked exclusively for its life.
class LockedFile {
  public:
    explicit LockedFile(const std::string& path) : fd_(::open(path.c_str(), O_RDWR)) {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~LockedFile() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

}  // namespace

bool credentialsAccepted(const std::string& dir, const std::string& id, const std::string& secret) {
    const std::string path = dir + "/stream_credentials";
    if (::access(path.c_str(), F_OK) != 0)
        return true;
    for (const std::string& line : readLines(path)) {
        if (line == id + ":" + secret)
            return true;
    }
    return false;
}

long tokenSeconds(const std::string& dir) {
    return valueOf(dir + "/stream_token_seconds", "", 3600);
}

long ackMillis(const std::string& dir) {
    return valueOf(dir + "/stream_latency", "ack", 0);
}

bool consumeFault(const std::string& dir, const std::string& kind, long& arg) {
    const std::string path = dir + "/stream_faults";
    LockedFile lock(path);
    if (!lock.ok())
        return false;
    std::vector<std::string> lines = readLines(path);
    bool found = false;
    for (std::string& line : lines) {
        std::istringstream in(line);
        std::string name;
        long count = 0;
        if (found || !(in >> name >> count) || name != kind || count <= 0)
            continue;
        arg = 0;
        in >> arg;
        line = kind + " " + std::to_string(count - 1) + (arg ? " " + std::to_string(arg) : "");
        found = true;
    }
    if (found) {
        std::ofstream out(path, std::ios::trunc);
        for (const std::string& line : lines)
            out << line << '\n';
    }
    return found;
}

}  // namespace zbemu
