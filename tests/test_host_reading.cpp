// Readings of the host library: ownership, datapoint lookup and the timestamp
// texts the plugin writes into the timestamp columns.
#include <gtest/gtest.h>

#include <chrono>

#include "reading.h"

namespace {

struct TimeCase {
    uint64_t micros;
    const char* text;  // default format with microseconds
};

// 1767225599 is 2025-12-31 23:59:59 UTC.
const TimeCase kTimes[] = {
    {0, "1970-01-01 00:00:00.000000"},
    {1, "1970-01-01 00:00:00.000001"},
    {999999, "1970-01-01 00:00:00.999999"},
    {1000000, "1970-01-01 00:00:01.000000"},
    {1767225599999999ULL, "2025-12-31 23:59:59.999999"},
    {1767225600000000ULL, "2026-01-01 00:00:00.000000"},
    {1767225600000001ULL, "2026-01-01 00:00:00.000001"},
    {951782400000000ULL, "2000-02-29 00:00:00.000000"},
    {4102444799123456ULL, "2099-12-31 23:59:59.123456"},
};

TEST(ReadingTime, DefaultFormatIsUtcWithMicroseconds) {
    for (const auto& c : kTimes) {
        Reading r("a", std::vector<Datapoint*>{});
        r.setTimestamp(c.micros);
        r.setUserTimestamp(c.micros);
        EXPECT_EQ(r.getAssetDateTime(Reading::FMT_DEFAULT, true), c.text) << c.micros;
        EXPECT_EQ(r.getAssetDateUserTime(Reading::FMT_DEFAULT, true), c.text) << c.micros;
        EXPECT_EQ(Reading::formatTime(c.micros, Reading::FMT_DEFAULT, true), c.text);
    }
}

TEST(ReadingTime, OtherFormatsAndWithoutMicroseconds) {
    const uint64_t t = 1767225599999999ULL;
    EXPECT_EQ(Reading::formatTime(t, Reading::FMT_DEFAULT, false), "2025-12-31 23:59:59");
    EXPECT_EQ(Reading::formatTime(t, Reading::FMT_STANDARD, true), "2025-12-31 23:59:59.999999");
    EXPECT_EQ(Reading::formatTime(t, Reading::FMT_ISO8601, true), "2025-12-31T23:59:59.999999Z");
    EXPECT_EQ(Reading::formatTime(t, Reading::FMT_ISO8601, false), "2025-12-31T23:59:59Z");
}

TEST(ReadingTime, TimestampAndUserTimestampAreIndependent) {
    Reading r("a", std::vector<Datapoint*>{});
    r.setTimestamp(1000000);
    r.setUserTimestamp(2000000);
    EXPECT_EQ(r.getAssetDateTime(), "1970-01-01 00:00:01.000000");
    EXPECT_EQ(r.getAssetDateUserTime(), "1970-01-01 00:00:02.000000");
}

TEST(ReadingTime, AbsurdTimestampDoesNotCrash) {
    EXPECT_FALSE(Reading::formatTime(UINT64_MAX, Reading::FMT_DEFAULT, true).empty());
    EXPECT_FALSE(Reading::formatTime(1ULL << 62, Reading::FMT_ISO8601, true).empty());
}

TEST(ReadingTime, TimestampsDefaultToNow) {
    auto before = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    Reading r("a", std::vector<Datapoint*>{});
    auto after = std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    EXPECT_GE(r.getTimestamp(), static_cast<uint64_t>(before));
    EXPECT_LE(r.getTimestamp(), static_cast<uint64_t>(after));
    EXPECT_EQ(r.getUserTimestamp(), r.getTimestamp());
}

TEST(ReadingData, KeepsDatapointOrderAndFindsFirstOfAName) {
    DatapointValue one(1L), two(2L), three(3.5);
    std::vector<Datapoint*> dps{new Datapoint("x", one), new Datapoint("y", two),
                                new Datapoint("x", three)};
    Reading r("pump", dps);
    EXPECT_EQ(r.getAssetName(), "pump");
    ASSERT_EQ(r.getReadingData().size(), 3u);
    EXPECT_EQ(r.getReadingData()[1]->getName(), "y");
    ASSERT_NE(r.getDatapoint("x"), nullptr);
    EXPECT_EQ(r.getDatapoint("x")->getData().getType(), DatapointValue::T_INTEGER);
    EXPECT_EQ(r.getDatapoint("X"), nullptr);
    EXPECT_EQ(r.getDatapoint(""), nullptr);
}

TEST(ReadingData, CopyIsDeepAndIndependent) {
    DatapointValue v(std::string("a"));
    auto* original = new Reading("pump", new Datapoint("s", v));
    original->setTimestamp(5);
    Reading copy(*original);
    delete original;  // the copy must not share datapoints with it
    ASSERT_NE(copy.getDatapoint("s"), nullptr);
    EXPECT_EQ(copy.getDatapoint("s")->getData().toString(), "\"a\"");
    EXPECT_EQ(copy.getTimestamp(), 5u);
    DatapointValue more(7L);
    copy.addDatapoint(new Datapoint("n", more));
    EXPECT_EQ(copy.getReadingData().size(), 2u);
}

}  // namespace
