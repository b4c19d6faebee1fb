#pragma once
// Builders of host readings for tests.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "reading.h"

// Owns the readings of one batch and hands out the host's pointer vector.
class Batch {
  public:
    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Adds a reading and returns it so the caller can add datapoints.
    Reading& add(const std::string& asset, uint64_t timestampMicros = 1767225600000000ULL);
    const std::vector<Reading*>& pointers() const { return raw; }
    size_t size() const { return raw.size(); }

  private:
    std::vector<std::unique_ptr<Reading>> owned;
    std::vector<Reading*> raw;
};

// Datapoint factories (the reading takes ownership when added).
Datapoint* textPoint(const std::string& name, const std::string& value);
Datapoint* intPoint(const std::string& name, long value);
Datapoint* floatPoint(const std::string& name, double value);
Datapoint* floatArrayPoint(const std::string& name, const std::vector<double>& values);
// A dict (or list) whose children are the given datapoints.
Datapoint* dictPoint(const std::string& name, std::vector<Datapoint*> children);
Datapoint* listPoint(const std::string& name, std::vector<Datapoint*> children);
Datapoint* imagePoint(const std::string& name);
Datapoint* bufferPoint(const std::string& name);
// A hint datapoint naming the table as the Databricks dialect expects it.
Datapoint* hintPoint(const std::string& json);
