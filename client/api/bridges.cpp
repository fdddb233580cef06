// The engine's reader, writer and rewinder callbacks over public sources and sinks. A leaf
// file: the engine links against it, so it knows only the two public headers.
#include "korvoc.h"
#include "korvoc_engine.h"

namespace korvo::api {
namespace {

// Turns a failure that a source or sink reported into the engine's transport error.
void forward_error(kc_engine_error *error, const kc_error *reported, const char *fallback) {
    kc_engine_set_transport_error(error, reported->message ? reported->message : fallback);
}

} // namespace
} // namespace korvo::api

extern "C" {

KC_API size_t kc_engine_read_bridge(void *user, void *buffer, size_t capacity, kc_engine_error *error) {
    auto **slot = static_cast<kc_source **>(user);
    kc_source *source = slot ? *slot : nullptr;
    if (!source || !source->read) {
        kc_engine_set_client_error(error, KC_ERR_INVALID, "payload read requires source");
        return 0;
    }
    kc_error reported;
    kc_error_init(&reported);
    size_t n = source->read(source, buffer, capacity, &reported);
    if (reported.code != KC_OK) {
        // A failing read ends the upload; bytes it may have placed are not passed on.
        korvo::api::forward_error(error, &reported, nullptr);
        n = 0;
    }
    kc_error_cleanup(&reported);
    return n;
}

KC_API int kc_engine_write_bridge(void *user, const void *bytes, size_t length, kc_engine_error *error) {
    auto **slot = static_cast<kc_sink **>(user);
    kc_sink *sink = slot ? *slot : nullptr;
    if (!sink || !sink->write) {
        kc_engine_set_client_error(error, KC_ERR_INVALID, "payload write requires sink");
        return 0;
    }
    kc_error reported;
    kc_error_init(&reported);
    int taken = sink->write(sink, bytes, length, &reported);
    if (taken == 0 && reported.code != KC_OK) korvo::api::forward_error(error, &reported, nullptr);
    kc_error_cleanup(&reported);
    return taken;
}

KC_API int kc_engine_reset_bridge(void *user, kc_engine_error *error) {
    auto **slot = static_cast<kc_source **>(user);
    kc_source *source = slot ? *slot : nullptr;
    // Setting the client error frees any earlier message and clears the HTTP status.
    if (!source) {
        kc_engine_set_client_error(error, KC_ERR_INVALID, "payload reset requires source");
        return 1;
    }
    if (!source->reset) {
        kc_engine_set_client_error(error, KC_ERR_INVALID, "payload source is not rewindable");
        return 1;
    }
    kc_error reported;
    kc_error_init(&reported);
    int result = source->reset(source, &reported);
    if (result != 0) korvo::api::forward_error(error, &reported, "payload reset failed");
    kc_error_cleanup(&reported);
    return result;
}

KC_API size_t kc_engine_empty_reader(void *, void *, size_t, kc_engine_error *) { return 0; }

} // extern "C"
