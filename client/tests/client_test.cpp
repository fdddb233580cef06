// The public client: open and close (copies, allocator, bundle capture), the slot table, every
// lease/state/attachment operation against the scripted server with its result record and
// events, acquire_for_update, and one client shared by eight threads.
#include "korvoc.h"

#include "api/client_internal.h"
#include "client_fixture.h"
#include "fixtures.h"
#include "test_pki.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace korvo::testing;

namespace {

// A kc_allocator that counts live blocks and can fail its n-th call (1-based).
struct TestAllocator {
    kc_allocator allocator{};
    std::atomic<long> live{0};
    std::atomic<size_t> calls{0};
    size_t fail_at = 0;

    TestAllocator() {
        allocator.malloc_fn = [](void *ctx, size_t size) -> void * {
            auto *self = static_cast<TestAllocator *>(ctx);
            if (self->should_fail()) return nullptr;
            void *p = std::malloc(size);
            if (p) self->live++;
            return p;
        };
        allocator.realloc_fn = [](void *ctx, void *pointer, size_t size) -> void * {
            auto *self = static_cast<TestAllocator *>(ctx);
            if (self->should_fail()) return nullptr;
            void *p = std::realloc(pointer, size);
            if (p && !pointer) self->live++;
            return p;
        };
        allocator.free_fn = [](void *ctx, void *pointer) {
            auto *self = static_cast<TestAllocator *>(ctx);
            if (pointer) self->live--;
            std::free(pointer);
        };
        allocator.context = this;
    }
    bool should_fail() { return ++calls == fail_at; }
};

struct Record {
    char *name;
    int64_t count;
};
const vellum_field kRecordFields[] = {
    VELLUM_FIELD_STRING(Record, name, "name", 0),
    VELLUM_FIELD_I64(Record, count, "count", 0),
};
const vellum_map kRecordMap = VELLUM_MAP(Record, kRecordFields);

kc_lease_ref lease_ref() {
    kc_lease_ref ref;
    kc_lease_ref_init(&ref);
    ref.namespace_ = "ns1";
    ref.key = "k1";
    ref.lease_id = "L1";
    ref.txn_id = "T1";
    ref.fencing_token = 7;
    return ref;
}

std::string unused_endpoint() { return "http://127.0.0.1:" + std::to_string(unused_port()); }

} // namespace

// ---- Open, close, configuration copies ------------------------------------------------------

TEST(ClientOpen, ConfigInitSetsTheDefaults) {
    kc_client_config config;
    std::memset(&config, 0xAB, sizeof(config));
    ASSERT_EQ(kc_client_config_init(&config), &config);
    EXPECT_EQ(config.timeout_ms, 30000);
    EXPECT_EQ(config.prefer_http2, 1);
    EXPECT_EQ(config.max_response_bytes, 0u);
    EXPECT_EQ(config.endpoints, nullptr);
    EXPECT_EQ(config.client_bundle_source, nullptr);
    EXPECT_EQ(config.disable_mtls, 0);
    EXPECT_EQ(config.allocator.malloc_fn, nullptr);
    EXPECT_EQ(kc_client_config_init(nullptr), nullptr);
}

TEST(ClientOpen, ArgumentAndEngineErrors) {
    kc_client_config config;
    kc_client_config_init(&config);
    kc_client *client = nullptr;
    Error error;
    EXPECT_EQ(kc_client_open(nullptr, &client, error.get()), KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "kc_client_open requires config and out");
    EXPECT_EQ(kc_client_open(&config, nullptr, error.get()), KC_ERR_INVALID);

    // The engine's configuration checks come back as they are, with nothing left allocated.
    TestAllocator allocator;
    config.allocator = allocator.allocator;
    config.disable_mtls = 1;
    EXPECT_EQ(kc_client_open(&config, &client, error.get()), KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "at least one endpoint is required");
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(allocator.live, 0);
    kc_client_close(nullptr); // tolerated
}

TEST(ClientOpen, SlotTableCopiesAndAllocator) {
    TestAllocator allocator;
    std::string endpoint = "http://127.0.0.1:1";
    std::string ns = "team";
    const char *endpoints[] = {endpoint.c_str()};
    kc_client_config config;
    kc_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.disable_mtls = 1;
    config.default_namespace = ns.c_str();
    config.allocator = allocator.allocator;
    kc_client *client = nullptr;
    ASSERT_EQ(kc_client_open(&config, &client, nullptr), KC_OK);
    EXPECT_GT(allocator.live, 0); // the handle and its copies came from the configured allocator
    ASSERT_NE(client->default_namespace, nullptr);
    EXPECT_NE(client->default_namespace, ns.c_str());
    EXPECT_STREQ(client->default_namespace, "team");
    EXPECT_EQ(client->reserved, nullptr);
    for (auto slot : {(void *)client->acquire, (void *)client->describe, (void *)client->get, (void *)client->load,
                      (void *)client->update, (void *)client->mutate, (void *)client->metadata,
                      (void *)client->remove, (void *)client->keepalive, (void *)client->release,
                      (void *)client->attach, (void *)client->list_attachments, (void *)client->get_attachment,
                      (void *)client->delete_attachment, (void *)client->delete_all_attachments,
                      (void *)client->close, (void *)client->acquire_for_update})
        EXPECT_NE(slot, nullptr);
    // Operations of other areas are not part of this build yet.
    EXPECT_EQ(client->queue_stats, nullptr);
    EXPECT_EQ(client->query_keys, nullptr);
    EXPECT_EQ(client->new_consumer_service, nullptr);
    // Memory of the client forms goes through the same allocator.
    long before = allocator.live;
    char *copy = kc_client_strdup(client, "x");
    EXPECT_EQ(allocator.live, before + 1);
    kc_client_free(client, copy);
    EXPECT_STREQ(kc_version_string(), "0.7.0");
    kc_client_close(client);
    EXPECT_EQ(allocator.live, 0);

    config.default_namespace = nullptr;
    ASSERT_EQ(kc_client_open(&config, &client, nullptr), KC_OK);
    EXPECT_EQ(client->default_namespace, nullptr);
    kc_client_close(client);
}

// Fails every allocation of open in turn: each failure is KC_ERR_NOMEM with its message and
// leaves nothing allocated; the sweep ends with a successful open.
TEST(ClientOpen, EveryAllocationFailureIsReportedAndCleaned) {
    const TestPki &pki = test_pki();
    std::string bundle = TestPki::read(pki.client_bundle);
    std::string endpoint_a = "http://127.0.0.1:1", endpoint_b = "http://127.0.0.1:2";
    const char *endpoints[] = {endpoint_a.c_str(), endpoint_b.c_str()};
    std::set<std::string> messages;
    for (bool with_bundle : {false, true}) {
        for (size_t n = 1;; n++) {
            ASSERT_LT(n, 100u);
            TestAllocator allocator;
            allocator.fail_at = n;
            kc_source *source = nullptr;
            ASSERT_EQ(kc_source_from_memory(bundle.data(), bundle.size(), &source, nullptr), KC_OK);
            kc_client_config config;
            kc_client_config_init(&config);
            config.endpoints = endpoints;
            config.endpoint_count = 2;
            config.disable_mtls = with_bundle ? 0 : 1;
            config.client_bundle_source = with_bundle ? source : nullptr;
            config.client_bundle_path = with_bundle ? nullptr : "/tmp/bundle.pem";
            config.unix_socket_path = "/tmp/korvo.sock";
            config.default_namespace = "team";
            config.allocator = allocator.allocator;
            kc_client *client = nullptr;
            Error error;
            int code = kc_client_open(&config, &client, error.get());
            kc_source_close(source);
            if (code == KC_OK) {
                kc_client_close(client);
                EXPECT_EQ(allocator.live, 0);
                break;
            }
            EXPECT_EQ(code, KC_ERR_NOMEM) << error.message();
            EXPECT_EQ(client, nullptr);
            EXPECT_EQ(allocator.live, 0) << "after failing allocation " << n;
            messages.insert(error.message());
        }
    }
    EXPECT_EQ(messages, (std::set<std::string>{"failed to allocate client", "failed to allocate client endpoint copy",
                                               "failed to copy client endpoint", "failed to copy unix_socket_path",
                                               "failed to copy client bundle path", "failed to copy default namespace",
                                               "failed to retain client bundle source"}));
}

