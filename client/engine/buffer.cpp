// Small utilities every engine operation uses: string copies, the growable buffer, a memory
// reader for the JSON library, URL encoding, namespace defaulting and endpoint joining.
#include "korvoc_engine.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace korvo::engine {
namespace {

constexpr size_t kFirstCapacity = 256;
constexpr size_t kLargeFirstCapacity = 512;

// Capacity that holds needed bytes under the growth rule; 0 when it would overflow.
size_t grown_capacity(size_t capacity, size_t needed) {
    size_t next = capacity;
    if (next == 0) {
        if (needed <= kFirstCapacity) return kFirstCapacity;
        next = kLargeFirstCapacity;
    }
    while (next < needed) {
        if (next > SIZE_MAX / 2) return 0;
        next *= 2;
    }
    return next;
}

int append(kc_engine_buffer *buffer, const void *bytes, size_t length, size_t limit) {
    if (!buffer || (!bytes && length > 0)) return 1;
    if (length > SIZE_MAX - buffer->length - 1) return 2;
    size_t needed = buffer->length + length + 1;
    if (limit != 0 && limit < needed) return 2;
    if (buffer->capacity < needed) {
        size_t capacity = grown_capacity(buffer->capacity, needed);
        if (capacity == 0) return 2;
        char *data = static_cast<char *>(std::realloc(buffer->data, capacity));
        if (!data) return 2;
        buffer->data = data;
        buffer->capacity = capacity;
    }
    if (length > 0) std::memcpy(buffer->data + buffer->length, bytes, length);
    buffer->length += length;
    buffer->data[buffer->length] = '\0';
    return 0;
}

struct CurlDeleter {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};

} // namespace
} // namespace korvo::engine

extern "C" {

KC_API char *kc_engine_strdup_local(const char *s) {
    if (!s) return nullptr;
    return kc_engine_strdup_range(s, s + std::strlen(s));
}

KC_API char *kc_engine_strdup_range(const char *begin, const char *end) {
    if (!begin || !end || end < begin) return nullptr;
    size_t length = static_cast<size_t>(end - begin);
    char *copy = static_cast<char *>(std::malloc(length + 1));
    if (!copy) return nullptr;
    if (length > 0) std::memcpy(copy, begin, length);
    copy[length] = '\0';
    return copy;
}

KC_API void kc_engine_free_string(char **p) {
    if (!p) return;
    std::free(*p);
    *p = nullptr;
}

KC_API void kc_engine_buffer_init(kc_engine_buffer *buffer) {
    if (buffer) std::memset(buffer, 0, sizeof(*buffer));
}

KC_API void kc_engine_buffer_cleanup(kc_engine_buffer *buffer) {
    if (!buffer) return;
    std::free(buffer->data);
    std::memset(buffer, 0, sizeof(*buffer));
}

KC_API int kc_engine_buffer_append(kc_engine_buffer *buffer, const void *bytes, size_t length) {
    return korvo::engine::append(buffer, bytes, length, 0);
}

KC_API int kc_engine_buffer_append_cstr(kc_engine_buffer *buffer, const char *s) {
    if (!buffer) return 1;
    if (!s) return 0;
    return korvo::engine::append(buffer, s, std::strlen(s), 0);
}

KC_API int kc_engine_buffer_append_limited(kc_engine_buffer *buffer, const void *bytes, size_t length, size_t limit) {
    return korvo::engine::append(buffer, bytes, length, limit);
}

KC_API int kc_engine_buffer_append_cstr_limited(kc_engine_buffer *buffer, const char *s, size_t limit) {
    if (!buffer) return 1;
    if (!s) return 0;
    return korvo::engine::append(buffer, s, std::strlen(s), limit);
}

KC_API vellum_read_result kc_engine_json_memory_reader(void *user, void *buffer, size_t capacity) {
    vellum_read_result result = vellum_default_read_result();
    auto *input = static_cast<kc_engine_json_memory_input *>(user);
    if (!input || input->remaining == 0) {
        result.eof = 1;
        return result;
    }
    size_t n = input->remaining < capacity ? input->remaining : capacity;
    if (n > 0) {
        if (!buffer) {
            result.error = EINVAL;
            return result;
        }
        std::memcpy(buffer, input->data, n);
    }
    input->data += n;
    input->remaining -= n;
    result.bytes = n;
    result.eof = input->remaining == 0;
    return result;
}

KC_API char *kc_engine_url_encode(const char *s) {
    if (!s) return kc_engine_strdup_local("");
    std::unique_ptr<CURL, korvo::engine::CurlDeleter> curl(curl_easy_init());
    if (!curl) return nullptr;
    size_t length = std::strlen(s);
    if (length > static_cast<size_t>(INT32_MAX)) return nullptr;
    char *escaped = curl_easy_escape(curl.get(), s, static_cast<int>(length));
    if (!escaped) return nullptr;
    char *copy = kc_engine_strdup_local(escaped);
    curl_free(escaped);
    return copy;
}

KC_API const char *kc_engine_effective_namespace(const kc_engine_client *client, const char *ns) {
    if (ns && ns[0] != '\0') return ns;
    if (client && client->default_namespace && client->default_namespace[0] != '\0') return client->default_namespace;
    return "default";
}

KC_API void kc_engine_trim_trailing_slash(char *s) {
    if (!s) return;
    size_t length = std::strlen(s);
    while (length > 0 && s[length - 1] == '/') s[--length] = '\0';
}

KC_API char *kc_engine_join_endpoints(const kc_engine_client *client) {
    if (!client || client->endpoint_count == 0 || !client->endpoints) return nullptr;
    kc_engine_buffer joined;
    kc_engine_buffer_init(&joined);
    for (size_t i = 0; i < client->endpoint_count; i++) {
        if ((i > 0 && kc_engine_buffer_append(&joined, ",", 1) != 0) ||
            kc_engine_buffer_append_cstr(&joined, client->endpoints[i]) != 0) {
            kc_engine_buffer_cleanup(&joined);
            return nullptr;
        }
    }
    return joined.data; // ownership passes to the caller
}

} // extern "C"
