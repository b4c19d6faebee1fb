#pragma once
// StreamTransport: the transport that writes a table's rows over the direct
// record stream instead of INSERT statements.
//
// send() encodes every row as a JSON record (JsonRecordEncoder) before it
// returns and starts writing them through the StreamClient on a thread of
// its own, so that the tables of a batch wait for their acknowledgements
// side by side. A send is delivered as one part: written once every record is
// durable; otherwise to be tried again (the records may be in the table
// already: the stream is at-least-once), for good when the service refused
// the credentials. The stream never compares rows with the table's, so
// skipMatching (used only for exactly-once delivery, which the stream does
// not offer) is not looked at. Borrows the client for its life; the
// connector's thread calls every member.

#include <future>
#include <map>

#include "stream_client.h"
#include "transport.h"

class StreamTransport : public Transport {
  public:
    explicit StreamTransport(StreamClient& client) : client(client) {}

    void overlap(bool) override {}
    // Tables are written side by side however many there are.
    size_t lanes() const override { return kLanes; }
    Ticket send(const TableRows& rows) override;
    bool isDone(Ticket ticket) override;
    Delivery take(Ticket ticket) override;

  private:
    static constexpr size_t kLanes = 64;
    struct Sending {
        std::vector<size_t> readings;
        std::future<StreamClient::Outcome> outcome;
    };

    StreamClient& client;
    std::map<Ticket, Sending> sends;
    Ticket nextTicket = 0;
};
