// The value visitor: one JSON value of any shape reported as events, with limits on depth,
// string, key, number and total size. The scanner below is the single state machine behind
// the visitor and the raw JSON value transcoder; it reads top to bottom: setup, feed (with the
// bulk path for plain string runs), the byte step, finish.
#include "visitor.h"

#include "json_value.h"

#include <cerrno>
#include <cstdio>

namespace vellum::detail {

// ---- small growable pieces ------------------------------------------------------------------

bool NestingStack::push(bool object) {
    size_t capacity_words = heap_ ? heap_words_ : kInlineWords;
    if (depth_ == capacity_words * 64) {
        if (capacity_words > SIZE_MAX / 2 / sizeof(uint64_t)) return false;
        size_t grown_words = capacity_words * 2;
        uint64_t *grown;
        if (heap_) {
            grown = static_cast<uint64_t *>(
                raw_realloc(allocator_, heap_, heap_words_ * sizeof(uint64_t), grown_words * sizeof(uint64_t)));
        } else {
            grown = static_cast<uint64_t *>(raw_alloc(allocator_, grown_words * sizeof(uint64_t)));
            if (grown) std::memcpy(grown, inline_, sizeof inline_);
        }
        if (!grown) return false;
        heap_ = grown;
        heap_words_ = grown_words;
    }
    uint64_t mask = uint64_t{1} << (depth_ % 64);
    uint64_t &word = words()[depth_ / 64];
    word = object ? (word | mask) : (word & ~mask);
    depth_++;
    return true;
}

void NestingStack::release() {
    if (heap_) raw_free(allocator_, heap_, heap_words_ * sizeof(uint64_t));
    heap_ = nullptr;
    heap_words_ = 0;
    depth_ = 0;
}

bool TokenBuffer::push_back(char c, bool *overflow) {
    *overflow = false;
    if (size_ == capacity_) {
        if (capacity_ > SIZE_MAX / 2) {
            *overflow = true;
            return false;
        }
        size_t grown = capacity_ ? capacity_ * 2 : 32;
        void *data = raw_realloc(allocator_, data_, capacity_, grown);
        if (!data) return false;
        data_ = static_cast<char *>(data);
        capacity_ = grown;
    }
    data_[size_++] = c;
    return true;
}

void TokenBuffer::release() {
    if (data_) raw_free(allocator_, data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

ScanLimits visitor_limits(const vellum_value_limits *limits) {
    vellum_value_limits defaults = vellum_default_value_limits();
    ScanLimits out;
    out.max_depth = limits && limits->max_depth ? limits->max_depth : defaults.max_depth;
    out.max_string_bytes = limits && limits->max_string_bytes ? limits->max_string_bytes : defaults.max_string_bytes;
    out.max_number_bytes = limits && limits->max_number_bytes ? limits->max_number_bytes : defaults.max_number_bytes;
    out.max_key_bytes = limits && limits->max_key_bytes ? limits->max_key_bytes : defaults.max_key_bytes;
    out.max_total_bytes = limits ? limits->max_total_bytes : defaults.max_total_bytes;
    return out;
}

// ---- the scanner ----------------------------------------------------------------------------

namespace {

struct NumberCharTable {
    bool set[256] = {};
    constexpr NumberCharTable() {
        for (const char *c = "0123456789+-.eE"; *c; c++) set[static_cast<unsigned char>(*c)] = true;
    }
};
constexpr NumberCharTable kNumberChars;
constexpr bool is_number_char(unsigned char c) { return kNumberChars.set[c]; }
constexpr bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr const char *kLiterals[] = {"false", "true", "null"};

}  // namespace

void ValueScanner::setup(ScanHandler *handler, const ScanLimits &limits, const vellum_allocator &allocator,
                         vellum_error *error, bool track_position, const char *trailing_message) {
    release();
    handler_ = handler;
    limits_ = limits;
    error_ = error;
    track_position_ = track_position;
    trailing_message_ = trailing_message;
    failed_ = false;
    stack_.setup(allocator);
    number_.setup(allocator);
    expect_ = kValue;
    lex_ = kBetween;
    in_key_ = false;
    text_bytes_ = 0;
    raw_len_ = 0;
    hex_left_ = 0;
    code_ = 0;
    high_ = 0;
    literal_ = nullptr;
    literal_pos_ = 0;
    literal_which_ = 0;
    total_ = 0;
    line_ = 1;
    column_ = 0;
    offset_ = 0;
}

vellum_status ValueScanner::fail(vellum_status code, const char *message) {
    failed_ = true;
    if (track_position_) {
        error_->line = line_;
        error_->column = column_;
        error_->offset = offset_;
    }
    return set_error(error_, code, "%s", message);
}

vellum_status ValueScanner::handler_status(vellum_status status) {
    if (status == VELLUM_STATUS_OK) return status;
    failed_ = true;
    if (error_->code == VELLUM_STATUS_OK) error_->code = status;
    if (track_position_) {
        error_->line = line_;
        error_->column = column_;
        error_->offset = offset_;
    }
    return status;
}

void ValueScanner::advance(unsigned char c) {
    offset_++;
    if (c == '\n') {
        line_++;
        column_ = 0;
    } else {
        column_++;
    }
}

vellum_status ValueScanner::feed(const void *data, size_t len) {
    if (failed_) return error_->code;
    if (len == 0) return VELLUM_STATUS_OK;
    const auto *p = static_cast<const unsigned char *>(data);
    size_t n = len;
    bool over = false;
    if (limits_.max_total_bytes) {
        size_t room = limits_.max_total_bytes - total_;
        if (n > room) {
            n = room;
            over = true;
        }
    }
    total_ += n;
    vellum_status status = feed_bytes(p, n);
    if (status != VELLUM_STATUS_OK) return status;
    if (over) {
        // The first byte beyond the limit is the one that fails, however the input is split.
        total_++;
        advance(p[n]);
        return fail_overflow("JSON value exceeds maximum total byte limit");
    }
    return VELLUM_STATUS_OK;
}

vellum_status ValueScanner::feed_bytes(const unsigned char *p, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (lex_ == kString) {
            vellum_status status = VELLUM_STATUS_OK;
            size_t used = string_run(p + i, n - i, &status);
            if (status != VELLUM_STATUS_OK) return status;
            i += used;
            if (used) continue;
        }
        if (lex_ == kNumber || lex_ == kBetween) {
            size_t used = lex_ == kNumber ? number_run(p + i, n - i) : space_run(p + i, n - i);
            i += used;
            if (used) continue;
        }
        unsigned char c = p[i++];
        advance(c);
        Lex before = lex_;
        vellum_status status = step(c);
        if (status != VELLUM_STATUS_OK) return status;
        if (before == kBetween && lex_ == kNumber) {
            size_t used = whole_number(p + i - 1, p + n, &status);
            if (status != VELLUM_STATUS_OK) return status;
            i += used;
        }
    }
    return VELLUM_STATUS_OK;
}

// Bulk path: a number that began at p (its first byte already stepped) and is valid and
// terminated inside the bytes at hand goes to the handler where it stands, and its terminator
// is stepped as the byte machine steps it: consumed first, then taken between tokens. Anything
// else (running past the bytes, invalid, over the limit) is left to the byte step, which
// judges it. Returns the bytes used after p.
size_t ValueScanner::whole_number(const unsigned char *p, const unsigned char *end, vellum_status *status) {
    const unsigned char *stop = valid_number_end(p, end);
    if (!stop) return 0;
    auto len = static_cast<size_t>(stop - p);
    if (len > limits_.max_number_bytes) return 0;
    lex_ = kBetween;
    offset_ += len - 1;
    column_ += len - 1;
    advance(*stop);
    *status = handler_status(handler_->number(reinterpret_cast<const char *>(p), len));
    if (*status == VELLUM_STATUS_OK) *status = value_done();
    if (*status == VELLUM_STATUS_OK) *status = between(*stop);
    return len;
}

// Bulk path: a run of plain string bytes, positions and limits exactly as byte by byte.
size_t ValueScanner::string_run(const unsigned char *p, size_t n, vellum_status *status) {
    size_t k = static_cast<size_t>(find_string_special(p, p + n) - p);
    if (k == 0) return 0;
    size_t limit = in_key_ ? limits_.max_key_bytes : limits_.max_string_bytes;
    size_t room = limit - text_bytes_;
    if (k > room) {
        offset_ += room;
        column_ += room;
        if (room) {
            *status = plain(reinterpret_cast<const char *>(p), room);
            if (*status != VELLUM_STATUS_OK) return room;
        }
        offset_++;
        column_++;
        *status = fail_overflow(in_key_ ? "JSON object key exceeds maximum decoded byte limit"
                                        : "JSON string exceeds maximum decoded byte limit");
        return room + 1;
    }
    offset_ += k;
    column_ += k;
    *status = plain(reinterpret_cast<const char *>(p), k);
    return k;
}

// Bulk path: number bytes that fit the collected token as it is and stay within the number
// limit. The byte that would overflow the limit or grow the buffer goes through the byte step,
// so its failure and position are those of a byte-by-byte scan.
size_t ValueScanner::number_run(const unsigned char *p, size_t n) {
    if (number_.size() >= limits_.max_number_bytes) return 0;
    size_t most = limits_.max_number_bytes - number_.size();
    if (most > number_.room()) most = number_.room();
    if (most > n) most = n;
    size_t k = 0;
    while (k < most && is_number_char(p[k])) k++;
    number_.append_within(reinterpret_cast<const char *>(p), k);
    offset_ += k;
    column_ += k;
    return k;
}

// Bulk path: whitespace between tokens, positions as byte by byte.
size_t ValueScanner::space_run(const unsigned char *p, size_t n) {
    size_t k = 0;
    while (k < n && is_space(p[k])) {
        if (p[k] == '\n') {
            line_++;
            column_ = 0;
        } else {
            column_++;
        }
        k++;
    }
    offset_ += k;
    return k;
}

vellum_status ValueScanner::plain(const char *data, size_t n) {
    text_bytes_ += n;
    return handler_status(handler_->text(data, n, data, n, false));
}

vellum_status ValueScanner::step(unsigned char c) {
    switch (lex_) {
    case kBetween: return between(c);
    case kString: return string_byte(c);
    case kEscape: {
        raw_[raw_len_++] = static_cast<char>(c);
        if (c == 'u') {
            lex_ = kHex;
            hex_left_ = 4;
            code_ = 0;
            return VELLUM_STATUS_OK;
        }
        int decoded = simple_escape(c);
        if (decoded < 0) return fail(VELLUM_STATUS_INVALID_JSON, "invalid string escape");
        lex_ = kString;
        char byte = static_cast<char>(decoded);
        return escape_decoded(&byte, 1);
    }
    case kHex: {
        int v = hex_digit(c);
        if (v < 0) return fail(VELLUM_STATUS_INVALID_JSON, "invalid unicode escape");
        raw_[raw_len_++] = static_cast<char>(c);
        code_ = code_ * 16 + static_cast<uint32_t>(v);
        if (--hex_left_ == 0) return hex_done();
        return VELLUM_STATUS_OK;
    }
    case kPairBackslash:
    case kPairU:
        if (c == (lex_ == kPairBackslash ? '\\' : 'u')) {
            raw_[raw_len_++] = static_cast<char>(c);
            if (lex_ == kPairU) {
                lex_ = kHex;
                hex_left_ = 4;
                code_ = 0;
            } else {
                lex_ = kPairU;
            }
            return VELLUM_STATUS_OK;
        }
        return fail(VELLUM_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
    case kNumber:
        if (is_number_char(c)) {
            if (number_.size() >= limits_.max_number_bytes)
                return fail_overflow("JSON number exceeds maximum byte limit");
            bool overflow;
            if (!number_.push_back(static_cast<char>(c), &overflow))
                return overflow ? fail_overflow("JSON number token too long")
                                : fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate JSON number buffer");
            return VELLUM_STATUS_OK;
        } else {
            vellum_status status = end_number();
            if (status != VELLUM_STATUS_OK) return status;
            return between(c);
        }
    case kLiteral:
        if (c != static_cast<unsigned char>(literal_[literal_pos_]))
            return fail(VELLUM_STATUS_INVALID_JSON, "invalid JSON literal");
        if (literal_[++literal_pos_] == '\0') {
            lex_ = kBetween;
            vellum_status status = handler_status(handler_->literal(literal_which_));
            if (status != VELLUM_STATUS_OK) return status;
            return value_done();
        }
        return VELLUM_STATUS_OK;
    }
    return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid value scanner state");
}

vellum_status ValueScanner::string_byte(unsigned char c) {
    if (c == '"') {
        lex_ = kBetween;
        vellum_status status = handler_status(handler_->text_end(in_key_));
        if (status != VELLUM_STATUS_OK) return status;
        if (in_key_) {
            expect_ = kColon;
            return VELLUM_STATUS_OK;
        }
        return value_done();
    }
    if (c == '\\') {
        lex_ = kEscape;
        raw_[0] = '\\';
        raw_len_ = 1;
        return VELLUM_STATUS_OK;
    }
    if (c < 0x20) return fail(VELLUM_STATUS_INVALID_JSON, "control character in string");
    // Plain bytes are taken by string_run before the byte step is reached.
    return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid value scanner state");
}

vellum_status ValueScanner::escape_decoded(const char *decoded, size_t n) {
    size_t limit = in_key_ ? limits_.max_key_bytes : limits_.max_string_bytes;
    if (n > limit - text_bytes_) return fail_overflow("decoded JSON text exceeds limit");
    text_bytes_ += n;
    size_t raw_len = raw_len_;
    raw_len_ = 0;
    return handler_status(handler_->text(raw_, raw_len, decoded, n, true));
}

vellum_status ValueScanner::hex_done() {
    uint32_t cp = code_;
    if (high_) {
        if (cp < 0xDC00 || cp > 0xDFFF) return fail(VELLUM_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
        cp = 0x10000 + ((high_ - 0xD800) << 10) + (cp - 0xDC00);
        high_ = 0;
    } else if (cp >= 0xD800 && cp <= 0xDBFF) {
        high_ = cp;
        lex_ = kPairBackslash;
        return VELLUM_STATUS_OK;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        return fail(VELLUM_STATUS_INVALID_JSON, "unexpected low surrogate");
    }
    unsigned char out[4];
    size_t n = put_utf8(cp, out);
    lex_ = kString;
    return escape_decoded(reinterpret_cast<const char *>(out), n);
}

vellum_status ValueScanner::end_number() {
    lex_ = kBetween;
    if (!json_number_valid(number_.data(), number_.size())) return fail(VELLUM_STATUS_INVALID_JSON, "invalid JSON number");
    vellum_status status = handler_status(handler_->number(number_.data(), number_.size()));
    if (status != VELLUM_STATUS_OK) return status;
    return value_done();
}

vellum_status ValueScanner::between(unsigned char c) {
    if (is_space(c)) return VELLUM_STATUS_OK;
    switch (expect_) {
    case kValueOrEnd:
        if (c == ']') return close(false);
        return start_value(c);
    case kValue: return start_value(c);
    case kKeyOrEnd:
        if (c == '}') return close(true);
        [[fallthrough]];
    case kKey:
        if (c != '"') return fail(VELLUM_STATUS_INVALID_JSON, "expected object key");
        in_key_ = true;
        text_bytes_ = 0;
        lex_ = kString;
        return handler_status(handler_->text_begin(true));
    case kColon:
        if (c != ':') return fail(VELLUM_STATUS_INVALID_JSON, "expected ':' after object key");
        expect_ = kValue;
        return VELLUM_STATUS_OK;
    case kCommaOrEnd:
        if (stack_.top_is_object()) {
            if (c == ',') {
                expect_ = kKey;
                return VELLUM_STATUS_OK;
            }
            if (c == '}') return close(true);
            return fail(VELLUM_STATUS_INVALID_JSON, "expected ',' in object");
        }
        if (c == ',') {
            expect_ = kValue;
            return VELLUM_STATUS_OK;
        }
        if (c == ']') return close(false);
        return fail(VELLUM_STATUS_INVALID_JSON, "expected ',' in array");
    case kDone: return fail(VELLUM_STATUS_INVALID_JSON, trailing_message_);
    }
    return fail(VELLUM_STATUS_INTERNAL_ERROR, "invalid value scanner state");
}

vellum_status ValueScanner::start_value(unsigned char c) {
    switch (c) {
    case '{': return open(true);
    case '[': return open(false);
    case '"':
        in_key_ = false;
        text_bytes_ = 0;
        lex_ = kString;
        return handler_status(handler_->text_begin(false));
    case 't':
    case 'f':
    case 'n':
        literal_which_ = c == 'f' ? 0 : c == 't' ? 1 : 2;
        literal_ = kLiterals[literal_which_];
        literal_pos_ = 1;
        lex_ = kLiteral;
        return VELLUM_STATUS_OK;
    default: break;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
        vellum_status status = handler_status(handler_->number_begin());
        if (status != VELLUM_STATUS_OK) return status;
        lex_ = kNumber;
        number_.clear();
        bool overflow;
        if (!number_.push_back(static_cast<char>(c), &overflow))
            return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate JSON number buffer");
        return VELLUM_STATUS_OK;
    }
    return fail(VELLUM_STATUS_INVALID_JSON, "expected JSON value");
}

vellum_status ValueScanner::open(bool object) {
    if (stack_.depth() >= limits_.max_depth) return fail_overflow("JSON value nesting exceeds maximum depth");
    if (!stack_.push(object)) return fail(VELLUM_STATUS_ALLOCATION_FAILED, "failed to grow JSON pull frame stack");
    expect_ = object ? kKeyOrEnd : kValueOrEnd;
    return handler_status(object ? handler_->object_begin() : handler_->array_begin());
}

vellum_status ValueScanner::close(bool object) {
    stack_.pop();
    vellum_status status = handler_status(object ? handler_->object_end() : handler_->array_end());
    if (status != VELLUM_STATUS_OK) return status;
    return value_done();
}

vellum_status ValueScanner::value_done() {
    expect_ = stack_.depth() ? kCommaOrEnd : kDone;
    return VELLUM_STATUS_OK;
}

vellum_status ValueScanner::finish() {
    if (failed_) return error_->code;
    switch (lex_) {
    case kNumber: {
        vellum_status status = end_number();
        if (status != VELLUM_STATUS_OK) return status;
        break;
    }
    case kString:
    case kPairBackslash: return fail(VELLUM_STATUS_INVALID_JSON, "unterminated JSON string");
    case kEscape:
    case kHex:
    case kPairU: return fail(VELLUM_STATUS_INVALID_JSON, "unterminated escape sequence");
    case kLiteral: return fail(VELLUM_STATUS_INVALID_JSON, "invalid JSON literal");
    case kBetween: break;
    }
    if (stack_.depth())
        return fail(VELLUM_STATUS_INVALID_JSON,
                    stack_.top_is_object() ? "unterminated JSON object" : "unterminated JSON array");
    if (expect_ != kDone) return fail(VELLUM_STATUS_INVALID_JSON, "expected JSON value");
    return VELLUM_STATUS_OK;
}

// ---- event delivery to a visitor table -------------------------------------------------------

vellum_status VisitorDelivery::result(int status) {
    if (status == VELLUM_STATUS_OK) return VELLUM_STATUS_OK;
    if (status == VELLUM_STATUS_TRUNCATED) {
        error->truncated = 1;
        return VELLUM_STATUS_OK;
    }
    if (error->code == VELLUM_STATUS_OK) error->code = status;
    return status;
}

vellum_status VisitorDelivery::object_begin() {
    return visitor->object_begin ? result(visitor->object_begin(user, error)) : VELLUM_STATUS_OK;
}
vellum_status VisitorDelivery::object_end() {
    return visitor->object_end ? result(visitor->object_end(user, error)) : VELLUM_STATUS_OK;
}
vellum_status VisitorDelivery::array_begin() {
    return visitor->array_begin ? result(visitor->array_begin(user, error)) : VELLUM_STATUS_OK;
}
vellum_status VisitorDelivery::array_end() {
    return visitor->array_end ? result(visitor->array_end(user, error)) : VELLUM_STATUS_OK;
}

vellum_status VisitorDelivery::text_begin(bool is_key) {
    key = is_key;
    pending = 0;
    auto fn = is_key ? visitor->key_begin : visitor->string_begin;
    return fn ? result(fn(user, error)) : VELLUM_STATUS_OK;
}

vellum_status VisitorDelivery::chunk_out(const char *data, size_t len) {
    auto fn = key ? visitor->key_chunk : visitor->string_chunk;
    return fn ? result(fn(user, data, len, error)) : VELLUM_STATUS_OK;
}

vellum_status VisitorDelivery::flush() {
    if (pending == 0) return VELLUM_STATUS_OK;
    size_t n = pending;
    pending = 0;
    return chunk_out(chunk, n);
}

vellum_status VisitorDelivery::plain(const char *data, size_t len) {
    while (len) {
        if (pending == 0 && len >= kChunkBytes) {
            // A whole chunk straight from the input: the same boundaries as gathering it.
            vellum_status status = chunk_out(data, kChunkBytes);
            if (status != VELLUM_STATUS_OK) return status;
            data += kChunkBytes;
            len -= kChunkBytes;
            continue;
        }
        size_t n = kChunkBytes - pending < len ? kChunkBytes - pending : len;
        std::memcpy(chunk + pending, data, n);
        pending += n;
        data += n;
        len -= n;
        if (pending == kChunkBytes) {
            vellum_status status = flush();
            if (status != VELLUM_STATUS_OK) return status;
        }
    }
    return VELLUM_STATUS_OK;
}

vellum_status VisitorDelivery::escape(const char *data, size_t len) {
    vellum_status status = flush();
    if (status != VELLUM_STATUS_OK) return status;
    return chunk_out(data, len);
}

vellum_status VisitorDelivery::text_end() {
    vellum_status status = flush();
    if (status != VELLUM_STATUS_OK) return status;
    auto fn = key ? visitor->key_end : visitor->string_end;
    return fn ? result(fn(user, error)) : VELLUM_STATUS_OK;
}

vellum_status VisitorDelivery::number_begin() {
    return visitor->number_begin ? result(visitor->number_begin(user, error)) : VELLUM_STATUS_OK;
}

vellum_status VisitorDelivery::number(const char *text, size_t len) {
    if (visitor->number_chunk) {
        vellum_status status = result(visitor->number_chunk(user, text, len, error));
        if (status != VELLUM_STATUS_OK) return status;
    }
    return visitor->number_end ? result(visitor->number_end(user, error)) : VELLUM_STATUS_OK;
}

vellum_status VisitorDelivery::literal(int which) {
    if (which == 2) return visitor->null ? result(visitor->null(user, error)) : VELLUM_STATUS_OK;
    return visitor->boolean ? result(visitor->boolean(user, which, error)) : VELLUM_STATUS_OK;
}

// ---- the visit entry points ---------------------------------------------------------------------

namespace {

class VisitorHandler final : public ScanHandler {
public:
    VisitorHandler(const vellum_value_visitor *visitor, void *user, vellum_error *error) {
        delivery_.setup(visitor, user, error);
    }
    vellum_status object_begin() override { return delivery_.object_begin(); }
    vellum_status object_end() override { return delivery_.object_end(); }
    vellum_status array_begin() override { return delivery_.array_begin(); }
    vellum_status array_end() override { return delivery_.array_end(); }
    vellum_status text_begin(bool key) override { return delivery_.text_begin(key); }
    vellum_status text(const char *, size_t, const char *decoded, size_t decoded_len, bool escape) override {
        return escape ? delivery_.escape(decoded, decoded_len) : delivery_.plain(decoded, decoded_len);
    }
    vellum_status text_end(bool) override { return delivery_.text_end(); }
    vellum_status number_begin() override { return delivery_.number_begin(); }
    vellum_status number(const char *text, size_t len) override { return delivery_.number(text, len); }
    vellum_status literal(int which) override { return delivery_.literal(which); }

private:
    VisitorDelivery delivery_;
};

// Runs one visit over input. Callbacks always receive a non-NULL error record; the outcome is
// copied to the caller's. A callback that returned VELLUM_STATUS_TRUNCATED makes the result
// VELLUM_STATUS_TRUNCATED (the record's code stays 0, its truncated flag is set).
vellum_status run_visit(JsonValueInput &input, const vellum_value_visitor *visitor, void *user,
                        const vellum_value_limits *limits, const vellum_allocator &allocator, vellum_error *error) {
    vellum_error local;
    vellum_error_init(&local);
    VisitorHandler handler(visitor, user, &local);
    ValueScanner scanner;
    scanner.setup(&handler, visitor_limits(limits), allocator, &local, true, kVisitOneValueMessage);
    vellum_status status = scan_input(input, scanner, &local);
    if (status == VELLUM_STATUS_OK && local.truncated) status = VELLUM_STATUS_TRUNCATED;
    if (error) {
        vellum_error_init(error);
        copy_error(error, local);
    }
    return status;
}

}  // namespace

}  // namespace vellum::detail

using namespace vellum::detail;

extern "C" {

VELLUM_API vellum_status vellum__visit_json_value(const vellum_json_value *value, const vellum_value_visitor *visitor,
                                                  void *user, const vellum_value_limits *limits, vellum_error *error) {
    if (!value || !visitor) return argument_error(error, "JSON value source and visitor are required");
    vellum_error_init(error);
    JsonValueInput input;
    if (value->kind == VELLUM_JSON_VALUE_NONE) {
        input.open_buffer("null", 4);
    } else {
        vellum_status status = input.open_value(*value, error);
        if (status != VELLUM_STATUS_OK) return status;
    }
    return run_visit(input, visitor, user, limits, resolve_allocator(&value->allocator), error);
}

VELLUM_API vellum_value_visitor *vellum_default_value_visitor(vellum_value_visitor *visitor) {
    if (visitor) std::memset(visitor, 0, sizeof *visitor);
    return visitor;
}

VELLUM_API vellum_status vellum_visit_value_buffer(const void *data, size_t len, const vellum_value_visitor *visitor,
                                                   void *user, const vellum_value_limits *limits,
                                                   vellum_error *error) {
    if (!data || !visitor) return argument_error(error, "buffer and visitor are required");
    JsonValueInput input;
    input.open_buffer(data, len);
    return run_visit(input, visitor, user, limits, vellum_default_allocator(), error);
}

VELLUM_API vellum_status vellum_visit_value_cstr(const char *text, const vellum_value_visitor *visitor, void *user,
                                                 const vellum_value_limits *limits, vellum_error *error) {
    if (!text || !visitor) return argument_error(error, "json string and visitor are required");
    JsonValueInput input;
    input.open_buffer(text, std::strlen(text));
    return run_visit(input, visitor, user, limits, vellum_default_allocator(), error);
}

VELLUM_API vellum_status vellum_visit_value_reader(vellum_reader_fn reader, void *reader_user,
                                                   const vellum_value_visitor *visitor, void *user,
                                                   const vellum_value_limits *limits, vellum_error *error) {
    if (!reader || !visitor) return argument_error(error, "reader and visitor are required");
    JsonValueInput input;
    input.open_reader(reader, reader_user);
    return run_visit(input, visitor, user, limits, vellum_default_allocator(), error);
}

VELLUM_API vellum_status vellum_visit_value_filep(FILE *file, const vellum_value_visitor *visitor, void *user,
                                                  const vellum_value_limits *limits, vellum_error *error) {
    if (!file || !visitor) return argument_error(error, "file pointer and visitor are required");
    JsonValueInput input;
    input.open_file(file, false);
    return run_visit(input, visitor, user, limits, vellum_default_allocator(), error);
}

VELLUM_API vellum_status vellum_visit_value_path(const char *path, const vellum_value_visitor *visitor, void *user,
                                                 const vellum_value_limits *limits, vellum_error *error) {
    if (!path || !visitor) return argument_error(error, "path and visitor are required");
    vellum_error_init(error);
    FILE *file = std::fopen(path, "rb");
    if (!file) return set_error_errno(error, VELLUM_STATUS_IO_ERROR, errno, "failed to open '%s'", path);
    JsonValueInput input;
    input.open_file(file, true);
    return run_visit(input, visitor, user, limits, vellum_default_allocator(), error);
}

VELLUM_API vellum_status vellum_visit_value_fd(int fd, const vellum_value_visitor *visitor, void *user,
                                               const vellum_value_limits *limits, vellum_error *error) {
    if (fd < 0 || !visitor) return argument_error(error, "fd and visitor are required");
    JsonValueInput input;
    input.open_fd(fd);
    return run_visit(input, visitor, user, limits, vellum_default_allocator(), error);
}

}  // extern "C"