// ---- Client bundle capture -----------------------------------------------------------------

namespace {

struct ChunkedBundle {
    std::string text;
    size_t position = 0;
    size_t piece = 1000;
    int reads = 0;
    int resets = 0;
    bool fail = false;
    static size_t read(void *user, void *buffer, size_t capacity, kc_error *error) {
        auto *self = static_cast<ChunkedBundle *>(user);
        self->reads++;
        if (self->fail) {
            kc_error_set(error, KC_ERR_TRANSPORT, 0, "bundle device unplugged", nullptr, nullptr, nullptr);
            return 0;
        }
        size_t n = std::min({capacity, self->piece, self->text.size() - self->position});
        std::memcpy(buffer, self->text.data() + self->position, n);
        self->position += n;
        return n;
    }
    static int reset(void *user, kc_error *) {
        static_cast<ChunkedBundle *>(user)->resets++;
        return KC_OK;
    }
};

ServerOptions mutual_tls() {
    const TestPki &pki = test_pki();
    ServerOptions options;
    options.transport = Transport::MutualTls;
    options.cert_file = pki.server_cert;
    options.key_file = pki.server_key;
    options.client_ca_file = pki.ca_cert;
    return options;
}

} // namespace

TEST(ClientBundleThreads, SourceIsReadOnceKeptWholeAndUsedForMutualTls) {
    RoutedServer server(mutual_tls());
    server.route_json("GET", "/v1/describe", 200, "{\"key\":\"k1\",\"version\":2}");
    ChunkedBundle bundle;
    // Text before the first PEM object is ignored by the parser but still part of the bundle.
    bundle.text = std::string(12000, '#') + "\n" + TestPki::read(test_pki().client_bundle);
    kc_source *source = nullptr;
    ASSERT_EQ(kc_source_from_callbacks(ChunkedBundle::read, ChunkedBundle::reset, nullptr, &bundle, &source, nullptr),
              KC_OK);
    {
        TestClient client({server.server().host_port()}, [&](kc_client_config &config) {
            config.disable_mtls = 0;
            config.client_bundle_source = source;
        });
        ASSERT_NE(client.get(), nullptr);
        EXPECT_EQ(bundle.position, bundle.text.size());
        EXPECT_EQ(bundle.resets, 0);
        int reads_after_open = bundle.reads;
        // What the consumer service reopens private clients from: the source's exact bytes.
        const auto *handle = korvo::api::handle_of(client.get());
        ASSERT_EQ(handle->client_bundle_length, bundle.text.size());
        EXPECT_EQ(std::string(handle->client_bundle, handle->client_bundle_length), bundle.text);

        kc_describe_req req;
        kc_describe_req_init(&req);
        req.key = "k1";
        kc_describe_res res{};
        Error error;
        ASSERT_EQ(kc_describe(client.get(), &req, &res, error.get()), KC_OK) << error.message();
        EXPECT_EQ(res.version, 2);
        kc_describe_res_cleanup(&res);
        EXPECT_EQ(bundle.reads, reads_after_open); // never read again
    }
    kc_source_close(source); // the caller's source stays the caller's

    // A failing source fails the open with its own message.
    ChunkedBundle broken;
    broken.fail = true;
    ASSERT_EQ(kc_source_from_callbacks(ChunkedBundle::read, nullptr, nullptr, &broken, &source, nullptr), KC_OK);
    std::string endpoint = server.url();
    const char *endpoints[] = {endpoint.c_str()};
    kc_client_config config;
    kc_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.client_bundle_source = source;
    kc_client *client = nullptr;
    Error error;
    EXPECT_EQ(kc_client_open(&config, &client, error.get()), KC_ERR_TRANSPORT);
    EXPECT_EQ(error.message(), "bundle device unplugged");
    EXPECT_EQ(client, nullptr);
    kc_source_close(source);
}

// ---- Operations -------------------------------------------------------------------------------

TEST(ClientOpsThreads, AcquireMakesLeaseAndLogsInfo) {
    RoutedServer server;
    server.route_json("POST", "/v1/acquire", 200, acquire_body(3, "\"e1\""), {{"X-Correlation-Id", "c-acq"}});
    TestClient client({server.url()});
    kc_acquire_req req;
    kc_acquire_req_init(&req);
    req.namespace_ = "ns1";
    req.key = "k1";
    req.owner = "o1";
    req.ttl_seconds = 30;
    req.block_seconds = 5;
    req.txn_id = "T1";
    kc_lease *lease = nullptr;
    Error error;
    ASSERT_EQ(kc_acquire(client.get(), &req, &lease, error.get()), KC_OK) << error.message();
    ASSERT_NE(lease, nullptr);
    EXPECT_STREQ(lease->namespace_, "ns1");
    EXPECT_STREQ(lease->key, "k1");
    EXPECT_STREQ(lease->owner, "o1");
    EXPECT_STREQ(lease->lease_id, "L1");
    EXPECT_STREQ(lease->txn_id, "T1");
    EXPECT_EQ(lease->fencing_token, 7);
    EXPECT_EQ(lease->version, 3);
    EXPECT_EQ(lease->expires_at, 1700000000);
    EXPECT_STREQ(lease->state_etag, "e1"); // kept without its quotes
    EXPECT_EQ(lease->query_hidden_known, 0);

    std::string body = server.last("/v1/acquire").body;
    EXPECT_NE(body.find("\"ttl_seconds\":30"), std::string::npos) << body;
    EXPECT_NE(body.find("\"block_seconds\":5"), std::string::npos) << body;
    EXPECT_NE(body.find("\"txn_id\":\"T1\""), std::string::npos) << body;

    LogLine start = client.event("client.acquire.start");
    EXPECT_EQ(start.str("level"), "trace");
    EXPECT_EQ(start.str("sys"), "client.korvo");
    EXPECT_EQ(field_keys(start), (std::vector<std::string>{"key", "owner", "ttl_seconds"}));
    EXPECT_EQ(number(start, "ttl_seconds"), "30");
    LogLine success = client.event("client.acquire.success");
    EXPECT_EQ(success.str("level"), "info");
    EXPECT_EQ(field_keys(success), (std::vector<std::string>{"key", "lease_id", "txn_id", "cid"}));
    EXPECT_EQ(success.str("lease_id"), "L1");
    EXPECT_EQ(success.str("cid"), "c-acq");
    kc_lease_close(lease);
}

