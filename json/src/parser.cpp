// The push parser: one state machine that reads JSON text byte by byte (with bulk paths for
// plain string and number runs that give identical results) and assigns values to a mapped
// record as they complete. Bookkeeping lives in a fixed arena; only what ends up in the record
// is allocated.
#include "parser.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

using vellum::detail::ParserFrame;
namespace vd = vellum::detail;
using vd::argument_error;

namespace {

constexpr size_t kFrameSize = sizeof(ParserFrame);
constexpr size_t kReadChunk = 1024;

enum Lex { kLexNone = 0, kLexString = 1, kLexNumber = 2, kLexTrue = 3, kLexFalse = 4, kLexNull = 5 };
enum Container : uint8_t { kObject = 1, kArray = 2 };
enum FrameState : uint8_t {
    kObjKeyOrEnd = 1, kObjColon = 2, kObjValue = 3, kObjCommaOrEnd = 4,
    kArrValueOrEnd = 5, kArrCommaOrEnd = 6,
};
// Where decoded string bytes go.
enum StringMode {
    kModeToken = 0,       // token buffer: keys, DYNAMIC strings, string array elements
    kModeDiscard = 1,     // validated and dropped: unknown keys and values, syntax-only parses
    kModeFixed = 2,       // straight into a FIXED field's inline buffer
    kModeSpooledText = 3,
    kModeSpooledBytes = 4,
    kModeStringStream = 5,  // items of a string array stream field
    kModeValue = 6,         // keys and strings inside a raw JSON value field
};

constexpr const char kLiteralTrue[] = "true";
constexpr const char kLiteralFalse[] = "false";
constexpr const char kLiteralNull[] = "null";

// Bytes that continue a plain string run: not a quote, not a backslash, not a control byte.
constexpr bool plain_string_byte(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\'; }
constexpr bool number_byte(unsigned char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}
constexpr bool whitespace_byte(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct ByteTable {
    bool plain[256];
    bool number[256];
    constexpr ByteTable() : plain(), number() {
        for (int c = 0; c < 256; c++) {
            plain[c] = plain_string_byte(static_cast<unsigned char>(c));
            number[c] = number_byte(static_cast<unsigned char>(c));
        }
    }
};
constexpr ByteTable kBytes;


int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}


// ---- number grammar and conversions -------------------------------------------------------

// Digits only, no leading zero; overflow tested before each digit.
bool parse_digits(const char *p, size_t n, uint64_t limit, uint64_t *out) {
    if (n == 0) return false;
    if (p[0] == '0' && n > 1) return false;
    uint64_t value = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return false;
        auto digit = static_cast<uint64_t>(p[i] - '0');
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

bool parse_i64(const char *p, size_t n, int64_t *out) {
    bool negative = n > 0 && p[0] == '-';
    uint64_t magnitude = 0;
    if (!parse_digits(p + negative, n - negative, negative ? 9223372036854775808ULL : 9223372036854775807ULL,
                      &magnitude))
        return false;
    *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool parse_u64(const char *p, size_t n, uint64_t *out) { return parse_digits(p, n, UINT64_MAX, out); }

// Decimal exponent of the leading significant digit; decides whether an out-of-range result
// overflowed (rejected) or underflowed (stored as zero).
long leading_decimal_exponent(const char *p, size_t n) {
    size_t i = (n > 0 && p[0] == '-') ? 1 : 0;
    long position = 0;  // exponent of the digit at i
    size_t int_digits = 0;
    while (i < n && p[i] >= '0' && p[i] <= '9') {
        int_digits++;
        i++;
    }
    long lead = 0;
    bool found = false;
    for (size_t k = (p[0] == '-') ? 1 : 0, d = 0; d < int_digits; k++, d++) {
        if (p[k] != '0') {
            lead = static_cast<long>(int_digits - d) - 1;
            found = true;
            break;
        }
    }
    if (i < n && p[i] == '.') {
        i++;
        position = -1;
        while (i < n && p[i] >= '0' && p[i] <= '9') {
            if (!found && p[i] != '0') {
                lead = position;
                found = true;
            }
            position--;
            i++;
        }
    }
    long exponent = 0;
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        i++;
        bool negative = false;
        if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
        while (i < n && p[i] >= '0' && p[i] <= '9') {
            if (exponent < 100000) exponent = exponent * 10 + (p[i] - '0');
            i++;
        }
        if (negative) exponent = -exponent;
    }
    return lead + exponent;
}

// Correctly rounded conversion of a JSON number; false when it overflows a double.
bool parse_f64(const char *p, size_t n, double *out) {
    if (!vd::json_number_valid(p, n)) return false;
    double value = 0;
    auto result = std::from_chars(p, p + n, value);
    if (result.ec == std::errc::result_out_of_range) {
        if (leading_decimal_exponent(p, n) > 0) return false;
        *out = p[0] == '-' ? -0.0 : 0.0;
        return true;
    }
    if (result.ec != std::errc() || result.ptr != p + n) return false;
    *out = value;
    return true;
}

// ---- the machine ----------------------------------------------------------------------------

struct Machine {
    vellum_parser_state *st;

    ParserFrame *frames() const { return reinterpret_cast<ParserFrame *>(st->arena); }
    ParserFrame *top_frame() const { return st->depth ? &frames()[st->depth - 1] : nullptr; }
    size_t frames_end() const { return st->depth * kFrameSize; }
    bool mapped() const { return !st->syntax_only; }

    // -- errors --
    vellum_status fail(vellum_status code, const char *format, ...) __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, format);
        vd::set_error_v(&st->error, code, format, args);
        va_end(args);
        st->failed = 1;
        return code;
    }
    // A callee (spool, handler) reported `code` into its own record.
    vellum_status fail_from(vellum_status code, const vellum_error &from, const char *fallback) {
        st->error.code = code;
        if (from.message[0]) {
            std::memcpy(st->error.message, from.message, sizeof st->error.message);
        } else {
            std::snprintf(st->error.message, sizeof st->error.message, "%s", fallback);
        }
        st->error.system_errno = from.system_errno;
        st->failed = 1;
        return code;
    }

    void advance(unsigned char c) {
        st->error.offset++;
        if (c == '\n') {
            st->error.line++;
            st->error.column = 0;
        } else {
            st->error.column++;
        }
    }
    void advance_run(size_t n) {
        st->error.offset += n;
        st->error.column += n;
    }

    // -- token buffer --
    size_t token_capacity() const {
        size_t gap = st->top - frames_end();
        return gap ? gap - 1 : 0;
    }
    vellum_status token_begin() {
        st->token = reinterpret_cast<char *>(st->arena + frames_end());
        st->token_len = 0;
        if (st->top == frames_end())
            return fail(VELLUM_STATUS_OVERFLOW, "parser workspace exhausted by token");
        return VELLUM_STATUS_OK;
    }
    // How many of n bytes fit while keeping `reserve` bytes free beyond the token.
    size_t token_fit(size_t n, size_t reserve) const {
        size_t room = token_capacity() - st->token_len;
        if (room < reserve) return 0;
        size_t fit = room - reserve + 1;
        return n < fit ? n : fit;
    }
    void token_put(const void *data, size_t n) {
        std::memcpy(st->token + st->token_len, data, n);
        st->token_len += n;
    }

    // -- required masks and seen sets --
    uint64_t required_mask(const vellum_map *map) {
        auto slot = (reinterpret_cast<uintptr_t>(map) >> 4) & 7;
        vd::RequiredMaskSlot &entry = st->required_cache[slot];
        if (entry.map == map) return entry.mask;
        uint64_t mask = 0;
        for (size_t i = 0; i < map->field_count && i < 64; i++)
            if (map->fields[i].flags & VELLUM_FIELD_REQUIRED) mask |= uint64_t{1} << i;
        entry.map = map;
        entry.mask = mask;
        return mask;
    }
    uint32_t required_count(const vellum_map *map) {
        if (map->field_count <= 64) return static_cast<uint32_t>(__builtin_popcountll(required_mask(map)));
        uint32_t count = 0;
        for (size_t i = 0; i < map->field_count; i++)
            if (map->fields[i].flags & VELLUM_FIELD_REQUIRED) count++;
        return count;
    }
    bool field_seen(const ParserFrame &frame, size_t index) const {
        if (frame.map->field_count <= 64) {
            uint32_t word = index < 32 ? frame.seen_lo : frame.seen_hi;
            return (word >> (index & 31)) & 1;
        }
        return frame.seen_bytes && st->arena[frame.seen_bytes + index];
    }

    // A mapped field receives a value: duplicate check, seen mark, required count.
    vellum_status mark_seen(ParserFrame &frame, const vellum_field *field) {
        size_t index = static_cast<size_t>(field - frame.map->fields);
        bool seen;
        if (frame.map->field_count <= 64) {
            uint32_t &word = index < 32 ? frame.seen_lo : frame.seen_hi;
            uint32_t bit = uint32_t{1} << (index & 31);
            seen = word & bit;
            word |= bit;
        } else {
            if (!frame.seen_bytes) {
                size_t size = (frame.map->field_count + 3) & ~size_t{3};
                // The seen-set must not reach into the frames or a token still being assigned.
                if (st->top < size || st->top - size < frames_end() + st->token_len + 1)
                    return fail(VELLUM_STATUS_OVERFLOW, "parser workspace exhausted by object bookkeeping");
                st->top -= size;
                std::memset(st->arena + st->top, 0, size);
                frame.seen_bytes = static_cast<uint32_t>(st->top);
                frame.seen_size = static_cast<uint32_t>(size);
            }
            seen = st->arena[frame.seen_bytes + index];
            st->arena[frame.seen_bytes + index] = 1;
        }
        if (seen) {
            if (st->options.reject_duplicates)
                return fail(VELLUM_STATUS_DUPLICATE_FIELD, "duplicate field '%s'", vd::field_label(field));
        } else if (field->flags & VELLUM_FIELD_REQUIRED) {
            frame.required_left--;
        }
        return VELLUM_STATUS_OK;
    }

    // -- frames --
    vellum_status push_frame(uint8_t container, const vellum_map *map, void *record, const vellum_field *field) {
        if (st->options.max_depth && st->depth >= st->options.max_depth)
            return fail(VELLUM_STATUS_OVERFLOW, "maximum nesting depth exceeded");
        if (frames_end() + kFrameSize > st->top)
            return fail(VELLUM_STATUS_OVERFLOW, "parser workspace exhausted by nesting depth");
        ParserFrame *frame = &frames()[st->depth];
        std::memset(frame, 0, sizeof *frame);
        frame->container = container;
        frame->state = container == kObject ? kObjKeyOrEnd : kArrValueOrEnd;
        frame->map = map;
        frame->record = record;
        frame->field = field;
        if (container == kObject && map) frame->required_left = required_count(map);
        st->depth++;
        return VELLUM_STATUS_OK;
    }

    vellum_status close_object(ParserFrame &frame) {
        if (frame.map && frame.required_left > 0) {
            for (size_t i = 0; i < frame.map->field_count; i++) {
                const vellum_field &field = frame.map->fields[i];
                if ((field.flags & VELLUM_FIELD_REQUIRED) && !field_seen(frame, i))
                    return fail(VELLUM_STATUS_MISSING_REQUIRED_FIELD, "missing required field '%s'",
                                vd::field_label(&field));
            }
        }
        pop_frame();
        return VELLUM_STATUS_OK;
    }

    void pop_frame() {
        ParserFrame &frame = frames()[st->depth - 1];
        if (frame.seen_size) st->top += frame.seen_size;
        st->depth--;
        if (st->depth == 0) st->root_done = 1;
    }

    // -- value targets --
    struct Target {
        const vellum_field *field;  // NULL: the value is validated and dropped
        void *record;
        ParserFrame *frame;
        bool element;               // an element of the array `field`
    };
    Target target() const {
        ParserFrame *frame = top_frame();
        if (!frame || !mapped()) return {nullptr, nullptr, frame, false};
        if (frame->container == kObject) {
            if (!frame->map) return {nullptr, nullptr, frame, false};
            return {frame->field, frame->record, frame, false};
        }
        return {frame->field, frame->record, frame, frame->field != nullptr};
    }

    vellum_status scalar_done() {
        if (st->depth == 0) {
            if (mapped()) return fail(VELLUM_STATUS_INVALID_JSON, "unexpected scalar at document root");
            st->root_done = 1;
        }
        return VELLUM_STATUS_OK;
    }

    vellum_status array_mismatch(const vellum_field *array) {
        const char *name = vd::field_label(array);
        switch (array->kind) {
        case VELLUM_KIND_STRING_ARRAY:
        case VELLUM_KIND_STRING_ARRAY_STREAM:
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "array '%s' expects strings", name);
        case VELLUM_KIND_I64_ARRAY: return fail(VELLUM_STATUS_TYPE_MISMATCH, "array '%s' expects integers", name);
        case VELLUM_KIND_U64_ARRAY:
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "array '%s' expects unsigned integers", name);
        case VELLUM_KIND_F64_ARRAY: return fail(VELLUM_STATUS_TYPE_MISMATCH, "array '%s' expects numbers", name);
        case VELLUM_KIND_BOOL_ARRAY: return fail(VELLUM_STATUS_TYPE_MISMATCH, "array '%s' expects booleans", name);
        default:
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "field '%s' does not accept scalar array values", name);
        }
    }

    // Room for one more element. *skip: a full FIXED array drops the element under a
    // truncating policy. Returns the failure status when the array cannot take it.
    vellum_status reserve_element(const vellum_field &field, void **items, size_t count, size_t *capacity,
                                  unsigned int *flags, size_t elem_size, bool *skip) {
        *skip = false;
        if (count + 1 <= *capacity) return VELLUM_STATUS_OK;
        if (*flags & VELLUM_ARRAY_FIXED) {
            if (field.overflow == VELLUM_OVERFLOW_FAIL) return fail(VELLUM_STATUS_OVERFLOW, "array capacity exceeded");
            st->error.truncated = 1;
            *skip = true;
            return VELLUM_STATUS_OK;
        }
        size_t grown = *capacity < 4 ? 4 : *capacity * 2;
        if (grown < *capacity || elem_size == 0 || grown > SIZE_MAX / elem_size)
            return fail(VELLUM_STATUS_OVERFLOW, "array too large");
        void *buffer;
        if ((*flags & VELLUM_ARRAY_OWNED) && *items) {
            buffer = vd::block_realloc(*items, grown * elem_size);
        } else {
            buffer = vd::block_alloc(st->allocator, grown * elem_size);
            if (buffer && *items && count) std::memcpy(buffer, *items, count * elem_size);
        }
        if (!buffer) return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to grow array");
        *items = buffer;
        *capacity = grown;
        *flags |= VELLUM_ARRAY_OWNED;
        return VELLUM_STATUS_OK;
    }

    // Appends one scalar element (elem_size bytes at data) to a scalar array field.
    vellum_status append_element(const vellum_field &field, void *record, const void *data) {
        auto *array = vd::member_at<vellum_array>(record, field.offset);
        size_t elem_size = vd::array_element_size(field.kind);
        bool skip;
        if (reserve_element(field, &array->items, array->count, &array->capacity, &array->flags, elem_size, &skip))
            return st->error.code;
        if (skip) return VELLUM_STATUS_TRUNCATED;
        std::memcpy(static_cast<unsigned char *>(array->items) + array->count * elem_size, data, elem_size);
        array->count++;
        return VELLUM_STATUS_OK;
    }

    vellum_status append_string_element(const vellum_field &field, void *record, const char *text, size_t len) {
        if (std::memchr(text, '\0', len))
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "array '%s' contains embedded NUL unsupported by C strings",
                        vd::field_label(&field));
        auto *array = vd::member_at<vellum_array>(record, field.offset);
        bool skip;
        if (reserve_element(field, &array->items, array->count, &array->capacity, &array->flags, sizeof(char *),
                            &skip))
            return st->error.code;
        if (skip) return VELLUM_STATUS_OK;
        char *copy = vd::block_strndup(st->allocator, text, len);
        if (!copy) return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate array string");
        static_cast<char **>(array->items)[array->count++] = copy;
        return VELLUM_STATUS_OK;
    }

    // -- string values --
    vellum_status begin_string(bool is_key, int mode) {
        st->lex_state = kLexString;
        st->string_is_key = is_key;
        st->string_mode = mode;
        st->escape_state = 0;
        st->high_surrogate = 0;
        if (mode == kModeToken) return token_begin();
        return VELLUM_STATUS_OK;
    }

    vellum_status begin_spooled(ParserFrame &frame, const vellum_field &field, void *record) {
        if (mark_seen(frame, &field)) return st->error.code;
        auto *spooled = vd::member_at<vellum_spooled>(record, field.offset);
        if (spooled->tag != vd::address_tag(spooled, vd::kSpooledTagConstant)) {
            vellum_spooled_init_with_allocator(spooled, field.spool_options, &st->allocator);
        } else {
            vellum_spooled_reset(spooled);
            spooled->allocator = st->allocator;
        }
        st->stream_field = &field;
        st->stream_member = spooled;
        st->quartet_count = 0;
        st->quartet_padded = 0;
        return begin_string(false, field.kind == VELLUM_KIND_SPOOLED_TEXT ? kModeSpooledText : kModeSpooledBytes);
    }

    vellum_status begin_stream_item(const vellum_field &field, void *record) {
        auto *stream = vd::member_at<vellum_string_array_stream>(record, field.offset);
        const char *name = vd::field_label(&field);
        if (stream->tag != vd::address_tag(stream, vd::kStringArrayStreamTagConstant) || !stream->chunk)
            return fail(VELLUM_STATUS_INVALID_ARGUMENT, "string array stream field '%s' has no chunk handler", name);
        if (stream->active)
            return fail(VELLUM_STATUS_INTERNAL_ERROR, "string array stream field '%s' is already active", name);
        if (stream->begin && handler_failed(stream->begin(stream->user, &st->error))) return st->error.code;
        stream->active = 1;
        st->stream_field = &field;
        st->stream_member = stream;
        return begin_string(false, kModeStringStream);
    }

    // A handler returned `status`: 0 and TRUNCATED continue, anything else stops the parse.
    bool handler_failed(int status) {
        if (status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED) return false;
        if (!st->error.message[0])
            std::snprintf(st->error.message, sizeof st->error.message, "%s", "string array stream callback failed");
        st->error.code = status;
        st->failed = 1;
        return true;
    }

    vellum_status begin_string_value() {
        Target t = target();
        if (!t.field) return begin_string(false, kModeDiscard);
        const vellum_field &field = *t.field;
        const char *name = vd::field_label(&field);
        if (t.element) {
            if (field.kind == VELLUM_KIND_STRING_ARRAY) return begin_string(false, kModeToken);
            if (field.kind == VELLUM_KIND_STRING_ARRAY_STREAM) return begin_stream_item(field, t.record);
            return array_mismatch(&field);
        }
        switch (field.kind) {
        case VELLUM_KIND_STRING:
            if (field.storage == VELLUM_STORAGE_FIXED) {
                if (mark_seen(*t.frame, &field)) return st->error.code;
                st->direct = vd::member_at<char>(t.record, field.offset);
                st->direct_written = 0;
                st->direct_capacity = field.capacity;
                st->direct_skip = 0;
                st->direct_field = &field;
                st->direct[0] = '\0';
                return begin_string(false, kModeFixed);
            }
            return begin_string(false, kModeToken);
        case VELLUM_KIND_SPOOLED_TEXT:
        case VELLUM_KIND_SPOOLED_BYTES: return begin_spooled(*t.frame, field, t.record);
        case VELLUM_KIND_SOURCE_TEXT:
        case VELLUM_KIND_SOURCE_BYTES:
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "field '%s' is serialize-only and cannot be parsed from JSON", name);
        default: return fail(VELLUM_STATUS_TYPE_MISMATCH, "expected string field '%s'", name);
        }
    }

    // Decoded string bytes. On failure *used is the index of the byte that failed.
    vellum_status emit(const unsigned char *data, size_t n, size_t *used) {
        *used = n;
        switch (st->string_mode) {
        case kModeDiscard: return VELLUM_STATUS_OK;
        case kModeToken: {
            size_t fit = token_fit(n, 3);
            token_put(data, fit);
            if (fit < n) {
                *used = fit;
                return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to append string");
            }
            return VELLUM_STATUS_OK;
        }
        case kModeFixed: return emit_fixed(data, n, used);
        case kModeValue:
            if (value_string_bytes(data, n, false)) {
                *used = n ? n - 1 : 0;
                return st->error.code;
            }
            return VELLUM_STATUS_OK;
        case kModeSpooledText: return emit_spooled(data, n, used);
        case kModeSpooledBytes: return emit_base64(data, n, used);
        case kModeStringStream: {
            auto *stream = static_cast<vellum_string_array_stream *>(st->stream_member);
            if (!stream->active) return fail(VELLUM_STATUS_INTERNAL_ERROR, "streamed field is not active");
            if (handler_failed(stream->chunk(stream->user, reinterpret_cast<const char *>(data), n, &st->error))) {
                *used = n ? n - 1 : 0;
                return st->error.code;
            }
            return VELLUM_STATUS_OK;
        }
        }
        return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid parser state");
    }

    vellum_status emit_fixed(const unsigned char *data, size_t n, size_t *used) {
        if (st->direct_skip) return VELLUM_STATUS_OK;
        size_t room = st->direct_capacity - 1 - st->direct_written;
        size_t fit = n < room ? n : room;
        std::memcpy(st->direct + st->direct_written, data, fit);
        st->direct_written += fit;
        st->direct[st->direct_written] = '\0';
        if (fit == n) return VELLUM_STATUS_OK;
        if (st->direct_field->overflow == VELLUM_OVERFLOW_FAIL) {
            *used = fit;
            return fail(VELLUM_STATUS_OVERFLOW, "string field '%s' exceeds fixed capacity",
                        vd::field_label(st->direct_field));
        }
        st->error.truncated = 1;
        st->direct_skip = 1;
        return VELLUM_STATUS_OK;
    }

    vellum_status spool_append(const unsigned char *data, size_t n) {
        auto *spooled = static_cast<vellum_spooled *>(st->stream_member);
        vellum_error scratch;
        vellum_error_init(&scratch);
        vellum_status status = vellum_spooled_append(spooled, data, n, &scratch);
        if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED)
            return fail_from(status, scratch, "failed to append streamed field");
        return VELLUM_STATUS_OK;
    }

    // Bytes up to max_bytes are stored; the byte that crosses it is the one that fails.
    vellum_status emit_spooled(const unsigned char *data, size_t n, size_t *used) {
        auto *spooled = static_cast<vellum_spooled *>(st->stream_member);
        size_t fit = n;
        if (spooled->max_bytes) {
            size_t room = spooled->size < spooled->max_bytes ? spooled->max_bytes - spooled->size : 0;
            if (room < fit) fit = room;
        }
        if (fit && spool_append(data, fit)) {
            *used = 0;
            return st->error.code;
        }
        if (fit < n) {
            *used = fit;
            return spool_append(data + fit, n - fit);
        }
        return VELLUM_STATUS_OK;
    }

    vellum_status base64_fail(const char *message, size_t index, size_t *used) {
        *used = index;
        return fail(VELLUM_STATUS_INVALID_JSON, "%s", message);
    }

    // Base64 text decoded group by group; decoded bytes are batched per call.
    vellum_status emit_base64(const unsigned char *data, size_t n, size_t *used) {
        auto *spooled = static_cast<vellum_spooled *>(st->stream_member);
        unsigned char batch[768];
        size_t batch_len = 0;
        auto flush = [&]() -> vellum_status {
            if (!batch_len) return VELLUM_STATUS_OK;
            vellum_status status = spool_append(batch, batch_len);
            batch_len = 0;
            return status;
        };
        for (size_t i = 0; i < n; i++) {
            unsigned char c = data[i];
            int count = st->quartet_count;
            if (c == '=') {
                if (count < 2) {
                    flush();
                    return base64_fail("invalid base64 quartet in streamed field", i, used);
                }
                st->quartet_padded = 1;
            } else {
                if (base64_value(c) < 0) {
                    flush();
                    return base64_fail("invalid base64 character in streamed field", i, used);
                }
                if (count == 3 && st->quartet[2] == '=') {
                    flush();
                    return base64_fail("invalid base64 padding in streamed field", i, used);
                }
                if (st->quartet_padded) {
                    flush();
                    return base64_fail("non-padding base64 data after padding", i, used);
                }
            }
            st->quartet[count] = c;
            st->quartet_count = count + 1;
            if (st->quartet_count < 4) continue;
            st->quartet_count = 0;
            uint32_t bits = 0;
            int pads = 0;
            for (int k = 0; k < 4; k++) {
                int v = st->quartet[k] == '=' ? 0 : base64_value(st->quartet[k]);
                if (st->quartet[k] == '=') pads++;
                bits = (bits << 6) | static_cast<uint32_t>(v);
            }
            unsigned char out[3] = {static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 8),
                                    static_cast<unsigned char>(bits)};
            size_t produced = static_cast<size_t>(3 - pads);
            // Exceeding the spool's limit fails at the group that crosses it.
            if (spooled->max_bytes && spooled->size + batch_len + produced > spooled->max_bytes) {
                if (flush()) {
                    *used = i;
                    return st->error.code;
                }
                *used = i;
                return spool_append(out, produced);
            }
            std::memcpy(batch + batch_len, out, produced);
            batch_len += produced;
            if (batch_len + 3 > sizeof batch && flush()) {
                *used = i;
                return st->error.code;
            }
        }
        if (flush()) {
            *used = n ? n - 1 : 0;
            return st->error.code;
        }
        return VELLUM_STATUS_OK;
    }

    vellum_status emit_plain_byte(unsigned char c) {
        size_t used;
        return emit(&c, 1, &used);
    }

    // The decoded bytes of one escape sequence.
    vellum_status emit_escape(const unsigned char *data, size_t n) {
        if (st->string_mode == kModeValue) return value_string_bytes(data, n, true);
        size_t used;
        return emit(data, n, &used);
    }

    vellum_status end_string() {
        st->lex_state = kLexNone;
        switch (st->string_mode) {
        case kModeToken: return st->string_is_key ? end_key() : assign_token_string();
        case kModeDiscard:
            if (st->string_is_key) {
                ParserFrame *frame = top_frame();
                frame->field = nullptr;
                frame->state = kObjColon;
                return VELLUM_STATUS_OK;
            }
            return scalar_done();
        case kModeFixed: st->direct[st->direct_written] = '\0'; return VELLUM_STATUS_OK;
        case kModeValue: return value_string_end();
        case kModeSpooledText: return VELLUM_STATUS_OK;
        case kModeSpooledBytes:
            if (st->quartet_count != 0)
                return fail(VELLUM_STATUS_INVALID_JSON, "incomplete base64 quartet in streamed field");
            return VELLUM_STATUS_OK;
        case kModeStringStream: {
            auto *stream = static_cast<vellum_string_array_stream *>(st->stream_member);
            stream->active = 0;
            if (stream->end && handler_failed(stream->end(stream->user, &st->error))) return st->error.code;
            return VELLUM_STATUS_OK;
        }
        }
        return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid parser state");
    }

    vellum_status end_key() {
        ParserFrame *frame = top_frame();
        if (!frame || frame->container != kObject)
            return fail(VELLUM_STATUS_INVALID_JSON, "object key outside object context");
        frame->field = lookup(*frame, st->token, st->token_len);
        frame->state = kObjColon;
        st->token_len = 0;
        return VELLUM_STATUS_OK;
    }

    static bool field_matches(const vellum_field &field, const char *key, size_t len) {
        if (field.name_len != len || len == 0) return false;
        if (field.name_first != key[0] || field.name_last != key[len - 1]) return false;
        return len <= 2 || std::memcmp(field.name + 1, key + 1, len - 2) == 0;
    }

    const vellum_field *lookup(ParserFrame &frame, const char *key, size_t len) {
        const vellum_map *map = frame.map;
        if (frame.next_hint < map->field_count && field_matches(map->fields[frame.next_hint], key, len)) {
            return &map->fields[frame.next_hint++];
        }
        for (size_t i = 0; i < map->field_count; i++) {
            if (field_matches(map->fields[i], key, len)) {
                frame.next_hint = static_cast<uint32_t>(i + 1);
                return &map->fields[i];
            }
        }
        return nullptr;
    }

    vellum_status assign_token_string() {
        Target t = target();
        const char *text = st->token;
        size_t len = st->token_len;
        if (t.element) {
            if (append_string_element(*t.field, t.record, text, len)) return st->error.code;
            return scalar_done();
        }
        const vellum_field &field = *t.field;  // token strings always have a DYNAMIC string target
        if (mark_seen(*t.frame, &field)) return st->error.code;
        if (std::memchr(text, '\0', len))
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "field '%s' contains embedded NUL unsupported by C strings",
                        vd::field_label(&field));
        char *copy = vd::block_strndup(st->allocator, text, len);
        if (!copy) return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate string");
        auto **slot = vd::member_at<char *>(t.record, field.offset);
        vd::block_free(*slot);
        *slot = copy;
        return VELLUM_STATUS_OK;
    }

    // -- numbers --
    vellum_status begin_number(unsigned char c) {
        Target t = target();
        if (t.field) {
            vellum_kind kind = t.field->kind;
            if (t.element) {
                if (kind != VELLUM_KIND_I64_ARRAY && kind != VELLUM_KIND_U64_ARRAY && kind != VELLUM_KIND_F64_ARRAY)
                    return array_mismatch(t.field);
            } else if (kind != VELLUM_KIND_I64 && kind != VELLUM_KIND_U64 && kind != VELLUM_KIND_F64) {
                return fail(VELLUM_STATUS_TYPE_MISMATCH, "numeric value does not match field '%s'",
                            vd::field_label(t.field));
            }
        }
        st->lex_state = kLexNumber;
        if (token_begin()) return st->error.code;
        return number_bytes(&c, 1, nullptr);
    }

    // Appends number bytes; on failure *used is the index of the byte that did not fit.
    vellum_status number_bytes(const unsigned char *data, size_t n, size_t *used) {
        size_t fit = token_fit(n, 2);
        token_put(data, fit);
        if (used) *used = fit;
        if (fit < n) return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to append number");
        return VELLUM_STATUS_OK;
    }

    vellum_status end_number() {
        st->lex_state = kLexNone;
        if (st->value_active) return value_number(st->token, st->token_len);
        Target t = target();
        const char *text = st->token;
        size_t len = st->token_len;
        if (!t.field) {
            if (!vd::json_number_valid(text, len)) return fail(VELLUM_STATUS_INVALID_JSON, "invalid JSON number");
            return scalar_done();
        }
        const vellum_field &field = *t.field;
        const char *name = vd::field_label(&field);
        if (!t.element && mark_seen(*t.frame, &field)) return st->error.code;
        unsigned char value[8];
        switch (field.kind) {
        case VELLUM_KIND_I64:
        case VELLUM_KIND_I64_ARRAY: {
            int64_t v;
            if (!parse_i64(text, len, &v)) return fail(VELLUM_STATUS_TYPE_MISMATCH, "expected integer for '%s'", name);
            std::memcpy(value, &v, 8);
            break;
        }
        case VELLUM_KIND_U64:
        case VELLUM_KIND_U64_ARRAY: {
            uint64_t v;
            if (!parse_u64(text, len, &v))
                return fail(VELLUM_STATUS_TYPE_MISMATCH, "expected unsigned integer for '%s'", name);
            std::memcpy(value, &v, 8);
            break;
        }
        default: {
            double v;
            if (!parse_f64(text, len, &v)) return fail(VELLUM_STATUS_TYPE_MISMATCH, "expected number for '%s'", name);
            std::memcpy(value, &v, 8);
            break;
        }
        }
        if (t.element) {
            vellum_status status = append_element(field, t.record, value);
            if (status && status != VELLUM_STATUS_TRUNCATED) return status;
        } else {
            std::memcpy(vd::member_at<unsigned char>(t.record, field.offset), value, 8);
            vd::set_presence(t.record, field, 1);
        }
        return VELLUM_STATUS_OK;
    }

    // -- literals --
    vellum_status begin_literal(int lex, unsigned char c) {
        st->lex_state = lex;
        st->literal_pos = 0;
        if (token_begin()) return st->error.code;
        return literal_byte(c);
    }

    static const char *literal_text(int lex) {
        return lex == kLexTrue ? kLiteralTrue : lex == kLexFalse ? kLiteralFalse : kLiteralNull;
    }

    vellum_status literal_byte(unsigned char c) {
        const char *text = literal_text(st->lex_state);
        if (static_cast<unsigned char>(text[st->literal_pos]) != c)
            return fail(VELLUM_STATUS_INVALID_JSON, "invalid literal");
        if (token_fit(1, 2) == 0) return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to append literal");
        token_put(&c, 1);
        st->literal_pos++;
        if (text[st->literal_pos] != '\0') return VELLUM_STATUS_OK;
        int lex = st->lex_state;
        st->lex_state = kLexNone;
        if (st->value_active) return value_literal(lex);
        return lex == kLexNull ? assign_null() : assign_bool(lex == kLexTrue);
    }

    vellum_status assign_bool(bool value) {
        Target t = target();
        if (!t.field) return scalar_done();
        const vellum_field &field = *t.field;
        int32_t stored = value ? 1 : 0;
        if (t.element) {
            if (field.kind != VELLUM_KIND_BOOL_ARRAY) return array_mismatch(&field);
            vellum_status status = append_element(field, t.record, &stored);
            return status == VELLUM_STATUS_TRUNCATED ? VELLUM_STATUS_OK : status;
        }
        if (field.kind != VELLUM_KIND_BOOL)
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "boolean value does not match field '%s'", vd::field_label(&field));
        if (mark_seen(*t.frame, &field)) return st->error.code;
        *vd::member_at<int32_t>(t.record, field.offset) = stored;
        vd::set_presence(t.record, field, 1);
        return VELLUM_STATUS_OK;
    }

    vellum_status assign_null() {
        Target t = target();
        if (!t.field) return scalar_done();
        const vellum_field &field = *t.field;
        if (t.element) {
            if (field.kind != VELLUM_KIND_STRING_ARRAY) return array_mismatch(&field);
            return append_string_element(field, t.record, "", 0);
        }
        switch (field.kind) {
        case VELLUM_KIND_STRING:
        case VELLUM_KIND_SPOOLED_TEXT:
        case VELLUM_KIND_SPOOLED_BYTES:
        case VELLUM_KIND_SOURCE_TEXT:
        case VELLUM_KIND_SOURCE_BYTES:
        case VELLUM_KIND_OBJECT:
        case VELLUM_KIND_STRING_ARRAY:
        case VELLUM_KIND_I64_ARRAY:
        case VELLUM_KIND_U64_ARRAY:
        case VELLUM_KIND_F64_ARRAY:
        case VELLUM_KIND_BOOL_ARRAY:
        case VELLUM_KIND_OBJECT_ARRAY:
            if (mark_seen(*t.frame, &field)) return st->error.code;
            vd::cleanup_member(field, t.record);
            if (field.kind == VELLUM_KIND_OBJECT_ARRAY)
                vd::member_at<vellum_object_array>(t.record, field.offset)->elem_size = field.elem_size;
            return VELLUM_STATUS_OK;
        default: return fail(VELLUM_STATUS_TYPE_MISMATCH, "null is not allowed for '%s'", vd::field_label(&field));
        }
    }

    // -- containers --
    vellum_status open_object() {
        Target t = target();
        if (!t.field) return push_frame(kObject, nullptr, nullptr, nullptr);
        const vellum_field &field = *t.field;
        const char *name = vd::field_label(&field);
        if (t.element) {
            if (field.kind != VELLUM_KIND_OBJECT_ARRAY) {
                if (field.kind == VELLUM_KIND_STRING_ARRAY_STREAM)
                    return fail(VELLUM_STATUS_TYPE_MISMATCH, "array '%s' expects strings", name);
                return fail(VELLUM_STATUS_TYPE_MISMATCH, "array '%s' expects scalar elements", name);
            }
            return open_object_element(field, t.record);
        }
        if (field.kind != VELLUM_KIND_OBJECT)
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "field '%s' expects non-object value", name);
        if (mark_seen(*t.frame, &field)) return st->error.code;
        void *nested = vd::member_at<void>(t.record, field.offset);
        // An earlier value of this field (repeated key, merge parse) is released first.
        vd::record_clear_for_parse(field.map, nested, st->allocator);
        return push_frame(kObject, field.map, nested, nullptr);
    }

    vellum_status open_object_element(const vellum_field &field, void *record) {
        auto *array = vd::member_at<vellum_object_array>(record, field.offset);
        bool skip;
        if (reserve_element(field, &array->items, array->count, &array->capacity, &array->flags, field.elem_size,
                            &skip))
            return st->error.code;
        if (skip) return push_frame(kObject, nullptr, nullptr, nullptr);
        array->elem_size = field.elem_size;
        void *element = static_cast<unsigned char *>(array->items) + array->count * field.elem_size;
        std::memset(element, 0, field.elem_size);
        if (field.map) vd::record_init(field.map, element, st->allocator, true);
        array->count++;
        return push_frame(kObject, field.map, element, nullptr);
    }

    vellum_status open_array() {
        Target t = target();
        if (!t.field) return push_frame(kArray, nullptr, nullptr, nullptr);
        const vellum_field &field = *t.field;
        const char *name = vd::field_label(&field);
        if (t.element) return fail(VELLUM_STATUS_TYPE_MISMATCH, "field '%s' does not accept nested arrays", name);
        if (field.kind < VELLUM_KIND_STRING_ARRAY || field.kind > VELLUM_KIND_STRING_ARRAY_STREAM)
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "field '%s' is not an array", name);
        if (mark_seen(*t.frame, &field)) return st->error.code;
        if (field.kind != VELLUM_KIND_STRING_ARRAY_STREAM) {
            // A repeated key (or a merge parse) replaces the earlier array.
            vd::cleanup_member(field, t.record);
            if (field.kind == VELLUM_KIND_OBJECT_ARRAY)
                vd::member_at<vellum_object_array>(t.record, field.offset)->elem_size = field.elem_size;
        }
        return push_frame(kArray, nullptr, t.record, &field);
    }

    // -- raw JSON value fields --
    // The value's tokens, validated and decoded here, are handed to its capture, which writes
    // compact text to the sink or capture buffer or reports visitor events, within the value's
    // limits. Frames still track the value's nesting so the grammar is checked as everywhere.

    vellum_status capture_status(vellum_status status) {
        if (status != VELLUM_STATUS_OK) st->failed = 1;
        return status;
    }

    vellum_status start_raw_value(ParserFrame &frame, const vellum_field &field, void *record) {
        if (mark_seen(frame, &field)) return st->error.code;
        auto *value = vd::member_at<vellum_json_value>(record, field.offset);
        if (capture_status(st->capture.begin(value, &st->error))) return st->error.code;
        st->value_active = 1;
        return VELLUM_STATUS_OK;
    }

    // The value has closed: the record's parse goes on.
    vellum_status value_step_done(vellum_status status) {
        if (capture_status(status)) return status;
        if (st->capture.complete()) st->value_active = 0;
        return VELLUM_STATUS_OK;
    }

    vellum_status value_open(uint8_t container) {
        if (push_frame(container, nullptr, nullptr, nullptr)) return st->error.code;
        top_frame()->raw_value = 1;
        return capture_status(container == kObject ? st->capture.object_begin() : st->capture.array_begin());
    }

    vellum_status value_close(uint8_t container) {
        pop_frame();
        return value_step_done(container == kObject ? st->capture.object_end() : st->capture.array_end());
    }

    vellum_status value_string_begin(bool is_key) {
        if (begin_string(is_key, kModeValue)) return st->error.code;
        return capture_status(is_key ? st->capture.key_begin() : st->capture.string_begin());
    }

    vellum_status value_string_bytes(const unsigned char *data, size_t n, bool escape) {
        return capture_status(st->capture.text(reinterpret_cast<const char *>(data), n, escape));
    }

    vellum_status value_string_end() {
        if (st->string_is_key) {
            top_frame()->state = kObjColon;
            return capture_status(st->capture.key_end());
        }
        return value_step_done(st->capture.string_end());
    }

    vellum_status value_number(const char *text, size_t len) {
        if (!vd::json_number_valid(text, len)) return fail(VELLUM_STATUS_INVALID_JSON, "invalid JSON number");
        return value_step_done(st->capture.number(text, len));
    }

    vellum_status value_literal(int lex) {
        return value_step_done(st->capture.literal(lex == kLexFalse ? 0 : lex == kLexTrue ? 1 : 2));
    }

    // The first byte of a value inside (or starting) a raw JSON value.
    vellum_status begin_raw_token(unsigned char c, bool in_array) {
        switch (c) {
        case '"': return value_string_begin(false);
        case '{': return value_open(kObject);
        case '[': return value_open(kArray);
        case 't': return begin_literal(kLexTrue, c);
        case 'f': return begin_literal(kLexFalse, c);
        case 'n': return begin_literal(kLexNull, c);
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                st->lex_state = kLexNumber;
                if (token_begin()) return st->error.code;
                return number_bytes(&c, 1, nullptr);
            }
            return fail(VELLUM_STATUS_INVALID_JSON, in_array ? "expected array value" : "expected JSON value");
        }
    }

    // -- between tokens --
    vellum_status begin_value(unsigned char c, bool in_array) {
        if (!st->value_active) {
            Target t = target();
            if (t.field && !t.element && t.field->kind == VELLUM_KIND_JSON_VALUE &&
                start_raw_value(*t.frame, *t.field, t.record))
                return st->error.code;
        }
        if (st->value_active) return begin_raw_token(c, in_array);
        switch (c) {
        case '"': return begin_string_value();
        case '{': return open_object();
        case '[': return open_array();
        case 't': return begin_literal(kLexTrue, c);
        case 'f': return begin_literal(kLexFalse, c);
        case 'n': return begin_literal(kLexNull, c);
        default:
            if (c == '-' || (c >= '0' && c <= '9')) return begin_number(c);
            return fail(VELLUM_STATUS_INVALID_JSON, in_array ? "expected array value" : "expected JSON value");
        }
    }

    vellum_status between(unsigned char c) {
        if (whitespace_byte(c)) return VELLUM_STATUS_OK;
        if (st->root_done) return fail(VELLUM_STATUS_INVALID_JSON, "unexpected trailing data");
        ParserFrame *frame = top_frame();
        if (!frame) {
            st->root_started = 1;
            if (mapped()) {
                if (c != '{') return fail(VELLUM_STATUS_TYPE_MISMATCH, "root value must be an object");
                return push_frame(kObject, st->map, st->record, nullptr);
            }
            return begin_value(c, false);
        }
        if (frame->raw_value) return between_in_value(*frame, c);
        if (frame->container == kObject) {
            switch (frame->state) {
            case kObjKeyOrEnd:
                if (c == '"') {
                    frame->after_comma = 0;
                    return begin_string(true, frame->map ? kModeToken : kModeDiscard);
                }
                if (c == '}') {
                    if (frame->after_comma) return fail(VELLUM_STATUS_INVALID_JSON, "trailing comma in object");
                    return close_object(*frame);
                }
                return fail(VELLUM_STATUS_INVALID_JSON, "expected object key");
            case kObjColon:
                if (c == ':') {
                    frame->state = kObjValue;
                    return VELLUM_STATUS_OK;
                }
                return fail(VELLUM_STATUS_INVALID_JSON, "expected ':' after object key");
            case kObjValue:
                frame->state = kObjCommaOrEnd;
                return begin_value(c, false);
            case kObjCommaOrEnd:
                if (c == ',') {
                    frame->state = kObjKeyOrEnd;
                    frame->after_comma = 1;
                    return VELLUM_STATUS_OK;
                }
                if (c == '}') return close_object(*frame);
                return fail(VELLUM_STATUS_INVALID_JSON, "expected ',' or '}' in object");
            default: return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid object state");
            }
        }
        switch (frame->state) {
        case kArrValueOrEnd:
            if (c == ']') {
                if (frame->after_comma) return fail(VELLUM_STATUS_INVALID_JSON, "trailing comma in array");
                pop_frame();
                return VELLUM_STATUS_OK;
            }
            frame->after_comma = 0;
            frame->state = kArrCommaOrEnd;
            return begin_value(c, true);
        case kArrCommaOrEnd:
            if (c == ',') {
                frame->state = kArrValueOrEnd;
                frame->after_comma = 1;
                return VELLUM_STATUS_OK;
            }
            if (c == ']') {
                pop_frame();
                return VELLUM_STATUS_OK;
            }
            return fail(VELLUM_STATUS_INVALID_JSON, "expected ',' or ']' in array");
        default: return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid array state");
        }
    }

    // Structure inside a raw JSON value: the same grammar, re-emitted as it is read.
    vellum_status between_in_value(ParserFrame &frame, unsigned char c) {
        if (frame.container == kObject) {
            switch (frame.state) {
            case kObjKeyOrEnd:
                if (c == '"') {
                    frame.after_comma = 0;
                    return value_string_begin(true);
                }
                if (c == '}') {
                    if (frame.after_comma) return fail(VELLUM_STATUS_INVALID_JSON, "trailing comma in object");
                    return value_close(kObject);
                }
                return fail(VELLUM_STATUS_INVALID_JSON, "expected object key");
            case kObjColon:
                if (c != ':') return fail(VELLUM_STATUS_INVALID_JSON, "expected ':' after object key");
                frame.state = kObjValue;
                return VELLUM_STATUS_OK;
            case kObjValue: frame.state = kObjCommaOrEnd; return begin_raw_token(c, false);
            case kObjCommaOrEnd:
                if (c == ',') {
                    frame.state = kObjKeyOrEnd;
                    frame.after_comma = 1;
                    return VELLUM_STATUS_OK;
                }
                if (c == '}') return value_close(kObject);
                return fail(VELLUM_STATUS_INVALID_JSON, "expected ',' or '}' in object");
            default: return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid object state");
            }
        }
        switch (frame.state) {
        case kArrValueOrEnd:
            if (c == ']') {
                if (frame.after_comma) return fail(VELLUM_STATUS_INVALID_JSON, "trailing comma in array");
                return value_close(kArray);
            }
            frame.after_comma = 0;
            frame.state = kArrCommaOrEnd;
            return begin_raw_token(c, true);
        case kArrCommaOrEnd:
            if (c == ',') {
                frame.state = kArrValueOrEnd;
                frame.after_comma = 1;
                return VELLUM_STATUS_OK;
            }
            if (c == ']') return value_close(kArray);
            return fail(VELLUM_STATUS_INVALID_JSON, "expected ',' or ']' in array");
        default: return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid array state");
        }
    }

    // -- inside a string, one byte --
    vellum_status string_byte(unsigned char c) {
        switch (st->escape_state) {
        case 0:
            if (c == '"') return end_string();
            if (c == '\\') {
                st->escape_state = 1;
                return VELLUM_STATUS_OK;
            }
            if (c < 0x20) return fail(VELLUM_STATUS_INVALID_JSON, "control character in string");
            return emit_plain_byte(c);

        case 1: {
            if (c == 'u') {
                st->escape_state = 2;
                st->hex_left = 4;
                st->codepoint = 0;
                return VELLUM_STATUS_OK;
            }
            int decoded = vd::simple_escape(c);
            if (decoded < 0) return fail(VELLUM_STATUS_INVALID_JSON, "invalid escape sequence");
            st->escape_state = 0;
            auto byte = static_cast<unsigned char>(decoded);
            return emit_escape(&byte, 1);
        }
        case 2: {
            int v = vd::hex_digit(c);
            if (v < 0) return fail(VELLUM_STATUS_INVALID_JSON, "invalid unicode escape");
            st->codepoint = (st->codepoint << 4) | static_cast<uint32_t>(v);
            if (--st->hex_left > 0) return VELLUM_STATUS_OK;
            return end_unicode_escape();
        }
        case 3:
            if (c == '\\') {
                st->escape_state = 4;
                return VELLUM_STATUS_OK;
            }
            if (c == '"') return fail(VELLUM_STATUS_INVALID_JSON, "unterminated unicode surrogate pair");
            return fail(VELLUM_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
        case 4:
            if (c == 'u') {
                st->escape_state = 2;
                st->hex_left = 4;
                st->codepoint = 0;
                return VELLUM_STATUS_OK;
            }
            return fail(VELLUM_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
        default: return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid parser state");
        }
    }

    vellum_status end_unicode_escape() {
        uint32_t cp = st->codepoint;
        if (st->high_surrogate) {
            if (cp < 0xDC00 || cp > 0xDFFF) return fail(VELLUM_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
            cp = 0x10000 + ((st->high_surrogate - 0xD800) << 10) + (cp - 0xDC00);
            st->high_surrogate = 0;
        } else if (cp >= 0xD800 && cp <= 0xDBFF) {
            st->high_surrogate = cp;
            st->escape_state = 3;
            return VELLUM_STATUS_OK;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail(VELLUM_STATUS_INVALID_JSON, "unexpected low surrogate");
        }
        if (cp > 0x10FFFF) return fail(VELLUM_STATUS_INVALID_JSON, "invalid unicode codepoint");
        st->escape_state = 0;
        unsigned char utf8[4];
        return emit_escape(utf8, vd::put_utf8(cp, utf8));
    }

    // -- one byte, any state --
    vellum_status step(unsigned char c) {
        switch (st->lex_state) {
        case kLexNone: return between(c);
        case kLexString: return string_byte(c);
        case kLexNumber:
            if (kBytes.number[c]) return number_bytes(&c, 1, nullptr);
            if (end_number()) return st->error.code;
            return between(c);
        case kLexTrue:
        case kLexFalse:
        case kLexNull: return literal_byte(c);
        default: return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid parser state");
        }
    }

    vellum_status consume(unsigned char c) {
        advance(c);
        return step(c);
    }

    // -- bulk runs: identical results and positions to the byte-wise path --
    // Returns the bytes taken (the failing byte included), 0 when p[0] needs the byte machine.
    size_t string_run(const unsigned char *p, size_t n) {
        size_t i = 0;
        while (i < n && kBytes.plain[p[i]]) i++;
        if (i > 0) {
            size_t used;
            if (emit(p, i, &used)) {
                advance_run(used + 1);
                return used + 1;
            }
            advance_run(i);
        }
        if (i < n && p[i] < 0x20) {
            advance(p[i]);
            fail(VELLUM_STATUS_INVALID_JSON, "control character in string literal");
            return i + 1;
        }
        return i;
    }

    size_t number_run(const unsigned char *p, size_t n) {
        size_t i = 0;
        while (i < n && kBytes.number[p[i]]) i++;
        if (i == 0) return 0;
        size_t used;
        if (number_bytes(p, i, &used)) {
            advance_run(used + 1);
            return used + 1;
        }
        advance_run(i);
        return i;
    }

    // Whitespace between tokens changes nothing but the position.
    size_t whitespace_run(const unsigned char *p, size_t n) {
        size_t i = 0;
        for (; i < n && whitespace_byte(p[i]); i++) {
            if (p[i] == '\n') {
                st->error.line++;
                st->error.column = 0;
            } else {
                st->error.column++;
            }
        }
        st->error.offset += i;
        return i;
    }

    vellum_status feed(const unsigned char *p, size_t n, size_t *consumed, bool stop_after_root) {
        size_t i = 0;
        while (i < n && !st->failed) {
            if (stop_after_root && st->root_done) break;
            if (st->lex_state == kLexString && st->escape_state == 0) {
                size_t run = string_run(p + i, n - i);
                if (run) {
                    i += run;
                    continue;
                }
            } else if (st->lex_state == kLexNumber) {
                size_t run = number_run(p + i, n - i);
                if (run) {
                    i += run;
                    continue;
                }
                // A number at the root ends at the byte after it, which then belongs to
                // whatever follows the value: leave it unconsumed.
                if (stop_after_root && st->depth == 0 && !st->failed) {
                    end_number();
                    break;
                }
            }
            if (st->lex_state == kLexNone && whitespace_byte(p[i])) {
                i += whitespace_run(p + i, n - i);
                continue;
            }
            consume(p[i]);
            i++;
        }
        if (consumed) *consumed = i;
        return status();
    }

    vellum_status status() const {
        if (st->failed) return st->error.code;
        return st->error.truncated ? VELLUM_STATUS_TRUNCATED : VELLUM_STATUS_OK;
    }

    vellum_status finish() {
        if (st->failed) return st->error.code;
        if (st->lex_state == kLexNumber && end_number()) return st->error.code;
        if (st->lex_state != kLexNone) return fail(VELLUM_STATUS_INVALID_JSON, "incomplete JSON token at end of input");
        if (!st->root_done || st->depth > 0) return fail(VELLUM_STATUS_INVALID_JSON, "incomplete JSON document");
        return status();
    }
};

// ---- entry points --------------------------------------------------------------------------

// Checks shared by every mapped entry point, after their own source argument checks.
vellum_status check_parse_arguments(const vellum_map *map, void *record, const vellum_parse_options *options,
                                    vellum_error *error) {
    if (!map || !record) return argument_error(error, "map and destination are required");
    if (options && vd::allocator_is_partial(options->allocator))
        return argument_error(error, vd::kPartialAllocatorMessage);
    if (!vd::map_layout_valid(map)) return argument_error(error, vd::kInvalidLayoutMessage);
    return VELLUM_STATUS_OK;
}

// One parse over a caller-owned state with its arena on this stack frame.
class Parse {
  public:
    Parse(const vellum_map *map, void *record, const vellum_parse_options *options, bool syntax_only) {
        vellum__parser_init_state(&state_, map, record, options, syntax_only, workspace_);
        if (!syntax_only && state_.options.clear_destination) vd::record_init(map, record, state_.allocator, true);
    }
    vellum_status feed(const void *data, size_t length) {
        return vellum__parser_feed_bytes(&state_, data, length, nullptr, 0);
    }
    vellum_status finish(vellum_error *error) {
        vellum_status status = vellum_parser_finish(&state_);
        return done(status, error);
    }
    vellum_status read_failed(int sys_errno, vellum_error *error) {
        vd::set_error_errno(&state_.error, VELLUM_STATUS_IO_ERROR, sys_errno, "reader callback failed");
        state_.failed = 1;
        return done(VELLUM_STATUS_IO_ERROR, error);
    }
    vellum_status done(vellum_status status, vellum_error *error) {
        if (error) *error = state_.error;
        return status;
    }
    bool failed() const { return state_.failed; }

  private:
    vellum_parser_state state_;
    alignas(8) unsigned char workspace_[vd::kParserWorkspaceBytes];
};

vellum_status run_reader(Parse &parse, vellum_reader_fn reader, void *user, vellum_error *error) {
    unsigned char buffer[kReadChunk];
    for (;;) {
        vellum_read_result result = reader(user, buffer, sizeof buffer);
        if (result.error) return parse.read_failed(result.error, error);
        size_t bytes = result.bytes > sizeof buffer ? sizeof buffer : result.bytes;
        if (bytes) {
            vellum_status status = parse.feed(buffer, bytes);
            if (parse.failed()) return parse.done(status, error);
        }
        if (result.eof) return parse.finish(error);
    }
}

struct FileCloser {
    FILE *file;
    ~FileCloser() {
        if (file) std::fclose(file);
    }
};

}  // namespace

// ---- internal interface --------------------------------------------------------------------

void vellum__parser_init_state(vellum_parser_state *state, const vellum_map *map, void *record,
                               const vellum_parse_options *options, int syntax_only, void *workspace) {
    std::memset(state, 0, sizeof *state);
    state->options = options ? *options : vellum_default_parse_options();
    state->allocator = vd::resolve_allocator(state->options.allocator);
    auto address = reinterpret_cast<uintptr_t>(workspace);
    size_t adjust = (8 - (address & 7)) & 7;
    state->arena = static_cast<unsigned char *>(workspace) + adjust;
    state->arena_size = vd::kParserWorkspaceBytes - adjust;
    state->top = state->arena_size;
    state->token = reinterpret_cast<char *>(state->arena);
    state->map = map;
    state->record = record;
    state->syntax_only = syntax_only;
    state->error.line = 1;
}

vellum_status vellum__parser_feed_bytes(vellum_parser_state *state, const void *bytes, size_t length,
                                        size_t *consumed, int stop_after_root) {
    if (consumed) *consumed = 0;
    Machine machine{state};
    if (state->failed) return state->error.code;
    if (!bytes && length) return machine.fail(VELLUM_STATUS_INVALID_ARGUMENT, "invalid parser feed arguments");
    return machine.feed(static_cast<const unsigned char *>(bytes), length, consumed, stop_after_root != 0);
}

vellum_status vellum__parser_consume_char(vellum_parser_state *state, unsigned char byte) {
    Machine machine{state};
    if (state->failed) return state->error.code;
    machine.consume(byte);
    return machine.status();
}

vellum_status vellum_parser_finish(vellum_parser_state *state) {
    Machine machine{state};
    return machine.finish();
}

// ---- public entry points -------------------------------------------------------------------

extern "C" {

VELLUM_API vellum_status vellum_parse_buffer(const vellum_map *map, void *record, const void *data, size_t length,
                                             const vellum_parse_options *options, vellum_error *error) {
    if (vellum_status status = check_parse_arguments(map, record, options, error)) return status;
    if (!data && length) return argument_error(error, "buffer is required");
    vellum_error_init(error);
    Parse parse(map, record, options, false);
    vellum_status status = parse.feed(data, length);
    if (parse.failed()) return parse.done(status, error);
    return parse.finish(error);
}

VELLUM_API vellum_status vellum_parse_cstr(const vellum_map *map, void *record, const char *text,
                                           const vellum_parse_options *options, vellum_error *error) {
    if (vellum_status status = check_parse_arguments(map, record, options, error)) return status;
    if (!text) return argument_error(error, "json string is required");
    return vellum_parse_buffer(map, record, text, std::strlen(text), options, error);
}

VELLUM_API vellum_status vellum_parse_reader(const vellum_map *map, void *record, vellum_reader_fn reader, void *user,
                                             const vellum_parse_options *options, vellum_error *error) {
    if (!reader) return argument_error(error, "reader callback is required");
    if (vellum_status status = check_parse_arguments(map, record, options, error)) return status;
    vellum_error_init(error);
    Parse parse(map, record, options, false);
    return run_reader(parse, reader, user, error);
}

VELLUM_API vellum_status vellum_parse_filep(const vellum_map *map, void *record, FILE *file,
                                            const vellum_parse_options *options, vellum_error *error) {
    if (!file) return argument_error(error, "file pointer is required");
    return vellum_parse_reader(map, record, vellum_stdio_reader, file, options, error);
}

VELLUM_API vellum_status vellum_parse_path(const vellum_map *map, void *record, const char *path,
                                           const vellum_parse_options *options, vellum_error *error) {
    if (!path) return argument_error(error, "path is required");
    if (vellum_status status = check_parse_arguments(map, record, options, error)) return status;
    FileCloser file{std::fopen(path, "rb")};
    if (!file.file) {
        int sys_errno = errno;
        vellum_error_init(error);
        return vd::set_error_errno(error, VELLUM_STATUS_IO_ERROR, sys_errno, "failed to open '%s'", path);
    }
    return vellum_parse_reader(map, record, vellum_stdio_reader, file.file, options, error);
}

VELLUM_API vellum_status vellum_validate_buffer(const void *data, size_t length, vellum_error *error) {
    if (!data && length) return argument_error(error, "buffer is required");
    vellum_error_init(error);
    Parse parse(nullptr, nullptr, nullptr, true);
    vellum_status status = parse.feed(data, length);
    if (parse.failed()) return parse.done(status, error);
    return parse.finish(error);
}

VELLUM_API vellum_status vellum_validate_cstr(const char *text, vellum_error *error) {
    if (!text) return argument_error(error, "json string is required");
    return vellum_validate_buffer(text, std::strlen(text), error);
}

VELLUM_API vellum_status vellum_validate_reader(vellum_reader_fn reader, void *user, vellum_error *error) {
    if (!reader) return argument_error(error, "reader callback is required");
    vellum_error_init(error);
    Parse parse(nullptr, nullptr, nullptr, true);
    return run_reader(parse, reader, user, error);
}

VELLUM_API vellum_status vellum_validate_filep(FILE *file, vellum_error *error) {
    if (!file) return argument_error(error, "file pointer is required");
    return vellum_validate_reader(vellum_stdio_reader, file, error);
}

VELLUM_API vellum_status vellum_validate_path(const char *path, vellum_error *error) {
    if (!path) return argument_error(error, "path is required");
    FileCloser file{std::fopen(path, "rb")};
    if (!file.file) {
        int sys_errno = errno;
        vellum_error_init(error);
        vd::set_error_errno(error, VELLUM_STATUS_IO_ERROR, sys_errno, "failed to open '%s'", path);
        if (error) error->line = 1;
        return VELLUM_STATUS_IO_ERROR;
    }
    return vellum_validate_reader(vellum_stdio_reader, file.file, error);
}

}  // extern "C"
