// The stream transport: JSON records as the stream takes them, and writing
// through the real stream emulator (a gRPC server started per test) with the
// plugin loaded by dlopen or the stream client itself, read back through SQL.
// Nothing here is a real credential.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "config_category.h"
#include "json_record.h"
#include "loaded_plugin.h"
#include "log_capture.h"
#include "readings.h"
#include "stream_client.h"
#include "stream_emulator.h"
#include "warehouse.h"

using ::testing::HasSubstr;
using Rows = std::vector<std::vector<std::string>>;

namespace {

const uint64_t T0 = 1767225600000001ULL;  // 2026-01-01 00:00:00.000001 UTC
const char kClientId[] = "test-principal";
const char kClientSecret[] = "test-only-secret-value";

// --- JSON records ---------------------------------------------------------

struct EncodeCase {
    std::string type;
    std::string value;
    ValueKind kind;
    ValueFit fit;
    std::string json;  // the record's JSON object
};

TEST(StreamJsonRecord, EachValueTravelsAsItsColumnTakesIt) {
    const EncodeCase cases[] = {
        {"BIGINT", "42", ValueKind::Integer, ValueFit::Exact, R"({"c":42})"},
        {"BIGINT", "22.0", ValueKind::Double, ValueFit::Integral, R"({"c":22})"},
        {"DOUBLE", "21.5", ValueKind::Double, ValueFit::Exact, R"({"c":21.5})"},
        {"DOUBLE", "NaN", ValueKind::Double, ValueFit::Exact, R"({"c":"NaN"})"},
        {"STRING", "a\"b\nc", ValueKind::Text, ValueFit::Exact, R"({"c":"a\"b\nc"})"},
        {"STRING", "bad\xff", ValueKind::Text, ValueFit::Exact, "{\"c\":\"bad\xef\xbf\xbd\"}"},
        {"VARIANT", R"({"a":[1,2]})", ValueKind::Structured, ValueFit::Exact,
         R"({"c":"{\"a\":[1,2]}"})"},
        {"VARIANT", R"({"x":"y"})", ValueKind::Json, ValueFit::Exact, R"({"c":"{\"x\":\"y\"}"})"},
        {"VARIANT", "say \"hi\"", ValueKind::Text, ValueFit::Exact,
         R"({"c":"\"say \\\"hi\\\"\""})"},
        {"VARIANT", "7", ValueKind::Integer, ValueFit::Exact, R"({"c":"7"})"},
        {"TIMESTAMP", "2026-01-01 00:00:00.000001+00:00", ValueKind::Timestamp, ValueFit::Exact,
         R"({"c":1767225600000001})"},
        {"TIMESTAMP", "1969-12-31 23:59:59.5", ValueKind::Timestamp, ValueFit::Exact,
         R"({"c":-500000})"},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.type + " " + c.value);
        const std::vector<TableColumn> columns{{"c", ColumnType::parse(c.type)}};
        const JsonRecordEncoder encoder(columns);
        const Cell cell{&c.value, c.kind, c.fit};
        std::string json;
        encoder.encode(RowView{0, &cell}, json);
        EXPECT_EQ(json, c.json);
    }
}

TEST(StreamJsonRecord, NullCellsAreLeftOut) {
    const std::vector<TableColumn> columns{{"asset_code", ColumnType::parse("STRING")},
                                           {"n", ColumnType::parse("BIGINT")},
                                           {"_rescued_data", ColumnType::parse("VARIANT")}};
    const JsonRecordEncoder encoder(columns);
    const std::string pump = "pump", rescued = R"({"n":"x"})";
    const Cell cells[] = {{&pump, ValueKind::Label, ValueFit::Exact},
                          {nullptr, ValueKind::Integer, ValueFit::Exact},
                          {&rescued, ValueKind::Structured, ValueFit::Exact}};
    std::string json;
    encoder.encode(RowView{3, cells}, json);
    EXPECT_EQ(json, R"({"asset_code":"pump","_rescued_data":"{\"n\":\"x\"}"})");
    int64_t micros = 0;
    EXPECT_FALSE(timestampMicros("2026-01-01", &micros));
    EXPECT_FALSE(timestampMicros("2026-01-01 00:00:00+02:00", &micros));
}