TEST(ClientOpsThreads, AcquireFailuresLogAtErrorLevelWithoutTransportVariant) {
    RoutedServer server;
    server.route_json("POST", "/v1/acquire", 409, "{\"error\":\"lease_held\",\"detail\":\"held by o2\"}",
                      {{"X-Correlation-Id", "c-409"}});
    TestClient client({server.url()});
    kc_acquire_req req;
    kc_acquire_req_init(&req);
    req.key = "k1";
    req.owner = "o1";
    req.ttl_seconds = 10;
    kc_lease *lease = nullptr;
    Error error;
    EXPECT_EQ(kc_acquire(client.get(), &req, &lease, error.get()), KC_ERR_SERVER);
    EXPECT_EQ(lease, nullptr);
    EXPECT_EQ(error.record.http_status, 409);
    EXPECT_STREQ(error.record.server_error, "lease_held");
    EXPECT_EQ(error.detail(), "held by o2");
    EXPECT_STREQ(error.record.correlation_id, "c-409");
    LogLine failed = client.event("client.acquire.error");
    EXPECT_EQ(failed.str("level"), "error");
    EXPECT_EQ(field_keys(failed),
              (std::vector<std::string>{"key", "owner", "ttl_seconds", "code", "http_status", "error"}));
    EXPECT_EQ(number(failed, "code"), "5");
    EXPECT_EQ(number(failed, "http_status"), "409");
    EXPECT_EQ(failed.str("error"), "korvo returned a non-success status");

    TestClient offline({unused_endpoint()});
    EXPECT_EQ(kc_acquire(offline.get(), &req, &lease, error.get()), KC_ERR_TRANSPORT);
    EXPECT_EQ(offline.event("client.acquire.error").str("level"), "error");
    EXPECT_TRUE(offline.events("client.acquire.transport_error").empty());
}

// Each allocation of the new lease handle may fail: the error names the handle, nothing of it
// is left behind and the caller's pointer stays untouched.
TEST(ClientOpsThreads, AcquireReportsEveryFailedHandleAllocation) {
    RoutedServer server;
    server.route_json("POST", "/v1/acquire", 200, acquire_body(3, "\"e1\""), {{"X-Correlation-Id", "c-acq"}});
    TestAllocator allocator;
    TestClient client({server.url()}, [&](kc_client_config &config) { config.allocator = allocator.allocator; });
    kc_acquire_req req;
    kc_acquire_req_init(&req);
    req.key = "k1";
    req.owner = "o1";
    req.ttl_seconds = 30;
    size_t failures = 0;
    for (size_t n = 1; n < 20; ++n) {
        SCOPED_TRACE(n);
        const long live = allocator.live;
        allocator.fail_at = allocator.calls + n;
        kc_lease *lease = nullptr;
        Error error;
        int code = kc_acquire(client.get(), &req, &lease, error.get());
        allocator.fail_at = 0;
        if (code == KC_OK) {
            ASSERT_NE(lease, nullptr);
            EXPECT_STREQ(lease->state_etag, "e1");
            kc_lease_close(lease);
            EXPECT_EQ(allocator.live, live);
            break;
        }
        ++failures;
        EXPECT_EQ(code, KC_ERR_NOMEM);
        EXPECT_EQ(error.message(), "failed to allocate lease handle");
        EXPECT_EQ(lease, nullptr);
        EXPECT_EQ(allocator.live, live);
    }
    EXPECT_GE(failures, 7u); // the handle, then namespace, key, owner, lease_id, txn_id and state etag
    std::vector<LogLine> failed = client.events("client.acquire.error");
    ASSERT_EQ(failed.size(), failures);
    for (const LogLine &line : failed) {
        EXPECT_EQ(line.str("level"), "error");
        EXPECT_EQ(field_keys(line),
                  (std::vector<std::string>{"key", "owner", "ttl_seconds", "code", "http_status", "error"}));
        EXPECT_EQ(number(line, "code"), std::to_string(KC_ERR_NOMEM));
    }
    EXPECT_EQ(client.events("client.acquire.success").size(), 1u);
}

TEST(ClientOpsThreads, DescribeResultAndErrorEvents) {
    RoutedServer server;
    server.route_json("GET", "/v1/describe", 200,
                      "{\"namespace\":\"team\",\"key\":\"a b\",\"owner\":\"o1\",\"lease_id\":\"L1\","
                      "\"expires_at_unix\":99,\"version\":4,\"state_etag\":\"s4\",\"updated_at_unix\":98,"
                      "\"metadata\":{\"query_hidden\":true}}",
                      {{"X-Correlation-Id", "c-d"}});
    TestClient client({server.url()}, [](kc_client_config &config) { config.default_namespace = "team"; });
    kc_describe_req req;
    kc_describe_req_init(&req);
    req.key = "a b";
    kc_describe_res res{};
    Error error;
    ASSERT_EQ(kc_describe(client.get(), &req, &res, error.get()), KC_OK) << error.message();
    EXPECT_EQ(query_param(server.last("/v1/describe").target, "namespace"), "team"); // the client default
    EXPECT_STREQ(res.namespace_, "team");
    EXPECT_STREQ(res.key, "a b");
    EXPECT_STREQ(res.owner, "o1");
    EXPECT_STREQ(res.lease_id, "L1");
    EXPECT_EQ(res.expires_at_unix, 99);
    EXPECT_EQ(res.version, 4);
    EXPECT_STREQ(res.state_etag, "s4");
    EXPECT_EQ(res.updated_at_unix, 98);
    EXPECT_EQ(res.metadata_present, 1);
    EXPECT_EQ(res.query_hidden, 1);
    EXPECT_STREQ(res.correlation_id, "c-d");
    LogLine success = client.event("client.describe.success");
    EXPECT_EQ(field_keys(success), (std::vector<std::string>{"key", "version", "state_etag", "cid"}));
    EXPECT_EQ(success.str("level"), "trace");

    // A failure leaves the result record alone.
    server.route_json("GET", "/v1/describe", 409, "{\"error\":\"conflict\"}");
    kc_describe_res untouched{};
    untouched.version = 77;
    EXPECT_EQ(kc_describe(client.get(), &req, &untouched, error.get()), KC_ERR_SERVER);
    EXPECT_EQ(untouched.version, 77);
    EXPECT_EQ(untouched.key, nullptr);
    LogLine refused = client.event("client.describe.error");
    EXPECT_EQ(refused.str("level"), "warn");
    EXPECT_EQ(number(refused, "http_status"), "409");
    EXPECT_TRUE(client.events("client.describe.transport_error").empty());

    TestClient offline({unused_endpoint()});
    EXPECT_EQ(kc_describe(offline.get(), &req, &untouched, error.get()), KC_ERR_TRANSPORT);
    LogLine transport = offline.event("client.describe.transport_error");
    EXPECT_EQ(transport.str("level"), "error");
    EXPECT_EQ(number(transport, "code"), "3");
    EXPECT_EQ(number(transport, "http_status"), "0");
    EXPECT_TRUE(offline.events("client.describe.error").empty());
    kc_describe_res_cleanup(&res);
}

