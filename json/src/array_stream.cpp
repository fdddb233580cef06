// Array stream: walks one JSON array (a root array, or the array under one key of a root
// object) element by element without holding it. Elements are parsed into records, captured
// as raw JSON values, or delivered as strings, from pulled inputs (reader, FILE, descriptor)
// or bytes pushed by the caller. The rest of the document is still read and validated.
#include "input.h"
#include "parser.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace vd = vellum::detail;
using vd::argument_error;

namespace {

constexpr size_t kWindowBytes = 1024;
constexpr size_t kStringChunkBytes = 256;
constexpr size_t kStringItemLimit = 1048576;

enum InputMode { kInputReader = 1, kInputFile = 2, kInputFd = 3, kInputPush = 4 };

// Where the scanner stands in the document.
enum Phase {
    kBeforeRoot,
    kRootKeyOrEnd,   // expect a key or '}'
    kRootKey,        // inside a root key
    kRootColon,
    kRootValue,
    kSkipValue,      // a non-selected root member, validated and dropped
    kRootCommaOrEnd,
    kArrayFirst,     // just after '['
    kArrayValue,     // after ','
    kArrayAfter,     // after an element
    kElement,        // an element is being handed to the item machinery
    kAfterRoot,
};

// What the element in progress is turned into.
enum ItemMode { kItemNone = 0, kItemRecord, kItemCapture, kItemChunks, kItemStrings };

// Byte-at-a-time decoder of one JSON string (after its opening quote).
struct StringDecoder {
    int escape;  // 0 none, 1 after '\', 2 in \u digits, 3 expect '\' of a low surrogate, 4 expect 'u'
    int hex_left;
    uint32_t codepoint;
    uint32_t high;
};

enum DecodeResult { kDecodeByte, kDecodeBytes, kDecodeNothing, kDecodeEnd, kDecodeError };

// The two wordings: root keys, and string elements (which read like the value visitor).
struct DecodeMessages {
    const char *control;
    const char *escape;
    const char *unicode;
    const char *low_alone;
};
constexpr DecodeMessages kKeyMessages = {"control character in JSON string", "invalid JSON string escape",
                                         "invalid unicode escape in JSON string", "invalid unicode surrogate pair"};
constexpr DecodeMessages kItemMessages = {"control character in string", "invalid string escape",
                                          "invalid unicode escape", "unexpected low surrogate"};



// One byte of a string. kDecodeByte: `c` itself is content; kDecodeBytes: out[0..*n) is the
// decoded escape; kDecodeEnd: the closing quote; kDecodeError: *message says why.
DecodeResult decode_byte(StringDecoder &d, unsigned char c, const DecodeMessages &m, unsigned char *out, size_t *n,
                         const char **message) {
    switch (d.escape) {
    case 0:
        if (c == '"') return kDecodeEnd;
        if (c == '\\') {
            d.escape = 1;
            return kDecodeNothing;
        }
        if (c < 0x20) {
            *message = m.control;
            return kDecodeError;
        }
        return kDecodeByte;
    case 1: {
        if (c == 'u') {
            d.escape = 2;
            d.hex_left = 4;
            d.codepoint = 0;
            return kDecodeNothing;
        }
        int decoded = vd::simple_escape(c);
        if (decoded < 0) {
            *message = m.escape;
            return kDecodeError;
        }
        d.escape = 0;
        out[0] = static_cast<unsigned char>(decoded);
        *n = 1;
        return kDecodeBytes;
    }
    case 2: {
        int v = vd::hex_digit(c);
        if (v < 0) {
            *message = m.unicode;
            return kDecodeError;
        }
        d.codepoint = (d.codepoint << 4) | static_cast<uint32_t>(v);
        if (--d.hex_left > 0) return kDecodeNothing;
        uint32_t cp = d.codepoint;
        if (d.high) {
            if (cp < 0xDC00 || cp > 0xDFFF) {
                *message = "invalid unicode surrogate pair";
                return kDecodeError;
            }
            cp = 0x10000 + ((d.high - 0xD800) << 10) + (cp - 0xDC00);
            d.high = 0;
        } else if (cp >= 0xD800 && cp <= 0xDBFF) {
            d.high = cp;
            d.escape = 3;
            return kDecodeNothing;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            *message = m.low_alone;
            return kDecodeError;
        }
        d.escape = 0;
        *n = vd::put_utf8(cp, out);
        return kDecodeBytes;
    }
    case 3:
        if (c == '\\') {
            d.escape = 4;
            return kDecodeNothing;
        }
        *message = "invalid unicode surrogate pair";
        return kDecodeError;
    default:
        if (c == 'u') {
            d.escape = 2;
            d.hex_left = 4;
            d.codepoint = 0;
            return kDecodeNothing;
        }
        *message = "invalid unicode surrogate pair";
        return kDecodeError;
    }
}

// A growable byte buffer through the stream's allocator.
struct Bytes {
    unsigned char *data;
    size_t len;
    size_t cap;
};

bool bytes_append(const vellum_allocator &allocator, Bytes &b, const void *data, size_t n) {
    if (n > SIZE_MAX - b.len - 1) return false;
    if (b.len + n + 1 > b.cap) {
        size_t cap = b.cap ? b.cap : 64;
        while (cap < b.len + n + 1) cap = cap > SIZE_MAX / 2 ? b.len + n + 1 : cap * 2;
        auto *grown = static_cast<unsigned char *>(vd::raw_realloc(allocator, b.data, b.cap, cap));
        if (!grown) return false;
        b.data = grown;
        b.cap = cap;
    }
    if (n) std::memcpy(b.data + b.len, data, n);
    b.len += n;
    b.data[b.len] = '\0';
    return true;
}

void bytes_clear(Bytes &b) {
    b.len = 0;
    if (b.data) b.data[0] = '\0';
}

void bytes_free(const vellum_allocator &allocator, Bytes &b) {
    vd::raw_free(allocator, b.data, b.cap);
    b = Bytes{};
}

}  // namespace

struct vellum_array_stream {
    int input_mode;
    vd::PulledInput input_source;
    int owns_input;
    char *path;  // selection key (raw block), NULL for a root array
    size_t path_len;
    vellum_parse_options options;
    vellum_allocator allocator;

