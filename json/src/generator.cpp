// The pull generator: the JSON text of one mapped record, produced step by step into buffers
// of the caller's size. A stack of frames walks the record; every step queues at most one
// pending piece, which the read loop copies out before the next step runs.
#include "core.h"
#include "json_value.h"
#include "serializer.h"
#include "spool.h"

#include <memory>
#include <optional>
#include <string_view>

namespace vd = vellum::detail;

namespace vellum::detail {
namespace {

constexpr size_t kChunkBytes = kSpoolChunkBytes;
constexpr size_t kScratchBytes = 128;
constexpr size_t kInitialFrames = 16;
constexpr size_t kMaxFillPiece = kIndentPieceSpaces;
constexpr vellum_map kEmptyMap = {"", 0, nullptr, 0};

enum class FrameKind : uint8_t {
    Object,
    String,
    StringArray,
    I64Array,
    U64Array,
    F64Array,
    BoolArray,
    ObjectArray,
    SourceText,
    SourceBase64,
    SpooledText,
    SpooledBase64,
    JsonValue,
};

// One open value. Streamed frames (strings, sources, spools, raw values) are leaves: they never
// push, so at most one of them exists at a time and their bulk data lives in the state.
struct Frame {
    FrameKind kind;
    uint8_t phase;
    size_t depth;
    size_t index;          // field index (objects) or element index (arrays)
    size_t indent_left;    // spaces still to queue for the current line
    size_t emitted;        // members written so far (objects)
    const void *object;    // map, array record, object array record, source, spooled, JSON value
    const void *base;      // record base (objects); cursor (strings)
    const char *end;       // end of the string (strings)
    const vellum_field *field; // object arrays: the descriptor (element map and size)
};

enum class PendingKind : uint8_t { None, Bytes, Fill };

// The one slot through which all output passes.
struct Pending {
    PendingKind kind;
    const char *data;
    size_t length;
    size_t delivered;
    char fill;
};

// Bookkeeping of the streamed frame on top of the stack (source or spooled value).
struct Stream {
    size_t fill;               // bytes in the chunk
    size_t pos;                // next byte of the chunk to emit
    bool end;                  // the input has been read completely
    bool opened;               // source cursor opened
    bool finishing;            // base64: the padded last group has been queued
    Base64Encoder base64;      // carries up to two bytes between pieces
    size_t spool_pos;          // private read position in a spooled value
};

// The re-emitter of the raw JSON value frame on top of the stack: the value's input, the
// scanner, and the transcoder's layout writing into the state's chunk. Output that does not fit
// the chunk (pretty indentation of a piece, a number that ends in it) waits in the overflow.
struct Reemitter {
    bool active = false;
    bool done = false;                       // scanned to the end and flushed
    size_t frame_index = 0;
    const vellum_json_value *value = nullptr;
    vellum_allocator allocator{};            // the value's: scanner stack, number, overflow
    vellum_error error{};                    // the scan's own record, copied out on failure
    JsonValueInput input;
    ValueScanner scanner;
    std::optional<Transcoder> layout;
    const unsigned char *piece = nullptr;    // input piece being fed
    size_t piece_len = 0;
    size_t piece_pos = 0;
    bool piece_eof = false;
    size_t chunk_len = 0;                    // re-emitted bytes waiting in the chunk
    char *over = nullptr;
    size_t over_len = 0;
    size_t over_pos = 0;
    size_t over_cap = 0;
};

}  // namespace
}  // namespace vellum::detail

struct vellum_generator_state {
    vellum_allocator allocator;
    vellum_write_options options;
    vd::Frame *frames;
    size_t count;
    size_t capacity;
    vd::Pending pending;
    char scratch[vd::kScratchBytes];
    unsigned char chunk[vd::kChunkBytes];
    vd::Stream stream;
    vd::SourceCursor cursor;   // read cursor of the source frame on top, if any
    vd::Reemitter reemit;      // raw JSON value frame on top, if any
    bool finished;
    vellum_status failed;      // sticky status of a failed read
};

