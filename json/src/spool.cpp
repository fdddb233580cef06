// Spooled values (memory prefix plus spill file) and sources (FILE, descriptor, path), with
// the private read cursors that every writer of them uses.
#include "spool.h"

#include "json_value.h"
#include "serializer.h"

#include <cerrno>
#include <cstdlib>
#include <sys/types.h>
#include <unistd.h>

namespace vellum::detail {
namespace {

constexpr size_t kDefaultMemoryLimit = 65536;

int errno_or_eio() { return errno ? errno : EIO; }

bool tagged(const vellum_spooled *spooled) { return spooled->tag == address_tag(spooled, kSpooledTagConstant); }

void spooled_setup(vellum_spooled *spooled, const vellum_spool_options *options, const vellum_allocator *allocator) {
    vellum_spool_options opts = options ? *options : vellum_default_spool_options();
    std::memset(spooled, 0, sizeof *spooled);
    spooled->memory_limit = opts.memory_limit;
    spooled->max_bytes = opts.max_bytes;
    spooled->temp_dir = opts.temp_dir;
    spooled->allocator = resolve_allocator(allocator);
    spooled->tag = address_tag(spooled, kSpooledTagConstant);
}

// Drops the content; options and allocator stay.
void spooled_release(vellum_spooled *spooled) {
    if (!tagged(spooled)) {
        spooled_setup(spooled, nullptr, nullptr);
        return;
    }
    block_free(spooled->memory);
    if (spooled->file) std::fclose(spooled->file);
    if (spooled->path[0]) ::unlink(spooled->path);
    spooled->memory = nullptr;
    spooled->memory_len = 0;
    spooled->size = 0;
    spooled->read_pos = 0;
    spooled->file = nullptr;
    spooled->spilled = 0;
    std::memset(spooled->path, 0, sizeof spooled->path);
    spooled->tag = address_tag(spooled, kSpooledTagConstant);
}

// Creates the spill file at the first spill: named in temp_dir, or anonymous.
vellum_status spooled_open_file(vellum_spooled *spooled, vellum_error *error) {
    const char *dir = spooled->temp_dir;
    if (dir && dir[0]) {
        char path[sizeof spooled->path];
        int n = std::snprintf(path, sizeof path, "%s/vellum-spool-XXXXXX", dir);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path)
            return set_error(error, VELLUM_STATUS_IO_ERROR, "temporary spool path is too long");
        int fd = ::mkstemp(path);
        if (fd < 0) return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno, "failed to create spool file");
        FILE *file = ::fdopen(fd, "w+b");
        if (!file) {
            int saved = errno;
            ::close(fd);
            ::unlink(path);
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, saved, "failed to open spool file");
        }
        std::memcpy(spooled->path, path, sizeof path);
        spooled->file = file;
    } else {
        FILE *file = std::tmpfile();
        if (!file)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno_or_eio(),
                                   "failed to create anonymous spool file");
        spooled->file = file;
    }
    spooled->spilled = 1;
    return VELLUM_STATUS_OK;
}

vellum_status spooled_append(vellum_spooled *spooled, const unsigned char *data, size_t len, vellum_error *error) {
    if (spooled->max_bytes != 0 && (len > spooled->max_bytes || spooled->size > spooled->max_bytes - len))
        return set_error(error, VELLUM_STATUS_OVERFLOW, "spooled field exceeds configured max bytes");
    if (len > SIZE_MAX - spooled->size)
        return set_error(error, VELLUM_STATUS_OVERFLOW, "spooled field exceeds configured max bytes");

    // Memory prefix: only while nothing has been spilled yet, so the bytes stay in order.
    if (spooled->memory_len < spooled->memory_limit && !spooled->spilled) {
        size_t take = spooled->memory_limit - spooled->memory_len;
        if (take > len) take = len;
        size_t needed = spooled->memory_len + take;
        void *grown = spooled->memory ? block_realloc(spooled->memory, needed)
                                      : block_alloc(resolve_allocator(&spooled->allocator), needed);
        if (!grown)
            return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to expand spooled in-memory prefix");
        spooled->memory = static_cast<unsigned char *>(grown);
        std::memcpy(spooled->memory + spooled->memory_len, data, take);
        spooled->memory_len = needed;
        spooled->size += take;
        data += take;
        len -= take;
    }
    if (len == 0) return VELLUM_STATUS_OK;

    if (!spooled->file) {
        vellum_status status = spooled_open_file(spooled, error);
        if (status != VELLUM_STATUS_OK) return status;
    }
    // Write at the logical end: a failed earlier write may have left stray bytes past it.
    size_t file_len = spooled->size - spooled->memory_len;
    if (std::fseek(spooled->file, static_cast<long>(file_len), SEEK_SET) != 0)
        return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno_or_eio(), "failed to seek spool file for append");
    if (std::fwrite(data, 1, len, spooled->file) != len || std::fflush(spooled->file) != 0)
        return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno_or_eio(), "failed to write spool file");
    spooled->size += len;
    size_t read_at = spooled->read_pos > spooled->memory_len ? spooled->read_pos - spooled->memory_len : 0;
    if (std::fseek(spooled->file, static_cast<long>(read_at), SEEK_SET) != 0)
        return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno_or_eio(),
                               "failed to restore spool file read cursor");
    return VELLUM_STATUS_OK;
}

