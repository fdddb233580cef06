// Base-10 integer helpers with exact overflow rules. They never consult the locale, never
// skip whitespace (except the range forms) and never store anything on failure.
#include "korvoc.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace korvo::api {
namespace {

constexpr uint64_t i64_max_magnitude = 9223372036854775807ULL;
constexpr uint64_t i64_min_magnitude = 9223372036854775808ULL;
constexpr uint64_t u64_max = 18446744073709551615ULL;
constexpr size_t range_text_max = 63;

// Accumulates the digits of text up to its NUL into a magnitude no larger than limit.
bool parse_magnitude(const char *text, uint64_t limit, uint64_t *magnitude) {
    if (*text == '\0') return false;
    uint64_t value = 0;
    for (; *text != '\0'; text++) {
        if (*text < '0' || *text > '9') return false;
        auto digit = static_cast<uint64_t>(*text - '0');
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *magnitude = value;
    return true;
}

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Copies data trimmed of blanks at both ends into text (NUL-terminated); false when nothing
// or more than range_text_max bytes remain.
bool trimmed_copy(const char *data, size_t length, char (&text)[range_text_max + 1]) {
    if (!data || length == 0) return false;
    size_t begin = 0;
    while (begin < length && is_blank(data[begin])) begin++;
    if (begin == length) return false;
    size_t end = length;
    while (end > begin && is_blank(data[end - 1])) end--;
    size_t size = end - begin;
    if (size > range_text_max) return false;
    std::memcpy(text, data + begin, size);
    text[size] = '\0';
    return true;
}

template <typename Target, typename Source> int narrow(Source value, Target *out) {
    if (!out || !std::in_range<Target>(value)) return 0;
    *out = static_cast<Target>(value);
    return 1;
}

} // namespace
} // namespace korvo::api

using namespace korvo::api;

extern "C" {

KC_API int kc_i64_parse_base10(const char *text, int64_t *out) {
    if (!text || !out || *text == '\0') return 0;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') text++;
    uint64_t magnitude = 0;
    if (!parse_magnitude(text, negative ? i64_min_magnitude : i64_max_magnitude, &magnitude)) return 0;
    if (!negative) {
        *out = static_cast<int64_t>(magnitude);
    } else if (magnitude == i64_min_magnitude) {
        *out = INT64_MIN;
    } else {
        *out = -static_cast<int64_t>(magnitude);
    }
    return 1;
}

KC_API int kc_u64_parse_base10(const char *text, uint64_t *out) {
    if (!text || !out || *text == '\0' || *text == '-') return 0;
    if (*text == '+') text++;
    uint64_t magnitude = 0;
    if (!parse_magnitude(text, u64_max, &magnitude)) return 0;
    *out = magnitude;
    return 1;
}

KC_API int kc_i64_format_base10(int64_t value, char *buffer, size_t capacity) {
    if (!buffer || capacity == 0) return -1;
    // The magnitude in unsigned arithmetic, so the most negative value needs no special case.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char scratch[21];
    size_t length = 0;
    do {
        scratch[length++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) scratch[length++] = '-';
    if (length + 1 > capacity) return -1;
    for (size_t i = 0; i < length; i++) buffer[i] = scratch[length - 1 - i];
    buffer[length] = '\0';
    return static_cast<int>(length);
}

KC_API int kc_i64_to_long_checked(int64_t value, long *out) { return narrow(value, out); }

KC_API int kc_i64_to_int_checked(int64_t value, int *out) { return narrow(value, out); }

KC_API int kc_u64_to_ulong_checked(uint64_t value, unsigned long *out) { return narrow(value, out); }

KC_API int kc_u64_to_size_checked(uint64_t value, size_t *out) { return narrow(value, out); }

KC_API int kc_parse_long_base10_checked(const char *text, long *out) {
    int64_t value = 0;
    return out && kc_i64_parse_base10(text, &value) ? kc_i64_to_long_checked(value, out) : 0;
}

KC_API int kc_parse_int_base10_checked(const char *text, int *out) {
    int64_t value = 0;
    return out && kc_i64_parse_base10(text, &value) ? kc_i64_to_int_checked(value, out) : 0;
}

KC_API int kc_parse_ulong_base10_checked(const char *text, unsigned long *out) {
    uint64_t value = 0;
    return out && kc_u64_parse_base10(text, &value) ? kc_u64_to_ulong_checked(value, out) : 0;
}

KC_API int kc_parse_size_base10_checked(const char *text, size_t *out) {
    uint64_t value = 0;
    return out && kc_u64_parse_base10(text, &value) ? kc_u64_to_size_checked(value, out) : 0;
}

KC_API int kc_parse_long_base10_range_checked(const char *data, size_t length, long *out) {
    char text[range_text_max + 1];
    return trimmed_copy(data, length, text) ? kc_parse_long_base10_checked(text, out) : 0;
}

KC_API int kc_parse_ulong_base10_range_checked(const char *data, size_t length, unsigned long *out) {
    char text[range_text_max + 1];
    return trimmed_copy(data, length, text) ? kc_parse_ulong_base10_checked(text, out) : 0;
}

} // extern "C"
