// The endpoints over HTTP, driven with libcurl against a server on a thread: the paths,
// query strings, headers and bodies that clients send, and the members, headers and status
// codes they parse.
#include "test_client.h"

#include "json_lines.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace korvo::devserver;
using namespace korvo::devserver::testing;

namespace {

struct Lease {
    std::string id, txn;
    int64_t token = 0;
    std::vector<std::string> headers() const {
        return {"X-Lease-ID: " + id, "X-Txn-ID: " + txn, "X-Fencing-Token: " + std::to_string(token)};
    }
};

class EndpointsFixture : public ::testing::Test {
  protected:
    korvo::testing::CapturedFile log;
    chirp_logger *logger = nullptr;
    std::unique_ptr<RunningServer> server;

    void SetUp() override {
        chirp_config config;
        chirp_default_config(&config);
        config.output = log.get();
        logger = chirp_new(&config);
        ServerConfig server_config;
        server_config.logger = logger;
        server = std::make_unique<RunningServer>(server_config);
    }
    void TearDown() override {
        server.reset();
        logger->release(logger);
    }

    std::string url(const std::string &path) const { return server->base() + path; }

    Reply call(const std::string &method, const std::string &path, std::optional<std::string> body = std::nullopt,
               std::vector<std::string> headers = {}) {
        Call c;
        c.method = method;
        c.url = url(path);
        c.body = std::move(body);
        c.headers = std::move(headers);
        return perform(c);
    }
    Reply acquire_reply(const std::string &key, const std::string &owner, int ttl = 30, const std::string &extra = "") {
        return call("POST", "/v1/acquire",
                    "{\"namespace\":\"ns\",\"key\":\"" + key + "\",\"ttl_seconds\":" + std::to_string(ttl) +
                        ",\"owner\":\"" + owner + "\"" + extra + "}",
                    {"Content-Type: application/json"});
    }
    Lease acquire(const std::string &key, const std::string &owner, int ttl = 30, const std::string &extra = "") {
        Reply reply = acquire_reply(key, owner, ttl, extra);
        EXPECT_EQ(reply.status, 200) << reply.body;
        Json json = reply.json();
        return {json.str("lease_id"), json.str("txn_id"), json.i64("fencing_token")};
    }
    Reply release(const std::string &key, const Lease &lease, bool rollback = false) {
        return call("POST", "/v1/release",
                    "{\"namespace\":\"ns\",\"key\":\"" + key + "\",\"lease_id\":\"" + lease.id + "\",\"txn_id\":\"" +
                        lease.txn + "\"" + (rollback ? ",\"rollback\":true" : "") + "}",
                    {"Content-Type: application/json", "X-Fencing-Token: " + std::to_string(lease.token)});
    }
    Reply update(const std::string &key, const Lease &lease, const std::string &body,
                 std::vector<std::string> extra = {}) {
        std::vector<std::string> headers = lease.headers();
        headers.push_back("Content-Type: application/json");
        headers.insert(headers.end(), extra.begin(), extra.end());
        return call("POST", "/v1/update?key=" + key + "&namespace=ns", body, headers);
    }
    Reply get(const std::string &key, const Lease *lease) {
        std::vector<std::string> headers = {"Accept: application/json"};
        if (lease) {
            headers.push_back("X-Lease-ID: " + lease->id);
            headers.push_back("X-Fencing-Token: " + std::to_string(lease->token));
        }
        return call("GET", "/v1/get?key=" + key + "&namespace=ns" + (lease ? "" : "&public=1"), std::nullopt, headers);
    }
};

using DevEndpointsThreads = EndpointsFixture;

TEST_F(DevEndpointsThreads, AcquireAnswersEveryMemberAndEchoesTheCorrelationId) {
    Reply reply = call("POST", "/v1/acquire",
                       "{\"namespace\":\"ns\",\"key\":\"k\",\"ttl_seconds\":30,\"owner\":\"alice\",\"txn_id\":\"t-1\"}",
                       {"Content-Type: application/json", "X-Correlation-Id: corr-123"});
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("X-Correlation-Id"), "corr-123");
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    Json json = reply.json();
    ASSERT_TRUE(json.valid) << reply.body;
    EXPECT_EQ(json.str("namespace"), "ns");
    EXPECT_EQ(json.str("key"), "k");
    EXPECT_EQ(json.str("owner"), "alice");
    EXPECT_EQ(json.str("txn_id"), "t-1");
    EXPECT_EQ(json.str("lease_id").size(), 32u);
    EXPECT_EQ(json.i64("fencing_token"), 1);
    EXPECT_EQ(json.i64("version"), 0);
    EXPECT_EQ(json.str("state_etag"), "");
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(json.i64("expires_at_unix"), now + 30, 2);

