#include "session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "diagnostics.h"
#include "spark_lexer.h"
#include "storage.h"

namespace whemu {

namespace {

std::string trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return std::string(s);
}

// Closes a descriptor on every way out.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

bool readAll(int fd, std::string& out) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buffer, static_cast<size_t>(n));
    }
}

void sleepMs(long ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The first line of a file, without its line end; empty when unreadable.
std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return trimmed(line);
}

// A braced value starting at `i` (the '{'): }} stands for one }, a single }
// ends it. Returns the value; `i` ends on the ';' after it (or the end).
std::string bracedValue(std::string_view text, size_t& i, const std::string& key) {
    std::string value;
    ++i;
    while (i < text.size()) {
        if (text[i] == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
                value += '}';
                i += 2;
                continue;
            }
            while (i < text.size() && text[i] != ';')
                ++i;
            return value;
        }
        value += text[i++];
    }
    fail(
        "HY000", kNativeConnection,
        "Malformed connection string: the braced value of '" + printable(key) + "' is not closed.");
}

// Stores one key=value pair; returns true iff it was the warehouse directory.
bool applySetting(ConnectionSettings& settings, const std::string& key, std::string value) {
    std::string* field = key == "host"        ? &settings.host
                         : key == "port"      ? &settings.port
                         : key == "uid"       ? &settings.user
                         : key == "pwd"       ? &settings.password
                         : key == "schema"    ? &settings.schema
                         : key == "catalog"   ? &settings.catalog
                         : key == "warehouse" ? &settings.directory
                                              : nullptr;
    if (field)
        *field = std::move(value);
    return key == "warehouse";
}

// Defaults, letter case and the schema's check, once every pair is read.
void finishSettings(ConnectionSettings& settings, bool haveDirectory) {
    if (!haveDirectory || settings.directory.empty()) {
        const char* env = std::getenv("LAKESINK_WAREHOUSE");
        settings.directory = (env && *env) ? env : "./warehouse";
    }
    settings.schema = toLowerAscii(settings.schema);
    if (settings.schema.empty())
        settings.schema = "default";
    settings.catalog = toLowerAscii(settings.catalog);
    if (settings.catalog.empty())
        settings.catalog = "main";
    for (unsigned char c : settings.schema) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == '.') {
            fail("3F000", kNativeConnection,
                 "[INVALID_SCHEMA_OR_RELATION_NAME] `" + printable(settings.schema) +
                     "` is not a valid name for a schema.");
        }
    }
}

}  // namespace

ConnectionSettings parseConnectionString(std::string_view text) {
    ConnectionSettings settings;
    bool haveDirectory = false;
    size_t i = 0;
    while (i < text.size()) {
        const size_t eq = text.find('=', i);
        const size_t semi = text.find(';', i);
        if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
            // A stray word without '=': skip it.
            if (semi == std::string_view::npos)
                break;
            i = semi + 1;
            continue;
        }
        const std::string key = toLowerAscii(trimmed(text.substr(i, eq - i)));
        i = eq + 1;
        size_t start = i;
        while (start < text.size() && text[start] == ' ')
            ++start;
        std::string value;
        if (start < text.size() && text[start] == '{') {
            i = start;
            value = bracedValue(text, i, key);
        } else {
            const size_t end = semi == std::string_view::npos ? text.size() : semi;
            value = std::string(text.substr(i, end - i));
            i = end;
        }
        if (i < text.size() && text[i] == ';')
            ++i;
        haveDirectory = applySetting(settings, key, std::move(value)) || haveDirectory;
    }
    finishSettings(settings, haveDirectory);
    return settings;
}

