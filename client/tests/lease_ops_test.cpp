// Lease and state operations against the scripted test server: the captured request (method,
// path and query, headers present or absent in order, the JSON body member by member) and the
// copied response of every operation, status handling and argument checks.
#include "korvoc_engine.h"

#include "http_server.h"

#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <string>
#include <vector>

using namespace korvo::testing;

namespace {

// The protocol headers whose presence and order the operations decide.
const char *const kProtocolHeaders[] = {"Accept",    "Content-Type",    "X-Fencing-Token", "X-Lease-ID",
                                        "X-Txn-ID",  "X-If-State-ETag", "X-If-Version"};

bool same_name(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// "Name: value" of each protocol header in arrival order (libcurl's own Accept: */* included).
std::vector<std::string> protocol_headers(const CapturedRequest &request) {
    std::vector<std::string> out;
    for (const auto &[name, value] : request.headers) {
        for (const char *known : kProtocolHeaders) {
            if (same_name(name, known)) out.push_back(std::string(known) + ": " + value);
        }
    }
    return out;
}

struct Client {
    kc_engine_client *client = nullptr;
    explicit Client(std::vector<std::string> endpoints, const char *default_namespace = nullptr) {
        std::vector<const char *> raw;
        for (auto &e : endpoints) raw.push_back(e.c_str());
        kc_engine_client_config config;
        kc_engine_client_config_init(&config);
        config.endpoints = raw.data();
        config.endpoint_count = static_cast<unsigned>(raw.size());
        config.disable_mtls = 1;
        config.default_namespace = default_namespace;
        config.timeout_ms = 10000;
        kc_engine_error error{};
        EXPECT_EQ(kc_engine_client_open(&config, &client, &error), KC_OK) << (error.message ? error.message : "");
        kc_engine_error_cleanup(&error);
    }
    ~Client() { kc_engine_client_close(client); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
};

struct Error {
    kc_engine_error e{};
    ~Error() { kc_engine_error_cleanup(&e); }
    std::string message() const { return e.message ? e.message : "<null>"; }
};

ScriptedResponse answer(int status, std::string body, std::string correlation_id = "cid-1") {
    ScriptedResponse r = ScriptedResponse::json(status, std::move(body));
    if (!correlation_id.empty()) r.headers.emplace_back("X-Correlation-Id", correlation_id);
    return r;
}

// A server that gives every request the same answer and keeps what it received.
struct Server {
    HttpServer http;
    explicit Server(ScriptedResponse reply)
        : http({}, [reply](const CapturedRequest &) { return reply; }) {}
    CapturedRequest only_request() const {
        auto requests = http.requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? CapturedRequest{} : requests.back();
    }
};

const char kAcquireAnswer[] =
    R"({"namespace":"ns1","key":"k1","owner":"o1","lease_id":"L-1","txn_id":"T-1","expires_at_unix":1700000000,)"
    R"("version":7,"state_etag":"e7","fencing_token":12,"extra":{"ignored":[1,2]}})";

const char kUpdateAnswer[] = R"({"new_version":9,"new_state_etag":"e9","bytes":11})";

// ---- acquire -----------------------------------------------------------------------------

TEST(LeaseAcquireThreads, SendsEveryMemberInOrderAndCopiesTheAnswer) {
    Server server(answer(200, kAcquireAnswer, "cid-acq"));
    Client c({server.http.url()});
    kc_engine_acquire_request request{"ns1", "k1", "o1", 15, 30, 1, "T-1"};
    kc_engine_acquire_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_acquire(c.client, &request, &response, &error.e), KC_OK) << error.message();

    CapturedRequest got = server.only_request();
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.target, "/v1/acquire");
    EXPECT_EQ(got.body, R"({"namespace":"ns1","key":"k1","ttl_seconds":15,"owner":"o1","block_seconds":30,)"
                        R"("if_not_exists":true,"txn_id":"T-1"})");
    EXPECT_EQ(got.header("Content-Type"), "application/json");
    EXPECT_FALSE(got.has_header("X-Fencing-Token"));

    EXPECT_STREQ(response.namespace_, "ns1");
    EXPECT_STREQ(response.key, "k1");
    EXPECT_STREQ(response.owner, "o1");
    EXPECT_STREQ(response.lease_id, "L-1");
    EXPECT_STREQ(response.txn_id, "T-1");
    EXPECT_EQ(response.expires_at_unix, 1700000000);
    EXPECT_EQ(response.version, 7);
    EXPECT_STREQ(response.state_etag, "e7");
    EXPECT_EQ(response.fencing_token, 12);
    EXPECT_STREQ(response.correlation_id, "cid-acq");
    kc_engine_acquire_response_cleanup(&response);
    EXPECT_EQ(response.key, nullptr);
}

TEST(LeaseAcquireThreads, ConditionalMembersAreLeftOut) {
    Server server(answer(200, kAcquireAnswer));
    Client c({server.http.url()});
    struct Case {
        int64_t block_seconds;
        const char *txn_id;
    };
    for (Case each : {Case{0, nullptr}, Case{-1, ""}}) {
        kc_engine_acquire_request request{nullptr, "k", "o", 5, each.block_seconds, 0, each.txn_id};
        kc_engine_acquire_response response{};
        Error error;
        ASSERT_EQ(kc_engine_client_acquire(c.client, &request, &response, &error.e), KC_OK) << error.message();
        kc_engine_acquire_response_cleanup(&response);
    }
    auto requests = server.http.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto &got : requests)
        EXPECT_EQ(got.body, R"({"namespace":"default","key":"k","ttl_seconds":5,"owner":"o"})");
}