    // Without one, every answer gets a fresh id.
    Reply first = call("GET", "/v1/describe?key=k&namespace=ns");
    Reply second = call("GET", "/v1/describe?key=k&namespace=ns");
    EXPECT_FALSE(first.header("X-Correlation-Id").empty());
    EXPECT_NE(first.header("X-Correlation-Id"), second.header("X-Correlation-Id"));
}

TEST_F(DevEndpointsThreads, ANamespaceLeftOutIsDefault) {
    Reply reply = call("POST", "/v1/acquire", "{\"key\":\"k\",\"ttl_seconds\":30,\"owner\":\"alice\"}");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.json().str("namespace"), "default");
    EXPECT_EQ(call("GET", "/v1/describe?key=k").status, 200);
    EXPECT_EQ(call("GET", "/v1/describe?key=k&namespace=default").json().str("owner"), "alice");
}

TEST_F(DevEndpointsThreads, ContendedAcquireAnswers409WithAnErrorBody) {
    acquire("k", "alice", 30);
    Reply reply = acquire_reply("k", "bob");
    EXPECT_EQ(reply.status, 409);
    Json json = reply.json();
    EXPECT_EQ(json.str("error"), "lease_held");
    EXPECT_FALSE(json.str("detail").empty());
    EXPECT_GE(json.i64("retry_after_seconds"), 29);
    EXPECT_FALSE(reply.header("X-Correlation-Id").empty());
}

TEST_F(DevEndpointsThreads, BlockSecondsWaitsForTheReleaseAndGetsAHigherToken) {
    Lease alice = acquire("k", "alice", 30);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Reply released = release("k", alice);
        EXPECT_EQ(released.status, 200);
        EXPECT_EQ(released.body, "{\"released\":true}");
    });
    auto start = std::chrono::steady_clock::now();
    Reply reply = acquire_reply("k", "bob", 30, ",\"block_seconds\":10");
    auto waited = std::chrono::steady_clock::now() - start;
    releaser.join();
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_GT(reply.json().i64("fencing_token"), alice.token);
    EXPECT_EQ(reply.json().str("owner"), "bob");
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5)); // woken by the release, not by the deadline
}

TEST_F(DevEndpointsThreads, BlockSecondsGivesUpAtItsDeadline) {
    acquire("k", "alice", 30);
    auto start = std::chrono::steady_clock::now();
    Reply reply = acquire_reply("k", "bob", 30, ",\"block_seconds\":1");
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply.status, 409);
    EXPECT_EQ(reply.json().str("error"), "lease_held");
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LT(waited, std::chrono::seconds(4));
}

TEST_F(DevEndpointsThreads, AnExpiredLeaseIsTakenOverAndItsHolderRefused) {
    Lease alice = acquire("k", "alice", 1);
    ASSERT_EQ(update("k", alice, "{\"by\":\"alice\"}").status, 200);
    // Bob waits; the lease runs out after a second and he gets it without a release.
    Reply taken = acquire_reply("k", "bob", 30, ",\"block_seconds\":5");
    ASSERT_EQ(taken.status, 200) << taken.body;
    Lease bob{taken.json().str("lease_id"), taken.json().str("txn_id"), taken.json().i64("fencing_token")};
    EXPECT_GT(bob.token, alice.token);

    Reply stale = update("k", alice, "{\"by\":\"alice, late\"}");
    EXPECT_EQ(stale.status, 409);
    EXPECT_EQ(stale.json().str("error"), "fencing_token_stale");
    Reply keepalive = call("POST", "/v1/keepalive",
                           "{\"namespace\":\"ns\",\"key\":\"k\",\"lease_id\":\"" + alice.id +
                               "\",\"ttl_seconds\":30,\"fencing_token\":" + std::to_string(alice.token) + "}",
                           {"X-Fencing-Token: " + std::to_string(alice.token)});
    EXPECT_EQ(keepalive.status, 409);
    EXPECT_EQ(release("k", alice).status, 409);
    // Alice's staged write died with her lease.
    EXPECT_EQ(get("k", &bob).status, 204);
}

