#pragma once
// StreamClient: writes JSON records into tables over the direct ingest
// stream (Zerobus), one stream per table, kept open across batches.
//
// write() sends a table's records in ingest_record_batch requests of at most
// about 4 MB, each under an offset that increases along the stream, and
// returns once the server's cumulative durability acknowledgement covers the
// last of them. A broken stream (UNAVAILABLE, INTERNAL, DEADLINE_EXCEEDED, a
// reset, or a stream the server closed) is replaced and every record not yet
// acknowledged is sent again, so records acknowledged nowhere may arrive
// twice: the stream is at-least-once. RESOURCE_EXHAUSTED and an unreachable
// service back off and retry. When the server announces that it will close
// a stream, the next write opens its successor first. No acknowledgement for
// ackTimeout fails the write, whose caller keeps the readings. UNAUTHENTICATED
// renews the token once; a second one, or a token endpoint that refuses the
// credentials, fails for good until the client is made anew. A table the
// service refuses (PERMISSION_DENIED, NOT_FOUND, INVALID_ARGUMENT) fails the
// write with a message naming it.
//
// gRPC stays inside this unit: the header names none of its types. Writes to
// different tables may run on different threads at once; writes to one table
// are serialised. Neither tokens nor the client secret are ever logged.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stream_settings.h"

class StreamTokens;

class StreamClient {
  public:
    struct Options {
        std::chrono::milliseconds ackTimeout{30000};  // no acknowledgement for this long fails
        size_t maxRequestBytes = 4000000;             // records per request, in bytes
        std::chrono::milliseconds firstBackoff{100};
        std::chrono::milliseconds maxBackoff{5000};
    };
    enum class Result {
        Written,  // every record is durable
        Failed,   // not all are known durable; the batch may be sent again
        Refused,  // the service refused the credentials: it fails for good
    };
    struct Outcome {
        Result result = Result::Failed;
        std::string error;  // why it was not written, for the log
    };

    explicit StreamClient(const StreamSettings& settings);
    StreamClient(const StreamSettings& settings, Options options);
    ~StreamClient();
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    // Writes the records (each one JSON object) into `table` of the
    // configured catalog and schema and waits until they are durable.
    Outcome write(const std::string& table, std::vector<std::string> records);
    // How many streams were opened so far, over all tables.
    size_t streamsOpened() const;

    class TableStream;
    class Service;

  private:
    TableStream& streamOf(const std::string& table);

    StreamSettings settings;
    Options options;
    std::unique_ptr<StreamTokens> tokens;
    std::unique_ptr<Service> service;
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<TableStream>> tables;
};
