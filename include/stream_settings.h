#pragma once
// StreamSettings: what the stream transport needs to reach the direct ingest
// service, resolved and checked from the configuration.
//
// The configuration gives the stream endpoint, the token endpoint (empty:
// https://<server>/oidc/v1/token), the workspace id (empty: the endpoint
// host's first label, which must be digits), the catalog, and the service
// principal (Auth_Client_ID and Auth_Client_Secret of the additional
// parameters). resolve() checks them together with the layout and delivery
// the stream demands and derives the gRPC target and the token URL. Plain
// http is allowed only to a loopback address (the stream emulator). The
// client secret is held here and never logged. Plain value; not thread-safe.

#include <string>

class StreamSettings {
  public:
    // As configured.
    std::string endpoint;
    std::string tokenEndpoint;
    std::string workspaceId;
    std::string catalog = "main";
    std::string schema;  // the connection's schema: the second part of a table name
    std::string server;  // the warehouse host, for the default token endpoint
    std::string clientId;
    std::string clientSecret;
    bool variantLayout = false;
    bool atLeastOnce = false;

    // Derived by resolve().
    std::string target;    // host:port for the gRPC channel
    bool tls = true;       // false only for http:// to a loopback address
    std::string tokenUrl;  // the OAuth token endpoint
    std::string workspace;

    // Checks every setting the stream needs and derives the others. Throws
    // std::invalid_argument with a message that says what to set.
    void resolve();
    // `catalog.schema.table` of a table of the connection's schema.
    std::string fullTableName(const std::string& table) const;

    // Returns true iff the two would reach the service the same way.
    bool operator==(const StreamSettings& other) const;
    bool operator!=(const StreamSettings& other) const { return !(*this == other); }
};

// The URL parts the stream settings read; the host keeps IPv6 brackets.
struct EndpointUrl {
    std::string scheme;  // "https" or "http"
    std::string host;
    int port = 0;
    std::string path;  // from the first '/', possibly empty
};

// Returns true iff `url` is scheme://host[:port][/path] with a usable host
// and port; fills `out`.
bool parseEndpointUrl(const std::string& url, EndpointUrl& out);
// Returns true iff `host` is localhost or a loopback address.
bool isLoopbackHost(const std::string& host);
// Returns true iff `name` is a non-empty run of ASCII letters, digits and underscores.
bool isPlainStreamName(const std::string& name);
