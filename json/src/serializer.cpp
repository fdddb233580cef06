// The serializer: a mapped record as one JSON object (compact or pretty), or an array of
// records as JSON Lines, into a sink, a fixed buffer, a grown buffer, a FILE or a path.
// One writer template serves every destination; the buffer destinations are written in place.
#include "serializer.h"

#include "json_value.h"
#include "spool.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <memory>

namespace vellum::detail {

// ---- shared pieces -------------------------------------------------------------------------------

namespace {

bool source_empty(const vellum_source &source) { return source.kind == VELLUM_SOURCE_NONE; }
bool json_value_empty(const vellum_json_value &value) { return value.kind == VELLUM_JSON_VALUE_NONE; }

bool omitted_when_empty(const vellum_field &field, const void *record) {
    const void *member = member_at<void>(record, field.offset);
    switch (field.kind) {
    case VELLUM_KIND_STRING:
        return field.storage != VELLUM_STORAGE_FIXED && *static_cast<char *const *>(member) == nullptr;
    case VELLUM_KIND_SPOOLED_TEXT:
    case VELLUM_KIND_SPOOLED_BYTES: return static_cast<const vellum_spooled *>(member)->size == 0;
    case VELLUM_KIND_SOURCE_TEXT:
    case VELLUM_KIND_SOURCE_BYTES: return source_empty(*static_cast<const vellum_source *>(member));
    case VELLUM_KIND_JSON_VALUE: return json_value_empty(*static_cast<const vellum_json_value *>(member));
    case VELLUM_KIND_OBJECT: {
        const vellum_map *nested = field.map;
        if (!nested) return true;
        for (size_t i = 0; i < nested->field_count; i++) {
            if (!field_omitted(nested->fields[i], member)) return false;
        }
        return true;
    }
    case VELLUM_KIND_STRING_ARRAY:
    case VELLUM_KIND_I64_ARRAY:
    case VELLUM_KIND_U64_ARRAY:
    case VELLUM_KIND_F64_ARRAY:
    case VELLUM_KIND_BOOL_ARRAY: return static_cast<const vellum_array *>(member)->count == 0;
    case VELLUM_KIND_OBJECT_ARRAY: return static_cast<const vellum_object_array *>(member)->count == 0;
    default: return false;
    }
}

bool omitted_when_null(const vellum_field &field, const void *record) {
    const void *member = member_at<void>(record, field.offset);
    switch (field.kind) {
    case VELLUM_KIND_STRING:
        return field.storage != VELLUM_STORAGE_FIXED && *static_cast<char *const *>(member) == nullptr;
    case VELLUM_KIND_SOURCE_TEXT:
    case VELLUM_KIND_SOURCE_BYTES: return source_empty(*static_cast<const vellum_source *>(member));
    case VELLUM_KIND_JSON_VALUE: return json_value_empty(*static_cast<const vellum_json_value *>(member));
    default: return false;
    }
}

}  // namespace

bool field_omitted(const vellum_field &field, const void *record) {
    if (field.flags & VELLUM_FIELD_REQUIRED) return false;
    if ((field.flags & VELLUM_FIELD_HAS_PRESENCE) && *member_at<int32_t>(record, field.presence_offset) == 0)
        return true;
    if (field.flags & VELLUM_FIELD_OMIT_EMPTY) return omitted_when_empty(field, record);
    if (field.flags & VELLUM_FIELD_OMIT_NULL) return omitted_when_null(field, record);
    return false;
}

size_t escaped_length(const unsigned char *data, size_t length) {
    size_t total = 0;
    for (size_t i = 0; i < length; i++) {
        char code = kEscapeTable.code[data[i]];
        total += code == 0 ? 1 : code == 'u' ? 6 : 2;
    }
    return total;
}

namespace {

// The eight decimal digits of x (below 10^8, leading zeros included) as ASCII, the first digit
// in the lowest byte: both halves of four digits, then their pairs, then the single digits are
// split in parallel lanes of one word.
uint64_t eight_digits_ascii(uint32_t x) {
    uint64_t halves = (x / 10000) | (uint64_t{x % 10000} << 32);
    uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007Full;  // v / 100 per half
    uint64_t pairs = hundreds | ((halves - hundreds * 100) << 16);
    uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Full;         // w / 10 per pair
    uint64_t digits = tens | ((pairs - tens * 10) << 8);
    return digits + 0x3030303030303030ull;
}

// Digits of x (below 10^8), at least one.
size_t digit_count8(uint32_t x) {
    return 1 + (x >= 10) + (x >= 100) + (x >= 1000) + (x >= 10000) + (x >= 100000) + (x >= 1000000) +
           (x >= 10000000);
}

void store8(char *out, uint64_t ascii) { std::memcpy(out, &ascii, sizeof ascii); }

// x below 10^8 without leading zeros; writes 8 bytes at out (the digits first) and returns the
// digit count.
size_t put_short(uint32_t x, char *out) {
    size_t n = digit_count8(x);
    store8(out, eight_digits_ascii(x) >> (8 * (8 - n)));
    return n;
}

}  // namespace

// Eight digits at a time instead of two, writing whole words (the buffer holds 64 bytes).
size_t format_u64(uint64_t value, char *out) {
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    return static_cast<size_t>(std::to_chars(out, out + kNumberBufferBytes, value).ptr - out);
#endif
    constexpr uint64_t kE8 = 100000000;
    if (value < kE8) return put_short(static_cast<uint32_t>(value), out);
    size_t n;
    if (value < kE8 * kE8) {
        n = put_short(static_cast<uint32_t>(value / kE8), out);
    } else {
        n = put_short(static_cast<uint32_t>(value / (kE8 * kE8)), out);
        store8(out + n, eight_digits_ascii(static_cast<uint32_t>(value / kE8 % kE8)));
        n += 8;
    }
    store8(out + n, eight_digits_ascii(static_cast<uint32_t>(value % kE8)));
    return n + 8;
}

size_t format_i64(int64_t value, char *out) {
    if (value >= 0) return format_u64(static_cast<uint64_t>(value), out);
    *out = '-';
    return 1 + format_u64(0 - static_cast<uint64_t>(value), out + 1);
}

vellum_status format_f64(double value, char *out, size_t *length, bool array_element, vellum_error *error) {
    if (!std::isfinite(value))
        return set_error(error, VELLUM_STATUS_TYPE_MISMATCH, "%s",
                         array_element ? kNonFiniteElementMessage : kNonFiniteMessage);
    // to_chars with precision 17 in general form is "%.17g" in the C locale, whatever the
    // process locale says about the decimal point.
    auto result = std::to_chars(out, out + kNumberBufferBytes - 1, value, std::chars_format::general, 17);
    if (result.ec != std::errc())
        return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "%s", kFormatNumberMessage);
    *result.ptr = '\0';
    *length = static_cast<size_t>(result.ptr - out);
    return VELLUM_STATUS_OK;
}

