// Raw JSON values: records that hold any JSON value without a map. For output a value names a
// source of JSON text (an owned buffer, a reader, a FILE, a descriptor or a path) that is
// validated and re-laid out when written; for input it says what to do with the value that the
// record parser finds (stream it to a sink, report it to a visitor, or capture it).
#include "json_value.h"

#include "serializer.h"

#include <cerrno>
#include <unistd.h>

namespace vellum::detail {

namespace {

constexpr const char kEmbeddedOneValueMessage[] = "embedded JSON must contain exactly one value";

// Releases the owned buffer and path and forgets every source; the parse configuration stays.
void drop_source(vellum_json_value &value) {
    block_free(value.data);
    block_free(value.path);
    value.kind = VELLUM_JSON_VALUE_NONE;
    value.data = nullptr;
    value.len = 0;
    value.reader = nullptr;
    value.reader_user = nullptr;
    value.file = nullptr;
    value.fd = -1;
    value.path = nullptr;
}

// Forgets the parse configuration (mode, sink, visitor) before a new one is set.
void drop_parse_config(vellum_json_value &value) {
    value.parse_mode = VELLUM_JSON_PARSE_NONE;
    value.parse_sink = nullptr;
    value.parse_sink_user = nullptr;
    std::memset(&value.parse_visitor, 0, sizeof value.parse_visitor);
    value.parse_visitor_user = nullptr;
}

// The first four limits default when left 0; the total limit is taken as it is.
vellum_value_limits normalized_limits(const vellum_value_limits *limits) {
    vellum_value_limits out = vellum_default_value_limits();
    if (!limits) return out;
    if (limits->max_depth) out.max_depth = limits->max_depth;
    if (limits->max_string_bytes) out.max_string_bytes = limits->max_string_bytes;
    if (limits->max_number_bytes) out.max_number_bytes = limits->max_number_bytes;
    if (limits->max_key_bytes) out.max_key_bytes = limits->max_key_bytes;
    out.max_total_bytes = limits->max_total_bytes;
    return out;
}

bool file_rewindable(FILE *file) {
    if (!file) return false;
    long position = std::ftell(file);
    if (position < 0) return false;
    if (std::fseek(file, 0, SEEK_SET) != 0) return false;
    return std::fseek(file, position, SEEK_SET) == 0;
}

bool fd_rewindable(int fd) {
    if (fd < 0) return false;
    off_t position = lseek(fd, 0, SEEK_CUR);
    if (position < 0) return false;
    if (lseek(fd, 0, SEEK_SET) < 0) return false;
    return lseek(fd, position, SEEK_SET) >= 0;
}

// ---- the transcoder ------------------------------------------------------------------------------

// The Transcoder handler itself is in json_value.h, where the generator's re-emitter reaches it.

// Transcodes everything input delivers through sink. error is never NULL here.
vellum_status transcode(JsonValueInput &input, vellum_sink_fn sink, void *user, bool pretty, size_t depth,
                        size_t max_total_bytes, const vellum_allocator &allocator, vellum_error *error) {
    Transcoder transcoder(sink, user, pretty, depth, error);
    ScanLimits limits;
    limits.max_total_bytes = max_total_bytes;
    ValueScanner scanner;
    scanner.setup(&transcoder, limits, allocator, error, false, kEmbeddedOneValueMessage);
    vellum_status status = scan_input(input, scanner, error);
    if (status != VELLUM_STATUS_OK) return status;
    return transcoder.flush();
}

// Output of set_buffer: the compact copy is never longer than its input, so the block sized
// for the input always holds it.
struct CopySink {
    char *data;
    size_t len;
    size_t capacity;

    static vellum_status write(void *user, const void *bytes, size_t n, vellum_error *error) {
        auto *self = static_cast<CopySink *>(user);
        if (n > self->capacity - self->len)
            return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "compact JSON copy outgrew its input");
        std::memcpy(self->data + self->len, bytes, n);
        self->len += n;
        return VELLUM_STATUS_OK;
    }
};

bool all_whitespace(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (p[i] != ' ' && p[i] != '\t' && p[i] != '\n' && p[i] != '\r') return false;
    }
    return true;
}

}  // namespace