// --- through the stream emulator --------------------------------------------

// A plugin instance configured for the stream transport against the emulator
// (or, with `stream` false, for statements), on the schema given.
class Instance : public PluginInstance {
  public:
    Instance(const LoadedPlugin& plugin, const TempWarehouse& warehouse,
             const StreamEmulator& emulator, const std::string& schema, bool stream = true,
             const std::string& secret = kClientSecret)
        : PluginInstance(plugin, categoryJson(warehouse, emulator, schema, stream, secret)) {}

  private:
    static std::string categoryJson(const TempWarehouse& warehouse, const StreamEmulator& emulator,
                                    const std::string& schema, bool stream,
                                    const std::string& secret) {
        const std::string params = warehouse.additionalParams();
        // additionalParams holds a JSON object in a string: add the principal.
        const std::string principal = std::string(R"(, "Auth_Client_ID": ")") + kClientId +
                                      R"(", "Auth_Client_Secret": ")" + secret + "\"}";
        const std::string withPrincipal = params.substr(0, params.rfind('}')) + principal;
        std::string items =
            R"({"corvaneInstance": {"value": "edge-1"}, "schema": {"value": ")" + schema +
            R"("}, "datapoints": {"value": "variant"}, )" +
            R"("delivery": {"value": "at-least-once"}, "table": {"value": "readings"}, )" +
            R"("additionalParams": {"value": ")" + jsonEscaped(withPrincipal) + "\"}";
        if (stream) {
            items += R"(, "transport": {"value": "stream"}, "workspaceId": {"value": "1234"})";
            items += R"(, "streamEndpoint": {"value": ")" + emulator.streamEndpoint() + "\"}";
            items += R"(, "tokenEndpoint": {"value": ")" + emulator.tokenEndpoint() + "\"}";
        }
        return items + "}";
    }
};

// A batch of every value kind, with values that must be rescued.
void fillEveryKind(Batch& batch) {
    Reading& r = batch.add("pump", T0);
    r.setUserTimestamp(T0 - 1000000);
    r.addDatapoint(textPoint("state", "it's \"running\"\n\\ ü"));
    r.addDatapoint(intPoint("count", -42));
    r.addDatapoint(floatPoint("temperature", 21.5));
    r.addDatapoint(floatPoint("broken", std::numeric_limits<double>::quiet_NaN()));
    r.addDatapoint(dictPoint("meta", {intPoint("a", 1), textPoint("b", "x")}));
    r.addDatapoint(listPoint("list", {intPoint("p", 1), textPoint("q", "y")}));
    r.addDatapoint(floatArrayPoint("samples", {1.0, 2.5}));
    batch.add("valve", T0 + 1).addDatapoint(textPoint("s", std::string(300, 'v')));
    batch.add(std::string(300, 'a'), T0 + 2).addDatapoint(intPoint("n", 1));
    batch.add("", T0 + 3);
}

class StreamTransport : public ::testing::Test {
  protected:
    void SetUp() override { emulator.setCredentials(std::string(kClientId) + ":" + kClientSecret); }

    // A table made through the warehouse, as the plugin's statements would.
    void createTable(const std::string& table) {
        warehouse.query("CREATE TABLE " + table +
                        " (asset_code STRING NOT NULL, ts TIMESTAMP, n BIGINT)");
    }
    StreamSettings settings() const {
        StreamSettings s;
        s.endpoint = emulator.streamEndpoint();
        s.tokenEndpoint = emulator.tokenEndpoint();
        s.workspaceId = "1234";
        s.schema = "default_schema";
        s.clientId = kClientId;
        s.clientSecret = kClientSecret;
        s.variantLayout = s.atLeastOnce = true;
        s.resolve();
        return s;
    }
    static std::vector<std::string> records(int from, int count) {
        std::vector<std::string> out;
        for (int i = from; i < from + count; ++i)
            out.push_back(R"({"asset_code":"a","ts":)" + std::to_string(1767225600000000LL + i) +
                          R"(,"n":)" + std::to_string(i) + "}");
        return out;
    }
    // count(*) and count(DISTINCT n) of the table.
    std::pair<long, long> counts(const std::string& table) {
        const Rows got = warehouse.query("SELECT count(*), count(DISTINCT n) FROM " + table);
        return {std::stol(got[0][0]), std::stol(got[0][1])};
    }

