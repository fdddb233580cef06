// The lease handle against the scripted server: the identity sent with every request, the
// expected-version rule, the refresh of the view members after each success and their
// stability after each failure, the events with their levels, release freeing the handle.
#include "korvoc.h"

#include "client_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace korvo::testing;

namespace {

struct Doc {
    char *title;
    int64_t pages;
};
const vellum_field kDocFields[] = {
    VELLUM_FIELD_STRING(Doc, title, "title", 0),
    VELLUM_FIELD_I64(Doc, pages, "pages", 0),
};
const vellum_map kDocMap = VELLUM_MAP(Doc, kDocFields);

// Everything a caller can see of a lease.
struct View {
    std::string ns, key, owner, lease_id, txn_id, state_etag;
    long fencing_token, version, expires_at;
    int query_hidden, query_hidden_known;
    bool operator==(const View &) const = default;
};

View view_of(const kc_lease *lease) {
    return View{text_or_null(lease->namespace_), text_or_null(lease->key),      text_or_null(lease->owner),
                text_or_null(lease->lease_id),   text_or_null(lease->txn_id),   text_or_null(lease->state_etag),
                lease->fencing_token,            lease->version,                lease->expires_at,
                lease->query_hidden,             lease->query_hidden_known};
}

// A lease from an acquire answered with the given version and etag.
kc_lease *acquire(RoutedServer &server, TestClient &client, long version, const std::string &etag = "\"e1\"") {
    server.route_json("POST", "/v1/acquire", 200, acquire_body(version, etag));
    kc_acquire_req req;
    kc_acquire_req_init(&req);
    req.namespace_ = "ns1";
    req.key = "k1";
    req.owner = "o1";
    req.ttl_seconds = 30;
    kc_lease *lease = nullptr;
    Error error;
    EXPECT_EQ(kc_acquire(client.get(), &req, &lease, error.get()), KC_OK) << error.message();
    return lease;
}

void route_update(RoutedServer &server, long new_version, const std::string &etag = "s") {
    server.route_json("POST", "/v1/update", 200,
                      "{\"new_version\":" + std::to_string(new_version) + ",\"new_state_etag\":\"" + etag +
                          "\",\"bytes\":2}");
}

int update(kc_lease *lease, const kc_update_opts *opts = nullptr, kc_error *error = nullptr) {
    MemorySource source("{}");
    kc_update_res res{};
    int code = kc_lease_update(lease, source.source, opts, &res, error);
    kc_update_res_cleanup(&res);
    return code;
}

// Every request carries the lease's identity.
void expect_identity(const CapturedRequest &request) {
    EXPECT_EQ(query_param(request.target, "key"), "k1") << request.target;
    EXPECT_EQ(query_param(request.target, "namespace"), "ns1") << request.target;
    EXPECT_EQ(request.header("X-Lease-ID"), "L1") << request.target;
    EXPECT_EQ(request.header("X-Fencing-Token"), "7") << request.target;
}

} // namespace

TEST(LeaseVersionThreads, UpdateSendsTheHandlesVersionAndFollowsIt) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    ASSERT_NE(lease, nullptr);
    route_update(server, 4, "\\\"s4\\\"");
    ASSERT_EQ(update(lease), KC_OK);
    CapturedRequest first = server.last("/v1/update");
    EXPECT_EQ(first.header("X-If-Version"), "3");
    EXPECT_EQ(first.header("Content-Type"), "application/json");
    EXPECT_FALSE(first.has_header("X-If-State-ETag"));
    EXPECT_EQ(first.header("X-Txn-ID"), "T1");
    expect_identity(first);
    EXPECT_EQ(lease->version, 4);
    EXPECT_STREQ(lease->state_etag, "s4");

    route_update(server, 5);
    ASSERT_EQ(update(lease), KC_OK);
    EXPECT_EQ(server.last("/v1/update").header("X-If-Version"), "4");

    // The caller's expected version wins, even 0.
    kc_update_opts opts;
    kc_update_opts_init(&opts);
    opts.if_version_set = 1;
    opts.if_version = 0;
    opts.if_state_etag = "s5";
    opts.content_type = "application/merge+json";
    ASSERT_EQ(update(lease, &opts), KC_OK);
    CapturedRequest explicit_version = server.last("/v1/update");
    EXPECT_EQ(explicit_version.header("X-If-Version"), "0");
    EXPECT_EQ(explicit_version.header("X-If-State-ETag"), "s5");
    EXPECT_EQ(explicit_version.header("Content-Type"), "application/merge+json");
    kc_lease_close(lease);
}