TEST(ClientOpsThreads, GetStreamsTheStateIntoTheSink) {
    RoutedServer server;
    std::string document(70000, 'x');
    server.route("GET", "/v1/get", [&](const CapturedRequest &) {
        ScriptedResponse response = ScriptedResponse::json(200, document);
        response.chunked = true;
        response.chunk_size = 4096;
        response.headers.push_back({"ETag", "\"s9\""});
        response.headers.push_back({"X-Key-Version", "9"});
        response.headers.push_back({"X-Fencing-Token", "12"});
        response.headers.push_back({"X-Correlation-Id", "c-get"});
        return response;
    });
    TestClient client({server.url()});
    kc_get_opts opts;
    kc_get_opts_init(&opts);
    opts.public_ = 1;
    MemorySink sink;
    kc_get_res res{};
    Error error;
    ASSERT_EQ(kc_get(client.get(), "k1", &opts, sink.sink, &res, error.get()), KC_OK) << error.message();
    EXPECT_EQ(sink.text(), document);
    EXPECT_EQ(query_param(server.last("/v1/get").target, "public"), "1");
    EXPECT_EQ(res.no_content, 0);
    EXPECT_STREQ(res.content_type, "application/json");
    EXPECT_STREQ(res.etag, "\"s9\""); // the result keeps the header as sent
    EXPECT_EQ(res.version, 9);
    EXPECT_EQ(res.fencing_token, 12);
    EXPECT_STREQ(res.correlation_id, "c-get");
    kc_get_res_cleanup(&res);
    EXPECT_EQ(field_keys(client.event("client.get.start")), (std::vector<std::string>{"key", "public"}));
    LogLine success = client.event("client.get.success");
    EXPECT_EQ(field_keys(success), (std::vector<std::string>{"key", "public", "version", "fencing_token", "cid"}));
    EXPECT_EQ(number(success, "fencing_token"), "12");

    // A key without state: success with no_content, and "client.get.empty" at debug level.
    server.route("GET", "/v1/get", [](const CapturedRequest &) {
        ScriptedResponse response;
        response.status = 204;
        response.reason = "No Content";
        return response;
    });
    MemorySink empty;
    ASSERT_EQ(kc_get(client.get(), "k1", &opts, empty.sink, &res, error.get()), KC_OK);
    EXPECT_EQ(res.no_content, 1);
    EXPECT_EQ(empty.text(), "");
    EXPECT_EQ(client.event("client.get.empty").str("level"), "debug");
    kc_get_res_cleanup(&res);

    // Without options no public read is asked for, and the client holds no lease.
    EXPECT_EQ(kc_get(client.get(), "k1", nullptr, empty.sink, &res, error.get()), KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "get_into requires lease_id unless public_read is enabled");
    EXPECT_EQ(field_keys(client.events("client.get.start").back()), (std::vector<std::string>{"key"}));
    EXPECT_EQ(client.event("client.get.error").str("level"), "warn");
}

TEST(ClientOpsThreads, LoadParsesIntoTheRecordWithinTheByteLimit) {
    RoutedServer server;
    std::string body = "{\"name\":\"" + std::string(80, 'n') + "\",\"count\":5}";
    server.route("GET", "/v1/get", [&](const CapturedRequest &) {
        ScriptedResponse response = ScriptedResponse::json(200, body);
        response.chunked = true;
        response.chunk_size = 7;
        response.headers.push_back({"X-Key-Version", "3"});
        return response;
    });
    size_t limit = body.size();
    TestClient client({server.url()}, [&](kc_client_config &config) { config.max_response_bytes = limit; });
    kc_get_opts opts;
    kc_get_opts_init(&opts);
    opts.public_ = 1;
    Record record{};
    kc_get_res res{};
    Error error;
    // Exactly at the limit loads.
    ASSERT_EQ(kc_load(client.get(), "k1", &kRecordMap, &record, nullptr, &opts, &res, error.get()), KC_OK)
        << error.message();
    EXPECT_EQ(std::string(record.name), std::string(80, 'n'));
    EXPECT_EQ(record.count, 5);
    EXPECT_EQ(res.version, 3);
    kc_get_res_cleanup(&res);
    EXPECT_EQ(client.events("client.get.success").size(), 1u);
    vellum_cleanup(&kRecordMap, &record); // a load clears the record, it does not free it

    // One byte over fails; the record holds nothing that needs freeing.
    body = "{\"name\":\"" + std::string(81, 'n') + "\",\"count\":5}";
    EXPECT_EQ(kc_load(client.get(), "k1", &kRecordMap, &record, nullptr, &opts, &res, error.get()), KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "mapped state response exceeds configured byte limit");
    EXPECT_EQ(record.name, nullptr);
    EXPECT_EQ(record.count, 0);
    EXPECT_EQ(res.correlation_id, nullptr);
    LogLine failed = client.event("client.get.error");
    EXPECT_EQ(failed.str("level"), "warn");
    EXPECT_EQ(number(failed, "code"), "4");

    // A body that is not the record's JSON.
    body = "{\"count\":\"five\"}";
    EXPECT_EQ(kc_load(client.get(), "k1", &kRecordMap, &record, nullptr, &opts, &res, error.get()), KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "failed to parse mapped state");
    EXPECT_NE(error.detail(), "<null>"); // the JSON library's own text
    body = "{\"name\":\"x\"";                // cut short: fails at the end
    EXPECT_EQ(kc_load(client.get(), "k1", &kRecordMap, &record, nullptr, &opts, &res, error.get()), KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "failed to parse mapped state");
    EXPECT_EQ(record.name, nullptr);
    vellum_cleanup(&kRecordMap, &record);
}

TEST(ClientOpsThreads, UpdateUploadsTheSource) {
    RoutedServer server;
    server.route_json("POST", "/v1/update", 200, "{\"new_version\":5,\"new_state_etag\":\"s5\",\"bytes\":11}",
                      {{"X-Correlation-Id", "c-u"}});
    TestClient client({server.url()});
    kc_update_req req;
    kc_update_req_init(&req);
    req.key = "k1";
    req.lease_id = "L1";
    req.txn_id = "T1";
    req.fencing_token = 7;
    req.if_version = 4;
    req.if_version_set = 1;
    MemorySource source("{\"a\":true}\n");
    kc_update_res res{};
    Error error;
    ASSERT_EQ(kc_update(client.get(), &req, source.source, &res, error.get()), KC_OK) << error.message();
    CapturedRequest sent = server.last("/v1/update");
    EXPECT_EQ(sent.body, "{\"a\":true}\n");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(sent.header("X-If-Version"), "4");
    EXPECT_EQ(sent.header("X-Fencing-Token"), "7");
    EXPECT_EQ(sent.header("X-Lease-ID"), "L1");
    EXPECT_EQ(res.new_version, 5);
    EXPECT_STREQ(res.new_state_etag, "s5");
    EXPECT_EQ(res.bytes, 11);
    EXPECT_STREQ(res.correlation_id, "c-u");
    kc_update_res_cleanup(&res);
    EXPECT_EQ(field_keys(client.event("client.update.start")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "fencing_token"}));
    EXPECT_EQ(field_keys(client.event("client.update.success")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "new_version", "new_etag", "cid"}));
}

