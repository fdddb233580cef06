// What the server tests share: a libcurl call described by a record, replies with their
// headers, JSON bodies flattened to "a.b.0.c" paths, and an in-process server on a thread.
#ifndef KORVO_DEVSERVER_TESTS_TEST_CLIENT_H
#define KORVO_DEVSERVER_TESTS_TEST_CLIENT_H

#include "http.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korvo::devserver::testing {

// JSON text flattened: every scalar under its path ("attachment.name", "attachments.0.id");
// strings decoded, numbers as written, booleans "true"/"false", null "null"; every array also
// gives "<path>.length".
struct Json {
    bool valid = false;
    std::map<std::string, std::string> values;
    bool has(const std::string &path) const { return values.count(path) != 0; }
    std::string str(const std::string &path) const;
    int64_t i64(const std::string &path) const; // -999999 when absent or not a number
};
Json parse_json(const std::string &text);

struct Reply {
    int code = -1; // CURLcode
    std::string curl_error;
    long status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string header(const std::string &name) const; // "" when absent
    bool has_header(const std::string &name) const;
    Json json() const { return parse_json(body); }
};

struct Call {
    std::string method = "GET";
    std::string url;
    std::vector<std::string> headers; // "Name: value"
    std::optional<std::string> body;
    bool chunked = false;    // send body with Transfer-Encoding: chunked, read_piece bytes per read
    size_t read_piece = 65536;
    std::string unix_socket;
    std::string ca_file;     // verify the server with this CA
    std::string cert_file, key_file; // client certificate
    long timeout_ms = 20000;
};

Reply perform(const Call &call);

// Lowercase hex SHA-256, computed here independently of the server's code.
std::string sha256_of(const std::string &data);

// A server on a thread of its own, stopped and joined on destruction.
class RunningServer {
  public:
    explicit RunningServer(ServerConfig config = {});
    ~RunningServer();
    Server &server() { return server_; }
    // "http://127.0.0.1:PORT" or "https://..." (TCP listener), or "http://localhost" (Unix only).
    std::string base() const;

  private:
    ServerConfig config_;
    Server server_;
    std::thread thread_;
};

} // namespace korvo::devserver::testing

#endif