TEST(LeaseVersionThreads, EveryGuardedOperationUsesTheRule) {
    RoutedServer server;
    TestClient client({server.url()});
    server.route_json("POST", "/v1/mutate", 200, "{\"new_version\":9,\"new_state_etag\":\"m9\"}");
    server.route_json("POST", "/v1/metadata", 200, "{\"version\":9,\"metadata\":{\"query_hidden\":false}}");
    server.route_json("POST", "/v1/remove", 200, "{\"removed\":false,\"new_version\":9}");
    route_update(server, 9);
    const char *mutations[] = {"/a=1"};
    kc_mutate_req mutate;
    kc_mutate_req_init(&mutate);
    mutate.mutations = mutations;
    mutate.mutation_count = 1;
    Doc doc{const_cast<char *>("t"), 2};
    // The paths, one call each; the version is reset before each through a fresh lease.
    const std::vector<std::pair<std::string, std::function<int(kc_lease *)>>> calls = {
        {"/v1/update", [](kc_lease *l) { return update(l); }},
        {"/v1/update", [&](kc_lease *l) { return kc_lease_save(l, &kDocMap, &doc, nullptr); }},
        {"/v1/mutate", [&](kc_lease *l) { return kc_lease_mutate(l, &mutate, nullptr, nullptr); }},
        {"/v1/metadata", [](kc_lease *l) { return kc_lease_metadata(l, nullptr, nullptr, nullptr); }},
        {"/v1/remove", [](kc_lease *l) { return kc_lease_remove(l, nullptr, nullptr, nullptr); }},
    };
    for (const auto &[path, call] : calls) {
        SCOPED_TRACE(path);
        for (long version : {6L, 0L}) {
            kc_lease *lease = acquire(server, client, version);
            ASSERT_NE(lease, nullptr);
            ASSERT_EQ(call(lease), KC_OK);
            CapturedRequest sent = server.last(path);
            expect_identity(sent);
            if (version > 0) {
                EXPECT_EQ(sent.header("X-If-Version"), "6");
            } else {
                EXPECT_FALSE(sent.has_header("X-If-Version")); // a handle with version 0 sends none
            }
            EXPECT_EQ(lease->version, 9);
            kc_lease_close(lease);
        }
    }
    // A caller's version in the request record overrides the handle's.
    kc_lease *lease = acquire(server, client, 6);
    mutate.if_version = 2;
    mutate.if_version_set = 1;
    ASSERT_EQ(kc_lease_mutate(lease, &mutate, nullptr, nullptr), KC_OK);
    EXPECT_EQ(server.last("/v1/mutate").header("X-If-Version"), "2");
    kc_remove_req remove;
    kc_remove_req_init(&remove);
    remove.if_version = 1;
    remove.if_version_set = 1;
    ASSERT_EQ(kc_lease_remove(lease, &remove, nullptr, nullptr), KC_OK);
    EXPECT_EQ(server.last("/v1/remove").header("X-If-Version"), "1");
    kc_lease_close(lease);
    // The generated body of save is the record's JSON.
    EXPECT_EQ(server.requests_to("/v1/update")[2].body, "{\"title\":\"t\",\"pages\":2}");
}

TEST(LeaseRefreshThreads, DescribeRefreshesTheView) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    server.route_json("GET", "/v1/describe", 200,
                      "{\"namespace\":\"ns1\",\"key\":\"k1\",\"owner\":\"o2\",\"lease_id\":\"L1\","
                      "\"expires_at_unix\":1800,\"version\":5,\"state_etag\":\"\\\"d5\\\"\",\"updated_at_unix\":1,"
                      "\"metadata\":{\"query_hidden\":true}}",
                      {{"X-Correlation-Id", "c-d"}});
    kc_describe_res res{};
    Error error;
    ASSERT_EQ(kc_lease_describe(lease, &res, error.get()), KC_OK) << error.message();
    EXPECT_STREQ(lease->owner, "o2");
    EXPECT_EQ(lease->version, 5);
    EXPECT_EQ(lease->expires_at, 1800);
    EXPECT_STREQ(lease->state_etag, "d5");
    EXPECT_EQ(lease->query_hidden, 1);
    EXPECT_EQ(lease->query_hidden_known, 1);
    EXPECT_EQ(lease->fencing_token, 7);
    EXPECT_STREQ(res.state_etag, "\"d5\""); // the result keeps what the response said
    EXPECT_STREQ(res.correlation_id, "c-d");
    kc_describe_res_cleanup(&res);
    EXPECT_EQ(query_param(server.last("/v1/describe").target, "namespace"), "ns1");
    EXPECT_EQ(field_keys(client.event("client.describe.start")),
              (std::vector<std::string>{"key", "lease_id", "txn_id"}));
    EXPECT_EQ(field_keys(client.event("client.describe.success")),
              (std::vector<std::string>{"version", "state_etag", "cid"}));
    // The result record is optional.
    EXPECT_EQ(kc_lease_describe(lease, nullptr, nullptr), KC_OK);
    kc_lease_close(lease);
}

