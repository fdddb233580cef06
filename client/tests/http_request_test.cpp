// Typed JSON requests against the scripted test server: failover rules, header capture,
// byte limits, status handling, Unix sockets, mutual TLS, HTTP/2 through nghttpx, and the
// trace events. The server runs a thread, so every suite here is a *Threads suite.
#include "korvoc_engine.h"

#include "http_server.h"
#include "json_lines.h"
#include "test_pki.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace korvo::testing;

namespace {

struct Reply {
    char *name;
    int64_t count;
};
const vellum_field kReplyFields[] = {
    VELLUM_FIELD_STRING(Reply, name, "name", 0),
    VELLUM_FIELD_I64(Reply, count, "count", 0),
};
const vellum_map kReplyMap = VELLUM_MAP(Reply, kReplyFields);

struct Call {
    kc_engine_http_result result{};
    kc_engine_error error{};
    Reply reply{};
    int code = -1;
    ~Call() {
        kc_engine_http_result_cleanup(&result);
        kc_engine_error_cleanup(&error);
        vellum_cleanup(&kReplyMap, &reply);
    }
    std::string message() const { return error.message ? error.message : "<null>"; }
};

struct Client {
    kc_engine_client *client = nullptr;
    CapturedFile log;
    chirp_logger *base = nullptr;