TEST(LeaseAcquireThreads, NamespaceFallsBackToTheClientDefault) {
    Server server(answer(200, kAcquireAnswer));
    Client c({server.http.url()}, "team a");
    kc_engine_acquire_request request{"", "k", "o", 5, 0, 0, nullptr};
    kc_engine_acquire_response response{};
    ASSERT_EQ(kc_engine_client_acquire(c.client, &request, &response, nullptr), KC_OK);
    kc_engine_acquire_response_cleanup(&response);
    EXPECT_EQ(server.only_request().body, R"({"namespace":"team a","key":"k","ttl_seconds":5,"owner":"o"})");
}

TEST(LeaseAcquireThreads, OnlyStatus200IsSuccess) {
    Server server(answer(201, kAcquireAnswer, "cid-201"));
    Client c({server.http.url()});
    kc_engine_acquire_request request{"ns", "k", "o", 5, 0, 0, nullptr};
    kc_engine_acquire_response response{};
    Error error;
    EXPECT_EQ(kc_engine_client_acquire(c.client, &request, &response, &error.e), KC_ERR_SERVER);
    EXPECT_EQ(error.e.code, KC_ERR_SERVER);
    EXPECT_EQ(error.message(), "korvo returned a non-success status");
    EXPECT_EQ(error.e.http_status, 201);
    EXPECT_STREQ(error.e.correlation_id, "cid-201");
    EXPECT_EQ(response.lease_id, nullptr);
    EXPECT_EQ(response.fencing_token, 0);
}

TEST(LeaseAcquireThreads, ServerErrorBodyReachesTheError) {
    Server server(answer(409, R"({"error":"lease_held","detail":"held by o2","retry_after_seconds":3})", "cid-409"));
    Client c({server.http.url()});
    kc_engine_acquire_request request{"ns", "k", "o", 5, 0, 0, nullptr};
    kc_engine_acquire_response response{};
    Error error;
    EXPECT_EQ(kc_engine_client_acquire(c.client, &request, &response, &error.e), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    EXPECT_STREQ(error.e.server_error, "lease_held");
    EXPECT_STREQ(error.e.detail, "held by o2");
    EXPECT_EQ(error.e.retry_after_seconds, 3);
    EXPECT_STREQ(error.e.correlation_id, "cid-409");
}

TEST(LeaseAcquireThreads, MalformedAnswerIsAProtocolErrorAndLeavesNothing) {
    Server server(answer(200, R"({"lease_id":"L","version":"seven"})"));
    Client c({server.http.url()});
    kc_engine_acquire_request request{"ns", "k", "o", 5, 0, 0, nullptr};
    kc_engine_acquire_response response{};
    Error error;
    EXPECT_EQ(kc_engine_client_acquire(c.client, &request, &response, &error.e), KC_ERR_PROTOCOL);
    EXPECT_EQ(response.lease_id, nullptr);
}

TEST(LeaseAcquireThreads, PassiveNodeGetsTheSameGeneratedBodyAsItsSuccessor) {
    Server passive(answer(503, R"({"error":"node_passive"})"));
    Server active(answer(200, kAcquireAnswer));
    Client c({passive.http.url(), active.http.url()});
    kc_engine_acquire_request request{"ns", "k", "o", 5, 9, 1, "T"};
    kc_engine_acquire_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_acquire(c.client, &request, &response, &error.e), KC_OK) << error.message();
    EXPECT_STREQ(response.lease_id, "L-1");
    kc_engine_acquire_response_cleanup(&response);
    EXPECT_EQ(passive.only_request().body, active.only_request().body);
    EXPECT_EQ(active.only_request().body,
              R"({"namespace":"ns","key":"k","ttl_seconds":5,"owner":"o","block_seconds":9,"if_not_exists":true,"txn_id":"T"})");
}

