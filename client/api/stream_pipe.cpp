// The stream pipe: a bounded ring buffer between a producer (a transfer's receive callback)
// and a consumer that pulls the payload through a kc_source. The one thread-safe object of
// the public layer; all of its memory comes from the allocator it was opened with.
#include "api/source.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

struct kc_stream_pipe {
    std::mutex mutex;
    std::condition_variable changed; // every state change broadcasts on it
    kc_allocator allocator;
    unsigned char *buffer = nullptr;
    size_t capacity = 0;
    size_t read_pos = 0;
    size_t write_pos = 0;
    size_t filled = 0;
    bool finished = false;
    bool consumer_closed = false;
    bool consumer_attached = true;
    bool producer_attached = true;
    int error_code = KC_OK;
    char *error_message = nullptr; // owned, through allocator
};

namespace korvo::api {
namespace {

constexpr size_t kDefaultPipeCapacity = 65536;

// The consumer's side: a built-in source reading from the pipe.
struct StreamSource {
    BuiltinSource header;
    kc_stream_pipe *pipe;
    kc_allocator allocator;
};

void destroy_pipe(kc_stream_pipe *pipe) {
    kc_allocator allocator = pipe->allocator;
    kc_free_with_allocator(&allocator, pipe->buffer);
    kc_free_with_allocator(&allocator, pipe->error_message);
    pipe->~kc_stream_pipe();
    kc_free_with_allocator(&allocator, pipe);
}

// Marks one side detached and frees the pipe when the other side already is.
void detach(kc_stream_pipe *pipe, bool producer, int code, char *message) {
    bool last;
    {
        std::lock_guard<std::mutex> lock(pipe->mutex);
        if (producer) {
            pipe->producer_attached = false;
            pipe->finished = true;
            if (code != KC_OK) {
                pipe->error_code = code;
                pipe->error_message = message;
            }
        } else {
            pipe->consumer_attached = false;
            pipe->consumer_closed = true;
        }
        last = !pipe->producer_attached && !pipe->consumer_attached;
        pipe->changed.notify_all();
    }
    if (last) destroy_pipe(pipe);
}

size_t stream_source_read(BuiltinSource *source, void *buffer, size_t capacity, kc_error *error) {
    kc_stream_pipe *pipe = reinterpret_cast<StreamSource *>(source)->pipe;
    auto *out = static_cast<unsigned char *>(buffer);
    std::unique_lock<std::mutex> lock(pipe->mutex);
    for (;;) {
        if (pipe->filled > 0) {
            size_t n = capacity < pipe->filled ? capacity : pipe->filled;
            size_t first = pipe->capacity - pipe->read_pos;
            if (first > n) first = n;
            std::memcpy(out, pipe->buffer + pipe->read_pos, first);
            std::memcpy(out + first, pipe->buffer, n - first);
            pipe->read_pos = (pipe->read_pos + n) % pipe->capacity;
            pipe->filled -= n;
            pipe->changed.notify_all();
            return n;
        }
        if (pipe->finished) {
            if (pipe->error_code != KC_OK) {
                const char *message = pipe->error_message ? pipe->error_message : "stream delivery failed";
                set_source_error(error, pipe->error_code, message);
            }
            return 0;
        }
        pipe->changed.wait(lock);
    }
}

int stream_source_reset(BuiltinSource *, kc_error *error) {
    return set_source_error(error, KC_ERR_INVALID, "streamed payloads are not rewindable");
}

void stream_source_close(BuiltinSource *source) {
    auto *self = reinterpret_cast<StreamSource *>(source);
    kc_allocator allocator = self->allocator;
    detach(self->pipe, false, KC_OK, nullptr);
    kc_free_with_allocator(&allocator, self);
}

} // namespace
} // namespace korvo::api

extern "C" {

KC_API int kc_stream_pipe_open(size_t capacity, const kc_allocator *allocator, kc_source **out_source,
                               kc_stream_pipe **out_pipe, kc_error *error) {
    using namespace korvo::api;
    if (!out_source || !out_pipe) return set_source_error(error, KC_ERR_INVALID, "stream pipe requires out and pipe");
    if (capacity == 0) capacity = kDefaultPipeCapacity;
    kc_allocator copy;
    kc_allocator_init(&copy);
    if (allocator) copy = *allocator;

    void *memory = kc_alloc_with_allocator(&copy, sizeof(kc_stream_pipe));
    if (!memory) return set_source_error(error, KC_ERR_NOMEM, "failed to allocate stream pipe");
    auto *pipe = new (memory) kc_stream_pipe();
    pipe->allocator = copy;
    pipe->capacity = capacity;
    pipe->buffer = static_cast<unsigned char *>(kc_alloc_with_allocator(&copy, capacity));
    if (!pipe->buffer) {
        destroy_pipe(pipe);
        return set_source_error(error, KC_ERR_NOMEM, "failed to allocate stream buffer");
    }
    auto *source = static_cast<StreamSource *>(kc_calloc_with_allocator(&copy, 1, sizeof(StreamSource)));
    if (!source) {
        destroy_pipe(pipe);
        return set_source_error(error, KC_ERR_NOMEM, "failed to allocate stream source");
    }
    init_builtin_source(&source->header, stream_source_read, stream_source_reset, stream_source_close);
    source->pipe = pipe;
    source->allocator = copy;
    *out_source = &source->header.base;
    *out_pipe = pipe;
    return KC_OK;
}

KC_API int kc_stream_pipe_write(kc_stream_pipe *pipe, const void *bytes, size_t length, kc_error *error) {
    using namespace korvo::api;
    if (!pipe) return set_source_error(error, KC_ERR_INVALID, "stream pipe write requires pipe");
    if (length == 0) return KC_OK;
    if (!bytes) return set_source_error(error, KC_ERR_INVALID, "stream pipe write requires bytes");
    const auto *cursor = static_cast<const unsigned char *>(bytes);
    std::unique_lock<std::mutex> lock(pipe->mutex);
    while (length > 0) {
        if (pipe->consumer_closed) {
            lock.unlock();
            return set_source_error(error, KC_ERR_TRANSPORT, "stream consumer closed payload early");
        }
        if (pipe->filled == pipe->capacity) {
            pipe->changed.wait(lock);
            continue;
        }
        size_t space = pipe->capacity - pipe->filled;
        size_t n = length < space ? length : space;
        size_t first = pipe->capacity - pipe->write_pos;
        if (first > n) first = n;
        std::memcpy(pipe->buffer + pipe->write_pos, cursor, first);
        std::memcpy(pipe->buffer, cursor + first, n - first);
        pipe->write_pos = (pipe->write_pos + n) % pipe->capacity;
        pipe->filled += n;
        cursor += n;
        length -= n;
        pipe->changed.notify_all();
    }
    return KC_OK;
}

KC_API void kc_stream_pipe_finish(kc_stream_pipe *pipe) {
    if (pipe) korvo::api::detach(pipe, true, KC_OK, nullptr);
}

KC_API void kc_stream_pipe_fail(kc_stream_pipe *pipe, int code, const char *message) {
    if (!pipe) return;
    // Copied before locking; a copy that cannot be made leaves the default message.
    char *copy = kc_strdup_with_allocator(&pipe->allocator, message);
    korvo::api::detach(pipe, true, code != KC_OK ? code : KC_ERR_TRANSPORT, copy);
}

} // extern "C"
