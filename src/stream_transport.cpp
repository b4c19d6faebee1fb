#include "stream_transport.h"

#include <chrono>

#include "json_record.h"

Transport::Ticket StreamTransport::send(const TableRows& rows) {
    const JsonRecordEncoder encoder(rows.columns);
    Sending sending;
    std::vector<std::string> records;
    records.reserve(rows.rows.size());
    sending.readings.reserve(rows.rows.size());
    while (const RowView* row = rows.rows.next()) {
        records.emplace_back();
        encoder.encode(*row, records.back());
        sending.readings.push_back(row->reading);
    }
    StreamClient* writer = &client;
    sending.outcome = std::async(
        std::launch::async, [writer, table = rows.table, records = std::move(records)]() mutable {
            return writer->write(table, std::move(records));
        });
    const Ticket ticket = nextTicket++;
    sends.emplace(ticket, std::move(sending));
    return ticket;
}

bool StreamTransport::isDone(Ticket ticket) {
    auto it = sends.find(ticket);
    return it == sends.end() ||
           it->second.outcome.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

Delivery StreamTransport::take(Ticket ticket) {
    auto it = sends.find(ticket);
    if (it == sends.end())
        return {};
    Sending sending = std::move(it->second);
    sends.erase(it);
    const StreamClient::Outcome done = sending.outcome.get();
    DeliveredPart part{std::move(sending.readings), Written{}};
    if (done.result != StreamClient::Result::Written) {
        Retry retry;
        retry.cause = done.error;
        retry.mayHaveWritten = true;
        retry.refusedForGood = done.result == StreamClient::Result::Refused;
        part.result = retry;
    }
    Delivery delivery;
    delivery.push_back(std::move(part));
    return delivery;
}
