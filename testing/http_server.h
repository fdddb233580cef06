// A scripted HTTP test server for the client library's tests: plain HTTP, HTTPS and HTTPS
// that requires a client certificate, on 127.0.0.1 with an ephemeral port or on a Unix
// socket. Every request is captured; each answer comes from a per-test handler. It runs its
// io_context on a thread of its own, so suites that use it are *Threads suites.
#ifndef KORVO_TESTING_HTTP_SERVER_H
#define KORVO_TESTING_HTTP_SERVER_H

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace korvo::testing {

struct CapturedRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers; // in arrival order
    std::string body;
    // Value of the first header named name (case-insensitive), or "" when absent.
    std::string header(const std::string &name) const;
    bool has_header(const std::string &name) const;
};

// What the server answers. Unless raw or close_without_answer is set, the server writes a
// status line, the headers as given, Content-Length (or chunked framing), "Connection: close"
// and the body, whatever the status (so a 204 may carry a body), then closes.
struct ScriptedResponse {
    int status = 200;
    std::string reason = "OK";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool chunked = false;        // Transfer-Encoding: chunked, chunk_size bytes per chunk
    size_t chunk_size = 0;       // 0: one chunk
    std::chrono::milliseconds chunk_delay{0}; // pause before each chunk (slow streaming)
    std::chrono::milliseconds delay{0};       // pause before answering
    bool close_without_answer = false;        // close the connection after reading the request
    std::string raw;             // non-empty: written as is (malformed or truncated answers)
    bool reset_after_raw = false; // abort the connection with a TCP reset after raw

    static ScriptedResponse json(int status, std::string body);
};

using Handler = std::function<ScriptedResponse(const CapturedRequest &)>;

enum class Transport { Plain, Tls, MutualTls };

struct ServerOptions {
    Transport transport = Transport::Plain;
    std::string cert_file;         // server certificate chain (TLS)
    std::string key_file;          // its key
    std::string client_ca_file;    // CA that client certificates must chain to (MutualTls)
    std::string unix_socket_path;  // non-empty: listen here instead of 127.0.0.1
};

class HttpServer {
  public:
    explicit HttpServer(ServerOptions options = {}, Handler handler = {});
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Replaces the handler; safe while the server runs.
    void set_handler(Handler handler);
    unsigned short port() const;
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT"; for a Unix socket "http://localhost".
    std::string url() const;
    // "127.0.0.1:PORT", without a scheme.
    std::string host_port() const;
    std::vector<CapturedRequest> requests() const;
    size_t request_count() const;
    // TLS handshakes that failed (for example an untrusted client certificate).
    size_t failed_handshakes() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// A TCP port on 127.0.0.1 that nothing listens on (bound, then released).
unsigned short unused_port();

} // namespace korvo::testing

#endif
