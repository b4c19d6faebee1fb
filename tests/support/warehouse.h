#pragma once
// A temporary emulator warehouse for one test: a fresh directory that the
// emulator driver (registered as DatabricksODBCDriver through ODBCSYSINI) keeps
// its SQLite files in, plus a raw ODBC session to inspect and break it.
// The directory is removed when the object dies.

#include <string>
#include <vector>

class TempWarehouse {
  public:
    TempWarehouse();
    ~TempWarehouse();
    TempWarehouse(const TempWarehouse&) = delete;
    TempWarehouse& operator=(const TempWarehouse&) = delete;

    const std::string& directory() const { return dir; }
    // A connection string in the plugin's own form for this warehouse.
    std::string connectionString(const std::string& schema = "default_schema",
                                 const std::string& user = "default_user",
                                 const std::string& password = "lisk") const;
    // The additionalParams item text pointing the plugin at this warehouse.
    std::string additionalParams() const;

    // Fault files of the emulator.
    void setOffline(bool offline) const;
    void addFault(const std::string& sqlState, int count, const std::string& text = "") const;
    void setCredentials(const std::string& lines) const;

    // Runs one statement through the real driver manager and the emulator on a
    // connection of its own and returns the rows as texts (SQL NULL as "NULL").
    // Throws std::runtime_error with the driver's message on failure.
    std::vector<std::vector<std::string>> query(const std::string& sql,
                                                const std::string& schema = "default_schema") const;

  private:
    std::string dir;
};

// Points ODBCSYSINI at the build's odbcinst.ini (once, before the first ODBC
// call of the process).
void useEmulatorDriver();
