// A minimal state store for the streaming benchmark, run as a process of its own so that its
// memory is not counted with the client's: POST /v1/update?key=K stores the request body
// (Content-Length or chunked, with "Expect: 100-continue") in <dir>/<K>, and GET /v1/get?key=K
// sends that file back. One connection at a time, "Connection: close". Listens on 127.0.0.1 on
// an ephemeral port and prints the port on stdout.
//
// Usage: stream_store_server <store-dir>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

// Buffered reads from the connection.
class Conn {
  public:
    explicit Conn(int fd) : fd_(fd) {}
    // One line without its CRLF; false at end of stream.
    bool line(std::string &out) {
        out.clear();
        for (;;) {
            char c;
            if (!byte(c)) return false;
            if (c == '\n') {
                if (!out.empty() && out.back() == '\r') out.pop_back();
                return true;
            }
            out.push_back(c);
        }
    }
    // Up to max bytes; 0 at end of stream.
    size_t some(char *out, size_t max) {
        if (pos_ == len_ && !fill()) return 0;
        size_t n = std::min(max, len_ - pos_);
        std::memcpy(out, buf_ + pos_, n);
        pos_ += n;
        return n;
    }
    bool send_all(const void *data, size_t length) {
        const char *p = static_cast<const char *>(data);
        while (length > 0) {
            ssize_t n = ::send(fd_, p, length, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }
    bool send_text(const std::string &text) { return send_all(text.data(), text.size()); }
    int fd() const { return fd_; }

  private:
    bool byte(char &c) {
        if (pos_ == len_ && !fill()) return false;
        c = buf_[pos_++];
        return true;
    }
    bool fill() {
        for (;;) {
            ssize_t n = ::recv(fd_, buf_, sizeof(buf_), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            pos_ = 0;
            len_ = static_cast<size_t>(n);
            return true;
        }
    }
    int fd_;
    char buf_[1 << 16];
    size_t pos_ = 0, len_ = 0;
};

// The key of the query string, reduced to characters that are safe in a file name.
std::string key_of(const std::string &target) {
    size_t at = target.find("key=");
    if (at == std::string::npos) return "";
    std::string key;
    for (size_t i = at + 4; i < target.size() && target[i] != '&'; i++) {
        char c = target[i];
        key.push_back((std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_');
    }
    return key;
}

bool write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Copies the request body into out; returns the byte count or -1.
long long store_body(Conn &conn, int out, bool chunked, long long content_length) {
    static char buffer[1 << 20];
    long long total = 0;
    auto copy = [&](long long count) {
        while (count > 0) {
            size_t n = conn.some(buffer, static_cast<size_t>(std::min<long long>(count, sizeof(buffer))));
            if (n == 0 || !write_all(out, buffer, n)) return false;
            count -= static_cast<long long>(n);
            total += static_cast<long long>(n);
        }
        return true;
    };
    if (!chunked) return copy(content_length) ? total : -1;
    std::string line;
    for (;;) {
        if (!conn.line(line)) return -1;
        long long size = std::strtoll(line.c_str(), nullptr, 16);
        if (size < 0) return -1;
        if (size == 0) break;
        if (!copy(size) || !conn.line(line)) return -1;
    }
    while (conn.line(line) && !line.empty()) {
    } // trailers
    return total;
}

void answer_json(Conn &conn, int status, const char *reason, const std::string &body) {
    conn.send_text("HTTP/1.1 " + std::to_string(status) + " " + reason +
                   "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body);
}

void serve(Conn &conn, const std::string &dir) {
    std::string request_line, line;
    if (!conn.line(request_line)) return;
    bool chunked = false, expect_continue = false;
    long long content_length = 0;
    while (conn.line(line) && !line.empty()) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        if (strcasecmp(name.c_str(), "Content-Length") == 0) content_length = std::atoll(value.c_str());
        if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0 && strcasecmp(value.c_str(), "chunked") == 0)
            chunked = true;
        if (strcasecmp(name.c_str(), "Expect") == 0 && strcasecmp(value.c_str(), "100-continue") == 0)
            expect_continue = true;
    }
    size_t space = request_line.find(' ');
    std::string method = request_line.substr(0, space);
    std::string target = request_line.substr(space + 1, request_line.find(' ', space + 1) - space - 1);
    std::string key = key_of(target);
    if (key.empty()) return answer_json(conn, 400, "Bad Request", "{\"error\":\"key_required\"}");
    std::string path = dir + "/" + key;

    if (method == "POST" && target.rfind("/v1/update?", 0) == 0) {
        if (expect_continue) conn.send_text("HTTP/1.1 100 Continue\r\n\r\n");
        std::string partial = path + ".part";
        int out = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) return answer_json(conn, 500, "Internal Server Error", "{\"error\":\"store_failed\"}");
        long long stored = store_body(conn, out, chunked, content_length);
        ::close(out);
        if (stored < 0 || ::rename(partial.c_str(), path.c_str()) != 0)
            return answer_json(conn, 500, "Internal Server Error", "{\"error\":\"store_failed\"}");
        return answer_json(conn, 200, "OK",
                           "{\"new_version\":1,\"new_state_etag\":\"bench\",\"bytes\":" + std::to_string(stored) + "}");
    }
    if (method == "GET" && target.rfind("/v1/get?", 0) == 0) {
        int in = ::open(path.c_str(), O_RDONLY);
        if (in < 0) return answer_json(conn, 404, "Not Found", "{\"error\":\"not_found\"}");
        struct stat info {};
        ::fstat(in, &info);
        conn.send_text("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nETag: \"bench\"\r\n"
                       "X-Key-Version: 1\r\nContent-Length: " +
                       std::to_string(info.st_size) + "\r\nConnection: close\r\n\r\n");
        off_t offset = 0;
        while (offset < info.st_size) {
            ssize_t n = ::sendfile(conn.fd(), in, &offset, static_cast<size_t>(info.st_size - offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
        }
        ::close(in);
        return;
    }
    answer_json(conn, 404, "Not Found", "{\"error\":\"unknown_route\"}");
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <store-dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 16) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("stream_store_server: listen");
        return 1;
    }
    std::printf("%u\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR) continue;
            std::perror("stream_store_server: accept");
            return 1;
        }
        {
            Conn conn(fd);
            serve(conn, dir);
        }
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}