TEST_F(DevEndpointsThreads, KeepaliveAnswersTheNewExpiry) {
    Lease alice = acquire("k", "alice", 5);
    ASSERT_EQ(update("k", alice, "{\"a\":1}").status, 200);
    Reply reply = call("POST", "/v1/keepalive",
                       "{\"namespace\":\"ns\",\"key\":\"k\",\"lease_id\":\"" + alice.id +
                           "\",\"ttl_seconds\":120,\"fencing_token\":" + std::to_string(alice.token) +
                           ",\"txn_id\":\"" + alice.txn + "\"}",
                       {"Content-Type: application/json", "X-Fencing-Token: " + std::to_string(alice.token)});
    ASSERT_EQ(reply.status, 200) << reply.body;
    Json json = reply.json();
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(json.i64("expires_at_unix"), now + 120, 2);
    EXPECT_EQ(json.i64("version"), 1); // the holder's view
    EXPECT_EQ(json.str("state_etag"), sha256_of("{\"a\":1}"));
}

TEST_F(DevEndpointsThreads, StagedStateIsVisibleOnlyToTheHolderUntilRelease) {
    Lease alice = acquire("k", "alice");
    const std::string doc = "{\"items\":[1,2,3]}";
    Reply updated = update("k", alice, doc);
    ASSERT_EQ(updated.status, 200) << updated.body;
    Json result = updated.json();
    EXPECT_EQ(result.i64("new_version"), 1);
    EXPECT_EQ(result.i64("bytes"), static_cast<int64_t>(doc.size()));
    EXPECT_EQ(result.str("new_state_etag"), sha256_of(doc));

    Reply holder = get("k", &alice);
    ASSERT_EQ(holder.status, 200);
    EXPECT_EQ(holder.body, doc);
    EXPECT_EQ(holder.header("ETag"), "\"" + sha256_of(doc) + "\"");
    EXPECT_EQ(holder.header("X-Key-Version"), "1");
    EXPECT_EQ(holder.header("X-Fencing-Token"), std::to_string(alice.token));
    EXPECT_EQ(holder.header("Content-Type"), "application/json");
    Reply outsider = get("k", nullptr);
    EXPECT_EQ(outsider.status, 204);
    EXPECT_TRUE(outsider.body.empty());

    ASSERT_EQ(release("k", alice).status, 200);
    Reply committed = get("k", nullptr);
    ASSERT_EQ(committed.status, 200);
    EXPECT_EQ(committed.body, doc);
    EXPECT_EQ(committed.header("X-Key-Version"), "1");
    Json described = call("GET", "/v1/describe?key=k&namespace=ns").json();
    EXPECT_EQ(described.i64("version"), 1);
    EXPECT_EQ(described.str("state_etag"), sha256_of(doc));
    EXPECT_FALSE(described.has("owner")); // no live lease
    EXPECT_EQ(described.str("metadata.query_hidden"), "false");
}

TEST_F(DevEndpointsThreads, GetWithoutALeaseOrPublicIsRefused) {
    acquire("k", "alice");
    Reply reply = call("GET", "/v1/get?key=k&namespace=ns");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.json().str("error"), "lease_required");
    Reply wrong = call("GET", "/v1/get?key=k&namespace=ns", std::nullopt, {"X-Lease-ID: not-the-lease"});
    EXPECT_EQ(wrong.status, 409);
    EXPECT_EQ(wrong.json().str("error"), "lease_not_held");
    EXPECT_EQ(call("GET", "/v1/get?key=never&namespace=ns&public=1").status, 204);
}

TEST_F(DevEndpointsThreads, RollbackDiscardsTheStagedDocument) {
    Lease alice = acquire("k", "alice");
    ASSERT_EQ(update("k", alice, "{\"v\":1}").status, 200);
    ASSERT_EQ(release("k", alice).status, 200);
    Lease bob = acquire("k", "bob");
    ASSERT_EQ(update("k", bob, "{\"v\":2}").status, 200);
    EXPECT_EQ(get("k", &bob).body, "{\"v\":2}");
    ASSERT_EQ(release("k", bob, true).status, 200);
    EXPECT_EQ(get("k", nullptr).body, "{\"v\":1}");
}