// ---- reading a source ----------------------------------------------------------------------------

vellum_status JsonValueInput::open_value(const vellum_json_value &value, vellum_error *error) {
    close();
    switch (value.kind) {
    case VELLUM_JSON_VALUE_BUFFER:
        open_buffer(value.data ? value.data : "", value.data ? value.len : 0);
        return VELLUM_STATUS_OK;
    case VELLUM_JSON_VALUE_READER:
        if (!value.reader) return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "unsupported JSON value kind");
        open_reader(value.reader, value.reader_user);
        return VELLUM_STATUS_OK;
    case VELLUM_JSON_VALUE_FILE:
        if (!value.file || std::fseek(value.file, 0, SEEK_SET) != 0)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, value.file ? errno : EBADF,
                                   "failed to rewind JSON value FILE*");
        std::clearerr(value.file);
        open_file(value.file, false);
        return VELLUM_STATUS_OK;
    case VELLUM_JSON_VALUE_FD:
        if (value.fd < 0 || lseek(value.fd, 0, SEEK_SET) < 0)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, value.fd < 0 ? EBADF : errno,
                                   "failed to rewind JSON value fd");
        open_fd(value.fd);
        return VELLUM_STATUS_OK;
    case VELLUM_JSON_VALUE_PATH: {
        FILE *file = value.path ? std::fopen(value.path, "rb") : nullptr;
        if (!file)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, value.path ? errno : ENOENT,
                                   "failed to open JSON value path '%s'", value.path ? value.path : "");
        open_file(file, true);
        return VELLUM_STATUS_OK;
    }
    default: return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "unsupported JSON value kind");
    }
}

void JsonValueInput::open_buffer(const void *data, size_t len) {
    close();
    kind_ = kBuffer;
    buffer_ = static_cast<const unsigned char *>(data);
    buffer_len_ = len;
}

void JsonValueInput::open_reader(vellum_reader_fn reader, void *user) {
    close();
    kind_ = kReader;
    reader_ = reader;
    reader_user_ = user;
}

void JsonValueInput::open_file(FILE *file, bool owned) {
    close();
    kind_ = kFile;
    file_ = file;
    owns_file_ = owned;
}

void JsonValueInput::open_fd(int fd) {
    close();
    kind_ = kFd;
    fd_ = fd;
}

vellum_status JsonValueInput::next(const unsigned char **data, size_t *len, bool *eof, vellum_error *error) {
    *data = chunk_;
    *len = 0;
    *eof = false;
    switch (kind_) {
    case kNone: *eof = true; return VELLUM_STATUS_OK;
    case kBuffer:
        *data = buffer_;
        *len = buffer_len_;
        *eof = true;
        kind_ = kNone;
        return VELLUM_STATUS_OK;
    case kReader: {
        vellum_read_result result = reader_(reader_user_, chunk_, sizeof chunk_);
        if (result.error)
            return set_error_errno(error, VELLUM_STATUS_CALLBACK_FAILED, result.error, "reader callback failed");
        // A reader that claims more than it was offered would have written past the buffer.
        if (result.bytes > sizeof chunk_)
            return set_error_errno(error, VELLUM_STATUS_CALLBACK_FAILED, EOVERFLOW, "reader callback failed");
        *len = result.bytes;
        *eof = result.eof != 0;
        return VELLUM_STATUS_OK;
    }
    case kFile: {
        size_t n = std::fread(chunk_, 1, sizeof chunk_, file_);
        if (n < sizeof chunk_ && std::ferror(file_))
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno ? errno : EIO,
                                   "failed to read JSON value stream");
        *len = n;
        *eof = n < sizeof chunk_ && std::feof(file_);
        return VELLUM_STATUS_OK;
    }
    case kFd: {
        ssize_t n;
        do {
            n = read(fd_, chunk_, sizeof chunk_);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno, "failed to read JSON value fd");
        *len = static_cast<size_t>(n);
        *eof = n == 0;
        return VELLUM_STATUS_OK;
    }
    }
    return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "unsupported JSON value kind");
}