namespace vellum::detail {
namespace {

using State = vellum_generator_state;

// ---- pending output --------------------------------------------------------------------------

void queue_bytes(State &s, const char *data, size_t length) {
    s.pending = Pending{PendingKind::Bytes, data, length, 0, 0};
}
void queue_text(State &s, std::string_view text) { queue_bytes(s, text.data(), text.size()); }
void queue_fill(State &s, char c, size_t count) { s.pending = Pending{PendingKind::Fill, nullptr, count, 0, c}; }

// Copies as much of the pending piece as fits; returns the bytes written.
size_t deliver(State &s, unsigned char *out, size_t room) {
    Pending &p = s.pending;
    if (p.kind == PendingKind::None || room == 0) return 0;
    size_t n = p.length - p.delivered;
    if (n > room) n = room;
    if (p.kind == PendingKind::Bytes) {
        std::memcpy(out, p.data + p.delivered, n);
    } else {
        std::memset(out, p.fill, n);
    }
    p.delivered += n;
    if (p.delivered == p.length) p = Pending{};
    return n;
}

// ---- frame stack -----------------------------------------------------------------------------

// Pushes a zeroed frame; returns NULL (error recorded) when the stack cannot grow.
Frame *push(State &s, vellum_error *error, FrameKind kind, size_t depth) {
    if (s.count == s.capacity) {
        size_t grown = s.capacity * 2;
        if (grown < s.capacity || grown > SIZE_MAX / sizeof(Frame)) grown = 0;
        void *frames =
            grown ? raw_realloc(s.allocator, s.frames, s.capacity * sizeof(Frame), grown * sizeof(Frame)) : nullptr;
        if (!frames) {
            set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to grow generator frame stack");
            return nullptr;
        }
        s.frames = static_cast<Frame *>(frames);
        s.capacity = grown;
    }
    Frame *frame = &s.frames[s.count++];
    std::memset(frame, 0, sizeof *frame);
    frame->kind = kind;
    frame->depth = depth;
    return frame;
}

void pop(State &s) { s.count--; }

// A streamed frame starts with an empty chunk and a closed cursor; only the frame on top of
// the stack ever streams, so the chunk belongs to it.
void begin_stream(State &s) {
    s.cursor.close();
    s.stream = Stream{};
}

// ---- values ----------------------------------------------------------------------------------

vellum_status push_string(State &s, vellum_error *error, const char *text, size_t length, size_t depth) {
    Frame *frame = push(s, error, FrameKind::String, depth);
    if (!frame) return VELLUM_STATUS_ALLOCATION_FAILED;
    frame->base = text;
    frame->end = text + length;
    return VELLUM_STATUS_OK;
}

vellum_status push_object(State &s, vellum_error *error, const vellum_map *map, const void *record, size_t depth) {
    Frame *frame = push(s, error, FrameKind::Object, depth);
    if (!frame) return VELLUM_STATUS_ALLOCATION_FAILED;
    frame->object = map;
    frame->base = record;
    return VELLUM_STATUS_OK;
}

// The same message for fields and array elements: "non-finite double cannot be serialized".
vellum_status queue_f64(State &s, vellum_error *error, double value) {
    size_t n = 0;
    vellum_status status = format_f64(value, s.scratch, &n, false, error);
    if (status != VELLUM_STATUS_OK) return status;
    queue_bytes(s, s.scratch, n);
    return VELLUM_STATUS_OK;
}

// Queues a scalar or pushes the frame of the value of `field` in `record`, at `depth`.
vellum_status emit_value(State &s, vellum_error *error, const vellum_field &field, const void *record, size_t depth) {
    const void *member = member_at<void>(record, field.offset);
    switch (field.kind) {
    case VELLUM_KIND_STRING: {
        if (field.storage == VELLUM_STORAGE_FIXED) {
            const char *text = static_cast<const char *>(member);
            return push_string(s, error, text, strnlen(text, field.capacity), depth);
        }
        const char *text = *static_cast<const char *const *>(member);
        if (!text) {
            queue_text(s, "null");
            return VELLUM_STATUS_OK;
        }
        return push_string(s, error, text, std::strlen(text), depth);
    }
    case VELLUM_KIND_SPOOLED_TEXT:
    case VELLUM_KIND_SPOOLED_BYTES: {
        Frame *frame = push(s, error,
                            field.kind == VELLUM_KIND_SPOOLED_TEXT ? FrameKind::SpooledText : FrameKind::SpooledBase64,
                            depth);
        if (!frame) return VELLUM_STATUS_ALLOCATION_FAILED;
        frame->object = member;
        begin_stream(s);
        return VELLUM_STATUS_OK;
    }
    case VELLUM_KIND_SOURCE_TEXT:
    case VELLUM_KIND_SOURCE_BYTES: {
        const auto *source = static_cast<const vellum_source *>(member);
        if (source->kind == VELLUM_SOURCE_NONE) {
            queue_text(s, "null");
            return VELLUM_STATUS_OK;
        }
        Frame *frame = push(s, error,
                            field.kind == VELLUM_KIND_SOURCE_TEXT ? FrameKind::SourceText : FrameKind::SourceBase64,
                            depth);
        if (!frame) return VELLUM_STATUS_ALLOCATION_FAILED;
        frame->object = source;
        begin_stream(s);
        return VELLUM_STATUS_OK;
    }
    case VELLUM_KIND_JSON_VALUE: {
        Frame *frame = push(s, error, FrameKind::JsonValue, depth);
        if (!frame) return VELLUM_STATUS_ALLOCATION_FAILED;
        frame->object = member;
        return VELLUM_STATUS_OK;
    }
    case VELLUM_KIND_I64:
        queue_bytes(s, s.scratch, format_i64(*static_cast<const int64_t *>(member), s.scratch));
        return VELLUM_STATUS_OK;
    case VELLUM_KIND_U64:
        queue_bytes(s, s.scratch, format_u64(*static_cast<const uint64_t *>(member), s.scratch));
        return VELLUM_STATUS_OK;
    case VELLUM_KIND_F64: return queue_f64(s, error, *static_cast<const double *>(member));
    case VELLUM_KIND_BOOL:
        queue_text(s, *static_cast<const int32_t *>(member) ? "true" : "false");
        return VELLUM_STATUS_OK;
    case VELLUM_KIND_OBJECT: return push_object(s, error, field.map, member, depth);
    case VELLUM_KIND_STRING_ARRAY:
    case VELLUM_KIND_I64_ARRAY:
    case VELLUM_KIND_U64_ARRAY:
    case VELLUM_KIND_F64_ARRAY:
    case VELLUM_KIND_BOOL_ARRAY: {
        static constexpr FrameKind kinds[] = {FrameKind::StringArray, FrameKind::I64Array, FrameKind::U64Array,
                                              FrameKind::F64Array, FrameKind::BoolArray};
        Frame *frame = push(s, error, kinds[field.kind - VELLUM_KIND_STRING_ARRAY], depth);
        if (!frame) return VELLUM_STATUS_ALLOCATION_FAILED;
        frame->object = member;
        return VELLUM_STATUS_OK;
    }
    case VELLUM_KIND_OBJECT_ARRAY: {
        Frame *frame = push(s, error, FrameKind::ObjectArray, depth);
        if (!frame) return VELLUM_STATUS_ALLOCATION_FAILED;
        frame->object = member;
        frame->field = &field;
        return VELLUM_STATUS_OK;
    }
    case VELLUM_KIND_STRING_ARRAY_STREAM:
        return set_error(error, VELLUM_STATUS_TYPE_MISMATCH, "field '%s' is parse-only and cannot be serialized",
                         field_label(&field));
    }
    return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "unsupported field kind");
}

// ---- containers ------------------------------------------------------------------------------

bool pretty(const State &s) { return s.options.pretty != 0; }

// Newline, then the indentation as space pieces of at most 64.
void queue_newline(State &s, Frame &frame, size_t indent) {
    frame.indent_left = indent;
    queue_text(s, "\n");
}
// Returns true once the indentation is used up.
bool queue_spaces(State &s, Frame &frame) {
    if (frame.indent_left == 0) return true;
    size_t n = frame.indent_left < kMaxFillPiece ? frame.indent_left : kMaxFillPiece;
    frame.indent_left -= n;
    queue_fill(s, ' ', n);
    return false;
}

// Spaces of a line at `level` (2 per level): members at depth + 1, closing brackets at depth.
vellum_status indent_of(vellum_error *error, size_t level, size_t *out) {
    if (!indent_spaces(level, out)) return set_error(error, VELLUM_STATUS_OVERFLOW, "%s", kIndentTooDeepMessage);
    return VELLUM_STATUS_OK;
}

vellum_status step_object(State &s, vellum_error *error, Frame &frame) {
    const auto *map = static_cast<const vellum_map *>(frame.object);
    size_t field_count = map->fields ? map->field_count : 0;
    switch (frame.phase) {
    case 0:
        queue_text(s, "{");
        frame.phase = 1;
        return VELLUM_STATUS_OK;
    case 1:
        while (frame.index < field_count && field_omitted(map->fields[frame.index], frame.base)) frame.index++;
        if (frame.index < field_count) {
            frame.phase = frame.emitted > 0 ? 2 : pretty(s) ? 3 : 5;
        } else {
            frame.phase = pretty(s) && frame.emitted > 0 ? 9 : 11;
        }
        return VELLUM_STATUS_OK;
    case 2:
        queue_text(s, ",");
        frame.phase = pretty(s) ? 3 : 5;
        return VELLUM_STATUS_OK;
    case 3: {
        size_t indent = 0;
        vellum_status status = indent_of(error, frame.depth + 1, &indent);
        if (status != VELLUM_STATUS_OK) return status;
        queue_newline(s, frame, indent);
        frame.phase = 4;
        return VELLUM_STATUS_OK;
    }
    case 4:
        if (queue_spaces(s, frame)) frame.phase = 5;
        return VELLUM_STATUS_OK;
    case 5: {
        const vellum_field &field = map->fields[frame.index];
        frame.phase = 6;
        if (!field.name) return push_string(s, error, "", 0, frame.depth + 1);
        return push_string(s, error, field.name, field.name_len, frame.depth + 1);
    }
    case 6:
        queue_text(s, pretty(s) ? ": " : ":");
        frame.phase = 7;
        return VELLUM_STATUS_OK;
    case 7:
        frame.phase = 8;
        return emit_value(s, error, map->fields[frame.index], frame.base, frame.depth + 1);
    case 8:
        frame.index++;
        frame.emitted++;
        frame.phase = 1;
        return VELLUM_STATUS_OK;
    case 9: {
        size_t indent = 0;
        vellum_status status = indent_of(error, frame.depth, &indent);
        if (status != VELLUM_STATUS_OK) return status;
        queue_newline(s, frame, indent);
        frame.phase = 10;
        return VELLUM_STATUS_OK;
    }
    case 10:
        if (queue_spaces(s, frame)) frame.phase = 11;
        return VELLUM_STATUS_OK;
    case 11:
        pop(s);
        queue_text(s, "}");
        return VELLUM_STATUS_OK;
    default: return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "invalid generator map phase");
    }
}

