#pragma once
// Keeping secrets of an ODBC connection string out of the log.
//
// A connection string is a list of key=value attributes, each closed by ';',
// a value possibly written in braces ('}' doubled inside). Drivers take
// secrets under many names (PWD, Auth_Client_Secret, SSLKeyPassphrase,
// Auth_JWT, proxy passwords, ...), so secrets are not recognised by name:
// only the values of keys known to hold no secret (the allowlist below) are
// ever shown, every other value is shown as "****". maskConnectionText is the
// one place that decides what of a connection string may be logged; every log
// line that shows settings or a driver's message about a connection goes
// through it or through hideConnectionSecrets.
//
// All functions are pure and thread-safe.

#include <string>

// What every masked value is shown as.
inline constexpr const char* kMaskedValue = "****";

// Returns true iff the value of the connection attribute `key` is known to hold
// no secret (HTTPPath, SSL, AuthMech, Auth_Client_ID, Catalog, ...), compared
// ignoring ASCII case.
bool isPublicConnectionKey(const std::string& key);

// Returns `text` (attributes as the connection string writes them) with every
// value of a key that is not public replaced by "****"; public values are kept
// as written, braces included.
std::string maskConnectionText(const std::string& text);

// Returns `message` with every occurrence of a secret value of the connection
// string `connection` (the value of any key that is not public) replaced by
// "****", for a driver's message that may quote the settings it was given.
// Values shorter than 4 bytes are left alone: hiding every "1" or "x" of a
// message would make it unreadable and would guard no real secret.
std::string hideConnectionSecrets(const std::string& message, const std::string& connection);
