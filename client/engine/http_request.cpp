// Typed JSON requests: one HTTP request tried against the client's endpoints in order, with
// failover on transport errors and on a passive node, header capture, and the response body
// parsed into a typed record (or the error body) while it arrives.
#include "http_request.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace korvo::engine {

char *endpoint_url(const kc_engine_client *client, const char *endpoint, const char *path) {
    kc_engine_buffer url;
    kc_engine_buffer_init(&url);
    bool ok = true;
    if (!std::strstr(endpoint, "://"))
        ok = kc_engine_buffer_append_cstr(&url, client->disable_mtls ? "http://" : "https://") == 0;
    ok = ok && kc_engine_buffer_append_cstr(&url, endpoint) == 0 && kc_engine_buffer_append_cstr(&url, path) == 0;
    if (!ok) {
        kc_engine_buffer_cleanup(&url);
        return nullptr;
    }
    return url.data;
}

curl_slist *append_header_line(curl_slist *list, const char *name, const char *value) {
    kc_engine_buffer line;
    kc_engine_buffer_init(&line);
    bool ok = kc_engine_buffer_append_cstr(&line, name) == 0 && kc_engine_buffer_append_cstr(&line, ": ") == 0 &&
              kc_engine_buffer_append_cstr(&line, value) == 0;
    curl_slist *grown = ok ? curl_slist_append(list, line.data) : nullptr;
    kc_engine_buffer_cleanup(&line);
    return grown;
}

void set_connection_options(CURL *h, const kc_engine_client *client, curl_ssl_ctx_callback ssl_ctx) {
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (present(client->unix_socket_path)) curl_easy_setopt(h, CURLOPT_UNIX_SOCKET_PATH, client->unix_socket_path);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION,
                     client->prefer_http2 ? static_cast<long>(CURL_HTTP_VERSION_2TLS)
                                          : static_cast<long>(CURL_HTTP_VERSION_1_1));
    if (!client->disable_mtls) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, client->insecure_skip_verify ? 0L : 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, client->insecure_skip_verify ? 0L : 2L);
        curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, ssl_ctx);
        curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, const_cast<kc_engine_client *>(client));
    }
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && starts_with_ignoring_case(a, b);
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); i++) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string_view trim_header_value(std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r' ||
                              value.back() == '\n'))
        value.remove_suffix(1);
    return value;
}

bool take_status_line(std::string_view line, long *http_status, int *error_body_mode) {
    if (!starts_with_ignoring_case(line, "HTTP/")) return false;
    char status_line[64];
    size_t n = line.size() < 63 ? line.size() : 63;
    std::memcpy(status_line, line.data(), n);
    status_line[n] = '\0';
    long status = 0;
    if (std::sscanf(status_line, "%*s %ld", &status) == 1) {
        *http_status = status;
        *error_body_mode = !is_success(status);
    }
    return true;
}

bool store_range(char **slot, std::string_view value) {
    char *copy = kc_engine_strdup_range(value.data(), value.data() + value.size());
    if (!copy) return false;
    std::free(*slot);
    *slot = copy;
    return true;
}

