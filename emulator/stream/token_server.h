#pragma once
// The token side of the stream emulator: an OAuth client-credentials endpoint
// over HTTP (POST /oidc/v1/token) and the registry of the tokens it issued.
//
// A token request must carry HTTP Basic credentials that stream_credentials
// accepts, grant_type=client_credentials and authorization_details naming
// exactly one TABLE; the token it gets is valid for that table only, for
// stream_token_seconds. The refuse_tokens fault answers 401. Tokens are
// random and live in memory. Thread-safe.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace zbemu {

class TokenServer {
  public:
    explicit TokenServer(std::string dir);
    ~TokenServer();
    TokenServer(const TokenServer&) = delete;
    TokenServer& operator=(const TokenServer&) = delete;

    // Binds 127.0.0.1:port (0: a free port) and serves in a thread. Returns
    // the port, or -1 when it cannot bind.
    int start(int port);
    void stop();

    enum class Verdict { Valid, Unknown, Expired, OtherTable };
    // Whether `token` was issued for `table` (catalog.schema.table, compared
    // in lower case) and has not expired.
    Verdict check(const std::string& token, const std::string& table) const;

  private:
    struct Grant {
        std::string table;
        std::chrono::steady_clock::time_point expires;
    };
    // The token answer for a form body with the given Basic credentials; sets
    // `status` to the HTTP status.
    std::string issue(const std::string& authorization, const std::string& body, int& status);

    std::string dir_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Grant> grants_;
    unsigned long long issued_ = 0;
};

}  // namespace zbemu