    explicit Client(std::vector<std::string> endpoints, bool mtls = false, const std::string &bundle = "",
                    const char *unix_path = nullptr, bool insecure = false, bool http2 = true) {
        chirp_config lc;
        chirp_default_config(&lc);
        lc.level = CHIRP_LEVEL_TRACE;
        lc.output = log.get();
        base = chirp_new(&lc);
        std::vector<const char *> raw;
        for (auto &e : endpoints) raw.push_back(e.c_str());
        kc_engine_client_config config;
        kc_engine_client_config_init(&config);
        config.endpoints = raw.data();
        config.endpoint_count = static_cast<unsigned>(raw.size());
        config.disable_mtls = mtls ? 0 : 1;
        config.client_bundle_path = bundle.empty() ? nullptr : bundle.c_str();
        config.unix_socket_path = unix_path;
        config.insecure_skip_verify = insecure;
        config.prefer_http2 = http2;
        config.timeout_ms = 10000;
        config.logger = base;
        kc_engine_error error{};
        int code = kc_engine_client_open(&config, &client, &error);
        EXPECT_EQ(code, KC_OK) << (error.message ? error.message : "");
        kc_engine_error_cleanup(&error);
    }
    ~Client() {
        kc_engine_client_close(client);
        base->release(base);
    }
    void get(Call &call, const char *path = "/v1/thing", const vellum_map *map = &kReplyMap) {
        call.code = kc_engine_http_json_request(client, "GET", path, nullptr, 0, nullptr, 0, map,
                                                map ? &call.reply : nullptr, &call.result, &call.error);
    }
    std::vector<LogLine> events(const std::string &name) {
        std::vector<LogLine> out;
        for (auto &line : log.lines()) {
            EXPECT_TRUE(line.has_value());
            if (line && line->str("event") == name) out.push_back(*line);
        }
        return out;
    }
};

ScriptedResponse ok_reply() { return ScriptedResponse::json(200, "{\"name\":\"n1\",\"count\":3}"); }

ScriptedResponse passive() {
    return ScriptedResponse::json(503, "{\"error\":\"node_passive\",\"detail\":\"follower\",\"leader_endpoint\":\"x\"}");
}

TEST(HttpFailoverThreads, RefusedFirstEndpointFailsOverToSecond) {
    HttpServer server({}, [](const CapturedRequest &) { return ok_reply(); });
    std::string refused = "http://127.0.0.1:" + std::to_string(unused_port());
    Client c({refused, server.url()});
    Call call;
    c.get(call);
    ASSERT_EQ(call.code, KC_OK) << call.message();
    EXPECT_EQ(call.result.http_status, 200);
    EXPECT_STREQ(call.reply.name, "n1");
    EXPECT_EQ(call.reply.count, 3);
    auto errors = c.events("client.http.error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].str("endpoint"), refused);
    EXPECT_EQ(errors[0].find("attempt")->text, "1");
    EXPECT_NE(errors[0].str("error"), "<missing>");
    auto success = c.events("client.http.success");
    ASSERT_EQ(success.size(), 1u);
    EXPECT_EQ(success[0].find("attempt")->text, "2");
    EXPECT_EQ(success[0].find("total")->text, "2");
    EXPECT_EQ(success[0].find("status")->text, "200");
    auto attempts = c.events("client.http.attempt");
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[1].str("endpoint"), server.url());
    auto order = c.events("client.http.order");
    ASSERT_EQ(order.size(), 1u);
    EXPECT_EQ(order[0].str("endpoints"), refused + "," + server.url());
    EXPECT_EQ(order[0].str("method"), "GET");
    EXPECT_EQ(order[0].str("path"), "/v1/thing");
    EXPECT_EQ(order[0].str("sys"), "client.korvo");
}

TEST(HttpFailoverThreads, NodePassiveFailsOverButIsReturnedOnLastEndpoint) {
    HttpServer first({}, [](const CapturedRequest &) { return passive(); });
    HttpServer second({}, [](const CapturedRequest &) { return ok_reply(); });
    {
        Client c({first.url(), second.url()});
        Call call;
        c.get(call);
        ASSERT_EQ(call.code, KC_OK) << call.message();
        EXPECT_EQ(call.result.http_status, 200);
        EXPECT_EQ(call.result.server_error, nullptr); // cleared: describes the last attempt
        EXPECT_STREQ(call.reply.name, "n1");
        EXPECT_EQ(second.request_count(), 1u);
    }
    Client only({first.url()});
    Call call;
    only.get(call);
    ASSERT_EQ(call.code, KC_OK);
    EXPECT_EQ(call.result.http_status, 503);
    EXPECT_STREQ(call.result.server_error, "node_passive");
    EXPECT_STREQ(call.result.detail, "follower");
    EXPECT_STREQ(call.result.leader_endpoint, "x");
    kc_engine_error err{};
    EXPECT_EQ(kc_engine_set_server_error_from_result(&err, &call.result), KC_ERR_SERVER);
    EXPECT_STREQ(err.server_error, "node_passive");
    EXPECT_EQ(err.http_status, 503);
    kc_engine_error_cleanup(&err);
}

TEST(HttpFailoverThreads, OtherServerErrorsDoNotFailOver) {
    HttpServer first({}, [](const CapturedRequest &) {
        return ScriptedResponse::json(503, "{\"error\":\"overloaded\",\"retry_after_seconds\":7,\"current_version\":2}");
    });
    HttpServer second({}, [](const CapturedRequest &) { return ok_reply(); });
    Client c({first.url(), second.url()});
    Call call;
    c.get(call);
    ASSERT_EQ(call.code, KC_OK);
    EXPECT_EQ(call.result.http_status, 503);
    EXPECT_STREQ(call.result.server_error, "overloaded");
    EXPECT_EQ(call.result.retry_after_seconds, 7);
    EXPECT_EQ(call.result.current_version, 2);
    EXPECT_EQ(second.request_count(), 0u);
}

TEST(HttpFailoverThreads, ResetMidResponseFailsOver) {
    HttpServer first({}, [](const CapturedRequest &) {
        ScriptedResponse r;
        r.raw = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 200\r\n\r\n{\"name\":\"par";
        r.reset_after_raw = true;
        return r;
    });
    HttpServer second({}, [](const CapturedRequest &) { return ok_reply(); });
    Client c({first.url(), second.url()});
    Call call;
    c.get(call);
    ASSERT_EQ(call.code, KC_OK) << call.message();
    EXPECT_STREQ(call.reply.name, "n1"); // the partial first answer left nothing behind
    EXPECT_EQ(call.reply.count, 3);
    EXPECT_EQ(first.request_count(), 1u);
}

TEST(HttpFailoverThreads, ABodyTheParserRefusesEndsTheRequestWithoutFailover) {
    // The member has the wrong type: the parser refuses the chunk while it arrives.
    HttpServer first({}, [](const CapturedRequest &) {
        return ScriptedResponse::json(200, "{\"count\":\"three\"}");
    });
    HttpServer second({}, [](const CapturedRequest &) { return ok_reply(); });
    Client c({first.url(), second.url()});
    Call call;
    c.get(call);
    EXPECT_EQ(call.code, KC_ERR_PROTOCOL);
    EXPECT_EQ(call.message(), "failed to parse typed JSON response");
    EXPECT_EQ(call.reply.name, nullptr);
    EXPECT_EQ(second.request_count(), 0u);
}

TEST(HttpFailoverThreads, AllEndpointsFailing) {
    HttpServer closing({}, [](const CapturedRequest &) {
        ScriptedResponse r;
        r.close_without_answer = true;
        return r;
    });
    std::string refused = "http://127.0.0.1:" + std::to_string(unused_port());
    Client c({refused, closing.url()});
    Call call;
    c.get(call);
    EXPECT_EQ(call.code, KC_ERR_TRANSPORT);
    EXPECT_NE(call.message(), "all configured endpoints failed"); // the last transport error
    EXPECT_FALSE(call.message().empty());
    EXPECT_EQ(call.result.http_status, 0);
    EXPECT_EQ(closing.request_count(), 1u);

    // With no endpoint at all (a client whose list was emptied).
    size_t saved = c.client->endpoint_count;
    c.client->endpoint_count = 0;
    Call none;
    c.get(none);
    c.client->endpoint_count = saved;
    EXPECT_EQ(none.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(none.message(), "all configured endpoints failed");
    EXPECT_EQ(c.events("client.http.unreachable").size(), 1u);
}

TEST(HttpFailoverThreads, SchemeIsAddedToBareEndpoints) {
    HttpServer server({}, [](const CapturedRequest &) { return ok_reply(); });
    Client c({server.host_port() + "/"});
    Call call;
    c.get(call, "/v1/a?x=1");
    ASSERT_EQ(call.code, KC_OK) << call.message();
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/v1/a?x=1");
    EXPECT_EQ(c.events("client.http.attempt")[0].str("endpoint"), server.host_port());
}

TEST(HttpHeadersThreads, CapturesProtocolHeaders) {
    HttpServer server({}, [](const CapturedRequest &) {
        ScriptedResponse r = ok_reply();
        r.headers.emplace_back("x-correlation-id", "  cid-42 ");
        r.headers.emplace_back("ETag", "\"abc123\"");
        r.headers.emplace_back("X-Key-Version", "17");
        r.headers.emplace_back("X-FENCING-TOKEN", "-9");
        return r;
    });
    Client c({server.url()});
    Call call;
    c.get(call);
    ASSERT_EQ(call.code, KC_OK) << call.message();
    EXPECT_STREQ(call.result.correlation_id, "cid-42");
    EXPECT_STREQ(call.result.etag, "abc123");
    EXPECT_EQ(call.result.key_version, 17);
    EXPECT_EQ(call.result.fencing_token, -9);
    EXPECT_STREQ(call.result.content_type, "application/json");
    EXPECT_EQ(c.events("client.http.success")[0].str("cid"), "cid-42");
}

TEST(HttpHeadersThreads, EtagWithOneQuoteIsKept) {
    HttpServer server({}, [](const CapturedRequest &) {
        ScriptedResponse r = ok_reply();
        r.headers.emplace_back("ETag", "\"half");
        return r;
    });
    Client c({server.url()});
    Call call;
    c.get(call);
    ASSERT_EQ(call.code, KC_OK);
    EXPECT_STREQ(call.result.etag, "\"half");
}

TEST(HttpHeadersThreads, InvalidNumericHeadersAbortWithoutFailover) {
    for (const char *name : {"X-Fencing-Token", "X-Key-Version"}) {
        for (const char *value : {"12a", "99999999999999999999", ""}) {
            HttpServer bad({}, [&](const CapturedRequest &) {
                ScriptedResponse r = ok_reply();
                r.headers.emplace_back(name, value);
                return r;
            });
            HttpServer good({}, [](const CapturedRequest &) { return ok_reply(); });
            Client c({bad.url(), good.url()});
            Call call;
            c.get(call);
            EXPECT_EQ(call.code, KC_ERR_PROTOCOL) << name << "=" << value;
            EXPECT_EQ(call.message(), std::string("response ") + name + " header is invalid");
            EXPECT_EQ(good.request_count(), 0u);
            EXPECT_EQ(call.reply.name, nullptr);
        }
    }
}

TEST(HttpHeadersThreads, SendsRequestHeadersAndBodies) {
    HttpServer server({}, [](const CapturedRequest &) { return ok_reply(); });
    Client c({server.url()});
    kc_engine_http_header headers[] = {{"Content-Type", "application/json"}, {"X-Txn-Id", "t1"}};
    const std::string body = "{\"k\":1}";
    Call post;
    post.code = kc_engine_http_json_request(c.client, "POST", "/v1/acquire", body.data(), body.size(), headers, 2,
                                            &kReplyMap, &post.reply, &post.result, &post.error);
    ASSERT_EQ(post.code, KC_OK) << post.message();
    Call empty_post;
    empty_post.code = kc_engine_http_json_request(c.client, "POST", "/v1/empty", nullptr, 0, nullptr, 0, &kReplyMap,
                                                  &empty_post.reply, &empty_post.result, &empty_post.error);
    ASSERT_EQ(empty_post.code, KC_OK);
    Call del;
    del.code = kc_engine_http_json_request(c.client, "DELETE", "/v1/x", body.data(), body.size(), nullptr, 0,
                                           &kReplyMap, &del.reply, &del.result, &del.error);
    ASSERT_EQ(del.code, KC_OK);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[0].header("content-type"), "application/json");
    EXPECT_EQ(requests[0].header("X-Txn-Id"), "t1");
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, "");
    EXPECT_EQ(requests[1].header("Content-Length"), "0");
    EXPECT_EQ(requests[2].method, "DELETE");
    EXPECT_EQ(requests[2].body, body);
}

TEST(HttpHeadersThreads, StreamedBodyMatchesSerializer) {
    HttpServer server({}, [](const CapturedRequest &) { return ok_reply(); });
    HttpServer passive_node({}, [](const CapturedRequest &) { return passive(); });
    Client c({passive_node.url(), server.url()});
    Reply source{const_cast<char *>("stream \"me\""), 12345};
    for (const char *method : {"POST", "PUT"}) {
        Call call;
        call.code = kc_engine_http_json_request_stream(c.client, method, "/v1/s", &kReplyMap, &source, nullptr, nullptr,
                                                       0, &kReplyMap, &call.reply, &call.result, &call.error);
        ASSERT_EQ(call.code, KC_OK) << call.message();
    }
    char expected[256];
    size_t length = 0;
    ASSERT_EQ(vellum_serialize_buffer(&kReplyMap, &source, expected, sizeof(expected), &length, nullptr, nullptr),
              VELLUM_STATUS_OK);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    auto resent = passive_node.requests();
    ASSERT_EQ(resent.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(requests[i].body, std::string(expected, length)); // the body was generated again after failover
        EXPECT_EQ(resent[i].body, std::string(expected, length));
        EXPECT_EQ(requests[i].header("Content-Length"), std::to_string(length));
    }
    EXPECT_EQ(requests[1].method, "PUT");
    Call bad;
    bad.code = kc_engine_http_json_request_stream(c.client, "POST", "/v1/s", &kReplyMap, nullptr, nullptr, nullptr, 0,
                                                  nullptr, nullptr, &bad.result, &bad.error);
    EXPECT_EQ(bad.code, KC_ERR_INVALID);
    EXPECT_EQ(bad.message(), "body map and source must either both be provided or both be null");
}

TEST(HttpBodyThreads, ResponseLimitAndErrorBodyLimit) {
    std::string padding(3000, ' ');
    HttpServer server({}, [&](const CapturedRequest &request) {
        if (request.target == "/big-error") {
            std::string body = "{\"error\":\"x\",\"detail\":\"" + std::string(9000, 'd') + "\"}";
            return ScriptedResponse::json(500, body);
        }
        ScriptedResponse r = ScriptedResponse::json(200, "{\"name\":\"n\"," + padding + "\"count\":1}");
        r.chunked = true;
        r.chunk_size = 100;
        return r;
    });
    HttpServer spare({}, [](const CapturedRequest &) { return ok_reply(); });
    std::vector<std::string> endpoints = {server.url(), spare.url()};
    const char *raw[] = {endpoints[0].c_str(), endpoints[1].c_str()};
    kc_engine_client_config config;
    kc_engine_client_config_init(&config);
    config.endpoints = raw;
    config.endpoint_count = 2;
    config.disable_mtls = 1;
    config.max_response_bytes = 2048;
    kc_engine_client *client = nullptr;
    ASSERT_EQ(kc_engine_client_open(&config, &client, nullptr), KC_OK);
    Call big;
    big.code = kc_engine_http_json_request(client, "GET", "/big", nullptr, 0, nullptr, 0, &kReplyMap, &big.reply,
                                           &big.result, &big.error);
    EXPECT_EQ(big.code, KC_ERR_PROTOCOL);
    EXPECT_EQ(big.message(), "typed JSON response exceeds configured byte limit");
    EXPECT_EQ(big.reply.name, nullptr); // released

    Call err;
    err.code = kc_engine_http_json_request(client, "GET", "/big-error", nullptr, 0, nullptr, 0, &kReplyMap, &err.reply,
                                           &err.result, &err.error);
    EXPECT_EQ(err.code, KC_ERR_PROTOCOL);
    EXPECT_EQ(err.message(), "typed JSON response exceeds configured byte limit");
    EXPECT_EQ(spare.request_count(), 0u);
    kc_engine_client_close(client);

    // Within the default limit the same padded body parses, chunk by chunk.
    Client c({server.url()});
    Call fine;
    c.get(fine, "/big");
    ASSERT_EQ(fine.code, KC_OK) << fine.message();
    EXPECT_STREQ(fine.reply.name, "n");
}

TEST(HttpBodyThreads, StatusDecidesHowTheBodyIsRead) {
    HttpServer server({}, [](const CapturedRequest &request) {
        ScriptedResponse r;
        if (request.target == "/204") r = ScriptedResponse::json(204, "garbage that is not json");
        else if (request.target == "/205") r = ScriptedResponse::json(205, "also not json");
        else if (request.target == "/302") {
            r = ScriptedResponse::json(302, "{\"name\":\"redirect\"}");
            r.headers.emplace_back("Location", "/elsewhere");
        } else if (request.target == "/404") r = ScriptedResponse::json(404, "");
        else if (request.target == "/bad-json") r = ScriptedResponse::json(200, "{\"name\":");
        else if (request.target == "/bad-error") r = ScriptedResponse::json(500, "{\"error\":");
        else if (request.target == "/wrong-type") r = ScriptedResponse::json(200, "{\"count\":\"three\"}");
        else r = ok_reply();
        return r;
    });
    Client c({server.url()});
    {
        Call call;
        c.get(call, "/204");
        ASSERT_EQ(call.code, KC_OK) << call.message();
        EXPECT_EQ(call.result.http_status, 204);
    }
    {
        Call call;
        c.get(call, "/205");
        ASSERT_EQ(call.code, KC_OK) << call.message();
        EXPECT_EQ(call.result.http_status, 205);
    }
    {
        Call call;
        c.get(call, "/302");
        EXPECT_EQ(call.code, KC_ERR_PROTOCOL);
        EXPECT_EQ(call.message(), "typed JSON response has no parser");
        EXPECT_EQ(server.request_count(), 3u); // not followed
    }
    {
        Call call;
        c.get(call, "/404");
        ASSERT_EQ(call.code, KC_OK);
        EXPECT_EQ(call.result.http_status, 404);
        EXPECT_EQ(call.result.server_error, nullptr);
    }
    {
        Call call;
        c.get(call, "/bad-json");
        EXPECT_EQ(call.code, KC_ERR_PROTOCOL);
        EXPECT_EQ(call.result.http_status, 0); // cleared on failure
    }
    {
        Call call;
        c.get(call, "/bad-error");
        EXPECT_EQ(call.code, KC_ERR_PROTOCOL);
    }
    {
        Call call;
        c.get(call, "/wrong-type");
        EXPECT_EQ(call.code, KC_ERR_PROTOCOL);
        EXPECT_EQ(call.reply.name, nullptr);
    }
    {
        // Nobody asked for the body: it is dropped, and the request is not sent again.
        Call call;
        size_t before = server.request_count();
        c.get(call, "/ok", nullptr);
        ASSERT_EQ(call.code, KC_OK) << call.message();
        EXPECT_EQ(call.result.http_status, 200);
        EXPECT_EQ(server.request_count(), before + 1);
    }
    Call missing;
    missing.code = kc_engine_http_json_request(c.client, nullptr, "/", nullptr, 0, nullptr, 0, nullptr, nullptr,
                                               &missing.result, &missing.error);
    EXPECT_EQ(missing.code, KC_ERR_INVALID);
    EXPECT_EQ(missing.message(), "client, method, path, and result are required");
}

TEST(HttpBodyThreads, SlowChunkedBodyAndInterimResponse) {
    HttpServer server({}, [](const CapturedRequest &request) {
        if (request.target == "/interim") {
            // An interim status line first: the final status decides how the body is read.
            ScriptedResponse r;
            r.raw = "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 23\r\nConnection: close\r\n\r\n"
                    "{\"name\":\"i\",\"count\":10}";
            return r;
        }
        ScriptedResponse r = ok_reply();
        r.chunked = true;
        r.chunk_size = 3;
        r.chunk_delay = std::chrono::milliseconds(5);
        return r;
    });
    Client c({server.url()});
    Call slow;
    c.get(slow);
    ASSERT_EQ(slow.code, KC_OK) << slow.message();
    EXPECT_STREQ(slow.reply.name, "n1");
    Call interim;
    c.get(interim, "/interim");
    ASSERT_EQ(interim.code, KC_OK) << interim.message();
    EXPECT_EQ(interim.result.http_status, 200);
    EXPECT_STREQ(interim.reply.name, "i");
    EXPECT_EQ(interim.reply.count, 10);
}

TEST(HttpUnixSocketThreads, RequestsTravelOverTheSocket) {
    TempDir dir;
    std::string path = dir.file("korvo.sock");
    ServerOptions options;
    options.unix_socket_path = path;
    HttpServer server(options, [](const CapturedRequest &) { return ok_reply(); });
    Client c({"http://localhost"}, false, "", path.c_str());
    Call call;
    c.get(call, "/v1/unix");
    ASSERT_EQ(call.code, KC_OK) << call.message();
    EXPECT_STREQ(call.reply.name, "n1");
    ASSERT_EQ(server.request_count(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/v1/unix");
}

ServerOptions tls_options(Transport transport) {
    const TestPki &pki = test_pki();
    ServerOptions options;
    options.transport = transport;
    options.cert_file = pki.server_cert;
    options.key_file = pki.server_key;
    options.client_ca_file = pki.ca_cert;
    return options;
}

TEST(HttpMutualTlsThreads, ValidBundleConnects) {
    const TestPki &pki = test_pki();
    HttpServer server(tls_options(Transport::MutualTls), [](const CapturedRequest &) { return ok_reply(); });
    for (const std::string &bundle : {pki.client_bundle, pki.client_bundle_ca_first}) {
        Client c({server.host_port()}, true, bundle); // bare endpoint: https:// is added
        Call call;
        c.get(call);
        ASSERT_EQ(call.code, KC_OK) << call.message();
        EXPECT_STREQ(call.reply.name, "n1");
    }
    EXPECT_EQ(server.failed_handshakes(), 0u);
}

TEST(HttpMutualTlsThreads, ClientCertificateFromUnknownCaFails) {
    const TestPki &pki = test_pki();
    HttpServer server(tls_options(Transport::MutualTls), [](const CapturedRequest &) { return ok_reply(); });
    // The unrelated bundle's CA does not sign the server either: skip server checks so the
    // failure is the server refusing the client certificate.
    Client c({server.url()}, true, pki.other_client_bundle, nullptr, true);
    Call call;
    c.get(call);
    EXPECT_EQ(call.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(server.request_count(), 0u);
}

TEST(HttpMutualTlsThreads, ServerVerificationAndInsecureSkip) {
    const TestPki &pki = test_pki();
    HttpServer server(tls_options(Transport::Tls), [](const CapturedRequest &) { return ok_reply(); });
    {
        // Trusted through the bundle's CA, which is added to the verification store.
        Client c({server.url()}, true, pki.client_bundle);
        Call call;
        c.get(call);
        ASSERT_EQ(call.code, KC_OK) << call.message();
    }
    {
        // The unrelated bundle does not trust this server.
        Client c({server.url()}, true, pki.other_client_bundle);
        Call call;
        c.get(call);
        EXPECT_EQ(call.code, KC_ERR_TRANSPORT);
    }
    {
        Client c({server.url()}, true, pki.other_client_bundle, nullptr, true);
        Call call;
        c.get(call);
        ASSERT_EQ(call.code, KC_OK) << call.message();
    }
}

// nghttpx in front of the plain test server: HTTP/2 over TLS with client certificates.
class Nghttpx {
  public:
    Nghttpx(unsigned short backend_port, const TestPki &pki) : port_(unused_port()) {
        std::string frontend = "--frontend=127.0.0.1," + std::to_string(port_);
        std::string backend = "--backend=127.0.0.1," + std::to_string(backend_port) + ";;proto=http/1.1";
        std::string cacert = "--verify-client-cacert=" + pki.ca_cert;
        pid_ = fork();
        if (pid_ == 0) {
            execlp("nghttpx", "nghttpx", frontend.c_str(), backend.c_str(), "--verify-client", cacert.c_str(),
                   "--workers=1", "--no-ocsp", "--log-level=ERROR", "--errorlog-file=/dev/null",
                   "--accesslog-file=/dev/null", pki.server_key.c_str(), pki.server_cert.c_str(), (char *)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 100 && !listening(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Nghttpx() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool listening() const {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
        close(fd);
        return ok;
    }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }

  private:
    unsigned short port_;
    pid_t pid_ = -1;
};

bool have_nghttpx() { return std::system("command -v nghttpx >/dev/null 2>&1") == 0; }

TEST(HttpTwoThreads, PreferHttp2TravelsAsHttp2ThroughProxy) {
    if (!have_nghttpx()) GTEST_SKIP() << "nghttpx (nghttp2-proxy) is not installed";
    const TestPki &pki = test_pki();
    HttpServer backend({}, [](const CapturedRequest &) { return ok_reply(); });
    Nghttpx proxy(backend.port(), pki);
    ASSERT_TRUE(proxy.listening());
    for (bool http2 : {true, false}) {
        Client c({proxy.url()}, true, pki.client_bundle, nullptr, false, http2);
        Call call;
        c.get(call);
        ASSERT_EQ(call.code, KC_OK) << call.message();
        EXPECT_STREQ(call.reply.name, "n1");
    }
    {
        Client c({proxy.url()}, true, pki.other_client_bundle, nullptr, true);
        Call call;
        c.get(call);
        EXPECT_EQ(call.code, KC_ERR_TRANSPORT); // the proxy verifies client certificates
    }
    auto requests = backend.requests();
    ASSERT_EQ(requests.size(), 2u);
    // nghttpx names the frontend protocol version in Via.
    EXPECT_EQ(requests[0].header("via"), "2 nghttpx");
    EXPECT_EQ(requests[1].header("via"), "1.1 nghttpx");
}

} // namespace
