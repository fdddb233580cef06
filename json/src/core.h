// Internal helpers shared by every area of libvellum: error records, allocators and the
// headered blocks that records own, map layout checks, integrity tags, member access.
#ifndef VELLUM_CORE_H
#define VELLUM_CORE_H

#include "vellum.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vellum::detail {

// ---- error records -------------------------------------------------------------------------

// Sets code and message (printf rules, cut at 159 bytes). Never clears `truncated`; recording
// VELLUM_STATUS_TRUNCATED sets it. Position members are left as they are. NULL error: no-op.
// Returns code, so failure paths read `return set_error(...)`.
vellum_status set_error(vellum_error *error, vellum_status code, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
vellum_status set_error_v(vellum_error *error, vellum_status code, const char *format, va_list args);
// As set_error, and stores sys_errno in system_errno.
vellum_status set_error_errno(vellum_error *error, vellum_status code, int sys_errno, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// A failure of an entry point's first argument checks: clears error, then records message
// with VELLUM_STATUS_INVALID_ARGUMENT.
vellum_status argument_error(vellum_error *error, const char *message);
// Copies code, position, errno and message from `from` into `to`; `to->truncated` becomes
// set when either had it. NULL `to` is ignored.
void copy_error(vellum_error *to, const vellum_error &from);
// The JSON name of a field for messages, or "<unknown>".
const char *field_label(const vellum_field *field);

// ---- allocators ----------------------------------------------------------------------------

constexpr const char kPartialAllocatorMessage[] = "allocator must provide either all callbacks or none";

// True when some but not all of the three callbacks are set.
bool allocator_is_partial(const vellum_allocator *allocator);
// The allocator to use: the caller's when all three callbacks are set, else the default
// functions (keeping the caller's stats pointer, so counting works with the defaults too).
vellum_allocator resolve_allocator(const vellum_allocator *allocator);
// Same functions and ctx as vellum_default_allocator().
bool allocator_is_default(const vellum_allocator *allocator);

// Plain blocks (handles, buffers that remember their allocator themselves). Each updates the
// allocator's stats. raw_realloc is given the old size so the stats stay exact.
void *raw_alloc(const vellum_allocator &allocator, size_t size);
void *raw_realloc(const vellum_allocator &allocator, void *ptr, size_t old_size, size_t new_size);
void raw_free(const vellum_allocator &allocator, void *ptr, size_t size);

// Headered blocks: data owned by a record. A header in front of the block remembers the
// allocator and the requested size, so the block can be grown and freed without one.
void *block_alloc(const vellum_allocator &allocator, size_t size);
void *block_realloc(void *ptr, size_t new_size);  // ptr may not be NULL
void block_free(void *ptr);                        // NULL is ignored
size_t block_size(const void *ptr);
// A headered, NUL-terminated copy of `length` bytes.
char *block_strndup(const vellum_allocator &allocator, const char *text, size_t length);

// ---- layout --------------------------------------------------------------------------------

constexpr const char kInvalidLayoutMessage[] = "invalid map layout";

// The layout rules: kinds, member sizes, offsets, presence words, flag combinations, nested maps.
bool map_layout_valid(const vellum_map *map);
// Size that the layout rules charge for a field's member; 0 when the field cannot have one.
// Inline: record walks ask it for every field.
inline size_t member_size(const vellum_field &field) {
    switch (field.kind) {
    case VELLUM_KIND_STRING:
        if (field.storage == VELLUM_STORAGE_FIXED) return field.capacity;
        return sizeof(char *);
    case VELLUM_KIND_SPOOLED_TEXT:
    case VELLUM_KIND_SPOOLED_BYTES: return sizeof(vellum_spooled);
    case VELLUM_KIND_SOURCE_TEXT:
    case VELLUM_KIND_SOURCE_BYTES: return sizeof(vellum_source);
    case VELLUM_KIND_JSON_VALUE: return sizeof(vellum_json_value);
    case VELLUM_KIND_I64:
    case VELLUM_KIND_U64:
    case VELLUM_KIND_F64: return 8;
    case VELLUM_KIND_BOOL: return 4;
    case VELLUM_KIND_OBJECT: return field.map ? field.map->struct_size : 0;
    case VELLUM_KIND_STRING_ARRAY:
    case VELLUM_KIND_I64_ARRAY:
    case VELLUM_KIND_U64_ARRAY:
    case VELLUM_KIND_F64_ARRAY:
    case VELLUM_KIND_BOOL_ARRAY: return sizeof(vellum_array);
    case VELLUM_KIND_OBJECT_ARRAY: return sizeof(vellum_object_array);
    case VELLUM_KIND_STRING_ARRAY_STREAM: return sizeof(vellum_string_array_stream);
    }
    return 0;
}
// True when a record of this map may own allocated memory (see vellum_reset).
bool map_may_allocate(const vellum_map *map);

// ---- integrity tags ------------------------------------------------------------------------

// Tag of a record at `address`: address >> 9 ^ address >> 4 ^ constant, cut to 32 bits.
inline uint32_t address_tag(const void *address, uint32_t constant) {
    auto bits = reinterpret_cast<uintptr_t>(address);
    return static_cast<uint32_t>((bits >> 9) ^ (bits >> 4) ^ constant);
}
constexpr uint32_t kSpooledTagConstant = 0x5b00c1edu;
constexpr uint32_t kJsonValueTagConstant = 0x1a50f00du;
constexpr uint32_t kStringArrayStreamTagConstant = 0x57a11eadu;

// ---- text helpers ----------------------------------------------------------------------

// Value of a hexadecimal digit, -1 for any other byte.
inline int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte that a one-character JSON escape (after the backslash) stands for, or -1 when c is
// not one of " \ / b f n r t (the \u escape is handled by the caller).
inline int simple_escape(unsigned char c) {
    switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case '/': return '/';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return -1;
    }
}

// The JSON number grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
bool json_number_valid(const char *text, size_t length);

// Writes code point cp (at most 0x10FFFF) as UTF-8 into out; returns 1 to 4.
inline size_t put_utf8(uint32_t cp, unsigned char out[4]) {
    if (cp < 0x80) {
        out[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

// ---- byte scans (parser and writers) -----------------------------------------------------

// Bit 7 of each byte of the result is set where the byte of x is '"', '\\' or below 0x20;
// the lowest such bit marks the first such byte exactly (bits above it may be spurious).
inline uint64_t string_special_bits(uint64_t x) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    uint64_t quote = x ^ (kOnes * '"');
    uint64_t backslash = x ^ (kOnes * '\\');
    return ((quote - kOnes) & ~quote & kHigh) | ((backslash - kOnes) & ~backslash & kHigh) |
           ((x - kOnes * 0x20) & ~x & kHigh);
}

// First byte in [p, end) that a JSON string cannot hold as it is: '"', '\\' or a control byte
// below 0x20; end when there is none. Sixteen bytes at a time where the CPU allows, eight at
// a time otherwise; a short tail is read as the last eight or sixteen bytes of the range,
// overlapping bytes already known to be plain.
inline const unsigned char *find_string_special(const unsigned char *p, const unsigned char *end) {
    const unsigned char *begin = p;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1F);
    auto hits = [&](const unsigned char *at) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                   _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v));
        return static_cast<unsigned>(_mm_movemask_epi8(hit));
    };
    while (end - p >= 16) {
        unsigned mask = hits(p);
        if (mask) return p + __builtin_ctz(mask);
        p += 16;
    }
    if (p == end) return end;
    if (end - begin >= 16) {
        const unsigned char *window = end - 16;
        unsigned mask = hits(window);
        return mask ? window + __builtin_ctz(mask) : end;
    }
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    auto word_hits = [](const unsigned char *at) {
        uint64_t x;
        std::memcpy(&x, at, sizeof x);
        return string_special_bits(x);
    };
    while (end - p >= 8) {
        uint64_t bits = word_hits(p);
        if (bits) return p + __builtin_ctzll(bits) / 8;
        p += 8;
    }
    if (p == end) return end;
    if (end - begin >= 8) {
        const unsigned char *window = end - 8;
        uint64_t bits = word_hits(window);
        return bits ? window + __builtin_ctzll(bits) / 8 : end;
    }
