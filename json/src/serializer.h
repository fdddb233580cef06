// Pieces of the JSON writer shared by the serializer, the generator and the raw JSON value
// writer, so that all of them produce the same bytes: the omission test, string escaping,
// number formatting, base64 and pretty indentation.
//
// Layout rules every writer follows (compact unless noted):
//  - object: "{", fields in map order that pass field_is_written, "," between them, each as
//    "\"key\":" then the value, then "}". Pretty: before each field a line feed and
//    2 x (depth + 1) spaces, ": " after the key, and (when any field was written) a line feed
//    and 2 x depth spaces before "}"; an object with no written field is "{}".
//  - arrays: "[" elements "," ... "]"; pretty puts each element on its own line indented
//    2 x (depth + 1) and "]" on a new line indented 2 x depth; an empty array is "[]".
//  - a field's value is written one level deeper than its object; the root object is depth 0.
//  - string array: a NULL element is written as "". Object array without an element map: each
//    element is written as "{}" (nothing is read through the missing map).
//  - raw JSON value field: json_value_write(value, sink, user, pretty, depth, error) with depth
//    the value's own depth (as an object value: members at 2 x (depth + 1), its closing bracket at
//    2 x depth); written through write_indent so the layouts agree.
//  - spooled text / source text: escaped string; spooled bytes / source bytes: base64 string,
//    bytes carried between 4096-byte chunks so only the last group is padded. A source or raw
//    JSON value holding nothing is null.
#ifndef VELLUM_SERIALIZER_H
#define VELLUM_SERIALIZER_H

#include "core.h"

#include <cstddef>
#include <cstdint>

