#pragma once
// The files of the warehouse directory that steer the stream emulator.
//
// Like the warehouse emulator's fault files they are read on every use, so a
// test can change them while streams are open:
//   stream_credentials   lines "id:secret"; without the file any client is accepted
//   stream_token_seconds the lifetime of the tokens issued (default 3600)
//   stream_latency       "ack MS": every acknowledgement waits MS ms
//   stream_faults        lines "KIND COUNT [ARG]", consumed under flock so that
//                        several processes share one budget:
//                          break COUNT N   a stream breaks (UNAVAILABLE) when a
//                                          request would take it past N records;
//                                          that request is not written
//                          close COUNT MS  a new stream is told it closes in MS ms
//                          lost COUNT      a request is written, its
//                                          acknowledgement lost, the stream broken
//                          refuse_tokens COUNT  a token request is refused (401)
//                          exhausted COUNT a new stream is refused with
//                                          RESOURCE_EXHAUSTED
// Free functions over one directory; safe from any thread.

#include <string>

namespace zbemu {

// Returns true iff `id` and `secret` match a line of stream_credentials, or
// the file does not exist.
bool credentialsAccepted(const std::string& dir, const std::string& id, const std::string& secret);
// The token lifetime in seconds.
long tokenSeconds(const std::string& dir);
// The acknowledgement delay in milliseconds.
long ackMillis(const std::string& dir);
// Takes one unit of the first line of `kind` whose count is above 0; returns
// true iff there was one, with that line's argument in `arg` (0 without one).
bool consumeFault(const std::string& dir, const std::string& kind, long& arg);

}  // namespace zbemu
