// Raw JSON values inside libvellum: reading a value's source, the transcoder that validates and
// re-lays out its text (serializer, write_to_sink, set_buffer), and the capture that the record
// parser drives for VELLUM_KIND_JSON_VALUE fields (sink, visitor and capture modes).
#ifndef VELLUM_JSON_VALUE_H
#define VELLUM_JSON_VALUE_H

#include "core.h"
#include "serializer.h"
#include "visitor.h"

#include <cstdio>

namespace vellum::detail {

// Pieces in which sources are read.
constexpr size_t kJsonValueChunkBytes = 4096;

// ---- writing a value ---------------------------------------------------------------------------

// Writes the value's JSON through sink: "null" for a value without source, else its source
// transcoded, compact or (pretty) laid out as the serializer lays out a value at `depth` (its
// members at depth + 1, the closing bracket at depth). Sources are read from their first byte
// (FILE and descriptor rewound, path opened and closed). A sink status of
// VELLUM_STATUS_TRUNCATED continues and sets error->truncated; any other nonzero status stops
// and is returned unchanged. Errors carry no input position.
vellum_status json_value_write(const vellum_json_value &value, vellum_sink_fn sink, void *user, bool pretty,
                               size_t depth, vellum_error *error);

// 1 when the value can be written again from its start (vellum_json_value_is_rewindable).
bool json_value_rewindable(const vellum_json_value &value);

// ==== the transcoder's handler, shared with the generator's re-emitter =========================
// (moved here unchanged from json_value.cpp, plus open_depth(); see also json_value_write)

#define VELLUM_RETURN_IF(expr)                           \
    do {                                                 \
        vellum_status status_ = (expr);                  \
        if (status_ != VELLUM_STATUS_OK) return status_; \
    } while (0)

// Writes the scanned value compact, or laid out like the serializer (pretty) starting at a
// given depth. Tokens are copied as written (strings with their escapes); output is gathered
// into 4096-byte pieces before each sink call.
class Transcoder final : public ScanHandler {
public:
    // Containers open inside the value (the generator sizes its input pieces by it).
    size_t open_depth() const { return open_; }

    Transcoder(vellum_sink_fn sink, void *user, bool pretty, size_t depth, vellum_error *error)
        : sink_(sink), user_(user), error_(error), pretty_(pretty), base_(depth) {}

    vellum_status flush() {
        if (used_ == 0) return VELLUM_STATUS_OK;
        size_t n = used_;
        used_ = 0;
        return send(out_, n);
    }

    vellum_status object_begin() override { return open('{'); }
    vellum_status object_end() override { return close('}'); }
    vellum_status array_begin() override { return open('['); }
    vellum_status array_end() override { return close(']'); }
    vellum_status text_begin(bool key) override {
        if (key) {
            if (need_comma_) VELLUM_RETURN_IF(put(",", 1));
            if (pretty_) VELLUM_RETURN_IF(indent(base_ + open_));
        } else {
            VELLUM_RETURN_IF(before_value());
        }
        return put("\"", 1);
    }
    vellum_status text(const char *raw, size_t raw_len, const char *, size_t, bool) override {
        return put(raw, raw_len);
    }
    vellum_status text_end(bool key) override {
        if (key) {
            after_key_ = true;
            return pretty_ ? put("\": ", 3) : put("\":", 2);
        }
        need_comma_ = true;
        return put("\"", 1);
    }
    vellum_status number_begin() override { return before_value(); }
    vellum_status number(const char *text, size_t len) override {
        need_comma_ = true;
        return put(text, len);
    }
    vellum_status literal(int which) override {
        VELLUM_RETURN_IF(before_value());
        need_comma_ = true;
        static constexpr const char *kText[] = {"false", "true", "null"};
        static constexpr size_t kLen[] = {5, 4, 4};
        return put(kText[which], kLen[which]);
    }

private:
    vellum_status send(const char *data, size_t n) {
        vellum_status status = sink_(user_, data, n, error_);
        if (status == VELLUM_STATUS_OK) return status;
        if (status == VELLUM_STATUS_TRUNCATED) {
            error_->truncated = 1;
            return VELLUM_STATUS_OK;
        }
        if (error_->code == VELLUM_STATUS_OK) set_error(error_, status, "output sink failed");
        return status;
    }

    vellum_status put(const char *data, size_t n) {
        if (n > sizeof out_ - used_) {
            VELLUM_RETURN_IF(flush());
            if (n >= sizeof out_) return send(data, n);
        }
        std::memcpy(out_ + used_, data, n);
        used_ += n;
        return VELLUM_STATUS_OK;
    }

    vellum_status indent(size_t depth) {
        return write_indent(depth, [this](const char *data, size_t n) { return put(data, n); }, error_);
    }

