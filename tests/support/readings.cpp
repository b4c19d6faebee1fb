#include "readings.h"

Reading& Batch::add(const std::string& asset, uint64_t timestampMicros) {
    owned.push_back(std::make_unique<Reading>(asset, std::vector<Datapoint*>{}));
    Reading& reading = *owned.back();
    reading.setTimestamp(timestampMicros);
    reading.setUserTimestamp(timestampMicros);
    raw.push_back(&reading);
    return reading;
}

namespace {
template <typename T>
Datapoint* point(const std::string& name, T value) {
    DatapointValue v(value);
    return new Datapoint(name, v);
}
}  // namespace

Datapoint* textPoint(const std::string& name, const std::string& value) {
    return point(name, value);
}
Datapoint* intPoint(const std::string& name, long value) {
    return point(name, value);
}
Datapoint* floatPoint(const std::string& name, double value) {
    return point(name, value);
}
Datapoint* floatArrayPoint(const std::string& name, const std::vector<double>& values) {
    DatapointValue v(values);
    return new Datapoint(name, v);
}
Datapoint* dictPoint(const std::string& name, std::vector<Datapoint*> children) {
    DatapointValue v(new std::vector<Datapoint*>(std::move(children)), true);
    return new Datapoint(name, v);
}
Datapoint* listPoint(const std::string& name, std::vector<Datapoint*> children) {
    DatapointValue v(new std::vector<Datapoint*>(std::move(children)), false);
    return new Datapoint(name, v);
}
Datapoint* imagePoint(const std::string& name) {
    DatapointValue v(new DPImage(2, 2, 8, std::vector<uint8_t>{1, 2, 3, 4}));
    return new Datapoint(name, v);
}
Datapoint* bufferPoint(const std::string& name) {
    DatapointValue v(new DataBuffer(1, std::vector<uint8_t>{9, 8, 7}));
    return new Datapoint(name, v);
}
Datapoint* hintPoint(const std::string& json) {
    return textPoint("databricksHint", json);
}