vellum_status copy_to_sink(const vellum_spooled &spooled, vellum_sink_fn sink, void *user, vellum_error *error) {
    unsigned char chunk[kSpoolChunkBytes];
    SpooledCursor cursor(spooled);
    for (;;) {
        vellum_read_result result = cursor.read(chunk, sizeof chunk);
        if (result.error)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, result.error, "failed to read spooled value");
        if (result.bytes) {
            vellum_status status = sink(user, chunk, result.bytes, error);
            if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED) return status;
        }
        if (result.eof) return VELLUM_STATUS_OK;
    }
}

bool file_rewindable(FILE *file) {
    if (!file) return false;
    long here = std::ftell(file);
    if (here < 0) return false;
    if (std::fseek(file, 0, SEEK_SET) != 0) return false;
    return std::fseek(file, here, SEEK_SET) == 0;
}

bool fd_rewindable(int fd) {
    if (fd < 0) return false;
    off_t here = ::lseek(fd, 0, SEEK_CUR);
    if (here < 0) return false;
    if (::lseek(fd, 0, SEEK_SET) < 0) return false;
    return ::lseek(fd, here, SEEK_SET) >= 0;
}

}  // namespace

vellum_read_result spooled_read_at(const vellum_spooled &spooled, size_t pos, void *buffer, size_t capacity) {
    vellum_read_result result{};
    if (pos >= spooled.size) {
        result.eof = 1;
        return result;
    }
    size_t want = spooled.size - pos;
    if (want > capacity) want = capacity;
    if (pos < spooled.memory_len) {
        size_t n = spooled.memory_len - pos;
        if (n > want) n = want;
        std::memcpy(buffer, spooled.memory + pos, n);
        result.bytes = n;
    } else {
        if (!spooled.file) {
            result.error = EIO;
            return result;
        }
        // Every reader positions the shared file at its own offset first.
        if (std::fseek(spooled.file, static_cast<long>(pos - spooled.memory_len), SEEK_SET) != 0) {
            result.error = errno_or_eio();
            return result;
        }
        errno = 0;
        size_t n = std::fread(buffer, 1, want, spooled.file);
        if (n < want) {
            result.error = std::ferror(spooled.file) ? errno_or_eio() : EIO;
            std::clearerr(spooled.file);
        }
        result.bytes = n;
    }
    if (pos + result.bytes >= spooled.size) result.eof = 1;
    return result;
}

vellum_status SourceCursor::open(const vellum_source &source, vellum_error *error) {
    close();
    done_ = false;
    kind_ = source.kind;
    switch (source.kind) {
    case VELLUM_SOURCE_FILE:
        if (!source.file || std::fseek(source.file, 0, SEEK_SET) != 0)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, source.file ? errno_or_eio() : EBADF,
                                   "failed to rewind source FILE*; non-seekable sources are unsupported");
        std::clearerr(source.file);
        file_ = source.file;
        return VELLUM_STATUS_OK;
    case VELLUM_SOURCE_FD:
        if (source.fd < 0 || ::lseek(source.fd, 0, SEEK_SET) < 0)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, source.fd < 0 ? EBADF : errno_or_eio(),
                                   "failed to rewind source fd; non-seekable sources are unsupported");
        fd_ = source.fd;
        return VELLUM_STATUS_OK;
    case VELLUM_SOURCE_PATH: {
        const char *path = source.path ? source.path : "";
        FILE *file = path[0] ? std::fopen(path, "rb") : nullptr;
        if (!file)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, path[0] ? errno_or_eio() : ENOENT,
                                   "failed to open source path '%s'", path);
        file_ = file;
        owns_file_ = true;
        return VELLUM_STATUS_OK;
    }
    default: kind_ = VELLUM_SOURCE_NONE; return VELLUM_STATUS_OK;
    }
}

