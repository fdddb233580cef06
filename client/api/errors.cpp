// The public error record: setting it, and converting JSON library statuses and engine
// errors into it.
#include "korvoc.h"
#include "korvoc_engine.h"

#include <cstdlib>
#include <cstring>

namespace korvo::api {
namespace {

// Public code of a JSON library status; 0 for the statuses that count as success.
int code_of_vellum_status(vellum_status status) {
    switch (status) {
    case VELLUM_STATUS_OK:
    case VELLUM_STATUS_TRUNCATED: return KC_OK;
    case VELLUM_STATUS_INVALID_ARGUMENT: return KC_ERR_INVALID;
    case VELLUM_STATUS_ALLOCATION_FAILED: return KC_ERR_NOMEM;
    case VELLUM_STATUS_CALLBACK_FAILED:
    case VELLUM_STATUS_IO_ERROR:
    case VELLUM_STATUS_INTERNAL_ERROR: return KC_ERR_TRANSPORT;
    default: return KC_ERR_PROTOCOL;
    }
}

} // namespace
} // namespace korvo::api

extern "C" {

KC_API void kc_error_init(kc_error *error) {
    if (error) std::memset(error, 0, sizeof(*error));
}

KC_API void kc_error_cleanup(kc_error *error) {
    if (!error) return;
    std::free(error->message);
    std::free(error->detail);
    std::free(error->server_error);
    std::free(error->correlation_id);
    std::memset(error, 0, sizeof(*error));
}

KC_API int kc_error_set(kc_error *error, int code, long http_status, const char *message, const char *detail,
                        const char *server_error, const char *correlation_id) {
    if (!error) return code;
    // Copy before cleaning: the arguments may be the record's own strings.
    char *message_copy = kc_strdup_local(message);
    char *detail_copy = kc_strdup_local(detail);
    char *server_error_copy = kc_strdup_local(server_error);
    char *correlation_copy = kc_strdup_local(correlation_id);
    kc_error_cleanup(error);
    error->code = code;
    error->http_status = http_status;
    error->message = message_copy;
    error->detail = detail_copy;
    error->server_error = server_error_copy;
    error->correlation_id = correlation_copy;
    return code;
}

KC_API int kc_vellum_error_from_status(kc_error *error, vellum_status status, const vellum_error *json_error,
                                       const char *message) {
    int code = korvo::api::code_of_vellum_status(status);
    if (code == KC_OK) return KC_OK;
    const char *detail = json_error && json_error->message[0] != '\0' ? json_error->message : nullptr;
    return kc_error_set(error, code, 0, message, detail, nullptr, nullptr);
}

KC_API int kc_error_from_engine(kc_error *error, const kc_engine_error *engine_error) {
    if (!engine_error) return kc_error_set(error, KC_OK, 0, nullptr, nullptr, nullptr, nullptr);
    int code = engine_error->code >= KC_OK && engine_error->code <= KC_ERR_PROTOCOL ? engine_error->code : KC_ERR_SERVER;
    return kc_error_set(error, code, engine_error->http_status, engine_error->message, engine_error->detail,
                        engine_error->server_error, engine_error->correlation_id);
}

} // extern "C"
