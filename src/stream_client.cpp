#include "stream_client.h"

#include <grpcpp/grpcpp.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>

#include "stream_tokens.h"
#include "zerobus.grpc.pb.h"

namespace zb = databricks::zerobus;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMaxMessageBytes = 16 * 1024 * 1024;
// What a record costs in a request beside its text (field tag and length).
constexpr size_t kRecordOverhead = 8;

// One open stream: the call, and a thread that reads the server's answers.
// Writes go through write(); the reader finishes the call once the server
// ends it, never while a write is under way.
class Call {
  public:
    Call(zb::Zerobus::Stub& stub, const std::string& table, const std::string& token) {
        context.AddMetadata("authorization", "Bearer " + token);
        context.AddMetadata("x-databricks-zerobus-table-name", table);
        stream = stub.EphemeralStream(&context);
        reader = std::thread([this] { readAll(); });
    }
    ~Call() {
        context.TryCancel();
        if (reader.joinable())
            reader.join();
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Returns true iff the request went out on a stream still open.
    bool write(const zb::EphemeralStreamRequest& request) {
        std::lock_guard<std::mutex> lock(writeMutex);
        return !finishing && stream->Write(request);
    }
    // Waits until `done` holds or `until` passes; `done` sees the state locked.
    template <typename Done>
    void waitFor(Clock::time_point until, Done done) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_until(lock, until, [&] { return done(); });
    }

    // The state the reader keeps, read under `mutex` (through waitFor) or
    // through the accessors below.
    bool created = false;
    int64_t acked = -1;
    bool closing = false;  // the server announced it will close the stream
    bool ended = false;
    grpc::Status status;

    int64_t ackedOffset() {
        std::lock_guard<std::mutex> lock(mutex);
        return acked;
    }
    bool hasEnded() {
        std::lock_guard<std::mutex> lock(mutex);
        return ended;
    }
    bool isClosing() {
        std::lock_guard<std::mutex> lock(mutex);
        return closing;
    }

  private:
    void readAll() {
        zb::EphemeralStreamResponse response;
        while (stream->Read(&response)) {
            std::lock_guard<std::mutex> lock(mutex);
            if (response.has_create_stream_response())
                created = true;
            if (response.has_ingest_record_response())
                acked = std::max<int64_t>(
                    acked, response.ingest_record_response().durability_ack_up_to_offset());
            if (response.has_close_stream_signal())
                closing = true;
            changed.notify_all();
        }
        grpc::Status finished;
        {
            std::lock_guard<std::mutex> lock(writeMutex);
            finishing = true;
            finished = stream->Finish();
        }
        std::lock_guard<std::mutex> lock(mutex);
        status = finished;
        ended = true;
        changed.notify_all();
    }

    grpc::ClientContext context;
    std::unique_ptr<
        grpc::ClientReaderWriter<zb::EphemeralStreamRequest, zb::EphemeralStreamResponse>>
        stream;
    std::mutex mutex;
    std::condition_variable changed;
    std::mutex writeMutex;
    bool finishing = false;
    std::thread reader;
};

// Returns true iff a stream that ended so is worth opening again.
bool isTransient(grpc::StatusCode code) {
    switch (code) {
        case grpc::StatusCode::OK:
        case grpc::StatusCode::CANCELLED:
        case grpc::StatusCode::UNKNOWN:
        case grpc::StatusCode::DEADLINE_EXCEEDED:
        case grpc::StatusCode::ABORTED:
        case grpc::StatusCode::INTERNAL:
        case grpc::StatusCode::UNAVAILABLE:
        case grpc::StatusCode::RESOURCE_EXHAUSTED:
            return true;
        default:
            return false;
    }
}

const char* codeName(grpc::StatusCode code) {
    switch (code) {
        case grpc::StatusCode::UNAUTHENTICATED:
            return "UNAUTHENTICATED";
        case grpc::StatusCode::PERMISSION_DENIED:
            return "PERMISSION_DENIED";
        case grpc::StatusCode::NOT_FOUND:
            return "NOT_FOUND";
        case grpc::StatusCode::INVALID_ARGUMENT:
            return "INVALID_ARGUMENT";
        case grpc::StatusCode::UNAVAILABLE:
            return "UNAVAILABLE";
        case grpc::StatusCode::RESOURCE_EXHAUSTED:
            return "RESOURCE_EXHAUSTED";
        case grpc::StatusCode::DEADLINE_EXCEEDED:
            return "DEADLINE_EXCEEDED";
        default:
            return "error";
    }
}

std::string describe(const grpc::Status& status) {
    return std::string(codeName(status.error_code())) + " (" +
           std::to_string(static_cast<int>(status.error_code())) + "): " + status.error_message();
}

}  // namespace