size_t Base64Encoder::feed(const unsigned char *data, size_t length, char *out) {
    char *start = out;
    auto group = [&out](unsigned b0, unsigned b1, unsigned b2) {
        *out++ = kBase64Alphabet[b0 >> 2];
        *out++ = kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        *out++ = kBase64Alphabet[((b1 & 15) << 2) | (b2 >> 6)];
        *out++ = kBase64Alphabet[b2 & 63];
    };
    size_t i = 0;
    // Complete the group carried from the previous feed first.
    while (carried_ > 0 && carried_ < 3 && i < length) {
        if (carried_ == 2) {
            group(carry_[0], carry_[1], data[i++]);
            carried_ = 0;
        } else {
            carry_[carried_++] = data[i++];
        }
    }
    for (; i + 3 <= length; i += 3) group(data[i], data[i + 1], data[i + 2]);
    while (i < length) carry_[carried_++] = data[i++];
    return static_cast<size_t>(out - start);
}

size_t Base64Encoder::finish(char *out) {
    if (carried_ == 0) return 0;
    unsigned b0 = carry_[0], b1 = carried_ > 1 ? carry_[1] : 0;
    out[0] = kBase64Alphabet[b0 >> 2];
    out[1] = kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out[2] = carried_ > 1 ? kBase64Alphabet[(b1 & 15) << 2] : '=';
    out[3] = '=';
    carried_ = 0;
    return 4;
}

// ---- destinations ------------------------------------------------------------------------------

namespace {

constexpr size_t kDefaultMaxOutput = 8388608;
constexpr size_t kFirstOwnedCapacity = 2048;

bool continues(vellum_status status) { return status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED; }

// Every destination: write(data, length) takes one piece. The buffer destinations also
// offer room(n): where the next n bytes can be written in place when they fit as they are
// (no truncation, no growth), else NULL; commit(n) then counts them. Writing in place gives
// exactly what the same bytes given to write() in pieces give. The sink and the FILE see
// every piece as it is.

// The caller's sink. A sink that reports truncation makes the whole result truncated.
struct SinkOutput {
    vellum_sink_fn sink;
    void *user;
    vellum_error *error;
    bool truncated = false;

    char *room(size_t) { return nullptr; }
    void commit(size_t) {}

