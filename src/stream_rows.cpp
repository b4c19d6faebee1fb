#include "stream_rows.h"

#include <chrono>

#include "json_record.h"

StreamRows::Pending StreamRows::start(StreamClient& client, const std::string& table,
                                      const CachedTable& columns,
                                      std::vector<DatabaseRecord>& records, size_t& rescued,
                                      std::string& firstReason) {
    JsonRecordEncoder encoder(columns);
    std::vector<std::string> json(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        rescued += encoder.encode(records[i], json[i]);
        // The record is in its JSON text now: its memory goes.
        records[i] = DatabaseRecord();
    }
    if (firstReason.empty())
        firstReason = encoder.firstRescueReason();
    records.clear();
    StreamClient* writer = &client;
    return std::async(std::launch::async,
                      [writer, table, json = std::move(json)]() mutable {
                          return writer->write(table, std::move(json));
                      })
        .share();
}

bool StreamRows::isDone(const Pending& pending) {
    return pending.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}