TEST(LeaseRefreshThreads, GetAndLoadRefreshFromTheHeaders) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    std::vector<std::pair<std::string, std::string>> headers = {
        {"ETag", "\"g8\""}, {"X-Key-Version", "8"}, {"X-Fencing-Token", "11"}, {"X-Correlation-Id", "c-g"}};
    server.route("GET", "/v1/get", [&](const CapturedRequest &) {
        ScriptedResponse response = ScriptedResponse::json(200, "{\"title\":\"book\",\"pages\":300}");
        for (auto &header : headers) response.headers.push_back(header);
        return response;
    });
    MemorySink sink;
    kc_get_res res{};
    Error error;
    ASSERT_EQ(kc_lease_get(lease, sink.sink, nullptr, &res, error.get()), KC_OK) << error.message();
    expect_identity(server.last("/v1/get"));
    EXPECT_EQ(query_param(server.last("/v1/get").target, "public"), "");
    EXPECT_EQ(sink.text(), "{\"title\":\"book\",\"pages\":300}");
    EXPECT_EQ(lease->version, 8);
    EXPECT_EQ(lease->fencing_token, 11);
    EXPECT_STREQ(lease->state_etag, "g8");
    EXPECT_STREQ(res.etag, "\"g8\"");
    kc_get_res_cleanup(&res);
    LogLine success = client.event("client.get.success");
    EXPECT_EQ(field_keys(success), (std::vector<std::string>{"key", "lease_id", "txn_id", "public", "etag", "cid"}));
    EXPECT_EQ(field_keys(client.event("client.get.start")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "public"}));

    // Without the headers the handle keeps what it knew; load parses the same body.
    headers.clear();
    Doc doc{};
    ASSERT_EQ(kc_lease_load(lease, &kDocMap, &doc, nullptr, nullptr, &res, error.get()), KC_OK) << error.message();
    EXPECT_STREQ(doc.title, "book");
    EXPECT_EQ(doc.pages, 300);
    EXPECT_EQ(lease->version, 8);
    EXPECT_EQ(lease->fencing_token, 11);
    EXPECT_STREQ(lease->state_etag, "g8");
    EXPECT_EQ(server.last("/v1/get").header("X-Fencing-Token"), "11"); // the refreshed token is sent
    kc_get_res_cleanup(&res);
    vellum_cleanup(&kDocMap, &doc);
    kc_lease_close(lease);
}

TEST(LeaseRefreshThreads, KeepaliveMetadataAndRemoveRefresh) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    kc_keepalive_req keepalive{45};
    server.route_json("POST", "/v1/keepalive", 200, "{\"expires_at_unix\":2000,\"version\":4,\"state_etag\":\"k4\"}");
    kc_keepalive_res kept{};
    ASSERT_EQ(kc_lease_keepalive(lease, &keepalive, &kept, nullptr), KC_OK);
    EXPECT_EQ(lease->expires_at, 2000);
    EXPECT_EQ(lease->version, 4);
    EXPECT_STREQ(lease->state_etag, "k4");
    EXPECT_EQ(kept.expires_at_unix, 2000);
    kc_keepalive_res_cleanup(&kept);
    std::string body = server.last("/v1/keepalive").body;
    EXPECT_NE(body.find("\"lease_id\":\"L1\""), std::string::npos) << body;
    EXPECT_NE(body.find("\"ttl_seconds\":45"), std::string::npos) << body;
    EXPECT_NE(body.find("\"fencing_token\":7"), std::string::npos) << body;
    EXPECT_NE(body.find("\"txn_id\":\"T1\""), std::string::npos) << body;
    LogLine success = client.event("client.keepalive.success");
    EXPECT_EQ(field_keys(success),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "version", "expires_at", "cid"}));

    // An expiry of 0 and no version keep what the handle had.
    server.route_json("POST", "/v1/keepalive", 200, "{\"expires_at_unix\":0}");
    ASSERT_EQ(kc_lease_keepalive(lease, &keepalive, nullptr, nullptr), KC_OK);
    EXPECT_EQ(lease->expires_at, 2000);
    EXPECT_EQ(lease->version, 4);
    EXPECT_STREQ(lease->state_etag, "k4");

    server.route_json("POST", "/v1/metadata", 200, "{\"version\":5,\"metadata\":{\"query_hidden\":true}}");
    kc_metadata_req metadata;
    kc_metadata_req_init(&metadata);
    metadata.query_hidden_set = 1;
    metadata.query_hidden = 1;
    kc_metadata_res meta{};
    ASSERT_EQ(kc_lease_metadata(lease, &metadata, &meta, nullptr), KC_OK);
    EXPECT_EQ(server.last("/v1/metadata").body, "{\"query_hidden\":true}");
    EXPECT_EQ(lease->version, 5);
    EXPECT_EQ(lease->query_hidden, 1);
    EXPECT_EQ(lease->query_hidden_known, 1);
    EXPECT_EQ(meta.version, 5);
    kc_metadata_res_cleanup(&meta);
    EXPECT_EQ(field_keys(client.event("client.metadata.success")),
              (std::vector<std::string>{"key", "lease_id", "version", "query_hidden", "cid"}));

    server.route_json("POST", "/v1/remove", 200, "{\"removed\":true,\"new_version\":6}");
    kc_remove_res removed{};
    ASSERT_EQ(kc_lease_remove(lease, nullptr, &removed, nullptr), KC_OK);
    EXPECT_EQ(lease->version, 6);
    EXPECT_EQ(lease->state_etag, nullptr); // the state and its etag are gone
    EXPECT_EQ(removed.removed, 1);
    EXPECT_EQ(server.last("/v1/remove").header("X-If-Version"), "5");
    kc_remove_res_cleanup(&removed);
    EXPECT_EQ(field_keys(client.event("client.remove.success")),
              (std::vector<std::string>{"key", "lease_id", "removed", "new_version", "cid"}));
    kc_lease_close(lease);
}

