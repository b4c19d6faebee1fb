#pragma once
// StreamTokens: the OAuth tokens of the direct ingest stream, one per table.
//
// A token is asked for with the client-credentials grant at the configured
// token endpoint (libcurl, HTTP Basic authentication with the service
// principal, the system's CA store for TLS), scoped to one table
// (catalog.schema.table) with the Unity Catalog privileges the stream needs.
// It is kept until shortly before its expires_in runs out (a tenth of its
// life, at most five minutes), so a stream opened with it is renewed before
// the token expires. Neither the client secret nor a token is ever logged or
// put into an error message. Thread-safe: one mutex guards the cache; a
// request runs outside it.

#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "stream_settings.h"

// A token request that failed; `refused` when the endpoint refused the
// credentials or the request (worth no retry until the settings change).
class StreamTokenError : public std::runtime_error {
  public:
    StreamTokenError(const std::string& message, bool refused)
        : std::runtime_error(message), refused(refused) {}
    bool refused;
};

class StreamTokens {
  public:
    using Clock = std::chrono::steady_clock;

    explicit StreamTokens(const StreamSettings& settings);

    // A token for `table` (catalog.schema.table): the cached one unless it is
    // due for renewal or `renew` is set. Throws StreamTokenError.
    std::string token(const std::string& table, bool renew = false);
    // Returns true iff the cached token of `table` is due for renewal (or
    // there is none).
    bool renewalDue(const std::string& table) const;
    // The form fields of the token request for `table`, URL-encoded.
    std::string requestBody(const std::string& table) const;

  private:
    struct Cached {
        std::string token;
        Clock::time_point renewAt;
    };
    // Asks the endpoint; returns the token and its lifetime in seconds.
    std::string fetch(const std::string& table, long& seconds) const;

    StreamSettings settings;
    mutable std::mutex mutex;
    std::map<std::string, Cached> cache;
};
