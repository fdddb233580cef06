// Engine client: configuration and normalisation, allocator, buffers and string utilities,
// error records, and loading the PEM client bundle.
#include "korvoc_engine.h"

#include "fixtures.h"
#include "json_lines.h"
#include "test_pki.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

using korvo::testing::CapturedFile;
using korvo::testing::TempDir;
using korvo::testing::test_pki;
using korvo::testing::TestPki;

namespace {

struct ClientGuard {
    kc_engine_client *client = nullptr;
    ~ClientGuard() { kc_engine_client_close(client); }
};

struct ErrorGuard {
    kc_engine_error error;
    ErrorGuard() { kc_engine_error_init(&error); }
    ~ErrorGuard() { kc_engine_error_cleanup(&error); }
    std::string message() const { return error.message ? error.message : "<null>"; }
};

kc_engine_client_config plain_config(const char *const *endpoints, unsigned count) {
    kc_engine_client_config config;
    kc_engine_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = count;
    config.disable_mtls = 1;
    return config;
}

TEST(EngineClientConfig, InitSetsDefaults) {
    kc_engine_client_config config;
    std::memset(&config, 0xab, sizeof(config));
    EXPECT_EQ(kc_engine_client_config_init(&config), &config);
    EXPECT_EQ(config.timeout_ms, 30000);
    EXPECT_EQ(config.prefer_http2, 1);
    EXPECT_EQ(config.max_response_bytes, 0u);
    EXPECT_EQ(config.endpoints, nullptr);
    EXPECT_EQ(config.disable_mtls, 0);
    EXPECT_EQ(config.allocator.malloc_fn, nullptr);
    EXPECT_EQ(kc_engine_client_config_init(nullptr), nullptr);
    EXPECT_STREQ(kc_engine_version_string(), "0.7.0");
}

TEST(EngineClientConfig, OpenChecksArgumentsInOrder) {
    ErrorGuard e;
    kc_engine_client *client = nullptr;
    EXPECT_EQ(kc_engine_client_open(nullptr, &client, &e.error), KC_ERR_INVALID);
    EXPECT_EQ(e.message(), "config and out_client are required");
    kc_engine_client_config config;
    kc_engine_client_config_init(&config);
    EXPECT_EQ(kc_engine_client_open(&config, &client, &e.error), KC_ERR_INVALID);
    EXPECT_EQ(e.message(), "at least one endpoint is required");
    const char *endpoints[] = {"http://127.0.0.1:1"};
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    EXPECT_EQ(kc_engine_client_open(&config, &client, &e.error), KC_ERR_INVALID);
    EXPECT_EQ(e.message(), "client_bundle_source or client_bundle_path is required unless disable_mtls is enabled");
    config.client_bundle_path = "";
    EXPECT_EQ(kc_engine_client_open(&config, &client, &e.error), KC_ERR_INVALID);
    EXPECT_EQ(client, nullptr);
    // A NULL error record still gets the code.
    EXPECT_EQ(kc_engine_client_open(&config, &client, nullptr), KC_ERR_INVALID);
}

TEST(EngineClientConfig, OpenNormalisesEndpointsAndSettings) {
    const char *endpoints[] = {"https://a.example:9443///", "b.example:80/", "c"};
    kc_engine_client_config config = plain_config(endpoints, 3);
    config.timeout_ms = -5;
    config.insecure_skip_verify = 7;
    config.prefer_http2 = 9;
    ClientGuard g;
    ErrorGuard e;
    ASSERT_EQ(kc_engine_client_open(&config, &g.client, &e.error), KC_OK) << e.message();
    ASSERT_EQ(g.client->endpoint_count, 3u);
    EXPECT_STREQ(g.client->endpoints[0], "https://a.example:9443");
    EXPECT_STREQ(g.client->endpoints[1], "b.example:80");
    EXPECT_STREQ(g.client->endpoints[2], "c");
    EXPECT_NE(g.client->endpoints[0], endpoints[0]); // owned copies
    EXPECT_EQ(g.client->timeout_ms, 30000);
    EXPECT_EQ(g.client->max_response_bytes, 1048576u);
    EXPECT_EQ(g.client->insecure_skip_verify, 1);
    EXPECT_EQ(g.client->prefer_http2, 1);
    EXPECT_STREQ(g.client->default_namespace, "default");
    EXPECT_EQ(g.client->unix_socket_path, nullptr);
    char *joined = kc_engine_join_endpoints(g.client);
    EXPECT_STREQ(joined, "https://a.example:9443,b.example:80,c");
    std::free(joined);

    config.timeout_ms = 0;
    config.max_response_bytes = 77;
    config.default_namespace = "orders";
    config.unix_socket_path = "/tmp/x.sock";
    ClientGuard g2;
    ASSERT_EQ(kc_engine_client_open(&config, &g2.client, &e.error), KC_OK);
    EXPECT_EQ(g2.client->timeout_ms, 30000);
    EXPECT_EQ(g2.client->max_response_bytes, 77u);
    EXPECT_STREQ(g2.client->default_namespace, "orders");
    EXPECT_STREQ(g2.client->unix_socket_path, "/tmp/x.sock");
}

TEST(EngineClientConfig, EffectiveNamespace) {
    const char *endpoints[] = {"x"};
    kc_engine_client_config config = plain_config(endpoints, 1);
    config.default_namespace = "team";
    ClientGuard g;
    ASSERT_EQ(kc_engine_client_open(&config, &g.client, nullptr), KC_OK);
    EXPECT_STREQ(kc_engine_effective_namespace(g.client, "ns1"), "ns1");
    EXPECT_STREQ(kc_engine_effective_namespace(g.client, ""), "team");
    EXPECT_STREQ(kc_engine_effective_namespace(g.client, nullptr), "team");
    config.default_namespace = "";
    ClientGuard g2;
    ASSERT_EQ(kc_engine_client_open(&config, &g2.client, nullptr), KC_OK);
    EXPECT_STREQ(kc_engine_effective_namespace(g2.client, ""), "default");
    EXPECT_STREQ(kc_engine_effective_namespace(nullptr, nullptr), "default");
}

TEST(EngineClientConfig, InitEventGoesToDerivedLogger) {
    CapturedFile out;
    chirp_config lc;
    chirp_default_config(&lc);
    lc.level = CHIRP_LEVEL_TRACE;
    lc.output = out.get();
    chirp_logger *base = chirp_new(&lc);
    ASSERT_NE(base, nullptr);
    const char *endpoints[] = {"a", "b"};
    kc_engine_client_config config = plain_config(endpoints, 2);
    config.logger = base;
    config.default_namespace = "ns";
    {
        ClientGuard g;
        ASSERT_EQ(kc_engine_client_open(&config, &g.client, nullptr), KC_OK);
        EXPECT_EQ(g.client->owns_logger, 1);
        EXPECT_NE(kc_engine_client_logger(g.client), base);
    }
    config.raw_logger = 1;
    {
        ClientGuard g;
        ASSERT_EQ(kc_engine_client_open(&config, &g.client, nullptr), KC_OK);
        EXPECT_EQ(g.client->owns_logger, 0);
        EXPECT_EQ(kc_engine_client_logger(g.client), base);
    }
    auto lines = out.lines();
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_TRUE(lines[0] && lines[1]);
    EXPECT_EQ(lines[0]->str("event"), "client.init");
    EXPECT_EQ(lines[0]->str("level"), "info");
    EXPECT_EQ(lines[0]->str("sys"), "client.korvo");
    EXPECT_EQ(lines[0]->find("endpoint_count")->text, "2");
    EXPECT_EQ(lines[0]->str("default_namespace"), "ns");
    EXPECT_EQ(lines[1]->find("sys"), nullptr); // raw logger: no derived field
    base->release(base);
    EXPECT_EQ(kc_engine_client_logger(nullptr), kc_log_noop_logger());
}

struct CountingHeap {
    int mallocs = 0, frees = 0;
    static void *do_malloc(void *ctx, size_t size) {
        static_cast<CountingHeap *>(ctx)->mallocs++;
        return std::malloc(size);
    }
    static void do_free(void *ctx, void *p) {
        static_cast<CountingHeap *>(ctx)->frees++;
        std::free(p);
    }
};

TEST(EngineClientAllocator, SetGetAndUse) {
    const char *endpoints[] = {"x"};
    kc_engine_client_config config = plain_config(endpoints, 1);
    ClientGuard g;
    ASSERT_EQ(kc_engine_client_open(&config, &g.client, nullptr), KC_OK);
    ErrorGuard e;
    kc_engine_allocator got;
    ASSERT_EQ(kc_engine_client_get_allocator(g.client, &got, &e.error), KC_OK);
    EXPECT_EQ(got.malloc_fn, kc_engine_default_malloc);
    EXPECT_EQ(got.realloc_fn, kc_engine_default_realloc);
    EXPECT_EQ(got.free_fn, kc_engine_default_free);
    EXPECT_EQ(got.context, nullptr);

    CountingHeap heap;
    kc_engine_allocator allocator;
    kc_engine_allocator_init(&allocator);
    EXPECT_EQ(kc_engine_client_set_allocator(g.client, &allocator, nullptr), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_set_allocator(g.client, &allocator, &e.error), KC_ERR_INVALID);
    EXPECT_EQ(e.message(), "allocator requires malloc_fn and free_fn");
    allocator.malloc_fn = CountingHeap::do_malloc;
    EXPECT_EQ(kc_engine_client_set_allocator(g.client, &allocator, &e.error), KC_ERR_INVALID);
    allocator.free_fn = CountingHeap::do_free;
    allocator.context = &heap;
    EXPECT_EQ(kc_engine_client_set_allocator(nullptr, &allocator, &e.error), KC_ERR_INVALID);
    EXPECT_EQ(e.message(), "set_allocator requires client, allocator, and error");
    ASSERT_EQ(kc_engine_client_set_allocator(g.client, &allocator, &e.error), KC_OK);
    ASSERT_EQ(kc_engine_client_get_allocator(g.client, &got, &e.error), KC_OK);
    EXPECT_EQ(got.realloc_fn, kc_engine_default_realloc); // filled in
    EXPECT_EQ(got.context, &heap);
    EXPECT_EQ(kc_engine_client_get_allocator(g.client, nullptr, &e.error), KC_ERR_INVALID);
    EXPECT_EQ(e.message(), "get_allocator requires client, allocator, and error");

    const char text[] = "hello world";
    char *copy = kc_engine_client_strdup_range(g.client, text, text + 5);
    EXPECT_STREQ(copy, "hello");
    kc_engine_client_free_alloc(g.client, copy);
    char *whole = kc_engine_client_strdup(g.client, text);
    EXPECT_STREQ(whole, text);
    kc_engine_client_free_alloc(g.client, whole);
    EXPECT_EQ(heap.mallocs, 2);
    EXPECT_EQ(heap.frees, 2);
    EXPECT_EQ(kc_engine_client_strdup_range(g.client, text + 3, text), nullptr);
    EXPECT_EQ(kc_engine_client_strdup(g.client, nullptr), nullptr);
    kc_engine_client_free_alloc(g.client, nullptr);
    EXPECT_EQ(heap.frees, 2);
}

TEST(EngineBuffer, GrowthRuleAndTermination) {
    kc_engine_buffer b;
    kc_engine_buffer_init(&b);
    ASSERT_EQ(kc_engine_buffer_append(&b, "", 0), 0);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_STREQ(b.data, "");
    kc_engine_buffer_cleanup(&b);

    std::string big(300, 'x');
    ASSERT_EQ(kc_engine_buffer_append(&b, big.data(), big.size()), 0);
    EXPECT_EQ(b.capacity, 512u);
    kc_engine_buffer_cleanup(&b);
    std::string huge(1500, 'y');
    ASSERT_EQ(kc_engine_buffer_append(&b, huge.data(), huge.size()), 0);
    EXPECT_EQ(b.capacity, 2048u);
    kc_engine_buffer_cleanup(&b);

    ASSERT_EQ(kc_engine_buffer_append(&b, "0123456789", 10), 0);
    EXPECT_EQ(b.capacity, 256u);
    std::string expected = "0123456789";
    for (int i = 0; i < 30; i++) {
        ASSERT_EQ(kc_engine_buffer_append_cstr(&b, "abcdefghij"), 0);
        expected += "abcdefghij";
    }
    EXPECT_EQ(b.length, expected.size());
    EXPECT_EQ(b.capacity, 512u); // doubled once
    EXPECT_EQ(std::string(b.data), expected);
    EXPECT_EQ(kc_engine_buffer_append_cstr(&b, nullptr), 0);
    EXPECT_EQ(b.length, expected.size());
    kc_engine_buffer_cleanup(&b);
    EXPECT_EQ(b.data, nullptr);
}

TEST(EngineBuffer, InvalidAndLimited) {
    kc_engine_buffer b;
    kc_engine_buffer_init(&b);
    EXPECT_EQ(kc_engine_buffer_append(nullptr, "a", 1), 1);
    EXPECT_EQ(kc_engine_buffer_append(&b, nullptr, 1), 1);
    EXPECT_EQ(kc_engine_buffer_append(&b, nullptr, 0), 0);
    ASSERT_EQ(kc_engine_buffer_append_limited(&b, "abc", 3, 4), 0); // 3 + NUL fits exactly
    EXPECT_EQ(kc_engine_buffer_append_limited(&b, "d", 1, 4), 2);
    EXPECT_STREQ(b.data, "abc");
    EXPECT_EQ(b.length, 3u);
    EXPECT_EQ(kc_engine_buffer_append_cstr_limited(&b, "de", 6), 0);
    EXPECT_EQ(kc_engine_buffer_append_cstr_limited(&b, "f", 6), 2);
    EXPECT_EQ(kc_engine_buffer_append_cstr_limited(&b, "f", 0), 0); // 0: no limit
    EXPECT_STREQ(b.data, "abcdef");
    kc_engine_buffer_cleanup(&b);
}

TEST(EngineStrings, CopiesTrimAndMemoryReader) {
    char *s = kc_engine_strdup_local("abc");
    EXPECT_STREQ(s, "abc");
    kc_engine_free_string(&s);
    EXPECT_EQ(s, nullptr);
    kc_engine_free_string(&s);
    EXPECT_EQ(kc_engine_strdup_local(nullptr), nullptr);
    const char *t = "range";
    char *r = kc_engine_strdup_range(t + 1, t + 4);
    EXPECT_STREQ(r, "ang");
    std::free(r);
    EXPECT_EQ(kc_engine_strdup_range(t + 4, t + 1), nullptr);
    char path[] = "http://h///";
    kc_engine_trim_trailing_slash(path);
    EXPECT_STREQ(path, "http://h");
    char slashes[] = "///";
    kc_engine_trim_trailing_slash(slashes);
    EXPECT_STREQ(slashes, "");

    // Reading a document through the memory reader parses exactly as a buffer parse.
    const std::string doc = "{\"error\":\"node_passive\",\"current_version\":12}";
    kc_engine_json_memory_input input{doc.data(), doc.size()};
    char piece[5];
    std::string collected;
    for (;;) {
        vellum_read_result got = kc_engine_json_memory_reader(&input, piece, sizeof(piece));
        collected.append(piece, got.bytes);
        ASSERT_LE(got.bytes, sizeof(piece));
        if (got.eof) break;
    }
    EXPECT_EQ(collected, doc);
    EXPECT_EQ(input.remaining, 0u);
    EXPECT_EQ(kc_engine_json_memory_reader(&input, piece, sizeof(piece)).eof, 1);

    kc_engine_json_memory_input again{doc.data(), doc.size()};
    kc_engine_http_error_body body{};
    ASSERT_EQ(vellum_parse_reader(&kc_engine_http_error_map, &body, kc_engine_json_memory_reader, &again, nullptr,
                                  nullptr),
              VELLUM_STATUS_OK);
    EXPECT_STREQ(body.error, "node_passive");
    EXPECT_EQ(body.current_version, 12);
    vellum_cleanup(&kc_engine_http_error_map, &body);
}

TEST(EngineStrings, UrlEncode) {
    char *empty = kc_engine_url_encode(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    std::free(empty);
    char *encoded = kc_engine_url_encode("a b/c?d=e&f-._~Z9%");
    EXPECT_STREQ(encoded, "a%20b%2Fc%3Fd%3De%26f-._~Z9%25");
    std::free(encoded);
    char *utf8 = kc_engine_url_encode("\xc3\xa9");
    EXPECT_STREQ(utf8, "%C3%A9");
    std::free(utf8);
}

TEST(EngineErrors, SettersAndReset) {
    ErrorGuard e;
    EXPECT_EQ(kc_engine_set_client_error(nullptr, 4, "x"), 4);
    EXPECT_EQ(kc_engine_set_transport_error(&e.error, "boom"), KC_ERR_TRANSPORT);
    EXPECT_EQ(e.message(), "boom");
    e.error.http_status = 500;
    e.error.detail = kc_engine_strdup_local("d");
    // Setting again from the record's own message must not read freed memory.
    EXPECT_EQ(kc_engine_set_protocol_error(&e.error, e.error.message), KC_ERR_PROTOCOL);
    EXPECT_EQ(e.message(), "boom");
    EXPECT_EQ(e.error.detail, nullptr);
    EXPECT_EQ(e.error.http_status, 0);
    EXPECT_EQ(kc_engine_set_client_error(&e.error, KC_ERR_INVALID, nullptr), KC_ERR_INVALID);
    EXPECT_EQ(e.error.message, nullptr);
    kc_engine_error_reset(&e.error);
    EXPECT_EQ(e.error.code, 0);
}

TEST(EngineErrors, VellumStatusMapping) {
    ErrorGuard e;
    vellum_error json;
    vellum_error_init(&json);
    e.error.code = 99;
    EXPECT_EQ(kc_engine_vellum_error_from_status(&e.error, VELLUM_STATUS_OK, &json, "m"), KC_OK);
    EXPECT_EQ(e.error.code, 99); // untouched
    struct Case {
        vellum_status status;
        int code;
        const char *fallback;
    } cases[] = {{VELLUM_STATUS_INVALID_ARGUMENT, KC_ERR_INVALID, "invalid vellum argument"},
                 {VELLUM_STATUS_ALLOCATION_FAILED, KC_ERR_NOMEM, "vellum allocation failed"},
                 {VELLUM_STATUS_CALLBACK_FAILED, KC_ERR_TRANSPORT, "local JSON mapping failed"},
                 {VELLUM_STATUS_IO_ERROR, KC_ERR_TRANSPORT, "local JSON mapping failed"},
                 {VELLUM_STATUS_INTERNAL_ERROR, KC_ERR_TRANSPORT, "local JSON mapping failed"},
                 {VELLUM_STATUS_INVALID_JSON, KC_ERR_PROTOCOL, "failed to parse JSON"},
                 {VELLUM_STATUS_OVERFLOW, KC_ERR_PROTOCOL, "failed to parse JSON"}};
    for (const Case &c : cases) {
        EXPECT_EQ(kc_engine_vellum_error_from_status(&e.error, c.status, &json, nullptr), c.code);
        EXPECT_EQ(e.message(), c.fallback);
    }
    std::strcpy(json.message, "unexpected character");
    EXPECT_EQ(kc_engine_vellum_error_from_status(&e.error, VELLUM_STATUS_INVALID_JSON, &json, nullptr), KC_ERR_PROTOCOL);
    EXPECT_EQ(e.message(), "unexpected character");
    EXPECT_EQ(kc_engine_vellum_error_from_status(&e.error, VELLUM_STATUS_INVALID_JSON, &json, "given"), KC_ERR_PROTOCOL);
    EXPECT_EQ(e.message(), "given");
}

TEST(EngineErrors, ServerErrorFromJsonAndResult) {
    ErrorGuard e;
    EXPECT_EQ(kc_engine_set_server_error_from_json(
                  &e.error, 409, "cid-1",
                  "{\"error\":\"version_conflict\",\"detail\":\"stale\",\"leader_endpoint\":\"http://l\","
                  "\"current_etag\":\"e1\",\"current_version\":4294967297,\"retry_after_seconds\":3,\"other\":1}"),
              KC_ERR_SERVER);
    EXPECT_EQ(e.message(), "korvo returned a non-success status");
    EXPECT_EQ(e.error.http_status, 409);
    EXPECT_STREQ(e.error.correlation_id, "cid-1");
    EXPECT_STREQ(e.error.server_error, "version_conflict");
    EXPECT_STREQ(e.error.detail, "stale");
    EXPECT_STREQ(e.error.leader_endpoint, "http://l");
    EXPECT_STREQ(e.error.current_etag, "e1");
    EXPECT_EQ(e.error.current_version, 4294967297L);
    EXPECT_EQ(e.error.retry_after_seconds, 3);

    EXPECT_EQ(kc_engine_set_server_error_from_json(&e.error, 502, nullptr, ""), KC_ERR_SERVER);
    EXPECT_EQ(e.error.http_status, 502);
    EXPECT_EQ(e.error.server_error, nullptr);

    EXPECT_EQ(kc_engine_set_server_error_from_json(&e.error, 500, "c", "<html>oops</html>"), KC_ERR_PROTOCOL);
    EXPECT_EQ(e.message(), "failed to decode error response body");

    // Without a server error string only status and correlation id are taken.
    kc_engine_http_result result{};
    result.http_status = 404;
    result.correlation_id = const_cast<char *>("c9");
    result.detail = const_cast<char *>("ignored");
    EXPECT_EQ(kc_engine_set_server_error_from_result(&e.error, &result), KC_ERR_SERVER);
    EXPECT_STREQ(e.error.correlation_id, "c9");
    EXPECT_EQ(e.error.detail, nullptr);
    EXPECT_EQ(kc_engine_set_server_error_from_result(nullptr, &result), KC_ERR_SERVER);

    kc_error pub;
    kc_error_init(&pub);
    e.error.code = 42;
    EXPECT_EQ(kc_error_from_engine(&pub, &e.error), KC_ERR_SERVER);
    EXPECT_STREQ(pub.correlation_id, "c9");
    kc_error_cleanup(&pub);
}

// Bundles ---------------------------------------------------------------------------------

int open_with_bundle(const std::string &path, ClientGuard &g, ErrorGuard &e) {
    const char *endpoints[] = {"https://127.0.0.1:1"};
    kc_engine_client_config config;
    kc_engine_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.client_bundle_path = path.c_str();
    return kc_engine_client_open(&config, &g.client, &e.error);
}

TEST(EngineBundle, LoadsInAnyOrder) {
    const TestPki &pki = test_pki();
    for (const std::string &path : {pki.client_bundle, pki.client_bundle_ca_first}) {
        ClientGuard g;
        ErrorGuard e;
        ASSERT_EQ(open_with_bundle(path, g, e), KC_OK) << e.message();
        EXPECT_NE(g.client->bundle.client_cert, nullptr);
        EXPECT_NE(g.client->bundle.private_key, nullptr);
        EXPECT_EQ(g.client->bundle.ca_count, 1u);
        EXPECT_EQ(g.client->bundle.chain_count, 0u);
    }
}

TEST(EngineBundle, ClassifiesChainCertificatesAndSkipsUnrelatedKeys) {
    const TestPki &pki = test_pki();
    TempDir dir;
    // Unrelated key first, then client, another leaf (chain), both CAs.
    std::string path = dir.write("b.pem", TestPki::read(pki.unrelated_key) + TestPki::read(pki.client_cert) +
                                              TestPki::read(pki.server_cert) + TestPki::read(pki.ca_cert) +
                                              TestPki::read(pki.other_ca_cert) + TestPki::read(pki.client_key));
    ClientGuard g;
    ErrorGuard e;
    ASSERT_EQ(open_with_bundle(path, g, e), KC_OK) << e.message();
    EXPECT_EQ(g.client->bundle.ca_count, 2u);
    EXPECT_EQ(g.client->bundle.chain_count, 1u);
}

TEST(EngineBundle, RejectsIncompleteBundles) {
    const TestPki &pki = test_pki();
    TempDir dir;
    struct Case {
        std::string content;
        int code;
        const char *message;
    } cases[] = {
        {TestPki::read(pki.ca_cert) + TestPki::read(pki.ca_key), KC_ERR_PROTOCOL,
         "client bundle does not contain a client certificate"},
        {TestPki::read(pki.client_cert) + TestPki::read(pki.unrelated_key) + TestPki::read(pki.ca_cert), KC_ERR_PROTOCOL,
         "client bundle does not contain a matching private key"},
        {TestPki::read(pki.client_cert) + TestPki::read(pki.client_key), KC_ERR_PROTOCOL,
         "client bundle does not contain a CA certificate"},
        {"not a pem file\n", KC_ERR_PROTOCOL, "failed to parse client bundle PEM"},
        {"", KC_ERR_PROTOCOL, "failed to parse client bundle PEM"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string path = dir.write("case" + std::to_string(n++) + ".pem", c.content);
        ClientGuard g;
        ErrorGuard e;
        EXPECT_EQ(open_with_bundle(path, g, e), c.code) << c.message;
        EXPECT_EQ(e.message(), c.message);
        EXPECT_EQ(g.client, nullptr);
    }
    ClientGuard g;
    ErrorGuard e;
    EXPECT_EQ(open_with_bundle(dir.file("missing.pem"), g, e), KC_ERR_TRANSPORT);
    EXPECT_EQ(e.message(), "failed to open client bundle");
}

// A bundle source that hands out its text in small pieces and can fail after some bytes.
struct PieceSource {
    kc_engine_bundle_source base;
    std::string text;
    size_t at = 0;
    size_t piece = 7;
    size_t fail_after = SIZE_MAX;
    const char *fail_message = nullptr;
    int reads = 0;

    PieceSource(std::string t) : base{read, nullptr, this}, text(std::move(t)) {}
    static size_t read(kc_engine_bundle_source *source, void *buffer, size_t capacity, kc_engine_error *error) {
        auto *self = static_cast<PieceSource *>(source->user);
        self->reads++;
        if (self->at >= self->fail_after) {
            kc_engine_set_client_error(error, KC_ERR_TRANSPORT, self->fail_message);
            if (!self->fail_message) error->code = KC_ERR_TRANSPORT;
            return 0;
        }
        size_t n = std::min({capacity, self->piece, self->text.size() - self->at});
        std::memcpy(buffer, self->text.data() + self->at, n);
        self->at += n;
        return n;
    }
};

int open_with_source(PieceSource &source, ClientGuard &g, ErrorGuard &e) {
    const char *endpoints[] = {"https://127.0.0.1:1"};
    kc_engine_client_config config;
    kc_engine_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.client_bundle_source = &source.base;
    config.client_bundle_path = "/nonexistent/ignored.pem"; // the source wins
    return kc_engine_client_open(&config, &g.client, &e.error);
}

TEST(EngineBundle, LoadsFromSourceInPieces) {
    PieceSource source(TestPki::read(test_pki().client_bundle));
    ClientGuard g;
    ErrorGuard e;
    ASSERT_EQ(open_with_source(source, g, e), KC_OK) << e.message();
    EXPECT_EQ(source.at, source.text.size());
    EXPECT_GT(source.reads, 1);
    EXPECT_NE(g.client->bundle.private_key, nullptr);
}

TEST(EngineBundle, SourceFailureOverridesParse) {
    std::string text = TestPki::read(test_pki().client_bundle);
    PieceSource source(text);
    source.fail_after = text.size() / 2;
    source.fail_message = "disk on fire";
    ClientGuard g;
    ErrorGuard e;
    EXPECT_EQ(open_with_source(source, g, e), KC_ERR_TRANSPORT);
    EXPECT_EQ(e.message(), "disk on fire");
    EXPECT_EQ(g.client, nullptr);

    // Even when everything before the failure parsed into a complete bundle.
    PieceSource late(text);
    late.fail_after = text.size();
    ClientGuard g2;
    ErrorGuard e2;
    EXPECT_EQ(open_with_source(late, g2, e2), KC_ERR_TRANSPORT);
    EXPECT_EQ(e2.message(), "failed to read client bundle source");
}

TEST(EngineBundle, LoadRequiresInputs) {
    ErrorGuard e;
    EXPECT_EQ(kc_engine_load_bundle(nullptr, nullptr, "x", &e.error), KC_ERR_INVALID);
    EXPECT_EQ(e.message(), "client and bundle source or path are required");
    kc_engine_client client{};
    EXPECT_EQ(kc_engine_load_bundle(&client, nullptr, "", &e.error), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_ssl_ctx_callback(nullptr, nullptr, &client), 58);
}

} // namespace