#else
    (void)begin;
#endif
    while (p < end && *p >= 0x20 && *p != '"' && *p != '\\') p++;
    return p;
}

// First byte in [p, end) that is not a space; end when there is none.
inline const unsigned char *skip_spaces(const unsigned char *p, const unsigned char *end) {
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' ');
    while (end - p >= 16) {
        int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), space));
        if (mask != 0xFFFF) return p + __builtin_ctz(~static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && *p == ' ') p++;
    return p;
}

// True when the eight bytes at p are ASCII digits.
inline bool eight_digits(const void *p) {
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return ((x & 0xF0F0F0F0F0F0F0F0ull) | (((x + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) >> 4)) ==
           0x3333333333333333ull;
}

// Bytes that may continue a number token: digits, sign, point, exponent.
struct NumberByteTable {
    bool set[256] = {};
    constexpr NumberByteTable() {
        for (const char *c = "0123456789+-.eE"; *c; c++) set[static_cast<unsigned char>(*c)] = true;
    }
};
inline constexpr NumberByteTable kNumberBytes;

// The first byte at or after p that is no ASCII digit, or end.
inline const unsigned char *skip_digits(const unsigned char *p, const unsigned char *end) {
#if defined(__SSE2__)
    while (end - p >= 16) {
        __m128i v = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), _mm_set1_epi8('0'));
        __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(9)), v);
        unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(digit)) & 0xFFFFu;
        if (other) return p + __builtin_ctz(other);
        p += 16;
    }
