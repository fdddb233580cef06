// libkorvoc end to end against the korvo-devserver executable, run as a child process per
// test: lease contention and blocking acquires, expiry and takeover, compare-and-swap
// preconditions, acquire_for_update, a 50 MiB attachment checked by SHA-256, failover from a
// passive node, mutual TLS and a Unix socket endpoint.
#include "korvoc.h"
#include "korvoc_engine.h"

#include "fixtures.h"
#include "http_server.h"
#include "test_pki.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using korvo::testing::TempDir;
using korvo::testing::test_pki;
using Clock = std::chrono::steady_clock;

// ---- The dev server as a child process ---------------------------------------------------------

// Starts korvo-devserver with args (plus a log file in its own temp dir), reads its startup
// lines up to "ready", and stops it with SIGTERM when it goes away, expecting a clean exit.
class DevServer {
  public:
    explicit DevServer(std::vector<std::string> args = {}) {
        log_path_ = dir_.file("server.log");
        std::vector<std::string> all = {KORVO_DEVSERVER_PATH, "--port", "0", "--log-file", log_path_};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        if (posix_spawn(&pid_, all[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
        if (pid_ <= 0) return;
        for (;;) {
            std::string line = read_line();
            if (line == "ready") {
                ready_ = port_ > 0 || !unix_path_.empty();
                break;
            }
            if (line.rfind("<", 0) == 0) break; // eof or timeout
            const std::string tcp = "listening on 127.0.0.1:";
            const std::string unix_prefix = "listening on unix:";
            if (line.rfind(tcp, 0) == 0) port_ = std::atoi(line.c_str() + tcp.size());
            else if (line.rfind(unix_prefix, 0) == 0) unix_path_ = line.substr(unix_prefix.size());
        }
    }
    ~DevServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = wait_exit(10000);
            EXPECT_EQ(status, 0) << "korvo-devserver did not stop cleanly; its log:\n" << log();
        }
        if (out_ >= 0) ::close(out_);
    }
    DevServer(const DevServer &) = delete;
    DevServer &operator=(const DevServer &) = delete;

    bool ready() const { return ready_; }
    int port() const { return port_; }
    const std::string &unix_path() const { return unix_path_; }
    std::string host_port() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string http_url() const { return "http://" + host_port(); }
    std::string https_url() const { return "https://" + host_port(); }
    std::string log() const { return korvo::testing::read_file(log_path_); }
    void signal(int number) const { ::kill(pid_, number); }

  private:
    std::string read_line(int timeout_ms = 15000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t newline = pending_.find('\n');
            if (newline != std::string::npos) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return "<timeout>";
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[512];
            ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) return "<eof>";
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }
    // Exit status; -2 for a signal; -1 when it had to be killed.
    int wait_exit(int timeout_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }

    TempDir dir_;
    std::string log_path_;
    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
    std::string unix_path_;
    std::string pending_;
    bool ready_ = false;
};

// ---- Clients and small helpers -----------------------------------------------------------------

struct ErrorText {
    static std::string of(const kc_error &e) {
        std::string text = "code " + std::to_string(e.code) + " status " + std::to_string(e.http_status);
        if (e.message) text += std::string(" message '") + e.message + "'";
        if (e.server_error) text += std::string(" server_error '") + e.server_error + "'";
        if (e.detail) text += std::string(" detail '") + e.detail + "'";
        return text;
    }
};

// An owned error record, cleaned on reuse and at the end.
struct Error {
    kc_error e{};
    Error() { kc_error_init(&e); }
    ~Error() { kc_error_cleanup(&e); }
    kc_error *operator&() { return &e; }
    kc_error *reset() {
        kc_error_cleanup(&e);
        return &e;
    }
    std::string text() const { return ErrorText::of(e); }
};

// An open public client; tweak adjusts the configuration before open.
class Client {
  public:
    explicit Client(std::vector<std::string> endpoints, const std::function<void(kc_client_config &)> &tweak = {})
        : endpoints_(std::move(endpoints)) {
        std::vector<const char *> raw;
        for (auto &endpoint : endpoints_) raw.push_back(endpoint.c_str());
        kc_client_config config;
        kc_client_config_init(&config);
        config.endpoints = raw.data();
        config.endpoint_count = static_cast<unsigned>(raw.size());
        config.disable_mtls = 1;
        config.timeout_ms = 60000;
        if (tweak) tweak(config);
        open_code_ = kc_client_open(&config, &client_, &open_error_.e);
    }
    ~Client() { kc_client_close(client_); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    kc_client *get() const { return client_; }
    int open_code() const { return open_code_; }
    const Error &open_error() const { return open_error_; }

  private:
    std::vector<std::string> endpoints_;
    kc_client *client_ = nullptr;
    int open_code_ = -1;
    Error open_error_;
};

// A lease handle closed at the end unless released (release() forgets it on success).
class Lease {
  public:
    Lease() = default;
    ~Lease() { kc_lease_close(lease_); }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;
    kc_lease **out() { return &lease_; }
    kc_lease *get() const { return lease_; }
    kc_lease *operator->() const { return lease_; }
    int release(int rollback, kc_error *error) {
        kc_release_req req;
        kc_release_req_init(&req);
        req.rollback = rollback;
        int rc = kc_lease_release(lease_, &req, error);
        if (rc == KC_OK) lease_ = nullptr;
        return rc;
    }

  private:
    kc_lease *lease_ = nullptr;
};

kc_acquire_req acquire_req(const char *key, const char *owner, long ttl, long block = 0) {
    kc_acquire_req req;
    kc_acquire_req_init(&req);
    req.key = key;
    req.owner = owner;
    req.ttl_seconds = ttl;
    req.block_seconds = block;
    return req;
}

// Uploads text as the lease's new state (the lease's own expected version applies).
int update_text(kc_lease *lease, const std::string &text, kc_error *error, const kc_update_opts *opts = nullptr,
                kc_update_res *res_out = nullptr) {
    kc_source *source = nullptr;
    int rc = kc_source_from_memory(text.data(), text.size(), &source, error);
    if (rc != KC_OK) return rc;
    kc_update_res res{};
    rc = kc_lease_update(lease, source, opts, &res, error);
    kc_source_close(source);
    if (res_out) *res_out = res;
    else kc_update_res_cleanup(&res);
    return rc;
}

// What a state read gave: the bytes and the result record's members.
struct StateRead {
    int rc = -1;
    std::string body;
    bool no_content = false;
    int64_t version = 0;
    int64_t fencing_token = 0;
    std::string etag;
};

// Keeps a lease alive for ttl seconds more; the result record is not needed by the callers.
int keepalive(kc_lease *lease, long ttl, kc_error *error) {
    kc_keepalive_req keep;
    kc_keepalive_req_init(&keep);
    keep.ttl_seconds = ttl;
    kc_keepalive_res keep_res{};
    int rc = kc_lease_keepalive(lease, &keep, &keep_res, error);
    kc_keepalive_res_cleanup(&keep_res);
    return rc;
}

StateRead read_state(kc_client *client, kc_lease *lease, const char *key, kc_error *error) {
    StateRead out;
    kc_sink *sink = nullptr;
    out.rc = kc_sink_to_memory(&sink, error);
    if (out.rc != KC_OK) return out;
    kc_get_opts opts;
    kc_get_opts_init(&opts);
    opts.KC_PUBLIC_MEMBER = lease ? 0 : 1;
    kc_get_res res{};
    out.rc = lease ? kc_lease_get(lease, sink, &opts, &res, error) : kc_get(client, key, &opts, sink, &res, error);
    if (out.rc == KC_OK) {
        const void *bytes = nullptr;
        size_t length = 0;
        kc_sink_memory_bytes(sink, &bytes, &length);
        if (bytes) out.body.assign(static_cast<const char *>(bytes), length);
        out.no_content = res.no_content != 0;
        out.version = res.version;
        out.fencing_token = res.fencing_token;
        if (res.etag) out.etag = res.etag;
    }
    kc_get_res_cleanup(&res);
    kc_sink_close(sink);
    return out;
}

StateRead public_state(kc_client *client, const char *key, kc_error *error) {
    return read_state(client, nullptr, key, error);
}

struct Described {
    int rc = -1;
    std::string owner, lease_id, state_etag;
    int64_t version = 0;
};

Described describe(kc_client *client, const char *key, kc_error *error) {
    kc_describe_req req;
    kc_describe_req_init(&req);
    req.key = key;
    kc_describe_res res{};
    Described out;
    out.rc = kc_describe(client, &req, &res, error);
    if (out.rc == KC_OK) {
        if (res.owner) out.owner = res.owner;
        if (res.lease_id) out.lease_id = res.lease_id;
        if (res.state_etag) out.state_etag = res.state_etag;
        out.version = res.version;
    }
    kc_describe_res_cleanup(&res);
    return out;
}

std::string to_hex(const unsigned char *bytes, size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// Lowercase hex SHA-256 through OpenSSL's EVP interface.
class Sha256 {
  public:
    Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(ctx_); }
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void update(const void *bytes, size_t length) { EVP_DigestUpdate(ctx_, bytes, length); }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx_, digest, &length);
        return to_hex(digest, length);
    }

  private:
    EVP_MD_CTX *ctx_;
};

