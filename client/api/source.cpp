// Built-in sources (memory, file, open file, descriptor, callbacks) and sinks (descriptor,
// file, memory), and the copy loop between a source and a sink.
#include "api/source.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace korvo::api {
namespace {

constexpr size_t kMemorySinkInitialCapacity = 4096;
constexpr size_t kCopyChunk = 8192;

// Public slots of every built-in source: dispatch to the kind's operations.
size_t dispatch_read(kc_source *source, void *buffer, size_t capacity, kc_error *error) {
    if (!buffer || capacity == 0) return 0;
    auto *self = reinterpret_cast<BuiltinSource *>(source);
    return self->read(self, buffer, capacity, error);
}

int dispatch_reset(kc_source *source, kc_error *error) {
    auto *self = reinterpret_cast<BuiltinSource *>(source);
    if (!self->reset) return set_source_error(error, KC_ERR_INVALID, "source is not resettable");
    return self->reset(self, error);
}

void dispatch_close(kc_source *source) {
    auto *self = reinterpret_cast<BuiltinSource *>(source);
    self->close(self);
}

int dispatch_write(kc_sink *sink, const void *bytes, size_t length, kc_error *error) {
    auto *self = reinterpret_cast<BuiltinSink *>(sink);
    if (length == 0) return 1;
    if (!bytes) {
        set_source_error(error, KC_ERR_INVALID, "sink write requires bytes");
        return 0;
    }
    return self->write(self, bytes, length, error);
}

void dispatch_sink_close(kc_sink *sink) {
    auto *self = reinterpret_cast<BuiltinSink *>(sink);
    self->close(self);
}

void init_builtin_sink(BuiltinSink *sink, SinkWriteOp write, SinkCloseOp close) {
    sink->base.write = dispatch_write;
    sink->base.close = dispatch_sink_close;
    sink->reserved = nullptr;
    sink->write = write;
    sink->close = close;
}

// A zeroed object of kind T from the system allocator, or NULL.
template <typename T> T *allocate_object() { return static_cast<T *>(kc_calloc_with_allocator(nullptr, 1, sizeof(T))); }

void free_object(void *object) { kc_free_with_allocator(nullptr, object); }

struct FileCloser {
    void operator()(FILE *file) const {
        if (file) std::fclose(file);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Closes a descriptor on scope exit unless released.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        int out = fd;
        fd = -1;
        return out;
    }
};

// ---- memory source ------------------------------------------------------------------------

struct MemorySource {
    BuiltinSource header;
    unsigned char *bytes;
    size_t length;
    size_t position;
    bool owns_bytes;
};

size_t memory_source_read(BuiltinSource *source, void *buffer, size_t capacity, kc_error *) {
    auto *self = reinterpret_cast<MemorySource *>(source);
    size_t remaining = self->length - self->position;
    size_t n = remaining < capacity ? remaining : capacity;
    if (n > 0) std::memcpy(buffer, self->bytes + self->position, n);
    self->position += n;
    return n;
}

int memory_source_reset(BuiltinSource *source, kc_error *) {
    reinterpret_cast<MemorySource *>(source)->position = 0;
    return KC_OK;
}

void memory_source_close(BuiltinSource *source) {
    auto *self = reinterpret_cast<MemorySource *>(source);
    if (self->owns_bytes) free_object(self->bytes);
    free_object(self);
}

// ---- file sources -------------------------------------------------------------------------

struct FileSource {
    BuiltinSource header;
    FILE *file;
    bool owns_file;
};

size_t file_source_read(BuiltinSource *source, void *buffer, size_t capacity, kc_error *error) {
    auto *self = reinterpret_cast<FileSource *>(source);
    size_t n = std::fread(buffer, 1, capacity, self->file);
    // A short read is the end only when the stream did not fail; a failure must not pass
    // for the end of the data.
    if (n == 0 && std::ferror(self->file)) {
        set_source_error(error, KC_ERR_TRANSPORT, "failed to read from file source");
    }
    return n;
}

int file_source_reset(BuiltinSource *source, kc_error *error) {
    auto *self = reinterpret_cast<FileSource *>(source);
    if (std::fseek(self->file, 0, SEEK_SET) != 0) {
        return set_source_error(error, KC_ERR_TRANSPORT, "failed to rewind file source");
    }
    std::clearerr(self->file);
    return KC_OK;
}

void file_source_close(BuiltinSource *source) {
    auto *self = reinterpret_cast<FileSource *>(source);
    if (self->owns_file) std::fclose(self->file);
    free_object(self);
}

FileSource *new_file_source(FILE *file, bool owns) {
    auto *self = allocate_object<FileSource>();
    if (!self) return nullptr;
    init_builtin_source(&self->header, file_source_read, file_source_reset, file_source_close);
    self->file = file;
    self->owns_file = owns;
    return self;
}

// ---- descriptor source --------------------------------------------------------------------

struct FdSource {
    BuiltinSource header;
    int fd;
};

size_t fd_source_read(BuiltinSource *source, void *buffer, size_t capacity, kc_error *error) {
    auto *self = reinterpret_cast<FdSource *>(source);
    for (;;) {
        ssize_t n = ::read(self->fd, buffer, capacity);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        set_source_error(error, KC_ERR_TRANSPORT, "failed to read from fd source");
        return 0;
    }
}

void fd_source_close(BuiltinSource *source) { free_object(source); }

// ---- callback source ----------------------------------------------------------------------

struct CallbackSource {
    BuiltinSource header;
    kc_source_read_fn read;
    kc_source_reset_fn reset;
    kc_source_close_fn close;
    void *user;
};

size_t callback_source_read(BuiltinSource *source, void *buffer, size_t capacity, kc_error *error) {
    auto *self = reinterpret_cast<CallbackSource *>(source);
    return self->read(self->user, buffer, capacity, error);
}

int callback_source_reset(BuiltinSource *source, kc_error *error) {
    auto *self = reinterpret_cast<CallbackSource *>(source);
    if (!self->reset) return set_source_error(error, KC_ERR_INVALID, "source is not resettable");
    return self->reset(self->user, error);
}

void callback_source_close(BuiltinSource *source) {
    auto *self = reinterpret_cast<CallbackSource *>(source);
    if (self->close) self->close(self->user);
    free_object(self);
}

// ---- descriptor and file sinks ------------------------------------------------------------

struct FdSink {
    BuiltinSink header;
    int fd;
    bool owns_fd;
};

// Writes everything, resuming after interruptions and partial writes; fails on an error or
// a write that makes no progress.
int fd_sink_write(BuiltinSink *sink, const void *bytes, size_t length, kc_error *error) {
    auto *self = reinterpret_cast<FdSink *>(sink);
    const auto *cursor = static_cast<const unsigned char *>(bytes);
    while (length > 0) {
        ssize_t n = ::write(self->fd, cursor, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            set_source_error(error, KC_ERR_TRANSPORT, "failed to write to fd sink");
            return 0;
        }
        cursor += n;
        length -= static_cast<size_t>(n);
    }
    return 1;
}

void fd_sink_close(BuiltinSink *sink) {
    auto *self = reinterpret_cast<FdSink *>(sink);
    if (self->owns_fd) ::close(self->fd);
    free_object(self);
}

// ---- memory sink --------------------------------------------------------------------------

int memory_sink_write(BuiltinSink *sink, const void *bytes, size_t length, kc_error *error) {
    auto *self = reinterpret_cast<MemorySink *>(sink);
    size_t needed = 0;
    if (__builtin_add_overflow(self->length, length, &needed)) {
        set_source_error(error, KC_ERR_NOMEM, "failed to grow memory sink");
        return 0;
    }
    if (needed > self->capacity) {
        size_t capacity = self->capacity ? self->capacity : kMemorySinkInitialCapacity;
        while (capacity < needed) {
            if (capacity > SIZE_MAX / 2) {
                set_source_error(error, KC_ERR_NOMEM, "failed to grow memory sink");
                return 0;
            }
            capacity *= 2;
        }
        auto *grown = static_cast<unsigned char *>(kc_realloc_with_allocator(nullptr, self->data, capacity));
        if (!grown) {
            set_source_error(error, KC_ERR_NOMEM, "failed to grow memory sink");
            return 0;
        }
        self->data = grown;
        self->capacity = capacity;
    }
    std::memcpy(self->data + self->length, bytes, length);
    self->length = needed;
    return 1;
}

void memory_sink_close(BuiltinSink *sink) {
    auto *self = reinterpret_cast<MemorySink *>(sink);
    free_object(self->data);
    free_object(self);
}

// Hands error's content over to out (when non-NULL) and leaves error empty.
void move_error(kc_error *out, kc_error *error) {
    if (out) {
        kc_error_cleanup(out);
        *out = *error;
        kc_error_init(error);
    } else {
        kc_error_cleanup(error);
    }
}

} // namespace