void JsonValueInput::close() {
    if (owns_file_ && file_) std::fclose(file_);
    file_ = nullptr;
    owns_file_ = false;
    fd_ = -1;
    kind_ = kNone;
}

vellum_status scan_input(JsonValueInput &input, ValueScanner &scanner, vellum_error *error) {
    for (;;) {
        const unsigned char *data;
        size_t len;
        bool eof;
        vellum_status status = input.next(&data, &len, &eof, error);
        if (status != VELLUM_STATUS_OK) return status;
        if (len) {
            status = scanner.feed(data, len);
            if (status != VELLUM_STATUS_OK) return status;
        }
        if (eof) break;
    }
    return scanner.finish();
}

// ---- writing a value -------------------------------------------------------------------------------

vellum_status json_value_write(const vellum_json_value &value, vellum_sink_fn sink, void *user, bool pretty,
                               size_t depth, vellum_error *error) {
    vellum_error local;
    if (!error) {
        vellum_error_init(&local);
        error = &local;
    }
    if (value.kind == VELLUM_JSON_VALUE_NONE) {
        vellum_status status = sink(user, "null", 4, error);
        if (status == VELLUM_STATUS_TRUNCATED) {
            error->truncated = 1;
            return VELLUM_STATUS_OK;
        }
        if (status != VELLUM_STATUS_OK && error->code == VELLUM_STATUS_OK) set_error(error, status, "output sink failed");
        return status;
    }
    JsonValueInput input;
    vellum_status status = input.open_value(value, error);
    if (status != VELLUM_STATUS_OK) return status;
    return transcode(input, sink, user, pretty, depth, value.limits.max_total_bytes,
                     resolve_allocator(&value.allocator), error);
}

bool json_value_rewindable(const vellum_json_value &value) {
    switch (value.kind) {
    case VELLUM_JSON_VALUE_NONE:
    case VELLUM_JSON_VALUE_BUFFER:
    case VELLUM_JSON_VALUE_PATH: return true;
    case VELLUM_JSON_VALUE_FILE: return file_rewindable(value.file);
    case VELLUM_JSON_VALUE_FD: return fd_rewindable(value.fd);
    default: return false;
    }
}

// ---- the capture driven by the record parser -------------------------------------------------------

vellum_status JsonValueCapture::fail(vellum_status code, const char *message) {
    return set_error(error, code, "%s", message);
}

