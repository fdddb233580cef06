#include "asio.h"

#include "http.h"

#include "handlers.h"
#include "store.h"

#include <openssl/ssl.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <limits>
#include <optional>
#include <stdexcept>

namespace korvo::devserver {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::use_awaitable;
using tcp = asio::ip::tcp;
using unix_socket = asio::local::stream_protocol;

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes one query component ('+' is a space, as in form encoding).
bool decode_component(std::string_view text, std::string &out) {
    out.clear();
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return false;
            int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

void split_target(Request &request) {
    const std::string &target = request.target;
    size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question == std::string::npos) return;
    std::string_view query = std::string_view(target).substr(question + 1);
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view part = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (part.empty()) continue;
        size_t eq = part.find('=');
        std::string name, value;
        if (!decode_component(part.substr(0, eq), name) ||
            !decode_component(eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1), value)) {
            request.bad_target = true;
            return;
        }
        request.query.emplace_back(std::move(name), std::move(value));
    }
}

bool is_parse_error(const boost::system::error_code &ec) {
    return &ec.category() == &http::make_error_code(http::error::bad_method).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

std::string render_head(const Response &response, bool close) {
    const auto status = static_cast<unsigned>(response.status);
    std::string head = "HTTP/1.1 " + std::to_string(status) + " ";
    head += std::string(http::obsolete_reason(http::int_to_status(status)));
    head += "\r\nServer: korvo-devserver\r\n";
    for (const auto &[name, value] : response.headers) head += name + ": " + value + "\r\n";
    const bool bodiless = status == 204 || status == 304 || status < 200;
    if (!bodiless) head += "Content-Length: " + std::to_string(response.payload().size()) + "\r\n";
    if (close) head += "Connection: close\r\n";
    head += "\r\n";
    return head;
}

// The request body as it arrives, through Beast's buffer body: bytes land in the caller's
// buffer. "100 Continue" is sent before the first read when the client waits for it.
template <class Stream> class ParserBody final : public BodyReader {
  public:
    ParserBody(Stream &stream, beast::flat_buffer &buffer, http::request_parser<http::buffer_body> &parser,
               bool expect_continue)
        : stream_(stream), buffer_(buffer), parser_(parser), expect_continue_(expect_continue) {}

    awaitable<std::optional<size_t>> read_some(char *out, size_t capacity) override {
        if (parser_.is_done()) co_return size_t{0};
        if (failed_ || capacity == 0) co_return std::nullopt;
        if (expect_continue_ && !continue_sent_) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            continue_sent_ = true;
            boost::system::error_code ec;
            co_await asio::async_write(stream_, asio::buffer(kContinue), asio::redirect_error(use_awaitable, ec));
            if (ec) {
                failed_ = broken_ = true;
                co_return std::nullopt;
            }
        }
        for (;;) {
            parser_.get().body().data = out;
            parser_.get().body().size = capacity;
            boost::system::error_code ec;
            co_await http::async_read(stream_, buffer_, parser_, asio::redirect_error(use_awaitable, ec));
            if (ec == http::error::need_buffer) ec = {};
            size_t n = capacity - parser_.get().body().size;
            if (ec) {
                failed_ = true;
                if (ec == http::error::body_limit) too_large_ = true;
                else broken_ = true;
                co_return std::nullopt;
            }
            if (n > 0 || parser_.is_done()) co_return n;
        }
    }
    bool done() const override { return parser_.is_done(); }
    bool too_large() const override { return too_large_; }
    bool broken() const { return broken_; }
    bool awaiting_continue() const { return expect_continue_ && !continue_sent_; }

  private:
    Stream &stream_;
    beast::flat_buffer &buffer_;
    http::request_parser<http::buffer_body> &parser_;
    bool expect_continue_;
    bool continue_sent_ = false;
    bool failed_ = false, too_large_ = false, broken_ = false;
};

} // namespace

struct Server::Impl {
    ServerConfig config;
    Store store;
    Handlers handlers;
    std::unique_ptr<asio::io_context> io;
    std::unique_ptr<asio::ssl::context> tls;
    std::optional<tcp::acceptor> tcp_acceptor;
    std::optional<unix_socket::acceptor> unix_acceptor;
    std::optional<asio::signal_set> signals;
    std::optional<asio::steady_timer> stop_timer;
    uint16_t port = 0;
    bool unix_bound = false; // the socket file is ours to remove
    bool stopping = false; // I/O thread only
    size_t in_flight = 0;  // requests between their header and their answer; I/O thread only

