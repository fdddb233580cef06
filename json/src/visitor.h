// The value scanner: one push state machine that reads a single JSON value of any shape and
// reports it as events. The value visitor (decoded keys and strings in 256-byte chunks, with
// limits) and the raw JSON value transcoder (validated tokens copied and re-laid out) are two
// handlers of it, so both accept and reject exactly the same inputs.
#ifndef VELLUM_VISITOR_H
#define VELLUM_VISITOR_H

#include "core.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vellum::detail {

// ---- small growable pieces ------------------------------------------------------------------

// One bit per open container (1 object, 0 array). The first 512 levels live inline; deeper
// nesting grows a block through the allocator.
class NestingStack {
public:
    NestingStack() = default;
    NestingStack(const NestingStack &) = delete;
    NestingStack &operator=(const NestingStack &) = delete;
    ~NestingStack() { release(); }

    void setup(const vellum_allocator &allocator) { allocator_ = allocator; }
    size_t depth() const { return depth_; }
    bool top_is_object() const { return depth_ && bit(depth_ - 1); }
    // False when the stack could not grow.
    bool push(bool object);
    void pop() {
        if (depth_) depth_--;
    }
    void release();

private:
    static constexpr size_t kInlineWords = 8;
    bool bit(size_t i) const { return (words()[i / 64] >> (i % 64)) & 1u; }
    const uint64_t *words() const { return heap_ ? heap_ : inline_; }
    uint64_t *words() { return heap_ ? heap_ : inline_; }

    vellum_allocator allocator_{};
    uint64_t inline_[kInlineWords] = {};
    uint64_t *heap_ = nullptr;
    size_t heap_words_ = 0;
    size_t depth_ = 0;
};

// Bytes of the token being collected (numbers), grown by doubling through the allocator.
class TokenBuffer {
public:
    TokenBuffer() = default;
    TokenBuffer(const TokenBuffer &) = delete;
    TokenBuffer &operator=(const TokenBuffer &) = delete;
    ~TokenBuffer() { release(); }