    unsigned char window[kWindowBytes];
    size_t fill;
    size_t pos;
    int input_ended;

    size_t offset, line, column;

    int phase;
    int after_comma;
    int found;
    int selected;  // the current root key equals the path

    // The element in progress.
    int item_mode;
    int item_active;
    const vellum_map *item_map;
    void *item_destination;
    void *last_destination;
    StringDecoder decoder;
    unsigned char chunk[kStringChunkBytes];
    size_t chunk_len;
    size_t string_bytes;
    const vellum_string_chunk_handler *handler;
    void *handler_user;

    Bytes key;        // the root key being decoded
    Bytes key_set;    // root keys seen: 4-byte length, then the bytes
    Bytes capture;    // raw text of a captured element, or a whole string item

    vellum_error error;
    int truncated;
    int finished;
    int failed;

    vellum_parser_state parser;
    alignas(8) unsigned char workspace[vd::kParserWorkspaceBytes];
};

namespace {

// ---- failures --------------------------------------------------------------------------

vellum_status stream_fail(vellum_array_stream *s, vellum_status code, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
vellum_status stream_fail(vellum_array_stream *s, vellum_status code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vd::set_error_v(&s->error, code, format, args);
    va_end(args);
    s->error.line = s->line;
    s->error.column = s->column;
    s->error.offset = s->offset;
    s->failed = 1;
    return code;
}

// The element's parser failed: its message and status, the stream's position.
vellum_status parser_fail(vellum_array_stream *s) {
    const vellum_error &parsed = s->parser.error;
    if (parsed.truncated) s->truncated = 1;
    s->error.code = parsed.code;
    std::memcpy(s->error.message, parsed.message, sizeof s->error.message);
    s->error.system_errno = parsed.system_errno;
    s->error.line = s->line;
    s->error.column = s->column;
    s->error.offset = s->offset;
    s->failed = 1;
    if (!s->error.code) return stream_fail(s, VELLUM_STATUS_INTERNAL_ERROR, "array stream value parser failed");
    return s->error.code;
}

vellum_status callback_fail(vellum_array_stream *s, int status, const char *message) {
    s->error.code = status;
    std::snprintf(s->error.message, sizeof s->error.message, "%s", message);
    s->error.line = s->line;
    s->error.column = s->column;
    s->error.offset = s->offset;
    s->failed = 1;
    return status;
}

void advance(vellum_array_stream *s, unsigned char c) {
    s->offset++;
    if (c == '\n') {
        s->line++;
        s->column = 0;
    } else {
        s->column++;
    }
}

void advance_span(vellum_array_stream *s, const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; i++) advance(s, p[i]);
}

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// ---- root keys ---------------------------------------------------------------------------

vellum_status remember_key(vellum_array_stream *s) {
    const Bytes &key = s->key;
    size_t at = 0;
    while (at < s->key_set.len) {
        if (s->key_set.len - at < 4) return stream_fail(s, VELLUM_STATUS_INTERNAL_ERROR, "corrupt array stream root key set");
        uint32_t len;
        std::memcpy(&len, s->key_set.data + at, 4);
        at += 4;
        if (s->key_set.len - at < len)
            return stream_fail(s, VELLUM_STATUS_INTERNAL_ERROR, "corrupt array stream root key set");
        if (len == key.len && (len == 0 || std::memcmp(s->key_set.data + at, key.data, len) == 0))
            return stream_fail(s, VELLUM_STATUS_DUPLICATE_FIELD, "duplicate root object field");
        at += len;
    }
    if (key.len > UINT32_MAX) return stream_fail(s, VELLUM_STATUS_OVERFLOW, "framing buffer limit exceeded");
    auto len = static_cast<uint32_t>(key.len);
    if (!bytes_append(s->allocator, s->key_set, &len, 4) ||
        !bytes_append(s->allocator, s->key_set, key.data, key.len))
        return stream_fail(s, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate string");
    return VELLUM_STATUS_OK;
}

vellum_status end_root_key(vellum_array_stream *s) {
    if (s->options.reject_duplicates && remember_key(s)) return s->error.code;
    s->selected = s->path && s->key.len == s->path_len &&
                  (s->path_len == 0 || std::memcmp(s->key.data, s->path, s->path_len) == 0);
    s->phase = kRootColon;
    return VELLUM_STATUS_OK;
}

// ---- elements ------------------------------------------------------------------------------

// Starts the element whose first byte is c (not consumed yet).
vellum_status begin_element(vellum_array_stream *s, unsigned char c) {
    s->item_active = 1;
    s->phase = kElement;
    switch (s->item_mode) {
    case kItemRecord:
        vellum__parser_init_state(&s->parser, s->item_map, s->item_destination, &s->options, 0, s->workspace);
        if (s->options.clear_destination) {
            // A destination that still holds the previous element is reset, not re-initialised.
            if (s->item_destination == s->last_destination) {
                vellum_reset(s->item_map, s->item_destination);
            } else {
                vd::record_init(s->item_map, s->item_destination, s->allocator, true);
            }
        }
        s->last_destination = s->item_destination;
        return VELLUM_STATUS_OK;
    case kItemCapture: {
        vellum_parse_options options = s->options;
        vellum__parser_init_state(&s->parser, nullptr, nullptr, &options, 1, s->workspace);
        bytes_clear(s->capture);
        return VELLUM_STATUS_OK;
    }
    default:
        if (c != '"') return stream_fail(s, VELLUM_STATUS_TYPE_MISMATCH, "selected array item is not a string");
        s->decoder = StringDecoder{};
        s->chunk_len = 0;
        s->string_bytes = 0;
        bytes_clear(s->capture);
        return VELLUM_STATUS_OK;
    }
}

bool handler_ok(int status) { return status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED; }

vellum_status flush_chunk(vellum_array_stream *s) {
    if (!s->chunk_len) return VELLUM_STATUS_OK;
    int status = s->handler->chunk(s->handler_user, reinterpret_cast<const char *>(s->chunk), s->chunk_len, &s->error);
    s->chunk_len = 0;
    if (!handler_ok(status)) return callback_fail(s, status, "array stream string callback failed");
    return VELLUM_STATUS_OK;
}

// Decoded bytes of a string element: chunked (runs gathered up to 256 bytes, escapes on
// their own) or collected whole.
vellum_status string_content(vellum_array_stream *s, const unsigned char *data, size_t n, bool escape) {
    if (s->item_mode == kItemStrings) {
        if (s->capture.len + n > kStringItemLimit)
            return stream_fail(s, VELLUM_STATUS_OVERFLOW, "framing buffer limit exceeded");
        if (!bytes_append(s->allocator, s->capture, data, n))
            return stream_fail(s, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate framing buffer");
        return VELLUM_STATUS_OK;
    }
    if (s->string_bytes + n > kStringItemLimit)
        return stream_fail(s, VELLUM_STATUS_OVERFLOW, escape ? "decoded JSON text exceeds limit"
                                                             : "JSON string exceeds maximum decoded byte limit");
    s->string_bytes += n;
    if (escape) {
        if (flush_chunk(s)) return s->error.code;
        int status = s->handler->chunk(s->handler_user, reinterpret_cast<const char *>(data), n, &s->error);
        if (!handler_ok(status)) return callback_fail(s, status, "array stream string callback failed");
        return VELLUM_STATUS_OK;
    }
    for (size_t i = 0; i < n; i++) {
        s->chunk[s->chunk_len++] = data[i];
        if (s->chunk_len == kStringChunkBytes && flush_chunk(s)) return s->error.code;
    }
    return VELLUM_STATUS_OK;
}

// Feeds element bytes; *done is set when the element is complete.
vellum_status feed_element(vellum_array_stream *s, const unsigned char *p, size_t n, size_t *used, bool *done) {
    *done = false;
    if (s->item_mode == kItemRecord || s->item_mode == kItemCapture) {
        size_t consumed = 0;
        vellum_status status = vellum__parser_feed_bytes(&s->parser, p, n, &consumed, 1);
        advance_span(s, p, consumed);
        *used = consumed;
        if (s->item_mode == kItemCapture && consumed &&
            !bytes_append(s->allocator, s->capture, p, consumed))
            return stream_fail(s, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate framing buffer");
        if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED) return parser_fail(s);
        if (vellum__parser_root_complete(&s->parser)) {
            *done = true;
            return VELLUM_STATUS_OK;
        }
        if (consumed == 0 && n > 0)
            return stream_fail(s, VELLUM_STATUS_INTERNAL_ERROR, "array stream value parser made no progress");
        return VELLUM_STATUS_OK;
    }
    // Strings: the opening quote is the first byte of the element.
    size_t i = 0;
    if (s->item_active == 1) {
        advance(s, p[0]);
        i = 1;
        s->item_active = 2;  // inside the string
        if (s->item_mode == kItemChunks && s->handler->begin) {
            int status = s->handler->begin(s->handler_user, &s->error);
            if (!handler_ok(status)) {
                *used = i;
                return callback_fail(s, status, "array stream string callback failed");
            }
        }
    }
    while (i < n) {
        // Plain runs in one step.
        if (s->decoder.escape == 0) {
            size_t j = i;
            while (j < n && p[j] >= 0x20 && p[j] != '"' && p[j] != '\\') j++;
            if (j > i) {
                advance_span(s, p + i, j - i);
                if (string_content(s, p + i, j - i, false)) {
                    *used = j;
                    return s->error.code;
                }
                i = j;
                continue;
            }
        }
        unsigned char c = p[i++];
        advance(s, c);
        unsigned char out[4];
        size_t out_len = 0;
        const char *message = nullptr;
        switch (decode_byte(s->decoder, c, kItemMessages, out, &out_len, &message)) {
        case kDecodeError:
            *used = i;
            return stream_fail(s, VELLUM_STATUS_INVALID_JSON, "%s", message);
        case kDecodeBytes:
            if (string_content(s, out, out_len, true)) {
                *used = i;
                return s->error.code;
            }
            break;
        case kDecodeByte:
            if (string_content(s, &c, 1, false)) {
                *used = i;
                return s->error.code;
            }
            break;
        case kDecodeNothing: break;
        case kDecodeEnd:
            *used = i;
            *done = true;
            if (s->item_mode == kItemChunks) {
                if (flush_chunk(s)) return s->error.code;
                if (s->handler->end) {
                    int status = s->handler->end(s->handler_user, &s->error);
                    if (!handler_ok(status)) return callback_fail(s, status, "array stream string callback failed");
                }
            }
            return VELLUM_STATUS_OK;
        }
    }
    *used = i;
    return VELLUM_STATUS_OK;
}

// ---- the scanner ---------------------------------------------------------------------------

enum ScanResult { kScanNeedInput, kScanItem, kScanEnd, kScanError };

vellum_status array_closed(vellum_array_stream *s) {
    s->phase = s->path ? kRootCommaOrEnd : kAfterRoot;
    s->after_comma = 0;
    return VELLUM_STATUS_OK;
}

vellum_status root_closed(vellum_array_stream *s) {
    if (s->after_comma) return stream_fail(s, VELLUM_STATUS_INVALID_JSON, "expected object key");
    if (!s->found) return stream_fail(s, VELLUM_STATUS_MISSING_REQUIRED_FIELD, "selected array field was not found");
    s->phase = kAfterRoot;
    return VELLUM_STATUS_OK;
}

// Processes window bytes [p, p+n) until an element completes (kScanItem) or the bytes run out.
ScanResult scan(vellum_array_stream *s, const unsigned char *p, size_t n, size_t *used) {
    size_t i = 0;
    while (i < n) {
        if (s->phase == kElement || s->phase == kSkipValue) {
            size_t taken = 0;
            bool done = false;
            if (s->phase == kElement) {
                if (feed_element(s, p + i, n - i, &taken, &done)) {
                    *used = i + taken;
                    return kScanError;
                }
            } else {
                vellum_status status = vellum__parser_feed_bytes(&s->parser, p + i, n - i, &taken, 1);
                advance_span(s, p + i, taken);
                if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED) {
                    parser_fail(s);
                    *used = i + taken;
                    return kScanError;
                }
                done = vellum__parser_root_complete(&s->parser);
            }
            i += taken;
            if (!done) continue;
            if (s->phase == kElement) {
                s->phase = kArrayAfter;
                s->item_active = 0;
                *used = i;
                return kScanItem;
            }
            s->phase = kRootCommaOrEnd;
            continue;
        }
        unsigned char c = p[i];
        if (s->phase == kRootKey) {
            i++;
            advance(s, c);
            unsigned char out[4];
            size_t out_len = 0;
            const char *message = nullptr;
            DecodeResult r = decode_byte(s->decoder, c, kKeyMessages, out, &out_len, &message);
            bool ok = true;
            if (r == kDecodeError) {
                stream_fail(s, VELLUM_STATUS_INVALID_JSON, "%s", message);
                *used = i;
                return kScanError;
            }
            if (r == kDecodeByte) ok = bytes_append(s->allocator, s->key, &c, 1);
            if (r == kDecodeBytes) ok = bytes_append(s->allocator, s->key, out, out_len);
            if (!ok) {
                stream_fail(s, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate string");
                *used = i;
                return kScanError;
            }
            if (r == kDecodeEnd && end_root_key(s)) {
                *used = i;
                return kScanError;
            }
            continue;
        }
        if (is_space(c)) {
            i++;
            advance(s, c);
            continue;
        }
        // Structural bytes: the element's first byte is left for the item machinery.
        vellum_status status = VELLUM_STATUS_OK;
        bool consume = true;
        switch (s->phase) {
        case kBeforeRoot:
            if (s->path) {
                if (c != '{') {
                    advance(s, c);
                    status = stream_fail(s, VELLUM_STATUS_TYPE_MISMATCH, "array path requires a root object");
                    break;
                }
                s->phase = kRootKeyOrEnd;
                s->after_comma = 0;
            } else {
                if (c != '[') {
                    advance(s, c);
                    status = stream_fail(s, VELLUM_STATUS_TYPE_MISMATCH, "selected JSON value is not an array");
                    break;
                }
                s->found = 1;
                s->phase = kArrayFirst;
            }
            break;
        case kRootKeyOrEnd:
            if (c == '"') {
                bytes_clear(s->key);
                s->decoder = StringDecoder{};
                s->phase = kRootKey;
                s->after_comma = 0;
            } else if (c == '}') {
                advance(s, c);
                consume = false;
                i++;
                status = root_closed(s);
            } else {
                advance(s, c);
                status = stream_fail(s, VELLUM_STATUS_INVALID_JSON, "expected object key");
            }
            break;
        case kRootColon:
            if (c == ':') {
                s->phase = kRootValue;
            } else {
                advance(s, c);
                status = stream_fail(s, VELLUM_STATUS_INVALID_JSON, "expected ':' after object key");
            }
            break;
        case kRootValue:
            if (s->selected) {
                if (c != '[') {
                    advance(s, c);
                    status = stream_fail(s, VELLUM_STATUS_TYPE_MISMATCH, "selected JSON value is not an array");
                    break;
                }
                s->found = 1;
                s->phase = kArrayFirst;
            } else {
                vellum_parse_options options = s->options;
                vellum__parser_init_state(&s->parser, nullptr, nullptr, &options, 1, s->workspace);
                s->phase = kSkipValue;
                consume = false;
            }
            break;
        case kRootCommaOrEnd:
            if (c == ',') {
                s->phase = kRootKeyOrEnd;
                s->after_comma = 1;
            } else if (c == '}') {
                advance(s, c);
                consume = false;
                i++;
                status = root_closed(s);
            } else {
                advance(s, c);
                status = stream_fail(s, VELLUM_STATUS_INVALID_JSON, "expected ',' or '}' in object");
            }
            break;
        case kArrayFirst:
        case kArrayValue:
            if (c == ']') {
                if (s->phase == kArrayValue) {
                    advance(s, c);
                    status = stream_fail(s, VELLUM_STATUS_INVALID_JSON, "expected JSON value in selected array");
                    break;
                }
                status = array_closed(s);
            } else {
                status = begin_element(s, c);
                consume = false;
                if (status) advance(s, c);
            }
            break;
        case kArrayAfter:
            if (c == ',') {
                s->phase = kArrayValue;
            } else if (c == ']') {
                status = array_closed(s);
            } else {
                advance(s, c);
                status = stream_fail(s, VELLUM_STATUS_INVALID_JSON, "expected ',' or ']' in selected array");
            }
            break;
        case kAfterRoot:
            advance(s, c);
            status = stream_fail(s, VELLUM_STATUS_INVALID_JSON,
                                 s->path ? "unexpected data after root object" : "unexpected data after root array");
            break;
        default: status = stream_fail(s, VELLUM_STATUS_INTERNAL_ERROR, "invalid array stream state"); break;
        }
        if (status) {
            *used = i + 1;
            return kScanError;
        }
        if (consume) {
            advance(s, c);
            i++;
        }
    }
    *used = i;
    return kScanNeedInput;
}

// End of input: the document must be complete.
ScanResult end_of_input(vellum_array_stream *s) {
    switch (s->phase) {
    case kAfterRoot: s->finished = 1; return kScanEnd;
    case kElement:
        stream_fail(s, VELLUM_STATUS_INVALID_JSON, "unterminated JSON value");
        return kScanError;
    case kArrayFirst:
    case kArrayValue:
    case kArrayAfter: stream_fail(s, VELLUM_STATUS_INVALID_JSON, "unterminated selected array"); return kScanError;
    case kRootKey: stream_fail(s, VELLUM_STATUS_INVALID_JSON, "unterminated JSON string"); return kScanError;
    case kBeforeRoot:
        stream_fail(s, VELLUM_STATUS_INVALID_JSON, s->path ? "array path requires a root object"
                                                           : "selected JSON value is not an array");
        return kScanError;
    default: stream_fail(s, VELLUM_STATUS_INVALID_JSON, "unterminated root object"); return kScanError;
    }
}

// ---- pulled input ------------------------------------------------------------------------

vd::Refill refill(vellum_array_stream *s) {
    s->pos = 0;
    int sys_errno = 0;
    vd::Refill r = vd::read_input(s->input_source, s->window, kWindowBytes, &s->fill, &sys_errno);
    if (r == vd::Refill::Error) {
        stream_fail(s, VELLUM_STATUS_IO_ERROR, "array stream read failed");
        s->error.system_errno = sys_errno;
    }
    return r;
}

int copy_out(vellum_array_stream *s, int result, vellum_error *error) {
    if (error) *error = s->error;
    return result;
}

int failed_result(vellum_array_stream *s, vellum_error *error) {
    // A truncation earlier in the stream stays visible in its error, whichever mode fed it.
    if (s->truncated) s->error.truncated = 1;
    if (!s->error.code) {
        vd::set_error(&s->error, VELLUM_STATUS_INTERNAL_ERROR, "array stream failed without an error code");
        s->failed = 1;
    }
    return copy_out(s, VELLUM_ARRAY_STREAM_ERROR, error);
}

// Checks that a resumed element continues with the same operation and destination.
bool same_item(vellum_array_stream *s, int mode, const vellum_map *map, void *destination) {
    if (!s->item_active) return true;
    return s->item_mode == mode && s->item_map == map && s->item_destination == destination;
}

// Runs the scanner over pulled input until the next element, the end, or a would-block.
int pull(vellum_array_stream *s, vellum_error *error) {
    for (;;) {
        if (s->pos < s->fill) {
            size_t used = 0;
            ScanResult r = scan(s, s->window + s->pos, s->fill - s->pos, &used);
            s->pos += used;
            if (r == kScanError) return failed_result(s, error);
            if (r == kScanItem) return VELLUM_ARRAY_STREAM_ITEM;
            continue;
        }
        if (s->input_ended) {
            ScanResult r = end_of_input(s);
            if (r == kScanEnd) return copy_out(s, VELLUM_ARRAY_STREAM_END, error);
            return failed_result(s, error);
        }
        switch (refill(s)) {
        case vd::Refill::Data: break;
        case vd::Refill::WouldBlock: return copy_out(s, VELLUM_ARRAY_STREAM_WOULD_BLOCK, error);
        case vd::Refill::Error: return failed_result(s, error);
        case vd::Refill::End: s->input_ended = 1; break;
        }
    }
}

vellum_array_stream *open_stream(const char *path, const vellum_parse_options *options, vellum_error *error) {
    if (options && vd::allocator_is_partial(options->allocator)) {
        argument_error(error, vd::kPartialAllocatorMessage);
        return nullptr;
    }
    if (path && std::strchr(path, '.')) {
        argument_error(error, "array stream v1 supports only one direct path segment");
        return nullptr;
    }
    vellum_parse_options copy = options ? *options : vellum_default_parse_options();
    vellum_allocator allocator = vd::resolve_allocator(copy.allocator);
    auto *s = static_cast<vellum_array_stream *>(vd::raw_alloc(allocator, sizeof(vellum_array_stream)));
    if (!s) {
        vellum_error_init(error);
        vd::set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate array stream");
        return nullptr;
    }
    std::memset(s, 0, offsetof(vellum_array_stream, parser));
    s->input_source.fd = -1;
    s->options = copy;
    s->allocator = allocator;
    s->line = 1;
    if (path && path[0]) {
        s->path_len = std::strlen(path);
        s->path = static_cast<char *>(vd::raw_alloc(allocator, s->path_len + 1));
        if (!s->path) {
            vd::raw_free(allocator, s, sizeof(vellum_array_stream));
            vellum_error_init(error);
            vd::set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate string");
            return nullptr;
        }
        std::memcpy(s->path, path, s->path_len + 1);
    }
    s->error.line = 1;
    vellum_error_init(error);
    return s;
}

// Checks shared by the push calls; 0 when the bytes may be processed.
vellum_status push_checks(vellum_array_stream *s, const void *bytes, size_t len, vellum_error *error) {
    if (s->input_mode != kInputPush) return argument_error(error, "array stream is not push-fed");
    if (!bytes && len) return argument_error(error, "input bytes are required");
    if (s->failed) {
        if (error) *error = s->error;
        return s->error.code;
    }
    if (s->finished || s->input_ended) return argument_error(error, "array stream is already finished");
    return VELLUM_STATUS_OK;
}

vellum_status push_failed(vellum_array_stream *s, vellum_error *error) {
    failed_result(s, error);
    return s->error.code;
}

// Runs pushed bytes (or, with end set, the end of input) through the scanner, handing every
// completed element to `deliver`.
template <class Deliver>
vellum_status push_bytes(vellum_array_stream *s, const unsigned char *p, size_t len, bool end, vellum_error *error,
                         Deliver deliver) {
    size_t at = 0;
    while (at < len) {
        size_t slice = len - at < kWindowBytes ? len - at : kWindowBytes;
        size_t used = 0;
        ScanResult r = scan(s, p + at, slice, &used);
        at += used;
        if (r == kScanError || (r == kScanItem && deliver())) return push_failed(s, error);
    }
    if (end) {
        s->input_ended = 1;
        if (end_of_input(s) == kScanError) return push_failed(s, error);
    }
    if (s->truncated) {
        s->error.truncated = 1;
        if (error) *error = s->error;
        return VELLUM_STATUS_TRUNCATED;
    }
    if (error) *error = s->error;
    return VELLUM_STATUS_OK;
}

vellum_status push_records(vellum_array_stream *s, const vellum_map *map, void *destination, const void *bytes,
                           size_t len, bool end, vellum_array_item_fn callback, void *user, vellum_error *error) {
    if (!s || !map || !destination || !callback)
        return argument_error(error, "array stream, map, destination, and callback are required");
    if (vellum_status status = push_checks(s, bytes, len, error)) return status;
    if (!vd::map_layout_valid(map)) return argument_error(error, vd::kInvalidLayoutMessage);
    if (!same_item(s, kItemRecord, map, destination))
        return argument_error(error, "resume array stream item with the same destination");
    s->item_mode = kItemRecord;
    s->item_map = map;
    s->item_destination = destination;
    return push_bytes(s, static_cast<const unsigned char *>(bytes), len, end, error, [&]() -> vellum_status {
        if (s->parser.error.truncated) s->truncated = 1;
        int status = callback(user, destination);
        vellum_cleanup(map, destination);
        s->last_destination = nullptr;
        if (status) return callback_fail(s, status, "array stream item callback failed");
        return VELLUM_STATUS_OK;
    });
}

vellum_status push_strings(vellum_array_stream *s, const void *bytes, size_t len, bool end,
                           const vellum_string_chunk_handler *handler, void *user, vellum_error *error) {
    if (!s || !handler || !handler->chunk)
        return argument_error(error, "array stream and string chunk handler are required");
    if (vellum_status status = push_checks(s, bytes, len, error)) return status;
    s->item_mode = kItemChunks;
    s->handler = handler;
    s->handler_user = user;
    return push_bytes(s, static_cast<const unsigned char *>(bytes), len, end, error,
                      []() -> vellum_status { return VELLUM_STATUS_OK; });
}

vellum_status push_string_items(vellum_array_stream *s, const void *bytes, size_t len, bool end,
                                vellum_string_item_fn callback, void *user, vellum_error *error) {
    if (!s || !callback) return argument_error(error, "array stream and string item callback are required");
    if (vellum_status status = push_checks(s, bytes, len, error)) return status;
    s->item_mode = kItemStrings;
    return push_bytes(s, static_cast<const unsigned char *>(bytes), len, end, error, [&]() -> vellum_status {
        const char *text = s->capture.data ? reinterpret_cast<const char *>(s->capture.data) : "";
        int status = callback(user, text, s->capture.len, &s->error);
        bytes_clear(s->capture);
        if (!handler_ok(status)) return callback_fail(s, status, "array stream string callback failed");
        return VELLUM_STATUS_OK;
    });
}

// Duplicate keys inside a captured element: a visitor that records the keys of every open
// object and fails on a repeat.
struct DuplicateCheck {
    const vellum_allocator *allocator;
    Bytes keys;         // per open object: keys as 4-byte length + bytes; objects separated by marks
    Bytes starts;       // stack of offsets into keys where each open object's keys begin
    Bytes current;      // the key being collected
};

int dup_object_begin(void *user, vellum_error *) {
    auto *d = static_cast<DuplicateCheck *>(user);
    size_t start = d->keys.len;
    return bytes_append(*d->allocator, d->starts, &start, sizeof start) ? 0 : VELLUM_STATUS_ALLOCATION_FAILED;
}
int dup_object_end(void *user, vellum_error *) {
    auto *d = static_cast<DuplicateCheck *>(user);
    size_t start;
    d->starts.len -= sizeof start;
    std::memcpy(&start, d->starts.data + d->starts.len, sizeof start);
    d->keys.len = start;
    return 0;
}
int dup_key_begin(void *user, vellum_error *) {
    static_cast<DuplicateCheck *>(user)->current.len = 0;
    return 0;
}
int dup_key_chunk(void *user, const char *data, size_t len, vellum_error *) {
    auto *d = static_cast<DuplicateCheck *>(user);
    return bytes_append(*d->allocator, d->current, data, len) ? 0 : VELLUM_STATUS_ALLOCATION_FAILED;
}
int dup_key_end(void *user, vellum_error *error) {
    auto *d = static_cast<DuplicateCheck *>(user);
    size_t start;
    std::memcpy(&start, d->starts.data + d->starts.len - sizeof start, sizeof start);
    for (size_t at = start; at < d->keys.len;) {
        size_t len;
        std::memcpy(&len, d->keys.data + at, sizeof len);
        at += sizeof len;
        if (len == d->current.len && (len == 0 || std::memcmp(d->keys.data + at, d->current.data, len) == 0)) {
            vd::set_error(error, VELLUM_STATUS_DUPLICATE_FIELD, "duplicate object field");
            return VELLUM_STATUS_DUPLICATE_FIELD;
        }
        at += len;
    }
    size_t len = d->current.len;
    if (!bytes_append(*d->allocator, d->keys, &len, sizeof len) ||
        !bytes_append(*d->allocator, d->keys, d->current.data, len))
        return VELLUM_STATUS_ALLOCATION_FAILED;
    return 0;
}

vellum_status check_duplicates(vellum_array_stream *s) {
    DuplicateCheck check{&s->allocator, {}, {}, {}};
    vellum_value_visitor visitor;
    vellum_default_value_visitor(&visitor);
    visitor.object_begin = dup_object_begin;
    visitor.object_end = dup_object_end;
    visitor.key_begin = dup_key_begin;
    visitor.key_chunk = dup_key_chunk;
    visitor.key_end = dup_key_end;
    vellum_value_limits limits = vellum_default_value_limits();
    size_t length = s->capture.len ? s->capture.len : 1;
    limits.max_depth = s->options.max_depth ? s->options.max_depth : SIZE_MAX;
    limits.max_string_bytes = length;
    limits.max_number_bytes = length;
    limits.max_key_bytes = length;
    vellum_error error;
    vellum_status status = vellum_visit_value_buffer(s->capture.data, s->capture.len, &visitor, &check, &limits, &error);
    bytes_free(s->allocator, check.keys);
    bytes_free(s->allocator, check.starts);
    bytes_free(s->allocator, check.current);
    if (status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED) return VELLUM_STATUS_OK;
    if (status == VELLUM_STATUS_ALLOCATION_FAILED && !error.message[0])
        return stream_fail(s, status, "failed to allocate string");
    return stream_fail(s, status, "%s", error.message);
}

}  // namespace

extern "C" {

VELLUM_API vellum_array_stream *vellum_array_stream_open_reader(const char *path, vellum_reader_fn reader, void *user,
                                                                const vellum_parse_options *options,
                                                                vellum_error *error) {
    if (!reader) {
        argument_error(error, "reader callback is required");
        return nullptr;
    }
    vellum_array_stream *s = open_stream(path, options, error);
    if (!s) return nullptr;
    s->input_mode = kInputReader;
    s->input_source = {vd::InputKind::Reader, reader, user, nullptr, -1};
    return s;
}

VELLUM_API vellum_array_stream *vellum_array_stream_open_filep(const char *path, FILE *file,
                                                               const vellum_parse_options *options,
                                                               vellum_error *error) {
    if (!file) {
        argument_error(error, "file pointer is required");
        return nullptr;
    }
    vellum_array_stream *s = open_stream(path, options, error);
    if (!s) return nullptr;
    s->input_mode = kInputFile;
    s->input_source = {vd::InputKind::File, nullptr, nullptr, file, -1};
    return s;
}

VELLUM_API vellum_array_stream *vellum_array_stream_open_path(const char *path, const char *file_path,
                                                              const vellum_parse_options *options,
                                                              vellum_error *error) {
    if (!file_path) {
        argument_error(error, "path is required");
        return nullptr;
    }
    FILE *file = std::fopen(file_path, "rb");
    if (!file) {
        int sys_errno = errno;
        vellum_error_init(error);
        vd::set_error_errno(error, VELLUM_STATUS_IO_ERROR, sys_errno, "failed to open '%s'", file_path);
        return nullptr;
    }
    vellum_array_stream *s = open_stream(path, options, error);
    if (!s) {
        std::fclose(file);
        return nullptr;
    }
    s->input_mode = kInputFile;
    s->input_source = {vd::InputKind::File, nullptr, nullptr, file, -1};
    s->owns_input = 1;
    return s;
}

VELLUM_API vellum_array_stream *vellum_array_stream_open_fd(const char *path, int fd,
                                                            const vellum_parse_options *options, vellum_error *error) {
    if (fd < 0) {
        argument_error(error, "fd must be non-negative");
        return nullptr;
    }
    vellum_array_stream *s = open_stream(path, options, error);
    if (!s) return nullptr;
    s->input_mode = kInputFd;
    s->input_source = {vd::InputKind::Fd, nullptr, nullptr, nullptr, fd};
    return s;
}

VELLUM_API vellum_array_stream *vellum_array_stream_open_push(const char *path, const vellum_parse_options *options,
                                                              vellum_error *error) {
    vellum_array_stream *s = open_stream(path, options, error);
    if (s) s->input_mode = kInputPush;
    return s;
}

VELLUM_API int vellum_array_stream_next(vellum_array_stream *s, const vellum_map *map, void *destination,
                                        vellum_error *error) {
    if (!s || !map || !destination) {
        argument_error(error, "array stream, map, and destination are required");
        return VELLUM_ARRAY_STREAM_ERROR;
    }
    if (s->failed) return copy_out(s, VELLUM_ARRAY_STREAM_ERROR, error);
    if (s->finished) return copy_out(s, VELLUM_ARRAY_STREAM_END, error);
    if (s->input_mode == kInputPush) {
        argument_error(error, "array stream is push-fed");
        return VELLUM_ARRAY_STREAM_ERROR;
    }
    if (!vd::map_layout_valid(map)) {
        argument_error(error, vd::kInvalidLayoutMessage);
        return VELLUM_ARRAY_STREAM_ERROR;
    }
    if (!same_item(s, kItemRecord, map, destination)) {
        argument_error(error, "resume array stream item with the same destination");
        return VELLUM_ARRAY_STREAM_ERROR;
    }
    s->item_mode = kItemRecord;
    s->item_map = map;
    s->item_destination = destination;
    int result = pull(s, error);
    if (result == VELLUM_ARRAY_STREAM_ITEM) {
        const vellum_error &parsed = s->parser.error;
        if (parsed.truncated) s->truncated = 1;
        vellum_error_init(&s->error);
        s->error.truncated = parsed.truncated;
        return copy_out(s, result, error);
    }
    return result;
}

VELLUM_API int vellum_array_stream_next_value(vellum_array_stream *s, vellum_json_value *value, vellum_error *error) {
    if (!s) {
        argument_error(error, "array stream, map, and destination are required");
        return VELLUM_ARRAY_STREAM_ERROR;
    }
    if (!value) {
        argument_error(error, "JSON value destination is required");
        return VELLUM_ARRAY_STREAM_ERROR;
    }
    if (s->failed) return copy_out(s, VELLUM_ARRAY_STREAM_ERROR, error);
    if (s->finished) return copy_out(s, VELLUM_ARRAY_STREAM_END, error);
    if (s->input_mode == kInputPush) {
        argument_error(error, "array stream is push-fed");
        return VELLUM_ARRAY_STREAM_ERROR;
    }
    if (!same_item(s, kItemCapture, nullptr, value)) {
        argument_error(error, "resume array stream item with the same destination");
        return VELLUM_ARRAY_STREAM_ERROR;
    }
    s->item_mode = kItemCapture;
    s->item_map = nullptr;
    s->item_destination = value;
    int result = pull(s, error);
    if (result != VELLUM_ARRAY_STREAM_ITEM) return result;
    if (s->options.reject_duplicates && check_duplicates(s)) return failed_result(s, error);
    vellum_error stored;
    vellum_status status = vellum_json_value_set_buffer(value, s->capture.data, s->capture.len, &stored);
    if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED) {
        stream_fail(s, status, "%s", stored.message);
        return failed_result(s, error);
    }
    vellum_error_init(&s->error);
    return copy_out(s, result, error);
}

VELLUM_API const vellum_error *vellum_array_stream_error(const vellum_array_stream *s) {
    return s ? &s->error : nullptr;
}

VELLUM_API vellum_status vellum_array_stream_push(vellum_array_stream *s, const vellum_map *map, void *destination,
                                                  const void *bytes, size_t len, vellum_array_item_fn callback,
                                                  void *user, vellum_error *error) {
    return push_records(s, map, destination, bytes, len, false, callback, user, error);
}

VELLUM_API vellum_status vellum_array_stream_finish(vellum_array_stream *s, const vellum_map *map, void *destination,
                                                    vellum_array_item_fn callback, void *user, vellum_error *error) {
    return push_records(s, map, destination, nullptr, 0, true, callback, user, error);
}

VELLUM_API vellum_status vellum_array_stream_push_string(vellum_array_stream *s, const void *bytes, size_t len,
                                                         const vellum_string_chunk_handler *handler, void *user,
                                                         vellum_error *error) {
    return push_strings(s, bytes, len, false, handler, user, error);
}

VELLUM_API vellum_status vellum_array_stream_finish_string(vellum_array_stream *s,
                                                           const vellum_string_chunk_handler *handler, void *user,
                                                           vellum_error *error) {
    return push_strings(s, nullptr, 0, true, handler, user, error);
}

VELLUM_API vellum_status vellum_array_stream_push_string_items(vellum_array_stream *s, const void *bytes, size_t len,
                                                               vellum_string_item_fn callback, void *user,
                                                               vellum_error *error) {
    return push_string_items(s, bytes, len, false, callback, user, error);
}

VELLUM_API vellum_status vellum_array_stream_finish_string_items(vellum_array_stream *s,
                                                                 vellum_string_item_fn callback, void *user,
                                                                 vellum_error *error) {
    return push_string_items(s, nullptr, 0, true, callback, user, error);
}

VELLUM_API void vellum_array_stream_close(vellum_array_stream *s) {
    if (!s) return;
    if (s->owns_input && s->input_source.file) std::fclose(s->input_source.file);
    vellum_allocator allocator = s->allocator;
    bytes_free(allocator, s->key);
    bytes_free(allocator, s->key_set);
    bytes_free(allocator, s->capture);
    if (s->path) vd::raw_free(allocator, s->path, s->path_len + 1);
    vd::raw_free(allocator, s, sizeof(vellum_array_stream));
}

// ---- HTTP transfer adapters over a push-fed array stream ----------------------------------

VELLUM_API vellum_status vellum_curl_array_parse_init(vellum_curl_array_parse *handle, const char *path,
                                                      const vellum_map *map, void *destination,
                                                      const vellum_parse_options *options,
                                                      vellum_array_item_fn callback, void *user) {
    if (!handle) return VELLUM_STATUS_INVALID_ARGUMENT;
    std::memset(handle, 0, sizeof *handle);
    if (!map || !destination || !callback)
        return argument_error(&handle->error, "map, destination, and callback are required");
    handle->stream = vellum_array_stream_open_push(path, options, &handle->error);
    if (!handle->stream) return handle->error.code;
    handle->map = map;
    handle->destination = destination;
    handle->callback = callback;
    handle->user = user;
    return VELLUM_STATUS_OK;
}

VELLUM_API size_t vellum_curl_array_write_callback(const void *data, size_t size, size_t count,
                                                   vellum_curl_array_parse *handle) {
    if (!handle || !handle->stream) return 0;
    size_t len = size * count;
    if (!data && len) return 0;
    vellum_status status = vellum_array_stream_push(handle->stream, handle->map, handle->destination, data, len,
                                                    handle->callback, handle->user, &handle->error);
    return status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED ? len : 0;
}

VELLUM_API vellum_status vellum_curl_array_parse_finish(vellum_curl_array_parse *handle) {
    if (!handle || !handle->stream) return VELLUM_STATUS_INVALID_ARGUMENT;
    return vellum_array_stream_finish(handle->stream, handle->map, handle->destination, handle->callback, handle->user,
                                      &handle->error);
}

VELLUM_API void vellum_curl_array_parse_cleanup(vellum_curl_array_parse *handle) {
    if (!handle) return;
    vellum_array_stream_close(handle->stream);
    handle->stream = nullptr;
}

VELLUM_API vellum_status vellum_curl_string_array_parse_init(vellum_curl_string_array_parse *handle, const char *path,
                                                             const vellum_parse_options *options,
                                                             const vellum_string_chunk_handler *handler, void *user) {
    if (!handle) return VELLUM_STATUS_INVALID_ARGUMENT;
    std::memset(handle, 0, sizeof *handle);
    if (!handler || !handler->chunk) return argument_error(&handle->error, "string chunk handler is required");
    handle->handler = *handler;
    handle->user = user;
    handle->stream = vellum_array_stream_open_push(path, options, &handle->error);
    if (!handle->stream) return handle->error.code;
    return VELLUM_STATUS_OK;
}

VELLUM_API size_t vellum_curl_string_array_write_callback(const void *data, size_t size, size_t count,
                                                          vellum_curl_string_array_parse *handle) {
    if (!handle || !handle->stream) return 0;
    size_t len = size * count;
    if (!data && len) return 0;
    vellum_status status =
        vellum_array_stream_push_string(handle->stream, data, len, &handle->handler, handle->user, &handle->error);
    return status == VELLUM_STATUS_OK ? len : 0;
}

VELLUM_API vellum_status vellum_curl_string_array_parse_finish(vellum_curl_string_array_parse *handle) {
    if (!handle || !handle->stream) return VELLUM_STATUS_INVALID_ARGUMENT;
    return vellum_array_stream_finish_string(handle->stream, &handle->handler, handle->user, &handle->error);
}

VELLUM_API void vellum_curl_string_array_parse_cleanup(vellum_curl_string_array_parse *handle) {
    if (!handle) return;
    vellum_array_stream_close(handle->stream);
    handle->stream = nullptr;
}

VELLUM_API vellum_status vellum_curl_string_items_parse_init(vellum_curl_string_items_parse *handle, const char *path,
                                                             const vellum_parse_options *options,
                                                             vellum_string_item_fn callback, void *user) {
    if (!handle) return VELLUM_STATUS_INVALID_ARGUMENT;
    std::memset(handle, 0, sizeof *handle);
    if (!callback) return argument_error(&handle->error, "string item callback is required");
    handle->callback = callback;
    handle->user = user;
    handle->stream = vellum_array_stream_open_push(path, options, &handle->error);
    if (!handle->stream) return handle->error.code;
    return VELLUM_STATUS_OK;
}

VELLUM_API size_t vellum_curl_string_items_write_callback(const void *data, size_t size, size_t count,
                                                          vellum_curl_string_items_parse *handle) {
    if (!handle || !handle->stream) return 0;
    size_t len = size * count;
    if (!data && len) return 0;
    vellum_status status =
        vellum_array_stream_push_string_items(handle->stream, data, len, handle->callback, handle->user, &handle->error);
    return status == VELLUM_STATUS_OK ? len : 0;
}

VELLUM_API vellum_status vellum_curl_string_items_parse_finish(vellum_curl_string_items_parse *handle) {
    if (!handle || !handle->stream) return VELLUM_STATUS_INVALID_ARGUMENT;
    return vellum_array_stream_finish_string_items(handle->stream, handle->callback, handle->user, &handle->error);
}

VELLUM_API void vellum_curl_string_items_parse_cleanup(vellum_curl_string_items_parse *handle) {
    if (!handle) return;
    vellum_array_stream_close(handle->stream);
    handle->stream = nullptr;
}

}  // extern "C"
