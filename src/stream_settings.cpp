#include "stream_settings.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace {

[[noreturn]] void unusable(const std::string& what) {
    throw std::invalid_argument("transport \"stream\": " + what);
}

bool allDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The URL with plain http allowed only to a loopback address.
EndpointUrl checkedUrl(const std::string& url, const char* item) {
    EndpointUrl parts;
    if (!parseEndpointUrl(url, parts)) {
        unusable(std::string("configuration item \"") + item + "\" value \"" + url +
                 "\" is not a usable https:// URL");
    }
    if (parts.scheme == "http" && !isLoopbackHost(parts.host)) {
        unusable(std::string("configuration item \"") + item +
                 "\" must use https:// (plain http:// only to a loopback address)");
    }
    return parts;
}

}  // namespace

bool parseEndpointUrl(const std::string& url, EndpointUrl& out) {
    const size_t colon = url.find("://");
    if (colon == std::string::npos)
        return false;
    out.scheme = url.substr(0, colon);
    if (out.scheme != "https" && out.scheme != "http")
        return false;
    const size_t hostStart = colon + 3;
    const size_t slash = std::min(url.find('/', hostStart), url.size());
    const std::string authority = url.substr(hostStart, slash - hostStart);
    out.path = url.substr(slash);
    const size_t bracket = authority.rfind(']');
    const size_t portColon = authority.rfind(':');
    const bool hasPort =
        portColon != std::string::npos && (bracket == std::string::npos || portColon > bracket);
    out.host = hasPort ? authority.substr(0, portColon) : authority;
    out.port = out.scheme == "https" ? 443 : 80;
    if (hasPort) {
        const std::string port = authority.substr(portColon + 1);
        if (!allDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
            return false;
        out.port = std::stoi(port);
    }
    const bool hostOk =
        !out.host.empty() && std::all_of(out.host.begin(), out.host.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
        });
    return hostOk;
}

bool isLoopbackHost(const std::string& host) {
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "localhost" || host.rfind("127.", 0) == 0 || host == "[::1]" || host == "::1";
}

bool isPlainStreamName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return (c < 0x80 && std::isalnum(c)) || c == '_';
    });
}

void StreamSettings::resolve() {
    if (!variantLayout)
        unusable("set \"datapoints\" to \"variant\": a stream never alters a table");
    if (!atLeastOnce)
        unusable("set \"delivery\" to \"at-least-once\": the stream delivers at least once");
    if (clientId.empty() || clientSecret.empty()) {
        unusable(
            "set \"Auth_Client_ID\" and \"Auth_Client_Secret\" of \"additionalParams\" "
            "to the service principal");
    }
    if (endpoint.empty())
        unusable("set \"streamEndpoint\" to https://<workspace id>.zerobus.<region>...");
    const EndpointUrl stream = checkedUrl(endpoint, "streamEndpoint");
    tls = stream.scheme == "https";
    target = stream.host + ":" + std::to_string(stream.port);
    workspace = workspaceId.empty() ? stream.host.substr(0, stream.host.find('.')) : workspaceId;
    if (!allDigits(workspace)) {
        unusable(
            "set \"workspaceId\": the workspace id must be digits, and the stream "
            "endpoint's host does not begin with it");
    }
    tokenUrl = tokenEndpoint.empty() ? "https://" + server + "/oidc/v1/token" : tokenEndpoint;
    checkedUrl(tokenUrl, tokenEndpoint.empty() ? "server" : "tokenEndpoint");
    if (!isPlainStreamName(catalog))
        unusable("set \"catalog\" to a name of ASCII letters, digits and underscores");
    if (!isPlainStreamName(schema))
        unusable("set \"schema\" to a name of ASCII letters, digits and underscores");
}

std::string StreamSettings::fullTableName(const std::string& table) const {
    return catalog + "." + schema + "." + table;
}

bool StreamSettings::operator==(const StreamSettings& o) const {
    return endpoint == o.endpoint && tokenEndpoint == o.tokenEndpoint &&
           workspaceId == o.workspaceId && catalog == o.catalog && schema == o.schema &&
           server == o.server && clientId == o.clientId && clientSecret == o.clientSecret &&
           variantLayout == o.variantLayout && atLeastOnce == o.atLeastOnce;
}
