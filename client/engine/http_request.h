// Per-attempt state of a typed JSON request, shared by the header and write callbacks.
#ifndef KORVOC_ENGINE_HTTP_REQUEST_H
#define KORVOC_ENGINE_HTTP_REQUEST_H

#include "korvoc_engine.h"

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

} // namespace korvo::engine

#endif
