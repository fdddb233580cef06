// Streamed state read and write against the scripted test server: requests, header capture and
// range checks, writer and reader failures, failover on passive nodes with rewinding, TLS
// through the streaming context callback; the query and header builders; the multipart reader.
#include "korvoc_engine.h"

#include "fixtures.h"
#include "http_server.h"
#include "streaming_fixture.h"
#include "test_pki.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using namespace korvo::testing;

namespace {

struct GetCall {
    kc_engine_get_stream_response response{};
    EngineError error;
    Collector sink;
    int code = -1;
    GetCall(const EngineClient &c, const kc_engine_get_stream_request &request, size_t fail_on_call = 0,
            bool own_error = false) {
        sink.fail_on_call = fail_on_call;
        sink.record_own_error = own_error;
        code = kc_engine_client_get_into(c.get(), &request, Collector::write, &sink, &response, error.get());
    }
    ~GetCall() { kc_engine_get_stream_response_cleanup(&response); }
};

kc_engine_get_stream_request get_request(const char *key = "doc") {
    kc_engine_get_stream_request request{};
    request.key = key;
    request.lease_id = "L1";
    request.fencing_token = 7;
    return request;
}

struct UpdateCall {
    kc_engine_update_response response{};
    EngineError error;
    int code = -1;
    UpdateCall(const EngineClient &c, const kc_engine_update_from_request &request, kc_engine_reader_fn reader,
               void *user) {
        code = kc_engine_client_update_from(c.get(), &request, reader, user, &response, error.get());
    }
    ~UpdateCall() { kc_engine_update_response_cleanup(&response); }
};

kc_engine_update_from_request update_request(const char *key = "doc") {
    kc_engine_update_from_request request{};
    request.key = key;
    request.lease_id = "L1";
    request.txn_id = "T1";
    request.fencing_token = 9;
    return request;
}

ScriptedResponse update_reply() {
    return json_reply(200, "{\"new_version\":13,\"new_state_etag\":\"e13\",\"bytes\":4096,\"extra\":[1]}", "cid-u");
}

TEST(StreamingGetThreads, RequestHeadersAndCapturedResult) {
    const std::string body = pattern_bytes(20000);
    for (size_t chunk : {size_t{0}, size_t{7}, size_t{1000}}) {
        HttpServer server({}, [&](const CapturedRequest &) {
            return with_chunking(raw_reply(body, {{"ETag", "  \"etag-1\"  "},
                                                  {"Content-Type", "application/json"},
                                                  {"X-Key-Version", "12"},
                                                  {"x-fencing-token", "\t7\t"},
                                                  {"X-Correlation-Id", "cid-1"}}),
                                 chunk);
        });
        EngineClientOptions options;
        options.default_namespace = "tenant";
        EngineClient c({server.url()}, options);
        GetCall call(c, get_request("a b/c"));
        ASSERT_EQ(call.code, KC_OK) << call.error.message();
        EXPECT_EQ(call.sink.bytes, body) << "chunk " << chunk;
        EXPECT_EQ(call.response.no_content, 0);
        EXPECT_STREQ(call.response.etag, "\"etag-1\"");
        EXPECT_STREQ(call.response.content_type, "application/json");
        EXPECT_EQ(call.response.version, 12);
        EXPECT_EQ(call.response.fencing_token, 7);
        EXPECT_STREQ(call.response.correlation_id, "cid-1");

        CapturedRequest request = server.requests().at(0);
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.target, "/v1/get?key=a%20b%2Fc&namespace=tenant");
        expect_headers(request, {{"Accept", "application/json"},
                                 {"X-Lease-ID", "L1"},
                                 {"X-Fencing-Token", "7"},
                                 {"X-Txn-ID", nullptr},
                                 {"Content-Type", nullptr}});
    }
}