#endif
    while (end - p >= 8 && eight_digits(p)) p += 8;
    while (p < end && static_cast<unsigned char>(*p - '0') < 10) p++;
    return p;
}

#if defined(__SSE2__)
// Bit i: p[i] is an ASCII digit, for the 16 bytes at p.
inline unsigned digit_bits(const unsigned char *p) {
    __m128i v = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), _mm_set1_epi8('0'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(9)), v)));
}
#endif

// The end of the number token starting at p (a '-' or a digit) when it is a valid JSON
// number followed, before `end`, by a byte that cannot continue it; NULL otherwise (the
// byte machine then collects the token and judges it).
__attribute__((always_inline)) inline const unsigned char *valid_number_end(const unsigned char *p,
                                                                        const unsigned char *end) {
#if defined(__SSE2__)
    if (end - p > 32) {
        // Bit i: p[i] is no digit; every bit from 32 up is set, so a digit run that reaches
        // the end of the window is seen as such and left to the checked scan.
        uint64_t other = ~(uint64_t{digit_bits(p)} | uint64_t{digit_bits(p + 16)} << 16);
        unsigned i = *p == '-';
        auto k = static_cast<unsigned>(__builtin_ctzll(other >> i));
        if (k == 0 || (p[i] == '0' && k > 1)) return nullptr;
        i += k;
        if (i >= 32) goto checked;
        if (p[i] == '.') {
            k = static_cast<unsigned>(__builtin_ctzll(other >> ++i));
            if (i + k >= 32) goto checked;
            if (k == 0) return nullptr;
            i += k;
        }
        if ((p[i] | 0x20) == 'e') {
            i++;
            if (i < 32 && (p[i] == '+' || p[i] == '-')) i++;
            k = static_cast<unsigned>(__builtin_ctzll(other >> i));
            if (i + k >= 32) goto checked;
            if (k == 0) return nullptr;
            i += k;
        }
        return kNumberBytes.set[p[i]] ? nullptr : p + i;
    }
checked:
#endif
    const unsigned char *q = p + (*p == '-');
    if (q < end && *q == '0') {
        q++;
    } else if (q < end && static_cast<unsigned char>(*q - '1') < 9) {
        q = skip_digits(q + 1, end);
    } else {
        return nullptr;
    }
    if (q < end && *q == '.') {
        const unsigned char *digits = ++q;
        q = skip_digits(q, end);
        if (q == digits) return nullptr;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        q++;
        if (q < end && (*q == '+' || *q == '-')) q++;
        const unsigned char *digits = q;
        q = skip_digits(q, end);
        if (q == digits) return nullptr;
    }
    if (q == end || kNumberBytes.set[*q]) return nullptr;
    return q;
}

// ---- member access -------------------------------------------------------------------------

template <class T>
inline T *member_at(void *record, size_t offset) {
    return reinterpret_cast<T *>(static_cast<unsigned char *>(record) + offset);
}
template <class T>
inline const T *member_at(const void *record, size_t offset) {
    return reinterpret_cast<const T *>(static_cast<const unsigned char *>(record) + offset);
}
inline void set_presence(void *record, const vellum_field &field, int32_t value) {
    if (field.flags & VELLUM_FIELD_HAS_PRESENCE) *member_at<int32_t>(record, field.presence_offset) = value;
}

// ---- record life cycle (record.cpp) --------------------------------------------------------

// vellum_init with a given allocator for spooled and raw JSON value members. With
// keep_parse_config (clearing a destination for a parse), raw JSON value members keep their
// parse mode, sink or visitor and limits; only their content is dropped.
void record_init(const vellum_map *map, void *record, const vellum_allocator &allocator,
                 bool keep_parse_config = false);
// Releases what a filled record owns and initialises it again, keeping the parse
// configuration of raw JSON values and string array stream handlers (a nested object that a
// parse fills a second time).
void record_clear_for_parse(const vellum_map *map, void *record, const vellum_allocator &allocator);
// Cleanup of one member, as vellum_cleanup does it for each field (presence word untouched).
void cleanup_member(const vellum_field &field, void *record);
// Element sizes of the scalar array kinds (11 to 15); 0 for other kinds.
size_t array_element_size(vellum_kind kind);

}  // namespace vellum::detail

#endif  // VELLUM_CORE_H
