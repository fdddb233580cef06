// The client handle: open (with the client-bundle capture) and close, the slot table, the
// exported wrappers, and the method pattern's logging and error helpers.
#include "api/client_internal.h"

#include <cstdlib>
#include <cstring>

namespace korvo::api {
namespace {

constexpr size_t kBundleFirstCapacity = 8192;
constexpr size_t kBundleDoublingLimit = size_t{1} << 30;

// The engine's bundle source over the caller's kc_source: every byte read is kept, so the
// client (and the consumer service's private clients) hold the bundle after the source is gone.
struct BundleCapture {
    kc_engine_bundle_source engine_source;
    kc_source *source;
    const kc_allocator *allocator;
    char *data;
    size_t length;
    size_t capacity;
    int failure_code; // a capture failure of our own, reported instead of the engine's
    const char *failure_message;
    bool ended;
};

// Room for extra more bytes: 8192 first (doubled until it fits), then doubling, but exactly
// the needed size once doubling would pass 2^30.
bool capture_reserve(BundleCapture *capture, size_t extra) {
    size_t needed = 0;
    if (__builtin_add_overflow(capture->length, extra, &needed)) {
        capture->failure_code = KC_ERR_NOMEM;
        capture->failure_message = "client bundle source is too large";
        return false;
    }
    if (needed <= capture->capacity) return true;
    size_t capacity = capture->capacity ? capture->capacity : kBundleFirstCapacity;
    while (capacity < needed) {
        if (capacity > kBundleDoublingLimit / 2) {
            capacity = needed;
            break;
        }
        capacity *= 2;
    }
    auto *grown = static_cast<char *>(kc_realloc_with_allocator(capture->allocator, capture->data, capacity));
    if (!grown) {
        capture->failure_code = KC_ERR_NOMEM;
        capture->failure_message = "failed to retain client bundle source";
        return false;
    }
    capture->data = grown;
    capture->capacity = capacity;
    return true;
}

size_t capture_read(kc_engine_bundle_source *engine_source, void *buffer, size_t capacity,
                    kc_engine_error *engine_error) {
    auto *capture = static_cast<BundleCapture *>(engine_source->user);
    kc_error failure{};
    size_t n = capture->source->read(capture->source, buffer, capacity, &failure);
    if (n == 0) {
        if (failure.code != KC_OK) {
            kc_engine_set_client_error(engine_error, failure.code,
                                       failure.message ? failure.message : "failed to read client bundle source");
        } else {
            capture->ended = true;
        }
        kc_error_cleanup(&failure);
        return 0;
    }
    kc_error_cleanup(&failure);
    if (!capture_reserve(capture, n)) {
        kc_engine_set_client_error(engine_error, capture->failure_code, capture->failure_message);
        return 0;
    }
    std::memcpy(capture->data + capture->length, buffer, n);
    capture->length += n;
    return n;
}

int capture_reset(kc_engine_bundle_source *, kc_engine_error *engine_error) {
    return kc_engine_set_client_error(engine_error, KC_ERR_INVALID, "source is not resettable");
}

// Reads what the engine left unread, so the kept bytes are the source's whole content.
int capture_drain(BundleCapture *capture, kc_error *error) {
    char buffer[4096];
    while (!capture->ended) {
        kc_engine_error engine_error{};
        size_t n = capture_read(&capture->engine_source, buffer, sizeof(buffer), &engine_error);
        if (n == 0 && !capture->ended) {
            int code = kc_error_from_engine(error, &engine_error);
            kc_engine_error_cleanup(&engine_error);
            return code;
        }
    }
    return KC_OK;
}

void client_close_method(kc_client *self) {
    if (!self) return;
    ClientHandle *client = handle_of(self);
    kc_allocator allocator = client->allocator;
    kc_engine_client_close(client->engine);
    if (client->endpoints) {
        for (size_t i = 0; i < client->endpoint_count; i++) kc_free_with_allocator(&allocator, client->endpoints[i]);
        kc_free_with_allocator(&allocator, client->endpoints);
    }
    kc_free_with_allocator(&allocator, client->unix_socket_path);
    kc_free_with_allocator(&allocator, client->client_bundle);
    kc_free_with_allocator(&allocator, client->client_bundle_path);
    kc_free_with_allocator(&allocator, client->default_namespace);
    kc_free_with_allocator(&allocator, client);
}

// Copy of text through the client allocator; false when a non-NULL text could not be copied.
bool copy_setting(const kc_allocator *allocator, char **out, const char *text) {
    *out = kc_strdup_with_allocator(allocator, text);
    return *out != nullptr || text == nullptr;
}

void fill_slots(kc_client *pub) {
    pub->acquire = kc_client_acquire_method;
    pub->describe = kc_client_describe_method;
    pub->get = kc_client_get_method;
    pub->load = kc_client_load_method;
    pub->update = kc_client_update_method;
    pub->mutate = kc_client_mutate_method;
    pub->metadata = kc_client_metadata_method;
    pub->remove = kc_client_remove_method;
    pub->keepalive = kc_client_keepalive_method;
    pub->release = kc_client_release_method;
    pub->attach = kc_client_attach_method;
    pub->list_attachments = kc_client_list_attachments_method;
    pub->get_attachment = kc_client_get_attachment_method;
    pub->delete_attachment = kc_client_delete_attachment_method;
    pub->delete_all_attachments = kc_client_delete_all_attachments_method;
    // Queue, query, management and consumer slots are filled by their own operations.
    pub->close = client_close_method;
    pub->reserved = nullptr;
    pub->acquire_for_update = kc_client_acquire_for_update_method;
}

} // namespace

void log_at(Level level, const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    switch (level) {
    case Level::Trace: kc_log_trace(logger, event, fields, count); break;
    case Level::Debug: kc_log_debug(logger, event, fields, count); break;
    case Level::Info: kc_log_info(logger, event, fields, count); break;
    case Level::Warn: kc_log_warn(logger, event, fields, count); break;
    case Level::Error: kc_log_error(logger, event, fields, count); break;
    }
}

void log_start(const chirp_logger *logger, const OpEvents &events, const FieldList &fields) {
    log_at(Level::Trace, logger, events.start, fields.data(), fields.size());
}

void log_success(const chirp_logger *logger, const OpEvents &events, const FieldList &fields) {
    log_at(events.success_level, logger, events.success, fields.data(), fields.size());
}

void log_failure(const chirp_logger *logger, const OpEvents &events, const FieldList &fields,
                 const kc_error *failure) {
    FieldList all = fields;
    all.add(kc_log_code_field(failure)).add(kc_log_http_status_field(failure)).add(kc_log_error_field("error", failure));
    if (events.transport_error) {
        if (failure && failure->code == KC_ERR_TRANSPORT) {
            log_at(Level::Error, logger, events.transport_error, all.data(), all.size());
        } else {
            log_at(Level::Warn, logger, events.error, all.data(), all.size());
        }
        return;
    }
    log_at(events.error_level, logger, events.error, all.data(), all.size());
}

int hand_over_error(kc_error *failure, kc_error *out) {
    int code = failure->code;
    if (out) {
        kc_error_cleanup(out);
        *out = *failure;
        std::memset(failure, 0, sizeof(*failure));
    } else {
        kc_error_cleanup(failure);
    }
    return code;
}

int fail_from_engine(const chirp_logger *logger, const OpEvents &events, const FieldList &fields,
                     const kc_engine_error *engine_error, kc_error *out) {
    kc_error failure{};
    kc_error_from_engine(&failure, engine_error);
    log_failure(logger, events, fields, &failure);
    return hand_over_error(&failure, out);
}

int fail_local(const chirp_logger *logger, const OpEvents &events, const FieldList &fields, int code,
               const char *message, const char *detail, kc_error *out) {
    kc_error failure{};
    kc_error_set(&failure, code, 0, message, detail, nullptr, nullptr);
    log_failure(logger, events, fields, &failure);
    return hand_over_error(&failure, out);
}

} // namespace korvo::api

