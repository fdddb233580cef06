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

using vd::eight_digits;

// The value of eight ASCII digits (first digit most significant).
uint32_t eight_digit_value(const void *p) {
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    x = (x & 0x0F0F0F0F0F0F0F0Full) * 2561 >> 8;
    x = (x & 0x00FF00FF00FF00FFull) * 6553601 >> 16;
    return static_cast<uint32_t>((x & 0x0000FFFF0000FFFFull) * 42949672960001ull >> 32);
}

// Digits only, no leading zero. Up to 18 digits cannot pass any limit; longer runs test
// overflow before each digit.
bool parse_digits(const char *p, size_t n, uint64_t limit, uint64_t *out) {
    if (n == 0) return false;
    if (p[0] == '0' && n > 1) return false;
    uint64_t value = 0;
    if (n <= 18) {
        size_t i = 0;
        for (; n - i >= 8; i += 8) {
            if (!eight_digits(p + i)) return false;
            value = value * 100000000 + eight_digit_value(p + i);
        }
        for (; i < n; i++) {
            auto digit = static_cast<unsigned char>(p[i] - '0');
            if (digit > 9) return false;
            value = value * 10 + digit;
        }
        *out = value;
        return true;
    }
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

// Exact conversion of a valid JSON number with at most 19 significant digits whose value is
// an integer below 2^53 times a power of ten up to 1e22: one correctly rounded multiplication
// or division of exact operands, the correctly rounded result. False: not such a number.
bool exact_f64(const char *p, size_t n, double *out) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    size_t i = p[0] == '-';
    uint64_t mantissa = 0;
    int digits = 0;     // significant digits taken into the mantissa
    long exponent = 0;  // of the mantissa's last digit
    for (; i < n && p[i] >= '0' && p[i] <= '9'; i++) {
        if (digits || p[i] != '0') digits++;
        mantissa = mantissa * 10 + static_cast<uint64_t>(p[i] - '0');
    }
    if (i < n && p[i] == '.') {
        for (i++; i < n && p[i] >= '0' && p[i] <= '9'; i++) {
            if (digits || p[i] != '0') digits++;
            mantissa = mantissa * 10 + static_cast<uint64_t>(p[i] - '0');
            exponent--;
        }
    }
    if (digits > 19) return false;
    if (i < n) {  // the exponent part
        i++;
        bool negative = p[i] == '-';
        if (p[i] == '+' || p[i] == '-') i++;
        if (n - i > 4) return false;
        long value = 0;
        for (; i < n; i++) value = value * 10 + (p[i] - '0');
        exponent += negative ? -value : value;
    }
    if (mantissa > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) return false;
    auto value = static_cast<double>(mantissa);
    value = exponent < 0 ? value / kPowers[-exponent] : value * kPowers[exponent];
    *out = p[0] == '-' ? -value : value;
    return true;
}

