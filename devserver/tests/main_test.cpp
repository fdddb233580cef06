// The korvo-devserver executable as a child process: its startup lines, options, the passive
// flag and SIGUSR1 switch, TLS flags, and clean shutdown on SIGTERM and SIGINT.
#include "test_client.h"

#include "fixtures.h"
#include "test_pki.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char **environ;

using namespace korvo::devserver::testing;

namespace {

class Child {
  public:
    explicit Child(const std::vector<std::string> &args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        std::vector<std::string> all = {KORVO_DEVSERVER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        if (posix_spawn(&pid_, all[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    bool started() const { return pid_ > 0; }

    // The next line on the child's stdout, or "<eof>" / "<timeout>".
    std::string read_line(int timeout_ms = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t newline = pending_.find('\n');
            if (newline != std::string::npos) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "<timeout>";
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[512];
            ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) return "<eof>";
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }
    void signal(int number) { ::kill(pid_, number); }
    // Exit status, or -1 when the child did not exit in time (it is killed then), -2 on a signal.
    int wait_exit(int timeout_ms = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

// The port of a "listening on 127.0.0.1:PORT" line, or 0.
int port_of(const std::string &line) {
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) return 0;
    return std::atoi(line.c_str() + prefix.size());
}

std::string passive_status(const std::string &base) {
    Call call;
    call.url = base + "/admin/status";
    return perform(call).json().str("passive");
}

TEST(DevExecutable, PrintsItsListenersAndStopsCleanlyOnSigterm) {
    korvo::testing::TempDir dir;
    const std::string socket_path = dir.file("dev.sock");
    const std::string log_path = dir.file("server.log");
    Child child({"--port", "0", "--unix", socket_path, "--log-file", log_path});
    ASSERT_TRUE(child.started());
    const std::string tcp_line = child.read_line();
    const int port = port_of(tcp_line);
    ASSERT_GT(port, 0) << tcp_line;
    EXPECT_EQ(child.read_line(), "listening on unix:" + socket_path);
    EXPECT_EQ(child.read_line(), "ready");

    Call acquire;
    acquire.method = "POST";
    acquire.url = "http://127.0.0.1:" + std::to_string(port) + "/v1/acquire";
    acquire.body = "{\"key\":\"k\",\"ttl_seconds\":30,\"owner\":\"child-test\"}";
    EXPECT_EQ(perform(acquire).json().i64("fencing_token"), 1);
    Call over_unix;
    over_unix.url = "http://localhost/v1/describe?key=k";
    over_unix.unix_socket = socket_path;
    EXPECT_EQ(perform(over_unix).json().str("owner"), "child-test");

    child.signal(SIGTERM);
    EXPECT_EQ(child.wait_exit(), 0);
    struct stat info {};
    EXPECT_NE(::lstat(socket_path.c_str(), &info), 0);
    const std::string log = korvo::testing::read_file(log_path);
    EXPECT_NE(log.find("\"event\":\"server.start\""), std::string::npos) << log;
    EXPECT_NE(log.find("\"event\":\"http.request\""), std::string::npos);
    EXPECT_NE(log.find("\"event\":\"server.signal\",\"signal\":15"), std::string::npos);
    EXPECT_NE(log.find("\"event\":\"server.stop\""), std::string::npos);
}

TEST(DevExecutable, ThePassiveFlagAndSigusr1Switch) {
    Child child({"--passive", "--log-level", "off"});
    ASSERT_TRUE(child.started());
    const int port = port_of(child.read_line());
    ASSERT_GT(port, 0);
    ASSERT_EQ(child.read_line(), "ready");
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    Call describe;
    describe.url = base + "/v1/describe?key=k";
    Reply passive = perform(describe);
    EXPECT_EQ(passive.status, 503);
    EXPECT_EQ(passive.json().str("error"), "node_passive");

    // The signal is handled on the server's loop: wait for the switch to show.
    auto toggled_to = [&](const std::string &expected) {
        for (int i = 0; i < 100; i++) {
            if (passive_status(base) == expected) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    child.signal(SIGUSR1);
    ASSERT_TRUE(toggled_to("false"));
    EXPECT_EQ(perform(describe).status, 404); // active: an unknown key
    child.signal(SIGUSR1);
    ASSERT_TRUE(toggled_to("true"));
    EXPECT_EQ(perform(describe).status, 503);
    child.signal(SIGINT);
    EXPECT_EQ(child.wait_exit(), 0);
}

TEST(DevExecutable, TlsFlagsRequireTheClientCertificate) {
    const auto &pki = korvo::testing::test_pki();
    Child child({"--cert", pki.server_cert, "--key", pki.server_key, "--client-ca", pki.ca_cert, "--log-level", "off"});
    ASSERT_TRUE(child.started());
    const int port = port_of(child.read_line());
    ASSERT_GT(port, 0);
    ASSERT_EQ(child.read_line(), "ready");
    Call call;
    call.url = "https://127.0.0.1:" + std::to_string(port) + "/admin/status";
    call.ca_file = pki.ca_cert;
    EXPECT_NE(perform(call).code, 0);
    call.cert_file = pki.client_cert;
    call.key_file = pki.client_key;
    EXPECT_EQ(perform(call).status, 200);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait_exit(), 0);
}

TEST(DevExecutable, UsageErrorsExitWithStatus2) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--port", "http"}, {"--port", "70000"}, {"--bogus"}, {"--no-tcp"}, {"--log-level", "loud"}, {"--unix"}}) {
        Child child(args);
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.read_line(), "<eof>") << args[0];
        EXPECT_EQ(child.wait_exit(), 2) << args[0];
    }
    Child help({"--help"});
    EXPECT_EQ(help.read_line().rfind("usage: korvo-devserver", 0), 0u);
    EXPECT_EQ(help.wait_exit(), 0);
    // A listener that cannot be set up is a startup failure.
    Child bad_cert({"--cert", "/nonexistent.pem", "--key", "/nonexistent.key"});
    EXPECT_EQ(bad_cert.read_line(), "<eof>");
    EXPECT_EQ(bad_cert.wait_exit(), 1);
}

} // namespace
