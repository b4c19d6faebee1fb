#include "connection_secrets.h"

#include <vector>

#include "text_util.h"

namespace {

// Keys whose values name places, switches and identities, never credentials.
// A key not listed here is treated as a secret, so a driver option added later
// is hidden until someone lists it.
constexpr const char* kPublicKeys[] = {
    "Driver",
    "DSN",
    "Host",
    "Port",
    "UID",
    "SCHEMA",
    "Database",
    "Catalog",
    "HTTPPath",
    "SSL",
    "ThriftTransport",
    "AuthMech",
    "Auth_Flow",
    "Auth_Client_ID",
    "Auth_Scope",
    "UseNativeQuery",
    "Warehouse",
    "SparkServerType",
    "TransportMode",
    "UseProxy",
    "ProxyHost",
    "ProxyPort",
    "ProxyUID",
    "TrustedCerts",
    "UseSystemTrustStore",
    "AllowSelfSignedServerCert",
    "AllowHostNameCNMismatch",
    "CAIssuedCertNamesMismatch",
    "CheckCertRevocation",
    "Min_TLS",
    "SocketTimeout",
    "RowsFetchedPerBlock",
    "EnableArrow",
    "EnableQueryResultDownload",
    "UserAgentEntry",
    "LogLevel",
    "LogPath",
    "AutoReconnect",
};

constexpr size_t kShortestHidden = 4;

struct Attribute {
    std::string key;
    std::string written;  // the value as it stands in the text, braces included
    std::string value;    // the value itself
};

// Reads one value starting at `at` (just after '='); leaves `at` on the ';'
// that closes the attribute, or at the end.
void readValue(const std::string& text, size_t& at, Attribute& attribute) {
    const size_t start = at;
    if (at < text.size() && text[at] == '{') {
        ++at;
        while (at < text.size()) {
            if (text[at] == '}') {
                if (at + 1 < text.size() && text[at + 1] == '}') {
                    attribute.value += '}';
                    at += 2;
                    continue;
                }
                ++at;
                break;
            }
            attribute.value += text[at++];
        }
        while (at < text.size() && text[at] != ';')
            attribute.value += text[at++];
    } else {
        while (at < text.size() && text[at] != ';')
            attribute.value += text[at++];
    }
    attribute.written = text.substr(start, at - start);
}

// Every key=value attribute of the text, in order; a piece without '=' is
// skipped.
std::vector<Attribute> parse(const std::string& text) {
    std::vector<Attribute> attributes;
    size_t at = 0;
    while (at < text.size()) {
        const size_t equals = text.find('=', at);
        const size_t semicolon = text.find(';', at);
        if (equals == std::string::npos || semicolon < equals) {
            at = semicolon == std::string::npos ? text.size() : semicolon + 1;
            continue;
        }
        Attribute attribute;
        attribute.key = text.substr(at, equals - at);
        at = equals + 1;
        readValue(text, at, attribute);
        if (at < text.size())
            ++at;  // the ';'
        attributes.push_back(std::move(attribute));
    }
    return attributes;
}

}  // namespace

bool isPublicConnectionKey(const std::string& key) {
    for (const char* known : kPublicKeys) {
        if (equalsIgnoringAsciiCase(key, known))
            return true;
    }
    return false;
}

std::string maskConnectionText(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const Attribute& attribute : parse(text)) {
        shown += attribute.key;
        shown += '=';
        shown += isPublicConnectionKey(attribute.key) ? attribute.written : kMaskedValue;
        shown += ';';
    }
    return shown;
}

std::string hideConnectionSecrets(const std::string& message, const std::string& connection) {
    std::string shown = message;
    for (const Attribute& attribute : parse(connection)) {
        if (isPublicConnectionKey(attribute.key))
            continue;
        // The value as written and as meant: a driver may quote either. A
        // value of fewer than kShortestHidden bytes guards nothing and would
        // turn every message into asterisks, so it is not searched for.
        for (const std::string* secret : {&attribute.written, &attribute.value}) {
            if (secret->size() < kShortestHidden)
                continue;
            for (size_t at = shown.find(*secret); at != std::string::npos;
                 at = shown.find(*secret, at + std::char_traits<char>::length(kMaskedValue))) {
                shown.replace(at, secret->size(), kMaskedValue);
            }
        }
    }
    return shown;
}