    explicit Impl(ServerConfig c)
        : config(std::move(c)), handlers(store, HandlerConfig{config.max_body_bytes, 1024 * 1024, config.logger}),
          io(std::make_unique<asio::io_context>(1)) {}

    ~Impl() {
        signals.reset();
        stop_timer.reset();
        tcp_acceptor.reset();
        unix_acceptor.reset();
        io.reset(); // destroys the sessions still suspended in it
        if (unix_bound) ::unlink(config.unix_socket_path.c_str());
    }

    void log(int level, const char *event, const chirp_field *fields, size_t count) const {
        if (!config.logger) return;
        if (level == CHIRP_LEVEL_DEBUG) chirp_debug(config.logger, event, fields, count);
        else chirp_info(config.logger, event, fields, count);
    }

    void setup_tls() {
        if (config.cert_file.empty() && config.key_file.empty()) {
            if (!config.client_ca_file.empty()) throw std::runtime_error("--client-ca needs --cert and --key");
            return;
        }
        if (config.cert_file.empty() || config.key_file.empty())
            throw std::runtime_error("TLS needs both a certificate and a key");
        tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
        boost::system::error_code ec;
        tls->use_certificate_chain_file(config.cert_file, ec);
        if (ec) throw std::runtime_error("cannot load certificate '" + config.cert_file + "': " + ec.message());
        tls->use_private_key_file(config.key_file, asio::ssl::context::pem, ec);
        if (ec) throw std::runtime_error("cannot load key '" + config.key_file + "': " + ec.message());
        if (SSL_CTX_check_private_key(tls->native_handle()) != 1)
            throw std::runtime_error("the key does not match the certificate");
        if (!config.client_ca_file.empty()) {
            tls->load_verify_file(config.client_ca_file, ec);
            if (ec) throw std::runtime_error("cannot load client CA '" + config.client_ca_file + "': " + ec.message());
            // Tell clients which CA their certificate must come from.
            if (STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(config.client_ca_file.c_str()))
                SSL_CTX_set_client_CA_list(tls->native_handle(), names);
            tls->set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
        }
    }

