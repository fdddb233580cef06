// korvo-devserver: options, logger, listeners, then the I/O loop until SIGINT or SIGTERM.
#include "http.h"

#include "chirp.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace {

constexpr const char *kUsage =
    "usage: korvo-devserver [options]\n"
    "\n"
    "An in-memory korvo server for development and tests (leases, state, attachments).\n"
    "\n"
    "  --port N             TCP port on 127.0.0.1 (default 0: an ephemeral port)\n"
    "  --unix PATH          also listen on the Unix socket PATH\n"
    "  --no-tcp             listen only on the Unix socket\n"
    "  --cert FILE          serve HTTPS with this certificate chain (PEM)\n"
    "  --key FILE           the certificate's private key (PEM)\n"
    "  --client-ca FILE     require client certificates issued by this CA (PEM)\n"
    "  --passive            start passive: /v1 requests answer 503 node_passive\n"
    "  --max-body-bytes N   largest state document or attachment (default 268435456)\n"
    "  --log-level LEVEL    trace, debug, info (default), warn, error or off\n"
    "  --log-file PATH      append the JSON-lines log here (default: stderr)\n"
    "  --help               show this text\n"
    "\n"
    "Prints one line per listener on stdout, \"listening on 127.0.0.1:PORT\" or\n"
    "\"listening on unix:PATH\", then \"ready\". SIGUSR1 toggles passive mode;\n"
    "SIGINT and SIGTERM stop the server (exit status 0).\n";

int usage_error(const std::string &message) {
    std::fprintf(stderr, "korvo-devserver: %s\n(see --help)\n", message.c_str());
    return 2;
}

bool parse_level(const std::string &text, int &level) {
    static const struct {
        const char *name;
        int level;
    } kLevels[] = {{"trace", CHIRP_LEVEL_TRACE}, {"debug", CHIRP_LEVEL_DEBUG}, {"info", CHIRP_LEVEL_INFO},
                   {"warn", CHIRP_LEVEL_WARN},   {"error", CHIRP_LEVEL_ERROR}, {"off", 127}};
    for (const auto &entry : kLevels)
        if (text == entry.name) {
            level = entry.level;
            return true;
        }
    return false;
}

bool parse_unsigned(const std::string &text, unsigned long long max, unsigned long long &out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char *end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0' && out <= max;
}

struct FileCloser {
    void operator()(FILE *file) const {
        if (file) std::fclose(file);
    }
};

struct LoggerRelease {
    void operator()(chirp_logger *logger) const {
        if (logger) logger->release(logger);
    }
};

} // namespace

int main(int argc, char **argv) {
    korvo::devserver::ServerConfig config;
    config.handle_signals = true;
    int level = CHIRP_LEVEL_INFO;
    std::string log_file;

    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        unsigned long long number = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--port") {
            if (!value(text) || !parse_unsigned(text, 65535, number)) return usage_error("--port needs a port number");
            config.tcp_port = static_cast<uint16_t>(number);
        } else if (arg == "--unix") {
            if (!value(config.unix_socket_path) || config.unix_socket_path.empty())
                return usage_error("--unix needs a path");
        } else if (arg == "--no-tcp") {
            config.listen_tcp = false;
        } else if (arg == "--cert") {
            if (!value(config.cert_file)) return usage_error("--cert needs a file");
        } else if (arg == "--key") {
            if (!value(config.key_file)) return usage_error("--key needs a file");
        } else if (arg == "--client-ca") {
            if (!value(config.client_ca_file)) return usage_error("--client-ca needs a file");
        } else if (arg == "--passive") {
            config.passive = true;
        } else if (arg == "--max-body-bytes") {
            if (!value(text) || !parse_unsigned(text, ~0ull, number) || number == 0)
                return usage_error("--max-body-bytes needs a positive number");
            config.max_body_bytes = number;
        } else if (arg == "--log-level") {
            if (!value(text) || !parse_level(text, level)) return usage_error("--log-level needs trace, debug, info, warn, error or off");
        } else if (arg == "--log-file") {
            if (!value(log_file)) return usage_error("--log-file needs a path");
        } else {
            return usage_error("unknown option '" + arg + "'");
        }
    }
    if (!config.listen_tcp && config.unix_socket_path.empty()) return usage_error("--no-tcp needs --unix");

    std::unique_ptr<FILE, FileCloser> log_output;
    if (!log_file.empty()) {
        log_output.reset(std::fopen(log_file.c_str(), "a"));
        if (!log_output) {
            std::fprintf(stderr, "korvo-devserver: cannot open log file '%s': %s\n", log_file.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    chirp_config log_config;
    chirp_default_config(&log_config);
    log_config.level = level;
    log_config.output = log_output ? log_output.get() : stderr;
    std::unique_ptr<chirp_logger, LoggerRelease> logger(chirp_new(&log_config));
    config.logger = logger.get();

    std::signal(SIGPIPE, SIG_IGN);
    try {
        korvo::devserver::Server server(config);
        if (config.listen_tcp) std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.port()));
        if (!config.unix_socket_path.empty()) std::printf("listening on unix:%s\n", config.unix_socket_path.c_str());
        std::printf("ready\n");
        std::fflush(stdout);
        server.run();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "korvo-devserver: %s\n", e.what());
        return 1;
    }
    return 0;
}
