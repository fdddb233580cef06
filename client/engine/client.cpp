// The engine client: configuration defaults, open and close, settings, the cancel check and
// the caller allocator.
#include "korvoc_engine.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <cstring>

namespace korvo::engine {
namespace {

constexpr int kDefaultTimeoutMs = 30000;
constexpr size_t kDefaultMaxResponseBytes = 1048576;

// Closes the partial client and reports an allocation failure.
int fail_nomem(kc_engine_client *client, kc_engine_error *error, const char *message) {
    kc_engine_client_close(client);
    return kc_engine_set_client_error(error, KC_ERR_NOMEM, message);
}

} // namespace
} // namespace korvo::engine

extern "C" {

KC_API kc_engine_client_config *kc_engine_client_config_init(kc_engine_client_config *config) {
    if (!config) return nullptr;
    std::memset(config, 0, sizeof(*config));
    config->timeout_ms = korvo::engine::kDefaultTimeoutMs;
    config->prefer_http2 = 1;
    config->max_response_bytes = 0;
    return config;
}

KC_API int kc_engine_client_open(const kc_engine_client_config *config, kc_engine_client **out_client,
                                 kc_engine_error *error) {
    using korvo::engine::fail_nomem;
    if (!config || !out_client)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "config and out_client are required");
    if (!config->endpoints || config->endpoint_count == 0)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "at least one endpoint is required");
    if (!config->disable_mtls && !config->client_bundle_source &&
        !(config->client_bundle_path && config->client_bundle_path[0] != '\0'))
        return kc_engine_set_client_error(
            error, KC_ERR_INVALID, "client_bundle_source or client_bundle_path is required unless disable_mtls is enabled");

    curl_global_init(CURL_GLOBAL_ALL);
    OPENSSL_init_ssl(0, nullptr);

    auto *client = static_cast<kc_engine_client *>(std::calloc(1, sizeof(kc_engine_client)));
    if (!client) return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate client");
    client->endpoints = static_cast<char **>(std::calloc(config->endpoint_count, sizeof(char *)));
    if (!client->endpoints) return fail_nomem(client, error, "failed to allocate endpoint array");
    for (unsigned i = 0; i < config->endpoint_count; i++) {
        // A NULL entry is kept as an empty endpoint so the count stays the caller's.
        const char *endpoint = config->endpoints[i] ? config->endpoints[i] : "";
        client->endpoints[i] = kc_engine_strdup_local(endpoint);
        if (!client->endpoints[i]) return fail_nomem(client, error, "failed to copy endpoint");
        client->endpoint_count = i + 1;
        kc_engine_trim_trailing_slash(client->endpoints[i]);
    }
    client->default_namespace = kc_engine_strdup_local(config->default_namespace ? config->default_namespace : "default");
    if (!client->default_namespace) return fail_nomem(client, error, "failed to copy default namespace");
    if (config->unix_socket_path) {
        client->unix_socket_path = kc_engine_strdup_local(config->unix_socket_path);
        if (!client->unix_socket_path) return fail_nomem(client, error, "failed to copy unix_socket_path");
    }

    client->timeout_ms = config->timeout_ms > 0 ? config->timeout_ms : korvo::engine::kDefaultTimeoutMs;
    client->disable_mtls = config->disable_mtls ? 1 : 0;
    client->insecure_skip_verify = config->insecure_skip_verify ? 1 : 0;
    client->prefer_http2 = config->prefer_http2 ? 1 : 0;
    client->max_response_bytes =
        config->max_response_bytes ? config->max_response_bytes : korvo::engine::kDefaultMaxResponseBytes;
    client->raw_logger = config->raw_logger ? 1 : 0;
    client->base_logger = config->logger ? config->logger : kc_log_noop_logger();
    client->logger = kc_log_client_logger(client->base_logger, client->raw_logger);
    if (!client->logger) return fail_nomem(client, error, "failed to initialize client logger");
    client->owns_logger = client->logger != client->base_logger && client->logger != kc_log_noop_logger();

    if (!client->disable_mtls) {
        int code = config->client_bundle_source
                       ? kc_engine_load_bundle(client, config->client_bundle_source, nullptr, error)
                       : kc_engine_load_bundle(client, nullptr, config->client_bundle_path, error);
        if (code != KC_OK) {
            kc_engine_client_close(client);
            return code;
        }
    }

    *out_client = client;
    chirp_field fields[] = {
        kc_log_u64_field("endpoint_count", client->endpoint_count),
        kc_log_str_field("default_namespace", client->default_namespace),
    };
    kc_log_info(client->logger, "client.init", fields, 2);
    return KC_OK;
}