TEST_F(DevEndpointsThreads, CompareAndSwapConflictsCarryTheCurrentVersionAndTag) {
    Lease alice = acquire("k", "alice");
    ASSERT_EQ(update("k", alice, "{\"v\":1}").status, 200);
    const std::string tag = sha256_of("{\"v\":1}");

    Reply version = update("k", alice, "{\"v\":2}", {"X-If-Version: 0"});
    EXPECT_EQ(version.status, 409);
    Json conflict = version.json();
    EXPECT_EQ(conflict.str("error"), "version_conflict");
    EXPECT_EQ(conflict.i64("current_version"), 1);
    EXPECT_EQ(conflict.str("current_etag"), tag);
    Reply etag = update("k", alice, "{\"v\":2}", {"X-If-State-ETag: deadbeef"});
    EXPECT_EQ(etag.status, 409);
    EXPECT_EQ(etag.json().str("error"), "etag_conflict");
    EXPECT_EQ(etag.json().i64("current_version"), 1);
    EXPECT_EQ(get("k", &alice).body, "{\"v\":1}");

    // Both forms of the tag match: bare, as JSON answers carry it, and quoted, as ETag does.
    Reply bare = update("k", alice, "{\"v\":2}", {"X-If-Version: 1", "X-If-State-ETag: " + tag});
    ASSERT_EQ(bare.status, 200) << bare.body;
    Reply quoted = update("k", alice, "{\"v\":3}", {"X-If-State-ETag: \"" + sha256_of("{\"v\":2}") + "\""});
    ASSERT_EQ(quoted.status, 200) << quoted.body;
    EXPECT_EQ(quoted.json().i64("new_version"), 3);
    EXPECT_EQ(update("k", alice, "{}", {"X-If-Version: x"}).status, 400);
}

TEST_F(DevEndpointsThreads, UpdateRefusesWhatIsNotJsonAndKeepsTheState) {
    Lease alice = acquire("k", "alice");
    ASSERT_EQ(update("k", alice, "{\"v\":1}").status, 200);
    Reply bad = update("k", alice, "{\"v\":");
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(bad.json().str("error"), "invalid_json");
    EXPECT_EQ(get("k", &alice).body, "{\"v\":1}");
    // An update needs a lease: the transaction id alone names it, no lease id at all does not.
    Reply by_txn = call("POST", "/v1/update?key=k&namespace=ns", "{\"v\":2}",
                        {"X-Txn-ID: " + alice.txn, "X-Fencing-Token: " + std::to_string(alice.token)});
    EXPECT_EQ(by_txn.status, 200) << by_txn.body;
    Reply anonymous = call("POST", "/v1/update?key=k&namespace=ns", "{\"v\":3}", {});
    EXPECT_EQ(anonymous.status, 400);
    EXPECT_EQ(anonymous.json().str("error"), "lease_required");
}

TEST_F(DevEndpointsThreads, MetadataRemoveAndDescribe) {
    Lease alice = acquire("a key/with space", "alice");
    const std::string key = "a%20key%2Fwith%20space";
    ASSERT_EQ(update(key, alice, "{}").status, 200);
    std::vector<std::string> headers = alice.headers();
    headers.push_back("Content-Type: application/json");
    Reply unchanged = call("POST", "/v1/metadata?key=" + key + "&namespace=ns", "{}", headers);
    ASSERT_EQ(unchanged.status, 200) << unchanged.body;
    EXPECT_EQ(unchanged.json().str("key"), "a key/with space");
    EXPECT_EQ(unchanged.json().i64("version"), 1);
    EXPECT_EQ(unchanged.json().str("metadata.query_hidden"), "false");
    headers.push_back("X-If-Version: 1");
    Reply hidden = call("POST", "/v1/metadata?key=" + key + "&namespace=ns", "{\"query_hidden\":true}", headers);
    ASSERT_EQ(hidden.status, 200) << hidden.body;
    EXPECT_EQ(hidden.body, "{\"namespace\":\"ns\",\"key\":\"a key/with space\",\"version\":2,"
                           "\"metadata\":{\"query_hidden\":true}}");
    Reply stale = call("POST", "/v1/metadata?key=" + key + "&namespace=ns", "{\"query_hidden\":false}", headers);
    EXPECT_EQ(stale.status, 409);

    Reply removed = call("POST", "/v1/remove?key=" + key + "&namespace=ns", std::nullopt, alice.headers());
    ASSERT_EQ(removed.status, 200) << removed.body;
    EXPECT_EQ(removed.body, "{\"removed\":true,\"new_version\":3}");
    ASSERT_EQ(release(key, alice).status, 409); // release names the key in its body, not encoded
    Reply released = call("POST", "/v1/release",
                          "{\"namespace\":\"ns\",\"key\":\"a key/with space\",\"lease_id\":\"" + alice.id + "\"}", {});
    ASSERT_EQ(released.status, 200) << released.body;
    Json described = call("GET", "/v1/describe?key=" + key + "&namespace=ns").json();
    EXPECT_EQ(described.i64("version"), 3);
    EXPECT_EQ(described.str("state_etag"), "");
    EXPECT_EQ(described.str("metadata.query_hidden"), "true");
    Reply missing = call("GET", "/v1/describe?key=nothing&namespace=ns");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.json().str("error"), "key_not_found");
}

