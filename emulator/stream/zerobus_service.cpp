#include "zerobus_service.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "record_store.h"
#include "stream_files.h"

namespace zbemu {
namespace {

using databricks::zerobus::EphemeralStreamRequest;
using databricks::zerobus::EphemeralStreamResponse;
using Clock = std::chrono::steady_clock;
using ReaderWriter = grpc::ServerReaderWriter<EphemeralStreamResponse, EphemeralStreamRequest>;

std::string header(const grpc::ServerContext& context, const std::string& key) {
    auto it = context.client_metadata().find(key);
    return it == context.client_metadata().end()
               ? std::string()
               : std::string(it->second.data(), it->second.size());
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// Sends the acknowledgements of one call, each when it is due; cancels the
// call when its close time has come.
class Acknowledger {
  public:
    Acknowledger(grpc::ServerContext& context, ReaderWriter& stream)
        : context_(context), stream_(stream), thread_([this] { run(); }) {}
    ~Acknowledger() { stop(false); }

    void closeAt(Clock::time_point when) {
        std::lock_guard<std::mutex> lock(mutex_);
        closeAt_ = when;
        wake_.notify_all();
    }
    void acknowledge(int64_t offset, Clock::time_point due) {
        std::lock_guard<std::mutex> lock(mutex_);
        due_.push_back({due, offset});
        wake_.notify_all();
    }
    // Ends the thread; with `drain` once every acknowledgement is sent.
    void stop(bool drain) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!drain)
                due_.clear();
            stopping_ = true;
            wake_.notify_all();
        }
        if (thread_.joinable())
            thread_.join();
    }
    bool closed() const { return closed_; }
    std::mutex& writeLock() { return writeMutex_; }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const Clock::time_point next =
                due_.empty() ? closeAt_ : std::min(closeAt_, due_.front().first);
            if (next <= Clock::now() && next == closeAt_ && closeAt_ != Clock::time_point::max()) {
                closed_ = true;
                context_.TryCancel();
                return;
            }
            if (!due_.empty() && due_.front().first <= Clock::now()) {
                const int64_t offset = due_.front().second;
                due_.pop_front();
                lock.unlock();
                send(offset);
                lock.lock();
                continue;
            }
            if (stopping_ && due_.empty())
                return;
            if (next == Clock::time_point::max())
                wake_.wait(lock);
            else
                wake_.wait_until(lock, next);
        }
    }
    void send(int64_t offset) {
        EphemeralStreamResponse response;
        response.mutable_ingest_record_response()->set_durability_ack_up_to_offset(offset);
        std::lock_guard<std::mutex> lock(writeMutex_);
        stream_.Write(response);
    }

    grpc::ServerContext& context_;
    ReaderWriter& stream_;
    std::mutex mutex_;
    std::mutex writeMutex_;
    std::condition_variable wake_;
    std::deque<std::pair<Clock::time_point, int64_t>> due_;
    Clock::time_point closeAt_ = Clock::time_point::max();
    bool stopping_ = false;
    std::atomic<bool> closed_{false};
    std::thread thread_;
};

std::atomic<unsigned long long> streamNumber{0};

}  // namespace

namespace {

// Checks the call's metadata and its create_stream request; opens the table.
// Throws StreamRefusal.
std::unique_ptr<RecordStore> openStream(const std::string& dir, const TokenServer& tokens,
                                        const grpc::ServerContext& context,
                                        const EphemeralStreamRequest& first) {
    const std::string authorization = header(context, "authorization");
    const std::string headerTable = header(context, "x-databricks-zerobus-table-name");
    if (!first.has_create_stream())
        throw StreamRefusal(grpc::INVALID_ARGUMENT, "the first request must create the stream");
    const auto& create = first.create_stream();
    if (headerTable.empty() || !sameName(headerTable, create.table_name()))
        throw StreamRefusal(grpc::INVALID_ARGUMENT,
                            "x-databricks-zerobus-table-name must name the stream's table");
    const std::string bearer = "Bearer ";
    const std::string token =
        authorization.rfind(bearer, 0) == 0 ? authorization.substr(bearer.size()) : "";
    switch (tokens.check(token, create.table_name())) {
        case TokenServer::Verdict::Valid:
            break;
        case TokenServer::Verdict::OtherTable:
            throw StreamRefusal(grpc::PERMISSION_DENIED,
                                "the token does not grant writing " + create.table_name());
        default:
            throw StreamRefusal(grpc::UNAUTHENTICATED, "invalid or expired token");
    }
    if (create.record_type() != databricks::zerobus::JSON)
        throw StreamRefusal(grpc::INVALID_ARGUMENT, "the emulator takes JSON records only");
    return std::make_unique<RecordStore>(dir, create.table_name());
}

// The records of one ingest request.
std::vector<std::string> recordsOf(const EphemeralStreamRequest& request, int64_t& offset) {
    if (request.has_ingest_record_batch()) {
        const auto& batch = request.ingest_record_batch();
        if (!batch.has_json_batch())
            throw StreamRefusal(grpc::INVALID_ARGUMENT, "the emulator takes JSON records only");
        offset = batch.offset_id();
        return {batch.json_batch().records().begin(), batch.json_batch().records().end()};
    }
    if (request.has_ingest_record() && request.ingest_record().has_json_record()) {
        offset = request.ingest_record().offset_id();
        return {request.ingest_record().json_record()};
    }
    throw StreamRefusal(grpc::INVALID_ARGUMENT, "expected a JSON record or batch of records");
}

}  // namespace