// Elements of arrays: `frame` is the array frame, its index the element to write.
vellum_status emit_element(State &s, vellum_error *error, Frame &frame) {
    size_t depth = frame.depth + 1;
    size_t i = frame.index;
    if (frame.kind == FrameKind::ObjectArray) {
        // Without an element map every element is {} and nothing is read from the items.
        const vellum_map *map = frame.field->map;
        if (!map) return push_object(s, error, &kEmptyMap, frame.object, depth);
        const auto *array = static_cast<const vellum_object_array *>(frame.object);
        const auto *items = static_cast<const unsigned char *>(array->items);
        return push_object(s, error, map, items + i * frame.field->elem_size, depth);
    }
    const auto *array = static_cast<const vellum_array *>(frame.object);
    switch (frame.kind) {
    case FrameKind::StringArray: {
        const char *text = static_cast<const char *const *>(array->items)[i];
        if (!text) text = "";
        return push_string(s, error, text, std::strlen(text), depth);
    }
    case FrameKind::I64Array:
        queue_bytes(s, s.scratch, format_i64(static_cast<const int64_t *>(array->items)[i], s.scratch));
        return VELLUM_STATUS_OK;
    case FrameKind::U64Array:
        queue_bytes(s, s.scratch, format_u64(static_cast<const uint64_t *>(array->items)[i], s.scratch));
        return VELLUM_STATUS_OK;
    case FrameKind::F64Array: return queue_f64(s, error, static_cast<const double *>(array->items)[i]);
    case FrameKind::BoolArray:
        queue_text(s, static_cast<const int32_t *>(array->items)[i] ? "true" : "false");
        return VELLUM_STATUS_OK;
    default: return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "invalid generator array phase");
    }
}