    // Separator and indentation in front of an array element (a member's value needs none).
    vellum_status before_value() {
        if (after_key_) {
            after_key_ = false;
            return VELLUM_STATUS_OK;
        }
        if (open_ == 0) return VELLUM_STATUS_OK;
        if (need_comma_) VELLUM_RETURN_IF(put(",", 1));
        if (pretty_) return indent(base_ + open_);
        return VELLUM_STATUS_OK;
    }

    vellum_status open(char bracket) {
        VELLUM_RETURN_IF(before_value());
        open_++;
        need_comma_ = false;
        return put(&bracket, 1);
    }

    vellum_status close(char bracket) {
        open_--;
        if (pretty_ && need_comma_) VELLUM_RETURN_IF(indent(base_ + open_));
        need_comma_ = true;
        return put(&bracket, 1);
    }
#undef VELLUM_RETURN_IF

    vellum_sink_fn sink_;
    void *user_;
    vellum_error *error_;
    bool pretty_;
    size_t base_;
    size_t open_ = 0;
    bool need_comma_ = false;
    bool after_key_ = false;
    size_t used_ = 0;
    char out_[kJsonValueChunkBytes];
};

// ---- reading a source ------------------------------------------------------------------------

// Delivers the bytes of one input in pieces: a buffer in place, else reads of up to 4096 bytes.
// Not copyable: it may own a FILE (path sources), closed with the input.
class JsonValueInput {
public:
    JsonValueInput() = default;
    JsonValueInput(const JsonValueInput &) = delete;
    JsonValueInput &operator=(const JsonValueInput &) = delete;
    ~JsonValueInput() { close(); }

    // The source of a value (not of kind none): FILE rewound with its error flag cleared,
    // descriptor rewound with lseek, path opened "rb". Failures: "failed to rewind JSON value
    // FILE*", "failed to rewind JSON value fd", "failed to open JSON value path '%s'" (IO_ERROR,
    // errno), "unsupported JSON value kind" (INTERNAL_ERROR).
    vellum_status open_value(const vellum_json_value &value, vellum_error *error);
    void open_buffer(const void *data, size_t len);
    void open_reader(vellum_reader_fn reader, void *user);
    // Read from the current position; owned: closed with the input.
    void open_file(FILE *file, bool owned);
    void open_fd(int fd);

    // The next piece in *data / *len (possibly empty); *eof once the input is exhausted.
    // Failures: "reader callback failed" (CALLBACK_FAILED, the reader's error in system_errno),
    // "failed to read JSON value stream" and "failed to read JSON value fd" (IO_ERROR, errno).
    vellum_status next(const unsigned char **data, size_t *len, bool *eof, vellum_error *error);
    void close();

private:
    enum Kind { kNone, kBuffer, kReader, kFile, kFd };
    Kind kind_ = kNone;
    const unsigned char *buffer_ = nullptr;
    size_t buffer_len_ = 0;
    vellum_reader_fn reader_ = nullptr;
    void *reader_user_ = nullptr;
    FILE *file_ = nullptr;
    bool owns_file_ = false;
    int fd_ = -1;
    unsigned char chunk_[kJsonValueChunkBytes];
};

// Feeds everything the input delivers to the scanner, then finishes it.
vellum_status scan_input(JsonValueInput &input, ValueScanner &scanner, vellum_error *error);

// ---- the capture driven by the record parser ---------------------------------------------------
//
// Contract for the parser, for each value of a VELLUM_KIND_JSON_VALUE field:
//  1. At the value's first token (a scalar, "{" or "["), call begin(value, &state->error).
//     It checks the configuration ("JSON value handle is required", "JSON value parse requires
//     a configured parse sink, parse visitor, or parse capture", "JSON value field has no
//     configured parse sink or capture mode"; INVALID_ARGUMENT), releases the value's previous
//     source and owned buffers and sets its kind to none.
//  2. Hand over the value's tokens in input order, already validated and decoded by the parser:
//     object_begin/object_end, array_begin/array_end, key_begin + text* + key_end for keys,
//     string_begin + text* + string_end for strings (text: decoded bytes; escape = true when the
//     piece is the decoded form of one escape sequence, false for a run of plain bytes),
//     number(text) with the whole number text, literal(0 false / 1 true / 2 null).
//     Punctuation (":" and ",") and whitespace are not handed over: the capture writes its own.
//  3. The capture ends by itself when the value's top-level scalar or container closes:
//     complete() turns true (the sink has received everything; a capture became the value's
//     buffer source, NUL-terminated). The parser then goes on with the enclosing object.
//  4. Every hook returns 0 or a failure status whose code and message it has already recorded
//     in the error record given to begin() (the position is left to the parser): the value's
//     limits ("JSON value nesting exceeds maximum depth", "JSON number exceeds maximum byte
//     limit", "JSON string exceeds maximum decoded byte limit", "JSON object key exceeds maximum
//     decoded byte limit", "decoded JSON text exceeds limit" for an escape that crosses a
//     limit, "JSON value exceeds maximum total byte limit"; OVERFLOW), "failed to grow captured
//     JSON value" (ALLOCATION_FAILED), or a sink or visitor callback status, passed through.
//     A callback status of VELLUM_STATUS_TRUNCATED continues and sets error->truncated. After a
//     failure the parser stops and calls abandon(); a partial capture stays owned by the value
//     (kind none) and is released by its cleanup.
// Limits apply in every mode. The total counts the bytes of the value's compact text (what a
// sink or capture receives), so it does not depend on the input's whitespace or chunking.
// The record is trivially copyable: the parser embeds it in its state, which it clears with
// memset; begin() sets every member.
struct JsonValueCapture {
    static constexpr size_t kStageBytes = 256;