TEST(ClientOpsThreads, StateOperationsByReference) {
    RoutedServer server;
    server.route_json("POST", "/v1/mutate", 200, "{\"new_version\":6,\"new_state_etag\":\"s6\",\"bytes\":3}",
                      {{"X-Correlation-Id", "c-m"}});
    server.route_json("POST", "/v1/metadata", 200,
                      "{\"namespace\":\"ns1\",\"key\":\"k1\",\"version\":6,\"metadata\":{\"query_hidden\":true}}");
    server.route_json("POST", "/v1/remove", 200, "{\"removed\":true,\"new_version\":7}");
    server.route_json("POST", "/v1/keepalive", 200, "{\"expires_at_unix\":500,\"version\":7,\"state_etag\":\"s7\"}");
    server.route_json("POST", "/v1/release", 200, "{\"released\":true}", {{"X-Correlation-Id", "c-r"}});
    TestClient client({server.url()});
    Error error;

    const char *mutations[] = {"/a=1", "/b++"};
    kc_mutate_op mutate;
    kc_mutate_op_init(&mutate);
    mutate.lease = lease_ref();
    mutate.mutations = mutations;
    mutate.mutation_count = 2;
    kc_mutate_res mutated{};
    ASSERT_EQ(kc_mutate(client.get(), &mutate, &mutated, error.get()), KC_OK) << error.message();
    EXPECT_EQ(mutated.new_version, 6);
    EXPECT_STREQ(mutated.new_state_etag, "s6");
    EXPECT_STREQ(mutated.correlation_id, "c-m");
    EXPECT_NE(server.last("/v1/mutate").body.find("\"mutations\":[\"/a=1\",\"/b++\"]"), std::string::npos);
    EXPECT_FALSE(server.last("/v1/mutate").has_header("X-If-Version")); // no lease handle, no expected version
    kc_mutate_res_cleanup(&mutated);
    EXPECT_EQ(field_keys(client.event("client.mutate.success")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "fencing_token", "new_version", "new_etag",
                                        "cid"}));

    kc_metadata_op metadata;
    kc_metadata_op_init(&metadata);
    metadata.lease = lease_ref();
    metadata.query_hidden_set = 1;
    metadata.query_hidden = 1;
    kc_metadata_res meta{};
    ASSERT_EQ(kc_metadata(client.get(), &metadata, &meta, error.get()), KC_OK) << error.message();
    EXPECT_EQ(server.last("/v1/metadata").body, "{\"query_hidden\":true}");
    EXPECT_EQ(meta.version, 6);
    EXPECT_EQ(meta.metadata_present, 1);
    EXPECT_EQ(meta.query_hidden, 1);
    EXPECT_STREQ(meta.key, "k1");
    kc_metadata_res_cleanup(&meta);
    EXPECT_EQ(field_keys(client.event("client.metadata.success")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "version", "query_hidden", "cid"}));

    kc_remove_op remove;
    kc_remove_op_init(&remove);
    remove.lease = lease_ref();
    remove.if_state_etag = "s6";
    kc_remove_res removed{};
    ASSERT_EQ(kc_remove(client.get(), &remove, &removed, error.get()), KC_OK) << error.message();
    EXPECT_EQ(removed.removed, 1);
    EXPECT_EQ(removed.new_version, 7);
    EXPECT_EQ(server.last("/v1/remove").header("X-If-State-ETag"), "s6");
    kc_remove_res_cleanup(&removed);
    EXPECT_EQ(field_keys(client.event("client.remove.success")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "fencing_token", "removed", "new_version",
                                        "cid"}));

    kc_keepalive_op keepalive;
    kc_keepalive_op_init(&keepalive);
    keepalive.lease = lease_ref();
    keepalive.ttl_seconds = 45;
    kc_keepalive_res kept{};
    ASSERT_EQ(kc_keepalive(client.get(), &keepalive, &kept, error.get()), KC_OK) << error.message();
    EXPECT_EQ(kept.expires_at_unix, 500);
    EXPECT_EQ(kept.version, 7);
    EXPECT_STREQ(kept.state_etag, "s7");
    EXPECT_NE(server.last("/v1/keepalive").body.find("\"ttl_seconds\":45"), std::string::npos);
    kc_keepalive_res_cleanup(&kept);
    EXPECT_EQ(field_keys(client.event("client.keepalive.start")),
              (std::vector<std::string>{"key", "lease_id", "ttl_seconds", "fencing_token"}));
    EXPECT_EQ(field_keys(client.event("client.keepalive.success")),
              (std::vector<std::string>{"key", "lease_id", "ttl_seconds", "fencing_token", "expires_at", "cid"}));

    kc_release_op release;
    kc_release_op_init(&release);
    release.lease = lease_ref();
    release.rollback = 1;
    kc_release_res released{};
    ASSERT_EQ(kc_release(client.get(), &release, &released, error.get()), KC_OK) << error.message();
    EXPECT_EQ(released.released, 1);
    EXPECT_STREQ(released.correlation_id, "c-r");
    EXPECT_NE(server.last("/v1/release").body.find("\"rollback\":true"), std::string::npos);
    kc_release_res_cleanup(&released);
    LogLine success = client.event("client.release.success");
    EXPECT_EQ(field_keys(success), (std::vector<std::string>{"key", "lease_id", "released", "cid"}));
    EXPECT_TRUE(flag(success, "released"));
}

TEST(ClientOpsThreads, AttachmentOperations) {
    RoutedServer server;
    const std::string info = "{\"id\":\"A1\",\"name\":\"n.txt\",\"size\":5,\"plaintext_sha256\":\"abc\","
                             "\"content_type\":\"text/plain\",\"created_at_unix\":10,\"updated_at_unix\":11}";
    server.route_json("POST", "/v1/attachments", 200, "{\"attachment\":" + info + ",\"noop\":false,\"version\":8}");
    server.route_json("GET", "/v1/attachments", 200,
                      "{\"namespace\":\"ns1\",\"key\":\"k1\",\"attachments\":[" + info + "," + info + "]}");
    server.route("GET", "/v1/attachment", [](const CapturedRequest &) {
        ScriptedResponse response;
        response.body = "hello";
        response.headers = {{"Content-Type", "text/plain"},        {"X-Attachment-ID", "A1"},
                            {"X-Attachment-Name", "n.txt"},        {"X-Attachment-SHA256", "abc"},
                            {"X-Attachment-Size", "5"},            {"X-Attachment-Created-At", "10"},
                            {"X-Attachment-Updated-At", "11"},     {"X-Correlation-Id", "c-ga"}};
        return response;
    });
    server.route_json("DELETE", "/v1/attachment", 200, "{\"deleted\":true,\"version\":9}");
    server.route_json("DELETE", "/v1/attachments", 200, "{\"deleted\":2,\"version\":10}");
    TestClient client({server.url()});
    Error error;

    kc_attach_op attach;
    kc_attach_op_init(&attach);
    attach.lease = lease_ref();
    attach.name = "n.txt";
    attach.content_type = "text/plain";
    MemorySource payload("hello");
    kc_attach_res attached{};
    ASSERT_EQ(kc_attach(client.get(), &attach, payload.source, &attached, error.get()), KC_OK) << error.message();
    EXPECT_EQ(server.last("/v1/attachments").body, "hello");
    EXPECT_EQ(query_param(server.last("/v1/attachments").target, "name"), "n.txt");
    EXPECT_STREQ(attached.attachment.id, "A1");
    EXPECT_STREQ(attached.attachment.plaintext_sha256, "abc");
    EXPECT_EQ(attached.attachment.size, 5);
    EXPECT_EQ(attached.attachment.updated_at_unix, 11);
    EXPECT_EQ(attached.noop, 0);
    EXPECT_EQ(attached.version, 8);
    kc_attach_res_cleanup(&attached);
    EXPECT_EQ(field_keys(client.event("client.attachment.attach.success")),
              (std::vector<std::string>{"key", "lease_id", "name", "content_type", "noop", "version", "cid"}));

    kc_attachment_list_op list;
    kc_attachment_list_op_init(&list);
    list.lease = lease_ref();
    kc_attachment_list listed{};
    ASSERT_EQ(kc_list_attachments(client.get(), &list, &listed, error.get()), KC_OK) << error.message();
    ASSERT_EQ(listed.count, 2u);
    EXPECT_STREQ(listed.attachments[1].name, "n.txt");
    EXPECT_STREQ(listed.key, "k1");
    kc_attachment_list_cleanup(&listed);
    LogLine list_success = client.event("client.attachment.list.success");
    EXPECT_EQ(field_keys(list_success), (std::vector<std::string>{"key", "lease_id", "count", "cid"}));
    EXPECT_EQ(number(list_success, "count"), "2");
    EXPECT_EQ(field_keys(client.event("client.attachment.list.start")),
              (std::vector<std::string>{"key", "lease_id", "public"}));

    kc_attachment_get_op get;
    kc_attachment_get_op_init(&get);
    get.lease = lease_ref();
    get.selector.name = "n.txt";
    MemorySink sink;
    kc_attachment_get_res got{};
    ASSERT_EQ(kc_get_attachment(client.get(), &get, sink.sink, &got, error.get()), KC_OK) << error.message();
    EXPECT_EQ(sink.text(), "hello");
    EXPECT_STREQ(got.id, "A1");
    EXPECT_STREQ(got.name, "n.txt");
    EXPECT_EQ(got.size, 5);
    EXPECT_EQ(got.created_at_unix, 10);
    EXPECT_STREQ(got.content_type, "text/plain");
    EXPECT_STREQ(got.correlation_id, "c-ga");
    kc_attachment_get_res_cleanup(&got);
    EXPECT_EQ(field_keys(client.event("client.attachment.get.success")),
              (std::vector<std::string>{"key", "lease_id", "attachment_id", "name", "cid"}));

    kc_attachment_delete_op del;
    kc_attachment_delete_op_init(&del);
    del.lease = lease_ref();
    del.selector.id = "A1";
    int deleted = -1;
    ASSERT_EQ(kc_delete_attachment(client.get(), &del, &deleted, error.get()), KC_OK) << error.message();
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(query_param(server.last("/v1/attachment").target, "id"), "A1");
    EXPECT_EQ(field_keys(client.event("client.attachment.delete.success")),
              (std::vector<std::string>{"key", "lease_id", "attachment_id", "name", "deleted", "cid"}));

    kc_attachment_delete_all_op all;
    kc_attachment_delete_all_op_init(&all);
    all.lease = lease_ref();
    int count = -1;
    ASSERT_EQ(kc_delete_all_attachments(client.get(), &all, &count, error.get()), KC_OK) << error.message();
    EXPECT_EQ(count, 2);
    LogLine all_success = client.event("client.attachment.delete_all.success");
    EXPECT_EQ(field_keys(all_success), (std::vector<std::string>{"key", "lease_id", "deleted", "cid"}));
    EXPECT_EQ(number(all_success, "deleted"), "2");
}

