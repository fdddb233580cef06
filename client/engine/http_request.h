// Per-attempt state of a typed JSON request, shared by the header and write callbacks, and
// the transfer pieces that typed JSON requests and streaming transfers share: URLs, header
// lines, connection options, response header parsing and the typed JSON body.
#ifndef KORVOC_ENGINE_HTTP_REQUEST_H
#define KORVOC_ENGINE_HTTP_REQUEST_H

#include "korvoc_engine.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace korvo::engine {

constexpr size_t kErrorBodyLimit = 8192;

// Zeroed before each attempt.
struct kc_engine_json_http_state {
    kc_engine_http_result *result;
    kc_engine_error *error;
    const vellum_map *response_map;
    void *response_destination;
    kc_engine_http_error_body error_body;
    vellum_curl_parse parser;
    size_t bytes_received;
    size_t response_limit;
    size_t error_limit;
    int parser_started;
    int error_body_mode; // the status says the body is a JSON error body
    int aborted;         // the engine itself stopped the transfer; the reason is in error
    int body_seen;       // the first body chunk has decided how the body is handled
    int ignore_body;     // 204/205, or a 2xx body nobody asked for
};

struct CurlFree {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct SlistFree {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
struct CharFree {
    void operator()(char *p) const { std::free(p); }
};
using OwnedText = std::unique_ptr<char, CharFree>;

// True when s is non-NULL and non-empty.
inline bool present(const char *s) { return s && s[0] != '\0'; }

inline bool is_success(long status) { return status >= 200 && status < 300; }

// ---- URLs, request headers and connection options ----

// endpoint + path, with "https://" ("http://" with disable_mtls) in front of an endpoint
// without a scheme; NULL when out of memory.
char *endpoint_url(const kc_engine_client *client, const char *endpoint, const char *path);

// list with the line "name: value" appended; NULL when out of memory (list is left as it was).
curl_slist *append_header_line(curl_slist *list, const char *name, const char *value);

// The options every transfer of the client shares: no signals, its Unix socket, its HTTP
// version and, unless mTLS is off, peer verification with ssl_ctx installing its certificates.
void set_connection_options(CURL *h, const kc_engine_client *client, curl_ssl_ctx_callback ssl_ctx);

// ---- response headers ----

bool equals_ignoring_case(std::string_view a, std::string_view b);
bool starts_with_ignoring_case(std::string_view text, std::string_view prefix);

// A header value without the blanks around it and the line's CR LF.
std::string_view trim_header_value(std::string_view value);

// Takes an "HTTP/..." status line: its status code (when it has one) into *http_status and
// whether the body is then an error body. False for any other line.
bool take_status_line(std::string_view line, long *http_status, int *error_body_mode);

// Replaces *slot with a system copy of value; false when the copy fails.
bool store_range(char **slot, std::string_view value);

// ---- the typed JSON body ----
// Both kinds of transfer keep its progress in members of the same names (kc_engine_stream_state
// and kc_engine_json_http_state), so one template serves them.

// Stops the transfer from a callback with code and message in state.error; returns the 0
// that the callback answers libcurl.
template <class State> size_t stop_transfer(State &state, int code, const char *message) {
    state.aborted = 1;
    kc_engine_set_client_error(state.error, code, message);
    return 0;
}

// What meets a 2xx typed body without a response map: typed JSON requests read and drop it;
// streaming transfers refuse it, as only a map sends their 2xx bodies here.
enum class UnmappedBody { Drop, Refuse };

// Decides on the first chunk where the body goes (the response on 2xx, the error body on
// 4xx/5xx, nowhere on 204/205) and starts its parser; false when the transfer must stop.
template <class State> bool begin_typed_body(State &state, long status, UnmappedBody unmapped) {
    state.body_seen = 1;
    const vellum_map *map = nullptr;
    void *destination = nullptr;
    if (status == 204 || status == 205) {
        state.ignore_body = 1;
        return true;
    }
    if (is_success(status)) {
        map = state.response_map;
        destination = state.response_destination;
        if (unmapped == UnmappedBody::Drop && !map) {
            state.ignore_body = 1;
            return true;
        }
        if (unmapped == UnmappedBody::Refuse && (!map || !destination)) {
            stop_transfer(state, KC_ERR_PROTOCOL, "typed JSON response has no parser");
            return false;
        }
    } else if (status >= 400) {
        map = &kc_engine_http_error_map;
        destination = &state.error_body;
    } else {
        stop_transfer(state, KC_ERR_PROTOCOL, "typed JSON response has no parser");
        return false;
    }
    vellum_parse_options options = vellum_default_parse_options();
    vellum_status started = vellum_curl_parse_init(&state.parser, map, destination, &options);
    state.parser_started = 1;
    if (started == VELLUM_STATUS_OK) return true;
    state.aborted = 1;
    kc_engine_vellum_error_from_status(state.error, started, &state.parser.error,
                                       "failed to initialize JSON response parser");
    return false;
}

// Takes one chunk of a typed JSON body of an answer with status, within limit bytes in all;
// returns length, or 0 to stop the transfer with the reason in state.error.
template <class State>
size_t take_typed_chunk(State &state, long status, size_t limit, UnmappedBody unmapped, const char *data,
                        size_t length) {
    if (state.bytes_received >= limit || length > limit - state.bytes_received)
        return stop_transfer(state, KC_ERR_PROTOCOL, "typed JSON response exceeds configured byte limit");
    if (!state.body_seen && !begin_typed_body(state, status, unmapped)) return 0;
    if (!state.ignore_body && length > 0 && vellum_curl_write_callback(data, 1, length, &state.parser) != length) {
        vellum_status failed =
            state.parser.error.code != VELLUM_STATUS_OK ? state.parser.error.code : VELLUM_STATUS_INVALID_JSON;
        state.aborted = 1;
        kc_engine_vellum_error_from_status(state.error, failed, &state.parser.error,
                                           "failed to parse typed JSON response");
        return 0;
    }
    state.bytes_received += length;
    return length;
}

} // namespace korvo::engine

#endif
