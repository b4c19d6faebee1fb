#pragma once
// TracedConnector: a Databricks connector whose every connection (the primary
// one and each writer's) is the real ODBC client, adding the text of each
// statement to one StatementTrace before running it. Tests read what was
// sent, on whichever connection, without reading the log.
//
// StatementTrace is thread-safe: the writers add to it side by side. The
// trace lives as long as the connector and outlives every client.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "databricks_odbc_connector.h"

class StatementTrace {
  public:
    void add(const std::string& sql);
    // Every statement so far, in the order they started.
    std::vector<std::string> all() const;
    // The number of statements that start with `prefix`.
    size_t startingWith(const std::string& prefix) const;
    // The number of statements `verb` ("INSERT INTO", "MERGE INTO") of
    // `table`; of every table when `table` is empty.
    size_t into(const std::string& verb, const std::string& table = "") const;
    void clear();

  private:
    mutable std::mutex mutex;
    std::vector<std::string> statements;
};

namespace traced_detail {
// Built before the connector (a base listed first), destroyed after it.
struct TraceHolder {
    mutable StatementTrace trace;
};
}  // namespace traced_detail

class TracedConnector : private traced_detail::TraceHolder, public DatabricksODBCConnector {
  public:
    TracedConnector();
    // What the connector's connections have sent.
    StatementTrace& statements() { return trace; }

  protected:
    std::unique_ptr<ODBCClient> createWriterClient() const override;
};
