// Logging helpers: a NULL-tolerant layer over libchirp, the process-wide noop logger and
// the derivation of the client's own logger.
#include "korvoc.h"

#include <pthread.h>

namespace korvo::api {
namespace {

pthread_once_t noop_once = PTHREAD_ONCE_INIT;
chirp_logger *noop_logger = nullptr;

void create_noop_logger() {
    chirp_config config;
    chirp_default_config(&config);
    config.level = 127; // above every level: the logger never writes
    noop_logger = chirp_new(&config);
}

} // namespace
} // namespace korvo::api

extern "C" {

KC_API chirp_logger *kc_log_noop_logger(void) {
    pthread_once(&korvo::api::noop_once, korvo::api::create_noop_logger);
    return korvo::api::noop_logger;
}

KC_API chirp_logger *kc_log_client_logger(chirp_logger *base, int use_base_as_is) {
    if (!base) base = kc_log_noop_logger();
    if (use_base_as_is) return base;
    chirp_field sys = chirp_trusted_str("sys", "client.korvo");
    return chirp_with(base, &sys, 1);
}

KC_API void kc_log_trace(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    if (logger && event) chirp_trace(logger, event, fields, count);
}

KC_API void kc_log_debug(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    if (logger && event) chirp_debug(logger, event, fields, count);
}

KC_API void kc_log_info(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    if (logger && event) chirp_info(logger, event, fields, count);
}

KC_API void kc_log_warn(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    if (logger && event) chirp_warn(logger, event, fields, count);
}

KC_API void kc_log_error(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    if (logger && event) chirp_error(logger, event, fields, count);
}

KC_API chirp_field kc_log_str_field(const char *key, const char *value) {
    return value ? chirp_str(key, value) : chirp_null(key);
}

KC_API chirp_field kc_log_bool_field(const char *key, int value) { return chirp_bool(key, value); }

KC_API chirp_field kc_log_i64_field(const char *key, long value) { return chirp_i64(key, static_cast<int64_t>(value)); }

KC_API chirp_field kc_log_u64_field(const char *key, unsigned long value) {
    return chirp_u64(key, static_cast<uint64_t>(value));
}

KC_API chirp_field kc_log_error_field(const char *key, const kc_error *error) {
    if (error && error->message) return chirp_str(key, error->message);
    return chirp_null(key);
}

KC_API chirp_field kc_log_http_status_field(const kc_error *error) {
    if (!error) return chirp_null("http_status");
    return chirp_i64("http_status", static_cast<int64_t>(error->http_status));
}

KC_API chirp_field kc_log_code_field(const kc_error *error) {
    if (!error) return chirp_null("code");
    return chirp_i64("code", static_cast<int64_t>(error->code));
}

} // extern "C"
