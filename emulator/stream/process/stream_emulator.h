#pragma once
// A lakesink-stream-emulator process for one test or benchmark, serving the
// stream and token endpoints on free loopback ports over the warehouse
// directory it is given. The object owns the process, which is ended (SIGTERM,
// then SIGKILL) when the object dies. Not thread-safe: one owner uses it.

#include <sys/types.h>

#include <string>

class StreamEmulator {
  public:
    // Starts the emulator and waits for its "listening" line; throws
    // std::runtime_error when it does not come.
    explicit StreamEmulator(const std::string& warehouse);
    ~StreamEmulator();
    StreamEmulator(const StreamEmulator&) = delete;
    StreamEmulator& operator=(const StreamEmulator&) = delete;

    int grpcPort() const { return grpc; }
    int httpPort() const { return http; }
    std::string streamEndpoint() const { return "http://127.0.0.1:" + std::to_string(grpc); }
    std::string tokenEndpoint() const {
        return "http://127.0.0.1:" + std::to_string(http) + "/oidc/v1/token";
    }
    // Files of the warehouse directory that steer the emulator.
    void setFaults(const std::string& lines) const;
    void setCredentials(const std::string& lines) const;
    void setAckMillis(long ms) const;
    void setTokenSeconds(long seconds) const;

  private:
    // Ends the process (SIGTERM, then SIGKILL after five seconds) and reaps it.
    void stop();
    void write(const std::string& file, const std::string& text) const;

    std::string dir;
    pid_t child = -1;
    int grpc = 0;
    int http = 0;
};