vellum_status JsonValueCapture::begin(vellum_json_value *target, vellum_error *error_record) {
    value = nullptr;
    error = error_record;
    done = false;
    if (!target) return fail(VELLUM_STATUS_INVALID_ARGUMENT, "JSON value handle is required");
    switch (target->parse_mode) {
    case VELLUM_JSON_PARSE_SINK:
        if (!target->parse_sink)
            return fail(VELLUM_STATUS_INVALID_ARGUMENT, "JSON value field has no configured parse sink or capture mode");
        break;
    case VELLUM_JSON_PARSE_VISITOR:
    case VELLUM_JSON_PARSE_CAPTURE: break;
    default:
        return fail(VELLUM_STATUS_INVALID_ARGUMENT,
                    "JSON value parse requires a configured parse sink, parse visitor, or parse capture");
    }
    drop_source(*target);
    limits = normalized_limits(&target->limits);
    depth = 0;
    total = 0;
    text_bytes = 0;
    capacity = 0;
    staged = 0;
    mode = target->parse_mode;
    in_key = false;
    need_comma = false;
    after_key = false;
    visit.setup(&target->parse_visitor, target->parse_visitor_user, error_record);
    value = target;
    return VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::count(size_t n) {
    if (limits.max_total_bytes && n > limits.max_total_bytes - total)
        return fail(VELLUM_STATUS_OVERFLOW, "JSON value exceeds maximum total byte limit");
    total += n;
    return VELLUM_STATUS_OK;
}

// Compact text of the value: counted in every mode, written in sink and capture modes.
vellum_status JsonValueCapture::out(const char *data, size_t len) {
    vellum_status status = count(len);
    if (status != VELLUM_STATUS_OK) return status;
    if (mode == VELLUM_JSON_PARSE_CAPTURE) {
        if (len > SIZE_MAX - 1 - value->len) return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to grow captured JSON value");
        size_t needed = value->len + len + 1;
        if (needed > capacity) {
            size_t grown = capacity ? capacity : 64;
            while (grown < needed) grown = grown > SIZE_MAX / 2 ? needed : grown * 2;
            void *data_block = value->data ? block_realloc(value->data, grown)
                                           : block_alloc(resolve_allocator(&value->allocator), grown);
            if (!data_block) return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to grow captured JSON value");
            value->data = static_cast<char *>(data_block);
            capacity = grown;
        }
        std::memcpy(value->data + value->len, data, len);
        value->len += len;
        return VELLUM_STATUS_OK;
    }
    if (mode == VELLUM_JSON_PARSE_SINK) {
        while (len) {
            if (staged == 0 && len >= kStageBytes) {
                vellum_status sent = value->parse_sink(value->parse_sink_user, data, len, error);
                if (sent == VELLUM_STATUS_TRUNCATED) {
                    error->truncated = 1;
                } else if (sent != VELLUM_STATUS_OK) {
                    if (error->code == VELLUM_STATUS_OK) set_error(error, sent, "JSON value parse sink failed");
                    return sent;
                }
                return VELLUM_STATUS_OK;
            }
            size_t n = kStageBytes - staged < len ? kStageBytes - staged : len;
            std::memcpy(stage + staged, data, n);
            staged += n;
            data += n;
            len -= n;
            if (staged == kStageBytes) {
                status = flush();
                if (status != VELLUM_STATUS_OK) return status;
            }
        }
    }
    return VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::flush() {
    if (mode != VELLUM_JSON_PARSE_SINK || staged == 0) return VELLUM_STATUS_OK;
    size_t n = staged;
    staged = 0;
    vellum_status sent = value->parse_sink(value->parse_sink_user, stage, n, error);
    if (sent == VELLUM_STATUS_TRUNCATED) {
        error->truncated = 1;
        return VELLUM_STATUS_OK;
    }
    if (sent != VELLUM_STATUS_OK && error->code == VELLUM_STATUS_OK) set_error(error, sent, "JSON value parse sink failed");
    return sent;
}

vellum_status JsonValueCapture::out_escaped(const char *data, size_t len) {
    if (mode == VELLUM_JSON_PARSE_VISITOR) return count(escaped_length(reinterpret_cast<const unsigned char *>(data), len));
    return write_escaped(reinterpret_cast<const unsigned char *>(data), len,
                         [this](const char *piece, size_t n) { return out(piece, n); });
}

vellum_status JsonValueCapture::before_value() {
    if (!value) return fail(VELLUM_STATUS_INTERNAL_ERROR, "JSON value stream has no destination");
    if (after_key) {
        after_key = false;
        return VELLUM_STATUS_OK;
    }
    if (depth > 0 && need_comma) return out(",", 1);
    return VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::value_done() {
    need_comma = true;
    if (depth > 0) return VELLUM_STATUS_OK;
    vellum_status status = flush();
    if (status != VELLUM_STATUS_OK) return status;
    if (mode == VELLUM_JSON_PARSE_CAPTURE) {
        value->data[value->len] = '\0';
        value->kind = VELLUM_JSON_VALUE_BUFFER;
    }
    done = true;
    value = nullptr;
    return VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::open(bool object) {
    vellum_status status = before_value();
    if (status != VELLUM_STATUS_OK) return status;
    if (depth >= limits.max_depth) return fail(VELLUM_STATUS_OVERFLOW, "JSON value nesting exceeds maximum depth");
    status = out(object ? "{" : "[", 1);
    if (status != VELLUM_STATUS_OK) return status;
    depth++;
    need_comma = false;
    if (mode == VELLUM_JSON_PARSE_VISITOR) return object ? visit.object_begin() : visit.array_begin();
    return VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::close(bool object) {
    if (!value || depth == 0) return fail(VELLUM_STATUS_INTERNAL_ERROR, "JSON value stream has no destination");
    vellum_status status = out(object ? "}" : "]", 1);
    if (status != VELLUM_STATUS_OK) return status;
    depth--;
    if (mode == VELLUM_JSON_PARSE_VISITOR) {
        status = object ? visit.object_end() : visit.array_end();
        if (status != VELLUM_STATUS_OK) return status;
    }
    return value_done();
}

vellum_status JsonValueCapture::object_begin() { return open(true); }
vellum_status JsonValueCapture::object_end() { return close(true); }
vellum_status JsonValueCapture::array_begin() { return open(false); }
vellum_status JsonValueCapture::array_end() { return close(false); }

vellum_status JsonValueCapture::key_begin() {
    if (!value || depth == 0) return fail(VELLUM_STATUS_INTERNAL_ERROR, "JSON value stream has no destination");
    if (need_comma) {
        vellum_status status = out(",", 1);
        if (status != VELLUM_STATUS_OK) return status;
    }
    in_key = true;
    text_bytes = 0;
    vellum_status status = out("\"", 1);
    if (status != VELLUM_STATUS_OK) return status;
    return mode == VELLUM_JSON_PARSE_VISITOR ? visit.text_begin(true) : VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::key_end() {
    if (!value) return fail(VELLUM_STATUS_INTERNAL_ERROR, "JSON value stream has no destination");
    vellum_status status = out("\":", 2);
    if (status != VELLUM_STATUS_OK) return status;
    in_key = false;
    after_key = true;
    return mode == VELLUM_JSON_PARSE_VISITOR ? visit.text_end() : VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::string_begin() {
    vellum_status status = before_value();
    if (status != VELLUM_STATUS_OK) return status;
    in_key = false;
    text_bytes = 0;
    status = out("\"", 1);
    if (status != VELLUM_STATUS_OK) return status;
    return mode == VELLUM_JSON_PARSE_VISITOR ? visit.text_begin(false) : VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::string_end() {
    if (!value) return fail(VELLUM_STATUS_INTERNAL_ERROR, "JSON value stream has no destination");
    vellum_status status = out("\"", 1);
    if (status != VELLUM_STATUS_OK) return status;
    if (mode == VELLUM_JSON_PARSE_VISITOR) {
        status = visit.text_end();
        if (status != VELLUM_STATUS_OK) return status;
    }
    return value_done();
}

vellum_status JsonValueCapture::text(const char *data, size_t len, bool escape) {
    if (!value) return fail(VELLUM_STATUS_INTERNAL_ERROR, "JSON value stream has no destination");
    size_t limit = in_key ? limits.max_key_bytes : limits.max_string_bytes;
    if (len > limit - text_bytes) {
        if (escape) return fail(VELLUM_STATUS_OVERFLOW, "decoded JSON text exceeds limit");
        return fail(VELLUM_STATUS_OVERFLOW, in_key ? "JSON object key exceeds maximum decoded byte limit"
                                                   : "JSON string exceeds maximum decoded byte limit");
    }
    text_bytes += len;
    vellum_status status = out_escaped(data, len);
    if (status != VELLUM_STATUS_OK) return status;
    if (mode == VELLUM_JSON_PARSE_VISITOR) return escape ? visit.escape(data, len) : visit.plain(data, len);
    return VELLUM_STATUS_OK;
}

vellum_status JsonValueCapture::number(const char *text_data, size_t len) {
    vellum_status status = before_value();
    if (status != VELLUM_STATUS_OK) return status;
    if (len > limits.max_number_bytes) return fail(VELLUM_STATUS_OVERFLOW, "JSON number exceeds maximum byte limit");
    status = out(text_data, len);
    if (status != VELLUM_STATUS_OK) return status;
    if (mode == VELLUM_JSON_PARSE_VISITOR) {
        status = visit.number_begin();
        if (status == VELLUM_STATUS_OK) status = visit.number(text_data, len);
        if (status != VELLUM_STATUS_OK) return status;
    }
    return value_done();
}

vellum_status JsonValueCapture::literal(int which) {
    static constexpr const char *kText[] = {"false", "true", "null"};
    static constexpr size_t kLen[] = {5, 4, 4};
    if (which < 0 || which > 2) return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid JSON literal");
    vellum_status status = before_value();
    if (status != VELLUM_STATUS_OK) return status;
    status = out(kText[which], kLen[which]);
    if (status != VELLUM_STATUS_OK) return status;
    if (mode == VELLUM_JSON_PARSE_VISITOR) {
        status = visit.literal(which);
        if (status != VELLUM_STATUS_OK) return status;
    }
    return value_done();
}

}  // namespace vellum::detail

using namespace vellum::detail;

extern "C" {

VELLUM_API void vellum_json_value_init_with_allocator(vellum_json_value *value, const vellum_allocator *allocator) {
    if (!value) return;
    std::memset(value, 0, sizeof *value);
    value->fd = -1;
    value->limits = vellum_default_value_limits();
    value->allocator = resolve_allocator(allocator_is_partial(allocator) ? nullptr : allocator);
    value->tag = address_tag(value, kJsonValueTagConstant);
}

VELLUM_API void vellum_json_value_init(vellum_json_value *value) { vellum_json_value_init_with_allocator(value, nullptr); }

VELLUM_API void vellum_json_value_cleanup(vellum_json_value *value) {
    if (!value) return;
    vellum_allocator allocator = value->allocator;
    block_free(value->data);
    block_free(value->path);
    vellum_json_value_init_with_allocator(value, &allocator);
}

VELLUM_API void vellum_json_value_reset(vellum_json_value *value) { vellum_json_value_cleanup(value); }

VELLUM_API vellum_status vellum_json_value_set_buffer(vellum_json_value *value, const void *data, size_t len,
                                                      vellum_error *error) {
    if (!value || (!data && len)) return argument_error(error, "JSON value handle and buffer are required");
    vellum_error_init(error);
    const auto *bytes = static_cast<const unsigned char *>(data);
    if (all_whitespace(bytes, len)) return set_error(error, VELLUM_STATUS_INVALID_JSON, "%s", kEmbeddedOneValueMessage);
    vellum_allocator allocator = resolve_allocator(&value->allocator);
    if (len == SIZE_MAX) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate JSON value buffer");
    auto *copy = static_cast<char *>(block_alloc(allocator, len + 1));
    if (!copy) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate JSON value buffer");
    CopySink out{copy, 0, len};
    vellum_error local;
    vellum_error_init(&local);
    JsonValueInput input;
    input.open_buffer(bytes, len);
    vellum_status status =
        transcode(input, &CopySink::write, &out, false, 0, value->limits.max_total_bytes, allocator, &local);
    if (status != VELLUM_STATUS_OK) {
        block_free(copy);
        if (error) copy_error(error, local);
        return status;
    }
    copy[out.len] = '\0';
    drop_source(*value);
    value->kind = VELLUM_JSON_VALUE_BUFFER;
    value->data = copy;
    value->len = out.len;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_json_value_set_reader(vellum_json_value *value, vellum_reader_fn reader, void *user,
                                                      vellum_error *error) {
    if (!value || !reader) return argument_error(error, "JSON value handle and reader are required");
    vellum_error_init(error);
    drop_source(*value);
    value->kind = VELLUM_JSON_VALUE_READER;
    value->reader = reader;
    value->reader_user = user;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_json_value_set_file(vellum_json_value *value, FILE *file, vellum_error *error) {
    if (!value || !file) return argument_error(error, "JSON value handle and FILE* are required");
    vellum_error_init(error);
    drop_source(*value);
    value->kind = VELLUM_JSON_VALUE_FILE;
    value->file = file;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_json_value_set_fd(vellum_json_value *value, int fd, vellum_error *error) {
    if (!value || fd < 0) return argument_error(error, "JSON value handle and non-negative fd are required");
    vellum_error_init(error);
    drop_source(*value);
    value->kind = VELLUM_JSON_VALUE_FD;
    value->fd = fd;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_json_value_set_path(vellum_json_value *value, const char *path, vellum_error *error) {
    if (!value || !path || !*path) return argument_error(error, "JSON value handle and path are required");
    vellum_error_init(error);
    char *copy = block_strndup(resolve_allocator(&value->allocator), path, std::strlen(path));
    if (!copy) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to duplicate JSON value path");
    drop_source(*value);
    value->kind = VELLUM_JSON_VALUE_PATH;
    value->path = copy;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_json_value_set_parse_sink(vellum_json_value *value, vellum_sink_fn sink, void *user,
                                                          vellum_error *error) {
    if (!value || !sink) return argument_error(error, "JSON value handle and parse sink are required");
    vellum_error_init(error);
    drop_source(*value);
    drop_parse_config(*value);
    value->parse_mode = VELLUM_JSON_PARSE_SINK;
    value->parse_sink = sink;
    value->parse_sink_user = user;
    value->limits = vellum_default_value_limits();
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_json_value_set_parse_visitor(vellum_json_value *value,
                                                             const vellum_value_visitor *visitor, void *user,
                                                             const vellum_value_limits *limits, vellum_error *error) {
    if (!value || !visitor) return argument_error(error, "JSON value handle and parse visitor are required");
    vellum_error_init(error);
    vellum_value_limits normalized = normalized_limits(limits);
    vellum_value_visitor table = *visitor;
    drop_source(*value);
    drop_parse_config(*value);
    value->parse_mode = VELLUM_JSON_PARSE_VISITOR;
    value->parse_visitor = table;
    value->parse_visitor_user = user;
    value->limits = normalized;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_json_value_enable_parse_capture(vellum_json_value *value, vellum_error *error) {
    if (!value) return argument_error(error, "JSON value handle is required");
    vellum_error_init(error);
    drop_source(*value);
    drop_parse_config(*value);
    value->parse_mode = VELLUM_JSON_PARSE_CAPTURE;
    value->limits = vellum_default_value_limits();
    return VELLUM_STATUS_OK;
}

VELLUM_API int vellum_json_value_is_rewindable(const vellum_json_value *value) {
    return value && json_value_rewindable(*value) ? 1 : 0;
}

VELLUM_API vellum_status vellum__json_value_parse_buffer(vellum_json_value *value, const void *data, size_t len,
                                                         size_t split, vellum_error *error) {
    if (!data && len) return argument_error(error, "JSON value handle and buffer are required");
    vellum_error local;
    vellum_error_init(&local);
    JsonValueCapture capture;
    std::memset(&capture, 0, sizeof capture);
    vellum_status status = capture.begin(value, &local);
    if (status == VELLUM_STATUS_OK) {
        CaptureFeeder feeder(capture);
        ValueScanner scanner;
        scanner.setup(&feeder, ScanLimits{}, resolve_allocator(&value->allocator), &local, true,
                      kEmbeddedOneValueMessage);
        const auto *bytes = static_cast<const unsigned char *>(data);
        size_t step = split ? split : (len ? len : 1);
        for (size_t at = 0; at < len && status == VELLUM_STATUS_OK; at += step)
            status = scanner.feed(bytes + at, len - at < step ? len - at : step);
        if (status == VELLUM_STATUS_OK) status = scanner.finish();
        if (status == VELLUM_STATUS_OK && !capture.complete())
            status = set_error(&local, VELLUM_STATUS_INTERNAL_ERROR, "JSON value stream has no destination");
        if (status != VELLUM_STATUS_OK) capture.abandon();
    }
    if (status == VELLUM_STATUS_OK && local.truncated) status = VELLUM_STATUS_TRUNCATED;
    if (error) {
        vellum_error_init(error);
        copy_error(error, local);
    }
    return status;
}

VELLUM_API vellum_status vellum_json_value_write_to_sink(const vellum_json_value *value, vellum_sink_fn sink,
                                                         void *user, vellum_error *error) {
    if (!sink) return argument_error(error, "sink is required");
    if (!value) return argument_error(error, "JSON value handle is required");
    vellum_error local;
    vellum_error_init(&local);
    vellum_status status = json_value_write(*value, sink, user, false, 0, &local);
    if (status == VELLUM_STATUS_OK && local.truncated) status = VELLUM_STATUS_TRUNCATED;
    if (error) {
        vellum_error_init(error);
        copy_error(error, local);
    }
    return status;
}

}  // extern "C"