TEST_F(DevEndpointsThreads, AttachmentsRoundTripWithTheirChecksum) {
    Lease alice = acquire("k", "alice");
    std::string data;
    for (int i = 0; i < 70000; i++) data += static_cast<char>(i * 7 % 251);
    std::vector<std::string> headers = alice.headers();
    headers.push_back("Content-Type: application/octet-stream");
    Reply attached = call("POST", "/v1/attachments?key=k&namespace=ns&name=blob.bin&content_type=image%2Fpng", data,
                          headers);
    ASSERT_EQ(attached.status, 200) << attached.body;
    Json info = attached.json();
    EXPECT_EQ(info.str("attachment.name"), "blob.bin");
    EXPECT_EQ(info.i64("attachment.size"), 70000);
    EXPECT_EQ(info.str("attachment.plaintext_sha256"), sha256_of(data));
    EXPECT_EQ(info.str("attachment.content_type"), "image/png");
    EXPECT_GT(info.i64("attachment.created_at_unix"), 0);
    EXPECT_EQ(info.str("noop"), "false");
    EXPECT_EQ(info.i64("version"), 1);
    const std::string id = info.str("attachment.id");

    Reply again = call("POST", "/v1/attachments?key=k&namespace=ns&name=blob.bin&content_type=image%2Fpng", data,
                       headers);
    EXPECT_EQ(again.json().str("noop"), "true");
    Reply refused = call("POST", "/v1/attachments?key=k&namespace=ns&name=blob.bin&prevent_overwrite=1", "x", headers);
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(refused.json().str("error"), "attachment_exists");
    Reply too_big = call("POST", "/v1/attachments?key=k&namespace=ns&name=big&max_bytes=10", "12345678901", headers);
    EXPECT_EQ(too_big.status, 413);
    EXPECT_EQ(too_big.json().str("error"), "attachment_too_large");
    Reply fits = call("POST", "/v1/attachments?key=k&namespace=ns&name=small.txt&max_bytes=10", "1234567890", headers);
    ASSERT_EQ(fits.status, 200) << fits.body;
    EXPECT_EQ(fits.json().str("attachment.content_type"), "application/octet-stream"); // from Content-Type

    Reply listed = call("GET", "/v1/attachments?key=k&namespace=ns", std::nullopt, alice.headers());
    ASSERT_EQ(listed.status, 200);
    Json list = listed.json();
    EXPECT_EQ(list.str("namespace"), "ns");
    EXPECT_EQ(list.str("attachments.length"), "2");
    EXPECT_EQ(list.str("attachments.0.name"), "blob.bin");
    EXPECT_EQ(list.str("attachments.1.name"), "small.txt");
    EXPECT_EQ(call("GET", "/v1/attachments?key=k&namespace=ns&public=1").json().str("attachments.length"), "0");

    Reply download = call("GET", "/v1/attachment?key=k&namespace=ns&name=blob.bin&id=" + id, std::nullopt,
                          alice.headers());
    ASSERT_EQ(download.status, 200);
    EXPECT_EQ(download.body, data);
    EXPECT_EQ(download.header("X-Attachment-ID"), id);
    EXPECT_EQ(download.header("X-Attachment-Name"), "blob.bin");
    EXPECT_EQ(download.header("X-Attachment-SHA256"), sha256_of(data));
    EXPECT_EQ(download.header("X-Attachment-Size"), "70000");
    EXPECT_EQ(download.header("X-Attachment-Created-At"), std::to_string(info.i64("attachment.created_at_unix")));
    EXPECT_EQ(download.header("X-Attachment-Updated-At"), std::to_string(info.i64("attachment.updated_at_unix")));
    EXPECT_EQ(download.header("Content-Type"), "image/png");
    EXPECT_EQ(call("GET", "/v1/attachment?key=k&namespace=ns&name=nope", std::nullopt, alice.headers()).status, 404);

    ASSERT_EQ(release("k", alice).status, 200);
    Reply public_download = call("GET", "/v1/attachment?key=k&namespace=ns&id=" + id + "&public=1");
    EXPECT_EQ(public_download.status, 200);
    EXPECT_EQ(public_download.body, data);

    Lease bob = acquire("k", "bob");
    Reply deleted = call("DELETE", "/v1/attachment?key=k&namespace=ns&name=blob.bin", std::nullopt, bob.headers());
    ASSERT_EQ(deleted.status, 200);
    EXPECT_EQ(deleted.body, "{\"deleted\":true,\"version\":3}");
    Reply nothing = call("DELETE", "/v1/attachment?key=k&namespace=ns&name=blob.bin", std::nullopt, bob.headers());
    EXPECT_EQ(nothing.body, "{\"deleted\":false,\"version\":3}");
    Reply all = call("DELETE", "/v1/attachments?key=k&namespace=ns", std::nullopt, bob.headers());
    ASSERT_EQ(all.status, 200);
    EXPECT_EQ(all.body, "{\"deleted\":1,\"version\":4}");
}