// Correctly rounded conversion of a JSON number; false when it overflows a double.
bool parse_f64(const char *p, size_t n, double *out) {
    if (!vd::json_number_valid(p, n)) return false;
    if (exact_f64(p, n, out)) return true;
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

    // -- per-map cache and seen sets --
    static uint32_t key_length_bit(size_t len) { return uint32_t{1} << (len < 31 ? len : 31); }

    // What a map's frames need, counted once per parse (maps are static tables; neighbours
    // in memory, 32 bytes apart, land in different slots).
    const vd::MapCacheSlot &map_slot(const vellum_map *map) {
        auto bits = reinterpret_cast<uintptr_t>(map);
        auto slot = (bits >> 4 ^ bits >> 7) & 7;
        vd::MapCacheSlot &entry = st->map_cache[slot];
        if (entry.map == map) return entry;
        entry = vd::MapCacheSlot{map, 0, 0};
        for (size_t i = 0; i < map->field_count; i++) {
            const vellum_field &field = map->fields[i];
            if (field.flags & VELLUM_FIELD_REQUIRED) entry.required_count++;
            if (field.name_len) entry.key_lengths |= key_length_bit(field.name_len);
        }
        return entry;
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
        if (container == kObject && map) {
            const vd::MapCacheSlot &slot = map_slot(map);
            frame->required_left = slot.required_count;
            frame->key_lengths = slot.key_lengths;
        }
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

    // may_hold_nul false: text is known to hold no NUL (an unescaped string body).
    vellum_status append_string_element(const vellum_field &field, void *record, const char *text, size_t len,
                                        bool may_hold_nul = true) {
        if (may_hold_nul && std::memchr(text, '\0', len))
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

    // a[0..n) == b[0..n), words at a time for the short keys of maps (no library call).
    static bool bytes_equal(const char *a, const char *b, size_t n) {
        auto word = [](const char *at) {
            uint64_t x;
            std::memcpy(&x, at, sizeof x);
            return x;
        };
        while (n > 8) {
            if (word(a) != word(b)) return false;
            a += 8;
            b += 8;
            n -= 8;
        }
        if (n >= 4) {
            uint32_t x, y, u, v;
            std::memcpy(&x, a, 4);
            std::memcpy(&y, b, 4);
            std::memcpy(&u, a + n - 4, 4);
            std::memcpy(&v, b + n - 4, 4);
            return x == y && u == v;
        }
        for (size_t i = 0; i < n; i++)
            if (a[i] != b[i]) return false;
        return true;
    }

    static bool field_matches(const vellum_field &field, const char *key, size_t len) {
        if (field.name_len != len || len == 0) return false;
        if (field.name_first != key[0] || field.name_last != key[len - 1]) return false;
        return len <= 2 || bytes_equal(field.name + 1, key + 1, len - 2);
    }

    const vellum_field *lookup(ParserFrame &frame, const char *key, size_t len) {
        // No field has a key of this length: nothing can match.
        if (!(frame.key_lengths & key_length_bit(len))) return nullptr;
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

    vellum_status assign_token_string() { return assign_string(st->token, st->token_len); }

    // A complete string value for a DYNAMIC string field or a string array element. st->token_len
    // holds len, as the large-map bookkeeping expects of a token being assigned.
    vellum_status assign_string(const char *text, size_t len, bool may_hold_nul = true) {
        Target t = target();
        if (t.element) {
            if (append_string_element(*t.field, t.record, text, len, may_hold_nul)) return st->error.code;
            return scalar_done();
        }
        const vellum_field &field = *t.field;  // token strings always have a DYNAMIC string target
        if (mark_seen(*t.frame, &field)) return st->error.code;
        if (may_hold_nul && std::memchr(text, '\0', len))
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
    // The first byte of a number meets its target (a number field or number array element).
    vellum_status number_target_check(const vellum_field *field, bool element) {
        if (!field) return VELLUM_STATUS_OK;
        vellum_kind kind = field->kind;
        if (element) {
            if (kind != VELLUM_KIND_I64_ARRAY && kind != VELLUM_KIND_U64_ARRAY && kind != VELLUM_KIND_F64_ARRAY)
                return array_mismatch(field);
        } else if (kind != VELLUM_KIND_I64 && kind != VELLUM_KIND_U64 && kind != VELLUM_KIND_F64) {
            return fail(VELLUM_STATUS_TYPE_MISMATCH, "numeric value does not match field '%s'", vd::field_label(field));
        }
        return VELLUM_STATUS_OK;
    }

    vellum_status begin_number(unsigned char c) {
        Target t = target();
        if (number_target_check(t.field, t.element)) return st->error.code;
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
        return number_value(st->token, st->token_len);
    }

    // A complete number outside raw JSON values; st->token_len holds len.
    vellum_status number_value(const char *text, size_t len) {
        Target t = target();
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
        size_t i = static_cast<size_t>(vd::find_string_special(p, p + n) - p);
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

    // -- the fast lane --
    // Whole tokens that lie inside the bytes at hand, taken with the same frame changes, the
    // same calls into the value targets and the same positions as the byte machine, but
    // without its per-byte bookkeeping. It stops before the first token it cannot take whole
    // (one running past the bytes, a target it leaves to the machine, anything irregular),
    // and the byte machine goes on from exactly there, reporting what is wrong. Tokens that
    // the machine collects in the token buffer are taken only while they fit with bytes to
    // spare, so at the workspace's edge its own limits and messages apply. Positions are kept
    // as pointers and written to the error record only before a call that may fail and when
    // the lane stops.

    enum class LaneStep { Next, Stop, Failed };

    // Positions derived from pointers into the bytes of one run.
    struct LanePos {
        const unsigned char *origin;
        size_t offset;                   // st->error.offset at origin
        size_t line;
        const unsigned char *line_start; // column counts from here
        size_t column;                   // column at line_start
    };

    // The position once every byte before q is consumed.
    void lane_sync(const LanePos &lp, const unsigned char *q) {
        st->error.offset = lp.offset + static_cast<size_t>(q - lp.origin);
        st->error.line = lp.line;
        st->error.column = lp.column + static_cast<size_t>(q - lp.line_start);
    }
    // The position once the byte at q is consumed too (a number's terminator may be a line feed).
    void lane_sync_through(const LanePos &lp, const unsigned char *q) {
        if (*q != '\n') return lane_sync(lp, q + 1);
        st->error.offset = lp.offset + static_cast<size_t>(q + 1 - lp.origin);
        st->error.line = lp.line + 1;
        st->error.column = 0;
    }

    // Whitespace between tokens, sixteen bytes at a time where the CPU allows; line feeds move
    // the line and the column origin.
    static const unsigned char *lane_whitespace(const unsigned char *p, const unsigned char *end, LanePos &lp) {
        // The shapes of pretty output first: one space after a colon, a line feed and an
        // indentation before a member or element.
        if (*p == ' ') {
            if (end - p > 1 && p[1] > ' ') return p + 1;
        }
#if defined(__SSE2__)
        else if (*p == '\n') {
            const unsigned char *line = p + 1;
            for (const unsigned char *q = line; end - q > 16; q += 16) {
                auto spaces = static_cast<unsigned>(_mm_movemask_epi8(
                    _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(q)), _mm_set1_epi8(' '))));
                auto run = static_cast<unsigned>(__builtin_ctz(~spaces));
                if (run == 16) continue;
                if (q[run] <= ' ') break;  // more whitespace of another kind: the general loop
                lp.line++;
                lp.line_start = line;
                lp.column = 0;
                return q + run;
            }
        }
#endif
#if defined(__SSE2__)
        while (end - p >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            __m128i lf = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
            __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), lf),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                                   _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
            unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFFu;
            auto run = static_cast<unsigned>(__builtin_ctz(other | 0x10000u));
            unsigned lines = static_cast<unsigned>(_mm_movemask_epi8(lf)) & ((1u << run) - 1u);
            if (lines) {
                // Mostly one line feed; the general count is a library call without POPCNT.
                lp.line += (lines & (lines - 1)) ? static_cast<size_t>(__builtin_popcount(lines)) : 1;
                lp.line_start = p + (31 - __builtin_clz(lines)) + 1;
                lp.column = 0;
            }
            p += run;
            if (other) return p;
        }
#endif
        for (; p < end; p++) {
            unsigned char c = *p;
            if (c == '\n') {
                lp.line++;
                lp.line_start = p + 1;
                lp.column = 0;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                break;
            }
        }
        return p;
    }

    // The end of the number token starting at p when it is valid and terminated before end.
    __attribute__((always_inline)) static const unsigned char *lane_number(const unsigned char *p,
                                                                           const unsigned char *end) {
        return vd::valid_number_end(p, end);
    }

    static bool hex4(const unsigned char *p, uint32_t *out) {
        uint32_t value = 0;
        for (int k = 0; k < 4; k++) {
            int v = vd::hex_digit(p[k]);
            if (v < 0) return false;
            value = (value << 4) | static_cast<uint32_t>(v);
        }
        *out = value;
        return true;
    }

    // Length of the valid escape sequence at s (its backslash first); 0 when it is invalid or
    // does not end before `end`. A high surrogate counts only together with its low one.
    static size_t lane_escape_length(const unsigned char *s, const unsigned char *end) {
        if (end - s < 2) return 0;
        if (s[1] != 'u') return vd::simple_escape(s[1]) >= 0 ? 2 : 0;
        uint32_t cp, low;
        if (end - s < 6 || !hex4(s + 2, &cp)) return 0;
        if (cp < 0xD800 || cp > 0xDFFF) return 6;
        if (cp > 0xDBFF || end - s < 12 || s[6] != '\\' || s[7] != 'u') return 0;
        if (!hex4(s + 8, &low) || low < 0xDC00 || low > 0xDFFF) return 0;
        return 12;
    }

    // The closing quote of a plain string body starting at s (no escape, no control byte);
    // NULL when the body holds anything else or does not end before `end`. The quote alone
    // decides where the scan goes on; the other bytes are only checked beside it.
    __attribute__((always_inline)) static const unsigned char *plain_string_close(const unsigned char *s,
                                                                                  const unsigned char *end) {
#if defined(__SSE2__)
        while (end - s >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
            auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('"'))));
            auto others = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')), _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v))));
            if (quotes) {
                if (others & ((quotes & (0u - quotes)) - 1)) return nullptr;
                return s + __builtin_ctz(quotes);
            }
            if (others) return nullptr;
            s += 16;
        }