    vellum_status write(const char *data, size_t length) {
        vellum_status status = sink(user, data, length, error);
        if (status == VELLUM_STATUS_TRUNCATED) truncated = true;
        if (continues(status)) return VELLUM_STATUS_OK;
        // The status is returned unchanged; a sink that left the record blank gets it recorded.
        if (error && error->code == VELLUM_STATUS_OK) set_error(error, status, "output sink failed");
        return status;
    }
    vellum_status finish(vellum_status status) {
        if (status == VELLUM_STATUS_OK && truncated) {
            if (error) error->truncated = 1;
            return VELLUM_STATUS_TRUNCATED;
        }
        return status;
    }
};

// A caller's fixed buffer, written in place; one byte always stays for the NUL.
struct FixedOutput {
    char *out;
    size_t capacity;
    int policy;
    vellum_error *error;
    size_t written = 0;
    size_t requested = 0;
    bool truncated = false;

    char *room(size_t n) { return !truncated && n <= capacity - 1 - written ? out + written : nullptr; }
    void commit(size_t n) {
        written += n;
        requested += n;
    }

    vellum_status write(const char *data, size_t length) {
        size_t room = capacity - 1 - written;
        if (!truncated && length <= room) {
            std::memcpy(out + written, data, length);
            written += length;
            requested += length;
            return VELLUM_STATUS_OK;
        }
        if (policy != VELLUM_OVERFLOW_TRUNCATE && policy != VELLUM_OVERFLOW_TRUNCATE_SILENT)
            return set_error(error, VELLUM_STATUS_OVERFLOW, "output buffer too small");
        if (!truncated) {
            std::memcpy(out + written, data, room);
            written += room;
            truncated = true;
        }
        requested += length;
        return VELLUM_STATUS_OK;
    }
    vellum_status finish(vellum_status status) {
        out[written] = '\0';
        if (status != VELLUM_STATUS_OK || !truncated) return status;
        if (policy == VELLUM_OVERFLOW_TRUNCATE)
            return set_error(error, VELLUM_STATUS_TRUNCATED, "output buffer too small");
        if (error) error->truncated = 1;
        return VELLUM_STATUS_OK;
    }
};

// A buffer grown through an allocator up to a limit, handed over to the caller at the end.
struct GrowOutput {
    vellum_allocator allocator;
    size_t max_output;
    vellum_error *error;
    char *data = nullptr;
    size_t used = 0;
    size_t capacity = 0;

    char *room(size_t n) {
        return n < capacity - used && used + n <= max_output ? data + used : nullptr;
    }
    void commit(size_t n) { used += n; }

    vellum_status reserve(size_t length) {
        if (length > SIZE_MAX - used - 1) return set_error(error, VELLUM_STATUS_OVERFLOW, "output buffer too large");
        if (used + length > max_output)
            return set_error(error, VELLUM_STATUS_OVERFLOW, "serializer-owned output exceeds max_output_bytes");
        size_t needed = used + length + 1;
        if (needed <= capacity) return VELLUM_STATUS_OK;
        size_t grown = capacity == 0 ? kFirstOwnedCapacity : capacity;
        while (grown < needed) {
            if (grown > SIZE_MAX / 2) {
                grown = needed;
                break;
            }
            grown *= 2;
        }
        if (max_output < SIZE_MAX && grown > max_output + 1) grown = max_output + 1;
        void *block = raw_realloc(allocator, data, capacity, grown);
        if (!block) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to grow output buffer");
        data = static_cast<char *>(block);
        capacity = grown;
        return VELLUM_STATUS_OK;
    }
    vellum_status write(const char *bytes, size_t length) {
        vellum_status status = reserve(length);
        if (status != VELLUM_STATUS_OK) return status;
        std::memcpy(data + used, bytes, length);
        used += length;
        return VELLUM_STATUS_OK;
    }
    vellum_status finish(vellum_status status) {
        if (continues(status)) {
            // Even an empty result is a NUL-terminated buffer.
            vellum_status reserved = reserve(0);
            if (reserved != VELLUM_STATUS_OK) status = reserved;
        }
        if (!continues(status)) {
            discard();
            return status;
        }
        data[used] = '\0';
        return status;
    }
    void discard() {
        raw_free(allocator, data, capacity);
        data = nullptr;
        used = capacity = 0;
    }
};

// A stdio stream: every fragment is one fwrite.
struct FileOutput {
    FILE *file;
    vellum_error *error;

    char *room(size_t) { return nullptr; }
    void commit(size_t) {}

    vellum_status write(const char *data, size_t length) {
        if (std::fwrite(data, 1, length, file) != length)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno ? errno : EIO, "failed to write JSON output");
        return VELLUM_STATUS_OK;
    }
    vellum_status finish(vellum_status status) { return status; }
};

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

#define VELLUM_TRY(expr)                                    \
    do {                                                    \
        vellum_status try_status_ = (expr);                 \
        if (try_status_ != VELLUM_STATUS_OK) return try_status_; \
    } while (0)

