// Allocator helpers: a kc_allocator whose NULL members fall back one by one to the system
// functions, and the client forms that use the allocator a client was opened with.
#include "api/alloc.h"

#include "api/client_internal.h"

#include <cstdlib>
#include <cstring>

namespace korvo::api {

const kc_allocator *client_allocator(const kc_client *client) {
    return client ? &handle_of(client)->allocator : nullptr;
}

} // namespace korvo::api

extern "C" {

KC_API kc_allocator *kc_allocator_init(kc_allocator *allocator) {
    if (allocator) std::memset(allocator, 0, sizeof(*allocator));
    return allocator;
}

KC_API void *kc_alloc_with_allocator(const kc_allocator *allocator, size_t size) {
    if (allocator && allocator->malloc_fn) return allocator->malloc_fn(allocator->context, size);
    return std::malloc(size);
}

KC_API void *kc_calloc_with_allocator(const kc_allocator *allocator, size_t count, size_t size) {
    size_t total = 0;
    if (__builtin_mul_overflow(count, size, &total)) return nullptr;
    if (total == 0) total = 1;
    void *block = kc_alloc_with_allocator(allocator, total);
    if (block) std::memset(block, 0, total);
    return block;
}

KC_API void *kc_realloc_with_allocator(const kc_allocator *allocator, void *pointer, size_t size) {
    if (allocator && allocator->realloc_fn) return allocator->realloc_fn(allocator->context, pointer, size);
    return std::realloc(pointer, size);
}

KC_API void kc_free_with_allocator(const kc_allocator *allocator, void *pointer) {
    if (!pointer) return;
    if (allocator && allocator->free_fn) {
        allocator->free_fn(allocator->context, pointer);
    } else {
        std::free(pointer);
    }
}

KC_API char *kc_dup_bytes_with_allocator(const kc_allocator *allocator, const void *bytes, size_t length) {
    if ((!bytes && length > 0) || length == SIZE_MAX) return nullptr;
    auto *copy = static_cast<char *>(kc_alloc_with_allocator(allocator, length + 1));
    if (!copy) return nullptr;
    if (length > 0) std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

KC_API char *kc_strdup_with_allocator(const kc_allocator *allocator, const char *text) {
    if (!text) return nullptr;
    return kc_dup_bytes_with_allocator(allocator, text, std::strlen(text));
}

KC_API void *kc_client_alloc(const kc_client *client, size_t size) {
    return kc_alloc_with_allocator(korvo::api::client_allocator(client), size);
}

KC_API void *kc_client_calloc(const kc_client *client, size_t count, size_t size) {
    return kc_calloc_with_allocator(korvo::api::client_allocator(client), count, size);
}

KC_API void *kc_client_realloc(const kc_client *client, void *pointer, size_t size) {
    return kc_realloc_with_allocator(korvo::api::client_allocator(client), pointer, size);
}

KC_API void kc_client_free(const kc_client *client, void *pointer) {
    kc_free_with_allocator(korvo::api::client_allocator(client), pointer);
}

KC_API char *kc_client_strdup(const kc_client *client, const char *text) {
    return kc_strdup_with_allocator(korvo::api::client_allocator(client), text);
}

KC_API char *kc_strdup_local(const char *text) { return kc_strdup_with_allocator(nullptr, text); }

KC_API char *kc_dup_bytes_as_text(const void *bytes, size_t length) {
    return kc_dup_bytes_with_allocator(nullptr, bytes, length);
}

} // extern "C"