namespace vellum::detail {

// ---- omission --------------------------------------------------------------------------------

// True when a field that is not REQUIRED is left out: presence word 0, or OMIT_EMPTY / OMIT_NULL
// while the member is empty / null. Always false for REQUIRED fields.
bool field_omitted(const vellum_field &field, const void *record);
inline bool field_is_written(const vellum_field &field, const void *record) {
    constexpr unsigned kMayOmit = VELLUM_FIELD_HAS_PRESENCE | VELLUM_FIELD_OMIT_EMPTY | VELLUM_FIELD_OMIT_NULL;
    return (field.flags & VELLUM_FIELD_REQUIRED) || !(field.flags & kMayOmit) || !field_omitted(field, record);
}

// ---- string escaping ---------------------------------------------------------------------------

// For each byte: 0 when it is copied unchanged, else the letter after the backslash ('u' for
// the \u00XX form). Bytes 0x7F and above and '/' are copied unchanged.
struct EscapeTable {
    char code[256];
};
constexpr EscapeTable make_escape_table() {
    EscapeTable table{};
    for (int c = 0; c < 0x20; c++) table.code[c] = 'u';
    table.code[0x08] = 'b';
    table.code[0x09] = 't';
    table.code[0x0A] = 'n';
    table.code[0x0C] = 'f';
    table.code[0x0D] = 'r';
    table.code[0x22] = '"';
    table.code[0x5C] = '\\';
    return table;
}
inline constexpr EscapeTable kEscapeTable = make_escape_table();

// The bytes that need escaping are exactly those find_string_special stops at.
constexpr bool escape_table_matches_scan() {
    for (int c = 0; c < 256; c++) {
        if ((kEscapeTable.code[c] != 0) != (c < 0x20 || c == '"' || c == '\\')) return false;
    }
    return true;
}
static_assert(escape_table_matches_scan(), "escape table and string scan agree");

// Bytes from data that are copied unchanged (the run ends at a byte that needs escaping:
// exactly the bytes find_string_special stops at).
inline size_t escape_run(const unsigned char *data, size_t length) {
    return static_cast<size_t>(find_string_special(data, data + length) - data);
}

// Writes the escape sequence of a byte that needs one into out; returns its length (2 or 6).
inline size_t escape_sequence(unsigned char byte, char out[6]) {
    constexpr char hex[] = "0123456789abcdef";
    char code = kEscapeTable.code[byte];
    out[0] = '\\';
    if (code != 'u') {
        out[1] = code;
        return 2;
    }
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = hex[byte >> 4];
    out[5] = hex[byte & 0xF];
    return 6;
}

// Length of the escaped form of data (without quotes).
size_t escaped_length(const unsigned char *data, size_t length);

// Writes the escaped form of data (without quotes) through emit(const char *, size_t), which
// returns a vellum_status: unescaped runs in one piece, each escape sequence as one piece.
template <class Emit>
vellum_status write_escaped(const unsigned char *data, size_t length, Emit &&emit) {
    size_t i = 0;
    while (i < length) {
        size_t run = escape_run(data + i, length - i);
        if (run) {
            vellum_status status = emit(reinterpret_cast<const char *>(data + i), run);
            if (status != VELLUM_STATUS_OK) return status;
            i += run;
            if (i == length) break;
        }
        char sequence[6];
        size_t n = escape_sequence(data[i], sequence);
        vellum_status status = emit(sequence, n);
        if (status != VELLUM_STATUS_OK) return status;
        i++;
    }
    return VELLUM_STATUS_OK;
}

// ---- numbers -----------------------------------------------------------------------------------

// Size of the buffers numbers are formatted into.
constexpr size_t kNumberBufferBytes = 64;
constexpr const char kNonFiniteMessage[] = "non-finite double cannot be serialized";
constexpr const char kNonFiniteElementMessage[] = "non-finite double array element cannot be serialized";
constexpr const char kFormatNumberMessage[] = "failed to format number";

// Decimal digits ("-" first for negatives); returns the length. out holds kNumberBufferBytes;
// bytes past the digits (up to the 24th) may be overwritten.
size_t format_i64(int64_t value, char *out);
size_t format_u64(uint64_t value, char *out);
// The "%.17g" form of value, independent of the C locale ("3", "0.10000000000000001",
// "1e+300"). A NaN or infinity fails with kNonFiniteMessage (or kNonFiniteElementMessage for an
// array element), VELLUM_STATUS_TYPE_MISMATCH; a formatting failure with kFormatNumberMessage,
// VELLUM_STATUS_INTERNAL_ERROR. On success *length receives the length.
vellum_status format_f64(double value, char *out, size_t *length, bool array_element, vellum_error *error);

// ---- base64 ------------------------------------------------------------------------------------

inline constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters that n input bytes encode to, padding included.
constexpr size_t base64_length(size_t n) { return (n / 3 + (n % 3 != 0)) * 4; }

// Streaming base64: complete groups are encoded as bytes arrive, up to two bytes are carried to
// the next feed, and finish() pads the last group.
class Base64Encoder {
public:
    // Largest output of one feed of n bytes.
    static constexpr size_t max_output(size_t n) { return (n + 2) / 3 * 4; }
    // Encodes the complete groups of carry + data into out; returns the characters written.
    size_t feed(const unsigned char *data, size_t length, char *out);
    // Encodes the carried bytes with "=" padding (0 or 4 characters).
    size_t finish(char *out);

private:
    unsigned char carry_[2] = {0, 0};
    size_t carried_ = 0;
};

// ---- pretty indentation ------------------------------------------------------------------------

// A line feed followed by 64 spaces: an indentation of n <= 64 spaces is its first n + 1 bytes.
inline constexpr char kIndentText[] =
    "\n                                                                ";
constexpr size_t kIndentPieceSpaces = 64;
static_assert(sizeof(kIndentText) == kIndentPieceSpaces + 2, "line feed, 64 spaces, NUL");
constexpr const char kIndentTooDeepMessage[] = "JSON indentation depth is too large";

// Spaces of the indentation at depth (2 x depth); false when that would overflow.
inline bool indent_spaces(size_t depth, size_t *spaces) {
    if (depth > SIZE_MAX / 2) return false;
    *spaces = depth * 2;
    return true;
}

// Writes a line feed and 2 x depth spaces through emit: up to 64 spaces in one piece, deeper
// ones as the whole 65-byte text, then 64-space pieces, then the rest. Fails with
// kIndentTooDeepMessage (VELLUM_STATUS_OVERFLOW) when the depth is too large.
template <class Emit>
vellum_status write_indent(size_t depth, Emit &&emit, vellum_error *error) {
    size_t spaces;
    if (!indent_spaces(depth, &spaces)) return set_error(error, VELLUM_STATUS_OVERFLOW, "%s", kIndentTooDeepMessage);
    if (spaces <= kIndentPieceSpaces) return emit(kIndentText, spaces + 1);
    vellum_status status = emit(kIndentText, kIndentPieceSpaces + 1);
    if (status != VELLUM_STATUS_OK) return status;
    spaces -= kIndentPieceSpaces;
    while (spaces > 0) {
        size_t n = spaces < kIndentPieceSpaces ? spaces : kIndentPieceSpaces;
        status = emit(kIndentText + 1, n);
        if (status != VELLUM_STATUS_OK) return status;
        spaces -= n;
    }
    return VELLUM_STATUS_OK;
}

// ---- whole records ----------------------------------------------------------------------------

// Writes record as a JSON object ("{" included) at depth through sink, with the serializer's
// rules. A sink status of 0 or VELLUM_STATUS_TRUNCATED continues; any other stops and is
// returned. Arguments are not checked (map valid, record and sink non-NULL).
vellum_status serialize_object_to_sink(const vellum_map &map, const void *record, vellum_sink_fn sink, void *user,
                                       bool pretty, size_t depth, vellum_error *error);

}  // namespace vellum::detail

#endif  // VELLUM_SERIALIZER_H
