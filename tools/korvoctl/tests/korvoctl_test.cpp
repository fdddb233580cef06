// The korvoctl executable: a lease named across invocations (acquire, update, get, keepalive,
// release), attachments, the JSON results on stdout and errors on stderr, the exit code of
// each error class, usage errors and the help of every subcommand.
#include "vellum.h"

#include "fixtures.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using korvo::testing::list_files;
using korvo::testing::read_file;
using korvo::testing::TempDir;
using Clock = std::chrono::steady_clock;

// The environment without KORVO_ENDPOINTS, so that only the arguments name servers.
std::vector<std::string> clean_environment() {
    std::vector<std::string> out;
    for (char **entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "KORVO_ENDPOINTS=", 16) != 0) out.emplace_back(*entry);
    return out;
}

struct Outcome {
    int exit_code = -1; // -2: killed by a signal; -1: did not finish in time
    std::string out, err;
};

// Runs program with args; stdin comes from stdin_path ("" means /dev/null). Both output
// streams are collected until the program ends (at most timeout_ms).
Outcome run_program(const std::string &program, const std::vector<std::string> &args, const std::string &stdin_path = "",
                int timeout_ms = 30000) {
    Outcome run;
    int out_pipe[2], err_pipe[2];
    if (::pipe(out_pipe) != 0) return run;
    if (::pipe(err_pipe) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return run;
    }
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = clean_environment();
    std::vector<char *> envp;
    for (std::string &entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    int open_streams = pid > 0 ? 2 : 0;
    while (open_streams > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        if (::poll(fds, 2, static_cast<int>(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    if (pid > 0) {
        int status = 0;
        if (open_streams > 0) ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        if (open_streams == 0) run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    return run;
}

std::string describe_run(const Outcome &run) {
    return "exit " + std::to_string(run.exit_code) + "\nstdout: " + run.out + "\nstderr: " + run.err;
}

// ---- The dev server ----------------------------------------------------------------------------

class DevServer {
  public:
    DevServer() {
        log_path_ = dir_.file("server.log");
        std::vector<std::string> all = {KORVO_DEVSERVER_PATH, "--port", "0", "--log-file", log_path_};
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
        std::string pending;
        auto deadline = Clock::now() + std::chrono::seconds(15);
        while (pid_ > 0 && Clock::now() < deadline && pending.find("ready\n") == std::string::npos) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            char buffer[256];
            ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            pending.append(buffer, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        const std::string prefix = "listening on 127.0.0.1:";
        size_t at = pending.find(prefix);
        if (at != std::string::npos && pending.find("ready\n") != std::string::npos)
            port_ = std::atoi(pending.c_str() + at + prefix.size());
    }
    ~DevServer() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "korvo-devserver did not stop cleanly; its log:\n" << korvo::testing::read_file(log_path_);
    }
    DevServer(const DevServer &) = delete;
    DevServer &operator=(const DevServer &) = delete;
    bool ready() const { return port_ > 0; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  private:
    TempDir dir_;
    std::string log_path_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// ---- korvoctl and its JSON ------------------------------------------------------------------------

Outcome korvoctl(const std::vector<std::string> &args, const std::string &stdin_path = "") {
    return run_program(KORVOCTL_PATH, args, stdin_path);
}

// One JSON object on one line, nothing else.
bool single_json_line(const std::string &text) {
    if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) return false;
    vellum_error error;
    return vellum_validate_buffer(text.data(), text.size(), &error) == VELLUM_STATUS_OK && text[0] == '{';
}

struct LeaseOut {
    char *key;
    char *owner;
    char *lease_id;
    char *txn_id;
    int64_t fencing_token;
    int64_t version;
    char *state_etag;
    int64_t expires_at;
};
const vellum_field kLeaseFields[] = {
    VELLUM_FIELD_STRING(LeaseOut, key, "key", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(LeaseOut, owner, "owner", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(LeaseOut, lease_id, "lease_id", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(LeaseOut, txn_id, "txn_id", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(LeaseOut, fencing_token, "fencing_token", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(LeaseOut, version, "version", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(LeaseOut, state_etag, "state_etag", 0),
    VELLUM_FIELD_I64(LeaseOut, expires_at, "expires_at", VELLUM_FIELD_REQUIRED),
};
const vellum_map kLeaseMap = VELLUM_MAP(LeaseOut, kLeaseFields);

struct UpdateOut {
    int64_t new_version;
    char *new_state_etag;
    int64_t bytes;
};
const vellum_field kUpdateFields[] = {
    VELLUM_FIELD_I64(UpdateOut, new_version, "new_version", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(UpdateOut, new_state_etag, "new_state_etag", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(UpdateOut, bytes, "bytes", VELLUM_FIELD_REQUIRED),
};
const vellum_map kUpdateMap = VELLUM_MAP(UpdateOut, kUpdateFields);

struct GetOut {
    int32_t is_public;
    int32_t no_content;
    int64_t version;
    char *etag;
    int64_t fencing_token;
};
const vellum_field kGetFields[] = {
    VELLUM_FIELD_BOOL(GetOut, is_public, "public", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_BOOL(GetOut, no_content, "no_content", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(GetOut, version, "version", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(GetOut, etag, "etag", 0),
    VELLUM_FIELD_I64(GetOut, fencing_token, "fencing_token", 0),
};
const vellum_map kGetMap = VELLUM_MAP(GetOut, kGetFields);

struct DescribeOut {
    char *owner;
    char *lease_id;
    int64_t version;
    char *state_etag;
};
const vellum_field kDescribeFields[] = {
    VELLUM_FIELD_STRING(DescribeOut, owner, "owner", 0),
    VELLUM_FIELD_STRING(DescribeOut, lease_id, "lease_id", 0),
    VELLUM_FIELD_I64(DescribeOut, version, "version", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(DescribeOut, state_etag, "state_etag", 0),
};
const vellum_map kDescribeMap = VELLUM_MAP(DescribeOut, kDescribeFields);

struct ErrorBody {
    int64_t code;
    int64_t http_status;
    char *message;
    char *server_error;
};
const vellum_field kErrorBodyFields[] = {
    VELLUM_FIELD_I64(ErrorBody, code, "code", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(ErrorBody, http_status, "http_status", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(ErrorBody, message, "message", 0),
    VELLUM_FIELD_STRING(ErrorBody, server_error, "server_error", 0),
};
const vellum_map kErrorBodyMap = VELLUM_MAP(ErrorBody, kErrorBodyFields);
struct ErrorOut {
    ErrorBody error;
};
const vellum_field kErrorFields[] = {
    VELLUM_FIELD_OBJECT(ErrorOut, error, "error", &kErrorBodyMap, VELLUM_FIELD_REQUIRED),
};
const vellum_map kErrorMap = VELLUM_MAP(ErrorOut, kErrorFields);

struct AttachmentOut {
    char *id;
    char *name;
    int64_t size;
    char *sha256;
};
const vellum_field kAttachmentFields[] = {
    VELLUM_FIELD_STRING(AttachmentOut, id, "id", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(AttachmentOut, name, "name", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(AttachmentOut, size, "size", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(AttachmentOut, sha256, "sha256", VELLUM_FIELD_REQUIRED),
};
const vellum_map kAttachmentMap = VELLUM_MAP(AttachmentOut, kAttachmentFields);
struct AttachOut {
    AttachmentOut attachment;
    int32_t noop;
};
const vellum_field kAttachFields[] = {
    VELLUM_FIELD_OBJECT(AttachOut, attachment, "attachment", &kAttachmentMap, VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_BOOL(AttachOut, noop, "noop", VELLUM_FIELD_REQUIRED),
};
const vellum_map kAttachMap = VELLUM_MAP(AttachOut, kAttachFields);

// A mapped record parsed from korvoctl's output, released at the end.
template <typename T>
struct Parsed {
    const vellum_map *map;
    T value{};
    vellum_status status = VELLUM_STATUS_INVALID_ARGUMENT;
    std::string message;
    Parsed(const vellum_map &m, const std::string &text) : map(&m) {
        vellum_error error;
        status = vellum_parse_buffer(map, &value, text.data(), text.size(), nullptr, &error);
        if (status != VELLUM_STATUS_OK) message = error.message;
    }
    ~Parsed() { vellum_cleanup(map, &value); }
    Parsed(const Parsed &) = delete;
    Parsed &operator=(const Parsed &) = delete;
    bool ok() const { return status == VELLUM_STATUS_OK; }
    const T *operator->() const { return &value; }
};

std::string str(const char *text) { return text ? text : "<null>"; }

// The connection options plus the lease options of an acquire's output.
struct Session {
    std::vector<std::string> connection;
    std::vector<std::string> lease;
    std::vector<std::string> with(std::vector<std::string> args, bool lease_options = true) const {
        std::vector<std::string> out = std::move(args);
        out.insert(out.end(), connection.begin(), connection.end());
        if (lease_options) out.insert(out.end(), lease.begin(), lease.end());
        return out;
    }
};

// ---- Round trips against the dev server ------------------------------------------------------------

TEST(KorvoctlThreads, LeaseRoundTripAcrossInvocations) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir;
    Session s;
    s.connection = {"--endpoint", server.url(), "--no-mtls"};

    Outcome acquired = korvoctl(s.with({"acquire", "--key", "shop/cart", "--owner", "cli", "--ttl", "30"}, false));
    ASSERT_EQ(acquired.exit_code, 0) << describe_run(acquired);
    ASSERT_TRUE(single_json_line(acquired.out)) << acquired.out;
    Parsed<LeaseOut> lease(kLeaseMap, acquired.out);
    ASSERT_TRUE(lease.ok()) << lease.message;
    EXPECT_EQ(str(lease->key), "shop/cart");
    EXPECT_EQ(str(lease->owner), "cli");
    EXPECT_EQ(std::strlen(lease->lease_id), 32u);
    EXPECT_GT(std::strlen(lease->txn_id), 0u);
    EXPECT_EQ(lease->fencing_token, 1);
    EXPECT_EQ(lease->version, 0);
    EXPECT_GT(lease->expires_at, 1600000000);
    s.lease = {"--key", "shop/cart", "--lease-id", lease->lease_id, "--txn-id", lease->txn_id, "--fencing-token",
               std::to_string(lease->fencing_token)};

    // Update from --data, then from a file, then from standard input.
    Outcome updated = korvoctl(s.with({"update", "--data", "{\"items\":[1]}"}));
    ASSERT_EQ(updated.exit_code, 0) << describe_run(updated);
    Parsed<UpdateOut> first(kUpdateMap, updated.out);
    ASSERT_TRUE(first.ok()) << first.message;
    EXPECT_EQ(first->new_version, 1);
    EXPECT_EQ(first->bytes, 13);
    const std::string file_doc = dir.write("doc.json", "{\"items\":[1,2]}");
    updated = korvoctl(s.with({"update", "--file", file_doc, "--if-version", "1"}));
    ASSERT_EQ(updated.exit_code, 0) << describe_run(updated);
    const std::string stdin_doc = dir.write("stdin.json", "{\"items\":[1,2,3]}");
    updated = korvoctl(s.with({"update", "--if-version", "2"}), stdin_doc);
    ASSERT_EQ(updated.exit_code, 0) << describe_run(updated);
    Parsed<UpdateOut> third(kUpdateMap, updated.out);
    ASSERT_TRUE(third.ok()) << third.message;
    EXPECT_EQ(third->new_version, 3);
    EXPECT_EQ(third->bytes, 17);

    // The holder sees the staged document; others see nothing until release.
    Outcome held = korvoctl(s.with({"get"}));
    ASSERT_EQ(held.exit_code, 0) << describe_run(held);
    ASSERT_TRUE(single_json_line(held.out)) << held.out;
    EXPECT_NE(held.out.find("\"state\":{\"items\":[1,2,3]}"), std::string::npos) << held.out;
    Parsed<GetOut> held_get(kGetMap, held.out);
    ASSERT_TRUE(held_get.ok()) << held_get.message;
    EXPECT_FALSE(held_get->is_public);
    EXPECT_EQ(held_get->version, 3);
    EXPECT_EQ(str(held_get->etag), "\"" + str(third->new_state_etag) + "\"");
    Outcome outsider = korvoctl(s.with({"get", "--key", "shop/cart"}, false));
    ASSERT_EQ(outsider.exit_code, 0) << describe_run(outsider);
    Parsed<GetOut> outsider_get(kGetMap, outsider.out);
    ASSERT_TRUE(outsider_get.ok()) << outsider_get.message;
    EXPECT_TRUE(outsider_get->is_public);
    EXPECT_TRUE(outsider_get->no_content);
    EXPECT_NE(outsider.out.find("\"state\":null"), std::string::npos) << outsider.out;

    Outcome kept = korvoctl(s.with({"keepalive", "--ttl", "60"}));
    ASSERT_EQ(kept.exit_code, 0) << describe_run(kept);
    EXPECT_NE(kept.out.find("\"version\":3"), std::string::npos) << kept.out;

    Outcome described = korvoctl(s.with({"describe", "--key", "shop/cart"}, false));
    ASSERT_EQ(described.exit_code, 0) << describe_run(described);
    Parsed<DescribeOut> during(kDescribeMap, described.out);
    ASSERT_TRUE(during.ok()) << during.message;
    EXPECT_EQ(str(during->owner), "cli");
    EXPECT_EQ(str(during->lease_id), str(lease->lease_id));
    EXPECT_EQ(during->version, 0) << "describe shows the committed view";

    Outcome released = korvoctl(s.with({"release"}));
    ASSERT_EQ(released.exit_code, 0) << describe_run(released);
    ASSERT_TRUE(single_json_line(released.out)) << released.out;
    EXPECT_NE(released.out.find("\"released\":true"), std::string::npos) << released.out;

    // Committed: public reads and describe show the last document.
    Outcome committed = korvoctl(s.with({"get", "--key", "shop/cart"}, false));
    ASSERT_EQ(committed.exit_code, 0) << describe_run(committed);
    EXPECT_NE(committed.out.find("\"state\":{\"items\":[1,2,3]}"), std::string::npos) << committed.out;
    const std::string out_path = dir.file("state.out");
    Outcome to_file = korvoctl(s.with({"get", "--key", "shop/cart", "--out", out_path}, false));
    ASSERT_EQ(to_file.exit_code, 0) << describe_run(to_file);
    EXPECT_EQ(korvo::testing::read_file(out_path), "{\"items\":[1,2,3]}");
    described = korvoctl(s.with({"describe", "--key", "shop/cart"}, false));
    ASSERT_EQ(described.exit_code, 0) << describe_run(described);
    Parsed<DescribeOut> after(kDescribeMap, described.out);
    ASSERT_TRUE(after.ok()) << after.message;
    EXPECT_EQ(after->owner, nullptr);
    EXPECT_EQ(after->version, 3);
    EXPECT_EQ(str(after->state_etag), str(third->new_state_etag));

    // The released lease is gone: using it again is a conflict (16) reported on stderr.
    Outcome again = korvoctl(s.with({"update", "--data", "{}"}));
    EXPECT_EQ(again.exit_code, 16) << describe_run(again);
    EXPECT_EQ(again.out, "");
    Parsed<ErrorOut> error(kErrorMap, again.err);
    ASSERT_TRUE(error.ok()) << error.message << "\n" << again.err;
    EXPECT_EQ(error->error.http_status, 409);
    EXPECT_EQ(str(error->error.server_error), "lease_not_held");
}

TEST(KorvoctlThreads, ConflictsExitSixteenWithTheErrorRecordOnStderr) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    Session s;
    s.connection = {"--endpoint", server.url(), "--no-mtls"};
    Outcome first = korvoctl(s.with({"acquire", "--key", "k", "--owner", "one"}, false));
    ASSERT_EQ(first.exit_code, 0) << describe_run(first);
    Parsed<LeaseOut> lease(kLeaseMap, first.out);
    ASSERT_TRUE(lease.ok()) << lease.message;
    s.lease = {"--key", "k", "--lease-id", lease->lease_id, "--txn-id", lease->txn_id, "--fencing-token",
               std::to_string(lease->fencing_token)};

    Outcome held = korvoctl(s.with({"acquire", "--key", "k", "--owner", "two"}, false));
    EXPECT_EQ(held.exit_code, 16) << describe_run(held);
    EXPECT_EQ(held.out, "");
    ASSERT_TRUE(single_json_line(held.err)) << held.err;
    Parsed<ErrorOut> held_error(kErrorMap, held.err);
    ASSERT_TRUE(held_error.ok()) << held_error.message;
    EXPECT_EQ(held_error->error.code, 5);
    EXPECT_EQ(held_error->error.http_status, 409);
    EXPECT_EQ(str(held_error->error.server_error), "lease_held");
    EXPECT_NE(held.err.find("\"correlation_id\":\""), std::string::npos) << held.err;

    Outcome stale = korvoctl(s.with({"update", "--data", "{}", "--if-version", "4"}));
    EXPECT_EQ(stale.exit_code, 16) << describe_run(stale);
    Parsed<ErrorOut> stale_error(kErrorMap, stale.err);
    ASSERT_TRUE(stale_error.ok()) << stale_error.message;
    EXPECT_EQ(str(stale_error->error.server_error), "version_conflict");

    Outcome wrong_tag = korvoctl(s.with({"update", "--data", "{}", "--if-etag", "abc"}));
    EXPECT_EQ(wrong_tag.exit_code, 16) << describe_run(wrong_tag);
    Parsed<ErrorOut> tag_error(kErrorMap, wrong_tag.err);
    ASSERT_TRUE(tag_error.ok()) << tag_error.message;
    EXPECT_EQ(str(tag_error->error.server_error), "etag_conflict");

    // A blocking acquire waits for the release and wins with a higher fencing token.
    auto start = Clock::now();
    Outcome blocked;
    std::thread waiter([&] { blocked = korvoctl(s.with({"acquire", "--key", "k", "--owner", "two", "--block", "10"}, false)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Outcome released = korvoctl(s.with({"release"}));
    waiter.join();
    EXPECT_EQ(released.exit_code, 0) << describe_run(released);
    ASSERT_EQ(blocked.exit_code, 0) << describe_run(blocked);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 450);
    Parsed<LeaseOut> second(kLeaseMap, blocked.out);
    ASSERT_TRUE(second.ok()) << second.message;
    EXPECT_EQ(str(second->owner), "two");
    EXPECT_GT(second->fencing_token, lease->fencing_token);
}

TEST(KorvoctlThreads, OtherFailuresHaveTheirOwnExitCodes) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    // A server error other than 409: 15.
    Outcome missing = korvoctl({"describe", "--key", "no-such-key", "--endpoint", server.url(), "--no-mtls"});
    EXPECT_EQ(missing.exit_code, 15) << describe_run(missing);
    Parsed<ErrorOut> missing_error(kErrorMap, missing.err);
    ASSERT_TRUE(missing_error.ok()) << missing_error.message << "\n" << missing.err;
    EXPECT_EQ(missing_error->error.http_status, 404);
    EXPECT_EQ(str(missing_error->error.server_error), "key_not_found");

    // Nothing listening: a transport failure, 13.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    const std::string dead = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ::close(probe);
    Outcome unreachable = korvoctl({"describe", "--key", "k", "--endpoint", dead, "--no-mtls"});
    EXPECT_EQ(unreachable.exit_code, 13) << describe_run(unreachable);
    Parsed<ErrorOut> transport(kErrorMap, unreachable.err);
    ASSERT_TRUE(transport.ok()) << transport.message << "\n" << unreachable.err;
    EXPECT_EQ(transport->error.code, 3);
    EXPECT_EQ(transport->error.http_status, 0);

    // Failover: the dead endpoint first, the server second.
    Outcome failover = korvoctl({"describe", "--key", "k", "--endpoint", dead, "--endpoint", server.url(), "--no-mtls"});
    EXPECT_EQ(failover.exit_code, 15) << "the second endpoint answers 404: " << describe_run(failover);
    Parsed<ErrorOut> answered(kErrorMap, failover.err);
    ASSERT_TRUE(answered.ok()) << answered.message;
    EXPECT_EQ(answered->error.http_status, 404);

    // A failed download leaves an existing output file as it was, and no partial file beside it.
    TempDir dir;
    const std::string kept = dir.write("kept.json", "{\"precious\":true}");
    Outcome refused = korvoctl({"get", "--key", "no-such-key", "--lease-id", "nope", "--fencing-token", "1",
                                "--out", kept, "--endpoint", server.url(), "--no-mtls"});
    EXPECT_NE(refused.exit_code, 0) << describe_run(refused);
    EXPECT_EQ(read_file(kept), "{\"precious\":true}");
    EXPECT_EQ(list_files(dir.path()).size(), 1u);

    // An unreadable client bundle fails the client's open (not a usage error).
    Outcome bad_bundle = korvoctl({"describe", "--key", "k", "--endpoint", server.url(), "--bundle", "/nonexistent/b.pem"});
    EXPECT_NE(bad_bundle.exit_code, 0) << describe_run(bad_bundle);
    EXPECT_NE(bad_bundle.exit_code, 2) << describe_run(bad_bundle);
    EXPECT_TRUE(single_json_line(bad_bundle.err)) << bad_bundle.err;
}

TEST(KorvoctlThreads, AttachmentsRoundTripThroughFilesAndStdout) {
    DevServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir;
    Session s;
    s.connection = {"--endpoint", server.url(), "--no-mtls"};
    Outcome acquired = korvoctl(s.with({"acquire", "--key", "files", "--owner", "cli"}, false));
    ASSERT_EQ(acquired.exit_code, 0) << describe_run(acquired);
    Parsed<LeaseOut> lease(kLeaseMap, acquired.out);
    ASSERT_TRUE(lease.ok()) << lease.message;
    s.lease = {"--key", "files", "--lease-id", lease->lease_id, "--txn-id", lease->txn_id, "--fencing-token",
               std::to_string(lease->fencing_token)};

    std::string content;
    for (int i = 0; i < 70000; ++i) content += static_cast<char>((i * 131) % 251);
    const std::string source = dir.write("in.bin", content);
    Outcome attached = korvoctl(s.with({"attach", "--name", "blob", "--file", source, "--content-type", "x/y"}));
    ASSERT_EQ(attached.exit_code, 0) << describe_run(attached);
    Parsed<AttachOut> info(kAttachMap, attached.out);
    ASSERT_TRUE(info.ok()) << info.message;
    EXPECT_EQ(info->attachment.size, static_cast<int64_t>(content.size()));
    EXPECT_EQ(std::strlen(info->attachment.sha256), 64u);
    EXPECT_FALSE(info->noop);
    Outcome again = korvoctl(s.with({"attach", "--name", "blob", "--file", source, "--content-type", "x/y"}));
    ASSERT_EQ(again.exit_code, 0) << describe_run(again);
    EXPECT_NE(again.out.find("\"noop\":true"), std::string::npos) << again.out;
    Outcome refused = korvoctl(s.with({"attach", "--name", "blob", "--data", "other", "--prevent-overwrite"}));
    EXPECT_EQ(refused.exit_code, 16) << describe_run(refused);

    const std::string out_path = dir.file("out.bin");
    Outcome to_file = korvoctl(s.with({"get-attachment", "--name", "blob", "--out", out_path}));
    ASSERT_EQ(to_file.exit_code, 0) << describe_run(to_file);
    EXPECT_EQ(korvo::testing::read_file(out_path), content);
    EXPECT_NE(to_file.out.find(info->attachment.sha256), std::string::npos) << to_file.out;
    // To stdout: the bytes alone there, the description on stderr.
    Outcome to_stdout = korvoctl(s.with({"get-attachment", "--id", info->attachment.id, "--out", "-"}));
    ASSERT_EQ(to_stdout.exit_code, 0) << describe_run(to_stdout);
    EXPECT_EQ(to_stdout.out, content);
    EXPECT_TRUE(single_json_line(to_stdout.err)) << to_stdout.err;

    Outcome listed = korvoctl(s.with({"list-attachments"}));
    ASSERT_EQ(listed.exit_code, 0) << describe_run(listed);
    EXPECT_NE(listed.out.find("\"count\":1"), std::string::npos) << listed.out;
    Outcome deleted = korvoctl(s.with({"delete-attachment", "--name", "blob"}));
    ASSERT_EQ(deleted.exit_code, 0) << describe_run(deleted);
    EXPECT_NE(deleted.out.find("\"deleted\":true"), std::string::npos) << deleted.out;
    Outcome released = korvoctl(s.with({"release"}));
    ASSERT_EQ(released.exit_code, 0) << describe_run(released);
    Outcome public_list = korvoctl(s.with({"list-attachments", "--key", "files"}, false));
    ASSERT_EQ(public_list.exit_code, 0) << describe_run(public_list);
    EXPECT_NE(public_list.out.find("\"count\":0"), std::string::npos) << public_list.out;
}

// ---- Usage and help -------------------------------------------------------------------------------

const std::vector<std::string> kSubcommands = {
    "acquire", "keepalive",        "release",          "get",            "update",
    "mutate",  "describe",         "metadata",         "remove",         "attach",
    "list-attachments", "get-attachment", "delete-attachment", "delete-all-attachments",
};

TEST(KorvoctlUsage, HelpOfEverySubcommandExitsZero) {
    Outcome overview = korvoctl({"--help"});
    ASSERT_EQ(overview.exit_code, 0) << describe_run(overview);
    EXPECT_EQ(overview.err, "");
    // Every command the overview lists is one we check below, and the other way round.
    std::set<std::string> listed;
    std::istringstream lines(overview.out);
    std::string line;
    bool in_commands = false;
    while (std::getline(lines, line)) {
        if (line == "Commands:") {
            in_commands = true;
            continue;
        }
        if (in_commands && line.empty()) break;
        if (in_commands) listed.insert(line.substr(2, line.find(' ', 2) - 2));
    }
    EXPECT_EQ(listed, std::set<std::string>(kSubcommands.begin(), kSubcommands.end()));
    for (const std::string &command : kSubcommands) {
        SCOPED_TRACE(command);
        Outcome help = korvoctl({command, "--help"});
        EXPECT_EQ(help.exit_code, 0) << describe_run(help);
        EXPECT_EQ(help.out.rfind("usage: korvoctl " + command + " ", 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
    }
    Outcome help_word = korvoctl({"help"});
    EXPECT_EQ(help_word.exit_code, 0);
    EXPECT_EQ(help_word.out, overview.out);
}

TEST(KorvoctlUsage, UsageErrorsExitTwoBeforeAnyRequest) {
    TempDir dir;
    const std::string data = dir.write("d.json", "{}");
    // No server is running: every case must fail on the command line alone.
    const std::string endpoint = "http://127.0.0.1:9";
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate", "--endpoint", endpoint, "--no-mtls"},
        {"acquire", "--key", "k", "--owner", "o", "--colour", "red", "--endpoint", endpoint, "--no-mtls"},
        {"acquire", "--owner", "o", "--endpoint", endpoint, "--no-mtls"},
        {"acquire", "--key", "k", "--endpoint", endpoint, "--no-mtls"},
        {"acquire", "--key", "k", "--owner", "o", "--ttl", "soon", "--endpoint", endpoint, "--no-mtls"},
        {"acquire", "--key", "k", "--owner", "o", "--ttl"},
        {"acquire", "--key", "k", "--key", "j", "--owner", "o", "--endpoint", endpoint, "--no-mtls"},
        {"acquire", "--key", "k", "--owner", "o", "--no-mtls"},
        {"acquire", "--key", "k", "--owner", "o", "--endpoint", endpoint},
        {"acquire", "--key", "k", "--owner", "o", "--if-not-exists=yes", "--endpoint", endpoint, "--no-mtls"},
        {"update", "--key", "k", "--lease-id", "l", "--fencing-token", "1", "--data", "{}", "--file", data,
         "--endpoint", endpoint, "--no-mtls"},
        {"update", "--key", "k", "--data", "{}", "--endpoint", endpoint, "--no-mtls"},
        {"release", "--key", "k", "--lease-id", "l", "--endpoint", endpoint, "--no-mtls"},
        {"get-attachment", "--key", "k", "--out", "-", "--endpoint", endpoint, "--no-mtls"},
        {"metadata", "--key", "k", "--lease-id", "l", "--fencing-token", "1", "--query-hidden", "maybe",
         "--endpoint", endpoint, "--no-mtls"},
        {"describe", "stray", "--key", "k", "--endpoint", endpoint, "--no-mtls"},
        {"get", "--key", "k", "--txn-id", "t", "--endpoint", endpoint, "--no-mtls"},
        {"describe", "--key", "k", "--timeout", "0", "--endpoint", endpoint, "--no-mtls"},
        {"describe", "--key", "k", "--timeout", "99999999999", "--endpoint", endpoint, "--no-mtls"},
    };
    for (const auto &args : cases) {
        std::string joined;
        for (const auto &arg : args) joined += arg + " ";
        SCOPED_TRACE(joined);
        Outcome run = korvoctl(args);
        EXPECT_EQ(run.exit_code, 2) << describe_run(run);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
    }
}

} // namespace