Session::Session(const ConnectionSettings& settings) : settings_(settings) {
    const std::string where = settings_.host.empty() ? settings_.directory : settings_.host;
    switch (outageNow()) {
        case Outage::Network:
            fail("08001", kNativeConnection,
                 "Unable to connect to the warehouse at " + printable(where) +
                     ": the warehouse is offline.");
        case Outage::Transport:
            fail("HY000", kNativeConnection,
                 "Unexpected response from server during a HTTP connection: Could not resolve "
                 "host for client socket (" +
                     printable(where) + ").");
        case Outage::None:
            break;
    }
    sleepMs(readLatency().connect);
    std::error_code error;
    std::filesystem::create_directories(settings_.directory, error);
    if (!std::filesystem::is_directory(settings_.directory, error)) {
        fail("08001", kNativeConnection,
             "Unable to connect to the warehouse: the directory '" +
                 printable(settings_.directory) + "' cannot be used.");
    }
    std::ifstream credentials(settings_.directory + "/credentials");
    if (credentials) {
        bool accepted = false;
        std::string line;
        while (!accepted && std::getline(credentials, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            accepted = line.compare(0, colon, settings_.user) == 0 &&
                       line.compare(colon + 1, std::string::npos, settings_.password) == 0;
        }
        if (!accepted) {
            fail("28000", kNativeAuth,
                 "Authentication failed for user '" + printable(settings_.user) +
                     "': invalid user name or password.");
        }
    }
    db_ = openSchema(settings_.directory + "/" + settings_.schema + ".db");
}

Session::~Session() {
    if (db_)
        sqlite3_close_v2(db_);
}

Outage Session::outageNow() const {
    const std::string path = settings_.directory + "/offline";
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return Outage::None;
    if (info.st_size == 0)
        return Outage::Network;
    return firstLine(path) == "HY000" ? Outage::Transport : Outage::Network;
}

namespace {

// Lines "KEY N" of a file in the warehouse directory, N a whole number of at
// least 0; other lines are ignored. Calls `use` with the lower-case key.
template <typename Use>
void readNumberLines(const std::string& path, Use use) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = trimmed(line);
        const size_t blank = text.find_first_of(" \t");
        if (blank == std::string::npos)
            continue;
        const std::string key = toLowerAscii(text.substr(0, blank));
        const std::string number = trimmed(std::string_view(text).substr(blank + 1));
        long value = 0;
        const auto r = std::from_chars(number.data(), number.data() + number.size(), value);
        if (r.ec != std::errc() || r.ptr != number.data() + number.size() || value < 0)
            continue;
        use(key, value);
    }
}

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

Latency Session::readLatency() const {
    Latency latency;
    readNumberLines(settings_.directory + "/latency", [&](const std::string& key, long ms) {
        if (key == "connect") {
            latency.connect = ms;
        } else if (key == "statement") {
            latency.statement = ms;
        } else if (key == "commit") {
            latency.commit = ms;
        }
    });
    return latency;
}

Limits Session::readLimits() const {
    Limits limits;
    readNumberLines(settings_.directory + "/limits", [&](const std::string& key, long value) {
        if (key == "statement_bytes") {
            limits.statementBytes = value;
        } else if (key == "columns") {
            limits.columns = std::min(value, Limits::kMaxColumns);
        }
    });
    return limits;
}

bool Session::createDenied() const {
    // An empty file refuses every schema; otherwise one schema name a line.
    std::ifstream in(settings_.directory + "/deny_create");
    if (!in)
        return false;
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        const std::string name = toLowerAscii(trimmed(line));
        if (name.empty())
            continue;
        any = true;
        if (name == settings_.schema)
            return true;
    }
    return !any;
}

bool Session::hidesFullDataType() const {
    return exists(settings_.directory + "/no_full_data_type");
}

bool Session::isDead() {
    if (!dead_) {
        const Outage outage = outageNow();
        if (outage != Outage::None) {
            dead_ = true;
            deadBy_ = outage;
        }
    }
    return dead_;
}