std::string sha256_of(const std::string &text) {
    Sha256 sha;
    sha.update(text.data(), text.size());
    return sha.hex();
}

// SHA-256 and size of a file's content; "" when it cannot be read.
std::string sha256_of_file(const std::string &path, size_t *size = nullptr) {
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return "";
    Sha256 sha;
    std::vector<char> buffer(1 << 20);
    size_t total = 0;
    for (;;) {
        size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (n == 0) break;
        sha.update(buffer.data(), n);
        total += n;
    }
    if (size) *size = total;
    return sha.hex();
}

// Writes size pseudo-random bytes (xorshift, fixed seed) to path and returns their SHA-256.
std::string write_random_file(const std::string &path, size_t size) {
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) return "";
    Sha256 sha;
    std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
    uint64_t state = 0x9e3779b97f4a7c15ULL;
    size_t left = size;
    while (left > 0) {
        for (uint64_t &word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        size_t n = std::min(left, block.size() * sizeof(uint64_t));
        if (std::fwrite(block.data(), 1, n, file.get()) != n) return "";
        sha.update(block.data(), n);
        left -= n;
    }
    return sha.hex();
}

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// ---- Leases: contention, blocking, expiry and takeover ------------------------------------------

TEST(E2eLeaseThreads, HeldKeyIsRefusedWithoutBlockAndWonAfterReleaseWithBlock) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client alice({server.http_url()});
    Client bob({server.http_url()});
    ASSERT_EQ(alice.open_code(), KC_OK) << alice.open_error().text();
    ASSERT_EQ(bob.open_code(), KC_OK) << bob.open_error().text();

    Error error;
    Lease first;
    kc_acquire_req req = acquire_req("orders/42", "alice", 30);
    ASSERT_EQ(kc_acquire(alice.get(), &req, first.out(), &error), KC_OK) << error.text();
    ASSERT_GT(first->fencing_token, 0);
    ASSERT_EQ(update_text(first.get(), "{\"step\":1}", error.reset()), KC_OK) << error.text();

    // Without block_seconds the second owner is refused at once with the server's 409.
    Lease refused;
    kc_acquire_req bob_req = acquire_req("orders/42", "bob", 30);
    EXPECT_EQ(kc_acquire(bob.get(), &bob_req, refused.out(), error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(refused.get(), nullptr);
    EXPECT_EQ(error.e.http_status, 409);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "lease_held");
    EXPECT_NE(error.e.correlation_id, nullptr);

    // With block_seconds it waits until the holder releases, then wins with a higher token.
    std::atomic<bool> released{false};
    std::atomic<bool> won_before_release{false};
    Lease second;
    Error bob_error;
    int bob_rc = -1;
    long waited_ms = 0;
    std::thread waiter([&] {
        kc_acquire_req blocking = acquire_req("orders/42", "bob", 30, 10);
        auto start = Clock::now();
        bob_rc = kc_acquire(bob.get(), &blocking, second.out(), &bob_error.e);
        waited_ms = elapsed_ms(start);
        won_before_release = !released.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    // Still held: the waiter has not been answered, and describe names alice.
    Described during = describe(alice.get(), "orders/42", error.reset());
    EXPECT_EQ(during.rc, KC_OK) << error.text();
    EXPECT_EQ(during.owner, "alice");
    long first_token = first->fencing_token;
    released = true;
    ASSERT_EQ(first.release(0, error.reset()), KC_OK) << error.text();
    waiter.join();

    ASSERT_EQ(bob_rc, KC_OK) << bob_error.text();
    EXPECT_FALSE(won_before_release.load());
    EXPECT_GE(waited_ms, 500);
    EXPECT_LT(waited_ms, 8000) << "the release should end the wait well before block_seconds";
    ASSERT_NE(second.get(), nullptr);
    EXPECT_GT(second->fencing_token, first_token);
    EXPECT_STREQ(second->owner, "bob");
    // What alice committed on release is what the new holder sees.
    StateRead seen = read_state(bob.get(), second.get(), "orders/42", error.reset());
    EXPECT_EQ(seen.rc, KC_OK) << error.text();
    EXPECT_EQ(seen.body, "{\"step\":1}");
    EXPECT_EQ(seen.fencing_token, second->fencing_token);
    EXPECT_EQ(second.release(0, error.reset()), KC_OK) << error.text();
}

TEST(E2eLeaseThreads, ExpiredLeaseIsTakenOverAndTheStaleHolderIsRefused) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client alice({server.http_url()});
    Client bob({server.http_url()});
    ASSERT_EQ(alice.open_code(), KC_OK) << alice.open_error().text();
    ASSERT_EQ(bob.open_code(), KC_OK) << bob.open_error().text();

    Error error;
    // Committed state first, so that takeover can be seen not to lose it.
    {
        Lease setup;
        kc_acquire_req req = acquire_req("jobs/7", "setup", 30);
        ASSERT_EQ(kc_acquire(alice.get(), &req, setup.out(), &error), KC_OK) << error.text();
        ASSERT_EQ(update_text(setup.get(), "{\"owner\":\"setup\"}", error.reset()), KC_OK) << error.text();
        ASSERT_EQ(setup.release(0, error.reset()), KC_OK) << error.text();
    }

    Lease stale;
    kc_acquire_req req = acquire_req("jobs/7", "alice", 1);
    ASSERT_EQ(kc_acquire(alice.get(), &req, stale.out(), error.reset()), KC_OK) << error.text();
    // Staged under the short lease; expiry must discard it.
    ASSERT_EQ(update_text(stale.get(), "{\"owner\":\"alice\"}", error.reset()), KC_OK) << error.text();
    long stale_token = stale->fencing_token;

    // Bob blocks; alice never releases, so the wait ends when her lease runs out.
    Lease taken;
    kc_acquire_req bob_req = acquire_req("jobs/7", "bob", 30, 5);
    auto start = Clock::now();
    ASSERT_EQ(kc_acquire(bob.get(), &bob_req, taken.out(), error.reset()), KC_OK) << error.text();
    long waited = elapsed_ms(start);
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 4500);
    EXPECT_GT(taken->fencing_token, stale_token);

    StateRead seen = read_state(bob.get(), taken.get(), "jobs/7", error.reset());
    EXPECT_EQ(seen.rc, KC_OK) << error.text();
    EXPECT_EQ(seen.body, "{\"owner\":\"setup\"}") << "the expired lease's staged write must be gone";

    // The stale holder's write is refused: its fencing token is older than the key's.
    EXPECT_EQ(update_text(stale.get(), "{\"owner\":\"alice again\"}", error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "fencing_token_stale");
    // So are its keepalive and release; the handle stays open after a failed release.
    EXPECT_EQ(keepalive(stale.get(), 30, error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    EXPECT_EQ(stale.release(0, error.reset()), KC_ERR_SERVER);
    EXPECT_NE(stale.get(), nullptr);

    // Bob's lease is untouched by all that and commits normally.
    ASSERT_EQ(update_text(taken.get(), "{\"owner\":\"bob\"}", error.reset()), KC_OK) << error.text();
    ASSERT_EQ(taken.release(0, error.reset()), KC_OK) << error.text();
    StateRead committed = public_state(alice.get(), "jobs/7", error.reset());
    EXPECT_EQ(committed.rc, KC_OK) << error.text();
    EXPECT_EQ(committed.body, "{\"owner\":\"bob\"}");
}

TEST(E2eLeaseThreads, KeepaliveOutlivesTheOriginalTimeToLive) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client alice({server.http_url()});
    Client bob({server.http_url()});
    ASSERT_EQ(alice.open_code(), KC_OK) << alice.open_error().text();
    ASSERT_EQ(bob.open_code(), KC_OK) << bob.open_error().text();

    Error error;
    Lease lease;
    kc_acquire_req req = acquire_req("heartbeat", "alice", 1);
    ASSERT_EQ(kc_acquire(alice.get(), &req, lease.out(), &error), KC_OK) << error.text();
    long first_expiry = lease->expires_at;
    ASSERT_EQ(keepalive(lease.get(), 30, error.reset()), KC_OK) << error.text();
    EXPECT_GE(lease->expires_at, first_expiry + 25);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    // Past the first time to live the key is still held.
    Lease other;
    kc_acquire_req bob_req = acquire_req("heartbeat", "bob", 30);
    EXPECT_EQ(kc_acquire(bob.get(), &bob_req, other.out(), error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    EXPECT_EQ(update_text(lease.get(), "{\"alive\":true}", error.reset()), KC_OK) << error.text();
    EXPECT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();
}

// ---- Compare-and-swap preconditions ------------------------------------------------------------

TEST(E2eStateThreads, VersionAndEtagPreconditionsRefuseStaleWrites) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client client({server.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();

    Error error;
    Lease lease;
    kc_acquire_req req = acquire_req("cas", "writer", 30);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), &error), KC_OK) << error.text();
    const std::string first = "{\"n\":1}";
    kc_update_res res{};
    ASSERT_EQ(update_text(lease.get(), first, error.reset(), nullptr, &res), KC_OK) << error.text();
    EXPECT_EQ(res.new_version, 1);
    ASSERT_NE(res.new_state_etag, nullptr);
    EXPECT_EQ(std::string(res.new_state_etag), sha256_of(first));
    EXPECT_EQ(res.bytes, static_cast<int64_t>(first.size()));
    kc_update_res_cleanup(&res);
    EXPECT_EQ(lease->version, 1);
    ASSERT_NE(lease->state_etag, nullptr);
    EXPECT_EQ(std::string(lease->state_etag), sha256_of(first));

    // A wrong expected version.
    kc_update_opts opts;
    kc_update_opts_init(&opts);
    opts.if_version_set = 1;
    opts.if_version = 7;
    EXPECT_EQ(update_text(lease.get(), "{\"n\":2}", error.reset(), &opts), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "version_conflict");
    EXPECT_EQ(lease->version, 1) << "a failed update must not change the lease's view";

    // A wrong entity tag.
    kc_update_opts_init(&opts);
    opts.if_state_etag = "0000";
    EXPECT_EQ(update_text(lease.get(), "{\"n\":2}", error.reset(), &opts), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "etag_conflict");

    // The right tag, quoted as an ETag header would carry it, passes.
    const std::string quoted = "\"" + sha256_of(first) + "\"";
    opts.if_state_etag = quoted.c_str();
    ASSERT_EQ(update_text(lease.get(), "{\"n\":2}", error.reset(), &opts), KC_OK) << error.text();
    EXPECT_EQ(lease->version, 2);

    // Another handle on the same lease moves the version on; the first handle still expects 2.
    kc_lease_ref ref;
    kc_lease_ref_init(&ref);
    ref.key = "cas";
    ref.lease_id = lease->lease_id;
    ref.txn_id = lease->txn_id;
    ref.fencing_token = lease->fencing_token;
    Lease twin;
    ASSERT_EQ(kc_lease_from_ref(client.get(), &ref, twin.out(), error.reset()), KC_OK) << error.text();
    ASSERT_EQ(update_text(twin.get(), "{\"n\":3}", error.reset()), KC_OK) << error.text();
    EXPECT_EQ(update_text(lease.get(), "{\"n\":\"lost update\"}", error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "version_conflict");

    // Remove and metadata take the same preconditions.
    kc_remove_req remove;
    kc_remove_req_init(&remove);
    remove.if_version_set = 1;
    remove.if_version = 2;
    kc_remove_res removed{};
    EXPECT_EQ(kc_lease_remove(lease.get(), &remove, &removed, error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    kc_remove_res_cleanup(&removed);
    kc_metadata_req meta;
    kc_metadata_req_init(&meta);
    meta.if_version_set = 1;
    meta.if_version = 1;
    meta.query_hidden_set = 1;
    meta.query_hidden = 1;
    kc_metadata_res meta_res{};
    EXPECT_EQ(kc_lease_metadata(lease.get(), &meta, &meta_res, error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    kc_metadata_res_cleanup(&meta_res);

    StateRead seen = read_state(client.get(), twin.get(), "cas", error.reset());
    EXPECT_EQ(seen.rc, KC_OK) << error.text();
    EXPECT_EQ(seen.body, "{\"n\":3}");
    EXPECT_EQ(seen.version, 3);
    EXPECT_EQ(seen.etag, "\"" + sha256_of("{\"n\":3}") + "\"");
    EXPECT_EQ(twin.release(0, error.reset()), KC_OK) << error.text();
}

TEST(E2eStateThreads, ConflictBodyCarriesTheCurrentVersionAndEtag) {
    // The public error record has no members for them; the engine error record does.
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client client({server.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    Error error;
    Lease lease;
    kc_acquire_req req = acquire_req("cas-engine", "writer", 30);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), &error), KC_OK) << error.text();
    const std::string doc = "{\"value\":\"current\"}";
    ASSERT_EQ(update_text(lease.get(), doc, error.reset()), KC_OK) << error.text();
    ASSERT_EQ(update_text(lease.get(), doc + " ", error.reset()), KC_OK) << error.text();
    const std::string current_etag = sha256_of(doc + " ");

    const std::string endpoint = server.http_url();
    const char *endpoints[] = {endpoint.c_str()};
    kc_engine_client_config config;
    kc_engine_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.disable_mtls = 1;
    kc_engine_client *engine = nullptr;
    kc_engine_error engine_error;
    kc_engine_error_init(&engine_error);
    ASSERT_EQ(kc_engine_client_open(&config, &engine, &engine_error), KC_OK)
        << (engine_error.message ? engine_error.message : "");

    for (bool by_version : {true, false}) {
        SCOPED_TRACE(by_version ? "X-If-Version" : "X-If-State-ETag");
        kc_engine_update_request update{};
        update.key = "cas-engine";
        update.lease_id = lease->lease_id;
        update.txn_id = lease->txn_id;
        update.fencing_token = lease->fencing_token;
        update.has_if_version = by_version ? 1 : 0;
        update.if_version = 1;
        const std::string stale_etag = sha256_of(doc);
        update.if_state_etag = by_version ? nullptr : stale_etag.c_str();
        update.body = "{}";
        update.body_length = 2;
        update.content_type = "application/json";
        kc_engine_update_response response{};
        kc_engine_error_reset(&engine_error);
        EXPECT_EQ(kc_engine_client_update(engine, &update, &response, &engine_error), KC_ERR_SERVER);
        EXPECT_EQ(engine_error.http_status, 409);
        ASSERT_NE(engine_error.server_error, nullptr);
        EXPECT_STREQ(engine_error.server_error, by_version ? "version_conflict" : "etag_conflict");
        EXPECT_EQ(engine_error.current_version, 2);
        ASSERT_NE(engine_error.current_etag, nullptr);
        EXPECT_EQ(std::string(engine_error.current_etag), current_etag);
        // Converted to the public record, the status, codes and correlation id survive.
        Error converted;
        EXPECT_EQ(kc_error_from_engine(&converted, &engine_error), KC_ERR_SERVER);
        EXPECT_EQ(converted.e.http_status, 409);
        EXPECT_STREQ(converted.e.server_error, engine_error.server_error);
        EXPECT_NE(converted.e.correlation_id, nullptr);
        kc_engine_update_response_cleanup(&response);
    }
    kc_engine_error_cleanup(&engine_error);
    kc_engine_client_close(engine);
    EXPECT_EQ(lease.release(1, error.reset()), KC_OK) << error.text();
}

struct Profile {
    char *name;
    int64_t visits;
    vellum_array tags;
};
const vellum_field kProfileFields[] = {
    VELLUM_FIELD_STRING(Profile, name, "name", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(Profile, visits, "visits", 0),
    VELLUM_FIELD_ARRAY(Profile, tags, "tags", VELLUM_KIND_STRING_ARRAY, 0),
};
const vellum_map kProfileMap = VELLUM_MAP(Profile, kProfileFields);

TEST(E2eStateThreads, TypedStateAwkwardKeysNamespacesAndMetadataRoundTrip) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client tenant_a({server.http_url()}, [](kc_client_config &config) { config.default_namespace = "tenant-a"; });
    Client tenant_b({server.http_url()}, [](kc_client_config &config) { config.default_namespace = "tenant-b"; });
    ASSERT_EQ(tenant_a.open_code(), KC_OK) << tenant_a.open_error().text();
    ASSERT_EQ(tenant_b.open_code(), KC_OK) << tenant_b.open_error().text();
    // Characters that a query string must escape, and a multi-byte one.
    const char *key = "users/a b&c=d+e?f#g%h\xc3\xbc";
    Error error;

    Lease lease;
    kc_acquire_req req = acquire_req(key, "profile-writer", 30);
    req.txn_id = "txn-chosen-by-the-client";
    ASSERT_EQ(kc_acquire(tenant_a.get(), &req, lease.out(), &error), KC_OK) << error.text();
    EXPECT_STREQ(lease->key, key);
    EXPECT_STREQ(lease->KC_NAMESPACE_MEMBER, "tenant-a");
    EXPECT_STREQ(lease->txn_id, "txn-chosen-by-the-client");
    // Another namespace, same key: a different lease, with its own token sequence.
    Lease other_tenant;
    ASSERT_EQ(kc_acquire(tenant_b.get(), &req, other_tenant.out(), error.reset()), KC_OK) << error.text();
    EXPECT_EQ(other_tenant->fencing_token, 1);

    Profile profile{};
    profile.name = const_cast<char *>("Zoë \"the admin\"");
    profile.visits = 12345678901;
    ASSERT_EQ(kc_lease_save(lease.get(), &kProfileMap, &profile, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(lease->version, 1);
    Profile loaded{};
    kc_get_res got{};
    ASSERT_EQ(kc_lease_load(lease.get(), &kProfileMap, &loaded, nullptr, nullptr, &got, error.reset()), KC_OK)
        << error.text();
    EXPECT_STREQ(loaded.name, profile.name);
    EXPECT_EQ(loaded.visits, profile.visits);
    EXPECT_EQ(loaded.tags.count, 0u);
    EXPECT_EQ(got.version, 1);
    kc_get_res_cleanup(&got);
    vellum_cleanup(&kProfileMap, &loaded);

    kc_metadata_req meta;
    kc_metadata_req_init(&meta);
    meta.query_hidden_set = 1;
    meta.query_hidden = 1;
    kc_metadata_res meta_res{};
    ASSERT_EQ(kc_lease_metadata(lease.get(), &meta, &meta_res, error.reset()), KC_OK) << error.text();
    EXPECT_TRUE(meta_res.metadata_present);
    EXPECT_TRUE(meta_res.query_hidden);
    EXPECT_STREQ(meta_res.key, key);
    kc_metadata_res_cleanup(&meta_res);
    EXPECT_EQ(lease->version, 2);
    ASSERT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();

    kc_describe_req describe_req;
    kc_describe_req_init(&describe_req);
    describe_req.key = key;
    kc_describe_res described{};
    ASSERT_EQ(kc_describe(tenant_a.get(), &describe_req, &described, error.reset()), KC_OK) << error.text();
    EXPECT_STREQ(described.key, key);
    EXPECT_STREQ(described.KC_NAMESPACE_MEMBER, "tenant-a");
    EXPECT_EQ(described.version, 2);
    EXPECT_TRUE(described.metadata_present);
    EXPECT_TRUE(described.query_hidden);
    EXPECT_EQ(described.owner, nullptr);
    kc_describe_res_cleanup(&described);
    // The other namespace's lease saw none of it.
    StateRead b_view = read_state(tenant_b.get(), other_tenant.get(), key, error.reset());
    EXPECT_EQ(b_view.rc, KC_OK) << error.text();
    EXPECT_TRUE(b_view.no_content);
    EXPECT_EQ(other_tenant.release(0, error.reset()), KC_OK) << error.text();

    // Public typed load of the committed state.
    kc_get_opts opts;
    kc_get_opts_init(&opts);
    opts.KC_PUBLIC_MEMBER = 1;
    ASSERT_EQ(kc_load(tenant_a.get(), key, &kProfileMap, &loaded, nullptr, &opts, &got, error.reset()), KC_OK)
        << error.text();
    EXPECT_STREQ(loaded.name, profile.name);
    kc_get_res_cleanup(&got);
    vellum_cleanup(&kProfileMap, &loaded);

    // Remove: the state is gone, and a get says so.
    Lease remover;
    ASSERT_EQ(kc_acquire(tenant_a.get(), &req, remover.out(), error.reset()), KC_OK) << error.text();
    kc_remove_res removed{};
    ASSERT_EQ(kc_lease_remove(remover.get(), nullptr, &removed, error.reset()), KC_OK) << error.text();
    EXPECT_TRUE(removed.removed);
    EXPECT_EQ(removed.new_version, 3);
    kc_remove_res_cleanup(&removed);
    StateRead gone = read_state(tenant_a.get(), remover.get(), key, error.reset());
    EXPECT_EQ(gone.rc, KC_OK) << error.text();
    EXPECT_TRUE(gone.no_content);
    EXPECT_EQ(gone.body, "");
    ASSERT_EQ(remover.release(0, error.reset()), KC_OK) << error.text();

    // if_not_exists: allowed for a fresh key, refused once the key has state.
    kc_acquire_req fresh = acquire_req("fresh-key", "creator", 30);
    fresh.if_not_exists = 1;
    Lease created;
    EXPECT_EQ(kc_acquire(tenant_a.get(), &fresh, created.out(), error.reset()), KC_OK) << error.text();
    ASSERT_EQ(update_text(created.get(), "{}", error.reset()), KC_OK) << error.text();
    ASSERT_EQ(created.release(0, error.reset()), KC_OK) << error.text();
    Lease refused;
    EXPECT_EQ(kc_acquire(tenant_a.get(), &fresh, refused.out(), error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "key_exists");
}

TEST(E2eStateThreads, MultiMebibyteStateStreamsBothWays) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client client({server.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    TempDir dir;
    // A JSON document well above the client's typed-response limit (1 MiB).
    std::string doc = "[";
    for (int i = 0; doc.size() < (6u << 20); ++i) doc += (i ? "," : "") + std::string("{\"i\":") + std::to_string(i) + ",\"s\":\"" + std::string(40, 'a' + i % 26) + "\"}";
    doc += "]";
    const std::string path = dir.write("big.json", doc);
    Error error;
    Lease lease;
    kc_acquire_req req = acquire_req("big", "writer", 60);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), &error), KC_OK) << error.text();
    kc_source *source = nullptr;
    ASSERT_EQ(kc_source_from_file(path.c_str(), &source, error.reset()), KC_OK);
    kc_update_res res{};
    int rc = kc_lease_update(lease.get(), source, nullptr, &res, error.reset());
    kc_source_close(source);
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_EQ(res.bytes, static_cast<int64_t>(doc.size()));
    EXPECT_EQ(std::string(res.new_state_etag), sha256_of(doc));
    kc_update_res_cleanup(&res);
    ASSERT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();

    const std::string out_path = dir.file("out.json");
    kc_sink *sink = nullptr;
    ASSERT_EQ(kc_sink_to_file(out_path.c_str(), &sink, error.reset()), KC_OK);
    kc_get_opts opts;
    kc_get_opts_init(&opts);
    opts.KC_PUBLIC_MEMBER = 1;
    kc_get_res got{};
    rc = kc_get(client.get(), "big", &opts, sink, &got, error.reset());
    kc_sink_close(sink);
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_EQ(got.etag, "\"" + sha256_of(doc) + "\"");
    kc_get_res_cleanup(&got);
    EXPECT_EQ(korvo::testing::read_file(out_path), doc);

    // A document that is not JSON is refused and leaves the state alone.
    Lease second;
    ASSERT_EQ(kc_acquire(client.get(), &req, second.out(), error.reset()), KC_OK) << error.text();
    EXPECT_EQ(update_text(second.get(), "{\"unterminated\":", error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 400);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "invalid_json");
    EXPECT_EQ(second.release(0, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(describe(client.get(), "big", error.reset()).state_etag, sha256_of(doc));
}

// ---- acquire_for_update -----------------------------------------------------------------------

struct CounterJob {
    kc_client *observer = nullptr;
    std::string seen;          // the state the handler read through its source
    bool had_state = false;
    std::string committed_during; // the public view while the handler ran
    int64_t snapshot_version = -1;
    std::string write;         // what the handler stores
    int fail_with = KC_OK;     // non-zero: store, then fail
};

int counter_handler(kc_acquire_for_update_context *context, kc_error *error) {
    auto *job = static_cast<CounterJob *>(context->user_data);
    job->had_state = context->state != nullptr;
    job->snapshot_version = context->get_result ? context->get_result->version : -1;
    if (context->state) {
        char buffer[7]; // small reads: the snapshot is read in several pieces
        for (;;) {
            size_t n = context->state->read(context->state, buffer, sizeof buffer, error);
            if (n == 0) break;
            job->seen.append(buffer, n);
        }
        if (error->code != KC_OK) return error->code;
    }
    kc_error probe{};
    job->committed_during = public_state(job->observer, context->lease->key, &probe).body;
    kc_error_cleanup(&probe);
    int rc = update_text(context->lease, job->write, error);
    if (rc != KC_OK) return rc;
    if (job->fail_with != KC_OK)
        return kc_error_set(error, job->fail_with, 0, "handler refused the change", nullptr, nullptr, nullptr);
    return KC_OK;
}

TEST(E2eAcquireForUpdateThreads, HandlerReadsTheSnapshotAndCommitsOrRollsBack) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client client({server.http_url()});
    Client observer({server.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    ASSERT_EQ(observer.open_code(), KC_OK) << observer.open_error().text();
    Error error;

    // A key without state: the handler gets no source and creates the first document.
    CounterJob create;
    create.observer = observer.get();
    create.write = "{\"count\":1,\"note\":\"created by the first handler run\"}";
    kc_acquire_req req = acquire_req("counter", "updater", 30);
    ASSERT_EQ(kc_acquire_for_update(client.get(), &req, counter_handler, &create, &error), KC_OK) << error.text();
    EXPECT_FALSE(create.had_state);
    EXPECT_EQ(create.seen, "");
    EXPECT_EQ(public_state(observer.get(), "counter", error.reset()).body, create.write);

    // Existing state: read through the source, replaced; invisible to others until release.
    CounterJob bump;
    bump.observer = observer.get();
    bump.write = "{\"count\":2}";
    ASSERT_EQ(kc_acquire_for_update(client.get(), &req, counter_handler, &bump, error.reset()), KC_OK)
        << error.text();
    EXPECT_TRUE(bump.had_state);
    EXPECT_EQ(bump.seen, create.write);
    EXPECT_EQ(bump.snapshot_version, 1);
    EXPECT_EQ(bump.committed_during, create.write);
    StateRead after = public_state(observer.get(), "counter", error.reset());
    EXPECT_EQ(after.body, "{\"count\":2}");
    EXPECT_EQ(after.version, 2);
    // The lease is gone: another owner takes the key at once.
    Described free_key = describe(observer.get(), "counter", error.reset());
    EXPECT_EQ(free_key.rc, KC_OK) << error.text();
    EXPECT_EQ(free_key.owner, "");

    // A failing handler: its code and error come back and its write is rolled back.
    CounterJob broken;
    broken.observer = observer.get();
    broken.write = "{\"count\":99}";
    broken.fail_with = KC_ERR_INVALID;
    EXPECT_EQ(kc_acquire_for_update(client.get(), &req, counter_handler, &broken, error.reset()), KC_ERR_INVALID);
    ASSERT_NE(error.e.message, nullptr);
    EXPECT_STREQ(error.e.message, "handler refused the change");
    EXPECT_EQ(broken.seen, "{\"count\":2}");
    StateRead rolled_back = public_state(observer.get(), "counter", error.reset());
    EXPECT_EQ(rolled_back.body, "{\"count\":2}");
    EXPECT_EQ(rolled_back.version, 2);
    Lease next;
    kc_acquire_req other = acquire_req("counter", "someone-else", 30);
    EXPECT_EQ(kc_acquire(observer.get(), &other, next.out(), error.reset()), KC_OK)
        << "the failed run must release its lease: " << error.text();

    // While the key is held by another owner, acquire_for_update fails before the handler runs.
    CounterJob blocked;
    blocked.observer = observer.get();
    blocked.write = "{\"count\":1000}";
    EXPECT_EQ(kc_acquire_for_update(client.get(), &req, counter_handler, &blocked, error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    EXPECT_EQ(blocked.snapshot_version, -1) << "the handler must not run";
    EXPECT_EQ(next.release(0, error.reset()), KC_OK) << error.text();
}

// ---- Attachments --------------------------------------------------------------------------------

TEST(E2eAttachmentThreads, FiftyMebibyteUploadRoundTripsWithItsSha256) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client client({server.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    TempDir dir;
    const size_t size = 50u << 20;
    const std::string upload_path = dir.file("upload.bin");
    const std::string expected = write_random_file(upload_path, size);
    ASSERT_EQ(expected.size(), 64u);

    Error error;
    Lease lease;
    kc_acquire_req req = acquire_req("assets/video", "uploader", 60);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), &error), KC_OK) << error.text();
    kc_source *source = nullptr;
    ASSERT_EQ(kc_source_from_file(upload_path.c_str(), &source, error.reset()), KC_OK) << error.text();
    kc_attach_req attach;
    kc_attach_req_init(&attach);
    attach.name = "video.bin";
    attach.content_type = "application/x-test-video";
    kc_attach_res attached{};
    int rc = kc_lease_attach(lease.get(), &attach, source, &attached, error.reset());
    kc_source_close(source);
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_EQ(attached.attachment.size, static_cast<int64_t>(size));
    ASSERT_NE(attached.attachment.plaintext_sha256, nullptr);
    EXPECT_EQ(std::string(attached.attachment.plaintext_sha256), expected);
    EXPECT_STREQ(attached.attachment.content_type, "application/x-test-video");
    EXPECT_FALSE(attached.noop);
    const std::string id = attached.attachment.id ? attached.attachment.id : "";
    kc_attach_res_cleanup(&attached);

    // The holder downloads it into a file sink before release.
    const std::string download_path = dir.file("download.bin");
    kc_sink *sink = nullptr;
    ASSERT_EQ(kc_sink_to_file(download_path.c_str(), &sink, error.reset()), KC_OK) << error.text();
    kc_attachment_get_req get;
    kc_attachment_get_req_init(&get);
    get.selector.name = "video.bin";
    kc_attachment_get_res got{};
    rc = kc_lease_get_attachment(lease.get(), &get, sink, &got, error.reset());
    kc_sink_close(sink);
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_EQ(got.size, static_cast<int64_t>(size));
    ASSERT_NE(got.plaintext_sha256, nullptr);
    EXPECT_EQ(std::string(got.plaintext_sha256), expected);
    EXPECT_STREQ(got.id, id.c_str());
    EXPECT_STREQ(got.content_type, "application/x-test-video");
    kc_attachment_get_res_cleanup(&got);
    size_t downloaded = 0;
    EXPECT_EQ(sha256_of_file(download_path, &downloaded), expected);
    EXPECT_EQ(downloaded, size);

    // The same bytes again are a no-op; prevent_overwrite refuses the existing name.
    ASSERT_EQ(kc_source_from_file(upload_path.c_str(), &source, error.reset()), KC_OK) << error.text();
    rc = kc_lease_attach(lease.get(), &attach, source, &attached, error.reset());
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_TRUE(attached.noop);
    kc_attach_res_cleanup(&attached);
    ASSERT_EQ(source->reset(source, error.reset()), KC_OK) << error.text();
    attach.prevent_overwrite = 1;
    EXPECT_EQ(kc_lease_attach(lease.get(), &attach, source, &attached, error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 409);
    kc_source_close(source);

    // Over its max_bytes an upload is refused with 413.
    const std::string small(4096, 'x');
    ASSERT_EQ(kc_source_from_memory(small.data(), small.size(), &source, error.reset()), KC_OK);
    kc_attach_req limited;
    kc_attach_req_init(&limited);
    limited.name = "small.bin";
    limited.max_bytes = 1024;
    limited.max_bytes_set = 1;
    EXPECT_EQ(kc_lease_attach(lease.get(), &limited, source, &attached, error.reset()), KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 413);
    kc_source_close(source);

    ASSERT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();

    // After release: listed and downloadable without a lease, still the same bytes.
    kc_attachment_list_op list_op;
    kc_attachment_list_op_init(&list_op);
    list_op.lease.key = "assets/video";
    list_op.KC_PUBLIC_MEMBER = 1;
    kc_attachment_list list{};
    ASSERT_EQ(kc_list_attachments(client.get(), &list_op, &list, error.reset()), KC_OK) << error.text();
    ASSERT_EQ(list.count, 1u);
    EXPECT_STREQ(list.attachments[0].name, "video.bin");
    EXPECT_EQ(list.attachments[0].size, static_cast<int64_t>(size));
    EXPECT_EQ(std::string(list.attachments[0].plaintext_sha256), expected);
    kc_attachment_list_cleanup(&list);

    const std::string public_path = dir.file("public.bin");
    ASSERT_EQ(kc_sink_to_file(public_path.c_str(), &sink, error.reset()), KC_OK);
    kc_attachment_get_op get_op;
    kc_attachment_get_op_init(&get_op);
    get_op.lease.key = "assets/video";
    get_op.KC_PUBLIC_MEMBER = 1;
    get_op.selector.id = id.c_str();
    rc = kc_get_attachment(client.get(), &get_op, sink, &got, error.reset());
    kc_sink_close(sink);
    ASSERT_EQ(rc, KC_OK) << error.text();
    kc_attachment_get_res_cleanup(&got);
    EXPECT_EQ(sha256_of_file(public_path, &downloaded), expected);
    EXPECT_EQ(downloaded, size);
}

TEST(E2eAttachmentThreads, RolledBackAttachmentsAreDiscardedAndDeletesCount) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client client({server.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    Error error;
    auto attach_text = [&](kc_lease *lease, const char *name, const std::string &text) {
        kc_source *source = nullptr;
        EXPECT_EQ(kc_source_from_memory(text.data(), text.size(), &source, error.reset()), KC_OK);
        kc_attach_req req;
        kc_attach_req_init(&req);
        req.name = name;
        kc_attach_res res{};
        int rc = kc_lease_attach(lease, &req, source, &res, error.reset());
        if (rc == KC_OK) {
            EXPECT_EQ(std::string(res.attachment.plaintext_sha256), sha256_of(text));
        }
        kc_attach_res_cleanup(&res);
        kc_source_close(source);
        return rc;
    };
    auto public_count = [&]() {
        kc_attachment_list_op op;
        kc_attachment_list_op_init(&op);
        op.lease.key = "docs";
        op.KC_PUBLIC_MEMBER = 1;
        kc_attachment_list list{};
        EXPECT_EQ(kc_list_attachments(client.get(), &op, &list, error.reset()), KC_OK) << error.text();
        size_t count = list.count;
        kc_attachment_list_cleanup(&list);
        return count;
    };

    {
        Lease lease;
        kc_acquire_req req = acquire_req("docs", "writer", 30);
        ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), &error), KC_OK) << error.text();
        ASSERT_EQ(attach_text(lease.get(), "a.txt", "alpha"), KC_OK) << error.text();
        ASSERT_EQ(attach_text(lease.get(), "b.txt", "beta"), KC_OK) << error.text();
        ASSERT_EQ(lease.release(1, error.reset()), KC_OK) << error.text();
    }
    EXPECT_EQ(public_count(), 0u) << "rollback must discard staged attachments";

    Lease lease;
    kc_acquire_req req = acquire_req("docs", "writer", 30);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), error.reset()), KC_OK) << error.text();
    for (const char *name : {"a.txt", "b.txt", "c.txt"}) ASSERT_EQ(attach_text(lease.get(), name, name), KC_OK);
    kc_attachment_selector selector;
    kc_attachment_selector_init(&selector);
    selector.name = "b.txt";
    int deleted = -1;
    ASSERT_EQ(kc_lease_delete_attachment(lease.get(), &selector, &deleted, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(deleted, 1);
    ASSERT_EQ(kc_lease_delete_attachment(lease.get(), &selector, &deleted, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(deleted, 0);
    ASSERT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(public_count(), 2u);

    Lease cleaner;
    ASSERT_EQ(kc_acquire(client.get(), &req, cleaner.out(), error.reset()), KC_OK) << error.text();
    int deleted_count = -1;
    ASSERT_EQ(kc_lease_delete_all_attachments(cleaner.get(), &deleted_count, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(deleted_count, 2);
    ASSERT_EQ(cleaner.release(0, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(public_count(), 0u);
}

TEST(E2eAttachmentThreads, EveryChangeUnderALeaseKeepsItsExpectedVersionCurrent) {
    // The lease sends its own version as the expected one, so each change must refresh it:
    // a state update after an attachment change would otherwise be refused as stale.
    DevServer server;
    ASSERT_TRUE(server.ready());
    Client client({server.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    Error error;
    Lease lease;
    kc_acquire_req req = acquire_req("versions", "writer", 30);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), &error), KC_OK) << error.text();
    ASSERT_EQ(update_text(lease.get(), "{\"v\":1}", error.reset()), KC_OK) << error.text();
    EXPECT_EQ(lease->version, 1);

    const char *name = "report 2024/\xc3\xbc&x=1.txt";
    const std::string text = "attachment body";
    kc_source *source = nullptr;
    ASSERT_EQ(kc_source_from_memory(text.data(), text.size(), &source, error.reset()), KC_OK);
    kc_attach_req attach;
    kc_attach_req_init(&attach);
    attach.name = name;
    kc_attach_res attached{};
    int rc = kc_lease_attach(lease.get(), &attach, source, &attached, error.reset());
    kc_source_close(source);
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_STREQ(attached.attachment.name, name);
    EXPECT_EQ(attached.version, 2);
    kc_attach_res_cleanup(&attached);
    EXPECT_EQ(lease->version, 2) << "attach must refresh the lease's version";
    EXPECT_EQ(update_text(lease.get(), "{\"v\":3}", error.reset()), KC_OK) << error.text();

    kc_sink *sink = nullptr;
    ASSERT_EQ(kc_sink_to_memory(&sink, error.reset()), KC_OK);
    kc_attachment_get_req get;
    kc_attachment_get_req_init(&get);
    get.selector.name = name;
    kc_attachment_get_res got{};
    rc = kc_lease_get_attachment(lease.get(), &get, sink, &got, error.reset());
    EXPECT_EQ(rc, KC_OK) << error.text();
    EXPECT_STREQ(got.name, name);
    const void *bytes = nullptr;
    size_t length = 0;
    kc_sink_memory_bytes(sink, &bytes, &length);
    EXPECT_EQ(std::string(static_cast<const char *>(bytes), length), text);
    kc_sink_close(sink);
    kc_attachment_get_res_cleanup(&got);

    kc_attachment_selector selector;
    kc_attachment_selector_init(&selector);
    selector.name = name;
    int deleted = 0;
    ASSERT_EQ(kc_lease_delete_attachment(lease.get(), &selector, &deleted, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(update_text(lease.get(), "{\"v\":5}", error.reset()), KC_OK)
        << "after delete_attachment: " << error.text();

    ASSERT_EQ(kc_source_from_memory(text.data(), text.size(), &source, error.reset()), KC_OK);
    rc = kc_lease_attach(lease.get(), &attach, source, &attached, error.reset());
    kc_source_close(source);
    ASSERT_EQ(rc, KC_OK) << error.text();
    kc_attach_res_cleanup(&attached);
    int deleted_count = 0;
    ASSERT_EQ(kc_lease_delete_all_attachments(lease.get(), &deleted_count, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(deleted_count, 1);
    EXPECT_EQ(update_text(lease.get(), "{\"v\":8}", error.reset()), KC_OK)
        << "after delete_all_attachments: " << error.text();

    kc_metadata_req meta;
    kc_metadata_req_init(&meta);
    meta.query_hidden_set = 1;
    meta.query_hidden = 1;
    kc_metadata_res meta_res{};
    ASSERT_EQ(kc_lease_metadata(lease.get(), &meta, &meta_res, error.reset()), KC_OK) << error.text();
    kc_metadata_res_cleanup(&meta_res);
    EXPECT_EQ(update_text(lease.get(), "{\"v\":10}", error.reset()), KC_OK) << "after metadata: " << error.text();
    kc_remove_res removed{};
    ASSERT_EQ(kc_lease_remove(lease.get(), nullptr, &removed, error.reset()), KC_OK) << error.text();
    kc_remove_res_cleanup(&removed);
    EXPECT_EQ(update_text(lease.get(), "{\"v\":12}", error.reset()), KC_OK) << "after remove: " << error.text();
    EXPECT_EQ(lease->version, 12);
    ASSERT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();
    StateRead committed = public_state(client.get(), "versions", error.reset());
    EXPECT_EQ(committed.body, "{\"v\":12}");
    EXPECT_EQ(committed.version, 12);
}

// ---- Failover from a passive node ----------------------------------------------------------------

TEST(E2eFailoverThreads, PassiveFirstNodeIsSkippedForEveryKindOfRequest) {
    DevServer passive({"--passive"});
    DevServer active;
    ASSERT_TRUE(passive.ready());
    ASSERT_TRUE(active.ready());
    Client client({passive.http_url(), active.http_url()});
    Client passive_only({passive.http_url()});
    Client active_only({active.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    ASSERT_EQ(passive_only.open_code(), KC_OK);
    ASSERT_EQ(active_only.open_code(), KC_OK);
    Error error;

    // Alone, the passive node answers 503 node_passive.
    Described refused = describe(passive_only.get(), "failover", &error);
    EXPECT_EQ(refused.rc, KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 503);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "node_passive");

    Lease lease;
    kc_acquire_req req = acquire_req("failover", "client", 30);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), error.reset()), KC_OK) << error.text();
    // A streamed upload from a file (rewound for each attempt), a streamed read, an attachment.
    TempDir dir;
    const std::string doc = "{\"moved\":\"to the active node\",\"pad\":\"" + std::string(20000, 'p') + "\"}";
    const std::string doc_path = dir.write("doc.json", doc);
    kc_source *source = nullptr;
    ASSERT_EQ(kc_source_from_file(doc_path.c_str(), &source, error.reset()), KC_OK);
    kc_update_res updated{};
    int rc = kc_lease_update(lease.get(), source, nullptr, &updated, error.reset());
    kc_source_close(source);
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_EQ(updated.bytes, static_cast<int64_t>(doc.size()));
    kc_update_res_cleanup(&updated);
    StateRead held = read_state(client.get(), lease.get(), "failover", error.reset());
    EXPECT_EQ(held.rc, KC_OK) << error.text();
    EXPECT_EQ(held.body, doc);
    // Large enough that the passive node answers before the upload could have been sent whole.
    std::string blob(8u << 20, '\0');
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>((i * 7919) >> 5);
    ASSERT_EQ(kc_source_from_memory(blob.data(), blob.size(), &source, error.reset()), KC_OK);
    kc_attach_req attach;
    kc_attach_req_init(&attach);
    attach.name = "blob";
    kc_attach_res attached{};
    rc = kc_lease_attach(lease.get(), &attach, source, &attached, error.reset());
    kc_source_close(source);
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_EQ(std::string(attached.attachment.plaintext_sha256), sha256_of(blob));
    kc_attach_res_cleanup(&attached);
    ASSERT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();

    // Everything landed on the active node.
    StateRead on_active = public_state(active_only.get(), "failover", error.reset());
    EXPECT_EQ(on_active.rc, KC_OK) << error.text();
    EXPECT_EQ(on_active.body, doc);
    EXPECT_EQ(on_active.version, 2);

    // Made active, the formerly passive node knows nothing of the key.
    passive.signal(SIGUSR1);
    Described after{};
    auto deadline = Clock::now() + std::chrono::seconds(5);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        after = describe(passive_only.get(), "failover", error.reset());
    } while (error.e.http_status == 503 && Clock::now() < deadline);
    EXPECT_EQ(after.rc, KC_ERR_SERVER);
    EXPECT_EQ(error.e.http_status, 404);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "key_not_found");
}

TEST(E2eFailoverThreads, JsonRequestsSkipADeadEndpointStreamedOnesDoNot) {
    DevServer passive({"--passive"});
    DevServer active;
    ASSERT_TRUE(passive.ready());
    ASSERT_TRUE(active.ready());
    const std::string dead = "http://127.0.0.1:" + std::to_string(korvo::testing::unused_port());
    Client client({dead, passive.http_url(), active.http_url()});
    Client active_only({active.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    ASSERT_EQ(active_only.open_code(), KC_OK);
    Error error;

    // Typed JSON requests move past a refused connection and a passive node.
    Lease lease;
    kc_acquire_req req = acquire_req("dead-first", "client", 30);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), &error), KC_OK) << error.text();
    EXPECT_EQ(keepalive(lease.get(), 20, error.reset()), KC_OK) << error.text();
    Described held = describe(active_only.get(), "dead-first", error.reset());
    EXPECT_EQ(held.rc, KC_OK) << error.text();
    EXPECT_EQ(held.owner, "client");

    // Streamed transfers end at a transport failure instead of trying the next endpoint.
    const std::string doc = "{\"a\":1}";
    EXPECT_EQ(update_text(lease.get(), doc, error.reset()), KC_ERR_TRANSPORT);
    EXPECT_EQ(read_state(client.get(), lease.get(), "dead-first", error.reset()).rc, KC_ERR_TRANSPORT);
    ASSERT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();
    EXPECT_EQ(describe(active_only.get(), "dead-first", error.reset()).owner, "");
}

TEST(E2eFailoverThreads, OnlyPassiveNodesGiveTheLastRefusal) {
    DevServer first({"--passive"});
    DevServer second({"--passive"});
    ASSERT_TRUE(first.ready());
    ASSERT_TRUE(second.ready());
    Client client({first.http_url(), second.http_url()});
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    Error error;
    Lease lease;
    kc_acquire_req req = acquire_req("nowhere", "client", 30);
    EXPECT_EQ(kc_acquire(client.get(), &req, lease.out(), &error), KC_ERR_SERVER);
    EXPECT_EQ(lease.get(), nullptr);
    EXPECT_EQ(error.e.http_status, 503);
    ASSERT_NE(error.e.server_error, nullptr);
    EXPECT_STREQ(error.e.server_error, "node_passive");
    // A streamed read that finds no active node ends as a transport failure.
    StateRead state = public_state(client.get(), "nowhere", error.reset());
    EXPECT_EQ(state.rc, KC_ERR_TRANSPORT);
    ASSERT_NE(error.e.message, nullptr);
    EXPECT_STREQ(error.e.message, "all endpoints rejected the request");
}

// ---- Mutual TLS and Unix sockets ------------------------------------------------------------------

std::vector<std::string> tls_args() {
    const auto &pki = test_pki();
    return {"--cert", pki.server_cert, "--key", pki.server_key, "--client-ca", pki.ca_cert};
}

// Acquires, writes, reads back and releases one key; returns the first failing code.
int round_trip(kc_client *client, const char *key, Error &error) {
    Lease lease;
    kc_acquire_req req = acquire_req(key, "tls-user", 30);
    int rc = kc_acquire(client, &req, lease.out(), error.reset());
    if (rc != KC_OK) return rc;
    const std::string doc = std::string("{\"key\":\"") + key + "\"}";
    if ((rc = update_text(lease.get(), doc, error.reset())) != KC_OK) return rc;
    StateRead seen = read_state(client, lease.get(), key, error.reset());
    if (seen.rc != KC_OK) return seen.rc;
    EXPECT_EQ(seen.body, doc);
    return lease.release(0, error.reset());
}

TEST(E2eTlsThreads, MutualTlsAcceptsOnlyTheTrustedClientBundle) {
    DevServer server(tls_args());
    ASSERT_TRUE(server.ready());
    const auto &pki = test_pki();
    Error error;

    // The trusted bundle, by path and as a source, against both URL forms.
    {
        Client client({server.https_url()}, [&](kc_client_config &config) {
            config.disable_mtls = 0;
            config.client_bundle_path = pki.client_bundle.c_str();
        });
        ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
        EXPECT_EQ(round_trip(client.get(), "tls/path", error), KC_OK) << error.text();
    }
    {
        std::string bundle = korvo::testing::TestPki::read(pki.client_bundle_ca_first);
        kc_source *source = nullptr;
        ASSERT_EQ(kc_source_from_memory(bundle.data(), bundle.size(), &source, nullptr), KC_OK);
        Client client({server.host_port()}, [&](kc_client_config &config) {
            config.disable_mtls = 0;
            config.client_bundle_source = source;
        });
        kc_source_close(source);
        ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
        EXPECT_EQ(round_trip(client.get(), "tls/source", error), KC_OK) << error.text();
    }

    // Without a client certificate the server refuses the handshake (the server's certificate
    // is not checked here, so only the missing client certificate can fail it).
    {
        Client client({server.https_url()}, [&](kc_client_config &config) {
            config.disable_mtls = 1;
            config.insecure_skip_verify = 1;
        });
        ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
        EXPECT_EQ(round_trip(client.get(), "tls/none", error), KC_ERR_TRANSPORT) << error.text();
    }
    // Mutual TLS without any bundle cannot even open.
    {
        Client client({server.https_url()}, [&](kc_client_config &config) { config.disable_mtls = 0; });
        EXPECT_EQ(client.open_code(), KC_ERR_INVALID);
        EXPECT_EQ(client.get(), nullptr);
    }
    // A certificate from another CA is refused by the server.
    {
        Client client({server.https_url()}, [&](kc_client_config &config) {
            config.disable_mtls = 0;
            config.insecure_skip_verify = 1;
            config.client_bundle_path = pki.other_client_bundle.c_str();
        });
        ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
        EXPECT_EQ(round_trip(client.get(), "tls/other", error), KC_ERR_TRANSPORT) << error.text();
    }
    // That bundle also does not trust the server's certificate.
    {
        Client client({server.https_url()}, [&](kc_client_config &config) {
            config.disable_mtls = 0;
            config.client_bundle_path = pki.other_client_bundle.c_str();
        });
        ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
        EXPECT_EQ(round_trip(client.get(), "tls/untrusted-server", error), KC_ERR_TRANSPORT) << error.text();
    }
    // Nothing of the refused clients reached the store.
    Client check({server.https_url()}, [&](kc_client_config &config) {
        config.disable_mtls = 0;
        config.client_bundle_path = pki.client_bundle.c_str();
    });
    ASSERT_EQ(check.open_code(), KC_OK);
    for (const char *key : {"tls/none", "tls/other", "tls/untrusted-server"}) {
        Described d = describe(check.get(), key, error.reset());
        EXPECT_EQ(d.rc, KC_ERR_SERVER) << key;
        EXPECT_EQ(error.e.http_status, 404) << key;
    }
    EXPECT_EQ(describe(check.get(), "tls/source", error.reset()).version, 1);
}

TEST(E2eTlsThreads, MutualTlsOverAUnixSocket) {
    TempDir dir;
    const std::string socket_path = dir.file("tls.sock");
    std::vector<std::string> args = tls_args();
    args.insert(args.end(), {"--unix", socket_path, "--no-tcp"});
    DevServer server(args);
    ASSERT_TRUE(server.ready());
    const auto &pki = test_pki();
    Error error;
    Client trusted({"https://localhost"}, [&](kc_client_config &config) {
        config.unix_socket_path = socket_path.c_str();
        config.disable_mtls = 0;
        config.client_bundle_path = pki.client_bundle.c_str();
    });
    ASSERT_EQ(trusted.open_code(), KC_OK) << trusted.open_error().text();
    EXPECT_EQ(round_trip(trusted.get(), "unix/tls", error), KC_OK) << error.text();
    Client stranger({"https://localhost"}, [&](kc_client_config &config) {
        config.unix_socket_path = socket_path.c_str();
        config.disable_mtls = 0;
        config.insecure_skip_verify = 1;
        config.client_bundle_path = pki.other_client_bundle.c_str();
    });
    ASSERT_EQ(stranger.open_code(), KC_OK) << stranger.open_error().text();
    EXPECT_EQ(round_trip(stranger.get(), "unix/stranger", error), KC_ERR_TRANSPORT) << error.text();
}

TEST(E2eUnixSocketThreads, ClientReachesTheServerThroughItsSocketOnly) {
    TempDir dir;
    const std::string socket_path = dir.file("korvo.sock");
    DevServer server({"--unix", socket_path, "--no-tcp"});
    ASSERT_TRUE(server.ready());
    EXPECT_EQ(server.port(), 0);
    EXPECT_EQ(server.unix_path(), socket_path);
    Client client({"http://localhost"}, [&](kc_client_config &config) {
        config.unix_socket_path = socket_path.c_str();
    });
    ASSERT_EQ(client.open_code(), KC_OK) << client.open_error().text();
    Error error;
    EXPECT_EQ(round_trip(client.get(), "over/unix", error), KC_OK) << error.text();
    Described d = describe(client.get(), "over/unix", error.reset());
    EXPECT_EQ(d.rc, KC_OK) << error.text();
    EXPECT_EQ(d.version, 1);
    EXPECT_EQ(d.state_etag, sha256_of("{\"key\":\"over/unix\"}"));

    // A large attachment streams through the socket too.
    Lease lease;
    kc_acquire_req req = acquire_req("over/unix", "unix-user", 30);
    ASSERT_EQ(kc_acquire(client.get(), &req, lease.out(), error.reset()), KC_OK) << error.text();
    std::string payload(3 << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 2654435761u) >> 13);
    kc_source *source = nullptr;
    ASSERT_EQ(kc_source_from_memory(payload.data(), payload.size(), &source, error.reset()), KC_OK);
    kc_attach_req attach;
    kc_attach_req_init(&attach);
    attach.name = "payload";
    kc_attach_res attached{};
    int rc = kc_lease_attach(lease.get(), &attach, source, &attached, error.reset());
    kc_source_close(source);
    ASSERT_EQ(rc, KC_OK) << error.text();
    EXPECT_EQ(std::string(attached.attachment.plaintext_sha256), sha256_of(payload));
    kc_attach_res_cleanup(&attached);
    kc_sink *sink = nullptr;
    ASSERT_EQ(kc_sink_to_memory(&sink, error.reset()), KC_OK);
    kc_attachment_get_req get;
    kc_attachment_get_req_init(&get);
    get.selector.name = "payload";
    kc_attachment_get_res got{};
    rc = kc_lease_get_attachment(lease.get(), &get, sink, &got, error.reset());
    ASSERT_EQ(rc, KC_OK) << error.text();
    const void *bytes = nullptr;
    size_t length = 0;
    kc_sink_memory_bytes(sink, &bytes, &length);
    ASSERT_EQ(length, payload.size());
    EXPECT_EQ(std::memcmp(bytes, payload.data(), length), 0);
    kc_sink_close(sink);
    kc_attachment_get_res_cleanup(&got);
    EXPECT_EQ(lease.release(0, error.reset()), KC_OK) << error.text();
}

} // namespace
