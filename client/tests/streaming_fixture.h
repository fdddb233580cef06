// Helpers of the streaming and attachment suites: an engine client over test-server endpoints,
// a collecting writer, a plain reader, header checks and the chunkings every body is sent with.
#ifndef KORVOC_TESTS_STREAMING_FIXTURE_H
#define KORVOC_TESTS_STREAMING_FIXTURE_H

#include "korvoc_engine.h"

#include "http_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace korvo::testing {

struct EngineClientOptions {
    bool mtls = false;
    std::string bundle;
    bool insecure = false;
    const char *default_namespace = nullptr;
    size_t max_response_bytes = 0;
};

struct EngineClient {
    kc_engine_client *client = nullptr;
    explicit EngineClient(const std::vector<std::string> &endpoints, const EngineClientOptions &options = {}) {
        std::vector<const char *> raw;
        for (const auto &e : endpoints) raw.push_back(e.c_str());
        kc_engine_client_config config;
        kc_engine_client_config_init(&config);
        config.endpoints = raw.data();
        config.endpoint_count = static_cast<unsigned>(raw.size());
        config.disable_mtls = options.mtls ? 0 : 1;
        config.client_bundle_path = options.bundle.empty() ? nullptr : options.bundle.c_str();
        config.insecure_skip_verify = options.insecure;
        config.default_namespace = options.default_namespace;
        config.max_response_bytes = options.max_response_bytes;
        config.timeout_ms = 10000;
        kc_engine_error error{};
        EXPECT_EQ(kc_engine_client_open(&config, &client, &error), KC_OK) << (error.message ? error.message : "");
        kc_engine_error_cleanup(&error);
    }
    ~EngineClient() { kc_engine_client_close(client); }
    EngineClient(const EngineClient &) = delete;
    EngineClient &operator=(const EngineClient &) = delete;
    kc_engine_client *get() const { return client; }
};

struct EngineError {
    kc_engine_error error{};
    ~EngineError() { kc_engine_error_cleanup(&error); }
    kc_engine_error *get() { return &error; }
    std::string message() const { return error.message ? error.message : "<null>"; }
};

// Collects what it is given; fails on its fail_on_call-th call (1-based), recording an error
// of its own when record_own_error is set.
struct Collector {
    std::string bytes;
    size_t calls = 0;
    size_t fail_on_call = 0;
    bool record_own_error = false;
    static int write(void *user, const void *data, size_t length, kc_engine_error *error) {
        auto *self = static_cast<Collector *>(user);
        if (++self->calls == self->fail_on_call) {
            if (self->record_own_error) kc_engine_set_client_error(error, KC_ERR_TRANSPORT, "disk full");
            return 0;
        }
        self->bytes.append(static_cast<const char *>(data), length);
        return 1;
    }
};

// A plain callback reader (no kc_source behind it): at most piece bytes per call, and a
// failure once fail_after bytes were produced.
struct StringReader {
    std::string text;
    size_t pos = 0;
    size_t piece = 4096;
    size_t fail_after = SIZE_MAX;
    static size_t read(void *user, void *buffer, size_t capacity, kc_engine_error *error) {
        auto *self = static_cast<StringReader *>(user);
        if (self->pos >= self->fail_after) {
            kc_engine_set_client_error(error, KC_ERR_TRANSPORT, "payload went away");
            return 0;
        }
        size_t n = std::min({capacity, self->piece, self->text.size() - self->pos});
        std::memcpy(buffer, self->text.data() + self->pos, n);
        self->pos += n;
        return n;
    }
};

struct SourceHandle {
    kc_source *source = nullptr;
    ~SourceHandle() { kc_source_close(source); }
};

// Pseudo-random bytes: misplaced or repeated pieces show.
inline std::string pattern_bytes(size_t length, unsigned seed = 1) {
    std::string out(length, '\0');
    for (size_t i = 0; i < length; i++) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<char>(seed >> 16);
    }
    return out;
}

// Each header with its expected value; a NULL value means the header must be absent.
inline void expect_headers(const CapturedRequest &request,
                           std::initializer_list<std::pair<const char *, const char *>> expected) {
    for (const auto &[name, value] : expected) {
        if (value) EXPECT_EQ(request.header(name), value) << name;
        else EXPECT_FALSE(request.has_header(name)) << name;
    }
}

// Bodies are sent whole (Content-Length) and chunked in small pieces; results must not differ.
inline std::vector<size_t> chunkings() { return {0, 1, 7, 1000}; }

inline ScriptedResponse with_chunking(ScriptedResponse response, size_t chunk_size) {
    response.chunked = chunk_size != 0;
    response.chunk_size = chunk_size;
    return response;
}

inline ScriptedResponse json_reply(int status, const std::string &body, const char *cid = "cid-a") {
    ScriptedResponse reply = ScriptedResponse::json(status, body);
    reply.headers.push_back({"X-Correlation-Id", cid});
    return reply;
}

inline ScriptedResponse raw_reply(std::string body, std::vector<std::pair<std::string, std::string>> headers = {}) {
    ScriptedResponse reply;
    reply.body = std::move(body);
    reply.headers = std::move(headers);
    return reply;
}

inline ScriptedResponse passive() { return ScriptedResponse::json(503, "{\"error\":\"node_passive\"}"); }

} // namespace korvo::testing

#endif