TEST_F(DevEndpointsThreads, APassiveNodeAnswers503ToEveryApiRequest) {
    Lease alice = acquire("k", "alice");
    ASSERT_EQ(call("POST", "/admin/passive").json().str("passive"), "true");
    for (auto [method, path] : std::vector<std::pair<std::string, std::string>>{
             {"POST", "/v1/acquire"}, {"GET", "/v1/get?key=k&public=1"}, {"POST", "/v1/update?key=k"},
             {"GET", "/v1/describe?key=k"}, {"DELETE", "/v1/attachments?key=k"}, {"GET", "/v1/unknown"}}) {
        Reply reply = call(method, path, method == "POST" ? std::optional<std::string>("{}") : std::nullopt);
        EXPECT_EQ(reply.status, 503) << method << " " << path;
        EXPECT_EQ(reply.json().str("error"), "node_passive") << path;
        EXPECT_FALSE(reply.header("X-Correlation-Id").empty());
    }
    EXPECT_EQ(call("GET", "/admin/status").json().str("passive"), "true");
    server->server().set_passive(false);
    EXPECT_EQ(call("GET", "/admin/status").json().str("passive"), "false");
    EXPECT_EQ(update("k", alice, "{}").status, 200); // leases survive a passive spell
    ASSERT_EQ(call("POST", "/admin/passive").status, 200);
    EXPECT_EQ(call("POST", "/admin/active").json().str("passive"), "false");
    EXPECT_EQ(call("GET", "/v1/describe?key=k&namespace=ns").status, 200);
}

TEST_F(DevEndpointsThreads, UnknownEndpointsAndMethods) {
    Reply unknown = call("GET", "/v1/nothing");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.json().str("error"), "not_found");
    EXPECT_EQ(call("GET", "/").status, 404);
    Reply method = call("GET", "/v1/acquire");
    EXPECT_EQ(method.status, 405);
    EXPECT_EQ(method.header("Allow"), "POST");
    EXPECT_EQ(call("POST", "/v1/mutate?key=k", "{}").status, 501);
    Reply malformed = call("POST", "/v1/acquire", "{\"key\":", {});
    EXPECT_EQ(malformed.status, 400);
    EXPECT_EQ(malformed.json().str("error"), "invalid_request");
    Reply mistyped = call("POST", "/v1/acquire", "{\"key\":\"k\",\"owner\":\"a\",\"ttl_seconds\":\"30\"}", {});
    EXPECT_EQ(mistyped.status, 400);
    EXPECT_EQ(call("GET", "/v1/describe?key=%zz").status, 400);
}

TEST_F(DevEndpointsThreads, WrongMethodsAreAnswered405WithWhatThePathAllows) {
    const struct {
        const char *method, *path, *allow;
    } cases[] = {
        {"PUT", "/v1/attachments", "GET, POST, DELETE"}, {"POST", "/v1/attachment", "GET, DELETE"},
        {"POST", "/v1/get", "GET"},                       {"DELETE", "/v1/keepalive", "POST"},
        {"GET", "/admin/passive", "POST"},                {"GET", "/admin/active", "POST"},
        {"POST", "/admin/status", "GET"},
    };
    for (const auto &c : cases) {
        Reply reply = call(c.method, c.path);
        EXPECT_EQ(reply.status, 405) << c.method << " " << c.path;
        EXPECT_EQ(reply.header("Allow"), c.allow) << c.path;
        EXPECT_EQ(reply.body, std::string("{\"error\":\"method_not_allowed\",\"detail\":\"") + c.method +
                                  " is not allowed on " + c.path + "\"}");
    }
    EXPECT_EQ(call("GET", "/admin/status").json().str("passive"), "false"); // the refused switch did nothing
}

