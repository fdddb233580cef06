#include "test_client.h"

#include "vellum.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace korvo::devserver::testing {

namespace {

bool iequals(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

struct Flattener {
    struct Frame {
        bool array;
        std::string key;
        size_t index;
    };
    std::vector<Frame> stack;
    std::string text;
    Json *out;

    std::string path() const {
        std::string p;
        for (const Frame &frame : stack) {
            if (!p.empty()) p += '.';
            p += frame.array ? std::to_string(frame.index) : frame.key;
        }
        return p;
    }
    void done() {
        if (!stack.empty() && stack.back().array) stack.back().index++;
    }
    void scalar(std::string value) {
        out->values[path()] = std::move(value);
        done();
    }

    static Flattener &of(void *user) { return *static_cast<Flattener *>(user); }
    static int object_begin(void *u, vellum_error *) {
        of(u).stack.push_back({false, "", 0});
        return 0;
    }
    static int object_end(void *u, vellum_error *) {
        of(u).stack.pop_back();
        of(u).done();
        return 0;
    }
    static int array_begin(void *u, vellum_error *) {
        of(u).stack.push_back({true, "", 0});
        return 0;
    }
    static int array_end(void *u, vellum_error *) {
        Flattener &f = of(u);
        size_t count = f.stack.back().index;
        f.stack.pop_back();
        std::string p = f.path();
        f.out->values[p.empty() ? "length" : p + ".length"] = std::to_string(count);
        f.done();
        return 0;
    }
    static int begin(void *u, vellum_error *) {
        of(u).text.clear();
        return 0;
    }
    static int chunk(void *u, const char *data, size_t len, vellum_error *) {
        of(u).text.append(data, len);
        return 0;
    }
    static int key_end(void *u, vellum_error *) {
        of(u).stack.back().key = of(u).text;
        return 0;
    }
    static int value_end(void *u, vellum_error *) {
        of(u).scalar(of(u).text);
        return 0;
    }
    static int boolean(void *u, int value, vellum_error *) {
        of(u).scalar(value ? "true" : "false");
        return 0;
    }
    static int null(void *u, vellum_error *) {
        of(u).scalar("null");
        return 0;
    }
};

size_t write_body(char *data, size_t size, size_t count, void *user) {
    static_cast<Reply *>(user)->body.append(data, size * count);
    return size * count;
}

size_t write_header(char *data, size_t size, size_t count, void *user) {
    auto *reply = static_cast<Reply *>(user);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        reply->headers.clear(); // a new response (after 100 Continue) starts over
        return size * count;
    }
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
            value.pop_back();
        reply->headers.emplace_back(line.substr(0, colon), value);
    }
    return size * count;
}

struct Upload {
    const std::string *data;
    size_t at;
    size_t piece;
};

size_t read_body(char *buffer, size_t size, size_t count, void *user) {
    auto *upload = static_cast<Upload *>(user);
    size_t n = std::min({size * count, upload->piece, upload->data->size() - upload->at});
    std::memcpy(buffer, upload->data->data() + upload->at, n);
    upload->at += n;
    return n;
}

} // namespace

std::string Json::str(const std::string &path) const {
    auto it = values.find(path);
    return it == values.end() ? "<missing>" : it->second;
}

int64_t Json::i64(const std::string &path) const {
    auto it = values.find(path);
    if (it == values.end()) return -999999;
    try {
        size_t used = 0;
        long long value = std::stoll(it->second, &used);
        return used == it->second.size() ? value : -999999;
    } catch (...) {
        return -999999;
    }
}

Json parse_json(const std::string &text) {
    Json json;
    Flattener flattener;
    flattener.out = &json;
    vellum_value_visitor visitor;
    vellum_default_value_visitor(&visitor);
    visitor.object_begin = Flattener::object_begin;
    visitor.object_end = Flattener::object_end;
    visitor.array_begin = Flattener::array_begin;
    visitor.array_end = Flattener::array_end;
    visitor.key_begin = Flattener::begin;
    visitor.key_chunk = Flattener::chunk;
    visitor.key_end = Flattener::key_end;
    visitor.string_begin = Flattener::begin;
    visitor.string_chunk = Flattener::chunk;
    visitor.string_end = Flattener::value_end;
    visitor.number_begin = Flattener::begin;
    visitor.number_chunk = Flattener::chunk;
    visitor.number_end = Flattener::value_end;
    visitor.boolean = Flattener::boolean;
    visitor.null = Flattener::null;
    vellum_error error;
    json.valid = vellum_visit_value_buffer(text.data(), text.size(), &visitor, &flattener, nullptr, &error) == 0;
    return json;
}

std::string Reply::header(const std::string &name) const {
    for (const auto &[key, value] : headers)
        if (iequals(key, name)) return value;
    return "";
}

bool Reply::has_header(const std::string &name) const {
    for (const auto &entry : headers)
        if (iequals(entry.first, name)) return true;
    return false;
}

Reply perform(const Call &call) {
    Reply reply;
    CURL *curl = curl_easy_init();
    if (!curl) return reply;
    char error[CURL_ERROR_SIZE] = {0};
    curl_slist *headers = nullptr;
    for (const std::string &header : call.headers) headers = curl_slist_append(headers, header.c_str());
    if (call.chunked) headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
    Upload upload{call.body ? &*call.body : nullptr, 0, call.read_piece ? call.read_piece : 1};

    curl_easy_setopt(curl, CURLOPT_URL, call.url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, call.timeout_ms);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, write_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    if (!call.unix_socket.empty()) curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, call.unix_socket.c_str());
    if (!call.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, call.ca_file.c_str());
    if (!call.cert_file.empty()) curl_easy_setopt(curl, CURLOPT_SSLCERT, call.cert_file.c_str());
    if (!call.key_file.empty()) curl_easy_setopt(curl, CURLOPT_SSLKEY, call.key_file.c_str());
    if (call.body && call.chunked) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
    } else if (call.body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(call.body->size()));
        if (call.method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
    } else if (call.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 0L);
    } else if (call.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    CURLcode code = curl_easy_perform(curl);
    reply.code = code;
    if (code != CURLE_OK) reply.curl_error = error[0] ? error : curl_easy_strerror(code);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply;
}

std::string sha256_of(const std::string &data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; i++) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

RunningServer::RunningServer(ServerConfig config)
    : config_(config), server_(std::move(config)), thread_([this] { server_.run(); }) {}

RunningServer::~RunningServer() {
    server_.stop();
    thread_.join();
}

std::string RunningServer::base() const {
    std::string scheme = config_.cert_file.empty() ? "http://" : "https://";
    if (!config_.listen_tcp) return scheme + "localhost";
    return scheme + "127.0.0.1:" + std::to_string(server_.port());
}

} // namespace korvo::devserver::testing