// An array without an item buffer is written as empty.
size_t element_count(const Frame &frame) {
    if (frame.kind == FrameKind::ObjectArray) {
        const auto *array = static_cast<const vellum_object_array *>(frame.object);
        return array->items ? array->count : 0;
    }
    const auto *array = static_cast<const vellum_array *>(frame.object);
    return array->items ? array->count : 0;
}

vellum_status step_array(State &s, vellum_error *error, Frame &frame) {
    size_t count = element_count(frame);
    switch (frame.phase) {
    case 0:
        queue_text(s, "[");
        frame.phase = 1;
        return VELLUM_STATUS_OK;
    case 1:
        if (frame.index < count) {
            frame.phase = frame.index > 0 ? 2 : pretty(s) ? 3 : 5;
        } else {
            frame.phase = pretty(s) && count > 0 ? 7 : 9;
        }
        return VELLUM_STATUS_OK;
    case 2:
        queue_text(s, ",");
        frame.phase = pretty(s) ? 3 : 5;
        return VELLUM_STATUS_OK;
    case 3: {
        size_t indent = 0;
        vellum_status status = indent_of(error, frame.depth + 1, &indent);
        if (status != VELLUM_STATUS_OK) return status;
        queue_newline(s, frame, indent);
        frame.phase = 4;
        return VELLUM_STATUS_OK;
    }
    case 4:
        if (queue_spaces(s, frame)) frame.phase = 5;
        return VELLUM_STATUS_OK;
    case 5:
        frame.phase = 6;
        return emit_element(s, error, frame);
    case 6:
        frame.index++;
        frame.phase = 1;
        return VELLUM_STATUS_OK;
    case 7: {
        size_t indent = 0;
        vellum_status status = indent_of(error, frame.depth, &indent);
        if (status != VELLUM_STATUS_OK) return status;
        queue_newline(s, frame, indent);
        frame.phase = 8;
        return VELLUM_STATUS_OK;
    }
    case 8:
        if (queue_spaces(s, frame)) frame.phase = 9;
        return VELLUM_STATUS_OK;
    case 9:
        pop(s);
        queue_text(s, "]");
        return VELLUM_STATUS_OK;
    default:
        return set_error(error, VELLUM_STATUS_INTERNAL_ERROR,
                         frame.kind == FrameKind::ObjectArray ? "invalid generator object-array phase"
                                                              : "invalid generator array phase");
    }
}