namespace {

constexpr vellum_field kErrorFields[] = {
    VELLUM_FIELD_STRING(kc_engine_http_error_body, error, "error", 0),
    VELLUM_FIELD_STRING(kc_engine_http_error_body, detail, "detail", 0),
    VELLUM_FIELD_STRING(kc_engine_http_error_body, leader_endpoint, "leader_endpoint", 0),
    VELLUM_FIELD_STRING(kc_engine_http_error_body, current_etag, "current_etag", 0),
    VELLUM_FIELD_I64(kc_engine_http_error_body, current_version, "current_version", 0),
    VELLUM_FIELD_I64(kc_engine_http_error_body, retry_after_seconds, "retry_after_seconds", 0),
};

constexpr size_t kCurlErrorBufferSize = 256;
constexpr int kDefaultTimeoutMs = 30000;

struct UploadGuard {
    vellum_generator generator{};
    bool active = false;
    ~UploadGuard() {
        if (active) vellum_curl_upload_cleanup(&generator);
    }
};

// The value of a header line that starts with name (its colon included).
std::string_view trimmed_value(std::string_view line, size_t name_length) {
    return trim_header_value(line.substr(name_length));
}

void release_state(kc_engine_json_http_state &state) {
    vellum_curl_parse_cleanup(&state.parser);
    vellum_cleanup(&kc_engine_http_error_map, &state.error_body);
}

// Releases a typed destination that this attempt initialised.
void release_destination(kc_engine_json_http_state &state) {
    if (state.parser_started && !state.error_body_mode && state.response_map && state.response_destination)
        vellum_cleanup(state.response_map, state.response_destination);
}

bool copy_error_body(kc_engine_json_http_state &state) {
    kc_engine_http_result *result = state.result;
    const kc_engine_http_error_body &body = state.error_body;
    struct {
        char **slot;
        const char *value;
    } copies[] = {{&result->server_error, body.error},
                  {&result->detail, body.detail},
                  {&result->leader_endpoint, body.leader_endpoint},
                  {&result->current_etag, body.current_etag}};
    for (auto &copy : copies) {
        if (copy.value && !store_range(copy.slot, copy.value)) return false;
    }
    result->current_version = static_cast<long>(body.current_version);
    result->retry_after_seconds = static_cast<long>(body.retry_after_seconds);
    return true;
}

struct RequestArgs {
    const char *method;
    const char *path;
    const void *body;
    size_t body_length;
    const vellum_map *body_map;
    const void *body_source;
    const vellum_write_options *body_options;
    const kc_engine_http_header *headers;
    size_t header_count;
    const vellum_map *response_map;
    void *response_destination;
};

size_t upload_read(char *buffer, size_t size, size_t count, void *user) {
    return vellum_curl_read_callback(buffer, size, count, static_cast<vellum_generator *>(user));
}

CURLcode ssl_ctx_thunk(CURL *curl, void *ssl_ctx, void *client) {
    return static_cast<CURLcode>(kc_engine_ssl_ctx_callback(curl, ssl_ctx, client));
}

// Outcome of one attempt.
enum class Attempt { Done, NextEndpoint, Failed };

Attempt run_attempt(kc_engine_client *client, const RequestArgs &args, size_t index, kc_engine_http_result *result,
                    kc_engine_error *error, int *code) {
    const char *endpoint = client->endpoints[index];
    const bool last = index + 1 == client->endpoint_count;
    kc_engine_http_result_cleanup(result);

    OwnedText url(endpoint_url(client, endpoint, args.path));
    if (!url) {
        *code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to build request URL");
        return Attempt::Failed;
    }
    std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    if (!curl) {
        *code = kc_engine_set_transport_error(error, "curl_easy_init failed");
        return Attempt::Failed;
    }
    kc_engine_json_http_state state;
    std::memset(&state, 0, sizeof(state));
    state.result = result;
    state.error = error;
    state.response_map = args.response_map;
    state.response_destination = args.response_destination;
    state.response_limit = client->max_response_bytes ? client->max_response_bytes : 1048576;
    state.error_limit = kErrorBodyLimit;
    char error_buffer[kCurlErrorBufferSize];
    std::memset(error_buffer, 0, sizeof(error_buffer));

    const chirp_field attempt_fields[] = {
        kc_log_str_field("method", args.method),    kc_log_str_field("path", args.path),
        kc_log_str_field("endpoint", endpoint),     kc_log_u64_field("attempt", index + 1),
        kc_log_u64_field("total", client->endpoint_count),
    };
    kc_log_trace(client->logger, "client.http.attempt", attempt_fields, 5);

    CURL *h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.get());
    if (std::strcmp(args.method, "POST") != 0) curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, args.method);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, kc_engine_json_http_write_callback);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &state);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, kc_engine_json_http_header_callback);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &state);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(client->timeout_ms > 0 ? client->timeout_ms : kDefaultTimeoutMs));
    set_connection_options(h, client, ssl_ctx_thunk);

    std::unique_ptr<curl_slist, SlistFree> header_list;
    for (size_t i = 0; args.headers && i < args.header_count; i++) {
        curl_slist *grown = append_header_line(header_list.get(), args.headers[i].name, args.headers[i].value);
        if (!grown) {
            *code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate curl header list");
            return Attempt::Failed;
        }
        header_list.release();
        header_list.reset(grown);
    }
    if (header_list) curl_easy_setopt(h, CURLOPT_HTTPHEADER, header_list.get());

    const bool is_post = std::strcmp(args.method, "POST") == 0;
    UploadGuard upload;
    if (args.body_map) {
        size_t length = 0;
        vellum_error measure_error;
        vellum_error_init(&measure_error);
        vellum_status measured = vellum_generator_measure(args.body_map, args.body_source, &length, args.body_options,
                                                          &measure_error);
        bool have_length = measured == VELLUM_STATUS_OK || measured == VELLUM_STATUS_TRUNCATED;
        vellum_status status = vellum_curl_upload_init(&upload.generator, args.body_map, args.body_source, args.body_options);
        upload.active = true;
        if (status != VELLUM_STATUS_OK) {
            *code = kc_engine_vellum_error_from_status(error, status, &upload.generator.error,
                                                       "failed to initialize JSON upload");
            return Attempt::Failed;
        }
        curl_easy_setopt(h, CURLOPT_READFUNCTION, upload_read);
        curl_easy_setopt(h, CURLOPT_READDATA, &upload.generator);
        if (is_post) {
            curl_easy_setopt(h, CURLOPT_POST, 1L);
            if (have_length) curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
        } else {
            curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
            if (have_length) curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
        }
    } else if (is_post) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, args.body ? args.body : "");
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(args.body ? args.body_length : 0));
    } else if (args.body) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, args.body);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(args.body_length));
    }

    CURLcode performed = curl_easy_perform(h);
    if (performed != CURLE_OK) {
        const char *message = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(performed);
        const chirp_field error_fields[] = {
            kc_log_str_field("method", args.method), kc_log_str_field("path", args.path),
            kc_log_str_field("endpoint", endpoint),  kc_log_u64_field("attempt", index + 1),
            kc_log_u64_field("total", client->endpoint_count), kc_log_str_field("error", message),
        };
        kc_log_trace(client->logger, "client.http.error", error_fields, 6);
        Attempt outcome = Attempt::Failed;
        if (state.aborted || (state.parser_started && error->code != KC_OK)) {
            *code = error->code != KC_OK ? error->code : kc_engine_set_protocol_error(error, "failed to parse typed JSON response");
        } else if (result->header_error) {
            *code = kc_engine_set_protocol_error(
                error, result->header_error_message ? result->header_error_message : "response header is invalid");
        } else if (upload.active && upload.generator.error.code != VELLUM_STATUS_OK) {
            // The request body could not be produced: a local failure, not the endpoint's.
            *code = kc_engine_vellum_error_from_status(error, upload.generator.error.code, &upload.generator.error,
                                                       "failed to generate JSON request body");
        } else if (!last) {
            outcome = Attempt::NextEndpoint;
        } else {
            *code = kc_engine_set_transport_error(error, message);
        }
        release_destination(state);
        release_state(state);
        kc_engine_http_result_cleanup(result);
        return outcome;
    }

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    result->http_status = status;
    if (state.parser_started) {
        vellum_status finished = vellum_curl_parse_finish(&state.parser);
        bool ok = finished == VELLUM_STATUS_OK || finished == VELLUM_STATUS_TRUNCATED;
        if (!ok) {
            *code = kc_engine_vellum_error_from_status(error, finished, &state.parser.error,
                                                       state.error_body_mode ? "failed to finish typed JSON error response"
                                                                             : "failed to finish typed JSON response");
        } else if (state.error_body_mode && !copy_error_body(state)) {
            *code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to copy error response");
            ok = false;
        }
        if (!ok) {
            release_destination(state);
            release_state(state);
            kc_engine_http_result_cleanup(result);
            return Attempt::Failed;
        }
    }

    const chirp_field success_fields[] = {
        kc_log_str_field("method", args.method), kc_log_str_field("path", args.path),
        kc_log_str_field("endpoint", endpoint),  kc_log_u64_field("attempt", index + 1),
        kc_log_u64_field("total", client->endpoint_count), kc_log_i64_field("status", status),
        kc_log_str_field("cid", result->correlation_id),
    };
    kc_log_trace(client->logger, "client.http.success", success_fields, 7);
    release_state(state);
    if (status == 503 && !last && result->server_error && std::strcmp(result->server_error, "node_passive") == 0) {
        kc_engine_http_result_cleanup(result);
        return Attempt::NextEndpoint;
    }
    *code = KC_OK;
    return Attempt::Done;
}

