// Boost.Beast reads the requests; answers are written as raw bytes so a test can script
// anything, including answers that a well-behaved server library would refuse to send.
#include <utility> // Boost 1.74's awaitable.hpp needs std::exchange; include before any Boost header

#include "http_server.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace korvo::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::use_awaitable;
using tcp = asio::ip::tcp;
using unix_socket = asio::local::stream_protocol;

namespace {

bool iequals(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string render_head(const ScriptedResponse &response) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + response.reason + "\r\n";
    for (const auto &[name, value] : response.headers) head += name + ": " + value + "\r\n";
    if (response.chunked) head += "Transfer-Encoding: chunked\r\n";
    else head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head;
}

template <class Socket> void reset_socket(Socket &socket) {
    boost::system::error_code ignored;
    if constexpr (std::is_same_v<Socket, tcp::socket>) socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

} // namespace

std::string CapturedRequest::header(const std::string &name) const {
    for (const auto &[key, value] : headers)
        if (iequals(key, name)) return value;
    return "";
}

bool CapturedRequest::has_header(const std::string &name) const {
    for (const auto &entry : headers)
        if (iequals(entry.first, name)) return true;
    return false;
}

ScriptedResponse ScriptedResponse::json(int status, std::string body) {
    ScriptedResponse response;
    response.status = status;
    response.reason = status < 300 ? "OK" : "Error";
    response.headers.emplace_back("Content-Type", "application/json");
    response.body = std::move(body);
    return response;
}

struct HttpServer::Impl {
    ServerOptions options;
    asio::io_context io;
    asio::ssl::context tls{asio::ssl::context::tls_server};
    tcp::acceptor tcp_acceptor{io};
    unix_socket::acceptor unix_acceptor{io};
    unsigned short port = 0;
    mutable std::mutex mutex;
    Handler handler;
    std::vector<CapturedRequest> captured;
    std::atomic<size_t> failed_handshakes{0};
    std::thread thread;

    Handler current_handler() {
        std::lock_guard<std::mutex> lock(mutex);
        return handler;
    }

    // Reads one request, answers it as scripted, closes. Socket is the lowest layer.
    template <class Stream, class Socket> awaitable<void> serve(Stream &stream, Socket &socket) {
        beast::flat_buffer buffer;
        http::request_parser<http::string_body> parser;
        parser.body_limit(64 * 1024 * 1024);
        co_await http::async_read_header(stream, buffer, parser, use_awaitable);
        if (iequals(std::string(parser.get()[http::field::expect]), "100-continue")) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            co_await asio::async_write(stream, asio::buffer(kContinue), use_awaitable);
        }
        if (!parser.is_done()) co_await http::async_read(stream, buffer, parser, use_awaitable);
        const auto &message = parser.get();
        CapturedRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto &field : message) request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        request.body = message.body();
        {
            std::lock_guard<std::mutex> lock(mutex);
            captured.push_back(request);
        }
        Handler handle = current_handler();
        ScriptedResponse response = handle ? handle(request) : ScriptedResponse::json(200, "{}");
        asio::steady_timer timer(io);
        if (response.delay.count() > 0) {
            timer.expires_after(response.delay);
            co_await timer.async_wait(use_awaitable);
        }
        if (response.close_without_answer) {
            reset_socket(socket);
            co_return;
        }
        if (!response.raw.empty()) {
            co_await asio::async_write(stream, asio::buffer(response.raw), use_awaitable);
            if (response.reset_after_raw) {
                reset_socket(socket);
                co_return;
            }
        } else {
            std::string head = render_head(response);
            if (!response.chunked) {
                head += response.body;
                co_await asio::async_write(stream, asio::buffer(head), use_awaitable);
            } else {
                co_await asio::async_write(stream, asio::buffer(head), use_awaitable);
                size_t step = response.chunk_size ? response.chunk_size : std::max<size_t>(response.body.size(), 1);
                for (size_t at = 0; at < response.body.size(); at += step) {
                    if (response.chunk_delay.count() > 0) {
                        timer.expires_after(response.chunk_delay);
                        co_await timer.async_wait(use_awaitable);
                    }
                    std::string piece = response.body.substr(at, step);
                    char size_line[32];
                    std::snprintf(size_line, sizeof(size_line), "%zx\r\n", piece.size());
                    std::string chunk = size_line + piece + "\r\n";
                    co_await asio::async_write(stream, asio::buffer(chunk), use_awaitable);
                }
                static const std::string kLast = "0\r\n\r\n";
                co_await asio::async_write(stream, asio::buffer(kLast), use_awaitable);
            }
        }
        boost::system::error_code ignored;
        socket.shutdown(asio::socket_base::shutdown_send, ignored);
        // Drain until the peer closes, so the answer is not cut by a reset.
        char sink[1024];
        asio::steady_timer linger(io);
        linger.expires_after(std::chrono::seconds(2));
        linger.async_wait([&socket](boost::system::error_code ec) {
            if (!ec) socket.close();
        });
        for (;;) {
            boost::system::error_code ec;
            co_await socket.async_read_some(asio::buffer(sink), asio::redirect_error(use_awaitable, ec));
            if (ec) break;
        }
        linger.cancel();
    }

    template <class Socket> awaitable<void> session(Socket socket) {
        try {
            if (options.transport == Transport::Plain) {
                co_await serve(socket, socket);
            } else {
                asio::ssl::stream<Socket &> stream(socket, tls);
                try {
                    co_await stream.async_handshake(asio::ssl::stream_base::server, use_awaitable);
                } catch (const std::exception &) {
                    failed_handshakes++;
                    co_return;
                }
                co_await serve(stream, socket);
            }
        } catch (const std::exception &) {
            // The client went away or sent garbage: nothing to answer.
        }
    }

    template <class Acceptor> awaitable<void> accept_loop(Acceptor &acceptor) {
        for (;;) {
            boost::system::error_code ec;
            auto socket = co_await acceptor.async_accept(asio::redirect_error(use_awaitable, ec));
            if (ec) co_return;
            asio::co_spawn(io, session(std::move(socket)), asio::detached);
        }
    }
};