grpc::Status ZerobusService::EphemeralStream(grpc::ServerContext* context, ReaderWriter* stream) {
    EphemeralStreamRequest request;
    if (!stream->Read(&request))
        return grpc::Status(grpc::INVALID_ARGUMENT, "no create_stream request");
    std::unique_ptr<RecordStore> store;
    try {
        store = openStream(dir_, tokens_, *context, request);
    } catch (const StreamRefusal& refusal) {
        return grpc::Status(static_cast<grpc::StatusCode>(refusal.code), refusal.what());
    }
    long unused = 0;
    if (consumeFault(dir_, "exhausted", unused))
        return grpc::Status(grpc::RESOURCE_EXHAUSTED, "too many streams (injected fault)");
    const std::string table = request.create_stream().table_name();
    const std::string token = header(*context, "authorization").substr(7);
    long breakAfter = 0;
    const bool breaks = consumeFault(dir_, "break", breakAfter);
    Acknowledger acks(*context, *stream);
    {
        EphemeralStreamResponse created;
        created.mutable_create_stream_response()->set_stream_id("stream-" +
                                                                std::to_string(++streamNumber));
        long closeMs = 0;
        if (consumeFault(dir_, "close", closeMs))
            acks.closeAt(Clock::now() + std::chrono::milliseconds(closeMs));
        std::lock_guard<std::mutex> lock(acks.writeLock());
        stream->Write(created);
        if (closeMs > 0) {
            EphemeralStreamResponse signal;
            signal.mutable_close_stream_signal()->mutable_duration()->set_seconds(closeMs / 1000);
            signal.mutable_close_stream_signal()->mutable_duration()->set_nanos(
                static_cast<int32_t>((closeMs % 1000) * 1000000));
            stream->Write(signal);
        }
    }
    long taken = 0;
    int64_t last = -1;
    while (stream->Read(&request)) {
        try {
            int64_t offset = 0;
            std::vector<std::string> records = recordsOf(request, offset);
            if (offset <= last)
                throw StreamRefusal(grpc::INVALID_ARGUMENT, "offset_id must increase");
            if (tokens_.check(token, table) == TokenServer::Verdict::Expired)
                throw StreamRefusal(grpc::UNAUTHENTICATED, "token expired");
            if (breaks && taken + static_cast<long>(records.size()) > breakAfter)
                throw StreamRefusal(grpc::UNAVAILABLE, "stream broken (injected fault)");
            store->write(records);
            taken += static_cast<long>(records.size());
            last = offset;
            if (consumeFault(dir_, "lost", unused))
                throw StreamRefusal(grpc::UNAVAILABLE, "acknowledgement lost (injected fault)");
            acks.acknowledge(offset, Clock::now() + std::chrono::milliseconds(ackMillis(dir_)));
        } catch (const StreamRefusal& refusal) {
            acks.stop(false);
            return grpc::Status(static_cast<grpc::StatusCode>(refusal.code), refusal.what());
        }
    }
    acks.stop(!acks.closed());
    return acks.closed() ? grpc::Status(grpc::UNAVAILABLE, "stream closed") : grpc::Status::OK;
}

}  // namespace zbemu
