#include "rejects.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "datapoint.h"
#include "json_text.h"
#include "reading.h"

const char* const REJECTS_TABLE = "lakesink_rejects";

namespace {
const std::string kString = "STRING";
const std::string kTimestamp = "TIMESTAMP";
const char kUtc[] = "+00:00";

std::string nowUtc() {
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm parts{};
    const time_t seconds = now.tv_sec;
    gmtime_r(&seconds, &parts);
    char text[112];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06ld%s", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<long>(now.tv_usec), kUtc);
    return text;
}
}  // namespace

std::string readingDatapointsJson(const Reading& reading) {
    std::string json = "{";
    bool first = true;
    for (const Datapoint* datapoint : reading.getReadingData()) {
        if (datapoint == nullptr)
            continue;
        if (!first)
            json.push_back(',');
        first = false;
        appendJsonString(json, datapoint->getName());
        json.push_back(':');
        json.append(datapoint->getData().toString());
    }
    json.push_back('}');
    return json;
}

DatabaseRecord makeRejectRecord(const std::string& table, const Reading& reading,
                                const std::string& instance, const std::string& sqlState,
                                const std::string& reason) {
    DatabaseRecord record(REJECTS_TABLE);
    record.reserve(9);
    record.addColumn("table_name", table, kString, CONSTRAINT_NULLABLE);
    record.addColumn("asset_code", reading.getAssetName(), kString, CONSTRAINT_NULLABLE);
    record.addColumn("user_ts", reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true) + kUtc,
                     kTimestamp, CONSTRAINT_NULLABLE);
    record.addColumn("ts", reading.getAssetDateTime(Reading::FMT_DEFAULT, true) + kUtc, kTimestamp,
                     CONSTRAINT_NULLABLE);
    record.addColumn("corvane", instance, kString, CONSTRAINT_NULLABLE);
    record.addColumn("reading", readingDatapointsJson(reading), kString, CONSTRAINT_NULLABLE);
    record.addColumn("sqlstate", sqlState, kString, CONSTRAINT_NULLABLE);
    record.addColumn("reason", reason, kString, CONSTRAINT_NULLABLE);
    record.addColumn("rejected_at", nowUtc(), kTimestamp, CONSTRAINT_NULLABLE);
    return record;
}