// ---- strings ---------------------------------------------------------------------------------

// Queues the unescaped run at [p, end) or, when it starts with a byte that needs an escape,
// that escape. Returns the bytes consumed (at least 1 when p < end).
size_t queue_escaped(State &s, const char *p, const char *end) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(p);
    size_t run = escape_run(bytes, static_cast<size_t>(end - p));
    if (run > 0) {
        queue_bytes(s, p, run);
        return run;
    }
    queue_bytes(s, s.scratch, escape_sequence(bytes[0], s.scratch));
    return 1;
}

vellum_status step_string(State &s, vellum_error *error, Frame &frame) {
    switch (frame.phase) {
    case 0:
        queue_text(s, "\"");
        frame.phase = 1;
        return VELLUM_STATUS_OK;
    case 1: {
        const char *p = static_cast<const char *>(frame.base);
        if (p == frame.end) {
            frame.phase = 2;
            return VELLUM_STATUS_OK;
        }
        frame.base = p + queue_escaped(s, p, frame.end);
        return VELLUM_STATUS_OK;
    }
    case 2:
        pop(s);
        queue_text(s, "\"");
        return VELLUM_STATUS_OK;
    default: return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "invalid generator string phase");
    }
}

// ---- streamed text and base64 ----------------------------------------------------------------

bool is_spooled(const Frame &frame) {
    return frame.kind == FrameKind::SpooledText || frame.kind == FrameKind::SpooledBase64;
}

// Refills the chunk from the frame's spool or source.
vellum_status refill(State &s, vellum_error *error, const Frame &frame) {
    Stream &st = s.stream;
    vellum_read_result result;
    if (is_spooled(frame)) {
        result = spooled_read_at(*static_cast<const vellum_spooled *>(frame.object), st.spool_pos, s.chunk, kChunkBytes);
        if (result.error)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, result.error, "failed to read spooled data");
        st.spool_pos += result.bytes;
        if (result.bytes == 0) result.eof = 1;  // nothing more can come, as the serializer sees it
    } else {
        if (!st.opened) {
            vellum_status status = s.cursor.open(*static_cast<const vellum_source *>(frame.object), error);
            if (status != VELLUM_STATUS_OK) return status;
            st.opened = true;
        }
        result = s.cursor.read(s.chunk, kChunkBytes);
        if (result.error)
            return set_error_errno(error, VELLUM_STATUS_IO_ERROR, result.error, "failed to read source data");
    }
    st.fill = result.bytes;
    st.pos = 0;
    if (result.eof) st.end = true;
    return VELLUM_STATUS_OK;
}

// Encodes the next chunk bytes into the scratch: up to 32 quartets per piece, which gives the
// same text as one piece per 3-byte group.
constexpr size_t kBase64FeedBytes = 96;
static_assert(Base64Encoder::max_output(kBase64FeedBytes) <= kScratchBytes, "base64 piece fits the scratch");

void queue_base64(State &s) {
    Stream &st = s.stream;
    size_t n = st.fill - st.pos;
    if (n > kBase64FeedBytes) n = kBase64FeedBytes;
    size_t out = st.base64.feed(s.chunk + st.pos, n, s.scratch);
    st.pos += n;
    if (out) queue_bytes(s, s.scratch, out);
}

