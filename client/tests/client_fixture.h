// Shared pieces of the public client and lease tests: a scripted server that answers by
// method and path, a public client whose logger writes to a captured file, and helpers
// that read events, sinks and error records back.
#ifndef KORVO_CLIENT_TESTS_CLIENT_FIXTURE_H
#define KORVO_CLIENT_TESTS_CLIENT_FIXTURE_H

#include "korvoc.h"

#include "http_server.h"
#include "json_lines.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace korvo::testing {

inline std::string path_of(const std::string &target) { return target.substr(0, target.find('?')); }

// Value of query parameter name in target ("" when absent); values are left encoded.
inline std::string query_param(const std::string &target, const std::string &name) {
    size_t q = target.find('?');
    if (q == std::string::npos) return "";
    std::string query = target.substr(q + 1);
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        std::string part = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t eq = part.find('=');
        if (part.substr(0, eq) == name) return eq == std::string::npos ? "" : part.substr(eq + 1);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return "";
}

// A server whose answers are chosen by "METHOD /path"; unknown routes answer 404.
class RoutedServer {
  public:
    explicit RoutedServer(ServerOptions options = {})
        : server_(std::move(options), [this](const CapturedRequest &request) { return answer(request); }) {}

    void route(const std::string &method, const std::string &path, Handler handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        routes_[method + " " + path] = std::move(handler);
    }
    void route_json(const std::string &method, const std::string &path, int status, const std::string &body,
                    std::vector<std::pair<std::string, std::string>> headers = {}) {
        route(method, path, [status, body, headers](const CapturedRequest &) {
            ScriptedResponse response = ScriptedResponse::json(status, body);
            for (const auto &header : headers) response.headers.push_back(header);
            return response;
        });
    }
    // The requests that reached path, in order.
    std::vector<CapturedRequest> requests_to(const std::string &path) const {
        std::vector<CapturedRequest> out;
        for (auto &request : server_.requests())
            if (path_of(request.target) == path) out.push_back(request);
        return out;
    }
    CapturedRequest last(const std::string &path) const {
        auto all = requests_to(path);
        EXPECT_FALSE(all.empty()) << "no request to " << path;
        return all.empty() ? CapturedRequest{} : all.back();
    }
    HttpServer &server() { return server_; }
    std::string url() const { return server_.url(); }

  private:
    ScriptedResponse answer(const CapturedRequest &request) {
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = routes_.find(request.method + " " + path_of(request.target));
            if (it != routes_.end()) handler = it->second;
        }
        if (!handler) return ScriptedResponse::json(404, "{\"error\":\"not_found\",\"detail\":\"no route\"}");
        return handler(request);
    }

    std::mutex mutex_;
    std::map<std::string, Handler> routes_;
    HttpServer server_; // last: it calls answer() until it is destroyed
};

// An open public client with a trace-level logger writing to a captured file.
class TestClient {
  public:
    explicit TestClient(std::vector<std::string> endpoints,
                        const std::function<void(kc_client_config &)> &tweak = {}) {
        chirp_config log_config;
        chirp_default_config(&log_config);
        log_config.level = CHIRP_LEVEL_TRACE;
        log_config.output = log_.get();
        base_ = chirp_new(&log_config);
        endpoints_ = std::move(endpoints);
        std::vector<const char *> raw;
        for (auto &endpoint : endpoints_) raw.push_back(endpoint.c_str());
        kc_client_config config;
        kc_client_config_init(&config);
        config.endpoints = raw.data();
        config.endpoint_count = static_cast<unsigned>(raw.size());
        config.disable_mtls = 1;
        config.timeout_ms = 10000;
        config.logger = base_;
        if (tweak) tweak(config);
        kc_error error{};
        open_code_ = kc_client_open(&config, &client_, &error);
        EXPECT_EQ(open_code_, KC_OK) << (error.message ? error.message : "");
        kc_error_cleanup(&error);
    }
    ~TestClient() {
        kc_client_close(client_);
        base_->release(base_);
    }
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    kc_client *get() const { return client_; }
    // Every logged event named name, in order.
    std::vector<LogLine> events(const std::string &name) const {
        std::vector<LogLine> out;
        for (auto &line : log_.lines()) {
            EXPECT_TRUE(line.has_value()) << "unparsable log line";
            if (line && line->str("event") == name) out.push_back(*line);
        }
        return out;
    }
    // The one event named name (a failure when there is not exactly one).
    LogLine event(const std::string &name) const {
        auto all = events(name);
        EXPECT_EQ(all.size(), 1u) << "events named " << name;
        return all.empty() ? LogLine{} : all.back();
    }
    // Names of every logged event that starts with prefix.
    std::vector<std::string> event_names(const std::string &prefix) const {
        std::vector<std::string> out;
        for (auto &line : log_.lines()) {
            if (!line) continue;
            std::string name = line->str("event");
            if (name.compare(0, prefix.size(), prefix) == 0) out.push_back(name);
        }
        return out;
    }