// After every failed operation the handle is exactly as it was.
TEST(LeaseFailureThreads, FailuresLeaveTheHandleUnchanged) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    for (auto [method, path] : std::vector<std::pair<std::string, std::string>>{{"GET", "/v1/describe"},
                                                                                {"GET", "/v1/get"},
                                                                                {"POST", "/v1/update"},
                                                                                {"POST", "/v1/mutate"},
                                                                                {"POST", "/v1/metadata"},
                                                                                {"POST", "/v1/remove"},
                                                                                {"POST", "/v1/keepalive"},
                                                                                {"POST", "/v1/release"}})
        server.route_json(method, path, 409, "{\"error\":\"version_conflict\",\"current_version\":9}");
    const View before = view_of(lease);
    const char *mutations[] = {"/a=1"};
    kc_mutate_req mutate{nullptr, 0, 0, mutations, 1};
    kc_keepalive_req keepalive{10};
    Doc doc{const_cast<char *>("t"), 1};
    Doc loaded{};
    const std::vector<std::pair<std::string, std::function<int(kc_error *)>>> calls = {
        {"describe", [&](kc_error *e) { return kc_lease_describe(lease, nullptr, e); }},
        {"get",
         [&](kc_error *e) {
             MemorySink sink;
             kc_get_res res{};
             return kc_lease_get(lease, sink.sink, nullptr, &res, e);
         }},
        {"load",
         [&](kc_error *e) {
             kc_get_res res{};
             return kc_lease_load(lease, &kDocMap, &loaded, nullptr, nullptr, &res, e);
         }},
        {"update", [&](kc_error *e) { return update(lease, nullptr, e); }},
        {"save", [&](kc_error *e) { return kc_lease_save(lease, &kDocMap, &doc, e); }},
        {"mutate", [&](kc_error *e) { return kc_lease_mutate(lease, &mutate, nullptr, e); }},
        {"metadata", [&](kc_error *e) { return kc_lease_metadata(lease, nullptr, nullptr, e); }},
        {"remove", [&](kc_error *e) { return kc_lease_remove(lease, nullptr, nullptr, e); }},
        {"keepalive", [&](kc_error *e) { return kc_lease_keepalive(lease, &keepalive, nullptr, e); }},
        {"release", [&](kc_error *e) { return kc_lease_release(lease, nullptr, e); }},
    };
    for (const auto &[name, call] : calls) {
        Error error;
        EXPECT_EQ(call(error.get()), KC_ERR_SERVER) << name;
        EXPECT_EQ(error.record.http_status, 409) << name;
        EXPECT_STREQ(error.record.server_error, "version_conflict") << name;
        EXPECT_TRUE(view_of(lease) == before) << name;
    }
    EXPECT_EQ(loaded.title, nullptr);
    kc_lease_close(lease); // a failed release leaves the handle open
}

TEST(LeaseEventThreads, LevelsOfLeaseFailures) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    server.route_json("POST", "/v1/keepalive", 409, "{\"error\":\"lease_lost\"}");
    server.route_json("POST", "/v1/release", 409, "{\"error\":\"lease_lost\"}");
    server.route_json("POST", "/v1/mutate", 409, "{\"error\":\"conflict\"}");
    kc_keepalive_req keepalive{10};
    kc_release_req release{1};
    const char *mutations[] = {"/a=1"};
    kc_mutate_req mutate{nullptr, 0, 0, mutations, 1};
    EXPECT_EQ(kc_lease_keepalive(lease, &keepalive, nullptr, nullptr), KC_ERR_SERVER);
    EXPECT_EQ(kc_lease_release(lease, &release, nullptr), KC_ERR_SERVER);
    EXPECT_EQ(kc_lease_mutate(lease, &mutate, nullptr, nullptr), KC_ERR_SERVER);
    // A server refusal of keepalive or release is still logged at error level.
    LogLine keepalive_error = client.event("client.keepalive.error");
    EXPECT_EQ(keepalive_error.str("level"), "error");
    EXPECT_EQ(field_keys(keepalive_error), (std::vector<std::string>{"key", "lease_id", "txn_id", "ttl_seconds", "code",
                                                                     "http_status", "error"}));
    LogLine release_error = client.event("client.release.error");
    EXPECT_EQ(release_error.str("level"), "error");
    EXPECT_TRUE(flag(release_error, "rollback"));
    EXPECT_EQ(client.event("client.mutate.error").str("level"), "warn");
    EXPECT_EQ(field_keys(client.event("client.mutate.start")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "mutation_count"}));
    kc_lease_close(lease);

}

