// Error records, status texts, allocators with their stats, headered blocks, option
// defaults, the stdio and descriptor readers, and the map layout rules.
#include "core.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace vellum::detail {
namespace {

void *default_malloc(void *, size_t size) { return std::malloc(size); }
void *default_realloc(void *, void *ptr, size_t size) { return std::realloc(ptr, size); }
void default_free(void *, void *ptr) { std::free(ptr); }

constexpr const char *kStatusTexts[] = {
    "ok",         "invalid_argument", "invalid_json",      "type_mismatch",   "missing_required_field",
    "duplicate_field", "overflow",    "truncated",         "allocation_failed", "callback_failed",
    "io_error",   "internal_error",
};

void count_alloc(vellum_alloc_stats *stats, size_t size) {
    if (!stats) return;
    stats->alloc_count++;
    stats->bytes_in_use += size;
    if (stats->bytes_in_use > stats->peak_bytes) stats->peak_bytes = stats->bytes_in_use;
}

void count_realloc(vellum_alloc_stats *stats, size_t old_size, size_t new_size) {
    if (!stats) return;
    stats->realloc_count++;
    stats->bytes_in_use = stats->bytes_in_use < old_size ? new_size : stats->bytes_in_use - old_size + new_size;
    if (stats->bytes_in_use > stats->peak_bytes) stats->peak_bytes = stats->bytes_in_use;
}

void count_free(vellum_alloc_stats *stats, size_t size) {
    if (!stats) return;
    stats->free_count++;
    stats->bytes_in_use = stats->bytes_in_use < size ? 0 : stats->bytes_in_use - size;
}

// Header in front of every block a record owns: the allocator that made it and its size.
struct BlockHeader {
    void *(*malloc_fn)(void *, size_t);
    void *(*realloc_fn)(void *, void *, size_t);
    void (*free_fn)(void *, void *);
    void *ctx;
    vellum_alloc_stats *stats;
    size_t size;
};
static_assert(sizeof(BlockHeader) == 6 * sizeof(void *), "block header is six words");
static_assert(sizeof(BlockHeader) % alignof(std::max_align_t) == 0, "blocks stay aligned");

BlockHeader *header_of(const void *ptr) {
    return reinterpret_cast<BlockHeader *>(const_cast<unsigned char *>(static_cast<const unsigned char *>(ptr)) -
                                           sizeof(BlockHeader));
}

void write_header(BlockHeader *header, const vellum_allocator &allocator, size_t size) {
    header->malloc_fn = allocator.malloc_fn;
    header->realloc_fn = allocator.realloc_fn;
    header->free_fn = allocator.free_fn;
    header->ctx = allocator.ctx;
    header->stats = allocator.stats;
    header->size = size;
}

}  // namespace

// ---- errors ----------------------------------------------------------------------------------

vellum_status set_error_v(vellum_error *error, vellum_status code, const char *format, va_list args) {
    if (!error) return code;
    error->code = code;
    if (code == VELLUM_STATUS_TRUNCATED) error->truncated = 1;
    std::vsnprintf(error->message, sizeof error->message, format, args);
    return code;
}

vellum_status set_error(vellum_error *error, vellum_status code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    set_error_v(error, code, format, args);
    va_end(args);
    return code;
}

vellum_status set_error_errno(vellum_error *error, vellum_status code, int sys_errno, const char *format, ...) {
    va_list args;
    va_start(args, format);
    set_error_v(error, code, format, args);
    va_end(args);
    if (error) error->system_errno = sys_errno;
    return code;
}

vellum_status argument_error(vellum_error *error, const char *message) {
    vellum_error_init(error);
    return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", message);
}

void copy_error(vellum_error *to, const vellum_error &from) {
    if (!to || to == &from) return;
    int truncated = to->truncated || from.truncated;
    std::memcpy(to, &from, sizeof *to);
    to->truncated = truncated;
}

const char *field_label(const vellum_field *field) {
    return field && field->name ? field->name : "<unknown>";
}

// ---- allocators ------------------------------------------------------------------------------

bool allocator_is_partial(const vellum_allocator *allocator) {
    if (!allocator) return false;
    int set = (allocator->malloc_fn != nullptr) + (allocator->realloc_fn != nullptr) + (allocator->free_fn != nullptr);
    return set != 0 && set != 3;
}

vellum_allocator resolve_allocator(const vellum_allocator *allocator) {
    if (allocator && allocator->malloc_fn && allocator->realloc_fn && allocator->free_fn) return *allocator;
    vellum_allocator resolved = vellum_default_allocator();
    if (allocator) resolved.stats = allocator->stats;
    return resolved;
}

bool allocator_is_default(const vellum_allocator *allocator) {
    if (!allocator) return true;
    if (!allocator->malloc_fn && !allocator->realloc_fn && !allocator->free_fn) return true;
    return allocator->malloc_fn == default_malloc && allocator->realloc_fn == default_realloc &&
           allocator->free_fn == default_free && allocator->ctx == nullptr;
}

void *raw_alloc(const vellum_allocator &allocator, size_t size) {
    void *ptr = allocator.malloc_fn(allocator.ctx, size);
    if (ptr) count_alloc(allocator.stats, size);
    return ptr;
}