TEST_F(DevEndpointsThreads, KeyedEndpointsCheckTheKeyThenTheLeaseHeadersThenThePreconditions) {
    const std::pair<const char *, const char *> keyed[] = {
        {"GET", "/v1/get"},           {"POST", "/v1/update"},       {"POST", "/v1/metadata"},
        {"POST", "/v1/remove"},       {"POST", "/v1/attachments"},  {"GET", "/v1/attachments"},
        {"DELETE", "/v1/attachments"}, {"GET", "/v1/attachment"},    {"DELETE", "/v1/attachment"},
    };
    const std::string no_key = "{\"error\":\"invalid_request\",\"detail\":\"key is required\"}";
    const std::string bad_token =
        "{\"error\":\"invalid_request\",\"detail\":\"X-Fencing-Token must be a non-negative integer\"}";
    for (const auto &[method, path] : keyed) {
        Reply missing = call(method, std::string(path) + "?namespace=ns", std::nullopt, {"X-Fencing-Token: x"});
        EXPECT_EQ(missing.status, 400) << method << " " << path;
        EXPECT_EQ(missing.body, no_key) << method << " " << path;
        for (const char *token :
             {"X-Fencing-Token: -1", "X-Fencing-Token: 12x", "X-Fencing-Token: 99999999999999999999"}) {
            Reply refused = call(method, std::string(path) + "?key=k", std::nullopt, {token, "X-If-Version: x"});
            EXPECT_EQ(refused.status, 400) << method << " " << path << " " << token;
            EXPECT_EQ(refused.body, bad_token) << method << " " << path << " " << token;
        }
    }
    const std::string bad_version =
        "{\"error\":\"invalid_request\",\"detail\":\"X-If-Version must be an integer\"}";
    for (const char *path : {"/v1/update", "/v1/metadata", "/v1/remove"}) {
        Reply refused = call("POST", std::string(path) + "?key=k", "{}", {"X-Lease-ID: none", "X-If-Version: 1.5"});
        EXPECT_EQ(refused.status, 400) << path;
        EXPECT_EQ(refused.body, bad_version) << path;
    }
    // The preconditions pass; the lease is what fails.
    Reply unleased =
        call("POST", "/v1/remove?key=k&namespace=ns", std::nullopt, {"X-Lease-ID: none", "X-If-Version: 3"});
    EXPECT_EQ(unleased.status, 409);
    EXPECT_EQ(unleased.json().str("error"), "lease_not_held");
}

TEST_F(DevEndpointsThreads, PublicReadsTakeOneOrTrueAndIgnoreTheLeaseHeaders) {
    Lease alice = acquire("k", "alice");
    ASSERT_EQ(update("k", alice, "{\"staged\":1}").status, 200);
    for (const char *flag : {"1", "true", "TRUE"}) {
        Reply state = call("GET", std::string("/v1/get?key=k&namespace=ns&public=") + flag, std::nullopt,
                           {"X-Lease-ID: not-a-lease"});
        EXPECT_EQ(state.status, 204) << flag; // the committed view has no document yet
        Reply list = call("GET", std::string("/v1/attachments?key=k&namespace=ns&public=") + flag, std::nullopt,
                          {"X-Lease-ID: not-a-lease"});
        EXPECT_EQ(list.status, 200) << flag;
        EXPECT_EQ(list.body, "{\"namespace\":\"ns\",\"key\":\"k\",\"attachments\":[]}");
        Reply download = call("GET", std::string("/v1/attachment?key=k&namespace=ns&name=a&public=") + flag);
        EXPECT_EQ(download.status, 404) << flag;
        EXPECT_EQ(download.json().str("error"), "attachment_not_found");
    }
    // Any other value is a leased read, checked against the lease.
    Reply leased = call("GET", "/v1/get?key=k&namespace=ns&public=yes", std::nullopt, {"X-Lease-ID: not-a-lease"});
    EXPECT_EQ(leased.status, 409);
    EXPECT_EQ(call("GET", "/v1/get?key=never&namespace=ns&public=true").status, 204);
}