TEST(LeaseEventThreads, TransportFailuresOfLeaseOperations) {
    // The lease is made while the server answers, then the server goes away.
    auto server = std::make_unique<RoutedServer>();
    std::string url = server->url();
    TestClient client({url});
    kc_lease *lease = acquire(*server, client, 3);
    ASSERT_NE(lease, nullptr);
    server.reset();
    const View before = view_of(lease);

    EXPECT_EQ(update(lease), KC_ERR_TRANSPORT);
    LogLine update_error = client.event("client.update.error");
    EXPECT_EQ(update_error.str("level"), "warn"); // no transport variant for a lease's update
    EXPECT_EQ(number(update_error, "code"), "3");
    EXPECT_TRUE(client.events("client.update.transport_error").empty());

    EXPECT_EQ(kc_lease_describe(lease, nullptr, nullptr), KC_ERR_TRANSPORT);
    EXPECT_EQ(client.event("client.describe.transport_error").str("level"), "error");

    kc_keepalive_req keepalive{10};
    EXPECT_EQ(kc_lease_keepalive(lease, &keepalive, nullptr, nullptr), KC_ERR_TRANSPORT);
    EXPECT_EQ(client.event("client.keepalive.error").str("level"), "error");
    EXPECT_TRUE(client.events("client.keepalive.transport_error").empty());

    Doc doc{const_cast<char *>("t"), 1};
    EXPECT_EQ(kc_lease_save(lease, &kDocMap, &doc, nullptr), KC_ERR_TRANSPORT);
    EXPECT_EQ(client.event("client.update.transport_error").str("level"), "error");

    MemorySink sink;
    kc_attachment_get_req get{};
    get.selector.id = "A1";
    kc_attachment_get_res got{};
    EXPECT_EQ(kc_lease_get_attachment(lease, &get, sink.sink, &got, nullptr), KC_ERR_TRANSPORT);
    EXPECT_EQ(client.event("client.attachment.get.transport_error").str("level"), "error");

    EXPECT_EQ(kc_lease_release(lease, nullptr, nullptr), KC_ERR_TRANSPORT);
    EXPECT_EQ(client.event("client.release.error").str("level"), "error");
    EXPECT_TRUE(view_of(lease) == before);
    kc_lease_close(lease);
}

TEST(LeaseSaveThreads, SaveLogsOnlyItsOutcome) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    server.route_json("POST", "/v1/update", 200, "{\"new_version\":4,\"new_state_etag\":\"\\\"v4\\\"\"}",
                      {{"X-Correlation-Id", "c-s"}});
    Doc doc{const_cast<char *>("saga"), 12};
    Error error;
    ASSERT_EQ(kc_lease_save(lease, &kDocMap, &doc, error.get()), KC_OK) << error.message();
    CapturedRequest sent = server.last("/v1/update");
    EXPECT_EQ(sent.body, "{\"title\":\"saga\",\"pages\":12}");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(sent.header("X-If-Version"), "3");
    EXPECT_EQ(lease->version, 4);
    EXPECT_STREQ(lease->state_etag, "v4");
    EXPECT_TRUE(client.events("client.update.start").empty());
    LogLine success = client.event("client.update.success");
    EXPECT_EQ(field_keys(success),
              (std::vector<std::string>{"key", "lease_id", "version", "state_etag", "content_type", "cid"}));
    EXPECT_EQ(success.str("content_type"), "application/json");
    EXPECT_EQ(success.str("state_etag"), "v4");
    EXPECT_EQ(success.str("cid"), "c-s");
    kc_lease_close(lease);
}

TEST(LeaseReleaseThreads, ReleaseFreesTheHandle) {
    RoutedServer server;
    TestClient client({server.url()});
    server.route_json("POST", "/v1/release", 200, "{\"released\":true}", {{"X-Correlation-Id", "c-rel"}});
    kc_lease *lease = acquire(server, client, 3);
    kc_release_req rollback{1};
    ASSERT_EQ(kc_lease_release(lease, &rollback, nullptr), KC_OK);
    // The handle is gone (a use or a second close here would be caught by the sanitizers).
    std::string body = server.last("/v1/release").body;
    EXPECT_NE(body.find("\"rollback\":true"), std::string::npos) << body;
    EXPECT_NE(body.find("\"lease_id\":\"L1\""), std::string::npos) << body;
    EXPECT_EQ(server.last("/v1/release").header("X-Fencing-Token"), "7");
    LogLine success = client.event("client.release.success");
    EXPECT_EQ(field_keys(success), (std::vector<std::string>{"key", "lease_id", "txn_id", "released", "cid"}));
    EXPECT_EQ(success.str("lease_id"), "L1");
    EXPECT_EQ(success.str("cid"), "c-rel");
    EXPECT_EQ(field_keys(client.event("client.release.start")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "rollback"}));

    lease = acquire(server, client, 3);
    ASSERT_EQ(kc_lease_release(lease, nullptr, nullptr), KC_OK); // no request: no rollback
    EXPECT_EQ(server.last("/v1/release").body.find("rollback"), std::string::npos);
    kc_lease_close(nullptr);
}