vellum_status step_stream(State &s, vellum_error *error, Frame &frame) {
    Stream &st = s.stream;
    bool base64 = frame.kind == FrameKind::SourceBase64 || frame.kind == FrameKind::SpooledBase64;
    switch (frame.phase) {
    case 0:
        queue_text(s, "\"");
        frame.phase = 1;
        return VELLUM_STATUS_OK;
    case 1:
        if (st.pos == st.fill) {
            if (!st.end) return refill(s, error, frame);
            if (base64 && !st.finishing) {
                st.finishing = true;
                size_t out = st.base64.finish(s.scratch);
                if (out) queue_bytes(s, s.scratch, out);
                return VELLUM_STATUS_OK;
            }
            frame.phase = 2;
            return VELLUM_STATUS_OK;
        }
        if (base64) {
            queue_base64(s);
        } else {
            const char *p = reinterpret_cast<const char *>(s.chunk) + st.pos;
            st.pos += queue_escaped(s, p, reinterpret_cast<const char *>(s.chunk) + st.fill);
        }
        return VELLUM_STATUS_OK;
    case 2:
        s.cursor.close();
        pop(s);
        queue_text(s, "\"");
        return VELLUM_STATUS_OK;
    default: return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "invalid generator stream phase");
    }
}

// ---- raw JSON values -------------------------------------------------------------------------

constexpr const char kReemitOneValueMessage[] = "JSON value must contain exactly one value";

// Closes the value's input, frees the scan and the overflow, and forgets the value.
void reemit_reset(State &s) {
    Reemitter &r = s.reemit;
    r.input.close();
    r.scanner.release();
    r.layout.reset();
    raw_free(r.allocator, r.over, r.over_cap);
    r.over = nullptr;
    r.over_len = r.over_pos = r.over_cap = 0;
    r.piece = nullptr;
    r.piece_len = r.piece_pos = 0;
    r.piece_eof = false;
    r.chunk_len = 0;
    r.value = nullptr;
    r.active = r.done = false;
}

// The transcoder's sink: the chunk first, then the overflow (only while the chunk is full).
vellum_status reemit_sink(void *user, const void *data, size_t length, vellum_error *error) {
    State &s = *static_cast<State *>(user);
    Reemitter &r = s.reemit;
    const char *p = static_cast<const char *>(data);
    if (r.over_len == 0) {
        size_t room = kChunkBytes - r.chunk_len;
        size_t n = length < room ? length : room;
        std::memcpy(s.chunk + r.chunk_len, p, n);
        r.chunk_len += n;
        p += n;
        length -= n;
    }
    if (length == 0) return VELLUM_STATUS_OK;
    if (length > r.over_cap - r.over_len) {
        size_t needed = r.over_len + length;
        size_t grown = r.over_cap ? r.over_cap : kChunkBytes;
        while (grown < needed && grown <= SIZE_MAX / 2) grown *= 2;
        void *block = needed < r.over_len || grown < needed ? nullptr
                                                            : raw_realloc(r.allocator, r.over, r.over_cap, grown);
        if (!block) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to grow JSON value output");
        r.over = static_cast<char *>(block);
        r.over_cap = grown;
    }
    std::memcpy(r.over + r.over_len, p, length);
    r.over_len += length;
    return VELLUM_STATUS_OK;
}

// Takes the value's allocator and limits, the generator's layout and the frame's depth, and
// opens the value's source from its first byte.
vellum_status reemit_prepare(State &s, const Frame &frame, const vellum_json_value &value) {
    reemit_reset(s);
    Reemitter &r = s.reemit;
    vellum_error_init(&r.error);
    r.allocator = resolve_allocator(&value.allocator);
    r.active = true;
    r.frame_index = s.count - 1;
    r.value = &value;
    r.layout.emplace(reemit_sink, &s, pretty(s), frame.depth, &r.error);
    ScanLimits limits;
    limits.max_total_bytes = value.limits.max_total_bytes;
    r.scanner.setup(&*r.layout, limits, r.allocator, &r.error, false, kReemitOneValueMessage);
    return r.input.open_value(value, &r.error);
}

// Input bytes to feed at once so the layout of them fits `room`: compact text is never longer
// than its input; a pretty byte may open a line at the current depth (2 spaces per level).
size_t reemit_feed_size(const State &s, size_t room) {
    const Reemitter &r = s.reemit;
    if (!pretty(s)) return room ? room : 1;
    size_t level = r.layout->open_depth();
    size_t depth = s.frames[r.frame_index].depth;
    constexpr size_t kLineSlack = 16;  // newline, separator, bracket, a pending escape
    size_t per_byte = level > (SIZE_MAX - kLineSlack) / 2 - depth ? SIZE_MAX : 2 * (depth + level) + kLineSlack;
    size_t n = room / per_byte;
    // Each byte may also open a level, so pieces stay short enough for that growth to be small.
    constexpr size_t kMaxPrettyFeed = 64;
    if (n > kMaxPrettyFeed) n = kMaxPrettyFeed;
    return n ? n : 1;
}

