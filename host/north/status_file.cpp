#include "status_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

std::string utcTime(std::time_t when) {
    struct tm parts;
    gmtime_r(&when, &parts);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string("\"") + text + "\"";
}

std::string number(uint64_t value) {
    return std::to_string(value);
}

}  // namespace

std::string statusJson(const ServiceStatus& status) {
    char backoff[32];
    snprintf(backoff, sizeof backoff, "%.3f", status.backoffSeconds);
    std::string json = "{\"state\": \"" + status.state + "\"";
    json += ", \"updated\": " + utcTime(std::time(nullptr));
    json += ", \"pid\": " + std::to_string(getpid());
    json += ", \"readings_read\": " + number(status.read);
    json += ", \"readings_sent\": " + number(status.sent);
    json += ", \"readings_unsent\": " + number(status.read - status.sent);
    json += ", \"lines_rejected\": " + number(status.rejectedLines);
    json += ", \"blocks\": " + number(status.blocks);
    json += ", \"failed_attempts\": " + number(status.failedAttempts);
    json += ", \"failed_attempts_in_a_row\": " + number(status.failedInARow);
    json += std::string(", \"backoff_seconds\": ") + backoff;
    json += ", \"last_success\": " +
            (status.lastSuccess ? utcTime(*status.lastSuccess) : std::string("null"));
    json += ", \"position\": " + number(status.position);
    json += ", \"checkpoint_position\": " +
            (status.checkpoint ? number(status.position) : std::string("null"));
    return json + "}";
}

void writeStatusFile(const std::string& path, const ServiceStatus& status) {
    const std::string temporary = path + ".tmp";
    const std::string text = statusJson(status) + "\n";
    FILE* file = fopen(temporary.c_str(), "w");
    if (!file) {
        throw std::runtime_error("status file " + path + ": cannot create " + temporary + ": " +
                                 std::strerror(errno));
    }
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    const int error = errno;
    if (fclose(file) != 0 || !written) {
        throw std::runtime_error("status file " + path + ": cannot write " + temporary + ": " +
                                 std::strerror(written ? errno : error));
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("status file " + path + ": cannot rename " + temporary +
                                 " over it: " + std::strerror(errno));
    }
}