TEST(LeaseAttachmentThreads, AttachmentMethodsSendTheIdentity) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    server.route_json("POST", "/v1/attachments", 200,
                      "{\"attachment\":{\"id\":\"A1\",\"name\":\"img\",\"size\":3},\"noop\":true,\"version\":3}");
    server.route_json("GET", "/v1/attachments", 200, "{\"namespace\":\"ns1\",\"key\":\"k1\",\"attachments\":[]}");
    server.route("GET", "/v1/attachment", [](const CapturedRequest &) {
        ScriptedResponse response;
        response.body = "png";
        response.headers = {{"X-Attachment-ID", "A1"}, {"X-Attachment-Size", "3"}};
        return response;
    });
    server.route_json("DELETE", "/v1/attachment", 200, "{\"deleted\":false,\"version\":3}");
    server.route_json("DELETE", "/v1/attachments", 200, "{\"deleted\":4,\"version\":3}");
    Error error;

    kc_attach_req attach;
    kc_attach_req_init(&attach);
    attach.name = "img";
    attach.max_bytes = 10;
    attach.max_bytes_set = 1;
    attach.prevent_overwrite = 1;
    MemorySource payload("png");
    kc_attach_res attached{};
    ASSERT_EQ(kc_lease_attach(lease, &attach, payload.source, &attached, error.get()), KC_OK) << error.message();
    CapturedRequest sent = server.last("/v1/attachments");
    EXPECT_EQ(sent.header("X-Txn-ID"), "T1");
    expect_identity(sent);
    EXPECT_EQ(query_param(sent.target, "max_bytes"), "10");
    EXPECT_EQ(query_param(sent.target, "prevent_overwrite"), "1");
    EXPECT_EQ(attached.noop, 1);
    EXPECT_STREQ(attached.attachment.id, "A1");
    kc_attach_res_cleanup(&attached);
    EXPECT_EQ(field_keys(client.event("client.attachment.put.start")),
              (std::vector<std::string>{"key", "lease_id", "txn_id", "name"}));
    LogLine put = client.event("client.attachment.put.success");
    EXPECT_EQ(field_keys(put), (std::vector<std::string>{"attachment_id", "noop", "cid"}));
    EXPECT_TRUE(flag(put, "noop"));

    kc_attachment_list listed{};
    ASSERT_EQ(kc_lease_list_attachments(lease, nullptr, &listed, error.get()), KC_OK) << error.message();
    EXPECT_EQ(listed.count, 0u);
    EXPECT_EQ(listed.attachments, nullptr);
    kc_attachment_list_cleanup(&listed);
    expect_identity(server.last("/v1/attachments"));
    EXPECT_EQ(number(client.event("client.attachment.list.success"), "count"), "0");

    kc_attachment_get_req get;
    kc_attachment_get_req_init(&get);
    get.selector.id = "A1";
    MemorySink sink;
    kc_attachment_get_res got{};
    ASSERT_EQ(kc_lease_get_attachment(lease, &get, sink.sink, &got, error.get()), KC_OK) << error.message();
    EXPECT_EQ(sink.text(), "png");
    EXPECT_EQ(got.size, 3);
    kc_attachment_get_res_cleanup(&got);
    expect_identity(server.last("/v1/attachment"));

    kc_attachment_selector selector;
    kc_attachment_selector_init(&selector);
    selector.name = "img";
    int deleted = -1;
    ASSERT_EQ(kc_lease_delete_attachment(lease, &selector, &deleted, error.get()), KC_OK) << error.message();
    EXPECT_EQ(deleted, 0);
    EXPECT_EQ(query_param(server.last("/v1/attachment").target, "name"), "img");
    LogLine del = client.event("client.attachment.delete.success");
    EXPECT_EQ(field_keys(del), (std::vector<std::string>{"key", "lease_id", "attachment_id", "name", "deleted", "cid"}));
    EXPECT_TRUE(is_null(del, "attachment_id"));

    int count = -1;
    ASSERT_EQ(kc_lease_delete_all_attachments(lease, &count, error.get()), KC_OK) << error.message();
    EXPECT_EQ(count, 4);
    EXPECT_EQ(number(client.event("client.attachment.delete_all.success"), "deleted"), "4");
    kc_lease_close(lease);
}

TEST(LeaseLoadThreads, LoadLimitAndParseMessages) {
    RoutedServer server;
    std::string body;
    server.route("GET", "/v1/get", [&](const CapturedRequest &) { return ScriptedResponse::json(200, body); });
    TestClient client({server.url()}, [](kc_client_config &config) { config.max_response_bytes = 256; });
    kc_lease *lease = acquire(server, client, 3);
    Doc doc{};
    kc_get_res res{};
    Error error;
    body = "{\"title\":\"" + std::string(246, 't') + "\"}"; // 257 bytes
    EXPECT_EQ(kc_lease_load(lease, &kDocMap, &doc, nullptr, nullptr, &res, error.get()), KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "mapped state response exceeds configured byte limit");
    EXPECT_EQ(doc.title, nullptr);
    body = "[1,2]";
    EXPECT_EQ(kc_lease_load(lease, &kDocMap, &doc, nullptr, nullptr, &res, error.get()), KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "failed to parse mapped lease state");
    EXPECT_EQ(client.events("client.get.error").size(), 2u);
    EXPECT_EQ(lease->version, 3);
    vellum_cleanup(&kDocMap, &doc);
    kc_lease_close(lease);
}

