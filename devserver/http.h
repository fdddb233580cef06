// The development server: HTTP/1.1 (Boost.Beast) on 127.0.0.1 and/or a Unix socket, plain or
// TLS, optionally requiring a client certificate from a given CA. One I/O thread runs every
// connection; run() is that thread's loop and stop() ends it from anywhere.
#ifndef KORVO_DEVSERVER_HTTP_H
#define KORVO_DEVSERVER_HTTP_H

#include "chirp.h"

#include <cstdint>
#include <memory>
#include <string>

namespace korvo::devserver {

class Store;

struct ServerConfig {
    bool listen_tcp = true;       // 127.0.0.1:tcp_port
    uint16_t tcp_port = 0;        // 0: an ephemeral port, see Server::port()
    std::string unix_socket_path; // non-empty: also (or only) listen here; an old file is replaced
    std::string cert_file;        // TLS when set: server certificate chain (PEM)
    std::string key_file;         // its private key (PEM)
    std::string client_ca_file;   // set: every client must present a certificate from this CA
    bool passive = false;         // start passive (every /v1 request answers 503 node_passive)
    bool handle_signals = false;  // SIGINT/SIGTERM stop the server, SIGUSR1 toggles passive
    uint64_t max_body_bytes = 256ull * 1024 * 1024;
    const chirp_logger *logger = nullptr; // borrowed; request and server events; NULL: none
};

class Server {
  public:
    // Binds the listeners; throws std::runtime_error with the reason when that fails.
    explicit Server(ServerConfig config);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    uint16_t port() const; // the bound TCP port; 0 without a TCP listener
    const std::string &unix_socket_path() const;
    bool tls() const;

    // Serves until stop() is called (or a stop signal arrives with handle_signals).
    void run();
    // Thread-safe; run() returns soon after. Safe before run() and after it returned.
    void stop();

    void set_passive(bool passive);
    bool passive() const;
    Store &store();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace korvo::devserver

#endif