TEST(ClientOpsThreads, ArgumentChecksComeFirstAndLogNothing) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_client *c = client.get();
    MemorySink sink;
    MemorySource source("x");
    Record record{};
    kc_acquire_req acquire{};
    kc_describe_req describe{};
    kc_update_req update{};
    kc_mutate_op mutate{};
    kc_attach_op attach{};
    kc_attachment_get_op get{};
    kc_attachment_delete_op del{};
    kc_lease *lease = nullptr;
    kc_get_res got{};
    kc_update_res updated{};
    kc_attach_res attached{};
    kc_attachment_get_res fetched{};
    kc_attachment_list listed{};
    struct Case {
        std::function<int(kc_error *)> call;
        const char *message;
    };
    const Case cases[] = {
        {[&](kc_error *e) { return kc_acquire(c, &acquire, nullptr, e); }, "acquire requires self, req, and out"},
        {[&](kc_error *e) { return kc_acquire(c, nullptr, &lease, e); },
         "acquire requires self, req, and out"},
        {[&](kc_error *e) { return kc_describe(c, &describe, nullptr, e); }, "describe requires self, req, and out"},
        {[&](kc_error *e) { return kc_get(c, nullptr, nullptr, sink.sink, &got, e); },
         "get requires self, key, dst, and out"},
        {[&](kc_error *e) { return kc_get(c, "k", nullptr, nullptr, &got, e); }, "get requires self, key, dst, and out"},
        {[&](kc_error *e) { return kc_load(c, "k", nullptr, &record, nullptr, nullptr, &got, e); },
         "load requires self, key, map, destination, and out"},
        {[&](kc_error *e) { return kc_update(c, &update, nullptr, &updated, e); },
         "update requires self, req, src, and out"},
        {[&](kc_error *e) { return kc_mutate(c, &mutate, nullptr, e); }, "mutate requires self, req, and out"},
        {[&](kc_error *e) { return kc_metadata(c, nullptr, nullptr, e); }, "metadata requires self, req, and out"},
        {[&](kc_error *e) { return kc_remove(c, nullptr, nullptr, e); }, "remove requires self, req, and out"},
        {[&](kc_error *e) { return kc_keepalive(c, nullptr, nullptr, e); }, "keepalive requires self, req, and out"},
        {[&](kc_error *e) { return kc_release(c, nullptr, nullptr, e); }, "release requires self, req, and out"},
        {[&](kc_error *e) { return kc_attach(c, &attach, nullptr, &attached, e); },
         "attach requires self, req, src, and out"},
        {[&](kc_error *e) { return kc_list_attachments(c, nullptr, &listed, e); },
         "list_attachments requires self, req, and out"},
        {[&](kc_error *e) { return kc_get_attachment(c, &get, nullptr, &fetched, e); },
         "get_attachment requires self, req, dst, and out"},
        {[&](kc_error *e) { return kc_delete_attachment(c, &del, nullptr, e); },
         "delete_attachment requires self, req, and deleted"},
        {[&](kc_error *e) { return kc_delete_all_attachments(c, nullptr, nullptr, e); },
         "delete_all_attachments requires self, req, and deleted_count"},
        {[&](kc_error *e) { return kc_acquire_for_update(c, &acquire, nullptr, nullptr, e); },
         "acquire_for_update requires self, req, and handler"},
        {[&](kc_error *e) { return c->describe(nullptr, &describe, nullptr, e); },
         "describe requires self, req, and out"},
    };
    for (const Case &test : cases) {
        Error error;
        EXPECT_EQ(test.call(error.get()), KC_ERR_INVALID) << test.message;
        EXPECT_EQ(error.message(), test.message);
        EXPECT_EQ(test.call(nullptr), KC_ERR_INVALID); // a NULL error record only loses the details
    }
    EXPECT_EQ(server.server().request_count(), 0u);
    EXPECT_TRUE(client.event_names("client.").size() <= 1u); // at most "client.init"
}