TEST(LeaseArgumentsThreads, MethodsCheckTheirArguments) {
    RoutedServer server;
    TestClient client({server.url()});
    kc_lease *lease = acquire(server, client, 3);
    size_t requests = server.server().request_count();
    MemorySink sink;
    MemorySource source("x");
    kc_get_res got{};
    kc_attach_req attach{};
    kc_attach_res attached{};
    kc_attachment_get_req get{};
    kc_attachment_get_res fetched{};
    struct Case {
        std::function<int(kc_error *)> call;
        const char *message;
    };
    const Case cases[] = {
        {[&](kc_error *e) { return lease->describe(nullptr, nullptr, e); }, "lease describe requires self"},
        {[&](kc_error *e) { return kc_lease_get(lease, nullptr, nullptr, &got, e); },
         "lease get requires self, dst, and out"},
        {[&](kc_error *e) { return kc_lease_get(lease, sink.sink, nullptr, nullptr, e); },
         "lease get requires self, dst, and out"},
        {[&](kc_error *e) { return kc_lease_load(lease, &kDocMap, nullptr, nullptr, nullptr, &got, e); },
         "lease load requires self, map, destination, and out"},
        {[&](kc_error *e) { return kc_lease_save(lease, &kDocMap, nullptr, e); },
         "lease save requires self, map, and source"},
        {[&](kc_error *e) { return kc_lease_update(lease, nullptr, nullptr, nullptr, e); },
         "lease update requires self and src"},
        {[&](kc_error *e) { return kc_lease_mutate(lease, nullptr, nullptr, e); }, "lease mutate requires self and req"},
        {[&](kc_error *e) { return lease->metadata(nullptr, nullptr, nullptr, e); }, "lease metadata requires self"},
        {[&](kc_error *e) { return lease->remove(nullptr, nullptr, nullptr, e); }, "lease remove requires self"},
        {[&](kc_error *e) { return kc_lease_keepalive(lease, nullptr, nullptr, e); },
         "lease keepalive requires self and req"},
        {[&](kc_error *e) { return lease->release(nullptr, nullptr, e); }, "lease release requires self"},
        {[&](kc_error *e) { return kc_lease_attach(lease, &attach, source.source, nullptr, e); },
         "lease attach requires self, req, src, and out"},
        {[&](kc_error *e) { return kc_lease_attach(lease, &attach, nullptr, &attached, e); },
         "lease attach requires self, req, src, and out"},
        {[&](kc_error *e) { return kc_lease_list_attachments(lease, nullptr, nullptr, e); },
         "list_attachments requires self and out"},
        {[&](kc_error *e) { return kc_lease_get_attachment(lease, &get, nullptr, &fetched, e); },
         "get_attachment requires self, req, dst, and out"},
        {[&](kc_error *e) { return kc_lease_delete_attachment(lease, nullptr, nullptr, e); },
         "delete_attachment requires self, selector, and deleted"},
        {[&](kc_error *e) { return kc_lease_delete_all_attachments(lease, nullptr, e); },
         "delete_all_attachments requires self and deleted_count"},
    };
    for (const Case &test : cases) {
        Error error;
        EXPECT_EQ(test.call(error.get()), KC_ERR_INVALID) << test.message;
        EXPECT_EQ(error.message(), test.message);
    }
    EXPECT_EQ(server.server().request_count(), requests);
    EXPECT_TRUE(client.event_names("client.describe").empty());
    EXPECT_EQ(lease->mutate_local, nullptr); // arrives with the local mutation operations
    kc_lease_close(lease);
}

namespace {

// A client allocator whose next allocation (after skip more) fails on request.
struct FailingAllocator {
    kc_allocator allocator{};
    std::atomic<bool> fail_next{false};
    std::atomic<int> skip{0};
    FailingAllocator() {
        allocator.malloc_fn = [](void *ctx, size_t size) -> void * {
            auto *self = static_cast<FailingAllocator *>(ctx);
            if (!self->fail_next) return std::malloc(size);
            if (self->skip > 0) {
                --self->skip;
                return std::malloc(size);
            }
            self->fail_next = false;
            return nullptr;
        };
        allocator.free_fn = [](void *, void *pointer) { std::free(pointer); };
        allocator.context = this;
    }
};

} // namespace

TEST(LeaseRefreshThreads, FailedEtagCopyKeepsTheOldEtag) {
    RoutedServer server;
    FailingAllocator allocator;
    TestClient client({server.url()}, [&](kc_client_config &config) { config.allocator = allocator.allocator; });
    kc_lease *lease = acquire(server, client, 3);
    ASSERT_NE(lease, nullptr);
    route_update(server, 4, "fresh");
    const View before = view_of(lease);
    allocator.fail_next = true; // the refreshed etag is the update's only allocation of the client's
    Error error;
    kc_update_res res{};
    MemorySource source("{}");
    EXPECT_EQ(kc_lease_update(lease, source.source, nullptr, &res, error.get()), KC_ERR_NOMEM);
    EXPECT_EQ(error.message(), "failed to allocate refreshed lease state etag");
    EXPECT_EQ(server.requests_to("/v1/update").size(), 1u); // the server call itself succeeded
    EXPECT_TRUE(view_of(lease) == before);
    EXPECT_EQ(res.correlation_id, nullptr);
    EXPECT_EQ(client.event("client.update.error").str("level"), "warn");
    ASSERT_EQ(update(lease), KC_OK);
    EXPECT_STREQ(lease->state_etag, "fresh");
    kc_lease_close(lease);
}