    TempWarehouse warehouse;
    StreamEmulator emulator{warehouse.directory()};
};

TEST_F(StreamTransport, RowsReadBackAsTheStatementsWriteThem) {
    LoadedPlugin plugin;
    Batch batch;
    fillEveryKind(batch);
    {
        Instance statements(plugin, warehouse, emulator, "by_statements", false);
        ASSERT_EQ(statements.send(batch), batch.size());
    }
    LogCapture log;
    Instance stream(plugin, warehouse, emulator, "by_stream");
    ASSERT_EQ(stream.send(batch), batch.size());
    const std::string query = "SELECT * FROM readings ORDER BY ts";
    const Rows expected = warehouse.query(query, "by_statements");
    ASSERT_EQ(expected.size(), 4u);
    EXPECT_EQ(warehouse.query(query, "by_stream"), expected);
    EXPECT_FALSE(log.contains(kClientSecret));
}

TEST_F(StreamTransport, TableNamesAreRenamedToPlainAscii) {
    LoadedPlugin plugin;
    Batch batch;
    batch.add("pump", T0).addDatapoint(hintPoint(R"({"tablename": "Line-1 ü"})"));
    Instance stream(plugin, warehouse, emulator, "default_schema");
    ASSERT_EQ(stream.send(batch), 1u);
    EXPECT_EQ(warehouse.query("SELECT asset_code FROM line_1___"), (Rows{{"pump"}}));
}

TEST_F(StreamTransport, BrokenStreamLosesNothingAndRepeatsOnlyTheUnacknowledged) {
    createTable("t");
    StreamClient::Options options;
    options.maxRequestBytes = 100 * 60;  // about 100 records a request
    StreamClient client(settings(), options);
    emulator.setFaults("break 1 450\n");
    const StreamClient::Outcome done = client.write("t", records(0, 1000));
    ASSERT_EQ(done.result, StreamClient::Result::Written) << done.error;
    const auto [rows, distinct] = counts("t");
    EXPECT_EQ(distinct, 1000);
    // The break came at a request boundary: at most what was written before
    // it (and not yet acknowledged) arrives twice.
    EXPECT_LE(rows - distinct, 450);
    EXPECT_EQ(client.streamsOpened(), 2u);

    // An acknowledgement lost after the write: that request repeats.
    emulator.setFaults("lost 1\n");
    ASSERT_EQ(client.write("t", records(1000, 50)).result, StreamClient::Result::Written);
    EXPECT_EQ(counts("t").second, 1050);
}

