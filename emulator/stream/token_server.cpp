#include "token_server.h"

#include <httplib.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <random>

#include "spark_lexer.h"
#include "stream_files.h"

namespace zbemu {
namespace {

std::string base64Decode(const std::string& in) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = -8;
    for (char c : in) {
        const size_t d = alphabet.find(c);
        if (d == std::string::npos)
            break;
        value = (value << 6) + static_cast<unsigned>(d);
        bits += 6;
        if (bits >= 0) {
            out.push_back(static_cast<char>((value >> bits) & 0xFF));
            bits -= 8;
        }
    }
    return out;
}

// The TABLE of the authorization details; empty when there is not exactly one.
std::string grantedTable(const std::string& details) {
    rapidjson::Document doc;
    doc.Parse(details.c_str());
    if (doc.HasParseError() || !doc.IsArray())
        return "";
    std::string table;
    int tables = 0;
    for (const rapidjson::Value& entry : doc.GetArray()) {
        if (!entry.IsObject() || !entry.HasMember("object_type") ||
            !entry.HasMember("object_full_path") || !entry["object_type"].IsString() ||
            !entry["object_full_path"].IsString())
            return "";
        if (std::string(entry["object_type"].GetString()) == "TABLE") {
            table = whemu::toLowerAscii(entry["object_full_path"].GetString());
            ++tables;
        }
    }
    return tables == 1 ? table : "";
}

std::string randomToken() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[40];
    std::snprintf(text, sizeof text, "emu-%016llx%016llx",
                  static_cast<unsigned long long>(generator()),
                  static_cast<unsigned long long>(generator()));
    return text;
}

}  // namespace

TokenServer::TokenServer(std::string dir)
    : dir_(std::move(dir)), server_(std::make_unique<httplib::Server>()) {
    server_->Post("/oidc/v1/token", [this](const httplib::Request& req, httplib::Response& res) {
        int status = 200;
        const std::string answer = issue(req.get_header_value("Authorization"), req.body, status);
        res.status = status;
        res.set_content(answer, "application/json");
    });
}

TokenServer::~TokenServer() {
    stop();
}

int TokenServer::start(int port) {
    const int bound = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                                : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound < 0)
        return -1;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return bound;
}

void TokenServer::stop() {
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

std::string TokenServer::issue(const std::string& authorization, const std::string& body,
                               int& status) {
    long unused = 0;
    const std::string basic = "Basic ";
    const std::string pair =
        authorization.rfind(basic, 0) == 0 ? base64Decode(authorization.substr(basic.size())) : "";
    const size_t colon = pair.find(':');
    if (colon == std::string::npos ||
        !credentialsAccepted(dir_, pair.substr(0, colon), pair.substr(colon + 1)) ||
        consumeFault(dir_, "refuse_tokens", unused)) {
        status = 401;
        return R"({"error":"invalid_client","error_description":"Client authentication failed"})";
    }
    httplib::Params form;
    httplib::detail::parse_query_text(body, form);
    const auto field = [&](const char* key) {
        auto it = form.find(key);
        return it == form.end() ? std::string() : it->second;
    };
    const std::string table = grantedTable(field("authorization_details"));
    if (field("grant_type") != "client_credentials" || field("scope") != "all-apis" ||
        field("resource").rfind("api://databricks/workspaces/", 0) != 0 || table.empty()) {
        status = 400;
        return R"({"error":"invalid_request","error_description":"malformed token request"})";
    }
    const long seconds = tokenSeconds(dir_);
    const std::string token = randomToken();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        grants_[token] =
            Grant{table, std::chrono::steady_clock::now() + std::chrono::seconds(seconds)};
        ++issued_;
    }
    return R"({"access_token":")" + token + R"(","token_type":"Bearer","expires_in":)" +
           std::to_string(seconds) + "}";
}

TokenServer::Verdict TokenServer::check(const std::string& token, const std::string& table) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = grants_.find(token);
    if (it == grants_.end())
        return Verdict::Unknown;
    if (it->second.expires <= std::chrono::steady_clock::now())
        return Verdict::Expired;
    return it->second.table == whemu::toLowerAscii(table) ? Verdict::Valid : Verdict::OtherTable;
}

}  // namespace zbemu