TEST_F(DevEndpointsThreads, KeepaliveAndReleaseNameTheirLeaseInTheBodyAndATokenHeaderWins) {
    Lease alice = acquire("k", "alice");
    auto body = [&](const std::string &key, int64_t token) {
        return "{\"namespace\":\"ns\"," + (key.empty() ? std::string() : "\"key\":\"" + key + "\",") +
               "\"lease_id\":\"" + alice.id + "\",\"txn_id\":\"" + alice.txn +
               "\",\"ttl_seconds\":60,\"fencing_token\":" + std::to_string(token) + "}";
    };
    const std::string token_header = "X-Fencing-Token: " + std::to_string(alice.token);
    for (const char *path : {"/v1/keepalive", "/v1/release"}) {
        Reply no_key = call("POST", path, body("", alice.token), {});
        EXPECT_EQ(no_key.status, 400) << path;
        EXPECT_EQ(no_key.body, "{\"error\":\"invalid_request\",\"detail\":\"key is required\"}") << path;
        // A malformed header is refused before the body's key is looked at.
        Reply bad_header = call("POST", path, body("", alice.token), {"X-Fencing-Token: -2"});
        EXPECT_EQ(bad_header.status, 400) << path;
        EXPECT_EQ(bad_header.json().str("detail"), "X-Fencing-Token must be a non-negative integer") << path;
        // Without the header the body's token counts, and a wrong one is refused.
        Reply stale = call("POST", path, body("k", alice.token + 5), {});
        EXPECT_EQ(stale.status, 409) << path;
        EXPECT_EQ(stale.json().str("error"), "fencing_token_mismatch") << path;
        // The lease headers other than the token do not replace the body's lease.
        Reply other_lease = call("POST", path, body("k", alice.token), {"X-Lease-ID: someone-else", "X-Txn-ID: t"});
        EXPECT_EQ(other_lease.status, 200) << path << " " << other_lease.body;
        if (std::string(path) == "/v1/release") break; // the lease is gone now
        // With the header its token wins over the body's wrong one.
        Reply kept = call("POST", path, body("k", alice.token + 5), {token_header});
        EXPECT_EQ(kept.status, 200) << path << " " << kept.body;
    }
    EXPECT_FALSE(call("GET", "/v1/describe?key=k&namespace=ns").json().has("lease_id")); // released
}

TEST_F(DevEndpointsThreads, MetadataTakesAnEmptyBodyAndRefusesABrokenOne) {
    Lease alice = acquire("k", "alice");
    std::vector<std::string> headers = alice.headers();
    Reply empty = call("POST", "/v1/metadata?key=k&namespace=ns", "", headers);
    ASSERT_EQ(empty.status, 200) << empty.body;
    EXPECT_EQ(empty.body,
              "{\"namespace\":\"ns\",\"key\":\"k\",\"version\":0,\"metadata\":{\"query_hidden\":false}}");
    Reply broken = call("POST", "/v1/metadata?key=k&namespace=ns", "{\"query_hidden\":", headers);
    EXPECT_EQ(broken.status, 400);
    EXPECT_EQ(broken.json().str("error"), "invalid_request");
    EXPECT_NE(broken.json().str("detail"), "");
    // Lease bodies may not be empty.
    Reply keepalive = call("POST", "/v1/keepalive", "", {});
    EXPECT_EQ(keepalive.status, 400);
    EXPECT_EQ(keepalive.json().str("error"), "invalid_request");
}

TEST_F(DevEndpointsThreads, EveryRequestIsLoggedOnceWithItsOutcome) {
    acquire("k", "alice");
    call("GET", "/v1/describe?key=k&namespace=ns", std::nullopt, {"X-Correlation-Id: trace-me"});
    call("GET", "/v1/nothing");
    server.reset(); // all lines are written once the server has stopped
    std::vector<korvo::testing::LogLine> requests;
    for (const auto &line : log.lines()) {
        ASSERT_TRUE(line.has_value());
        if (line->str("event") == "http.request") requests.push_back(*line);
    }
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].str("method"), "POST");
    EXPECT_EQ(requests[0].str("path"), "/v1/acquire");
    EXPECT_EQ(requests[1].str("path"), "/v1/describe");
    EXPECT_EQ(requests[1].str("correlation_id"), "trace-me");
    EXPECT_EQ(requests[2].str("path"), "/v1/nothing");
    for (const auto &line : requests) {
        ASSERT_NE(line.find("status"), nullptr);
        ASSERT_NE(line.find("duration_us"), nullptr);
        EXPECT_EQ(line.find("duration_us")->type, korvo::testing::LogValue::Number);
    }
    EXPECT_EQ(requests[0].find("status")->text, "200");
    EXPECT_EQ(requests[2].find("status")->text, "404");
}

} // namespace
