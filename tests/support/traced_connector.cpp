#include "traced_connector.h"

#include "odbc_client.h"
#include "query_result.h"

namespace {

// The real client, adding each statement to a trace before running it.
class TracingClient : public ODBCClient {
  public:
    explicit TracingClient(StatementTrace& trace) : trace(trace) {}
    QueryResult executeQuery(const std::string& query) override {
        trace.add(query);
        return ODBCClient::executeQuery(query);
    }

  private:
    StatementTrace& trace;
};

}  // namespace

void StatementTrace::add(const std::string& sql) {
    std::lock_guard<std::mutex> lock(mutex);
    statements.push_back(sql);
}

std::vector<std::string> StatementTrace::all() const {
    std::lock_guard<std::mutex> lock(mutex);
    return statements;
}

size_t StatementTrace::startingWith(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const std::string& sql : statements)
        n += sql.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

size_t StatementTrace::into(const std::string& verb, const std::string& table) const {
    return startingWith(verb + (table.empty() ? "" : " `" + table + "`"));
}

void StatementTrace::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    statements.clear();
}

TracedConnector::TracedConnector() : DatabricksODBCConnector(new TracingClient(trace)) {}

std::unique_ptr<ODBCClient> TracedConnector::createWriterClient() const {
    return std::make_unique<TracingClient>(trace);
}