// Every refresh copies the strings it replaces before it changes anything: a failed copy leaves
// the handle and the caller's result as they were, and the copies made so far are freed.
TEST(LeaseRefreshThreads, FailedRefreshCopiesLeaveTheHandleAsItWas) {
    RoutedServer server;
    FailingAllocator allocator;
    TestClient client({server.url()}, [&](kc_client_config &config) { config.allocator = allocator.allocator; });
    kc_lease *lease = acquire(server, client, 3);
    ASSERT_NE(lease, nullptr);
    server.route_json("GET", "/v1/describe", 200,
                      "{\"namespace\":\"ns1\",\"key\":\"k1\",\"owner\":\"o2\",\"lease_id\":\"L1\",\"version\":5,"
                      "\"state_etag\":\"d5\"}");
    server.route("GET", "/v1/get", [](const CapturedRequest &) {
        ScriptedResponse response = ScriptedResponse::json(200, "{}");
        response.headers = {{"ETag", "\"g8\""}, {"X-Key-Version", "8"}};
        return response;
    });
    server.route_json("POST", "/v1/keepalive", 200, "{\"expires_at_unix\":2000,\"version\":4,\"state_etag\":\"k4\"}");
    server.route_json("POST", "/v1/mutate", 200, "{\"new_version\":9,\"new_state_etag\":\"m9\"}");
    const char *mutations[] = {"/a=1"};
    kc_mutate_req mutate{nullptr, 0, 0, mutations, 1};
    kc_keepalive_req keepalive{10};
    bool result_untouched = false;
    struct Case {
        std::string op;
        int skip; // allocations that succeed first
        std::string level;
        std::function<int(kc_error *)> call;
    };
    const std::vector<Case> cases = {
        {"client.describe", 0, "warn",
         [&](kc_error *e) {
             kc_describe_res res{};
             int code = kc_lease_describe(lease, &res, e);
             result_untouched = res.owner == nullptr && res.version == 0;
             kc_describe_res_cleanup(&res);
             return code;
         }},
        // The new owner is copied, the etag is not: the owner copy is dropped.
        {"client.describe", 1, "warn", [&](kc_error *e) { return kc_lease_describe(lease, nullptr, e); }},
        {"client.get", 0, "warn",
         [&](kc_error *e) {
             MemorySink sink;
             kc_get_res res{};
             int code = kc_lease_get(lease, sink.sink, nullptr, &res, e);
             result_untouched = res.etag == nullptr && res.version == 0;
             kc_get_res_cleanup(&res);
             return code;
         }},
        {"client.keepalive", 0, "error",
         [&](kc_error *e) {
             kc_keepalive_res res{};
             int code = kc_lease_keepalive(lease, &keepalive, &res, e);
             result_untouched = res.state_etag == nullptr && res.expires_at_unix == 0;
             kc_keepalive_res_cleanup(&res);
             return code;
         }},
        {"client.mutate", 0, "warn",
         [&](kc_error *e) {
             kc_mutate_res res{};
             int code = kc_lease_mutate(lease, &mutate, &res, e);
             result_untouched = res.new_state_etag == nullptr && res.new_version == 0;
             kc_mutate_res_cleanup(&res);
             return code;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.op + " after " + std::to_string(c.skip));
        const View before = view_of(lease);
        const size_t logged = client.events(c.op + ".error").size();
        result_untouched = true;
        allocator.skip = c.skip;
        allocator.fail_next = true;
        Error error;
        EXPECT_EQ(c.call(error.get()), KC_ERR_NOMEM);
        EXPECT_FALSE(allocator.fail_next); // the failure was the refresh's
        EXPECT_EQ(error.message(), "failed to allocate refreshed lease state etag");
        EXPECT_TRUE(view_of(lease) == before);
        EXPECT_TRUE(result_untouched);
        std::vector<LogLine> errors = client.events(c.op + ".error");
        ASSERT_EQ(errors.size(), logged + 1);
        EXPECT_EQ(errors.back().str("level"), c.level);
        EXPECT_EQ(number(errors.back(), "code"), std::to_string(KC_ERR_NOMEM));
        EXPECT_TRUE(client.events(c.op + ".success").empty());
    }
    Error error;
    ASSERT_EQ(kc_lease_describe(lease, nullptr, error.get()), KC_OK) << error.message();
    EXPECT_STREQ(lease->owner, "o2");
    EXPECT_STREQ(lease->state_etag, "d5");
    EXPECT_EQ(lease->version, 5);
    kc_lease_close(lease);
}