vellum_read_result SourceCursor::read(void *buffer, size_t capacity) {
    vellum_read_result result{};
    if (done_ || capacity == 0) {
        result.eof = done_ ? 1 : 0;
        return result;
    }
    if (file_) {
        result.bytes = std::fread(buffer, 1, capacity, file_);
        if (std::ferror(file_)) {
            result.error = errno_or_eio();
        } else if (std::feof(file_)) {
            result.eof = 1;
        }
    } else if (fd_ >= 0) {
        ssize_t n;
        do {
            n = ::read(fd_, buffer, capacity);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            result.error = errno_or_eio();
        } else if (n == 0) {
            result.eof = 1;
        } else {
            result.bytes = static_cast<size_t>(n);
        }
    } else {
        result.eof = 1;
    }
    if (result.eof) done_ = true;
    return result;
}

void SourceCursor::close() {
    if (owns_file_ && file_) std::fclose(file_);
    file_ = nullptr;
    owns_file_ = false;
    fd_ = -1;
    kind_ = VELLUM_SOURCE_NONE;
    done_ = true;
}

namespace {

bool object_rewindable(const vellum_map *map, const void *record, int depth);

bool field_rewindable(const vellum_field &field, const void *record, int depth) {
    const void *member = member_at<void>(record, field.offset);
    switch (field.kind) {
    case VELLUM_KIND_SOURCE_TEXT:
    case VELLUM_KIND_SOURCE_BYTES: return vellum_source_is_rewindable(static_cast<const vellum_source *>(member)) != 0;
    case VELLUM_KIND_JSON_VALUE: return json_value_rewindable(*static_cast<const vellum_json_value *>(member));
    case VELLUM_KIND_OBJECT: return object_rewindable(field.map, member, depth + 1);
    case VELLUM_KIND_OBJECT_ARRAY: {
        const auto &array = *static_cast<const vellum_object_array *>(member);
        const auto *items = static_cast<const unsigned char *>(array.items);
        // Elements without a map are written as {} (and no items as []): nothing to re-read.
        if (!field.map || !items) return true;
        for (size_t i = 0; i < array.count; i++) {
            if (!object_rewindable(field.map, items + i * field.elem_size, depth + 1)) return false;
        }
        return true;
    }
    default: return true;
    }
}

bool object_rewindable(const vellum_map *map, const void *record, int depth) {
    if (!map || !record || depth > 1024) return false;
    for (size_t i = 0; i < map->field_count; i++) {
        const vellum_field &field = map->fields[i];
        if (field_is_written(field, record) && !field_rewindable(field, record, depth)) return false;
    }
    return true;
}

}  // namespace

bool record_is_rewindable(const vellum_map *map, const void *record) { return object_rewindable(map, record, 0); }

}  // namespace vellum::detail

using namespace vellum::detail;

extern "C" {

VELLUM_API vellum_spool_options vellum_default_spool_options(void) {
    vellum_spool_options options{};
    options.memory_limit = kDefaultMemoryLimit;
    options.max_bytes = 0;
    options.temp_dir = nullptr;
    return options;
}

VELLUM_API void vellum_spooled_init(vellum_spooled *spooled, const vellum_spool_options *options) {
    if (spooled) spooled_setup(spooled, options, nullptr);
}

VELLUM_API void vellum_spooled_init_with_allocator(vellum_spooled *spooled, const vellum_spool_options *options,
                                                   const vellum_allocator *allocator) {
    if (spooled) spooled_setup(spooled, options, allocator);
}

VELLUM_API vellum_status vellum_spooled_append(vellum_spooled *spooled, const void *data, size_t len,
                                               vellum_error *error) {
    if (!spooled || (!data && len != 0))
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "invalid spooled append arguments");
    if (len == 0) return VELLUM_STATUS_OK;
    return spooled_append(spooled, static_cast<const unsigned char *>(data), len, error);
}

VELLUM_API size_t vellum_spooled_size(const vellum_spooled *spooled) { return spooled ? spooled->size : 0; }