// Feeds input until the chunk is full or the value has ended.
vellum_status reemit_fill(State &s) {
    Reemitter &r = s.reemit;
    while (r.chunk_len < kChunkBytes && r.over_len == 0) {
        vellum_status status;
        if (r.piece_pos == r.piece_len) {
            if (r.piece_eof) {
                status = r.scanner.finish();
                if (status == VELLUM_STATUS_OK) status = r.layout->flush();
                if (status == VELLUM_STATUS_OK) r.done = true;
                return status;
            }
            bool eof = false;
            status = r.input.next(&r.piece, &r.piece_len, &eof, &r.error);
            r.piece_pos = 0;
            r.piece_eof = eof;
            if (status != VELLUM_STATUS_OK) return status;
            continue;
        }
        size_t n = reemit_feed_size(s, kChunkBytes - r.chunk_len);
        if (n > r.piece_len - r.piece_pos) n = r.piece_len - r.piece_pos;
        status = r.scanner.feed(r.piece + r.piece_pos, n);
        r.piece_pos += n;
        if (status == VELLUM_STATUS_OK) status = r.layout->flush();
        if (status != VELLUM_STATUS_OK) return status;
    }
    return VELLUM_STATUS_OK;
}

// The scan's failure becomes the generator's; separator errors take the re-emitter's wording.
vellum_status reemit_fail(State &s, vellum_error *error, vellum_status status) {
    Reemitter &r = s.reemit;
    static constexpr struct {
        const char *scanner;
        const char *reemitter;
    } kWording[] = {{"expected ',' in object", "expected ',' or '}' in object"},
                    {"expected ',' in array", "expected ',' or ']' in array"}};
    for (const auto &w : kWording) {
        if (std::strcmp(r.error.message, w.scanner) == 0) set_error(&r.error, r.error.code, "%s", w.reemitter);
    }
    if (r.error.code == VELLUM_STATUS_OK) r.error.code = status;
    copy_error(error, r.error);
    reemit_reset(s);
    return status;
}

// One step: queue the next piece of earlier output, or re-emit more of the value into the
// chunk and queue it; once everything is out, reset the re-emitter and pop the frame.
vellum_status step_json_value(State &s, vellum_error *error, Frame &frame) {
    const auto *value = static_cast<const vellum_json_value *>(frame.object);
    if (value->kind == VELLUM_JSON_VALUE_NONE) {
        pop(s);
        queue_text(s, "null");
        return VELLUM_STATUS_OK;
    }
    Reemitter &r = s.reemit;
    if (!r.active || r.frame_index != s.count - 1 || r.value != value) {
        vellum_status status = reemit_prepare(s, frame, *value);
        if (status != VELLUM_STATUS_OK) return reemit_fail(s, error, status);
    }
    if (r.over_pos < r.over_len) {
        size_t n = r.over_len - r.over_pos;
        if (n > kChunkBytes) n = kChunkBytes;
        queue_bytes(s, r.over + r.over_pos, n);
        r.over_pos += n;
        return VELLUM_STATUS_OK;
    }
    r.over_len = r.over_pos = 0;
    if (r.done) {
        reemit_reset(s);
        pop(s);
        return VELLUM_STATUS_OK;
    }
    vellum_status status = reemit_fill(s);
    if (status != VELLUM_STATUS_OK) return reemit_fail(s, error, status);
    if (r.chunk_len) {
        queue_bytes(s, reinterpret_cast<const char *>(s.chunk), r.chunk_len);
        r.chunk_len = 0;
    }
    return VELLUM_STATUS_OK;
}

// ---- the read loop ---------------------------------------------------------------------------

vellum_status step(State &s, vellum_error *error) {
    Frame &frame = s.frames[s.count - 1];
    switch (frame.kind) {
    case FrameKind::Object: return step_object(s, error, frame);
    case FrameKind::String: return step_string(s, error, frame);
    case FrameKind::StringArray:
    case FrameKind::I64Array:
    case FrameKind::U64Array:
    case FrameKind::F64Array:
    case FrameKind::BoolArray:
    case FrameKind::ObjectArray: return step_array(s, error, frame);
    case FrameKind::SourceText:
    case FrameKind::SourceBase64:
    case FrameKind::SpooledText:
    case FrameKind::SpooledBase64: return step_stream(s, error, frame);
    case FrameKind::JsonValue: return step_json_value(s, error, frame);
    }
    return set_error(error, VELLUM_STATUS_INTERNAL_ERROR, "invalid generator frame kind");
}