TEST(StreamingGetThreads, PublicReadNamespaceAndNoContent) {
    HttpServer server({}, [](const CapturedRequest &request) {
        if (request.target.find("key=empty") == std::string::npos) return ScriptedResponse::json(200, "{}");
        ScriptedResponse reply = raw_reply("ignored"); // the test server sends a 204 body anyway
        reply.status = 204;
        return reply;
    });
    EngineClient c({server.url()});
    kc_engine_get_stream_request request{};
    request.key = "k";
    request.public_read = 1;
    GetCall open(c, request);
    ASSERT_EQ(open.code, KC_OK) << open.error.message();
    EXPECT_EQ(open.sink.bytes, "{}");
    request = get_request("empty");
    request.KC_NAMESPACE_MEMBER = "own ns";
    request.fencing_token = 0;
    GetCall empty(c, request);
    ASSERT_EQ(empty.code, KC_OK) << empty.error.message();
    EXPECT_EQ(empty.response.no_content, 1);
    EXPECT_EQ(empty.sink.calls, 0u);

    auto requests = server.requests();
    EXPECT_EQ(requests[0].target, "/v1/get?key=k&namespace=default&public=1");
    expect_headers(requests[0], {{"X-Lease-ID", nullptr}, {"X-Fencing-Token", nullptr}});
    EXPECT_EQ(requests[1].target, "/v1/get?key=empty&namespace=own%20ns");
    expect_headers(requests[1], {{"X-Lease-ID", "L1"}, {"X-Fencing-Token", nullptr}});
}

TEST(StreamingGetThreads, ArgumentChecks) {
    EngineClient c({"http://127.0.0.1:1"});
    Collector sink;
    kc_engine_get_stream_response response{};
    EngineError error;
    kc_engine_get_stream_request request = get_request("");
    EXPECT_EQ(kc_engine_client_get_into(c.get(), &request, Collector::write, &sink, &response, error.get()),
              KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "get_into requires client, request, writer, response, error, and key");
    request = get_request();
    EXPECT_EQ(kc_engine_client_get_into(c.get(), &request, nullptr, &sink, &response, error.get()), KC_ERR_INVALID);
    request.lease_id = "";
    EXPECT_EQ(kc_engine_client_get_into(c.get(), &request, Collector::write, &sink, &response, error.get()),
              KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "get_into requires lease_id unless public_read is enabled");
}

TEST(StreamingGetThreads, ErrorBodiesRedirectsAndTheTypedLimit) {
    for (size_t chunk : chunkings()) {
        HttpServer server({}, [&](const CapturedRequest &) {
            return with_chunking(
                json_reply(409, "{\"error\":\"version_conflict\",\"detail\":\"stale\",\"current_version\":9}", "cid-9"),
                chunk);
        });
        EngineClient c({server.url()});
        GetCall call(c, get_request());
        ASSERT_EQ(call.code, KC_ERR_SERVER) << "chunk " << chunk;
        EXPECT_EQ(call.error.message(), "korvo returned a non-success status");
        EXPECT_EQ(call.error.error.http_status, 409);
        EXPECT_STREQ(call.error.error.server_error, "version_conflict");
        EXPECT_STREQ(call.error.error.detail, "stale");
        EXPECT_EQ(call.error.error.current_version, 9);
        EXPECT_STREQ(call.error.error.correlation_id, "cid-9");
        EXPECT_EQ(call.sink.calls, 0u);
    }
    // The typed limit bounds error bodies, never the document itself; a redirect page is not
    // the document and never reaches the writer.
    const std::string big = pattern_bytes(5000);
    HttpServer server({}, [&](const CapturedRequest &request) {
        if (request.target.find("key=bad") != std::string::npos)
            return ScriptedResponse::json(500, "{\"error\":\"boom\",\"detail\":\"" + std::string(200, 'x') + "\"}");
        ScriptedResponse reply = raw_reply(big);
        if (request.target.find("key=moved") != std::string::npos) reply.status = 302;
        return reply;
    });
    EngineClientOptions options;
    options.max_response_bytes = 64;
    EngineClient c({server.url()}, options);
    GetCall good(c, get_request("good"));
    ASSERT_EQ(good.code, KC_OK) << good.error.message();
    EXPECT_EQ(good.sink.bytes, big);
    GetCall bad(c, get_request("bad"));
    EXPECT_EQ(bad.code, KC_ERR_PROTOCOL);
    EXPECT_EQ(bad.error.message(), "typed JSON response exceeds configured byte limit");
    GetCall moved(c, get_request("moved"));
    EXPECT_EQ(moved.code, KC_ERR_SERVER);
    EXPECT_EQ(moved.error.error.http_status, 302);
    EXPECT_EQ(moved.sink.calls, 0u);
}