class StreamClient::Service {
  public:
    explicit Service(const StreamSettings& settings) {
        grpc::ChannelArguments args;
        args.SetMaxSendMessageSize(kMaxMessageBytes);
        args.SetMaxReceiveMessageSize(kMaxMessageBytes);
        args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, 30000);
        auto credentials = settings.tls ? grpc::SslCredentials(grpc::SslCredentialsOptions())
                                        : grpc::InsecureChannelCredentials();
        channel = grpc::CreateCustomChannel(settings.target, credentials, args);
        stub = zb::Zerobus::NewStub(channel);
    }

    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<zb::Zerobus::Stub> stub;
    std::atomic<size_t> opened{0};
    // Set once the service refused the credentials for good, with why.
    std::atomic<bool> refused{false};
    std::mutex refusalMutex;
    std::string refusal;

    void refuse(const std::string& why) {
        std::lock_guard<std::mutex> lock(refusalMutex);
        if (!refused)
            refusal = why;
        refused = true;
    }
    std::string refusalText() {
        std::lock_guard<std::mutex> lock(refusalMutex);
        return refusal;
    }
};

class StreamClient::TableStream {
  public:
    TableStream(std::string fullName, Service& service, StreamTokens& tokens,
                const Options& options)
        : fullName(std::move(fullName)), service(service), tokens(tokens), options(options) {}

    Outcome write(std::vector<std::string> records);

  private:
    // One request, kept whole until it is acknowledged, and its offset on
    // the current stream (-1: not sent on it yet).
    struct Chunk {
        zb::EphemeralStreamRequest request;
        int64_t offset = -1;
    };
    enum class Step { Go, Fail, Refuse };
    // One write's retry state.
    struct Attempt {
        Clock::time_point deadline;
        std::chrono::milliseconds backoff;
        bool renewToken = false;
        bool renewed = false;   // the token was renewed after UNAUTHENTICATED
        bool reopened = false;  // a stream refused after it was open was opened again
        std::string lastError;
    };

    void cut(std::vector<std::string>& records);
    Step open(Attempt& attempt, Outcome& out);
    // Returns false when the stream broke while sending.
    bool sendUnsent();
    void dropAcked(Attempt& attempt);
    Step afterEnd(Attempt& attempt, Outcome& out);
    void backOff(Attempt& attempt) const;
    Outcome failed(Outcome& out, const std::string& why);

    const std::string fullName;
    Service& service;
    StreamTokens& tokens;
    const Options& options;
    std::mutex sendMutex;
    std::unique_ptr<Call> call;
    int64_t nextOffset = 1;
    std::deque<Chunk> pending;
};

void StreamClient::TableStream::cut(std::vector<std::string>& records) {
    size_t bytes = 0;
    google::protobuf::RepeatedPtrField<std::string>* json = nullptr;
    for (std::string& record : records) {
        const size_t cost = record.size() + kRecordOverhead;
        if (!json || bytes + cost > options.maxRequestBytes) {
            pending.emplace_back();
            json = pending.back()
                       .request.mutable_ingest_record_batch()
                       ->mutable_json_batch()
                       ->mutable_records();
            bytes = 0;
        }
        bytes += cost;
        *json->Add() = std::move(record);
    }
}

StreamClient::TableStream::Step StreamClient::TableStream::open(Attempt& attempt, Outcome& out) {
    std::string token;
    try {
        token = tokens.token(fullName, attempt.renewToken);
        attempt.renewToken = false;
    } catch (const StreamTokenError& e) {
        if (e.refused) {
            service.refuse(e.what());
            out.result = Result::Refused;
            out.error = e.what();
            return Step::Refuse;
        }
        attempt.lastError = e.what();
        backOff(attempt);
        return Step::Go;
    }
    call = std::make_unique<Call>(*service.stub, fullName, token);
    ++service.opened;
    zb::EphemeralStreamRequest request;
    request.mutable_create_stream()->set_table_name(fullName);
    request.mutable_create_stream()->set_record_type(zb::JSON);
    call->write(request);
    Call& opened = *call;
    opened.waitFor(attempt.deadline, [&] { return opened.created || opened.ended; });
    for (Chunk& chunk : pending)
        chunk.offset = -1;
    return Step::Go;
}

bool StreamClient::TableStream::sendUnsent() {
    for (Chunk& chunk : pending) {
        if (chunk.offset >= 0)
            continue;
        chunk.request.mutable_ingest_record_batch()->set_offset_id(nextOffset);
        if (!call->write(chunk.request))
            return false;
        chunk.offset = nextOffset++;
    }
    return true;
}