void *raw_realloc(const vellum_allocator &allocator, void *ptr, size_t old_size, size_t new_size) {
    if (!ptr) return raw_alloc(allocator, new_size);
    void *grown = allocator.realloc_fn(allocator.ctx, ptr, new_size);
    if (grown) count_realloc(allocator.stats, old_size, new_size);
    return grown;
}

void raw_free(const vellum_allocator &allocator, void *ptr, size_t size) {
    if (!ptr) return;
    allocator.free_fn(allocator.ctx, ptr);
    count_free(allocator.stats, size);
}

void *block_alloc(const vellum_allocator &allocator, size_t size) {
    if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    size_t total = size + sizeof(BlockHeader);
    auto *header = static_cast<BlockHeader *>(allocator.malloc_fn(allocator.ctx, total));
    if (!header) return nullptr;
    count_alloc(allocator.stats, total);
    write_header(header, allocator, size);
    return header + 1;
}

void *block_realloc(void *ptr, size_t new_size) {
    BlockHeader *header = header_of(ptr);
    if (new_size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    BlockHeader saved = *header;
    size_t total = new_size + sizeof(BlockHeader);
    auto *grown = static_cast<BlockHeader *>(saved.realloc_fn(saved.ctx, header, total));
    if (!grown) return nullptr;
    count_realloc(saved.stats, saved.size + sizeof(BlockHeader), total);
    *grown = saved;
    grown->size = new_size;
    return grown + 1;
}

void block_free(void *ptr) {
    if (!ptr) return;
    BlockHeader *header = header_of(ptr);
    BlockHeader saved = *header;
    saved.free_fn(saved.ctx, header);
    count_free(saved.stats, saved.size + sizeof(BlockHeader));
}

size_t block_size(const void *ptr) { return ptr ? header_of(ptr)->size : 0; }

char *block_strndup(const vellum_allocator &allocator, const char *text, size_t length) {
    if (length == SIZE_MAX) return nullptr;
    auto *copy = static_cast<char *>(block_alloc(allocator, length + 1));
    if (!copy) return nullptr;
    if (length) std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// optional '-'; 0 or [1-9][0-9]*; optional fraction; optional exponent.
bool json_number_valid(const char *p, size_t n) {
    size_t i = 0;
    if (i < n && p[i] == '-') i++;
    if (i >= n) return false;
    if (p[i] == '0') {
        i++;
    } else if (p[i] >= '1' && p[i] <= '9') {
        while (i < n && p[i] >= '0' && p[i] <= '9') i++;
    } else {
        return false;
    }
    if (i < n && p[i] == '.') {
        i++;
        size_t start = i;
        while (i < n && p[i] >= '0' && p[i] <= '9') i++;
        if (i == start) return false;
    }
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        i++;
        if (i < n && (p[i] == '+' || p[i] == '-')) i++;
        size_t start = i;
        while (i < n && p[i] >= '0' && p[i] <= '9') i++;
        if (i == start) return false;
    }
    return i == n;
}

// ---- layout ----------------------------------------------------------------------------------

namespace {

bool field_layout_valid(const vellum_field &field, size_t struct_size, int depth);

bool map_layout_valid_at(const vellum_map *map, int depth) {
    // Maps are static tables; a cycle through nested maps would be a descriptor bug, but it
    // must not recurse forever.
    if (!map || depth > 256) return false;
    if (map->field_count == 0) return true;
    if (!map->fields) return false;
    for (size_t i = 0; i < map->field_count; i++) {
        if (!field_layout_valid(map->fields[i], map->struct_size, depth)) return false;
    }
    return true;
}

bool field_layout_valid(const vellum_field &field, size_t struct_size, int depth) {
    auto kind = static_cast<int>(field.kind);
    if (kind < 0 || kind > VELLUM_KIND_STRING_ARRAY_STREAM) return false;
    if (field.kind == VELLUM_KIND_STRING && field.storage == VELLUM_STORAGE_FIXED && field.capacity == 0) return false;
    if (field.kind == VELLUM_KIND_OBJECT && (!field.map || field.map->struct_size == 0)) return false;
    size_t size = member_size(field);
    if (field.offset > struct_size || struct_size - field.offset < size) return false;
    if (field.flags & VELLUM_FIELD_HAS_PRESENCE) {
        if (field.presence_offset > struct_size || struct_size - field.presence_offset < 4) return false;
        if (kind < VELLUM_KIND_I64 || kind > VELLUM_KIND_BOOL) return false;
    }
    if ((field.flags & VELLUM_FIELD_REQUIRED) &&
        (field.flags & (VELLUM_FIELD_OMIT_NULL | VELLUM_FIELD_OMIT_EMPTY | VELLUM_FIELD_HAS_PRESENCE)))
        return false;
    // Elements smaller than their map's record would be read and written past their end.
    if (field.kind == VELLUM_KIND_OBJECT_ARRAY && field.map && field.elem_size < field.map->struct_size) return false;
    if ((field.kind == VELLUM_KIND_OBJECT || field.kind == VELLUM_KIND_OBJECT_ARRAY) && field.map)
        return map_layout_valid_at(field.map, depth + 1);
    return true;
}

}  // namespace

bool map_layout_valid(const vellum_map *map) { return map_layout_valid_at(map, 0); }

bool map_may_allocate(const vellum_map *map) {
    if (!map || !map->fields) return false;
    for (size_t i = 0; i < map->field_count; i++) {
        const vellum_field &field = map->fields[i];
        switch (field.kind) {
        case VELLUM_KIND_STRING:
            if (field.storage != VELLUM_STORAGE_FIXED) return true;
            break;
        case VELLUM_KIND_SPOOLED_TEXT:
        case VELLUM_KIND_SPOOLED_BYTES:
        case VELLUM_KIND_SOURCE_TEXT:
        case VELLUM_KIND_SOURCE_BYTES:
        case VELLUM_KIND_JSON_VALUE:
        case VELLUM_KIND_STRING_ARRAY: return true;
        case VELLUM_KIND_I64_ARRAY:
        case VELLUM_KIND_U64_ARRAY:
        case VELLUM_KIND_F64_ARRAY:
        case VELLUM_KIND_BOOL_ARRAY:
            if (field.storage != VELLUM_STORAGE_FIXED) return true;
            break;
        case VELLUM_KIND_OBJECT_ARRAY:
            if (field.storage != VELLUM_STORAGE_FIXED) return true;
            if (map_may_allocate(field.map)) return true;
            break;
        case VELLUM_KIND_OBJECT:
            if (map_may_allocate(field.map)) return true;
            break;
        default: break;
        }
    }
    return false;
}

}  // namespace vellum::detail

