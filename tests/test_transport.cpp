// The statements transport: a table's rows, handed over as cells, become the
// INSERT or MERGE statements run on the writer pool, and each statement's
// outcome becomes its part of the delivery (written, refused, retry).

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "dialect.h"
#include "odbc_client.h"
#include "statements_transport.h"
#include "writer_pool.h"

namespace {

// A client that records every statement and answers as it is told.
class ScriptedClient : public ODBCClient {
  public:
    enum class Answer {
        Ok,
        MergeCounts,
        MergeNoCount,
        MergeBadCount,
        Refuse,
        RefuseRetriable,
        TooLarge,
        Throw
    };
    Answer answer = Answer::Ok;
    std::vector<std::string> statements;

    void Init() override {}
    ODBCStatus Connect(const std::string&) override { return CORVANE_ODBC_SUCCESS; }
    bool isConnected() override { return true; }
    void Destroy() override {}
    QueryResult executeQuery(const std::string& sql) override {
        statements.push_back(sql);
        switch (answer) {
            case Answer::Refuse:
                throw StatementError("22003", 0, "out of range", false);
            case Answer::RefuseRetriable:
                throw StatementError("40001", 0, "try again", true);
            case Answer::TooLarge:
                throw StatementError("54000", 0, "[STATEMENT_TOO_LARGE] too long", false);
            case Answer::Throw:
                throw std::runtime_error("the answer was lost");
            case Answer::MergeNoCount:
            case Answer::MergeBadCount: {
                QueryResult result;
                result.success = true;
                if (answer == Answer::MergeBadCount)
                    result.rows.push_back({"3", "2x"});
                return result;
            }
            case Answer::MergeCounts: {
                QueryResult result;
                result.success = true;
                result.rows.push_back({"1", "1"});  // one row inserted
                return result;
            }
            case Answer::Ok:
                break;
        }
        QueryResult result;
        result.success = true;
        return result;
    }
};

// Rows of (id BIGINT, name STRING) from value pairs; an empty name is NULL.
class PairRows : public RowSource {
  public:
    explicit PairRows(std::vector<std::pair<std::string, std::string>> values)
        : values(std::move(values)) {}
    size_t size() const override { return values.size(); }
    const RowView* next() override {
        if (at == values.size())
            return nullptr;
        row.reading = 10 + at;
        const auto& [id, name] = values[at++];
        cells = {Cell{&id, ValueKind::Integer, ValueFit::Exact},
                 name.empty() ? Cell{} : Cell{&name, ValueKind::Text, ValueFit::Exact}};
        row.cells = cells.data();
        return &row;
    }