TEST(StreamingGetThreads, NumericHeaderRangeErrorsAbortWithoutFailover) {
    const std::pair<const char *, const char *> cases[] = {
        {"X-Key-Version", "attachment key version is out of range"},
        {"X-Fencing-Token", "attachment fencing token is out of range"},
        {"X-Attachment-Size", "attachment size is out of range"},
        {"X-Attachment-Created-At", "attachment created_at is out of range"},
        {"X-Attachment-Updated-At", "attachment updated_at is out of range"},
    };
    HttpServer second({}, [](const CapturedRequest &) { return ScriptedResponse::json(200, "{}"); });
    for (const auto &[header, message] : cases) {
        for (const char *value : {"9223372036854775808", "12abc", "-9223372036854775809"}) {
            HttpServer server({}, [&](const CapturedRequest &) { return raw_reply("data", {{header, value}}); });
            EngineClient c({server.url(), second.url()});
            GetCall call(c, get_request());
            EXPECT_EQ(call.code, KC_ERR_PROTOCOL) << header << ": " << value;
            EXPECT_EQ(call.error.message(), message);
            EXPECT_EQ(call.sink.calls, 0u);
        }
    }
    EXPECT_EQ(second.request_count(), 0u);
}

TEST(StreamingFailoverThreads, WriterFailingOnSecondChunkStopsWithoutFailover) {
    for (bool own_error : {false, true}) {
        HttpServer first({}, [](const CapturedRequest &) {
            ScriptedResponse reply = with_chunking(raw_reply(pattern_bytes(300)), 100);
            reply.chunk_delay = std::chrono::milliseconds(30);
            return reply;
        });
        HttpServer second({}, [](const CapturedRequest &) { return ScriptedResponse::json(200, "{}"); });
        EngineClient c({first.url(), second.url()});
        GetCall call(c, get_request(), 2, own_error);
        EXPECT_EQ(call.code, KC_ERR_TRANSPORT);
        EXPECT_EQ(call.error.message(), own_error ? "disk full" : "stream writer callback failed");
        EXPECT_EQ(call.sink.calls, 2u);
        EXPECT_EQ(call.sink.bytes, pattern_bytes(300).substr(0, 100));
        EXPECT_EQ(second.request_count(), 0u);
    }
}