// ---- the writer --------------------------------------------------------------------------------

template <class Out>
class Writer {
public:
    Writer(Out &out, bool pretty, vellum_error *error) : out_(out), pretty_(pretty), error_(error) {}

    vellum_status object(const vellum_map *map, const void *record, size_t depth) {
        VELLUM_TRY(put('{'));
        bool any = false;
        if (map) {
            uint64_t plain = pretty_ ? 0 : plain_keys(map);
            for (size_t i = 0; i < map->field_count; i++) {
                const vellum_field &field = map->fields[i];
                if (!field_is_written(field, record)) continue;
                if (!pretty_ && compact_key(field, any, i < 64 ? (plain >> i) & 1 : plain_key(field))) {
                    any = true;
                    VELLUM_TRY(value(field, record, depth + 1));
                    continue;
                }
                if (any) VELLUM_TRY(put(','));
                any = true;
                if (pretty_) VELLUM_TRY(indent(depth + 1));
                VELLUM_TRY(put('"'));
                VELLUM_TRY(escaped(reinterpret_cast<const unsigned char *>(field.name), field.name_len));
                if (pretty_) {
                    VELLUM_TRY(put("\": ", 3));
                } else {
                    VELLUM_TRY(put("\":", 2));
                }
                VELLUM_TRY(value(field, record, depth + 1));
            }
        }
        if (any && pretty_) VELLUM_TRY(indent(depth));
        return put('}');
    }

    vellum_status put(const char *data, size_t length) {
        if (char *at = out_.room(length)) {
            std::memcpy(at, data, length);
            out_.commit(length);
            return VELLUM_STATUS_OK;
        }
        return length ? out_.write(data, length) : VELLUM_STATUS_OK;
    }

private:
    vellum_status put(char c) {
        if (char *at = out_.room(1)) {
            *at = c;
            out_.commit(1);
            return VELLUM_STATUS_OK;
        }
        return out_.write(&c, 1);
    }

    static bool plain_key(const vellum_field &field) {
        return escape_run(reinterpret_cast<const unsigned char *>(field.name), field.name_len) == field.name_len;
    }

    // Bit i: the key of field i (i < 64) needs no escaping. Remembered for the last few maps of
    // this serialization, as records of one type repeat.
    uint64_t plain_keys(const vellum_map *map) {
        auto bits = reinterpret_cast<uintptr_t>(map);
        KeyCache &slot = key_cache_[(bits >> 4 ^ bits >> 7) & 7];
        if (slot.map != map) {
            slot.map = map;
            slot.plain = 0;
            for (size_t i = 0; i < map->field_count && i < 64; i++)
                if (plain_key(map->fields[i])) slot.plain |= uint64_t{1} << i;
        }
        return slot.plain;
    }

    // `,"key":` (the comma after the first field) written in place, when the key needs no
    // escaping (plain) and everything fits; false: nothing was written.
    bool compact_key(const vellum_field &field, bool comma, bool plain) {
        size_t n = field.name_len;
        char *at = out_.room(n + 4);
        if (!at || !plain) return false;
        char *o = at;
        if (comma) *o++ = ',';
        *o++ = '"';
        std::memcpy(o, field.name, n);
        o += n;
        *o++ = '"';
        *o++ = ':';
        out_.commit(static_cast<size_t>(o - at));
        return true;
    }

    vellum_status indent(size_t depth) {
        return write_indent(depth, [this](const char *data, size_t length) { return put(data, length); }, error_);
    }

    vellum_status escaped(const unsigned char *data, size_t length) {
        return write_escaped(data, length, [this](const char *piece, size_t n) { return put(piece, n); });
    }

    vellum_status string(const char *text, size_t length) {
        auto *data = reinterpret_cast<const unsigned char *>(text);
        if (escape_run(data, length) == length) {
            if (char *at = out_.room(length + 2)) {
                at[0] = '"';
                std::memcpy(at + 1, text, length);
                at[length + 1] = '"';
                out_.commit(length + 2);
                return VELLUM_STATUS_OK;
            }
        }
        VELLUM_TRY(put('"'));
        VELLUM_TRY(escaped(reinterpret_cast<const unsigned char *>(text), length));
        return put('"');
    }

    // Decimal integers go in place when their longest form fits.
    vellum_status i64(int64_t number) {
        if (char *at = out_.room(kNumberBufferBytes)) {
            out_.commit(format_i64(number, at));
            return VELLUM_STATUS_OK;
        }
        char buffer[kNumberBufferBytes];
        return put(buffer, format_i64(number, buffer));
    }
    vellum_status u64(uint64_t number) {
        if (char *at = out_.room(kNumberBufferBytes)) {
            out_.commit(format_u64(number, at));
            return VELLUM_STATUS_OK;
        }
        char buffer[kNumberBufferBytes];
        return put(buffer, format_u64(number, buffer));
    }
    vellum_status f64(double number, bool element) {
        char buffer[kNumberBufferBytes];
        size_t length = 0;
        VELLUM_TRY(format_f64(number, buffer, &length, element, error_));
        return put(buffer, length);
    }
    vellum_status boolean(bool truth) { return truth ? put("true", 4) : put("false", 5); }