TEST_F(StreamTransport, CloseSignalOpensTheNextStreamAndLosesNothing) {
    createTable("t");
    StreamClient client(settings());
    emulator.setFaults("close 1 400\n");
    for (int batch = 0; batch < 8; ++batch) {
        ASSERT_EQ(client.write("t", records(batch * 10, 10)).result, StreamClient::Result::Written);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(counts("t"), std::make_pair(80L, 80L));
    EXPECT_EQ(client.streamsOpened(), 2u);
}

TEST_F(StreamTransport, ResourceExhaustedBacksOffAndRetries) {
    createTable("t");
    StreamClient client(settings());
    emulator.setFaults("exhausted 2\n");
    const auto start = std::chrono::steady_clock::now();
    const StreamClient::Outcome done = client.write("t", records(0, 10));
    ASSERT_EQ(done.result, StreamClient::Result::Written) << done.error;
    // Two refusals, waited out for 100 ms and 200 ms, then a stream that took them.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(client.streamsOpened(), 3u);
    EXPECT_EQ(counts("t"), std::make_pair(10L, 10L));
}

TEST_F(StreamTransport, TokenExpiringDuringARunFailsNoBatch) {
    createTable("t");
    emulator.setTokenSeconds(1);
    StreamClient client(settings());
    for (int batch = 0; batch < 12; ++batch) {
        const StreamClient::Outcome done = client.write("t", records(batch * 5, 5));
        ASSERT_EQ(done.result, StreamClient::Result::Written) << batch << ": " << done.error;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(counts("t").second, 60);
    EXPECT_GE(client.streamsOpened(), 2u);
}

TEST_F(StreamTransport, RefusedTokenFailsForGoodWithoutTheSecretInTheLog) {
    LoadedPlugin plugin;
    emulator.setCredentials(std::string(kClientId) + ":the-right-one\n");
    LogCapture log;
    Instance stream(plugin, warehouse, emulator, "default_schema");
    Batch batch;
    batch.add("pump", T0).addDatapoint(intPoint("n", 1));
    EXPECT_EQ(stream.send(batch), 0u);
    EXPECT_TRUE(
        log.contains("token endpoint refused a token for main.default_schema.readings: "
                     "HTTP 401 invalid_client"));
    // For good: the credentials are not asked again until the settings change.
    emulator.setCredentials(std::string(kClientId) + ":" + kClientSecret);
    EXPECT_EQ(stream.send(batch), 0u);
    EXPECT_FALSE(log.contains(kClientSecret));
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM readings"), (Rows{{"0"}}));

    // The emulator's refuse_tokens fault answers the same way.
    StreamClient client(settings());
    emulator.setFaults("refuse_tokens 1\n");
    const StreamClient::Outcome done = client.write("readings", records(0, 1));
    EXPECT_EQ(done.result, StreamClient::Result::Refused);
    EXPECT_THAT(done.error, HasSubstr("HTTP 401"));
}

TEST_F(StreamTransport, UnreachableEndpointIsRetriedWithBackOffThenFails) {
    StreamSettings unreachable = settings();
    unreachable.endpoint = "http://127.0.0.1:1";
    unreachable.resolve();
    StreamClient::Options options;
    options.ackTimeout = std::chrono::milliseconds(1500);
    StreamClient client(unreachable, options);
    const auto start = std::chrono::steady_clock::now();
    const StreamClient::Outcome done = client.write("t", records(0, 1));
    EXPECT_EQ(done.result, StreamClient::Result::Failed);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
    EXPECT_THAT(done.error, HasSubstr("UNAVAILABLE"));
    // Backing off from 100 ms, doubling: a handful of attempts, not hundreds.
    EXPECT_GE(client.streamsOpened(), 3u);
    EXPECT_LE(client.streamsOpened(), 6u);
}

TEST_F(StreamTransport, TableAlteredByHandFailsWithItsNameAndKeepsTheReadings) {
    LoadedPlugin plugin;
    Instance stream(plugin, warehouse, emulator, "default_schema");
    Batch first;
    first.add("pump", T0).addDatapoint(intPoint("n", 1));
    ASSERT_EQ(stream.send(first), 1u);
    warehouse.query("DROP TABLE readings");
    warehouse.query("CREATE TABLE readings (asset_code BIGINT, ts TIMESTAMP, datapoints BIGINT)");
    LogCapture log;
    Batch second;
    second.add("pump", T0 + 1).addDatapoint(intPoint("n", 2));
    EXPECT_EQ(stream.send(second), 0u);
    EXPECT_TRUE(
        log.contains("table main.default_schema.readings: the stream service refused it: "
                     "INVALID_ARGUMENT"));
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM readings"), (Rows{{"0"}}));
}

TEST_F(StreamTransport, MissingTableIsAClearErrorNamingIt) {
    StreamClient client(settings());
    const StreamClient::Outcome done = client.write("nowhere", records(0, 1));
    EXPECT_EQ(done.result, StreamClient::Result::Failed);
    EXPECT_THAT(done.error, HasSubstr("table main.default_schema.nowhere: the stream service "
                                      "refused it: NOT_FOUND"));
}

}  // namespace