HttpServer::HttpServer(ServerOptions options, Handler handler) : impl_(std::make_unique<Impl>()) {
    Impl &s = *impl_;
    s.options = std::move(options);
    s.handler = std::move(handler);
    if (s.options.transport != Transport::Plain) {
        s.tls.use_certificate_chain_file(s.options.cert_file);
        s.tls.use_private_key_file(s.options.key_file, asio::ssl::context::pem);
        if (s.options.transport == Transport::MutualTls) {
            s.tls.load_verify_file(s.options.client_ca_file);
            s.tls.set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
        }
    }
    if (!s.options.unix_socket_path.empty()) {
        std::filesystem::remove(s.options.unix_socket_path);
        unix_socket::endpoint endpoint(s.options.unix_socket_path);
        s.unix_acceptor.open(endpoint.protocol());
        s.unix_acceptor.bind(endpoint);
        s.unix_acceptor.listen();
        asio::co_spawn(s.io, s.accept_loop(s.unix_acceptor), asio::detached);
    } else {
        tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
        s.tcp_acceptor.open(endpoint.protocol());
        s.tcp_acceptor.set_option(asio::socket_base::reuse_address(true));
        s.tcp_acceptor.bind(endpoint);
        s.tcp_acceptor.listen();
        s.port = s.tcp_acceptor.local_endpoint().port();
        asio::co_spawn(s.io, s.accept_loop(s.tcp_acceptor), asio::detached);
    }
    s.thread = std::thread([&s] { s.io.run(); });
}

HttpServer::~HttpServer() {
    impl_->io.stop();
    impl_->thread.join();
    if (!impl_->options.unix_socket_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove(impl_->options.unix_socket_path, ignored);
    }
}

void HttpServer::set_handler(Handler handler) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

unsigned short HttpServer::port() const { return impl_->port; }

std::string HttpServer::host_port() const { return "127.0.0.1:" + std::to_string(impl_->port); }

std::string HttpServer::url() const {
    std::string scheme = impl_->options.transport == Transport::Plain ? "http://" : "https://";
    if (!impl_->options.unix_socket_path.empty()) return scheme + "localhost";
    return scheme + host_port();
}

std::vector<CapturedRequest> HttpServer::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->captured;
}

size_t HttpServer::request_count() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->captured.size();
}

size_t HttpServer::failed_handshakes() const { return impl_->failed_handshakes.load(); }

unsigned short unused_port() {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

} // namespace korvo::testing