    vellum_json_value *value;   // NULL while no value is being read
    vellum_error *error;
    vellum_value_limits limits; // the value's, zero members replaced by the defaults
    size_t depth;               // containers open inside the value
    size_t total;               // compact bytes so far
    size_t text_bytes;          // decoded bytes of the current key or string
    size_t capacity;            // capture mode: bytes allocated for value->data
    size_t staged;              // sink mode: bytes waiting in stage
    int mode;                   // the value's parse mode
    bool in_key;
    bool need_comma;            // a member or element was completed at this level
    bool after_key;             // the next value is an object member's
    bool done;
    VisitorDelivery visit;      // visitor mode
    char stage[kStageBytes];    // sink mode: output gathered before each sink call

    vellum_status begin(vellum_json_value *target, vellum_error *error_record);
    bool active() const { return value != nullptr; }
    bool complete() const { return done; }
    vellum_status object_begin();
    vellum_status object_end();
    vellum_status array_begin();
    vellum_status array_end();
    vellum_status key_begin();
    vellum_status key_end();
    vellum_status string_begin();
    vellum_status string_end();
    vellum_status text(const char *data, size_t len, bool escape);
    vellum_status number(const char *text, size_t len);
    vellum_status literal(int which);
    void abandon() { value = nullptr; }

private:
    vellum_status count(size_t n);
    vellum_status out(const char *data, size_t len);
    vellum_status out_escaped(const char *data, size_t len);
    vellum_status flush();
    vellum_status before_value();
    vellum_status open(bool object);
    vellum_status close(bool object);
    vellum_status value_done();
    vellum_status fail(vellum_status code, const char *message);
};

// Forwards a scanned value to a capture: how a value read on its own (not inside a record)
// is parsed into a vellum_json_value following its parse configuration.
class CaptureFeeder final : public ScanHandler {
public:
    explicit CaptureFeeder(JsonValueCapture &capture) : capture_(capture) {}
    vellum_status object_begin() override { return capture_.object_begin(); }
    vellum_status object_end() override { return capture_.object_end(); }
    vellum_status array_begin() override { return capture_.array_begin(); }
    vellum_status array_end() override { return capture_.array_end(); }
    vellum_status text_begin(bool key) override { return key ? capture_.key_begin() : capture_.string_begin(); }
    vellum_status text(const char *, size_t, const char *decoded, size_t decoded_len, bool escape) override {
        return capture_.text(decoded, decoded_len, escape);
    }
    vellum_status text_end(bool key) override { return key ? capture_.key_end() : capture_.string_end(); }
    vellum_status number_begin() override { return VELLUM_STATUS_OK; }
    vellum_status number(const char *text, size_t len) override { return capture_.number(text, len); }
    vellum_status literal(int which) override { return capture_.literal(which); }

private:
    JsonValueCapture &capture_;
};

}  // namespace vellum::detail

// Parses the one JSON value in data into value following its parse configuration (sink,
// visitor or capture, with its limits), exactly as the record parser does for a field of kind
// VELLUM_KIND_JSON_VALUE: begin, the value's events, end. The scanner is fed `split` bytes at a
// time (0: all at once) so that callers can check that the outcome does not depend on how input
// arrives. Clears error; errors carry the input position. Besides the capture's failures:
// "JSON value handle is required" (NULL value) and the scanner's syntax messages, with
// "embedded JSON must contain exactly one value" for trailing data. Internal; exported for the
// tests of the capture contract.
extern "C" VELLUM_API vellum_status vellum__json_value_parse_buffer(vellum_json_value *value, const void *data,
                                                                    size_t len, size_t split, vellum_error *error);

#endif  // VELLUM_JSON_VALUE_H
