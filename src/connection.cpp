#include "connection.h"

#include <algorithm>
#include <exception>
#include <random>

#include "error_classifier.h"
#include "logger.h"
#include "odbc_client.h"

Connection::Connection(std::unique_ptr<ODBCClient> client, WriterPool::ClientFactory writerClients)
    : primary(std::move(client)), pool(*primary, std::move(writerClients)) {}

// The pool goes first (its threads end, its connections close); the client
// frees its own handles.
Connection::~Connection() = default;

void Connection::connect(const std::string& connectionString) {
    Logger* logger = Logger::getLogger();
    const ODBCStatus current = status.load();
    switch (current) {
        case CORVANE_ODBC_FAILED:
        case CORVANE_ODBC_SUCCESS:
            return;
        case CORVANE_ODBC_EAGAIN:
            if (steadyNow() < lastConnectAttempt + retryDelay)
                return;
            break;
        default:
            break;
    }
    lastConnectAttempt = steadyNow();
    ++attempts;
    try {
        if (current == CORVANE_ODBC_NOTCONNECTED || current == CORVANE_ODBC_EAGAIN)
            primary->Init();
        status = primary->Connect(connectionString);
        if (status.load() == CORVANE_ODBC_FAILED)
            refuseForGood(primary->getLastConnectFailure());
        // A retry that fails as the one before it says so only at debug level:
        // the client has reported the cause once already.
        if (status.load() != current)
            logger->info("Database connection status: %s", odbcStatusName(status.load()));
        else
            logger->debug("Database connection status: %s", odbcStatusName(status.load()));
        lastConnectException.clear();
    } catch (const std::exception& e) {
        // Handles that cannot be allocated now may be allocated later: this is
        // retried like any failure that is not a refused login.
        if (lastConnectException != e.what())
            logger->error("Database connection failed: %s", e.what());
        else
            logger->debug("Database connection failed again: %s", e.what());
        lastConnectException = e.what();
        status = CORVANE_ODBC_EAGAIN;
        primary->Destroy();
    }
    updateBackoff(status.load());
}

void Connection::updateBackoff(ODBCStatus outcome) {
    if (outcome == CORVANE_ODBC_SUCCESS) {
        resetBackoff();
        return;
    }
    if (outcome != CORVANE_ODBC_EAGAIN)
        return;
    // 5 s after the first failure, doubled after each further one, at most
    // MAX_RETRY_INTERVAL; the count stops growing once the cap is reached.
    std::chrono::nanoseconds base = RETRY_INTERVAL;
    for (unsigned i = 0; i < failedConnects && base < MAX_RETRY_INTERVAL; ++i)
        base *= 2;
    base = std::min(base, MAX_RETRY_INTERVAL);
    if (base < MAX_RETRY_INTERVAL)
        ++failedConnects;
    double share = jitter ? jitter() : 0.0;
    if (!(share >= 0.0))  // NaN as well
        share = 0.0;
    share = std::min(share, 1.0);
    const auto extra = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double, std::nano>(static_cast<double>(base.count()) * RETRY_JITTER *
                                                 share));
    retryDelay = base + extra;
    Logger::getLogger()->debug("Next connection attempt in %.1f s",
                               std::chrono::duration<double>(retryDelay).count());
}

void Connection::resetBackoff() {
    failedConnects = 0;
    retryDelay = RETRY_INTERVAL;
}

Connection::JitterSource Connection::randomJitter() {
    std::random_device entropy;
    return [generator = std::mt19937_64(entropy()),
            share = std::uniform_real_distribution<double>(0.0, 1.0)]() mutable {
        return share(generator);
    };
}

void Connection::refuseForGood(const std::string& cause) {
    status = CORVANE_ODBC_FAILED;
    if (cause.empty())
        return;
    if (cause != refusal)
        refusalReported = false;
    refusal = cause;
}

bool Connection::reportRefusal() {
    if (status.load() != CORVANE_ODBC_FAILED)
        return false;
    const auto now = steadyNow();
    if (refusalReported && now < lastRefusalReport + REFUSAL_REPORT_INTERVAL)
        return false;
    refusalReported = true;
    lastRefusalReport = now;
    // The cause reads "SQLSTATE=xxxxx, Message=...".
    const char kStateKey[] = "SQLSTATE=";
    const size_t at = refusal.find(kStateKey);
    const std::string state =
        at == std::string::npos ? std::string() : refusal.substr(at + sizeof kStateKey - 1, 5);
    Logger::getLogger()->error(
        "Nothing is sent: the warehouse refused the connection for good (%s); %s. The plugin "
        "connects again only when the settings change",
        refusal.empty() ? "a refused login or configuration" : refusal.c_str(),
        connectRemedy(state));
    return true;
}

void Connection::disconnect() {
    Logger* logger = Logger::getLogger();
    logger->debug("Disconnecting from database");
    // Nothing was open (start-up, new settings before any connect, a
    // refused configuration): there is nothing to announce.
    const bool wasOpen = status.load() == CORVANE_ODBC_SUCCESS;
    pool.close();
    primary->Destroy();
    if (wasOpen)
        logger->info("Database disconnected");
    status = CORVANE_ODBC_NOTCONNECTED;
}

void Connection::applySettings(const std::string& connectionString, size_t writers) {
    disconnect();
    pool.configure(writers, connectionString);
    lastConnectAttempt = steadyNow();
    resetBackoff();
    lastConnectException.clear();
    refusal.clear();
    refusalReported = false;
    primary->forgetConnectFailure();
    limit.reset();
}

bool Connection::dropIfDead() {
    if (primary->isConnected())
        return false;
    Logger::getLogger()->debug("Database connection lost");
    disconnect();
    return true;
}