extern "C" {

KC_API int kc_client_open(const kc_client_config *config, kc_client **out_client, kc_error *error) {
    using namespace korvo::api;
    if (!config || !out_client) return invalid_argument(error, "kc_client_open requires config and out");
    const kc_allocator *allocator = &config->allocator;

    BundleCapture capture{};
    capture.allocator = allocator;
    kc_engine_client_config engine_config;
    kc_engine_client_config_init(&engine_config);
    engine_config.endpoints = config->endpoints;
    engine_config.endpoint_count = config->endpoint_count;
    engine_config.unix_socket_path = config->unix_socket_path;
    bool capturing = !config->disable_mtls && config->client_bundle_source;
    if (capturing) {
        capture.source = config->client_bundle_source;
        capture.engine_source.read = capture_read;
        capture.engine_source.reset = capture_reset;
        capture.engine_source.user = &capture;
        engine_config.client_bundle_source = &capture.engine_source;
        engine_config.client_bundle_path = nullptr;
    } else {
        engine_config.client_bundle_path = config->client_bundle_path;
    }
    engine_config.default_namespace = config->default_namespace;
    engine_config.timeout_ms = config->timeout_ms;
    engine_config.disable_mtls = config->disable_mtls;
    engine_config.insecure_skip_verify = config->insecure_skip_verify;
    engine_config.prefer_http2 = config->prefer_http2;
    engine_config.max_response_bytes = config->max_response_bytes;
    engine_config.logger = config->logger;
    engine_config.raw_logger = config->raw_logger;
    engine_config.allocator.malloc_fn = config->allocator.malloc_fn;
    engine_config.allocator.realloc_fn = config->allocator.realloc_fn;
    engine_config.allocator.free_fn = config->allocator.free_fn;
    engine_config.allocator.context = config->allocator.context;

    auto *client = static_cast<ClientHandle *>(kc_calloc_with_allocator(allocator, 1, sizeof(ClientHandle)));
    if (!client)
        return kc_error_set(error, KC_ERR_NOMEM, 0, "failed to allocate client", nullptr, nullptr, nullptr);
    client->allocator = *allocator;

    kc_engine_error engine_error{};
    int code = kc_engine_client_open(&engine_config, &client->engine, &engine_error);
    if (code == KC_OK && capturing) {
        code = capture_drain(&capture, error);
        if (code != KC_OK) {
            kc_engine_client_close(client->engine);
            client->engine = nullptr;
        }
    } else if (code != KC_OK) {
        // A capture failure of ours reaches the engine as a source failure: report it as it was.
        if (capture.failure_code != KC_OK) {
            code = kc_error_set(error, capture.failure_code, 0, capture.failure_message, nullptr, nullptr, nullptr);
        } else {
            code = kc_error_from_engine(error, &engine_error);
        }
    }
    kc_engine_error_cleanup(&engine_error);
    if (code != KC_OK) {
        kc_free_with_allocator(allocator, capture.data);
        kc_free_with_allocator(allocator, client);
        return code;
    }
    client->client_bundle = capture.data;
    client->client_bundle_length = capture.length;

    const char *failed = nullptr;
    if (config->endpoint_count > 0) {
        client->endpoints = static_cast<char **>(kc_calloc_with_allocator(allocator, config->endpoint_count, sizeof(char *)));
        if (!client->endpoints) failed = "failed to allocate client endpoint copy";
        for (unsigned i = 0; !failed && i < config->endpoint_count; i++) {
            if (!copy_setting(allocator, &client->endpoints[i], config->endpoints[i]))
                failed = "failed to copy client endpoint";
            client->endpoint_count = i + 1;
        }
    }
    if (!failed && !copy_setting(allocator, &client->unix_socket_path, config->unix_socket_path))
        failed = "failed to copy unix_socket_path";
    if (!failed && !copy_setting(allocator, &client->client_bundle_path, config->client_bundle_path))
        failed = "failed to copy client bundle path";
    if (!failed && !copy_setting(allocator, &client->default_namespace, config->default_namespace))
        failed = "failed to copy default namespace";
    if (failed) {
        client_close_method(&client->pub);
        return kc_error_set(error, KC_ERR_NOMEM, 0, failed, nullptr, nullptr, nullptr);
    }

    client->timeout_ms = config->timeout_ms;
    client->disable_mtls = config->disable_mtls;
    client->insecure_skip_verify = config->insecure_skip_verify;
    client->prefer_http2 = config->prefer_http2;
    client->max_response_bytes = config->max_response_bytes;
    client->raw_logger = config->raw_logger;
    client->base_logger = config->logger ? config->logger : kc_log_noop_logger();
    client->logger = kc_engine_client_logger(client->engine);
    fill_slots(&client->pub);
    client->pub.default_namespace = client->default_namespace;
    *out_client = &client->pub;
    return KC_OK;
}

KC_API void kc_client_close(kc_client *client) {
    if (client && client->close) client->close(client);
}

KC_API const char *kc_version_string(void) { return kc_engine_version_string(); }

KC_API int kc_acquire(kc_client *client, const kc_acquire_req *req, kc_lease **out, kc_error *error) {
    return client->acquire(client, req, out, error);
}

KC_API int kc_describe(kc_client *client, const kc_describe_req *req, kc_describe_res *out, kc_error *error) {
    return client->describe(client, req, out, error);
}

KC_API int kc_get(kc_client *client, const char *key, const kc_get_opts *opts, kc_sink *dst, kc_get_res *out,
                  kc_error *error) {
    return client->get(client, key, opts, dst, out, error);
}

KC_API int kc_load(kc_client *client, const char *key, const vellum_map *map, void *destination,
                   const vellum_parse_options *parse_options, const kc_get_opts *opts, kc_get_res *out,
                   kc_error *error) {
    return client->load(client, key, map, destination, parse_options, opts, out, error);
}

KC_API int kc_update(kc_client *client, const kc_update_req *req, kc_source *src, kc_update_res *out,
                     kc_error *error) {
    return client->update(client, req, src, out, error);
}

KC_API int kc_mutate(kc_client *client, const kc_mutate_op *req, kc_mutate_res *out, kc_error *error) {
    return client->mutate(client, req, out, error);
}

KC_API int kc_metadata(kc_client *client, const kc_metadata_op *req, kc_metadata_res *out, kc_error *error) {
    return client->metadata(client, req, out, error);
}

KC_API int kc_remove(kc_client *client, const kc_remove_op *req, kc_remove_res *out, kc_error *error) {
    return client->remove(client, req, out, error);
}

KC_API int kc_keepalive(kc_client *client, const kc_keepalive_op *req, kc_keepalive_res *out, kc_error *error) {
    return client->keepalive(client, req, out, error);
}

KC_API int kc_release(kc_client *client, const kc_release_op *req, kc_release_res *out, kc_error *error) {
    return client->release(client, req, out, error);
}

KC_API int kc_attach(kc_client *client, const kc_attach_op *req, kc_source *src, kc_attach_res *out,
                     kc_error *error) {
    return client->attach(client, req, src, out, error);
}

KC_API int kc_list_attachments(kc_client *client, const kc_attachment_list_op *req, kc_attachment_list *out,
                               kc_error *error) {
    return client->list_attachments(client, req, out, error);
}

KC_API int kc_get_attachment(kc_client *client, const kc_attachment_get_op *req, kc_sink *dst,
                             kc_attachment_get_res *out, kc_error *error) {
    return client->get_attachment(client, req, dst, out, error);
}

KC_API int kc_delete_attachment(kc_client *client, const kc_attachment_delete_op *req, int *deleted,
                                kc_error *error) {
    return client->delete_attachment(client, req, deleted, error);
}

KC_API int kc_delete_all_attachments(kc_client *client, const kc_attachment_delete_all_op *req, int *deleted_count,
                                     kc_error *error) {
    return client->delete_all_attachments(client, req, deleted_count, error);
}

KC_API int kc_acquire_for_update(kc_client *client, const kc_acquire_req *req, kc_acquire_for_update_fn handler,
                                 void *handler_context, kc_error *error) {
    return client->acquire_for_update(client, req, handler, handler_context, error);
}

} // extern "C"
