// The transport under the endpoints: large and chunked bodies, Expect: 100-continue, answers
// to refused uploads, keep-alive and malformed requests on raw sockets, Unix sockets, TLS and
// mutual TLS.
#include "test_client.h"

#include "fixtures.h"
#include "test_pki.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

Lease acquire(Call base, const std::string &key) {
    base.method = "POST";
    base.url += "/v1/acquire";
    base.body = "{\"namespace\":\"ns\",\"key\":\"" + key + "\",\"ttl_seconds\":60,\"owner\":\"tester\"}";
    Reply reply = perform(base);
    EXPECT_EQ(reply.status, 200) << reply.curl_error << reply.body;
    Json json = reply.json();
    return {json.str("lease_id"), json.str("txn_id"), json.i64("fencing_token")};
}

// Deterministic bytes that are not a repeating short pattern.
std::string pseudo_random_bytes(size_t size) {
    std::string data(size, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        data[i] = static_cast<char>(x);
    }
    return data;
}

// One raw TCP connection to 127.0.0.1:port: send bytes, read until the peer closes.
class RawConnection {
  public:
    explicit RawConnection(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        timeval timeout{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~RawConnection() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string &bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    std::string read_all() {
        std::string out;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            out.append(buffer, static_cast<size_t>(n));
        }
        return out;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

size_t count_of(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) count++;
    return count;
}

using DevTransportThreads = ::testing::Test;

TEST_F(DevTransportThreads, A50MiBChunkedAttachmentKeepsItsChecksum) {
    RunningServer server;
    Call base;
    base.url = server.base();
    Lease lease = acquire(base, "big");
    const std::string data = pseudo_random_bytes(50u * 1024 * 1024);
    const std::string expected = sha256_of(data);

    Call upload = base;
    upload.method = "POST";
    upload.url += "/v1/attachments?key=big&namespace=ns&name=payload";
    upload.headers = lease.headers();
    upload.headers.push_back("Content-Type: application/octet-stream");
    upload.body = data;
    upload.chunked = true; // as libcurl sends an upload of unknown length
    upload.read_piece = 100000;
    upload.timeout_ms = 120000;
    Reply attached = perform(upload);
    ASSERT_EQ(attached.status, 200) << attached.curl_error << attached.body;
    EXPECT_EQ(attached.json().i64("attachment.size"), static_cast<int64_t>(data.size()));
    EXPECT_EQ(attached.json().str("attachment.plaintext_sha256"), expected);

    Call download = base;
    download.url += "/v1/attachment?key=big&namespace=ns&name=payload";
    download.headers = lease.headers();
    download.timeout_ms = 120000;
    Reply fetched = perform(download);
    ASSERT_EQ(fetched.status, 200) << fetched.curl_error;
    EXPECT_EQ(fetched.header("X-Attachment-SHA256"), expected);
    EXPECT_EQ(fetched.body.size(), data.size());
    EXPECT_TRUE(fetched.body == data);
}

TEST_F(DevTransportThreads, LargeStateDocumentsArriveWholeWithAndWithoutLength) {
    RunningServer server;
    Call base;
    base.url = server.base();
    Lease lease = acquire(base, "doc");
    std::string doc = "[";
    for (int i = 0; i < 600000; i++) doc += (i ? "," : "") + std::to_string(i * 37);
    doc += "]";
    for (bool chunked : {false, true}) {
        Call update = base;
        update.method = "POST";
        update.url += "/v1/update?key=doc&namespace=ns";
        update.headers = lease.headers();
        update.headers.push_back("Content-Type: application/json");
        update.body = doc;
        update.chunked = chunked; // with a length, libcurl also waits for 100 Continue
        update.read_piece = 7777;
        Reply reply = perform(update);
        ASSERT_EQ(reply.status, 200) << reply.curl_error << reply.body;
        EXPECT_EQ(reply.json().i64("bytes"), static_cast<int64_t>(doc.size()));
        EXPECT_EQ(reply.json().str("new_state_etag"), sha256_of(doc));
    }
    Call get = base;
    get.url += "/v1/get?key=doc&namespace=ns";
    get.headers = {"X-Lease-ID: " + lease.id};
    Reply fetched = perform(get);
    ASSERT_EQ(fetched.status, 200);
    EXPECT_TRUE(fetched.body == doc);
    EXPECT_EQ(fetched.header("X-Key-Version"), "2");
}

TEST_F(DevTransportThreads, ARefusedUploadIsAnsweredNotReset) {
    RunningServer server;
    Call base;
    base.url = server.base();
    Lease lease = acquire(base, "k");
    const std::string data = pseudo_random_bytes(3u * 1024 * 1024);
    for (bool chunked : {false, true}) {
        Call upload = base;
        upload.method = "POST";
        upload.url += "/v1/update?key=k&namespace=ns";
        upload.headers = {"X-Lease-ID: someone-else", "X-Fencing-Token: " + std::to_string(lease.token)};
        upload.body = data;
        upload.chunked = chunked;
        Reply reply = perform(upload);
        EXPECT_EQ(reply.code, 0) << reply.curl_error;
        EXPECT_EQ(reply.status, 409);
        EXPECT_EQ(reply.json().str("error"), "lease_not_held");
    }
    // An attachment over its max_bytes is cut off mid-body and still answered.
    Call upload = base;
    upload.method = "POST";
    upload.url += "/v1/attachments?key=k&namespace=ns&name=a&max_bytes=1000000";
    upload.headers = lease.headers();
    upload.body = data;
    upload.chunked = true;
    Reply reply = perform(upload);
    EXPECT_EQ(reply.status, 413) << reply.curl_error;
    EXPECT_EQ(reply.json().str("error"), "attachment_too_large");
    // The server is still fine afterwards.
    Call describe = base;
    describe.url += "/v1/describe?key=k&namespace=ns";
    EXPECT_EQ(perform(describe).status, 200);
}

TEST_F(DevTransportThreads, BodiesOverTheServerLimitAre413) {
    ServerConfig config;
    config.max_body_bytes = 1000;
    RunningServer server(config);
    Call base;
    base.url = server.base();
    Lease lease = acquire(base, "k");
    for (bool chunked : {false, true}) {
        Call update = base;
        update.method = "POST";
        update.url += "/v1/update?key=k&namespace=ns";
        update.headers = lease.headers();
        update.body = "[" + std::string(2000, ' ') + "]";
        update.chunked = chunked;
        Reply reply = perform(update);
        EXPECT_EQ(reply.status, 413) << reply.curl_error;
        EXPECT_EQ(reply.json().str("error"), "body_too_large");
    }
}

TEST_F(DevTransportThreads, KeepAliveAnswersPipelinedRequestsInOrder) {
    RunningServer server;
    RawConnection connection(server.server().port());
    ASSERT_TRUE(connection.connected());
    const std::string acquire_body = "{\"key\":\"k\",\"ttl_seconds\":30,\"owner\":\"raw\"}";
    connection.send("POST /v1/acquire HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(acquire_body.size()) +
                    "\r\n\r\n" + acquire_body +
                    "GET /v1/describe?key=k HTTP/1.1\r\nHost: x\r\nX-Correlation-Id: second\r\n\r\n"
                    "GET /v1/describe?key=k HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::string answers = connection.read_all();
    EXPECT_EQ(count_of(answers, "HTTP/1.1 200 OK\r\n"), 3u) << answers;
    EXPECT_EQ(count_of(answers, "Connection: close\r\n"), 1u);
    size_t first = answers.find("\"fencing_token\":1");
    size_t second = answers.find("X-Correlation-Id: second");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
}

TEST_F(DevTransportThreads, MalformedRequestsAreAnswered400AndClosed) {
    RunningServer server;
    RawConnection connection(server.server().port());
    ASSERT_TRUE(connection.connected());
    connection.send("NOT A REQUEST\r\n\r\n");
    std::string answer = connection.read_all();
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << answer;
    EXPECT_NE(answer.find("Connection: close"), std::string::npos);
    EXPECT_NE(answer.find("X-Correlation-Id: "), std::string::npos);
    // A truncated chunked body ends the connection without harming the server.
    {
        RawConnection broken(server.server().port());
        broken.send("POST /v1/acquire HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n{\"ke");
    }
    Call describe;
    describe.url = server.base() + "/admin/status";
    EXPECT_EQ(perform(describe).status, 200);
}

TEST_F(DevTransportThreads, StoppingAnswersABlockedAcquireAtOnce) {
    auto server = std::make_unique<RunningServer>();
    Call base;
    base.url = server->base();
    acquire(base, "k");
    Call blocked = base;
    blocked.method = "POST";
    blocked.url += "/v1/acquire";
    blocked.body = "{\"namespace\":\"ns\",\"key\":\"k\",\"ttl_seconds\":60,\"owner\":\"late\",\"block_seconds\":30}";
    Reply reply;
    auto start = std::chrono::steady_clock::now();
    std::thread waiter([&] { reply = perform(blocked); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.reset();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(reply.status, 409) << reply.curl_error;
    EXPECT_EQ(reply.json().str("error"), "lease_held");
}

TEST_F(DevTransportThreads, UnixSocketOnly) {
    korvo::testing::TempDir dir;
    ServerConfig config;
    config.listen_tcp = false;
    config.unix_socket_path = dir.file("korvo.sock");
    {
        RunningServer server(config);
        EXPECT_EQ(server.server().port(), 0);
        Call base;
        base.url = server.base();
        base.unix_socket = config.unix_socket_path;
        Lease lease = acquire(base, "k");
        EXPECT_EQ(lease.token, 1);
        Call describe = base;
        describe.url += "/v1/describe?key=k&namespace=ns";
        EXPECT_EQ(perform(describe).json().str("owner"), "tester");
    }
    struct stat info {};
    EXPECT_NE(::lstat(config.unix_socket_path.c_str(), &info), 0); // removed on shutdown
    // A stale socket file is replaced; any other file is left alone and refused.
    {
        RunningServer first(config);
    }
    dir.write("plain-file", "keep me");
    config.unix_socket_path = dir.file("plain-file");
    EXPECT_THROW(Server refused(config), std::runtime_error);
    EXPECT_EQ(korvo::testing::read_file(dir.file("plain-file")), "keep me");
}

TEST_F(DevTransportThreads, MutualTlsRequiresAClientCertificateFromTheCa) {
    const auto &pki = korvo::testing::test_pki();
    ServerConfig config;
    config.cert_file = pki.server_cert;
    config.key_file = pki.server_key;
    config.client_ca_file = pki.ca_cert;
    RunningServer server(config);
    ASSERT_EQ(server.base().rfind("https://127.0.0.1:", 0), 0u);
    Call call;
    call.url = server.base() + "/admin/status";
    call.ca_file = pki.ca_cert;

    Reply without = perform(call);
    EXPECT_NE(without.code, 0);
    EXPECT_EQ(without.status, 0);

    Call foreign = call;
    foreign.cert_file = pki.other_client_cert;
    foreign.key_file = pki.other_client_key;
    Reply refused = perform(foreign);
    EXPECT_NE(refused.code, 0);

    Call trusted = call;
    trusted.cert_file = pki.client_cert;
    trusted.key_file = pki.client_key;
    Reply accepted = perform(trusted);
    EXPECT_EQ(accepted.code, 0) << accepted.curl_error;
    EXPECT_EQ(accepted.status, 200);
    Call base = trusted;
    base.url = server.base();
    EXPECT_EQ(acquire(base, "k").token, 1);
}

TEST_F(DevTransportThreads, TlsWithoutClientCaAndOverAUnixSocket) {
    const auto &pki = korvo::testing::test_pki();
    korvo::testing::TempDir dir;
    ServerConfig config;
    config.cert_file = pki.server_cert;
    config.key_file = pki.server_key;
    config.unix_socket_path = dir.file("tls.sock");
    RunningServer server(config);
    Call call;
    call.url = server.base() + "/admin/status";
    call.ca_file = pki.ca_cert;
    Reply tcp = perform(call);
    EXPECT_EQ(tcp.status, 200) << tcp.curl_error;
    call.url = "https://localhost/admin/status";
    call.unix_socket = config.unix_socket_path;
    Reply unix_reply = perform(call);
    EXPECT_EQ(unix_reply.status, 200) << unix_reply.curl_error;
    // Plain HTTP to a TLS port is not served.
    Call plain;
    plain.url = "http://127.0.0.1:" + std::to_string(server.server().port()) + "/admin/status";
    plain.timeout_ms = 3000;
    EXPECT_NE(perform(plain).status, 200);
}

TEST_F(DevTransportThreads, BadTlsSettingsFailAtStartup) {
    const auto &pki = korvo::testing::test_pki();
    ServerConfig config;
    config.cert_file = pki.server_cert;
    config.key_file = pki.unrelated_key;
    EXPECT_THROW(Server mismatched(config), std::runtime_error);
    config.key_file = "/nonexistent/key.pem";
    EXPECT_THROW(Server missing(config), std::runtime_error);
    ServerConfig ca_only;
    ca_only.client_ca_file = pki.ca_cert;
    EXPECT_THROW(Server no_cert(ca_only), std::runtime_error);
}

} // namespace
