#pragma once
// The Zerobus service of the stream emulator: one EphemeralStream call is one
// stream into one table.
//
// The call must carry "authorization: Bearer <token>" and
// "x-databricks-zerobus-table-name"; its first request creates the stream for
// that table with JSON records. Every later request is written to the table
// at once (RecordStore) and acknowledged after the stream_latency delay, in
// order and cumulatively, by a writer thread of the call. Refusals end the
// call with the status of the refusal: UNAUTHENTICATED (token unknown or
// expired), PERMISSION_DENIED (token for another table), NOT_FOUND (no such
// table), INVALID_ARGUMENT (malformed request, records that do not fit the
// table, a table changed since the stream began). The faults of
// stream_faults break, close or lose the stream. Thread-safe: gRPC runs calls
// on its own threads.

#include <string>

#include "token_server.h"
#include "zerobus.grpc.pb.h"

namespace zbemu {

class ZerobusService final : public databricks::zerobus::Zerobus::Service {
  public:
    ZerobusService(std::string dir, const TokenServer& tokens)
        : dir_(std::move(dir)), tokens_(tokens) {}

    grpc::Status EphemeralStream(
        grpc::ServerContext* context,
        grpc::ServerReaderWriter<databricks::zerobus::EphemeralStreamResponse,
                                 databricks::zerobus::EphemeralStreamRequest>* stream) override;

  private:
    std::string dir_;
    const TokenServer& tokens_;
};

}  // namespace zbemu