    // Opens an array: "[" and, for a non-empty one in pretty mode, nothing more until the
    // first element; elements call before_element, the end calls close_array.
    vellum_status before_element(size_t index, size_t depth) {
        if (index) VELLUM_TRY(put(','));
        if (pretty_) VELLUM_TRY(indent(depth + 1));
        return VELLUM_STATUS_OK;
    }
    vellum_status close_array(size_t count, size_t depth) {
        if (count && pretty_) VELLUM_TRY(indent(depth));
        return put(']');
    }

    template <class T, class Each>
    vellum_status array(const vellum_array &array, size_t depth, Each &&each) {
        VELLUM_TRY(put('['));
        const T *items = static_cast<const T *>(array.items);
        size_t count = items ? array.count : 0;
        for (size_t i = 0; i < count; i++) {
            VELLUM_TRY(before_element(i, depth));
            VELLUM_TRY(each(items[i]));
        }
        return close_array(count, depth);
    }

    vellum_status object_array(const vellum_field &field, const vellum_object_array &array, size_t depth) {
        VELLUM_TRY(put('['));
        const auto *items = static_cast<const unsigned char *>(array.items);
        size_t count = items ? array.count : 0;
        for (size_t i = 0; i < count; i++) {
            VELLUM_TRY(before_element(i, depth));
            VELLUM_TRY(object(field.map, items + i * field.elem_size, depth + 1));
        }
        return close_array(count, depth);
    }

    // Spooled text is escaped piece by piece; spooled bytes become base64.
    vellum_status spooled(const vellum_spooled &value, bool bytes) {
        unsigned char chunk[kSpoolChunkBytes];
        char encoded[Base64Encoder::max_output(kSpoolChunkBytes)];
        Base64Encoder encoder;
        SpooledCursor cursor(value);
        VELLUM_TRY(put('"'));
        for (;;) {
            vellum_read_result result = cursor.read(chunk, sizeof chunk);
            if (result.error)
                return set_error_errno(error_, VELLUM_STATUS_IO_ERROR, result.error,
                                       bytes ? "failed to read spooled bytes" : "failed to read spooled text");
            if (bytes) {
                VELLUM_TRY(put(encoded, encoder.feed(chunk, result.bytes, encoded)));
            } else {
                VELLUM_TRY(escaped(chunk, result.bytes));
            }
            if (result.eof || result.bytes == 0) break;
        }
        if (bytes) VELLUM_TRY(put(encoded, encoder.finish(encoded)));
        return put('"');
    }

    vellum_status source(const vellum_source &value, bool bytes) {
        if (value.kind == VELLUM_SOURCE_NONE) return put("null", 4);
        SourceCursor cursor;
        VELLUM_TRY(cursor.open(value, error_));
        unsigned char chunk[kSpoolChunkBytes];
        char encoded[Base64Encoder::max_output(kSpoolChunkBytes)];
        Base64Encoder encoder;
        VELLUM_TRY(put('"'));
        for (;;) {
            vellum_read_result result = cursor.read(chunk, sizeof chunk);
            if (result.error)
                return set_error_errno(error_, VELLUM_STATUS_IO_ERROR, result.error,
                                       bytes ? "failed to read source data" : "failed to read source text");
            if (bytes) {
                VELLUM_TRY(put(encoded, encoder.feed(chunk, result.bytes, encoded)));
            } else {
                VELLUM_TRY(escaped(chunk, result.bytes));
            }
            if (result.eof) break;
        }
        if (bytes) VELLUM_TRY(put(encoded, encoder.finish(encoded)));
        return put('"');
    }

    static vellum_status forward(void *user, const void *data, size_t length, vellum_error *) {
        return static_cast<Writer *>(user)->put(static_cast<const char *>(data), length);
    }

    // Raw JSON value fields: null while empty, else the value's own writer.
    vellum_status json_value(const vellum_json_value &value, size_t depth) {
        if (value.kind == VELLUM_JSON_VALUE_NONE) return put("null", 4);
        return json_value_write(value, &Writer::forward, this, pretty_, depth, error_);
    }