int perform(kc_engine_client *client, const RequestArgs &args, kc_engine_http_result *result, kc_engine_error *error) {
    OwnedText joined(kc_engine_join_endpoints(client));
    chirp_field order_fields[] = {
        kc_log_str_field("method", args.method),
        kc_log_str_field("path", args.path),
        kc_log_str_field("endpoints", joined.get()),
    };
    kc_log_trace(client->logger, "client.http.order", order_fields, joined ? 3 : 2);
    joined.reset();

    if (client->endpoint_count == 0 || !client->endpoints) {
        const chirp_field fields[] = {
            kc_log_str_field("method", args.method),
            kc_log_str_field("path", args.path),
            kc_log_str_field("error", error ? error->message : nullptr),
        };
        kc_log_debug(client->logger, "client.http.unreachable", fields, 3);
        return kc_engine_set_transport_error(error, "all configured endpoints failed");
    }
    // The callbacks record their failures in an error record, so one is needed even when
    // the caller passed none.
    kc_engine_error local;
    kc_engine_error_init(&local);
    kc_engine_error *sink = error ? error : &local;
    if (error) kc_engine_error_reset(error);
    int code = KC_OK;
    for (size_t i = 0; i < client->endpoint_count; i++) {
        Attempt outcome = run_attempt(client, args, i, result, sink, &code);
        if (outcome == Attempt::NextEndpoint) {
            kc_engine_error_reset(sink);
            continue;
        }
        break;
    }
    kc_engine_error_reset(&local);
    return code;
}

} // namespace
} // namespace korvo::engine