VELLUM_API int vellum_spooled_spilled(const vellum_spooled *spooled) {
    return spooled && spooled->spilled && spooled->file ? 1 : 0;
}

VELLUM_API vellum_status vellum_spooled_rewind(vellum_spooled *spooled, vellum_error *error) {
    if (!spooled) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "spooled value is required");
    vellum_error_init(error);
    spooled->read_pos = 0;
    if (spooled->file && std::fseek(spooled->file, 0, SEEK_SET) != 0)
        return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno_or_eio(), "failed to rewind spool file");
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_read_result vellum_spooled_read(vellum_spooled *spooled, void *buffer, size_t capacity) {
    if (!spooled || !buffer || capacity == 0) {
        vellum_read_result result{};
        result.eof = 1;
        return result;
    }
    vellum_read_result result = spooled_read_at(*spooled, spooled->read_pos, buffer, capacity);
    spooled->read_pos += result.bytes;
    return result;
}

VELLUM_API vellum_status vellum_spooled_write_to_sink(const vellum_spooled *spooled, vellum_sink_fn sink, void *user,
                                                      vellum_error *error) {
    if (!spooled || !sink)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "spooled value and sink are required");
    vellum_error_init(error);
    return copy_to_sink(*spooled, sink, user, error);
}

VELLUM_API void vellum_spooled_cleanup(vellum_spooled *spooled) {
    if (spooled) spooled_release(spooled);
}

VELLUM_API void vellum_spooled_reset(vellum_spooled *spooled) {
    if (spooled) spooled_release(spooled);
}

VELLUM_API void vellum_source_init(vellum_source *source) {
    if (!source) return;
    source->kind = VELLUM_SOURCE_NONE;
    source->file = nullptr;
    source->fd = -1;
    source->path = nullptr;
}

VELLUM_API void vellum_source_reset(vellum_source *source) {
    if (!source) return;
    block_free(source->path);
    vellum_source_init(source);
}

VELLUM_API void vellum_source_cleanup(vellum_source *source) { vellum_source_reset(source); }

VELLUM_API vellum_status vellum_source_set_file(vellum_source *source, FILE *file, vellum_error *error) {
    if (!source || !file)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "source handle and FILE* are required");
    vellum_error_init(error);
    vellum_source_reset(source);
    source->kind = VELLUM_SOURCE_FILE;
    source->file = file;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_source_set_fd(vellum_source *source, int fd, vellum_error *error) {
    if (!source || fd < 0)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "source handle and non-negative fd are required");
    vellum_error_init(error);
    vellum_source_reset(source);
    source->kind = VELLUM_SOURCE_FD;
    source->fd = fd;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_source_set_path(vellum_source *source, const char *path, vellum_error *error) {
    if (!source || !path || !path[0])
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "source handle and path are required");
    vellum_error_init(error);
    // Copy first: path may be the source's own current path.
    char *copy = block_strndup(vellum_default_allocator(), path, std::strlen(path));
    if (!copy) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to duplicate source path");
    vellum_source_reset(source);
    source->kind = VELLUM_SOURCE_PATH;
    source->path = copy;
    return VELLUM_STATUS_OK;
}

VELLUM_API int vellum_source_is_rewindable(const vellum_source *source) {
    if (!source) return 0;
    switch (source->kind) {
    case VELLUM_SOURCE_NONE:
    case VELLUM_SOURCE_PATH: return 1;
    case VELLUM_SOURCE_FILE: return file_rewindable(source->file) ? 1 : 0;
    case VELLUM_SOURCE_FD: return fd_rewindable(source->fd) ? 1 : 0;
    default: return 0;
    }
}

VELLUM_API vellum_status vellum_source_write_to_sink(const vellum_source *source, vellum_sink_fn sink, void *user,
                                                     vellum_error *error) {
    if (!source || !sink)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "source handle and sink are required");
    vellum_error_init(error);
    SourceCursor cursor;
    vellum_status status = cursor.open(*source, error);
    if (status != VELLUM_STATUS_OK) return status;
    unsigned char chunk[kSpoolChunkBytes];
    for (;;) {
        vellum_read_result result = cursor.read(chunk, sizeof chunk);
        if (result.error)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, result.error, "failed to read source data");
        if (result.bytes) {
            status = sink(user, chunk, result.bytes, error);
            if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED) return status;
        }
        if (result.eof) return VELLUM_STATUS_OK;
    }
}

}  // extern "C"