    vellum_status value(const vellum_field &field, const void *record, size_t depth) {
        const void *member = member_at<void>(record, field.offset);
        switch (field.kind) {
        case VELLUM_KIND_STRING: {
            if (field.storage == VELLUM_STORAGE_FIXED) {
                const char *text = static_cast<const char *>(member);
                return string(text, strnlen(text, field.capacity));
            }
            const char *text = *static_cast<char *const *>(member);
            if (!text) return put("null", 4);
            return string(text, std::strlen(text));
        }
        case VELLUM_KIND_SPOOLED_TEXT: return spooled(*static_cast<const vellum_spooled *>(member), false);
        case VELLUM_KIND_SPOOLED_BYTES: return spooled(*static_cast<const vellum_spooled *>(member), true);
        case VELLUM_KIND_SOURCE_TEXT: return source(*static_cast<const vellum_source *>(member), false);
        case VELLUM_KIND_SOURCE_BYTES: return source(*static_cast<const vellum_source *>(member), true);
        case VELLUM_KIND_JSON_VALUE: return json_value(*static_cast<const vellum_json_value *>(member), depth);
        case VELLUM_KIND_I64: return i64(*static_cast<const int64_t *>(member));
        case VELLUM_KIND_U64: return u64(*static_cast<const uint64_t *>(member));
        case VELLUM_KIND_F64: return f64(*static_cast<const double *>(member), false);
        case VELLUM_KIND_BOOL: return boolean(*static_cast<const int32_t *>(member) != 0);
        case VELLUM_KIND_OBJECT: return object(field.map, member, depth);
        case VELLUM_KIND_STRING_ARRAY:
            return array<char *>(*static_cast<const vellum_array *>(member), depth, [this](const char *text) {
                return text ? string(text, std::strlen(text)) : put("\"\"", 2);
            });
        case VELLUM_KIND_I64_ARRAY:
            return array<int64_t>(*static_cast<const vellum_array *>(member), depth,
                                  [this](int64_t number) { return i64(number); });
        case VELLUM_KIND_U64_ARRAY:
            return array<uint64_t>(*static_cast<const vellum_array *>(member), depth,
                                   [this](uint64_t number) { return u64(number); });
        case VELLUM_KIND_F64_ARRAY:
            return array<double>(*static_cast<const vellum_array *>(member), depth,
                                 [this](double number) { return f64(number, true); });
        case VELLUM_KIND_BOOL_ARRAY:
            return array<int32_t>(*static_cast<const vellum_array *>(member), depth,
                                  [this](int32_t truth) { return boolean(truth != 0); });
        case VELLUM_KIND_OBJECT_ARRAY:
            return object_array(field, *static_cast<const vellum_object_array *>(member), depth);
        case VELLUM_KIND_STRING_ARRAY_STREAM:
            return set_error(error_, VELLUM_STATUS_TYPE_MISMATCH, "field '%s' is parse-only and cannot be serialized",
                             field_label(&field));
        }
        return set_error(error_, VELLUM_STATUS_INTERNAL_ERROR, "unsupported field kind");
    }

    struct KeyCache {
        const vellum_map *map;
        uint64_t plain;
    };

    Out &out_;
    bool pretty_;
    vellum_error *error_;
    KeyCache key_cache_[8] = {};
};

// ---- running one serialization -------------------------------------------------------------------

vellum_write_options effective(const vellum_write_options *options) {
    vellum_write_options effective = options ? *options : vellum_default_write_options();
    if (effective.max_output_bytes == 0) effective.max_output_bytes = kDefaultMaxOutput;
    return effective;
}

// A single record or a JSON Lines array.
struct Job {
    const vellum_map *map;
    const void *record;  // single record
    const void *items;   // JSON Lines
    size_t count;
    size_t stride;
    bool lines;
};

template <class Out>
vellum_status run(Out &out, const Job &job, bool pretty, vellum_error *error) {
    Writer<Out> writer(out, pretty, error);
    vellum_status status = VELLUM_STATUS_OK;
    if (!job.lines) {
        status = writer.object(job.map, job.record, 0);
    } else {
        const auto *base = static_cast<const unsigned char *>(job.items);
        for (size_t i = 0; i < job.count && status == VELLUM_STATUS_OK; i++) {
            status = writer.object(job.map, base + i * job.stride, 0);
            if (status == VELLUM_STATUS_OK) status = writer.put("\n", 1);
        }
    }
    return out.finish(status);
}

// Argument checks shared by the single-record entry points; on success the error is cleared.
bool check_single(const vellum_map *map, const void *record, vellum_error *error, vellum_status *status) {
    if (!map || !record) {
        *status = set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "map, source, and sink are required");
        return false;
    }
    return true;
}

bool check_lines(const vellum_map *map, const void *items, size_t count, size_t stride, vellum_error *error,
                 vellum_status *status) {
    if (!map) {
        *status = set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "map and sink are required");
        return false;
    }
    if (!items && count > 0) {
        *status = set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "items are required when count is non-zero");
        return false;
    }
    if (stride != 0 && stride < map->struct_size) {
        *status = set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "stride must be at least map->struct_size");
        return false;
    }
    return true;
}