// ---- keepalive and release ---------------------------------------------------------------

TEST(LeaseKeepaliveThreads, SendsTokenHeaderAndBodyBothWays) {
    Server server(answer(200, R"({"expires_at_unix":1700000100,"version":4,"state_etag":"e4"})", "cid-ka"));
    Client c({server.http.url()});
    kc_engine_keepalive_request with_txn{"ns", "k", "L-1", "T-1", 20, 42};
    kc_engine_keepalive_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_keepalive(c.client, &with_txn, &response, &error.e), KC_OK) << error.message();
    EXPECT_EQ(response.expires_at_unix, 1700000100);
    EXPECT_EQ(response.version, 4);
    EXPECT_STREQ(response.state_etag, "e4");
    EXPECT_STREQ(response.correlation_id, "cid-ka");

    // The filled response is cleaned by the next call before it starts.
    kc_engine_keepalive_request without_txn{nullptr, "k", "L-1", "", 20, 42};
    ASSERT_EQ(kc_engine_client_keepalive(c.client, &without_txn, &response, &error.e), KC_OK);
    kc_engine_keepalive_response_cleanup(&response);

    auto requests = server.http.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v1/keepalive");
    EXPECT_EQ(requests[0].body,
              R"({"namespace":"ns","key":"k","lease_id":"L-1","ttl_seconds":20,"fencing_token":42,"txn_id":"T-1"})");
    EXPECT_EQ(requests[1].body,
              R"({"namespace":"default","key":"k","lease_id":"L-1","ttl_seconds":20,"fencing_token":42})");
    std::vector<std::string> expected{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 42"};
    EXPECT_EQ(protocol_headers(requests[0]), expected);
    EXPECT_EQ(protocol_headers(requests[1]), expected);
}

TEST(LeaseReleaseThreads, TxnAndRollbackAreSentOnlyWhenSet) {
    Server server(answer(200, R"({"released":true})", "cid-rel"));
    Client c({server.http.url()});
    kc_engine_release_request plain{"ns", "k", "L-1", nullptr, 3, 0};
    kc_engine_release_request rolled{"ns", "k", "L-1", "T-1", 3, 1};
    kc_engine_release_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_release(c.client, &plain, &response, &error.e), KC_OK) << error.message();
    EXPECT_EQ(response.released, 1);
    EXPECT_STREQ(response.correlation_id, "cid-rel");
    ASSERT_EQ(kc_engine_client_release(c.client, &rolled, &response, &error.e), KC_OK) << error.message();
    kc_engine_release_response_cleanup(&response);

    auto requests = server.http.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/v1/release");
    EXPECT_EQ(requests[0].body, R"({"namespace":"ns","key":"k","lease_id":"L-1"})");
    EXPECT_EQ(requests[1].body, R"({"namespace":"ns","key":"k","lease_id":"L-1","txn_id":"T-1","rollback":true})");
    EXPECT_EQ(protocol_headers(requests[1]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 3"}));
}

// ---- update, update_stream, mutate ------------------------------------------------------

TEST(LeaseUpdateThreads, PathHeadersAndBodyFollowTheRequest) {
    Server server(answer(200, kUpdateAnswer, "cid-up"));
    Client c({server.http.url()});
    const char document[] = R"({"a":1})";
    kc_engine_update_request full{"ns/x y", "a/b c", "L-1", "T-1", 8, "e8", 0, 1, document, sizeof(document) - 1,
                                  "application/json"};
    kc_engine_update_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_update(c.client, &full, &response, &error.e), KC_OK) << error.message();
    EXPECT_EQ(response.new_version, 9);
    EXPECT_STREQ(response.new_state_etag, "e9");
    EXPECT_EQ(response.bytes, 11);
    EXPECT_STREQ(response.correlation_id, "cid-up");

    kc_engine_update_request bare{nullptr, "k", nullptr, "T-2", 8, nullptr, 5, 0, "xyz", 3, nullptr};
    ASSERT_EQ(kc_engine_client_update(c.client, &bare, &response, &error.e), KC_OK) << error.message();
    kc_engine_update_response_cleanup(&response);

    auto requests = server.http.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v1/update?key=a%2Fb%20c&namespace=ns%2Fx%20y");
    EXPECT_EQ(requests[0].body, document);
    EXPECT_EQ(protocol_headers(requests[0]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 8",
                                        "X-Lease-ID: L-1", "X-Txn-ID: T-1", "X-If-State-ETag: e8",
                                        "X-If-Version: 0"}));
    EXPECT_EQ(requests[1].target, "/v1/update?key=k&namespace=default");
    EXPECT_EQ(requests[1].body, "xyz");
    EXPECT_EQ(protocol_headers(requests[1]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/octet-stream",
                                        "X-Fencing-Token: 8", "X-Txn-ID: T-2"}));
}

