// The engine error record: setters, JSON library status mapping and server errors decoded
// from a response or a JSON error body.
#include "korvoc_engine.h"

#include <cstdlib>
#include <cstring>

namespace korvo::engine {
namespace {

// Copies src into *dst (replacing nothing: dst is NULL after a reset); false when it fails.
bool copy_into(char **dst, const char *src) {
    if (!src) return true;
    *dst = kc_engine_strdup_local(src);
    return *dst != nullptr;
}

} // namespace
} // namespace korvo::engine

extern "C" {

KC_API void kc_engine_error_init(kc_engine_error *error) {
    if (error) std::memset(error, 0, sizeof(*error));
}

KC_API void kc_engine_error_reset(kc_engine_error *error) {
    if (!error) return;
    std::free(error->message);
    std::free(error->server_error);
    std::free(error->detail);
    std::free(error->leader_endpoint);
    std::free(error->current_etag);
    std::free(error->correlation_id);
    std::memset(error, 0, sizeof(*error));
}

KC_API void kc_engine_error_cleanup(kc_engine_error *error) { kc_engine_error_reset(error); }

KC_API int kc_engine_set_client_error(kc_engine_error *error, int code, const char *message) {
    if (!error) return code;
    // Copy first: message may be one of the record's own strings.
    char *copy = message ? kc_engine_strdup_local(message) : nullptr;
    kc_engine_error_reset(error);
    error->code = code;
    error->message = copy;
    if (message && !copy) return KC_ERR_NOMEM;
    return code;
}

KC_API int kc_engine_set_transport_error(kc_engine_error *error, const char *message) {
    return kc_engine_set_client_error(error, KC_ERR_TRANSPORT, message);
}

KC_API int kc_engine_set_protocol_error(kc_engine_error *error, const char *message) {
    return kc_engine_set_client_error(error, KC_ERR_PROTOCOL, message);
}

KC_API int kc_engine_vellum_error_from_status(kc_engine_error *error, vellum_status status,
                                              const vellum_error *json_error, const char *message) {
    if (status == VELLUM_STATUS_OK) return KC_OK;
    int code;
    const char *fallback;
    switch (status) {
    case VELLUM_STATUS_INVALID_ARGUMENT:
        code = KC_ERR_INVALID;
        fallback = "invalid vellum argument";
        break;
    case VELLUM_STATUS_ALLOCATION_FAILED:
        code = KC_ERR_NOMEM;
        fallback = "vellum allocation failed";
        break;
    case VELLUM_STATUS_CALLBACK_FAILED:
    case VELLUM_STATUS_IO_ERROR:
    case VELLUM_STATUS_INTERNAL_ERROR:
        code = KC_ERR_TRANSPORT;
        fallback = "local JSON mapping failed";
        break;
    default:
        code = KC_ERR_PROTOCOL;
        fallback = "failed to parse JSON";
        break;
    }
    if (!message) message = json_error && json_error->message[0] != '\0' ? json_error->message : fallback;
    kc_engine_set_client_error(error, code, message);
    return code;
}

KC_API int kc_engine_set_server_error_from_result(kc_engine_error *error, const kc_engine_http_result *result) {
    using korvo::engine::copy_into;
    int code = kc_engine_set_client_error(error, KC_ERR_SERVER, "korvo returned a non-success status");
    if (!error) return KC_ERR_SERVER;
    if (!result) return code;
    error->http_status = result->http_status;
    if (!copy_into(&error->correlation_id, result->correlation_id)) code = KC_ERR_NOMEM;
    if (!result->server_error) return code;
    if (!copy_into(&error->server_error, result->server_error)) code = KC_ERR_NOMEM;
    if (!copy_into(&error->detail, result->detail)) code = KC_ERR_NOMEM;
    if (!copy_into(&error->leader_endpoint, result->leader_endpoint)) code = KC_ERR_NOMEM;
    if (!copy_into(&error->current_etag, result->current_etag)) code = KC_ERR_NOMEM;
    error->current_version = result->current_version;
    error->retry_after_seconds = result->retry_after_seconds;
    return code;
}

KC_API int kc_engine_set_server_error_from_json(kc_engine_error *error, long http_status,
                                                const char *correlation_id, const char *body) {
    kc_engine_http_result result;
    std::memset(&result, 0, sizeof(result));
    result.http_status = http_status;
    result.correlation_id = const_cast<char *>(correlation_id);
    if (!body || body[0] == '\0') return kc_engine_set_server_error_from_result(error, &result);

    kc_engine_http_error_body parsed;
    std::memset(&parsed, 0, sizeof(parsed));
    vellum_error json_error;
    vellum_error_init(&json_error);
    vellum_status status =
        vellum_parse_buffer(&kc_engine_http_error_map, &parsed, body, std::strlen(body), nullptr, &json_error);
    int code;
    if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED) {
        code = kc_engine_vellum_error_from_status(error, status, &json_error, "failed to decode error response body");
    } else {
        // Values outside long's range are narrowed, as the record's members are long.
        result.server_error = parsed.error;
        result.detail = parsed.detail;
        result.leader_endpoint = parsed.leader_endpoint;
        result.current_etag = parsed.current_etag;
        result.current_version = static_cast<long>(parsed.current_version);
        result.retry_after_seconds = static_cast<long>(parsed.retry_after_seconds);
        code = kc_engine_set_server_error_from_result(error, &result);
    }
    vellum_cleanup(&kc_engine_http_error_map, &parsed);
    return code;
}

} // extern "C"