    void listen() {
        if (config.listen_tcp) {
            tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), config.tcp_port);
            tcp_acceptor.emplace(*io);
            boost::system::error_code ec;
            tcp_acceptor->open(endpoint.protocol(), ec);
            if (!ec) tcp_acceptor->set_option(asio::socket_base::reuse_address(true), ec);
            if (!ec) tcp_acceptor->bind(endpoint, ec);
            if (!ec) tcp_acceptor->listen(asio::socket_base::max_listen_connections, ec);
            if (ec)
                throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(config.tcp_port) + ": " +
                                         ec.message());
            port = tcp_acceptor->local_endpoint().port();
            asio::co_spawn(*io, accept_loop(*tcp_acceptor), asio::detached);
        }
        if (!config.unix_socket_path.empty()) {
            const std::string &path = config.unix_socket_path;
            struct stat info {};
            if (::lstat(path.c_str(), &info) == 0) {
                // Replace a stale socket, never anything else.
                if (!S_ISSOCK(info.st_mode)) throw std::runtime_error("'" + path + "' exists and is not a socket");
                ::unlink(path.c_str());
            }
            unix_acceptor.emplace(*io);
            unix_socket::endpoint endpoint(path);
            boost::system::error_code ec;
            unix_acceptor->open(endpoint.protocol(), ec);
            if (!ec) unix_acceptor->bind(endpoint, ec);
            if (!ec) unix_bound = true;
            if (!ec) unix_acceptor->listen(asio::socket_base::max_listen_connections, ec);
            if (ec) throw std::runtime_error("cannot listen on unix socket '" + path + "': " + ec.message());
            asio::co_spawn(*io, accept_loop(*unix_acceptor), asio::detached);
        }
        if (!tcp_acceptor && !unix_acceptor) throw std::runtime_error("no listener configured");
    }

    void arm_signals() {
        signals->async_wait([this](const boost::system::error_code &ec, int signal_number) {
            if (ec) return;
            if (signal_number == SIGUSR1) {
                handlers.set_passive(!handlers.passive());
                chirp_field field = chirp_bool("passive", handlers.passive());
                log(CHIRP_LEVEL_INFO, "server.passive", &field, 1);
                arm_signals();
                return;
            }
            chirp_field field = chirp_i64("signal", signal_number);
            log(CHIRP_LEVEL_INFO, "server.signal", &field, 1);
            begin_stop();
        });
    }

    // Stops accepting, lets the requests in progress answer (at most two seconds), then ends
    // the loop. Blocked acquires are woken and answer at once.
    void begin_stop() {
        if (stopping) return;
        stopping = true;
        boost::system::error_code ignored;
        if (tcp_acceptor) tcp_acceptor->close(ignored);
        if (unix_acceptor) unix_acceptor->close(ignored);
        if (signals) signals->cancel(ignored);
        handlers.shutdown();
        if (in_flight == 0) {
            io->stop();
            return;
        }
        stop_timer.emplace(*io);
        stop_timer->expires_after(std::chrono::seconds(2));
        stop_timer->async_wait([this](const boost::system::error_code &ec) {
            if (!ec) io->stop();
        });
    }

    void request_finished() {
        in_flight--;
        // io is already null while ~Impl destroys the sessions left in it.
        if (stopping && in_flight == 0 && io) io->stop();
    }

    template <class Acceptor> awaitable<void> accept_loop(Acceptor &acceptor) {
        for (;;) {
            boost::system::error_code ec;
            auto socket = co_await acceptor.async_accept(asio::redirect_error(use_awaitable, ec));
            if (stopping || !acceptor.is_open()) co_return;
            if (ec) {
                // Out of descriptors or similar: pause instead of spinning.
                asio::steady_timer pause(*io, std::chrono::milliseconds(50));
                co_await pause.async_wait(asio::redirect_error(use_awaitable, ec));
                continue;
            }
            if constexpr (std::is_same_v<decltype(socket), tcp::socket>) {
                boost::system::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
            }
            asio::co_spawn(*io, session(std::move(socket)), asio::detached);
        }
    }

    template <class Socket> awaitable<void> session(Socket socket) {
        try {
            if (!tls) {
                co_await serve(socket, socket);
            } else {
                asio::ssl::stream<Socket &> stream(socket, *tls);
                boost::system::error_code ec;
                co_await stream.async_handshake(asio::ssl::stream_base::server, asio::redirect_error(use_awaitable, ec));
                if (ec) {
                    std::string reason = ec.message();
                    chirp_field field = chirp_str("error", reason.c_str());
                    log(CHIRP_LEVEL_DEBUG, "tls.handshake_failed", &field, 1);
                    co_return;
                }
                co_await serve(stream, socket);
            }
        } catch (const std::exception &) {
            // The peer went away mid-answer: nothing left to do for this connection.
        }
    }

    // Request after request on one connection, until either side closes it.
    template <class Stream, class Socket> awaitable<void> serve(Stream &stream, Socket &socket) {
        beast::flat_buffer buffer;
        for (;;) {
            http::request_parser<http::empty_body> head_parser;
            head_parser.header_limit(64 * 1024);
            // No limit while the header is read: the handlers answer an announced length that is
            // too large with 413; the limit set below still bounds chunked bodies. (Beast 1.74
            // compares a Content-Length against an empty limit as "too large", so no boost::none.)
            head_parser.body_limit(std::numeric_limits<std::uint64_t>::max());
            boost::system::error_code ec;
            co_await http::async_read_header(stream, buffer, head_parser, asio::redirect_error(use_awaitable, ec));
            if (ec) {
                if (is_parse_error(ec)) {
                    Response bad;
                    bad.status = ec == http::error::header_limit ? 431 : 400;
                    bad.headers.emplace_back("Content-Type", "application/json");
                    bad.headers.emplace_back("X-Correlation-Id", random_hex(12));
                    bad.body = "{\"error\":\"invalid_request\",\"detail\":\"malformed HTTP request\"}";
                    co_await write_response(stream, bad, true);
                    co_await close_gracefully(socket);
                }
                co_return;
            }
            if (stopping) co_return;
            in_flight++;
            struct Finished {
                Impl &impl;
                ~Finished() { impl.request_finished(); }
            } finished{*this};

            const auto &head = head_parser.get();
            Request request;
            request.method = std::string(head.method_string());
            request.target = std::string(head.target());
            for (const auto &field : head)
                request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
            if (auto length = head_parser.content_length()) request.content_length = *length;
            split_target(request);
            const bool keep_alive = head.keep_alive();
            std::string expect = request.header("Expect");
            const bool expect_continue = beast::iequals(expect, "100-continue");

            http::request_parser<http::buffer_body> parser(std::move(head_parser));
            parser.body_limit(config.max_body_bytes);
            ParserBody<Stream> body(stream, buffer, parser, expect_continue);
            Response response = co_await handlers.handle(request, body);
            if (body.broken()) co_return;
            // A body left unread cannot be skipped reliably: answer and close.
            const bool close = !keep_alive || response.close || stopping || !parser.is_done();
            co_await write_response(stream, response, close);
            if (close) {
                co_await close_gracefully(socket);
                co_return;
            }
        }
    }

    template <class Stream> awaitable<void> write_response(Stream &stream, const Response &response, bool close) {
        std::string head = render_head(response, close);
        const bool bodiless = response.status == 204 || response.status == 304 || response.status < 200;
        std::array<asio::const_buffer, 2> buffers{asio::buffer(head),
                                                  bodiless ? asio::const_buffer() : asio::buffer(response.payload())};
        co_await asio::async_write(stream, buffers, use_awaitable);
    }

    // Sends FIN, then reads until the peer closes (two seconds at most), so that unread
    // request bytes do not turn the close into a reset that could destroy the answer.
    template <class Socket> awaitable<void> close_gracefully(Socket &socket) {
        boost::system::error_code ec;
        socket.shutdown(asio::socket_base::shutdown_send, ec);
        asio::steady_timer linger(*io);
        linger.expires_after(std::chrono::seconds(2));
        linger.async_wait([&socket](const boost::system::error_code &wait_ec) {
            if (!wait_ec) {
                boost::system::error_code ignored;
                socket.close(ignored);
            }
        });
        char sink[4096];
        for (;;) {
            co_await socket.async_read_some(asio::buffer(sink), asio::redirect_error(use_awaitable, ec));
            if (ec) break;
        }
        linger.cancel();
    }
};