TEST(LeaseUpdateThreads, NonSuccessStatusIsAServerError) {
    Server server(answer(412, R"({"error":"version_conflict","current_etag":"e3","current_version":3})"));
    Client c({server.http.url()});
    kc_engine_update_request request{"ns", "k", "L", "T", 1, "e2", 2, 1, "{}", 2, nullptr};
    kc_engine_update_response response{};
    Error error;
    EXPECT_EQ(kc_engine_client_update(c.client, &request, &response, &error.e), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 412);
    EXPECT_STREQ(error.e.server_error, "version_conflict");
    EXPECT_STREQ(error.e.current_etag, "e3");
    EXPECT_EQ(error.e.current_version, 3);
    EXPECT_EQ(response.new_state_etag, nullptr);
}

struct Document {
    char *name;
    int64_t n;
};
const vellum_field kDocumentFields[] = {
    VELLUM_FIELD_STRING(Document, name, "name", 0),
    VELLUM_FIELD_I64(Document, n, "n", 0),
};
const vellum_map kDocumentMap = VELLUM_MAP(Document, kDocumentFields);

TEST(LeaseUpdateThreads, StreamedBodyIsGeneratedFromTheCallersMap) {
    Server server(answer(200, kUpdateAnswer, "cid-us"));
    Client c({server.http.url()});
    char name[] = "doc \"one\"";
    Document document{name, -3};
    kc_engine_update_request request{"ns", "k", "L-1", "T-1", 4, nullptr, 0, 0, nullptr, 0, "application/json"};
    kc_engine_update_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_update_stream(c.client, &request, &kDocumentMap, &document, nullptr, &response,
                                             &error.e),
              KC_OK)
        << error.message();
    EXPECT_EQ(response.new_version, 9);
    EXPECT_STREQ(response.correlation_id, "cid-us");
    kc_engine_update_response_cleanup(&response);
    CapturedRequest got = server.only_request();
    EXPECT_EQ(got.target, "/v1/update?key=k&namespace=ns");
    EXPECT_EQ(got.body, R"({"name":"doc \"one\"","n":-3})");
    EXPECT_EQ(protocol_headers(got),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 4",
                                        "X-Lease-ID: L-1", "X-Txn-ID: T-1"}));
}