void Session::checkStatement(std::string_view sql) {
    if (isDead()) {
        if (deadBy_ == Outage::Transport) {
            fail("HY000", kNativeConnection,
                 "Unexpected response from server during a HTTP connection: the connection was "
                 "reset by the peer.");
        }
        fail("08S01", kNativeConnection,
             "Communication link failure: the connection to the warehouse was lost.");
    }
    lost_ = Fault{};
    const Fault fault = consumeFault(sql);
    if (fault.after) {
        lost_ = fault;
    } else if (!fault.state.empty()) {
        std::string message = "Injected fault " + fault.state;
        if (!fault.filter.empty())
            message += " for a statement containing '" + printable(fault.filter) + "'";
        fail(fault.state.c_str(), kNativeInjected, message + ".");
    }
    latency_ = readLatency();
    sleepMs(latency_.statement);
    limits_ = readLimits();
    if (limits_.statementBytes > 0 && sql.size() > static_cast<size_t>(limits_.statementBytes)) {
        fail("54000", kNativeAnalysis,
             "[STATEMENT_TOO_LARGE] The statement is " + std::to_string(sql.size()) +
                 " bytes long; the warehouse accepts statements of at most " +
                 std::to_string(limits_.statementBytes) + " bytes.");
    }
}

void Session::answerLost() {
    if (lost_.state.empty())
        return;
    const Fault fault = lost_;
    lost_ = Fault{};
    std::string message =
        "Injected fault " + fault.state + " after the statement ran: the answer was lost";
    if (!fault.filter.empty())
        message += " (a statement containing '" + printable(fault.filter) + "')";
    fail(fault.state.c_str(), kNativeInjected, message + ".");
}

void Session::waitCommit() const {
    sleepMs(latency_.commit);
}

Fault Session::consumeFault(std::string_view sql) {
    Fault fault;
    FileDescriptor file;
    file.fd = ::open((settings_.directory + "/faults").c_str(), O_RDWR | O_CLOEXEC);
    if (file.fd < 0)
        return fault;
    if (::flock(file.fd, LOCK_EX) != 0)
        return fault;
    std::string content;
    if (!readAll(file.fd, content))
        return fault;

    size_t lineStart = 0;
    while (lineStart < content.size()) {
        size_t lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = content.size();
        std::string_view line(content.data() + lineStart, lineEnd - lineStart);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        // [after ]SQLSTATE COUNT [TEXT]
        const bool after = line.rfind("after ", 0) == 0;
        const size_t stateStart = after ? 6 : 0;
        const size_t stateEnd = line.find(' ', stateStart);
        if (stateEnd == stateStart + 5) {
            size_t countStart = stateEnd;
            while (countStart < line.size() && line[countStart] == ' ')
                ++countStart;
            size_t countEnd = countStart;
            while (countEnd < line.size() && line[countEnd] >= '0' && line[countEnd] <= '9')
                ++countEnd;
            const bool countOk = countEnd > countStart && countEnd - countStart < 10 &&
                                 (countEnd == line.size() || line[countEnd] == ' ');
            if (countOk) {
                const long count =
                    std::strtol(std::string(line.substr(countStart, countEnd - countStart)).c_str(),
                                nullptr, 10);
                const std::string text =
                    countEnd < line.size() ? std::string(line.substr(countEnd + 1)) : std::string();
                if (count > 0 && (text.empty() || sql.find(text) != std::string_view::npos)) {
                    fault.state = std::string(line.substr(stateStart, 5));
                    fault.filter = text;
                    fault.after = after;
                    content.replace(lineStart + countStart, countEnd - countStart,
                                    std::to_string(count - 1));
                    break;
                }
            }
        }
        lineStart = lineEnd + 1;
    }
    if (fault.state.empty())
        return fault;
    if (::ftruncate(file.fd, 0) == 0) {
        ssize_t written = ::pwrite(file.fd, content.data(), content.size(), 0);
        (void)written;
    }
    ::flock(file.fd, LOCK_UN);
    return fault;
}

}  // namespace whemu