extern "C" {

// Declared exported (KC_API) in korvoc_engine.h.
const vellum_map kc_engine_http_error_map = {"kc_engine_http_error_json", sizeof(kc_engine_http_error_body),
                                                    korvo::engine::kErrorFields,
                                                    sizeof(korvo::engine::kErrorFields) / sizeof(vellum_field)};

KC_API void kc_engine_http_result_cleanup(kc_engine_http_result *result) {
    if (!result) return;
    std::free(result->correlation_id);
    std::free(result->etag);
    std::free(result->content_type);
    std::free(result->header_error_message);
    std::free(result->server_error);
    std::free(result->detail);
    std::free(result->leader_endpoint);
    std::free(result->current_etag);
    std::memset(result, 0, sizeof(*result));
}

KC_API size_t kc_engine_json_http_header_callback(char *data, size_t size, size_t count, void *user) {
    using namespace korvo::engine;
    auto *state = static_cast<kc_engine_json_http_state *>(user);
    size_t length = size * count;
    if (!state || !data || length <= 4) return length;
    std::string_view line(data, length);
    kc_engine_http_result *result = state->result;
    if (take_status_line(line, &result->http_status, &state->error_body_mode)) return length;
    struct {
        std::string_view name;
        char **slot;
    } strings[] = {{"X-Correlation-Id:", &result->correlation_id}, {"Content-Type:", &result->content_type}};
    for (auto &entry : strings) {
        if (!starts_with_ignoring_case(line, entry.name)) continue;
        if (!store_range(entry.slot, trimmed_value(line, entry.name.size())))
            return stop_transfer(*state, KC_ERR_NOMEM, "failed to copy response header");
        return length;
    }
    if (starts_with_ignoring_case(line, "ETag:")) {
        std::string_view value = trimmed_value(line, 5);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (!store_range(&result->etag, value))
            return stop_transfer(*state, KC_ERR_NOMEM, "failed to copy response header");
        return length;
    }
    struct {
        std::string_view name;
        long *slot;
        const char *message;
    } numbers[] = {{"X-Key-Version:", &result->key_version, "response X-Key-Version header is invalid"},
                   {"X-Fencing-Token:", &result->fencing_token, "response X-Fencing-Token header is invalid"}};
    for (auto &entry : numbers) {
        if (!starts_with_ignoring_case(line, entry.name)) continue;
        std::string_view value = trimmed_value(line, entry.name.size());
        long parsed = 0;
        if (!kc_parse_long_base10_range_checked(value.data(), value.size(), &parsed)) {
            result->header_error = 1;
            char *message = kc_engine_strdup_local(entry.message);
            std::free(result->header_error_message);
            result->header_error_message = message;
            return 0;
        }
        *entry.slot = parsed;
        return length;
    }
    return length;
}

KC_API size_t kc_engine_json_http_write_callback(char *data, size_t size, size_t count, void *user) {
    using namespace korvo::engine;
    auto *state = static_cast<kc_engine_json_http_state *>(user);
    if (!state) return 0;
    size_t limit = state->error_body_mode ? state->error_limit : state->response_limit;
    return take_typed_chunk(*state, state->result->http_status, limit, UnmappedBody::Drop, data, size * count);
}

KC_API int kc_engine_http_json_request(kc_engine_client *client, const char *method, const char *path,
                                       const void *body, size_t body_length, const kc_engine_http_header *headers,
                                       size_t header_count, const vellum_map *response_map,
                                       void *response_destination, kc_engine_http_result *result,
                                       kc_engine_error *error) {
    if (!client || !method || !path || !result)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "client, method, path, and result are required");
    std::memset(result, 0, sizeof(*result));
    korvo::engine::RequestArgs args{method,  path,         body,         body_length,  nullptr, nullptr,
                                    nullptr, headers,      header_count, response_map, response_destination};
    return korvo::engine::perform(client, args, result, error);
}

KC_API int kc_engine_http_json_request_stream(kc_engine_client *client, const char *method, const char *path,
                                              const vellum_map *body_map, const void *body_source,
                                              const vellum_write_options *body_options,
                                              const kc_engine_http_header *headers, size_t header_count,
                                              const vellum_map *response_map, void *response_destination,
                                              kc_engine_http_result *result, kc_engine_error *error) {
    if (!client || !method || !path || !result)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "client, method, path, and result are required");
    if ((body_map == nullptr) != (body_source == nullptr))
        return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                          "body map and source must either both be provided or both be null");
    std::memset(result, 0, sizeof(*result));
    korvo::engine::RequestArgs args{method,      path,    nullptr,      0,           body_map,
                                    body_source, body_options, headers, header_count, response_map,
                                    response_destination};
    return korvo::engine::perform(client, args, result, error);
}

} // extern "C"