TEST(LeaseMutateThreads, SendsNamespaceAndExpressions) {
    Server server(answer(200, kUpdateAnswer, "cid-mu"));
    Client c({server.http.url()}, "dflt");
    const char *const expressions[] = {"/a=1", "/b/c+=\"x y\""};
    kc_engine_mutate_request request{nullptr, "k 1", "L-1", "T-1", 6, "e5", 5, 1, expressions, 2};
    kc_engine_update_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_mutate(c.client, &request, &response, &error.e), KC_OK) << error.message();
    EXPECT_EQ(response.new_version, 9);
    EXPECT_STREQ(response.new_state_etag, "e9");
    EXPECT_EQ(response.bytes, 11);
    EXPECT_STREQ(response.correlation_id, "cid-mu");

    kc_engine_mutate_request empty{"ns", "k", nullptr, nullptr, 6, nullptr, 0, 0, nullptr, 0};
    ASSERT_EQ(kc_engine_client_mutate(c.client, &empty, &response, &error.e), KC_OK) << error.message();
    kc_engine_mutate_response_cleanup(&response);

    auto requests = server.http.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v1/mutate?key=k%201&namespace=dflt");
    EXPECT_EQ(requests[0].body, R"({"namespace":"dflt","mutations":["/a=1","/b/c+=\"x y\""]})");
    EXPECT_EQ(protocol_headers(requests[0]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 6",
                                        "X-Lease-ID: L-1", "X-Txn-ID: T-1", "X-If-State-ETag: e5",
                                        "X-If-Version: 5"}));
    EXPECT_EQ(requests[1].body, R"({"namespace":"ns","mutations":[]})");
    EXPECT_EQ(protocol_headers(requests[1]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 6"}));
}

// ---- metadata, remove, describe ----------------------------------------------------------

TEST(LeaseMetadataThreads, BodyIsEmptyUnlessQueryHiddenIsSet) {
    Server server(answer(200, R"({"namespace":"ns","key":"k","version":5,"metadata":{"query_hidden":true}})", "cid-md"));
    Client c({server.http.url()});
    kc_engine_metadata_request none{"ns", "k", "L-1", "T-1", 2, 0, 1, 0, 1};
    kc_engine_metadata_request hide{"ns", "k", nullptr, nullptr, 2, 0, 0, 1, 1};
    kc_engine_metadata_request show{"ns", "k", nullptr, nullptr, 2, 0, 0, 1, 0};
    kc_engine_metadata_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_update_metadata(c.client, &none, &response, &error.e), KC_OK) << error.message();
    EXPECT_STREQ(response.namespace_, "ns");
    EXPECT_STREQ(response.key, "k");
    EXPECT_EQ(response.version, 5);
    EXPECT_EQ(response.metadata_present, 1);
    EXPECT_EQ(response.query_hidden, 1);
    EXPECT_STREQ(response.correlation_id, "cid-md");
    ASSERT_EQ(kc_engine_client_update_metadata(c.client, &hide, &response, &error.e), KC_OK);
    ASSERT_EQ(kc_engine_client_update_metadata(c.client, &show, &response, &error.e), KC_OK);
    kc_engine_metadata_response_cleanup(&response);

    auto requests = server.http.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v1/metadata?key=k&namespace=ns");
    EXPECT_EQ(requests[0].body, "{}");
    EXPECT_EQ(protocol_headers(requests[0]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 2",
                                        "X-Lease-ID: L-1", "X-Txn-ID: T-1", "X-If-Version: 0"}));
    EXPECT_EQ(requests[1].body, R"({"query_hidden":true})");
    EXPECT_EQ(requests[2].body, R"({"query_hidden":false})");
    EXPECT_EQ(protocol_headers(requests[2]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 2"}));
}

TEST(LeaseMetadataThreads, AnswerWithoutQueryHiddenIsNotPresent) {
    for (const char *body : {R"({"namespace":"ns","key":"k","version":5})",
                             R"({"namespace":"ns","key":"k","version":5,"metadata":{}})"}) {
        Server server(answer(200, body));
        Client c({server.http.url()});
        kc_engine_metadata_request request{"ns", "k", nullptr, nullptr, 2, 0, 0, 0, 0};
        kc_engine_metadata_response response{};
        response.metadata_present = 1;
        response.query_hidden = 1;
        ASSERT_EQ(kc_engine_client_update_metadata(c.client, &request, &response, nullptr), KC_OK) << body;
        EXPECT_EQ(response.metadata_present, 0) << body;
        EXPECT_EQ(response.query_hidden, 0) << body;
        EXPECT_EQ(response.version, 5);
        kc_engine_metadata_response_cleanup(&response);
    }
}

TEST(LeaseRemoveThreads, SendsAnEmptyBodyWithTheStateHeaders) {
    Server server(answer(200, R"({"removed":true,"new_version":10})", "cid-rm"));
    Client c({server.http.url()});
    kc_engine_remove_request guarded{"ns", "k/1", "L-1", "T-1", 7, "e9", 9, 1};
    kc_engine_remove_request bare{"ns", "k", nullptr, "T-1", 7, "", 9, 0};
    kc_engine_remove_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_remove(c.client, &guarded, &response, &error.e), KC_OK) << error.message();
    EXPECT_EQ(response.removed, 1);
    EXPECT_EQ(response.new_version, 10);
    EXPECT_STREQ(response.correlation_id, "cid-rm");
    ASSERT_EQ(kc_engine_client_remove(c.client, &bare, &response, &error.e), KC_OK) << error.message();
    kc_engine_remove_response_cleanup(&response);

    auto requests = server.http.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v1/remove?key=k%2F1&namespace=ns");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(protocol_headers(requests[0]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 7",
                                        "X-Lease-ID: L-1", "X-Txn-ID: T-1", "X-If-State-ETag: e9",
                                        "X-If-Version: 9"}));
    EXPECT_EQ(protocol_headers(requests[1]),
              (std::vector<std::string>{"Accept: */*", "Content-Type: application/json", "X-Fencing-Token: 7",
                                        "X-Txn-ID: T-1"}));
}