// Clears the error and checks what every entry point checks after its arguments.
vellum_status begin(const vellum_map *map, const vellum_write_options &options, vellum_error *error) {
    vellum_error_init(error);
    if (allocator_is_partial(options.allocator))
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", kPartialAllocatorMessage);
    if (!map_layout_valid(map)) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", kInvalidLayoutMessage);
    return VELLUM_STATUS_OK;
}

Job single_job(const vellum_map *map, const void *record) { return Job{map, record, nullptr, 0, 0, false}; }
Job lines_job(const vellum_map *map, const void *items, size_t count, size_t stride) {
    return Job{map, nullptr, items, count, stride ? stride : map->struct_size, true};
}

vellum_status to_sink(const Job &job, vellum_sink_fn sink, void *user, const vellum_write_options *options,
                      vellum_error *error) {
    vellum_write_options opts = effective(options);
    VELLUM_TRY(begin(job.map, opts, error));
    SinkOutput out{sink, user, error};
    return run(out, job, opts.pretty != 0, error);
}

vellum_status to_buffer(const Job &job, char *buffer, size_t capacity, size_t *out_length,
                        const vellum_write_options *options, vellum_error *error) {
    vellum_write_options opts = effective(options);
    VELLUM_TRY(begin(job.map, opts, error));
    FixedOutput out{buffer, capacity, opts.overflow, error};
    vellum_status status = run(out, job, opts.pretty != 0, error);
    if (out_length) *out_length = out.requested;
    return status;
}

vellum_status to_owned(const Job &job, vellum_owned_buffer *buffer, const vellum_write_options *options,
                       vellum_error *error) {
    vellum_write_options opts = effective(options);
    VELLUM_TRY(begin(job.map, opts, error));
    GrowOutput out{resolve_allocator(opts.allocator), opts.max_output_bytes, error};
    vellum_status status = run(out, job, opts.pretty != 0, error);
    if (!continues(status)) return status;
    buffer->data = out.data;
    buffer->length = out.used;
    buffer->capacity = out.capacity;
    buffer->allocator = out.allocator;
    return status;
}

char *to_alloc(const Job &job, size_t *out_length, const vellum_write_options *options, vellum_error *error,
               const char *custom_message) {
    if (out_length) *out_length = 0;
    if (options && !allocator_is_default(options->allocator)) {
        set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", custom_message);
        return nullptr;
    }
    vellum_owned_buffer buffer = vellum_default_owned_buffer();
    vellum_status status = to_owned(job, &buffer, options, error);
    if (!continues(status)) return nullptr;
    if (out_length) *out_length = buffer.length;
    return buffer.data;
}

vellum_status to_file(const Job &job, FILE *file, const vellum_write_options *options, vellum_error *error) {
    vellum_write_options opts = effective(options);
    VELLUM_TRY(begin(job.map, opts, error));
    FileOutput out{file, error};
    return run(out, job, opts.pretty != 0, error);
}

vellum_status to_path(const Job &job, const char *path, const vellum_write_options *options, vellum_error *error) {
    vellum_write_options opts = effective(options);
    VELLUM_TRY(begin(job.map, opts, error));
    FilePtr file(std::fopen(path, "wb"));
    if (!file)
        return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno ? errno : EIO, "failed to open '%s' for writing",
                               path);
    FileOutput out{file.get(), error};
    return run(out, job, opts.pretty != 0, error);
}

}  // namespace

vellum_status serialize_object_to_sink(const vellum_map &map, const void *record, vellum_sink_fn sink, void *user,
                                       bool pretty, size_t depth, vellum_error *error) {
    SinkOutput out{sink, user, error};
    Writer<SinkOutput> writer(out, pretty, error);
    return out.finish(writer.object(&map, record, depth));
}

}  // namespace vellum::detail

using namespace vellum::detail;

extern "C" {

VELLUM_API vellum_status vellum_serialize_sink(const vellum_map *map, const void *record, vellum_sink_fn sink,
                                               void *user, const vellum_write_options *options, vellum_error *error) {
    if (!map || !record || !sink)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "map, source, and sink are required");
    return to_sink(single_job(map, record), sink, user, options, error);
}

VELLUM_API vellum_status vellum_serialize_buffer(const vellum_map *map, const void *record, char *out,
                                                 size_t capacity, size_t *out_length,
                                                 const vellum_write_options *options, vellum_error *error) {
    if (out_length) *out_length = 0;
    if (!out || capacity == 0)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "output buffer and capacity are required");
    out[0] = '\0';
    vellum_status status;
    if (!check_single(map, record, error, &status)) return status;
    return to_buffer(single_job(map, record), out, capacity, out_length, options, error);
}