#endif
        for (; s < end; s++) {
            if (*s == '"') return s;
            if (*s == '\\' || *s < 0x20) return nullptr;
        }
        return nullptr;
    }

    // The byte after the closing quote of the string body starting at s; NULL when the string
    // does not end before `end` or holds a control byte or an invalid escape. *escaped tells
    // whether it holds any escape.
    __attribute__((always_inline)) static const unsigned char *lane_string_end(const unsigned char *s,
                                                                               const unsigned char *end,
                                                                               bool *escaped) {
        *escaped = false;
        if (const unsigned char *close = plain_string_close(s, end)) return close + 1;
        for (;;) {
            s = vd::find_string_special(s, end);
            if (s == end) return nullptr;
            if (*s == '"') return s + 1;
            if (*s != '\\') return nullptr;
            size_t length = lane_escape_length(s, end);
            if (!length) return nullptr;
            *escaped = true;
            s += length;
        }
    }

    // Decodes the valid string body [s, close) into out; returns the decoded length.
    static size_t lane_decode(const unsigned char *s, const unsigned char *close, char *out) {
        char *o = out;
        for (;;) {
            const unsigned char *run = vd::find_string_special(s, close);
            std::memcpy(o, s, static_cast<size_t>(run - s));
            o += run - s;
            if (run == close) break;
            if (run[1] != 'u') {
                *o++ = static_cast<char>(vd::simple_escape(run[1]));
                s = run + 2;
                continue;
            }
            uint32_t cp = 0, low = 0;
            hex4(run + 2, &cp);
            s = run + 6;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                hex4(run + 8, &low);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                s = run + 12;
            }
            o += vd::put_utf8(cp, reinterpret_cast<unsigned char *>(o));
        }
        return static_cast<size_t>(o - out);
    }

    // The machine's token starts where token_begin puts it; the lane fills it only when it
    // must decode, but its length is what the byte machine would have collected.
    char *lane_token() {
        st->token = reinterpret_cast<char *>(st->arena + frames_end());
        return st->token;
    }

    // A value begins in frame f: the frame moves past it, as between() does.
    static void lane_value_begun(ParserFrame *f) {
        if (f->container == kObject) {
            f->state = kObjCommaOrEnd;
        } else {
            f->after_comma = 0;
            f->state = kArrCommaOrEnd;
        }
    }

    // A key of frame f at p; room is the token capacity. A mapped key is looked up where it
    // stands unless it must be decoded into the token buffer first.
    LaneStep lane_key(ParserFrame *f, const unsigned char *&p, const unsigned char *end, size_t room) {
        const unsigned char *s = p + 1;
        bool escaped;
        const unsigned char *after = lane_string_end(s, end, &escaped);
        if (!after) return LaneStep::Stop;
        if (!f->map) {
            f->after_comma = 0;
            f->field = nullptr;
            f->state = kObjColon;
            p = after;
            return LaneStep::Next;
        }
        auto raw = static_cast<size_t>(after - 1 - s);
        if (raw + 3 > room) return LaneStep::Stop;
        f->after_comma = 0;
        const char *key = reinterpret_cast<const char *>(s);
        size_t len = raw;
        if (escaped) {
            char *token = lane_token();
            len = lane_decode(s, after - 1, token);
            key = token;
        }
        f->field = lookup(*f, key, len);
        f->state = kObjColon;
        st->token_len = 0;
        p = after;
        return LaneStep::Next;
    }

    // A value starting at *p for a mapped target (field, element as target() gives them); on
    // failure p is past the byte that failed.
    LaneStep lane_mapped_value(ParserFrame *&f, const vellum_field *field, bool element, const unsigned char *&p,
                               const unsigned char *end, LanePos &lp) {
        if (!element && field->kind == VELLUM_KIND_JSON_VALUE) return LaneStep::Stop;
        unsigned char c = *p;
        switch (c) {
        case '"': {
            bool escaped;
            const unsigned char *after = lane_string_end(p + 1, end, &escaped);
            if (!after) return LaneStep::Stop;
            bool token_string = element ? field->kind == VELLUM_KIND_STRING_ARRAY
                                        : field->kind == VELLUM_KIND_STRING && field->storage != VELLUM_STORAGE_FIXED;
            auto raw = static_cast<size_t>(after - 1 - (p + 1));
            if (!token_string || raw + 3 > token_capacity()) return LaneStep::Stop;
            lane_value_begun(f);
            char *token = lane_token();
            const char *text = reinterpret_cast<const char *>(p + 1);
            size_t len = raw;
            if (escaped) {
                len = lane_decode(p + 1, after - 1, token);
                text = token;
            }
            st->token_len = len;
            lane_sync(lp, after);
            p = after;
            assign_string(text, len, escaped);
            return st->failed ? LaneStep::Failed : LaneStep::Next;
        }
        case '{':
        case '[':
            lane_value_begun(f);
            lane_sync(lp, ++p);
            if (c == '{') {
                open_object();
            } else {
                open_array();
            }
            if (st->failed) return LaneStep::Failed;
            f = top_frame();
            return LaneStep::Next;
        case 't':
        case 'f':
        case 'n': {
            const char *text = c == 't' ? kLiteralTrue : c == 'f' ? kLiteralFalse : kLiteralNull;
            size_t len = c == 'f' ? 5 : 4;
            if (static_cast<size_t>(end - p) < len || std::memcmp(p, text, len) != 0 || token_capacity() < 8)
                return LaneStep::Stop;
            lane_value_begun(f);
            lane_token();
            st->token_len = len;
            p += len;
            lane_sync(lp, p);
            if (c == 'n') {
                assign_null();
            } else {
                assign_bool(c == 't');
            }
            return st->failed ? LaneStep::Failed : LaneStep::Next;
        }
        default: {
            if (c != '-' && static_cast<unsigned char>(c - '0') >= 10) return LaneStep::Stop;
            const unsigned char *e = lane_number(p, end);
            if (!e) return LaneStep::Stop;
            auto len = static_cast<size_t>(e - p);
            if (len + 3 > token_capacity()) return LaneStep::Stop;
            lane_value_begun(f);
            lane_sync(lp, p + 1);
            if (number_target_check(field, element)) {
                p++;
                return LaneStep::Failed;
            }
            lane_token();
            st->token_len = len;
            lane_sync_through(lp, e);
            number_value(reinterpret_cast<const char *>(p), len);
            if (st->failed) {
                p = e + 1;
                return LaneStep::Failed;
            }
            p = e;
            return LaneStep::Next;
        }
        }
    }

    // True when the literal `text` (4 or 5 bytes) starts at p, before end.
    static bool literal_at(const unsigned char *p, const unsigned char *end, const char *text, size_t len) {
        if (static_cast<size_t>(end - p) < len) return false;
        uint32_t have, want;
        std::memcpy(&have, p, 4);
        std::memcpy(&want, text, 4);
        return have == want && (len == 4 || p[4] == static_cast<unsigned char>(text[4]));
    }

    // Runs the lane over [start, end) from a state between tokens inside the root value (no
    // raw JSON value open). Returns the bytes it used; positions are those of the byte machine
    // after as many bytes. Each frame state is a label; the frame's state member is kept
    // current at every token, so the lane can stop anywhere. Values without a target (unknown
    // members, syntax-only parses) are taken right here: their token bytes are not collected,
    // as nothing reads them back, and their frames are pushed and popped in place once the
    // byte machine's limits are known to hold.
    size_t lane(const unsigned char *const start, const unsigned char *const end) {
        const unsigned char *p = start;
        LanePos lp{start, st->error.offset, st->error.line, start, st->error.column};
        ParserFrame *f = top_frame();
        const bool mapped_parse = !st->syntax_only;
        size_t room = token_capacity();  // kept current across every frame change and call
        unsigned char c;

        enum Next { kScalar, kObjectOpened, kArrayOpened, kStop, kFailed };

        // A value at p (first byte c) in frame f, which is an array frame when in_array.
        auto value = [&](bool in_array) __attribute__((always_inline)) -> Next {
            auto begun = [&] {
                if (in_array) {
                    f->after_comma = 0;
                    f->state = kArrCommaOrEnd;
                } else {
                    f->state = kObjCommaOrEnd;
                }
            };
            if (mapped_parse) {
                const vellum_field *field = in_array || f->map ? f->field : nullptr;
                if (field) {
                    LaneStep step = lane_mapped_value(f, field, in_array, p, end, lp);
                    f = top_frame();
                    room = token_capacity();
                    if (step == LaneStep::Failed) return kFailed;
                    if (step == LaneStep::Stop) return kStop;
                    if (f->state == kObjKeyOrEnd) return kObjectOpened;
                    if (f->state == kArrValueOrEnd) return kArrayOpened;
                    return kScalar;
                }
            }
            switch (c) {
            case '"': {
                bool escaped;
                const unsigned char *after = lane_string_end(p + 1, end, &escaped);
                if (!after) return kStop;
                begun();
                p = after;
                return kScalar;
            }
            case '{':
            case '[':
                begun();
                p++;
                if ((st->options.max_depth && st->depth >= st->options.max_depth) ||
                    frames_end() + kFrameSize > st->top) {
                    lane_sync(lp, p);
                    push_frame(c == '{' ? kObject : kArray, nullptr, nullptr, nullptr);  // records the failure
                    return kFailed;
                }
                f = reinterpret_cast<ParserFrame *>(st->arena) + st->depth++;
                std::memset(f, 0, sizeof *f);
                room = token_capacity();
                if (c == '{') {
                    f->container = kObject;
                    f->state = kObjKeyOrEnd;
                    return kObjectOpened;
                }
                f->container = kArray;
                f->state = kArrValueOrEnd;
                return kArrayOpened;
            case 't':
            case 'n':
                if (room < 8 || !literal_at(p, end, c == 't' ? kLiteralTrue : kLiteralNull, 4)) return kStop;
                begun();
                p += 4;
                return kScalar;
            case 'f':
                if (room < 8 || !literal_at(p, end, kLiteralFalse, 5)) return kStop;
                begun();
                p += 5;
                return kScalar;
            case '-':
            case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9': {
                const unsigned char *e = lane_number(p, end);
                if (!e || static_cast<size_t>(e - p) + 3 > room) return kStop;
                begun();
                p = e;
                return kScalar;
            }
            default: return kStop;
            }
        };