Server::Server(ServerConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {
    Impl &s = *impl_;
    s.handlers.set_passive(s.config.passive);
    try {
        s.setup_tls();
        s.listen();
    } catch (const boost::system::system_error &e) {
        throw std::runtime_error(e.what());
    }
    if (s.config.handle_signals) {
        s.signals.emplace(*s.io, SIGINT, SIGTERM);
        s.signals->add(SIGUSR1);
        s.arm_signals();
    }
}

Server::~Server() = default;

uint16_t Server::port() const { return impl_->port; }

const std::string &Server::unix_socket_path() const { return impl_->config.unix_socket_path; }

bool Server::tls() const { return impl_->tls != nullptr; }

void Server::run() {
    Impl &s = *impl_;
    chirp_field fields[] = {chirp_i64("port", s.port), chirp_str("unix_socket", s.config.unix_socket_path.c_str()),
                            chirp_bool("tls", s.tls != nullptr), chirp_bool("client_ca", !s.config.client_ca_file.empty()),
                            chirp_bool("passive", s.handlers.passive())};
    s.log(CHIRP_LEVEL_INFO, "server.start", fields, sizeof fields / sizeof fields[0]);
    s.io->run();
    s.log(CHIRP_LEVEL_INFO, "server.stop", nullptr, 0);
}

void Server::stop() {
    Impl *s = impl_.get();
    asio::post(*s->io, [s] { s->begin_stop(); });
}

void Server::set_passive(bool passive) { impl_->handlers.set_passive(passive); }

bool Server::passive() const { return impl_->handlers.passive(); }

Store &Server::store() { return impl_->store; }

} // namespace korvo::devserver