VELLUM_API vellum_status vellum_serialize_owned(const vellum_map *map, const void *record,
                                                vellum_owned_buffer *buffer, const vellum_write_options *options,
                                                vellum_error *error) {
    if (!buffer) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "output buffer handle is required");
    *buffer = vellum_default_owned_buffer();
    vellum_status status;
    if (!check_single(map, record, error, &status)) return status;
    return to_owned(single_job(map, record), buffer, options, error);
}

VELLUM_API char *vellum_serialize_alloc(const vellum_map *map, const void *record, size_t *out_length,
                                        const vellum_write_options *options, vellum_error *error) {
    vellum_status status;
    if (!check_single(map, record, error, &status)) {
        if (out_length) *out_length = 0;
        return nullptr;
    }
    return to_alloc(single_job(map, record), out_length, options, error,
                    "serialize_alloc uses the default allocator only; use serialize_owned for custom allocators");
}

VELLUM_API vellum_status vellum_serialize_filep(const vellum_map *map, const void *record, FILE *file,
                                                const vellum_write_options *options, vellum_error *error) {
    if (!file) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "file pointer is required");
    vellum_status status;
    if (!check_single(map, record, error, &status)) return status;
    return to_file(single_job(map, record), file, options, error);
}

VELLUM_API vellum_status vellum_serialize_path(const vellum_map *map, const void *record, const char *path,
                                               const vellum_write_options *options, vellum_error *error) {
    if (!path) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "path is required");
    vellum_status status;
    if (!check_single(map, record, error, &status)) return status;
    return to_path(single_job(map, record), path, options, error);
}

VELLUM_API vellum_status vellum_serialize_jsonl_sink(const vellum_map *map, const void *items, size_t count,
                                                     size_t stride, vellum_sink_fn sink, void *user,
                                                     const vellum_write_options *options, vellum_error *error) {
    if (!map || !sink) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "map and sink are required");
    vellum_status status;
    if (!check_lines(map, items, count, stride, error, &status)) return status;
    return to_sink(lines_job(map, items, count, stride), sink, user, options, error);
}

VELLUM_API vellum_status vellum_serialize_jsonl_buffer(const vellum_map *map, const void *items, size_t count,
                                                       size_t stride, char *out, size_t capacity, size_t *out_length,
                                                       const vellum_write_options *options, vellum_error *error) {
    if (out_length) *out_length = 0;
    if (!out || capacity == 0)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "output buffer and capacity are required");
    out[0] = '\0';
    vellum_status status;
    if (!check_lines(map, items, count, stride, error, &status)) return status;
    return to_buffer(lines_job(map, items, count, stride), out, capacity, out_length, options, error);
}

VELLUM_API vellum_status vellum_serialize_jsonl_owned(const vellum_map *map, const void *items, size_t count,
                                                      size_t stride, vellum_owned_buffer *buffer,
                                                      const vellum_write_options *options, vellum_error *error) {
    if (!buffer) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "output buffer handle is required");
    *buffer = vellum_default_owned_buffer();
    vellum_status status;
    if (!check_lines(map, items, count, stride, error, &status)) return status;
    return to_owned(lines_job(map, items, count, stride), buffer, options, error);
}

VELLUM_API char *vellum_serialize_jsonl_alloc(const vellum_map *map, const void *items, size_t count, size_t stride,
                                              size_t *out_length, const vellum_write_options *options,
                                              vellum_error *error) {
    vellum_status status;
    if (!check_lines(map, items, count, stride, error, &status)) {
        if (out_length) *out_length = 0;
        return nullptr;
    }
    return to_alloc(lines_job(map, items, count, stride), out_length, options, error,
                    "serialize_jsonl_alloc uses the default allocator only; use serialize_jsonl_owned for custom "
                    "allocators");
}

VELLUM_API vellum_status vellum_serialize_jsonl_filep(const vellum_map *map, const void *items, size_t count,
                                                      size_t stride, FILE *file, const vellum_write_options *options,
                                                      vellum_error *error) {
    if (!file) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "file pointer is required");
    vellum_status status;
    if (!check_lines(map, items, count, stride, error, &status)) return status;
    return to_file(lines_job(map, items, count, stride), file, options, error);
}

VELLUM_API vellum_status vellum_serialize_jsonl_path(const vellum_map *map, const void *items, size_t count,
                                                     size_t stride, const char *path,
                                                     const vellum_write_options *options, vellum_error *error) {
    if (!path) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "path is required");
    vellum_status status;
    if (!check_lines(map, items, count, stride, error, &status)) return status;
    return to_path(lines_job(map, items, count, stride), path, options, error);
}

}  // extern "C"

#undef VELLUM_TRY