#define VELLUM_LANE_NEXT_BYTE()                                 \
    do {                                                        \
        if (p == end) goto stop;                                \
        if (*p <= ' ') {                                        \
            p = lane_whitespace(p, end, lp);                    \
            if (p == end) goto stop;                            \
        }                                                       \
        c = *p;                                                 \
    } while (0)
#define VELLUM_LANE_VALUE(in_array, after_scalar)               \
    switch (value(in_array)) {                                  \
    case kScalar: goto after_scalar;                            \
    case kObjectOpened: goto object_key;                        \
    case kArrayOpened: goto array_first;                        \
    case kStop: goto stop;                                      \
    case kFailed: return static_cast<size_t>(p - start);        \
    }

    dispatch:
        switch (f->state) {
        case kObjKeyOrEnd: goto object_key;
        case kObjColon: goto object_colon;
        case kObjValue: goto object_value;
        case kObjCommaOrEnd: goto object_next;
        case kArrValueOrEnd: goto array_first;
        case kArrCommaOrEnd: goto array_next;
        default: goto stop;
        }

    object_key:
        VELLUM_LANE_NEXT_BYTE();
        if (c == '"') {
            if (lane_key(f, p, end, room) != LaneStep::Next) goto stop;
            goto object_colon;
        }
        if (c == '}' && !f->after_comma) goto close_object;
        goto stop;

    object_colon:
        VELLUM_LANE_NEXT_BYTE();
        if (c != ':') goto stop;
        f->state = kObjValue;
        p++;
    object_value:
        VELLUM_LANE_NEXT_BYTE();
        VELLUM_LANE_VALUE(false, object_next)

    object_next:
        VELLUM_LANE_NEXT_BYTE();
        if (c == ',') {
            f->state = kObjKeyOrEnd;
            f->after_comma = 1;
            p++;
            goto object_key;
        }
        if (c == '}') goto close_object;
        goto stop;

    array_first:
        VELLUM_LANE_NEXT_BYTE();
        if (c == ']') {
            if (f->after_comma) goto stop;
            goto close_array;
        }
        VELLUM_LANE_VALUE(true, array_next)

    array_next:
        VELLUM_LANE_NEXT_BYTE();
        if (c == ',') {
            f->state = kArrValueOrEnd;
            f->after_comma = 1;
            p++;
            goto array_first;
        }
        if (c == ']') goto close_array;
        goto stop;

    close_object:
        p++;
        if (f->map) {
            // Required fields may be missing: the position must be the byte machine's.
            lane_sync(lp, p);
            if (close_object(*f)) return static_cast<size_t>(p - start);
            if (st->depth == 0) return static_cast<size_t>(p - start);
            f = top_frame();
            room = token_capacity();
            goto dispatch;
        }
        goto pop;
    close_array:
        p++;
    pop:
        if (f->seen_size) st->top += f->seen_size;
        if (--st->depth == 0) {
            st->root_done = 1;
            goto stop;
        }
        f--;
        room = token_capacity();
        goto dispatch;

#undef VELLUM_LANE_VALUE
#undef VELLUM_LANE_NEXT_BYTE
    stop:
        lane_sync(lp, p);
        return static_cast<size_t>(p - start);
    }

    vellum_status feed(const unsigned char *p, size_t n, size_t *consumed, bool stop_after_root) {
        size_t i = 0;
        // The lane pays off over more than one byte; a single byte (and the token after a lane
        // stop) goes to the byte machine, so one-byte feeds run the machine alone.
        bool lane_tried = false;
        while (i < n && !st->failed) {
            if (stop_after_root && st->root_done) break;
            if (st->lex_state == kLexNone && st->depth > 0 && !st->value_active && !lane_tried && n - i > 1) {
                i += lane(p + i, p + n);
                lane_tried = true;
                continue;
            }
            lane_tried = false;
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