TEST(StreamingFailoverThreads, PassiveNodesMoveOnOtherFailuresDoNot) {
    HttpServer first({}, [](const CapturedRequest &) { return passive(); });
    HttpServer busy({}, [](const CapturedRequest &) { return ScriptedResponse::json(503, "{\"error\":\"overloaded\"}"); });
    HttpServer second({}, [](const CapturedRequest &) { return raw_reply("second body"); });
    EngineClient to_second({first.url(), second.url()});
    GetCall moved(to_second, get_request());
    ASSERT_EQ(moved.code, KC_OK) << moved.error.message();
    EXPECT_EQ(moved.sink.bytes, "second body");

    EngineClient all_passive({first.url(), first.url()});
    GetCall rejected(all_passive, get_request());
    EXPECT_EQ(rejected.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(rejected.error.message(), "all endpoints rejected the request");

    EngineClient overloaded({busy.url(), second.url()});
    GetCall refused(overloaded, get_request());
    EXPECT_EQ(refused.code, KC_ERR_SERVER);
    EXPECT_STREQ(refused.error.error.server_error, "overloaded");

    EngineClient unreachable({"http://127.0.0.1:" + std::to_string(unused_port()), second.url()});
    GetCall failed(unreachable, get_request());
    EXPECT_EQ(failed.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(failed.error.message(), "Couldn't connect to server"); // libcurl's text for the code
    EXPECT_EQ(first.request_count(), 3u);
    EXPECT_EQ(second.request_count(), 1u);
}

TEST(StreamingUpdateThreads, RequestHeadersBodyAndParsedResponse) {
    const std::string payload = pattern_bytes(150000, 3);
    for (size_t chunk : chunkings()) {
        HttpServer server({}, [&](const CapturedRequest &) { return with_chunking(update_reply(), chunk); });
        EngineClient c({server.url()});
        kc_engine_update_from_request request = update_request("x/y z");
        request.KC_NAMESPACE_MEMBER = "ns";
        request.if_state_etag = "e12";
        request.has_if_version = 1;
        request.if_version = 0;
        request.content_type = "application/merge+json";
        StringReader reader{payload};
        reader.piece = 999;
        UpdateCall call(c, request, StringReader::read, &reader);
        ASSERT_EQ(call.code, KC_OK) << call.error.message();
        EXPECT_EQ(call.response.new_version, 13);
        EXPECT_STREQ(call.response.new_state_etag, "e13");
        EXPECT_EQ(call.response.bytes, 4096);
        EXPECT_STREQ(call.response.correlation_id, "cid-u");

        CapturedRequest captured = server.requests().at(0);
        EXPECT_EQ(captured.method, "POST");
        EXPECT_EQ(captured.target, "/v1/update?key=x%2Fy%20z&namespace=ns");
        EXPECT_EQ(captured.body, payload);
        expect_headers(captured, {{"Accept", "application/json"},
                                  {"Content-Type", "application/merge+json"},
                                  {"X-Lease-ID", "L1"},
                                  {"X-Txn-ID", "T1"},
                                  {"X-Fencing-Token", "9"},
                                  {"X-If-State-ETag", "e12"},
                                  {"X-If-Version", "0"},
                                  {"Content-Length", nullptr}});
    }
}

TEST(StreamingUpdateThreads, OptionalHeadersLeftOutAndNoReaderSendsAnEmptyBody) {
    HttpServer server({}, [](const CapturedRequest &) { return update_reply(); });
    EngineClient c({server.url(), server.url()});
    kc_engine_update_from_request request = update_request();
    request.txn_id = nullptr;
    UpdateCall call(c, request, nullptr, nullptr);
    ASSERT_EQ(call.code, KC_OK) << call.error.message();
    CapturedRequest captured = server.requests().at(0);
    EXPECT_EQ(captured.target, "/v1/update?key=doc&namespace=default");
    EXPECT_TRUE(captured.body.empty());
    expect_headers(captured, {{"Content-Type", "application/json"},
                              {"X-Txn-ID", nullptr},
                              {"X-If-State-ETag", nullptr},
                              {"X-If-Version", nullptr}});

    for (int which = 0; which < 3; which++) {
        kc_engine_update_from_request bad = update_request(which == 0 ? "" : "doc");
        if (which == 1) bad.lease_id = nullptr;
        if (which == 2) bad.fencing_token = 0;
        UpdateCall refused(c, bad, nullptr, nullptr);
        EXPECT_EQ(refused.code, KC_ERR_INVALID);
        EXPECT_EQ(refused.error.message(),
                  "update_from requires client, request, response, error, key, lease_id, and fencing_token");
    }
}

TEST(StreamingUpdateThreads, PassiveFirstNodeGetsTheWholeBodyAgainFromARewoundSource) {
    const std::string payload = pattern_bytes(200000, 5);
    TempDir dir;
    const std::string file = dir.write("payload.bin", payload);
    for (bool from_file : {false, true}) {
        HttpServer first({}, [](const CapturedRequest &) { return passive(); });
        HttpServer second({}, [](const CapturedRequest &) { return update_reply(); });
        EngineClient c({first.url(), second.url()});
        SourceHandle source;
        ASSERT_EQ(from_file ? kc_source_from_file(file.c_str(), &source.source, nullptr)
                            : kc_source_from_memory(payload.data(), payload.size(), &source.source, nullptr),
                  KC_OK);
        UpdateCall call(c, update_request(), kc_engine_read_bridge, &source.source);
        ASSERT_EQ(call.code, KC_OK) << call.error.message();
        EXPECT_EQ(call.response.new_version, 13);
        EXPECT_EQ(first.requests().at(0).body, payload);
        EXPECT_EQ(second.requests().at(0).body, payload);
    }
}

// A public source built by hand, as applications may, with an empty reset slot.
struct BareSource {
    kc_source base;
    static size_t read(kc_source *, void *, size_t, kc_error *) { return 0; }
};

TEST(StreamingUpdateThreads, MultiEndpointUpdatesRefuseReadersThatCannotRewind) {
    HttpServer first({}, [](const CapturedRequest &) { return passive(); });
    HttpServer second({}, [](const CapturedRequest &) { return update_reply(); });
    EngineClient c({first.url(), second.url()});
    StringReader reader{"plain"};
    UpdateCall plain(c, update_request(), StringReader::read, &reader);
    EXPECT_EQ(plain.code, KC_ERR_INVALID);
    EXPECT_EQ(plain.error.message(), "multi-endpoint updates require kc_source-backed rewindable payloads");
    kc_source *missing = nullptr;
    UpdateCall no_source(c, update_request(), kc_engine_read_bridge, &missing);
    EXPECT_EQ(no_source.code, KC_ERR_INVALID);
    EXPECT_EQ(no_source.error.message(), "payload reset requires source");
    BareSource bare{{BareSource::read, nullptr, nullptr}};
    kc_source *source = &bare.base;
    UpdateCall no_reset(c, update_request(), kc_engine_read_bridge, &source);
    EXPECT_EQ(no_reset.code, KC_ERR_INVALID);
    EXPECT_EQ(no_reset.error.message(), "payload source is not rewindable");
    EXPECT_EQ(first.request_count() + second.request_count(), 0u);

    // An fd source passes the check but cannot rewind: the second attempt is never made.
    TempDir dir;
    int fd = ::open(dir.write("p", "payload").c_str(), O_RDONLY);
    SourceHandle fd_source;
    ASSERT_EQ(kc_source_from_fd(fd, &fd_source.source, nullptr), KC_OK);
    UpdateCall unwound(c, update_request(), kc_engine_read_bridge, &fd_source.source);
    ::close(fd);
    EXPECT_NE(unwound.code, KC_OK);
    EXPECT_EQ(unwound.error.message(), "source is not resettable");
    EXPECT_EQ(first.request_count(), 1u);
    EXPECT_EQ(second.request_count(), 0u);

    // With one endpoint nothing is ever rewound, so a plain reader is fine.
    EngineClient single({second.url()});
    StringReader again{"plain"};
    UpdateCall ok(single, update_request(), StringReader::read, &again);
    ASSERT_EQ(ok.code, KC_OK) << ok.error.message();
    EXPECT_EQ(second.requests().at(0).body, "plain");
}

TEST(StreamingUpdateThreads, ReaderAndTypedAnswerFailures) {
    HttpServer server({}, [](const CapturedRequest &) { return update_reply(); });
    EngineClient c({server.url()});
    StringReader failing{pattern_bytes(100000)};
    failing.piece = 1000;
    failing.fail_after = 20000;
    UpdateCall call(c, update_request(), StringReader::read, &failing);
    EXPECT_EQ(call.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(call.error.message(), "payload went away");

    ScriptedResponse redirect = ScriptedResponse::json(302, "{}");
    const std::pair<ScriptedResponse, const char *> cases[] = {
        {ScriptedResponse::json(200, "{\"new_version\":"), "failed to finish typed JSON response"},
        {ScriptedResponse::json(200, "{\"new_version\":\"x\"}"), "failed to parse typed JSON response"},
        {ScriptedResponse::json(200, "{\"new_state_etag\":\"" + std::string(300, 'e') + "\"}"),
         "typed JSON response exceeds configured byte limit"},
        {redirect, "typed JSON response has no parser"},
        {ScriptedResponse::json(404, "{\"error\":"), "failed to finish typed JSON error response"},
    };
    EngineClientOptions options;
    options.max_response_bytes = 256;
    for (const auto &[reply, message] : cases) {
        for (size_t chunk : {size_t{0}, size_t{1}}) {
            HttpServer bad({}, [&](const CapturedRequest &) { return with_chunking(reply, chunk); });
            EngineClient client({bad.url()}, options);
            UpdateCall failed(client, update_request(), nullptr, nullptr);
            EXPECT_EQ(failed.code, KC_ERR_PROTOCOL) << reply.body;
            EXPECT_EQ(failed.error.message(), message) << reply.body;
        }
    }
}

TEST(StreamingUpdateThreads, ATypedAnswerWithoutADestinationIsRefused) {
    HttpServer server({}, [](const CapturedRequest &) { return update_reply(); });
    EngineClient c({server.url()});
    EngineError error;
    kc_engine_stream_state state{};
    state.error = error.get();
    int code = kc_engine_perform_streaming(c.get(), "GET", "/v1/get?key=doc", nullptr, nullptr, nullptr, nullptr,
                                           nullptr, &kc_engine_update_response_map, nullptr, &state);
    EXPECT_EQ(code, KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "typed JSON response has no parser");
    EXPECT_EQ(state.http_status, 200);
    kc_engine_stream_state_cleanup(&state);
}

TEST(StreamingTlsThreads, TlsAndMutualTlsThroughTheStreamingContext) {
    const TestPki &pki = test_pki();
    ServerOptions tls;
    tls.cert_file = pki.server_cert;
    tls.key_file = pki.server_key;
    tls.client_ca_file = pki.ca_cert;
    for (Transport transport : {Transport::Tls, Transport::MutualTls}) {
        tls.transport = transport;
        HttpServer server(tls, [](const CapturedRequest &) { return raw_reply("secret document"); });
        EngineClientOptions trusted;
        trusted.mtls = true;
        trusted.bundle = pki.client_bundle;
        EngineClient c({server.host_port()}, trusted); // bare endpoint: https:// is added
        GetCall call(c, get_request());
        ASSERT_EQ(call.code, KC_OK) << call.error.message();
        EXPECT_EQ(call.sink.bytes, "secret document");

        // Another CA's client: it does not trust this server, and the server does not trust it.
        EngineClientOptions stranger;
        stranger.mtls = true;
        stranger.bundle = pki.other_client_bundle;
        stranger.insecure = transport == Transport::MutualTls;
        EngineClient other({server.url()}, stranger);
        GetCall refused(other, get_request());
        EXPECT_EQ(refused.code, KC_ERR_TRANSPORT);
        EXPECT_EQ(refused.sink.calls, 0u);
    }
}

std::string build_query(const kc_engine_client *client, const kc_engine_attachment_query &query) {
    kc_engine_buffer path;
    kc_engine_buffer_init(&path);
    kc_engine_buffer_append_cstr(&path, "/p");
    EngineError error;
    EXPECT_EQ(kc_engine_attachment_build_query(client, &path, &query, error.get()), KC_OK) << error.message();
    std::string out = path.data ? path.data : "";
    kc_engine_buffer_cleanup(&path);
    return out;
}

TEST(StreamingQuery, PartsInFixedOrderAndEncoded) {
    EngineClientOptions options;
    options.default_namespace = "tenant/a";
    EngineClient c({"http://127.0.0.1:1"}, options);
    kc_engine_attachment_query query{};
    query.key = "k 1/2";
    EXPECT_EQ(build_query(c.get(), query), "/p?key=k%201%2F2&namespace=tenant%2Fa");
    query.KC_NAMESPACE_MEMBER = "n s";
    query.name = "file name.txt";
    query.selector_name = "sel/name";
    query.selector_id = "id&1";
    query.content_type = "text/plain; charset=utf-8";
    query.prevent_overwrite = 1;
    query.has_max_bytes = 1;
    query.max_bytes = -5;
    query.public_read = 1;
    EXPECT_EQ(build_query(c.get(), query),
              "/p?key=k%201%2F2&namespace=n%20s&name=file%20name.txt&name=sel%2Fname&id=id%261"
              "&content_type=text%2Fplain%3B%20charset%3Dutf-8&prevent_overwrite=1&max_bytes=-5&public=1");
    query = {};
    query.key = "k";
    query.name = "";
    query.has_max_bytes = 1;
    EXPECT_EQ(build_query(c.get(), query), "/p?key=k&namespace=tenant%2Fa&max_bytes=0");
    EngineError error;
    EXPECT_EQ(kc_engine_attachment_build_query(c.get(), nullptr, &query, error.get()), KC_ERR_INVALID);
}

// The stream headers as they arrive: only those the builder writes, in arrival order.
std::vector<std::string> stream_header_names(const CapturedRequest &request) {
    std::vector<std::string> out;
    for (const auto &[name, value] : request.headers) {
        for (const char *known : {"Accept", "Content-Type", "X-Lease-ID", "X-Txn-ID", "X-Fencing-Token"})
            if (strcasecmp(name.c_str(), known) == 0) out.push_back(known);
    }
    return out;
}

TEST(StreamingQueryThreads, StreamHeadersInFixedOrderWhenGiven) {
    HttpServer server({}, [](const CapturedRequest &) { return ScriptedResponse::json(200, "{}"); });
    EngineClient c({server.url()});
    UpdateCall updated(c, update_request(), nullptr, nullptr);
    ASSERT_EQ(updated.code, KC_OK) << updated.error.message();
    GetCall got(c, get_request());
    ASSERT_EQ(got.code, KC_OK) << got.error.message();
    auto requests = server.requests();
    EXPECT_EQ(stream_header_names(requests.at(0)),
              (std::vector<std::string>{"Accept", "Content-Type", "X-Lease-ID", "X-Txn-ID", "X-Fencing-Token"}));
    EXPECT_EQ(stream_header_names(requests.at(1)), (std::vector<std::string>{"Accept", "X-Lease-ID", "X-Fencing-Token"}));
    EXPECT_EQ(kc_engine_build_stream_headers(nullptr, "", nullptr, "", -3), nullptr); // nothing to send: no list
}

// The whole multipart body, read with reads of at most capacity bytes.
std::string drain(kc_engine_multipart_upload &upload, size_t capacity, kc_engine_error *error) {
    std::string out;
    std::vector<char> buffer(capacity);
    while (size_t n = kc_engine_multipart_upload_read(&upload, buffer.data(), capacity, error)) {
        EXPECT_LE(n, capacity);
        out.append(buffer.data(), n);
    }
    return out;
}

int rewind_reader(void *user, kc_engine_error *) {
    static_cast<StringReader *>(user)->pos = 0;
    return 0;
}

TEST(StreamingMultipart, PrefixPayloadSuffixAndReset) {
    const std::string prefix = "--b\r\nContent-Type: application/json\r\n\r\n{}\r\n--b\r\n\r\n";
    const std::string suffix = "\r\n--b--\r\n";
    const std::string payload = pattern_bytes(5000, 9);
    for (size_t capacity : {size_t{1}, size_t{3}, size_t{64}, size_t{65536}}) {
        StringReader reader{payload};
        reader.piece = 777;
        kc_engine_multipart_upload upload{prefix.data(), prefix.size(), 0,  StringReader::read, &reader,
                                          rewind_reader, &reader,       suffix.data(), suffix.size(), 0, 0};
        EngineError error;
        EXPECT_EQ(drain(upload, capacity, error.get()), prefix + payload + suffix) << capacity;
        EXPECT_EQ(kc_engine_multipart_upload_reset(&upload, error.get()), KC_OK);
        EXPECT_EQ(drain(upload, capacity, error.get()), prefix + payload + suffix) << capacity;
    }
    // No payload reader: prefix then suffix. A failing payload stops before the suffix.
    kc_engine_multipart_upload bare{"P", 1, 0, nullptr, nullptr, nullptr, nullptr, "S", 1, 0, 0};
    EngineError error;
    EXPECT_EQ(drain(bare, 16, error.get()), "PS");
    StringReader failing{"abcdef"};
    failing.piece = 2;
    failing.fail_after = 4;
    kc_engine_multipart_upload broken{"P", 1, 0, StringReader::read, &failing, nullptr, nullptr, "S", 1, 0, 0};
    EXPECT_EQ(drain(broken, 16, error.get()), "Pabcd");
    EXPECT_EQ(error.error.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(kc_engine_multipart_upload_reset(nullptr, error.get()), KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "multipart upload reset requires state");
}

} // namespace