void init_builtin_source(BuiltinSource *source, SourceReadOp read, SourceResetOp reset, SourceCloseOp close) {
    source->base.read = dispatch_read;
    source->base.reset = dispatch_reset;
    source->base.close = dispatch_close;
    source->reserved = nullptr;
    source->read = read;
    source->reset = reset;
    source->close = close;
}

int set_source_error(kc_error *error, int code, const char *message) {
    return kc_error_set(error, code, 0, message, nullptr, nullptr, nullptr);
}

} // namespace korvo::api

using korvo::api::set_source_error;

extern "C" {

KC_API int kc_source_from_memory(const void *bytes, size_t length, kc_source **out, kc_error *error) {
    using namespace korvo::api;
    if (!out) return set_source_error(error, KC_ERR_INVALID, "source_from_memory requires out");
    if (!bytes && length > 0) return set_source_error(error, KC_ERR_INVALID, "source_from_memory requires bytes");
    auto *self = allocate_object<MemorySource>();
    if (!self) return set_source_error(error, KC_ERR_NOMEM, "failed to allocate memory source");
    init_builtin_source(&self->header, memory_source_read, memory_source_reset, memory_source_close);
    if (length > 0) {
        self->bytes = static_cast<unsigned char *>(kc_alloc_with_allocator(nullptr, length));
        if (!self->bytes) {
            free_object(self);
            return set_source_error(error, KC_ERR_NOMEM, "failed to allocate memory source bytes");
        }
        std::memcpy(self->bytes, bytes, length);
    }
    self->length = length;
    self->owns_bytes = true;
    *out = &self->header.base;
    return KC_OK;
}

KC_API int kc_source_from_file(const char *path, kc_source **out, kc_error *error) {
    using namespace korvo::api;
    if (!path || !out) return set_source_error(error, KC_ERR_INVALID, "source_from_file requires path and out");
    FilePtr file(std::fopen(path, "rbe"));
    if (!file) return set_source_error(error, KC_ERR_TRANSPORT, "failed to open file source");
    FileSource *self = new_file_source(file.get(), true);
    if (!self) return set_source_error(error, KC_ERR_NOMEM, "failed to allocate file source");
    file.release();
    *out = &self->header.base;
    return KC_OK;
}

KC_API kc_source *kc_source_from_open_file(FILE *file, int owns) {
    using namespace korvo::api;
    if (!file) return nullptr;
    FileSource *self = new_file_source(file, owns != 0);
    if (!self) {
        if (owns) std::fclose(file);
        return nullptr;
    }
    return &self->header.base;
}

KC_API int kc_source_from_fd(int fd, kc_source **out, kc_error *error) {
    using namespace korvo::api;
    if (!out) return set_source_error(error, KC_ERR_INVALID, "source_from_fd requires out");
    auto *self = allocate_object<FdSource>();
    if (!self) return set_source_error(error, KC_ERR_NOMEM, "failed to allocate fd source");
    init_builtin_source(&self->header, fd_source_read, nullptr, fd_source_close);
    self->fd = fd;
    *out = &self->header.base;
    return KC_OK;
}

KC_API int kc_source_from_callbacks(kc_source_read_fn read, kc_source_reset_fn reset, kc_source_close_fn close,
                                    void *user_data, kc_source **out, kc_error *error) {
    using namespace korvo::api;
    if (!read || !out) return set_source_error(error, KC_ERR_INVALID, "source_from_callbacks requires read and out");
    auto *self = allocate_object<CallbackSource>();
    if (!self) return set_source_error(error, KC_ERR_NOMEM, "failed to allocate callback source");
    init_builtin_source(&self->header, callback_source_read, callback_source_reset, callback_source_close);
    self->read = read;
    self->reset = reset;
    self->close = close;
    self->user = user_data;
    *out = &self->header.base;
    return KC_OK;
}

KC_API int kc_sink_to_fd(int fd, kc_sink **out, kc_error *error) {
    using namespace korvo::api;
    if (!out) return set_source_error(error, KC_ERR_INVALID, "sink_to_fd requires out");
    auto *self = allocate_object<FdSink>();
    if (!self) return set_source_error(error, KC_ERR_NOMEM, "failed to allocate fd sink");
    init_builtin_sink(&self->header, fd_sink_write, fd_sink_close);
    self->fd = fd;
    self->owns_fd = false;
    *out = &self->header.base;
    return KC_OK;
}

KC_API int kc_sink_to_file(const char *path, kc_sink **out, kc_error *error) {
    using namespace korvo::api;
    if (!path) return set_source_error(error, KC_ERR_INVALID, "sink_to_file requires path");
    // Checked before opening, so a call that cannot succeed never truncates the file.
    if (!out) return set_source_error(error, KC_ERR_INVALID, "sink_to_fd requires out");
    FdGuard fd{::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    if (fd.fd < 0) return set_source_error(error, KC_ERR_TRANSPORT, "failed to open file sink");
    int code = kc_sink_to_fd(fd.fd, out, error);
    if (code != KC_OK) return code;
    reinterpret_cast<FdSink *>(*out)->owns_fd = true;
    fd.release();
    return KC_OK;
}

KC_API int kc_sink_to_memory(kc_sink **out, kc_error *error) {
    using namespace korvo::api;
    if (!out) return set_source_error(error, KC_ERR_INVALID, "sink_to_memory requires out");
    auto *self = allocate_object<MemorySink>();
    if (!self) return set_source_error(error, KC_ERR_NOMEM, "failed to allocate memory sink");
    init_builtin_sink(&self->header, memory_sink_write, memory_sink_close);
    *out = &self->header.base;
    return KC_OK;
}

KC_API int kc_sink_memory_bytes(kc_sink *sink, const void **out_bytes, size_t *out_length) {
    using namespace korvo::api;
    if (!sink || !out_bytes || !out_length) return 1;
    auto *header = reinterpret_cast<BuiltinSink *>(sink);
    if (sink->write != dispatch_write || header->write != memory_sink_write) return 1;
    auto *self = reinterpret_cast<MemorySink *>(sink);
    *out_bytes = self->data;
    *out_length = self->length;
    return 0;
}

KC_API void kc_source_close(kc_source *source) {
    if (source && source->close) source->close(source);
}

KC_API void kc_sink_close(kc_sink *sink) {
    if (sink && sink->close) sink->close(sink);
}

KC_API int kc_copy(kc_source *source, kc_sink *sink, size_t *out_total, kc_error *error) {
    using namespace korvo::api;
    if (!source || !sink || !source->read || !sink->write) {
        return set_source_error(error, KC_ERR_INVALID, "kc_copy requires src and dst");
    }
    // A private record: a read failure is seen even when the caller passed no error record.
    kc_error local;
    kc_error_init(&local);
    unsigned char chunk[kCopyChunk];
    size_t total = 0;
    for (;;) {
        size_t n = source->read(source, chunk, sizeof(chunk), &local);
        if (n == 0) {
            if (out_total) *out_total = total;
            int code = local.code;
            if (code != KC_OK) move_error(error, &local);
            kc_error_cleanup(&local);
            return code;
        }
        total += n;
        if (!sink->write(sink, chunk, n, &local)) {
            if (local.code == KC_OK) set_source_error(&local, KC_ERR_TRANSPORT, "failed to write to sink");
            int code = local.code;
            move_error(error, &local);
            return code;
        }
    }
}

} // extern "C"