TEST(LeaseDescribeThreads, GetsTheKeyAndCopiesEveryMember) {
    Server server(answer(200,
                         R"({"namespace":"ns","key":"k","owner":"o","lease_id":"L-1","expires_at_unix":1700000200,)"
                         R"("version":6,"state_etag":"e6","updated_at_unix":1699999999,"metadata":{"query_hidden":false}})",
                         "cid-ds"));
    Client c({server.http.url()});
    kc_engine_describe_request request{"", "k&v"};
    kc_engine_describe_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_describe(c.client, &request, &response, &error.e), KC_OK) << error.message();
    EXPECT_STREQ(response.namespace_, "ns");
    EXPECT_STREQ(response.key, "k");
    EXPECT_STREQ(response.owner, "o");
    EXPECT_STREQ(response.lease_id, "L-1");
    EXPECT_EQ(response.expires_at_unix, 1700000200);
    EXPECT_EQ(response.version, 6);
    EXPECT_STREQ(response.state_etag, "e6");
    EXPECT_EQ(response.updated_at_unix, 1699999999);
    EXPECT_EQ(response.metadata_present, 1);
    EXPECT_EQ(response.query_hidden, 0);
    EXPECT_STREQ(response.correlation_id, "cid-ds");
    kc_engine_describe_response_cleanup(&response);

    CapturedRequest got = server.only_request();
    EXPECT_EQ(got.method, "GET");
    EXPECT_EQ(got.target, "/v1/describe?key=k%26v&namespace=default");
    EXPECT_EQ(got.body, "");
    EXPECT_EQ(protocol_headers(got), (std::vector<std::string>{"Accept: */*"}));
}

// ---- get ---------------------------------------------------------------------------------

TEST(LeaseGetThreads, CapturesTheDocumentAndItsHeaders) {
    std::string document(70000, 'x'); // several chunks
    document.front() = '{';
    document.back() = '}';
    ScriptedResponse reply;
    reply.headers = {{"Content-Type", "application/vnd.test+json"},
                     {"ETag", "\"e5\""},
                     {"X-Key-Version", "5"},
                     {"X-Fencing-Token", "13"},
                     {"X-Correlation-Id", "cid-get"}};
    reply.body = document;
    reply.chunked = true;
    reply.chunk_size = 4096;
    Server server(reply);
    Client c({server.http.url()});
    kc_engine_get_request request{"ns", "a/b c", "L-1", 13, 0};
    kc_engine_get_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_get(c.client, &request, &response, &error.e), KC_OK) << error.message();
    ASSERT_EQ(response.body_length, document.size());
    EXPECT_EQ(std::string(response.body, response.body_length), document);
    EXPECT_EQ(response.body[response.body_length], '\0');
    EXPECT_STREQ(response.content_type, "application/vnd.test+json");
    EXPECT_STREQ(response.etag, "\"e5\""); // streamed reads keep the quotes as sent
    EXPECT_EQ(response.version, 5);
    EXPECT_EQ(response.fencing_token, 13);
    EXPECT_STREQ(response.correlation_id, "cid-get");
    kc_engine_get_response_cleanup(&response);

    CapturedRequest got = server.only_request();
    EXPECT_EQ(got.method, "GET");
    EXPECT_EQ(got.target, "/v1/get?key=a%2Fb%20c&namespace=ns");
    EXPECT_EQ(got.header("Accept"), "application/json");
    EXPECT_EQ(got.header("X-Lease-ID"), "L-1");
    EXPECT_EQ(got.header("X-Fencing-Token"), "13");
}