using namespace vellum::detail;

// ---- public: errors, defaults, readers ------------------------------------------------------

extern "C" {

VELLUM_API void vellum_error_init(vellum_error *error) {
    if (error) std::memset(error, 0, sizeof *error);
}

VELLUM_API const char *vellum_status_string(vellum_status status) {
    if (status < 0 || static_cast<size_t>(status) >= sizeof kStatusTexts / sizeof kStatusTexts[0]) return "unknown";
    return kStatusTexts[status];
}

VELLUM_API vellum_allocator vellum_default_allocator(void) {
    vellum_allocator allocator{};
    allocator.malloc_fn = default_malloc;
    allocator.realloc_fn = default_realloc;
    allocator.free_fn = default_free;
    return allocator;
}

VELLUM_API vellum_parse_options vellum_default_parse_options(void) {
    vellum_parse_options options{};
    options.clear_destination = 1;
    options.reject_duplicates = 1;
    options.max_depth = 64;
    options.allocator = nullptr;
    return options;
}

VELLUM_API vellum_write_options vellum_default_write_options(void) {
    vellum_write_options options{};
    options.overflow = VELLUM_OVERFLOW_FAIL;
    options.pretty = 0;
    options.allocator = nullptr;
    options.max_output_bytes = 8388608;
    return options;
}

VELLUM_API vellum_value_limits vellum_default_value_limits(void) {
    vellum_value_limits limits{};
    limits.max_depth = 64;
    limits.max_string_bytes = 1048576;
    limits.max_number_bytes = 256;
    limits.max_key_bytes = 65536;
    limits.max_total_bytes = 0;
    return limits;
}

VELLUM_API vellum_owned_buffer vellum_default_owned_buffer(void) {
    vellum_owned_buffer buffer{};
    buffer.allocator = vellum_default_allocator();
    return buffer;
}

VELLUM_API vellum_read_result vellum_default_read_result(void) { return vellum_read_result{}; }

VELLUM_API void vellum_owned_buffer_init(vellum_owned_buffer *buffer) {
    if (buffer) *buffer = vellum_default_owned_buffer();
}

VELLUM_API void vellum_owned_buffer_free(vellum_owned_buffer *buffer) {
    if (!buffer) return;
    if (buffer->data) {
        vellum_allocator allocator = resolve_allocator(&buffer->allocator);
        raw_free(allocator, buffer->data, buffer->capacity);
    }
    *buffer = vellum_default_owned_buffer();
}

VELLUM_API vellum_read_result vellum_stdio_reader(void *user, void *buffer, size_t capacity) {
    vellum_read_result result{};
    auto *file = static_cast<FILE *>(user);
    if (!file) {
        result.error = EINVAL;
        return result;
    }
    result.bytes = std::fread(buffer, 1, capacity, file);
    if (std::ferror(file)) {
        result.error = errno ? errno : EIO;
    } else if (std::feof(file)) {
        result.eof = 1;
    }
    return result;
}

VELLUM_API vellum_read_result vellum_fd_reader(void *user, void *buffer, size_t capacity) {
    vellum_read_result result{};
    const int *fd = static_cast<const int *>(user);
    if (!fd) {
        result.error = EINVAL;
        return result;
    }
    ssize_t n;
    do {
        n = ::read(*fd, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        result.error = errno;
    } else if (n == 0) {
        result.eof = 1;
    } else {
        result.bytes = static_cast<size_t>(n);
    }
    return result;
}

}  // extern "C"
