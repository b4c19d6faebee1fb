#include "stream_tokens.h"

#include <curl/curl.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <memory>

namespace {

size_t collect(char* data, size_t size, size_t count, void* into) {
    static_cast<std::string*>(into)->append(data, size * count);
    return size * count;
}

std::string escaped(CURL* curl, const std::string& text) {
    std::unique_ptr<char, decltype(&curl_free)> out(
        curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size())), curl_free);
    return out ? std::string(out.get()) : std::string();
}

// A name as a JSON string; the names are plain ASCII, but a quote or a
// backslash would still not end the string.
std::string quoted(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// One Unity Catalog privilege object of the request's authorization details.
std::string privilege(const char* privileges, const char* type, const std::string& path,
                      const char* extra) {
    return std::string(R"({"type":"unity_catalog_privileges","privileges":)") + privileges +
           R"(,"object_type":")" + type + R"(","object_full_path":)" + quoted(path) + extra + "}";
}

// What the endpoint said, without anything it may have echoed of the request.
std::string answerOf(long status, const std::string& body) {
    rapidjson::Document doc;
    doc.Parse(body.c_str());
    std::string said;
    for (const char* key : {"error", "error_description"}) {
        if (!doc.HasParseError() && doc.IsObject() && doc.HasMember(key) && doc[key].IsString())
            said += std::string(said.empty() ? "" : ": ") + doc[key].GetString();
    }
    return "HTTP " + std::to_string(status) + (said.empty() ? "" : " " + said.substr(0, 300));
}

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

}  // namespace

StreamTokens::StreamTokens(const StreamSettings& settings) : settings(settings) {
    static CurlGlobal global;
}

std::string StreamTokens::requestBody(const std::string& table) const {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    const size_t dot = table.find('.');
    const std::string catalog = table.substr(0, dot);
    const std::string schema = table.substr(0, table.find('.', dot + 1));
    const std::string details =
        "[" + privilege(R"(["USE CATALOG"])", "CATALOG", catalog, "") + "," +
        privilege(R"(["USE SCHEMA"])", "SCHEMA", schema, "") + "," +
        privilege(R"(["SELECT","MODIFY"])", "TABLE", table, R"(,"operations":["zerobuswrite"])") +
        "]";
    return "grant_type=client_credentials&scope=all-apis&resource=" +
           escaped(curl.get(),
                   "api://databricks/workspaces/" + settings.workspace + "/zerobusDirectWriteApi") +
           "&authorization_details=" + escaped(curl.get(), details);
}

std::string StreamTokens::fetch(const std::string& table, long& seconds) const {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl)
        throw StreamTokenError("cannot start a token request", false);
    const std::string body = requestBody(table);
    std::string answer;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, settings.tokenUrl.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(c, CURLOPT_USERNAME, settings.clientId.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, settings.clientSecret.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https,http");
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        throw StreamTokenError(std::string("token endpoint unreachable: ") + curl_easy_strerror(rc),
                               false);
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    rapidjson::Document doc;
    doc.Parse(answer.c_str());
    const bool ok = status == 200 && !doc.HasParseError() && doc.IsObject() &&
                    doc.HasMember("access_token") && doc["access_token"].IsString() &&
                    doc.HasMember("expires_in") && doc["expires_in"].IsNumber();
    if (!ok) {
        const bool refused = status == 400 || status == 401 || status == 403;
        throw StreamTokenError(
            "token endpoint refused a token for " + table + ": " + answerOf(status, answer),
            refused);
    }
    seconds = static_cast<long>(doc["expires_in"].GetDouble());
    return doc["access_token"].GetString();
}

std::string StreamTokens::token(const std::string& table, bool renew) {
    if (!renew) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = cache.find(table);
        if (it != cache.end() && Clock::now() < it->second.renewAt)
            return it->second.token;
    }
    long seconds = 0;
    std::string fresh = fetch(table, seconds);
    const auto life = std::chrono::milliseconds(std::max(0L, seconds) * 1000);
    const auto margin = std::min<std::chrono::milliseconds>(life / 10, std::chrono::minutes(5));
    std::lock_guard<std::mutex> lock(mutex);
    cache[table] = Cached{fresh, Clock::now() + life - margin};
    return fresh;
}

bool StreamTokens::renewalDue(const std::string& table) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = cache.find(table);
    return it == cache.end() || Clock::now() >= it->second.renewAt;
}