  private:
    CapturedFile log_;
    chirp_logger *base_ = nullptr;
    std::vector<std::string> endpoints_;
    kc_client *client_ = nullptr;
    int open_code_ = -1;
};

// The keys of an event after "ts", "level", "event" and "sys".
inline std::vector<std::string> field_keys(const LogLine &line) {
    std::vector<std::string> out;
    for (auto &key : line.keys())
        if (key != "ts" && key != "level" && key != "event" && key != "sys") out.push_back(key);
    return out;
}

inline std::string number(const LogLine &line, const std::string &key) {
    const LogValue *value = line.find(key);
    return value && value->type == LogValue::Number ? value->text : std::string("<not a number>");
}

inline bool flag(const LogLine &line, const std::string &key) {
    const LogValue *value = line.find(key);
    EXPECT_TRUE(value && value->type == LogValue::Bool) << key;
    return value && value->boolean;
}

inline bool is_null(const LogLine &line, const std::string &key) {
    const LogValue *value = line.find(key);
    return value && value->type == LogValue::Null;
}

// An error record that frees itself.
struct Error {
    kc_error record{};
    ~Error() { kc_error_cleanup(&record); }
    kc_error *get() { return &record; }
    std::string message() const { return record.message ? record.message : "<null>"; }
    std::string detail() const { return record.detail ? record.detail : "<null>"; }
};

// A memory sink that frees itself; text() is what it received.
struct MemorySink {
    kc_sink *sink = nullptr;
    MemorySink() { EXPECT_EQ(kc_sink_to_memory(&sink, nullptr), KC_OK); }
    ~MemorySink() { kc_sink_close(sink); }
    std::string text() const {
        const void *bytes = nullptr;
        size_t length = 0;
        EXPECT_EQ(kc_sink_memory_bytes(sink, &bytes, &length), 0);
        return bytes ? std::string(static_cast<const char *>(bytes), length) : std::string();
    }
};

// A memory source that frees itself.
struct MemorySource {
    kc_source *source = nullptr;
    explicit MemorySource(const std::string &text) {
        EXPECT_EQ(kc_source_from_memory(text.data(), text.size(), &source, nullptr), KC_OK);
    }
    ~MemorySource() { kc_source_close(source); }
};

inline std::string text_or_null(const char *text) { return text ? text : "<null>"; }

// The body of a successful acquire.
inline std::string acquire_body(long version, const std::string &etag = "\"e1\"", long fencing = 7,
                                long expires = 1700000000) {
    std::string etag_json;
    for (char c : etag) {
        if (c == '"') etag_json += '\\';
        etag_json += c;
    }
    return "{\"namespace\":\"ns1\",\"key\":\"k1\",\"owner\":\"o1\",\"lease_id\":\"L1\",\"txn_id\":\"T1\","
           "\"expires_at_unix\":" +
           std::to_string(expires) + ",\"version\":" + std::to_string(version) + ",\"state_etag\":\"" + etag_json +
           "\",\"fencing_token\":" + std::to_string(fencing) + "}";
}

} // namespace korvo::testing

#endif