// Every operation's error event and level, for a server refusal and for a transport failure.
TEST(ClientOpsThreads, ErrorEventsAndLevelsOfEveryOperation) {
    RoutedServer server;
    for (auto [method, path] : std::vector<std::pair<std::string, std::string>>{{"GET", "/v1/describe"},
                                                                                {"GET", "/v1/get"},
                                                                                {"POST", "/v1/update"},
                                                                                {"POST", "/v1/mutate"},
                                                                                {"POST", "/v1/metadata"},
                                                                                {"POST", "/v1/remove"},
                                                                                {"POST", "/v1/keepalive"},
                                                                                {"POST", "/v1/release"},
                                                                                {"POST", "/v1/attachments"},
                                                                                {"GET", "/v1/attachments"},
                                                                                {"GET", "/v1/attachment"},
                                                                                {"DELETE", "/v1/attachment"},
                                                                                {"DELETE", "/v1/attachments"}})
        server.route_json(method, path, 409, "{\"error\":\"conflict\"}");
    struct Op {
        const char *prefix;
        const char *refusal_level;   // level of "<prefix>.error" for the 409
        bool transport_variant;      // a transport failure logs "<prefix>.transport_error"
        std::function<int(kc_client *, kc_error *)> call;
    };
    kc_get_opts public_read{1};
    Record record{};
    const std::vector<Op> ops = {
        {"client.describe", "warn", true,
         [](kc_client *c, kc_error *e) {
             kc_describe_req req{nullptr, "k1"};
             kc_describe_res res{};
             return kc_describe(c, &req, &res, e);
         }},
        {"client.get", "warn", true,
         [&](kc_client *c, kc_error *e) {
             MemorySink sink;
             kc_get_res res{};
             return kc_get(c, "k1", &public_read, sink.sink, &res, e);
         }},
        {"client.get", "warn", true,
         [&](kc_client *c, kc_error *e) {
             kc_get_res res{};
             return kc_load(c, "k1", &kRecordMap, &record, nullptr, &public_read, &res, e);
         }},
        {"client.update", "warn", true,
         [](kc_client *c, kc_error *e) {
             kc_update_req req{};
             req.key = "k1";
             req.lease_id = "L1";
             req.txn_id = "T1";
             req.fencing_token = 7;
             MemorySource source("{}");
             kc_update_res res{};
             return kc_update(c, &req, source.source, &res, e);
         }},
        {"client.mutate", "warn", true,
         [](kc_client *c, kc_error *e) {
             const char *mutations[] = {"/a=1"};
             kc_mutate_op req{};
             req.lease = lease_ref();
             req.mutations = mutations;
             req.mutation_count = 1;
             kc_mutate_res res{};
             return kc_mutate(c, &req, &res, e);
         }},
        {"client.metadata", "warn", true,
         [](kc_client *c, kc_error *e) {
             kc_metadata_op req{};
             req.lease = lease_ref();
             kc_metadata_res res{};
             return kc_metadata(c, &req, &res, e);
         }},
        {"client.remove", "warn", true,
         [](kc_client *c, kc_error *e) {
             kc_remove_op req{};
             req.lease = lease_ref();
             kc_remove_res res{};
             return kc_remove(c, &req, &res, e);
         }},
        {"client.keepalive", "error", false,
         [](kc_client *c, kc_error *e) {
             kc_keepalive_op req{};
             req.lease = lease_ref();
             req.ttl_seconds = 5;
             kc_keepalive_res res{};
             return kc_keepalive(c, &req, &res, e);
         }},
        {"client.release", "error", false,
         [](kc_client *c, kc_error *e) {
             kc_release_op req{};
             req.lease = lease_ref();
             kc_release_res res{};
             return kc_release(c, &req, &res, e);
         }},
        {"client.attachment.attach", "warn", false,
         [](kc_client *c, kc_error *e) {
             kc_attach_op req{};
             req.lease = lease_ref();
             req.name = "n";
             MemorySource source("x");
             kc_attach_res res{};
             return kc_attach(c, &req, source.source, &res, e);
         }},
        {"client.attachment.list", "warn", false,
         [](kc_client *c, kc_error *e) {
             kc_attachment_list_op req{};
             req.lease = lease_ref();
             kc_attachment_list res{};
             return kc_list_attachments(c, &req, &res, e);
         }},
        {"client.attachment.get", "warn", false,
         [](kc_client *c, kc_error *e) {
             kc_attachment_get_op req{};
             req.lease = lease_ref();
             req.selector.id = "A1";
             MemorySink sink;
             kc_attachment_get_res res{};
             return kc_get_attachment(c, &req, sink.sink, &res, e);
         }},
        {"client.attachment.delete", "warn", false,
         [](kc_client *c, kc_error *e) {
             kc_attachment_delete_op req{};
             req.lease = lease_ref();
             req.selector.id = "A1";
             int deleted = 0;
             return kc_delete_attachment(c, &req, &deleted, e);
         }},
        {"client.attachment.delete_all", "warn", false,
         [](kc_client *c, kc_error *e) {
             kc_attachment_delete_all_op req{};
             req.lease = lease_ref();
             int deleted = 0;
             return kc_delete_all_attachments(c, &req, &deleted, e);
         }},
    };
    for (const Op &op : ops) {
        SCOPED_TRACE(op.prefix);
        std::string prefix = op.prefix;
        {
            TestClient client({server.url()});
            Error error;
            EXPECT_EQ(op.call(client.get(), error.get()), KC_ERR_SERVER) << error.message();
            EXPECT_EQ(error.record.http_status, 409);
            LogLine failed = client.event(prefix + ".error");
            EXPECT_EQ(failed.str("level"), op.refusal_level);
            EXPECT_EQ(number(failed, "code"), "5");
            EXPECT_EQ(number(failed, "http_status"), "409");
            EXPECT_EQ(failed.str("error"), "korvo returned a non-success status");
            EXPECT_EQ(client.events(prefix + ".start").size(), 1u);
            EXPECT_TRUE(client.events(prefix + ".success").empty());
        }
        {
            TestClient offline({unused_endpoint()});
            Error error;
            EXPECT_EQ(op.call(offline.get(), error.get()), KC_ERR_TRANSPORT) << error.message();
            std::string event = op.transport_variant ? prefix + ".transport_error" : prefix + ".error";
            LogLine failed = offline.event(event);
            EXPECT_EQ(failed.str("level"), op.transport_variant ? "error" : op.refusal_level);
            EXPECT_EQ(number(failed, "code"), "3");
            if (op.transport_variant) {
                EXPECT_TRUE(offline.events(prefix + ".error").empty());
            }
        }
    }
    vellum_cleanup(&kRecordMap, &record);
}

// ---- acquire_for_update ------------------------------------------------------------------------

namespace {

struct HandlerRun {
    int calls = 0;
    std::string state;
    bool had_state = false;
    long lease_version = 0;
    std::string etag;
    int result = KC_OK;
};

int read_state_handler(kc_acquire_for_update_context *context, kc_error *error) {
    auto *run = static_cast<HandlerRun *>(context->user_data);
    run->calls++;
    run->lease_version = context->lease->version;
    run->etag = text_or_null(context->get_result->etag);
    run->had_state = context->state != nullptr;
    if (context->state) {
        char buffer[1000];
        size_t n;
        kc_error read_error{};
        while ((n = context->state->read(context->state, buffer, sizeof(buffer), &read_error)) > 0)
            run->state.append(buffer, n);
        EXPECT_EQ(read_error.code, KC_OK);
        kc_error_cleanup(&read_error);
    }
    if (run->result != KC_OK)
        return kc_error_set(error, run->result, 0, "handler refused", "bad document", nullptr, nullptr);
    return KC_OK;
}

void route_lease_server(RoutedServer &server, const std::string &state) {
    server.route_json("POST", "/v1/acquire", 200, acquire_body(3));
    server.route("GET", "/v1/get", [state](const CapturedRequest &) {
        ScriptedResponse response = ScriptedResponse::json(200, state);
        response.chunked = true;
        response.chunk_size = 1024;
        response.headers.push_back({"ETag", "\"s3\""});
        return response;
    });
    server.route_json("POST", "/v1/release", 200, "{\"released\":true}");
}

kc_acquire_req acquire_request() {
    kc_acquire_req req;
    kc_acquire_req_init(&req);
    req.key = "k1";
    req.owner = "o1";
    req.ttl_seconds = 30;
    return req;
}

} // namespace