TEST(LeaseGetThreads, PublicReadNeedsNoLease) {
    Server server(answer(200, "{}"));
    Client c({server.http.url()}, "pub");
    kc_engine_get_request request{nullptr, "k", nullptr, 0, 1};
    kc_engine_get_response response{};
    Error error;
    ASSERT_EQ(kc_engine_client_get(c.client, &request, &response, &error.e), KC_OK) << error.message();
    EXPECT_EQ(std::string(response.body, response.body_length), "{}");
    EXPECT_STREQ(response.content_type, "application/json");
    kc_engine_get_response_cleanup(&response);
    CapturedRequest got = server.only_request();
    EXPECT_EQ(got.target, "/v1/get?key=k&namespace=pub&public=1");
    EXPECT_FALSE(got.has_header("X-Lease-ID"));
    EXPECT_FALSE(got.has_header("X-Fencing-Token"));
}

TEST(LeaseGetThreads, NoContentGivesAnEmptyBodyAndADefaultContentType) {
    ScriptedResponse bare;
    bare.status = 204;
    bare.reason = "No Content";
    bare.headers = {{"X-Correlation-Id", "cid-204"}};
    ScriptedResponse typed = bare;
    typed.headers.emplace_back("Content-Type", "text/plain");
    struct Case {
        ScriptedResponse reply;
        const char *content_type;
    };
    for (const Case &each : {Case{bare, "application/octet-stream"}, Case{typed, "text/plain"}}) {
        Server server(each.reply);
        Client c({server.http.url()});
        kc_engine_get_request request{"ns", "k", "L-1", 0, 0};
        kc_engine_get_response response{};
        Error error;
        ASSERT_EQ(kc_engine_client_get(c.client, &request, &response, &error.e), KC_OK) << error.message();
        EXPECT_EQ(response.body, nullptr);
        EXPECT_EQ(response.body_length, 0u);
        EXPECT_STREQ(response.content_type, each.content_type);
        EXPECT_STREQ(response.correlation_id, "cid-204");
        kc_engine_get_response_cleanup(&response);
    }
}

TEST(LeaseGetThreads, ServerErrorIsReportedWithoutABody) {
    Server server(answer(403, R"({"error":"lease_mismatch","detail":"not yours"})"));
    Client c({server.http.url()});
    kc_engine_get_request request{"ns", "k", "L-9", 0, 0};
    kc_engine_get_response response{};
    Error error;
    EXPECT_EQ(kc_engine_client_get(c.client, &request, &response, &error.e), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 403);
    EXPECT_STREQ(error.e.server_error, "lease_mismatch");
    EXPECT_EQ(response.body, nullptr);
    EXPECT_EQ(response.content_type, nullptr);
}

// ---- argument checks (no request is sent: the endpoint refuses connections) ---------------

struct Unreachable {
    std::string url = "http://127.0.0.1:" + std::to_string(unused_port());
    Client c{{url}};
};