void StreamClient::TableStream::dropAcked(Attempt& attempt) {
    const int64_t acked = call->ackedOffset();
    bool progress = false;
    while (!pending.empty() && pending.front().offset >= 0 && pending.front().offset <= acked) {
        pending.pop_front();
        progress = true;
    }
    if (progress) {
        attempt.deadline = Clock::now() + options.ackTimeout;
        attempt.backoff = options.firstBackoff;
    }
}

void StreamClient::TableStream::backOff(Attempt& attempt) const {
    const auto now = Clock::now();
    if (now < attempt.deadline)
        std::this_thread::sleep_for(
            std::min<Clock::duration>(attempt.backoff, attempt.deadline - now));
    attempt.backoff = std::min(attempt.backoff * 2, options.maxBackoff);
}

StreamClient::Outcome StreamClient::TableStream::failed(Outcome& out, const std::string& why) {
    call.reset();
    pending.clear();
    out.result = Result::Failed;
    out.error = why;
    return out;
}

StreamClient::TableStream::Step StreamClient::TableStream::afterEnd(Attempt& attempt,
                                                                    Outcome& out) {
    const grpc::Status status = call->status;
    const bool wasCreated = call->created;
    call.reset();
    const grpc::StatusCode code = status.error_code();
    if (isTransient(code)) {
        attempt.lastError = "stream for " + fullName + " ended: " + describe(status);
        backOff(attempt);
        return Step::Go;
    }
    if (code == grpc::StatusCode::UNAUTHENTICATED) {
        if (!attempt.renewed) {
            attempt.renewed = attempt.renewToken = true;
            return Step::Go;
        }
        const std::string why =
            "the stream service refused the token for " + fullName + ": " + describe(status);
        service.refuse(why);
        out.result = Result::Refused;
        out.error = why;
        return Step::Refuse;
    }
    // A stream refused once it had been open may have met a change the plugin
    // made to the table itself: a new stream sees the table as it is now.
    if (wasCreated && !attempt.reopened) {
        attempt.reopened = true;
        return Step::Go;
    }
    out.error = "table " + fullName + ": the stream service refused it: " + describe(status);
    return Step::Fail;
}

StreamClient::Outcome StreamClient::TableStream::write(std::vector<std::string> records) {
    std::lock_guard<std::mutex> lock(sendMutex);
    Outcome out;
    if (service.refused) {
        out.result = Result::Refused;
        out.error = service.refusalText();
        return out;
    }
    // Between writes every record is acknowledged: a stream about to close,
    // or one whose token is due for renewal, is replaced now.
    if (call && (call->hasEnded() || call->isClosing() || tokens.renewalDue(fullName)))
        call.reset();
    pending.clear();
    cut(records);
    Attempt attempt;
    attempt.deadline = Clock::now() + options.ackTimeout;
    attempt.backoff = options.firstBackoff;
    while (!pending.empty()) {
        if (Clock::now() >= attempt.deadline) {
            return failed(out, "no acknowledgement from the stream for " + fullName + " within " +
                                   std::to_string(options.ackTimeout.count()) + " ms" +
                                   (attempt.lastError.empty() ? "" : "; " + attempt.lastError));
        }
        Step step = call ? Step::Go : open(attempt, out);
        if (step == Step::Go && call) {
            const bool allSent = sendUnsent();
            const int64_t last = allSent ? pending.back().offset : -1;
            Call& current = *call;
            current.waitFor(attempt.deadline,
                            [&] { return current.ended || (last >= 0 && current.acked >= last); });
            dropAcked(attempt);
            if (!pending.empty() && call->hasEnded())
                step = afterEnd(attempt, out);
        }
        if (step == Step::Fail)
            return failed(out, out.error);
        if (step == Step::Refuse) {
            call.reset();
            pending.clear();
            return out;
        }
    }
    out.result = Result::Written;
    return out;
}

StreamClient::StreamClient(const StreamSettings& settings) : StreamClient(settings, Options()) {}

StreamClient::StreamClient(const StreamSettings& settings, Options options)
    : settings(settings),
      options(options),
      tokens(std::make_unique<StreamTokens>(settings)),
      service(std::make_unique<Service>(settings)) {}

StreamClient::~StreamClient() = default;

StreamClient::TableStream& StreamClient::streamOf(const std::string& table) {
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<TableStream>& entry = tables[table];
    if (!entry)
        entry = std::make_unique<TableStream>(settings.fullTableName(table), *service, *tokens,
                                              options);
    return *entry;
}

StreamClient::Outcome StreamClient::write(const std::string& table,
                                          std::vector<std::string> records) {
    if (records.empty())
        return Outcome{Result::Written, ""};
    return streamOf(table).write(std::move(records));
}

size_t StreamClient::streamsOpened() const {
    return service->opened;
}