KC_API void kc_engine_client_close(kc_engine_client *client) {
    if (!client) return;
    kc_engine_free_bundle(&client->bundle);
    if (client->endpoints) {
        for (size_t i = 0; i < client->endpoint_count; i++) std::free(client->endpoints[i]);
        std::free(client->endpoints);
    }
    std::free(client->unix_socket_path);
    std::free(client->default_namespace);
    if (client->owns_logger && client->logger) client->logger->release(client->logger);
    std::free(client);
}

KC_API void kc_engine_client_set_cancel_check(kc_engine_client *client, kc_engine_cancel_fn fn, void *user) {
    if (!client) return;
    client->cancel_check = fn;
    client->cancel_user = user;
}

KC_API chirp_logger *kc_engine_client_logger(const kc_engine_client *client) {
    if (!client || !client->logger) return kc_log_noop_logger();
    return client->logger;
}

KC_API const char *kc_engine_version_string(void) { return "0.7.0"; }

KC_API void kc_engine_allocator_init(kc_engine_allocator *allocator) {
    if (allocator) std::memset(allocator, 0, sizeof(*allocator));
}

KC_API void *kc_engine_default_malloc(void *, size_t size) { return std::malloc(size); }
KC_API void *kc_engine_default_realloc(void *, void *pointer, size_t size) { return std::realloc(pointer, size); }
KC_API void kc_engine_default_free(void *, void *pointer) { std::free(pointer); }

KC_API int kc_engine_client_set_allocator(kc_engine_client *client, const kc_engine_allocator *allocator,
                                          kc_engine_error *error) {
    if (!client || !allocator || !error)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "set_allocator requires client, allocator, and error");
    if (!allocator->malloc_fn || !allocator->free_fn)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "allocator requires malloc_fn and free_fn");
    client->allocator = *allocator;
    if (!client->allocator.realloc_fn) client->allocator.realloc_fn = kc_engine_default_realloc;
    return KC_OK;
}

KC_API int kc_engine_client_get_allocator(const kc_engine_client *client, kc_engine_allocator *out,
                                          kc_engine_error *error) {
    if (!client || !out || !error)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "get_allocator requires client, allocator, and error");
    if (client->allocator.malloc_fn) {
        *out = client->allocator;
    } else {
        out->malloc_fn = kc_engine_default_malloc;
        out->realloc_fn = kc_engine_default_realloc;
        out->free_fn = kc_engine_default_free;
        out->context = nullptr;
    }
    return KC_OK;
}

KC_API void *kc_engine_client_alloc(const kc_engine_client *client, size_t size) {
    if (client && client->allocator.malloc_fn) return client->allocator.malloc_fn(client->allocator.context, size);
    return std::malloc(size);
}

KC_API void kc_engine_client_free_alloc(const kc_engine_client *client, void *p) {
    if (!p) return;
    if (client && client->allocator.free_fn) {
        client->allocator.free_fn(client->allocator.context, p);
        return;
    }
    std::free(p);
}

KC_API char *kc_engine_client_strdup(const kc_engine_client *client, const char *s) {
    if (!s) return nullptr;
    return kc_engine_client_strdup_range(client, s, s + std::strlen(s));
}

KC_API char *kc_engine_client_strdup_range(const kc_engine_client *client, const char *begin, const char *end) {
    if (!begin || !end || end < begin) return nullptr;
    size_t length = static_cast<size_t>(end - begin);
    char *copy = static_cast<char *>(kc_engine_client_alloc(client, length + 1));
    if (!copy) return nullptr;
    if (length > 0) std::memcpy(copy, begin, length);
    copy[length] = '\0';
    return copy;
}

} // extern "C"