  private:
    std::vector<std::pair<std::string, std::string>> values;
    size_t at = 0;
    std::vector<Cell> cells;
    RowView row;
};

const std::vector<TableColumn> kColumns = {{"id", ColumnType::parse("BIGINT")},
                                           {"name", ColumnType::parse("STRING")}};

struct Sent {
    std::vector<std::string> statements;
    Delivery delivery;
};

Sent sendPairs(ScriptedClient::Answer answer, std::vector<ColumnMatch> skipMatching,
               size_t limit = 0) {
    ScriptedClient client;
    client.answer = answer;
    WriterPool pool(client, [] { return std::unique_ptr<ODBCClient>(); });
    StatementLimit statementLimit(limit);
    StatementsTransport transport(pool, Dialect::databricks(), statementLimit);
    PairRows rows({{"1", "a"}, {"2", ""}, {"3", "it's"}});
    const Transport::Ticket ticket = transport.send(TableRows{"t", kColumns, skipMatching, rows});
    EXPECT_TRUE(transport.isDone(ticket));
    Sent sent;
    sent.delivery = transport.take(ticket);
    sent.statements = client.statements;
    return sent;
}

TEST(StatementsTransport, RowsBecomeOneInsertAndAreWritten) {
    const Sent sent = sendPairs(ScriptedClient::Answer::Ok, {});
    ASSERT_EQ(sent.statements.size(), 1u);
    EXPECT_EQ(sent.statements[0],
              "INSERT INTO `t` (`id`, `name`) VALUES (1, 'a'), (2, NULL), (3, 'it\\'s')");
    ASSERT_EQ(sent.delivery.size(), 1u);
    EXPECT_EQ(sent.delivery[0].readings, (std::vector<size_t>{10, 11, 12}));
    const auto* written = std::get_if<Written>(&sent.delivery[0].result);
    ASSERT_NE(written, nullptr);
    EXPECT_FALSE(written->compared);
}

TEST(StatementsTransport, RowsTheTableMayHoldGoOutAsAMergeThatCountsTheSkipped) {
    const Sent sent =
        sendPairs(ScriptedClient::Answer::MergeCounts, {ColumnMatch::Equal, ColumnMatch::Ignore});
    ASSERT_EQ(sent.statements.size(), 1u);
    EXPECT_EQ(sent.statements[0].rfind("MERGE INTO `t` AS t USING (VALUES (1, 'a'), ", 0), 0u);
    EXPECT_NE(sent.statements[0].find(") ON t.`id` <=> s.`id` WHEN NOT MATCHED"),
              std::string::npos);
    const auto* written = std::get_if<Written>(&sent.delivery.at(0).result);
    ASSERT_NE(written, nullptr);
    EXPECT_TRUE(written->compared);
    EXPECT_EQ(written->skipped, 2u);
}

TEST(StatementsTransport, AMergeWithoutACountThatCanBeReadIsUncounted) {
    for (const auto answer :
         {ScriptedClient::Answer::MergeNoCount, ScriptedClient::Answer::MergeBadCount}) {
        const Sent sent = sendPairs(answer, {ColumnMatch::Equal, ColumnMatch::Equal});
        const auto* written = std::get_if<Written>(&sent.delivery.at(0).result);
        ASSERT_NE(written, nullptr);
        EXPECT_TRUE(written->compared);
        EXPECT_TRUE(written->uncounted);
        EXPECT_EQ(written->skipped, 0u);
    }
}

TEST(StatementsTransport, AStatementRefusedForItsLengthCutsTheNextOnesAtHalfOfIt) {
    ScriptedClient client;
    client.answer = ScriptedClient::Answer::TooLarge;
    WriterPool pool(client, [] { return std::unique_ptr<ODBCClient>(); });
    StatementLimit limit(1 << 20);
    StatementsTransport transport(pool, Dialect::databricks(), limit);
    std::vector<std::pair<std::string, std::string>> values;
    for (int i = 0; i < 200; ++i)
        values.emplace_back(std::to_string(i), std::string(20, 'x'));
    PairRows rows(values);
    const std::vector<ColumnMatch> none;
    Delivery refused = transport.take(transport.send(TableRows{"t", kColumns, none, rows}));
    ASSERT_EQ(refused.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<Refused>(refused[0].result));
    const size_t length = client.statements.at(0).size();
    EXPECT_EQ(transport.sizeLimit(), length / 2);
    EXPECT_EQ(limit.bytes(), length / 2);
    // The same rows again: in statements within the new limit, all of them.
    client.answer = ScriptedClient::Answer::Ok;
    PairRows again(values);
    const Delivery written = transport.take(transport.send(TableRows{"t", kColumns, none, again}));
    ASSERT_GE(client.statements.size(), 3u);
    size_t readings = 0;
    for (size_t i = 1; i < client.statements.size(); ++i) {
        EXPECT_LE(client.statements[i].size(), length / 2) << i;
        readings += written.at(i - 1).readings.size();
    }
    EXPECT_EQ(readings, 200u);
}

TEST(StatementsTransport, EachStatementOutcomeIsItsPartsResult) {
    struct Case {
        ScriptedClient::Answer answer;
        size_t index;  // of the expected alternative in PartResult
        bool mayHaveWritten;
    };
    const std::vector<Case> cases = {
        {ScriptedClient::Answer::Refuse, 2, false},
        {ScriptedClient::Answer::RefuseRetriable, 1, true},
        {ScriptedClient::Answer::Throw, 1, true},
    };
    for (const Case& c : cases) {
        const Sent sent = sendPairs(c.answer, {});
        ASSERT_EQ(sent.delivery.size(), 1u);
        const PartResult& result = sent.delivery[0].result;
        EXPECT_EQ(result.index(), c.index) << static_cast<int>(c.answer);
        EXPECT_EQ(sent.delivery[0].readings.size(), 3u);
        if (const auto* retry = std::get_if<Retry>(&result)) {
            EXPECT_EQ(retry->mayHaveWritten, c.mayHaveWritten);
            EXPECT_FALSE(retry->cause.empty());
        }
        if (const auto* refused = std::get_if<Refused>(&result)) {
            EXPECT_EQ(refused->cause->sqlState(), "22003");
        }
    }
}

TEST(StatementsTransport, StatementsCutAtTheLimitEachDeliverTheirReadings) {
    // Room for one row per statement.
    const Sent sent = sendPairs(ScriptedClient::Answer::Ok, {}, 50);
    ASSERT_EQ(sent.statements.size(), 3u);
    ASSERT_EQ(sent.delivery.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent.delivery[i].readings, (std::vector<size_t>{10 + i})) << i;
        EXPECT_TRUE(std::holds_alternative<Written>(sent.delivery[i].result));
    }
}

}  // namespace