bool document_done(const State &s) {
    return (s.finished || s.count == 0) && s.pending.kind == PendingKind::None;
}

void destroy_state(vellum_generator_state *s) {
    vellum_allocator allocator = s->allocator;
    reemit_reset(*s);
    std::destroy_at(s);
    raw_free(allocator, s->frames, s->capacity * sizeof(Frame));
    raw_free(allocator, s, sizeof *s);
}

// Counts the serializer's output for vellum_generator_measure.
vellum_status counting_sink(void *user, const void *, size_t length, vellum_error *error) {
    auto *total = static_cast<size_t *>(user);
    if (length > SIZE_MAX - *total)
        return set_error(error, VELLUM_STATUS_OVERFLOW, "serialized output is too large to measure");
    *total += length;
    return VELLUM_STATUS_OK;
}

}  // namespace
}  // namespace vellum::detail

using namespace vellum::detail;

extern "C" {

VELLUM_API vellum_status vellum_generator_init(vellum_generator *generator, const vellum_map *map,
                                               const void *record, const vellum_write_options *options) {
    if (!generator) return VELLUM_STATUS_INVALID_ARGUMENT;
    std::memset(generator, 0, sizeof *generator);
    vellum_error *error = &generator->error;
    if (!map || !record)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "map and source are required for generator init");
    if (!map_layout_valid(map)) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", kInvalidLayoutMessage);
    vellum_write_options opts = options ? *options : vellum_default_write_options();
    if (allocator_is_partial(opts.allocator))
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", kPartialAllocatorMessage);
    vellum_allocator allocator = resolve_allocator(opts.allocator);

    auto *s = static_cast<vellum_generator_state *>(raw_alloc(allocator, sizeof(vellum_generator_state)));
    if (!s) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate generator state");
    std::construct_at(s);
    s->allocator = allocator;
    s->options = opts;
    s->frames = static_cast<Frame *>(raw_alloc(allocator, kInitialFrames * sizeof(Frame)));
    if (!s->frames) {
        destroy_state(s);
        return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate generator state");
    }
    s->capacity = kInitialFrames;
    push_object(*s, error, map, record, 0);
    generator->state = s;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_generator_read(vellum_generator *generator, void *buffer, size_t capacity,
                                               size_t *out_len, int *out_eof) {
    if (out_len) *out_len = 0;
    if (out_eof) *out_eof = 0;
    if (!generator || !generator->state) return VELLUM_STATUS_INVALID_ARGUMENT;
    if (!buffer && capacity != 0)
        return set_error(&generator->error, VELLUM_STATUS_INVALID_ARGUMENT, "generator read buffer is required");
    vellum_generator_state &s = *generator->state;
    if (s.failed != VELLUM_STATUS_OK) return s.failed;

    auto *out = static_cast<unsigned char *>(buffer);
    size_t written = 0;
    for (;;) {
        written += deliver(s, out + written, capacity - written);
        if (written == capacity) break;
        if (s.count == 0) {
            s.finished = true;
            break;
        }
        vellum_status status = step(s, &generator->error);
        if (status != VELLUM_STATUS_OK) {
            s.failed = status;
            generator->eof = 0;
            if (out_len) *out_len = written;
            return status;
        }
    }
    int eof = document_done(s) ? 1 : 0;
    generator->eof = eof;
    if (out_len) *out_len = written;
    if (out_eof) *out_eof = eof;
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_generator_measure(const vellum_map *map, const void *record, size_t *out_len,
                                                  const vellum_write_options *options, vellum_error *error) {
    if (!map || !record || !out_len)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "map, source, and output length are required");
    vellum_error_init(error);
    *out_len = 0;
    if (!map_layout_valid(map)) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", kInvalidLayoutMessage);
    if (!record_is_rewindable(map, record))
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "cannot measure non-rewindable JSON document");
    size_t total = 0;
    vellum_status status = vellum_serialize_sink(map, record, counting_sink, &total, options, error);
    if (status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED) *out_len = total;
    return status;
}

VELLUM_API void vellum_generator_cleanup(vellum_generator *generator) {
    if (!generator) return;
    if (generator->state) destroy_state(generator->state);
    std::memset(generator, 0, sizeof *generator);
}

}  // extern "C"