    void setup(const vellum_allocator &allocator) { allocator_ = allocator; }
    const char *data() const { return data_; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    // False when the buffer could not grow; *overflow tells a size overflow from a failed allocation.
    bool push_back(char c, bool *overflow);
    // Bytes that fit without growing.
    size_t room() const { return capacity_ - size_; }
    // Appends n <= room() bytes.
    void append_within(const char *data, size_t n) {
        std::memcpy(data_ + size_, data, n);
        size_ += n;
    }
    void release();

private:
    vellum_allocator allocator_{};
    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// ---- events --------------------------------------------------------------------------------

// Receiver of the scanner's events. Each returns a status: 0 continues; any other status stops
// the scan and is returned by it unchanged (the handler records its own message).
class ScanHandler {
public:
    virtual vellum_status object_begin() = 0;
    virtual vellum_status object_end() = 0;
    virtual vellum_status array_begin() = 0;
    virtual vellum_status array_end() = 0;
    // Keys and strings: begin, text pieces, end. A piece is a run of plain bytes (raw and decoded
    // alike) or one escape (raw: the escape as written, both halves of a surrogate pair
    // together; decoded: its UTF-8 bytes).
    virtual vellum_status text_begin(bool key) = 0;
    virtual vellum_status text(const char *raw, size_t raw_len, const char *decoded, size_t decoded_len,
                               bool escape) = 0;
    virtual vellum_status text_end(bool key) = 0;
    // Numbers: begin at the first character, then the whole validated text.
    virtual vellum_status number_begin() = 0;
    virtual vellum_status number(const char *text, size_t len) = 0;
    // Literals: 0 false, 1 true, 2 null.
    virtual vellum_status literal(int which) = 0;

protected:
    ~ScanHandler() = default;
};

// What a scan enforces. SIZE_MAX disables a limit; max_total_bytes 0 means no total limit.
struct ScanLimits {
    size_t max_depth = SIZE_MAX;
    size_t max_string_bytes = SIZE_MAX;
    size_t max_number_bytes = SIZE_MAX;
    size_t max_key_bytes = SIZE_MAX;
    size_t max_total_bytes = 0;
};

// The visitor's limits: NULL means the defaults; a member left 0 among the first four takes
// its default.
ScanLimits visitor_limits(const vellum_value_limits *limits);

constexpr const char kVisitOneValueMessage[] = "visited JSON must contain exactly one value";

// The state machine. Feed it pieces of any size, then finish. Results (events, errors, and
// the error position when tracked) do not depend on how the input is split.
class ValueScanner {
public:
    ValueScanner() = default;
    ValueScanner(const ValueScanner &) = delete;
    ValueScanner &operator=(const ValueScanner &) = delete;

    // error receives failures (never NULL). With track_position, errors carry line, column and
    // offset of the byte that raised them, as the record parser's do. trailing_message is
    // reported for anything but whitespace after the value.
    void setup(ScanHandler *handler, const ScanLimits &limits, const vellum_allocator &allocator,
               vellum_error *error, bool track_position, const char *trailing_message);
    vellum_status feed(const void *data, size_t len);
    // End of input: completes a pending number, then requires one complete value.
    vellum_status finish();
    // Releases what the scan allocated (also done by the destructor).
    void release() {
        stack_.release();
        number_.release();
    }
    ~ValueScanner() { release(); }

    // Bytes fed so far.
    size_t total() const { return total_; }

private:
    enum Expect : uint8_t { kValue, kValueOrEnd, kKeyOrEnd, kKey, kColon, kCommaOrEnd, kDone };
    enum Lex : uint8_t { kBetween, kString, kEscape, kHex, kPairBackslash, kPairU, kNumber, kLiteral };

    vellum_status fail(vellum_status code, const char *message);
    vellum_status fail_overflow(const char *message) { return fail(VELLUM_STATUS_OVERFLOW, message); }
    vellum_status handler_status(vellum_status status);
    void advance(unsigned char c);
    vellum_status step(unsigned char c);
    vellum_status between(unsigned char c);
    vellum_status start_value(unsigned char c);
    vellum_status open(bool object);
    vellum_status close(bool object);
    vellum_status value_done();
    vellum_status string_byte(unsigned char c);
    size_t string_run(const unsigned char *p, size_t n, vellum_status *status);
    size_t number_run(const unsigned char *p, size_t n);
    size_t whole_number(const unsigned char *p, const unsigned char *end, vellum_status *status);
    size_t space_run(const unsigned char *p, size_t n);
    vellum_status plain(const char *data, size_t n);
    vellum_status escape_decoded(const char *decoded, size_t n);
    vellum_status hex_done();
    vellum_status end_number();
    vellum_status feed_bytes(const unsigned char *p, size_t n);

    ScanHandler *handler_ = nullptr;
    ScanLimits limits_{};
    vellum_error *error_ = nullptr;
    const char *trailing_message_ = kVisitOneValueMessage;
    bool track_position_ = false;
    bool failed_ = false;

    NestingStack stack_;
    TokenBuffer number_;
    Expect expect_ = kValue;
    Lex lex_ = kBetween;
    bool in_key_ = false;
    size_t text_bytes_ = 0;       // decoded bytes of the current key or string
    char raw_[12] = {};           // escape as written, up to a full surrogate pair
    size_t raw_len_ = 0;
    int hex_left_ = 0;
    uint32_t code_ = 0;
    uint32_t high_ = 0;           // pending high surrogate, 0 when none
    const char *literal_ = nullptr;
    size_t literal_pos_ = 0;
    int literal_which_ = 0;
    size_t total_ = 0;
    size_t line_ = 1, column_ = 0, offset_ = 0;
};

// ---- the visitor's event delivery ------------------------------------------------------------

// Delivers events to a vellum_value_visitor: plain key and string bytes are gathered into a
// 256-byte chunk and delivered when it is full or the run ends; each escape is delivered as its
// own chunk. A callback status of VELLUM_STATUS_TRUNCATED continues and sets error->truncated;
// any other nonzero status is returned and recorded in error->code. Trivially copyable, so it
// can sit inside records that are cleared with memset (the record parser's state).
struct VisitorDelivery {
    static constexpr size_t kChunkBytes = 256;

    const vellum_value_visitor *visitor;
    void *user;
    vellum_error *error;
    size_t pending;
    bool key;
    char chunk[kChunkBytes];

    void setup(const vellum_value_visitor *table, void *user_pointer, vellum_error *error_record) {
        visitor = table;
        user = user_pointer;
        error = error_record;
        pending = 0;
        key = false;
    }
    vellum_status object_begin();
    vellum_status object_end();
    vellum_status array_begin();
    vellum_status array_end();
    vellum_status text_begin(bool is_key);
    vellum_status plain(const char *data, size_t len);
    vellum_status escape(const char *data, size_t len);
    vellum_status text_end();
    vellum_status number_begin();
    vellum_status number(const char *text, size_t len); // the chunk, then number_end
    vellum_status literal(int which);

private:
    vellum_status flush();
    vellum_status chunk_out(const char *data, size_t len);
    vellum_status result(int status);
};

}  // namespace vellum::detail

// Visits the source of a raw JSON value, read from its first byte (FILE and descriptor
// sources rewound, paths opened and closed; a value without source is visited as null), with
// the visitor's rules and limits. Clears error; fails with "JSON value source and visitor are
// required" (INVALID_ARGUMENT) for a NULL value or visitor, and with the source messages of
// the raw JSON value ("failed to rewind JSON value FILE*", ...). Internal; exported for tests.
extern "C" VELLUM_API vellum_status vellum__visit_json_value(const vellum_json_value *value,
                                                             const vellum_value_visitor *visitor, void *user,
                                                             const vellum_value_limits *limits, vellum_error *error);

#endif  // VELLUM_VISITOR_H
