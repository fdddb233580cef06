// Attachment operations against the scripted test server: upload, listing, download, deleting
// one or all, with their query strings, headers, parsed answers and failure rules; and the two
// parsers of complete JSON answers.
#include "korvoc_engine.h"

#include "http_server.h"
#include "streaming_fixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace korvo::testing;

namespace {

const std::string kInfoJson = "{\"id\":\"att-1\",\"name\":\"report.pdf\",\"size\":1234,\"plaintext_sha256\":\"ab12\","
                              "\"content_type\":\"application/pdf\",\"created_at_unix\":100,\"updated_at_unix\":200}";
const std::string kAttachAnswer = "{\"attachment\":" + kInfoJson + ",\"noop\":true,\"version\":8}";

void expect_info(const kc_engine_attachment_info &info) {
    EXPECT_STREQ(info.id, "att-1");
    EXPECT_STREQ(info.name, "report.pdf");
    EXPECT_EQ(info.size, 1234);
    EXPECT_STREQ(info.plaintext_sha256, "ab12");
    EXPECT_STREQ(info.content_type, "application/pdf");
    EXPECT_EQ(info.created_at_unix, 100);
    EXPECT_EQ(info.updated_at_unix, 200);
}

struct AttachCall {
    kc_engine_attach_response response{};
    EngineError error;
    int code = -1;
    AttachCall(const EngineClient &c, const kc_engine_attach_request &request, kc_engine_reader_fn reader, void *user) {
        code = kc_engine_client_attach_from(c.get(), &request, reader, user, &response, error.get());
    }
    ~AttachCall() { kc_engine_attach_response_cleanup(&response); }
};

kc_engine_attach_request attach_request() {
    kc_engine_attach_request request{};
    request.key = "orders/42 a";
    request.lease_id = "L1";
    request.txn_id = "T1";
    request.fencing_token = 3;
    request.name = "report.pdf";
    return request;
}

TEST(AttachUploadThreads, QueryHeadersBodyAndAnswer) {
    const std::string payload = pattern_bytes(120000, 21);
    for (size_t chunk : chunkings()) {
        HttpServer server({}, [&](const CapturedRequest &) { return with_chunking(json_reply(200, kAttachAnswer), chunk); });
        EngineClient c({server.url()});
        kc_engine_attach_request request = attach_request();
        request.KC_NAMESPACE_MEMBER = "team a";
        request.content_type = "application/pdf";
        request.prevent_overwrite = 1;
        request.has_max_bytes = 1;
        request.max_bytes = 1048576;
        StringReader reader{payload};
        AttachCall call(c, request, StringReader::read, &reader);
        ASSERT_EQ(call.code, KC_OK) << call.error.message();
        expect_info(call.response.attachment);
        EXPECT_EQ(call.response.noop, 1);
        EXPECT_EQ(call.response.version, 8);
        EXPECT_STREQ(call.response.correlation_id, "cid-a");

        CapturedRequest captured = server.requests().at(0);
        EXPECT_EQ(captured.method, "POST");
        EXPECT_EQ(captured.target, "/v1/attachments?key=orders%2F42%20a&namespace=team%20a&name=report.pdf"
                                   "&content_type=application%2Fpdf&prevent_overwrite=1&max_bytes=1048576");
        EXPECT_EQ(captured.body, payload);
        expect_headers(captured, {{"Accept", "application/json"},
                                  {"Content-Type", "application/pdf"},
                                  {"X-Lease-ID", "L1"},
                                  {"X-Txn-ID", "T1"},
                                  {"X-Fencing-Token", "3"}});
    }
}

TEST(AttachUploadThreads, DefaultsAndArgumentChecks) {
    HttpServer server({}, [](const CapturedRequest &) { return json_reply(200, "{\"attachment\":{\"id\":\"x\"}}"); });
    EngineClient c({server.url()});
    kc_engine_attach_request request = attach_request();
    request.fencing_token = 0;
    request.max_bytes = 99; // not sent without has_max_bytes
    StringReader reader{"abc"};
    AttachCall call(c, request, StringReader::read, &reader);
    ASSERT_EQ(call.code, KC_OK) << call.error.message();
    EXPECT_STREQ(call.response.attachment.id, "x");
    EXPECT_EQ(call.response.attachment.name, nullptr);
    CapturedRequest captured = server.requests().at(0);
    EXPECT_EQ(captured.target, "/v1/attachments?key=orders%2F42%20a&namespace=default&name=report.pdf");
    expect_headers(captured, {{"Content-Type", "application/octet-stream"}, {"X-Fencing-Token", nullptr}});

    for (int which = 0; which < 5; which++) {
        kc_engine_attach_request bad = attach_request();
        if (which == 0) bad.key = "";
        if (which == 1) bad.name = nullptr;
        if (which == 2) bad.lease_id = "";
        if (which == 3) bad.txn_id = nullptr;
        AttachCall refused(c, bad, which == 4 ? nullptr : StringReader::read, &reader);
        EXPECT_EQ(refused.code, KC_ERR_INVALID);
        EXPECT_EQ(refused.error.message(),
                  "attach_from requires client, request, reader, response, error, key, name, lease_id, and txn_id");
    }
    EXPECT_EQ(server.request_count(), 1u);
}

TEST(AttachUploadThreads, FailoverRewindsASourceAndRefusesAPlainReader) {
    const std::string payload = pattern_bytes(90000, 4);
    HttpServer first({}, [](const CapturedRequest &) { return passive(); });
    HttpServer second({}, [](const CapturedRequest &) { return json_reply(200, kAttachAnswer); });
    EngineClient c({first.url(), second.url()});
    SourceHandle source;
    ASSERT_EQ(kc_source_from_memory(payload.data(), payload.size(), &source.source, nullptr), KC_OK);
    AttachCall rewound(c, attach_request(), kc_engine_read_bridge, &source.source);
    ASSERT_EQ(rewound.code, KC_OK) << rewound.error.message();
    expect_info(rewound.response.attachment);
    EXPECT_EQ(first.requests().at(0).body, payload);
    EXPECT_EQ(second.requests().at(0).body, payload);

    // Nothing can rewind a plain reader: the call stops instead of sending a cut body.
    StringReader reader{payload};
    AttachCall plain(c, attach_request(), StringReader::read, &reader);
    EXPECT_EQ(plain.code, KC_ERR_INVALID);
    EXPECT_EQ(plain.error.message(), "payload source is not rewindable");
    EXPECT_EQ(first.request_count(), 2u);
    EXPECT_EQ(second.request_count(), 1u);
}

struct ListCall {
    kc_engine_list_attachments_response response{};
    EngineError error;
    int code = -1;
    ListCall(const EngineClient &c, const kc_engine_list_attachments_request &request) {
        code = kc_engine_client_list_attachments(c.get(), &request, &response, error.get());
    }
    ~ListCall() { kc_engine_list_attachments_response_cleanup(&response); }
};

kc_engine_list_attachments_request list_request() {
    kc_engine_list_attachments_request request{};
    request.key = "k/1";
    request.lease_id = "L1";
    request.txn_id = "T1";
    request.fencing_token = 5;
    return request;
}

TEST(AttachListThreads, EntriesHeadersAndQuery) {
    const std::string body = "{\"namespace\":\"ns\",\"key\":\"k/1\",\"attachments\":[" + kInfoJson +
                             ",{\"id\":\"att-2\",\"name\":\"b\",\"size\":0}]}";
    for (size_t chunk : chunkings()) {
        HttpServer server({}, [&](const CapturedRequest &) { return with_chunking(json_reply(200, body), chunk); });
        EngineClient c({server.url()});
        ListCall call(c, list_request());
        ASSERT_EQ(call.code, KC_OK) << call.error.message();
        EXPECT_STREQ(call.response.KC_NAMESPACE_MEMBER, "ns");
        EXPECT_STREQ(call.response.key, "k/1");
        ASSERT_EQ(call.response.attachment_count, 2u);
        expect_info(call.response.attachments[0]);
        EXPECT_STREQ(call.response.attachments[1].id, "att-2");
        EXPECT_EQ(call.response.attachments[1].plaintext_sha256, nullptr);
        EXPECT_STREQ(call.response.correlation_id, "cid-a");
        CapturedRequest captured = server.requests().at(0);
        EXPECT_EQ(captured.method, "GET");
        EXPECT_EQ(captured.target, "/v1/attachments?key=k%2F1&namespace=default");
        expect_headers(captured, {{"X-Lease-ID", "L1"}, {"X-Txn-ID", "T1"}, {"X-Fencing-Token", "5"}});
    }
}

TEST(AttachListThreads, ZeroAttachmentsPublicReadAndFailures) {
    HttpServer server({}, [](const CapturedRequest &request) {
        if (request.target.find("public=1") == std::string::npos)
            return json_reply(403, "{\"error\":\"lease_required\"}");
        ScriptedResponse reply = json_reply(200, "{\"key\":\"k\",\"attachments\":[]}");
        reply.status = 203; // any 2xx is success
        return reply;
    });
    EngineClient c({server.url()});
    kc_engine_list_attachments_request request{};
    request.key = "k";
    request.public_read = 1;
    request.lease_id = "ignored";
    request.fencing_token = 5;
    ListCall open(c, request);
    ASSERT_EQ(open.code, KC_OK) << open.error.message();
    EXPECT_EQ(open.response.attachments, nullptr);
    EXPECT_EQ(open.response.attachment_count, 0u);
    EXPECT_STREQ(open.response.key, "k");
    CapturedRequest captured = server.requests().at(0);
    EXPECT_EQ(captured.target, "/v1/attachments?key=k&namespace=default&public=1");
    expect_headers(captured, {{"X-Lease-ID", nullptr}, {"X-Txn-ID", nullptr}, {"X-Fencing-Token", nullptr}});

    ListCall refused(c, list_request());
    EXPECT_EQ(refused.code, KC_ERR_SERVER);
    EXPECT_EQ(refused.error.error.http_status, 403);
    EXPECT_STREQ(refused.error.error.server_error, "lease_required");
    request = list_request();
    request.key = nullptr;
    ListCall no_key(c, request);
    EXPECT_EQ(no_key.error.message(), "list_attachments requires client, request, response, error, and key");
    request = list_request();
    request.txn_id = "";
    ListCall no_txn(c, request);
    EXPECT_EQ(no_txn.error.message(), "list_attachments requires lease_id and txn_id unless public_read is enabled");
    EXPECT_EQ(server.request_count(), 2u);
}

struct DownloadCall {
    kc_engine_get_attachment_response response{};
    EngineError error;
    Collector sink;
    int code = -1;
    DownloadCall(const EngineClient &c, const kc_engine_get_attachment_request &request, bool with_writer = true) {
        code = kc_engine_client_get_attachment_into(c.get(), &request, with_writer ? Collector::write : nullptr, &sink,
                                                    &response, error.get());
    }
    ~DownloadCall() { kc_engine_get_attachment_response_cleanup(&response); }
};

kc_engine_get_attachment_request download_request() {
    kc_engine_get_attachment_request request{};
    request.key = "k";
    request.lease_id = "L1";
    request.txn_id = "T1";
    request.fencing_token = 2;
    request.selector.id = "att 1";
    request.selector.name = "a/b.bin";
    return request;
}

TEST(AttachDownloadThreads, SelectorNameBeforeIdHeadersAndBody) {
    const std::string body = pattern_bytes(40000, 8);
    for (size_t chunk : {size_t{0}, size_t{7}, size_t{1000}}) {
        HttpServer server({}, [&](const CapturedRequest &) {
            return with_chunking(raw_reply(body, {{"X-Attachment-ID", "att 1"},
                                                  {"x-attachment-name", " a/b.bin "},
                                                  {"X-Attachment-SHA256", "ff00"},
                                                  {"X-Attachment-Size", "40000"},
                                                  {"X-Attachment-Created-At", "1700000000"},
                                                  {"X-Attachment-Updated-At", "-1"},
                                                  {"Content-Type", "application/octet-stream"},
                                                  {"X-Correlation-Id", "cid-d"}}),
                                 chunk);
        });
        EngineClient c({server.url()});
        DownloadCall call(c, download_request());
        ASSERT_EQ(call.code, KC_OK) << call.error.message();
        EXPECT_EQ(call.sink.bytes, body);
        EXPECT_STREQ(call.response.attachment_id, "att 1");
        EXPECT_STREQ(call.response.name, "a/b.bin");
        EXPECT_STREQ(call.response.plaintext_sha256, "ff00");
        EXPECT_EQ(call.response.size, 40000);
        EXPECT_EQ(call.response.created_at_unix, 1700000000);
        EXPECT_EQ(call.response.updated_at_unix, -1);
        EXPECT_STREQ(call.response.content_type, "application/octet-stream");
        EXPECT_STREQ(call.response.correlation_id, "cid-d");
        CapturedRequest captured = server.requests().at(0);
        EXPECT_EQ(captured.method, "GET");
        EXPECT_EQ(captured.target, "/v1/attachment?key=k&namespace=default&name=a%2Fb.bin&id=att%201");
        expect_headers(captured, {{"Accept", "application/octet-stream"},
                                  {"X-Lease-ID", "L1"},
                                  {"X-Txn-ID", "T1"},
                                  {"X-Fencing-Token", "2"},
                                  {"Content-Type", nullptr}});
    }
}

TEST(AttachDownloadThreads, PublicByIdSizeOutOfRangeAndArgumentChecks) {
    HttpServer server({}, [](const CapturedRequest &request) {
        if (request.target.find("public=1") != std::string::npos) return raw_reply("pub");
        return raw_reply("never", {{"X-Attachment-Size", "9223372036854775808"}});
    });
    EngineClient c({server.url()});
    kc_engine_get_attachment_request request{};
    request.key = "k";
    request.public_read = 1;
    request.selector.id = "7";
    DownloadCall open(c, request);
    ASSERT_EQ(open.code, KC_OK) << open.error.message();
    EXPECT_EQ(open.sink.bytes, "pub");
    EXPECT_EQ(open.response.attachment_id, nullptr);
    CapturedRequest captured = server.requests().at(0);
    EXPECT_EQ(captured.target, "/v1/attachment?key=k&namespace=default&id=7&public=1");
    expect_headers(captured, {{"X-Lease-ID", nullptr}, {"X-Fencing-Token", nullptr}});

    DownloadCall huge(c, download_request());
    EXPECT_EQ(huge.code, KC_ERR_PROTOCOL);
    EXPECT_EQ(huge.error.message(), "attachment size is out of range");
    EXPECT_EQ(huge.sink.calls, 0u);

    request = download_request();
    request.selector = {nullptr, ""};
    EXPECT_EQ(DownloadCall(c, request).error.message(), "get_attachment_into requires selector id or name");
    request = download_request();
    request.txn_id = nullptr;
    EXPECT_EQ(DownloadCall(c, request).error.message(),
              "get_attachment_into requires lease_id and txn_id unless public_read is enabled");
    EXPECT_EQ(DownloadCall(c, download_request(), false).error.message(),
              "get_attachment_into requires client, request, writer, response, error, and key");
    EXPECT_EQ(server.request_count(), 2u);
}

TEST(AttachDeleteThreads, DeleteOneSendsSelectorAndParsesAnswer) {
    for (size_t chunk : chunkings()) {
        HttpServer server({}, [&](const CapturedRequest &request) {
            if (request.target.find("id=gone") != std::string::npos)
                return json_reply(404, "{\"error\":\"attachment_not_found\"}");
            return with_chunking(json_reply(200, "{\"deleted\":true,\"version\":31}"), chunk);
        });
        EngineClient c({server.url()});
        kc_engine_delete_attachment_request request{};
        request.key = "k";
        request.KC_NAMESPACE_MEMBER = "n";
        request.lease_id = "L1";
        request.txn_id = "T1";
        request.selector.name = "x y";
        kc_engine_delete_attachment_response response{};
        EngineError error;
        ASSERT_EQ(kc_engine_client_delete_attachment(c.get(), &request, &response, error.get()), KC_OK)
            << error.message();
        EXPECT_EQ(response.deleted, 1);
        EXPECT_EQ(response.version, 31);
        EXPECT_STREQ(response.correlation_id, "cid-a");
        kc_engine_delete_attachment_response_cleanup(&response);
        CapturedRequest captured = server.requests().at(0);
        EXPECT_EQ(captured.method, "DELETE");
        EXPECT_EQ(captured.target, "/v1/attachment?key=k&namespace=n&name=x%20y");
        expect_headers(captured, {{"X-Lease-ID", "L1"}, {"X-Txn-ID", "T1"}, {"X-Fencing-Token", nullptr}});

        request.selector = {"gone", nullptr};
        request.fencing_token = 12;
        EXPECT_EQ(kc_engine_client_delete_attachment(c.get(), &request, &response, error.get()), KC_ERR_SERVER);
        EXPECT_STREQ(error.error.server_error, "attachment_not_found");
        EXPECT_EQ(server.requests().at(1).header("X-Fencing-Token"), "12");
        request.txn_id = "";
        EXPECT_EQ(kc_engine_client_delete_attachment(c.get(), &request, &response, error.get()), KC_ERR_INVALID);
        EXPECT_EQ(error.message(),
                  "delete_attachment requires client, request, response, error, key, lease_id, and txn_id");
    }
}

TEST(AttachDeleteThreads, DeleteAllCountsAndRange) {
    const std::pair<const char *, int> cases[] = {
        {"{\"deleted\":3,\"version\":40}", 3},
        {"{\"deleted\":2147483647}", 2147483647},
        {"{\"deleted\":2147483648,\"version\":40}", -1},
        {"{\"deleted\":-2147483649}", -1},
    };
    for (const auto &[body, deleted] : cases) {
        HttpServer server({}, [&](const CapturedRequest &) { return json_reply(200, body); });
        EngineClient c({server.url()});
        kc_engine_delete_all_attachments_request request{"", "k k", "L1", "T1", 4};
        kc_engine_delete_all_attachments_response response{};
        EngineError error;
        int code = kc_engine_client_delete_all_attachments(c.get(), &request, &response, error.get());
        if (deleted >= 0) {
            ASSERT_EQ(code, KC_OK) << error.message();
            EXPECT_EQ(response.deleted, deleted);
            EXPECT_STREQ(response.correlation_id, "cid-a");
        } else {
            EXPECT_EQ(code, KC_ERR_PROTOCOL) << body;
            EXPECT_EQ(error.message(), "delete attachments deleted count is out of range");
            EXPECT_EQ(response.correlation_id, nullptr);
        }
        kc_engine_delete_all_attachments_response_cleanup(&response);
        CapturedRequest captured = server.requests().at(0);
        EXPECT_EQ(captured.method, "DELETE");
        EXPECT_EQ(captured.target, "/v1/attachments?key=k%20k&namespace=default");
        expect_headers(captured, {{"X-Lease-ID", "L1"}, {"X-Txn-ID", "T1"}, {"X-Fencing-Token", "4"}});

        request.lease_id = nullptr;
        EXPECT_EQ(kc_engine_client_delete_all_attachments(c.get(), &request, &response, error.get()), KC_ERR_INVALID);
        EXPECT_EQ(error.message(),
                  "delete_all_attachments requires client, request, response, error, key, lease_id, and txn_id");
    }
}

TEST(AttachJson, ParseCompleteAnswers) {
    EngineError error;
    kc_engine_attach_response attach{};
    ASSERT_EQ(kc_engine_parse_attach_response_json(kAttachAnswer.c_str(), &attach, error.get()), KC_OK)
        << error.message();
    expect_info(attach.attachment);
    EXPECT_EQ(attach.noop, 1);
    EXPECT_EQ(attach.version, 8);
    // A second parse into the same record replaces what it held.
    ASSERT_EQ(kc_engine_parse_attach_response_json("{\"attachment\":{\"id\":\"z\"}}", &attach, error.get()), KC_OK);
    EXPECT_STREQ(attach.attachment.id, "z");
    EXPECT_EQ(attach.attachment.name, nullptr);
    EXPECT_EQ(attach.version, 0);
    EXPECT_EQ(kc_engine_parse_attach_response_json("{\"attachment\":[", &attach, error.get()), KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "failed to parse attach response");
    EXPECT_EQ(kc_engine_parse_attach_response_json(nullptr, &attach, error.get()), KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "parse_attach_response_json requires json, response, and error");
    kc_engine_attach_response_cleanup(&attach);

    kc_engine_list_attachments_response list{};
    const std::string listing = "{\"key\":\"k\",\"attachments\":[" + kInfoJson + "," + kInfoJson + "]}";
    ASSERT_EQ(kc_engine_parse_list_attachments_response_json(listing.c_str(), &list, error.get()), KC_OK);
    ASSERT_EQ(list.attachment_count, 2u);
    expect_info(list.attachments[1]);
    EXPECT_EQ(list.KC_NAMESPACE_MEMBER, nullptr);
    ASSERT_EQ(kc_engine_parse_list_attachments_response_json("{}", &list, error.get()), KC_OK);
    EXPECT_EQ(list.attachments, nullptr);
    EXPECT_EQ(list.attachment_count, 0u);
    EXPECT_EQ(kc_engine_parse_list_attachments_response_json("{\"attachments\":{}}", &list, error.get()),
              KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message(), "failed to parse list_attachments response");
    EXPECT_EQ(kc_engine_parse_list_attachments_response_json("{}", nullptr, error.get()), KC_ERR_INVALID);
    EXPECT_EQ(error.message(), "parse_list_attachments_response_json requires json, response, and error");
    kc_engine_list_attachments_response_cleanup(&list);
}

} // namespace