TEST(AcquireForUpdateThreads, HandlerReadsTheSnapshotAndReleaseKeepsChanges) {
    RoutedServer server;
    std::string state = "{\"doc\":\"" + std::string(20000, 'd') + "\"}";
    route_lease_server(server, state);
    TestClient client({server.url()});
    kc_acquire_req req = acquire_request();
    HandlerRun run;
    Error error;
    ASSERT_EQ(kc_acquire_for_update(client.get(), &req, read_state_handler, &run, error.get()), KC_OK)
        << error.message();
    EXPECT_EQ(run.calls, 1);
    EXPECT_TRUE(run.had_state);
    EXPECT_EQ(run.state, state);
    EXPECT_EQ(run.lease_version, 3);
    EXPECT_EQ(run.etag, "\"s3\"");
    ASSERT_EQ(server.requests_to("/v1/release").size(), 1u);
    EXPECT_EQ(server.last("/v1/release").body.find("rollback"), std::string::npos);
    EXPECT_EQ(server.last("/v1/get").header("X-Lease-ID"), "L1");
    EXPECT_EQ(field_keys(client.event("client.acquire_for_update.start")),
              (std::vector<std::string>{"key", "owner"}));
    LogLine success = client.event("client.acquire_for_update.success");
    EXPECT_EQ(success.str("level"), "info");
    EXPECT_EQ(field_keys(success), (std::vector<std::string>{"key"}));
    // Its steps log their own events, in order.
    EXPECT_EQ(client.event_names("client.acquire").front(), "client.acquire_for_update.start");
    EXPECT_EQ(client.events("client.release.success").size(), 1u);
}

TEST(AcquireForUpdateThreads, FailingHandlerRollsBackAndReturnsItsError) {
    RoutedServer server;
    route_lease_server(server, "{}");
    TestClient client({server.url()});
    kc_acquire_req req = acquire_request();
    HandlerRun run;
    run.result = KC_ERR_PROTOCOL;
    Error error;
    EXPECT_EQ(kc_acquire_for_update(client.get(), &req, read_state_handler, &run, error.get()), KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "handler refused");
    EXPECT_EQ(error.detail(), "bad document");
    EXPECT_EQ(run.state, "{}");
    EXPECT_NE(server.last("/v1/release").body.find("\"rollback\":true"), std::string::npos);
    EXPECT_TRUE(client.events("client.acquire_for_update.success").empty());

    // A handler that fails without filling its error still fails, with a message of ours.
    run = HandlerRun{};
    auto bare = [](kc_acquire_for_update_context *, kc_error *) -> int { return KC_ERR_TRANSPORT; };
    EXPECT_EQ(kc_acquire_for_update(client.get(), &req, bare, nullptr, error.get()), KC_ERR_TRANSPORT);
    EXPECT_EQ(error.message(), "acquire_for_update handler failed");
    EXPECT_EQ(server.requests_to("/v1/release").size(), 2u);
}

TEST(AcquireForUpdateThreads, FailingReleaseAfterGoodHandlerIsReported) {
    RoutedServer server;
    route_lease_server(server, "{}");
    server.route_json("POST", "/v1/release", 409, "{\"error\":\"lease_lost\"}");
    TestClient client({server.url()});
    kc_acquire_req req = acquire_request();
    HandlerRun run;
    Error error;
    EXPECT_EQ(kc_acquire_for_update(client.get(), &req, read_state_handler, &run, error.get()), KC_ERR_SERVER);
    EXPECT_STREQ(error.record.server_error, "lease_lost");
    EXPECT_EQ(run.calls, 1);
    EXPECT_EQ(client.event("client.release.error").str("level"), "error");
    EXPECT_TRUE(client.events("client.acquire_for_update.success").empty());
    // The lease was closed locally (a leak here would fail under the sanitizers).
}

TEST(AcquireForUpdateThreads, KeyWithoutStateAndFailedSteps) {
    RoutedServer server;
    route_lease_server(server, "{}");
    server.route("GET", "/v1/get", [](const CapturedRequest &) {
        ScriptedResponse response;
        response.status = 204;
        return response;
    });
    TestClient client({server.url()});
    kc_acquire_req req = acquire_request();
    HandlerRun run;
    Error error;
    ASSERT_EQ(kc_acquire_for_update(client.get(), &req, read_state_handler, &run, error.get()), KC_OK);
    EXPECT_FALSE(run.had_state);
    EXPECT_EQ(run.calls, 1);

    // A failed read ends the call before the handler and gives the lease back with rollback.
    server.route_json("GET", "/v1/get", 500, "{\"error\":\"disk\"}");
    run = HandlerRun{};
    EXPECT_EQ(kc_acquire_for_update(client.get(), &req, read_state_handler, &run, error.get()), KC_ERR_SERVER);
    EXPECT_EQ(run.calls, 0);
    EXPECT_NE(server.last("/v1/release").body.find("\"rollback\":true"), std::string::npos);

    // A failed acquire is returned as it is.
    server.route_json("POST", "/v1/acquire", 409, "{\"error\":\"lease_held\"}");
    size_t releases = server.requests_to("/v1/release").size();
    EXPECT_EQ(kc_acquire_for_update(client.get(), &req, read_state_handler, &run, error.get()), KC_ERR_SERVER);
    EXPECT_STREQ(error.record.server_error, "lease_held");
    EXPECT_EQ(run.calls, 0);
    EXPECT_EQ(server.requests_to("/v1/release").size(), releases);
}

// ---- One client, eight threads ------------------------------------------------------------------

TEST(ClientSharedThreads, EightThreadsShareOneClient) {
    RoutedServer server;
    route_lease_server(server, "{\"shared\":true}");
    server.route_json("POST", "/v1/update", 200, "{\"new_version\":4,\"new_state_etag\":\"s4\",\"bytes\":2}");
    server.route_json("POST", "/v1/keepalive", 200, "{\"expires_at_unix\":900,\"version\":4}");
    server.route_json("GET", "/v1/describe", 200, "{\"key\":\"k1\",\"version\":4}");
    server.route_json("GET", "/v1/attachments", 200, "{\"attachments\":[]}");
    TestClient client({server.url()});
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 6; i++) {
                kc_acquire_req req = acquire_request();
                kc_lease *lease = nullptr;
                if (kc_acquire(client.get(), &req, &lease, nullptr) != KC_OK) {
                    failures++;
                    continue;
                }
                int code = KC_OK;
                switch ((t + i) % 4) {
                case 0: {
                    MemorySource source("{}");
                    kc_update_res res{};
                    code = kc_lease_update(lease, source.source, nullptr, &res, nullptr);
                    if (code == KC_OK && lease->version != 4) code = -1;
                    kc_update_res_cleanup(&res);
                    break;
                }
                case 1: {
                    MemorySink sink;
                    kc_get_res res{};
                    code = kc_lease_get(lease, sink.sink, nullptr, &res, nullptr);
                    if (code == KC_OK && sink.text() != "{\"shared\":true}") code = -1;
                    kc_get_res_cleanup(&res);
                    break;
                }
                case 2: {
                    kc_keepalive_req req2{30};
                    code = kc_lease_keepalive(lease, &req2, nullptr, nullptr);
                    if (code == KC_OK && lease->expires_at != 900) code = -1;
                    break;
                }
                default: {
                    kc_describe_req describe{nullptr, "k1"};
                    kc_describe_res res{};
                    code = kc_describe(client.get(), &describe, &res, nullptr);
                    kc_describe_res_cleanup(&res);
                    kc_attachment_list listed{};
                    if (code == KC_OK) code = kc_lease_list_attachments(lease, nullptr, &listed, nullptr);
                    kc_attachment_list_cleanup(&listed);
                    break;
                }
                }
                if (code != KC_OK) failures++;
                if (kc_lease_release(lease, nullptr, nullptr) != KC_OK) {
                    failures++;
                    kc_lease_close(lease);
                }
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(client.events("client.acquire.success").size(), 48u);
    EXPECT_EQ(client.events("client.release.success").size(), 48u);
}