TEST(LeaseArguments, MissingRecordsAreRefused) {
    Unreachable u;
    kc_engine_acquire_request acquire{};
    Error error;
    EXPECT_EQ(kc_engine_client_acquire(nullptr, &acquire, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "client, request, and response are required");
    kc_engine_keepalive_response keepalive{};
    EXPECT_EQ(kc_engine_client_keepalive(u.c.client, nullptr, &keepalive, nullptr), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_release(u.c.client, nullptr, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_get(u.c.client, nullptr, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_update(u.c.client, nullptr, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_update_stream(u.c.client, nullptr, &kDocumentMap, &u, nullptr, nullptr, &error.e),
              KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_mutate(u.c.client, nullptr, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_update_metadata(u.c.client, nullptr, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_remove(u.c.client, nullptr, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(kc_engine_client_describe(u.c.client, nullptr, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "client, request, and response are required");
}

TEST(LeaseArguments, OperationChecksComeBeforeAnyRequest) {
    Unreachable u;
    Error error;
    auto expect = [&](int code, const char *message) {
        EXPECT_EQ(code, KC_ERR_INVALID) << message;
        EXPECT_EQ(error.message(), message);
    };
    kc_engine_get_response get{};
    kc_engine_get_request no_key{"ns", "", "L", 0, 0};
    expect(kc_engine_client_get(u.c.client, &no_key, &get, &error.e), "get.key is required");
    kc_engine_get_request no_lease{"ns", "k", nullptr, 0, 0};
    expect(kc_engine_client_get(u.c.client, &no_lease, &get, &error.e),
           "get requires lease_id unless public_read is enabled");

    kc_engine_update_response update{};
    for (kc_engine_update_request bad : {kc_engine_update_request{"ns", nullptr, "L", "T", 1, nullptr, 0, 0, nullptr, 0, nullptr},
                                         kc_engine_update_request{"ns", "k", "L", "", 1, nullptr, 0, 0, nullptr, 0, nullptr},
                                         kc_engine_update_request{"ns", "k", "L", "T", 0, nullptr, 0, 0, nullptr, 0, nullptr}}) {
        expect(kc_engine_client_update(u.c.client, &bad, &update, &error.e),
               "update requires key, txn_id, and fencing_token");
        expect(kc_engine_client_update_stream(u.c.client, &bad, &kDocumentMap, &u, nullptr, &update, &error.e),
               "update requires key, txn_id, and fencing_token");
    }
    kc_engine_update_request good{"ns", "k", "L", "T", 1, nullptr, 0, 0, nullptr, 0, nullptr};
    Document document{};
    expect(kc_engine_client_update_stream(u.c.client, &good, nullptr, &document, nullptr, &update, &error.e),
           "update_stream requires body map and source");
    expect(kc_engine_client_update_stream(u.c.client, &good, &kDocumentMap, nullptr, nullptr, &update, &error.e),
           "update_stream requires body map and source");

    kc_engine_remove_response remove{};
    kc_engine_remove_request no_txn{"ns", "k", "L", nullptr, 3, nullptr, 0, 0};
    expect(kc_engine_client_remove(u.c.client, &no_txn, &remove, &error.e),
           "remove requires key, txn_id, and fencing_token");
    kc_engine_remove_request negative{"ns", "k", "L", "T", -1, nullptr, 0, 0};
    expect(kc_engine_client_remove(u.c.client, &negative, &remove, &error.e),
           "remove requires key, txn_id, and fencing_token");

    kc_engine_describe_response describe{};
    kc_engine_describe_request no_describe_key{"ns", nullptr};
    expect(kc_engine_client_describe(u.c.client, &no_describe_key, &describe, &error.e), "describe.key is required");

    const char *const with_hole[] = {"/a=1", nullptr};
    kc_engine_mutate_request holes{"ns", "k", "L", "T", 1, nullptr, 0, 0, with_hole, 2};
    expect(kc_engine_client_mutate(u.c.client, &holes, &update, &error.e), "mutate requires mutations");
    kc_engine_mutate_request missing{"ns", "k", "L", "T", 1, nullptr, 0, 0, nullptr, 1};
    expect(kc_engine_client_mutate(u.c.client, &missing, &update, &error.e), "mutate requires mutations");
}

TEST(LeaseArguments, TransportFailureIsReturnedAsIs) {
    Unreachable u;
    kc_engine_describe_request request{"ns", "k"};
    kc_engine_describe_response response{};
    Error error;
    EXPECT_EQ(kc_engine_client_describe(u.c.client, &request, &response, &error.e), KC_ERR_TRANSPORT);
    EXPECT_EQ(response.key, nullptr);
    kc_engine_get_request get{"ns", "k", "L", 0, 0};
    kc_engine_get_response got{};
    EXPECT_EQ(kc_engine_client_get(u.c.client, &get, &got, nullptr), KC_ERR_TRANSPORT);
    EXPECT_EQ(got.body, nullptr);
}

} // namespace
