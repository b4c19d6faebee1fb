#include "rejects.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "datapoint.h"
#include "json_text.h"
#include "reading.h"

namespace {
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
        appendDatapointJson(json, datapoint->getData(), NonFiniteAs::Strings);
    }
    json.push_back('}');
    return json;
}

DatabaseRecord makeRejectRecord(const std::string& table, const Reading& reading,
                                const std::string& instance, const std::string& sqlState,
                                const std::string& reason) {
    std::string values[REJECT_FIELD_COUNT];
    values[REJECT_TABLE_NAME] = table;
    values[REJECT_ASSET_CODE] = reading.getAssetName();
    values[REJECT_USER_TS] = reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true) + kUtc;
    values[REJECT_TS] = reading.getAssetDateTime(Reading::FMT_DEFAULT, true) + kUtc;
    values[REJECT_INSTANCE] = instance;
    values[REJECT_READING] = readingDatapointsJson(reading);
    values[REJECT_SQLSTATE] = sqlState;
    values[REJECT_REASON] = reason;
    values[REJECT_REJECTED_AT] = nowUtc();
    DatabaseRecord record(REJECTS_TABLE);
    record.reserve(REJECT_FIELD_COUNT);
    for (size_t field = 0; field < REJECT_FIELD_COUNT; ++field) {
        record.addColumn(REJECTS_COLUMNS[field].name, std::move(values[field]),
                         REJECTS_COLUMNS[field].type, CONSTRAINT_NULLABLE);
    }
    return record;
}
