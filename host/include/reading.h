#pragma once
// A reading of the host's common library: an asset code, a timestamp, a user
// timestamp and a list of datapoints. The reading owns its datapoints.
// Timestamps are microseconds since the Unix epoch, UTC; both default to the
// time of construction. Not thread-safe.

#include <cstdint>
#include <string>
#include <vector>

#include "datapoint.h"

class Reading {
  public:
    typedef enum dateTimeFormat {
        FMT_DEFAULT = 0,
        FMT_STANDARD,
        FMT_ISO8601
    } readingsDateTimeFormat;

    Reading(const std::string& asset, std::vector<Datapoint*> values);
    Reading(const std::string& asset, Datapoint* value);
    Reading(const Reading& other);
    Reading& operator=(const Reading&) = delete;
    ~Reading();

    const std::string& getAssetName() const { return asset; }
    void setAssetName(const std::string& name) { asset = name; }

    std::vector<Datapoint*>& getReadingData() { return values; }
    const std::vector<Datapoint*>& getReadingData() const { return values; }
    // The first datapoint of that name, or null.
    Datapoint* getDatapoint(const std::string& name) const;
    // Appends a datapoint; the reading takes ownership.
    void addDatapoint(Datapoint* value) { values.push_back(value); }

    void setTimestamp(uint64_t microseconds) { timestamp = microseconds; }
    void setUserTimestamp(uint64_t microseconds) { userTimestamp = microseconds; }
    uint64_t getTimestamp() const { return timestamp; }
    uint64_t getUserTimestamp() const { return userTimestamp; }

    // FMT_DEFAULT: "YYYY-MM-DD HH:MM:SS" plus ".ffffff" when addMS is true.
    // FMT_STANDARD: "YYYY-MM-DD HH:MM:SS" plus ".ffffff" when addMS is true.
    // FMT_ISO8601: "YYYY-MM-DDTHH:MM:SS" plus ".ffffff" when addMS, then "Z".
    // Always UTC.
    std::string getAssetDateTime(readingsDateTimeFormat format = FMT_DEFAULT,
                                 bool addMS = true) const;
    std::string getAssetDateUserTime(readingsDateTimeFormat format = FMT_DEFAULT,
                                     bool addMS = true) const;

    static std::string formatTime(uint64_t microseconds, readingsDateTimeFormat format, bool addMS);

  private:
    std::string asset;
    uint64_t timestamp;
    uint64_t userTimestamp;
    std::vector<Datapoint*> values;
};
