// The multipart push parser: delimiter and header lines, counted bodies passed through by
// count, delimited bodies scanned for the next delimiter line with a small held-back tail.
#include "framing_buffer.h"

#include <new>
#include <string_view>

namespace vellum::detail {
namespace {

constexpr size_t kDefaultMaxBoundary = 200;
constexpr size_t kDefaultMaxLine = 65536;
constexpr size_t kDefaultMaxHeaders = 64;
constexpr size_t kDefaultMaxBodyBuffer = 1048576;
constexpr size_t kInitialHeaderSlots = 8;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// One "name=value" parameter of a header value. `value` is the raw text: between the quotes
// for a quoted value (escapes left in place), else the token.
struct Param {
    std::string_view name;
    std::string_view value;
    bool quoted = false;
    bool unterminated = false;  // quoted value without its closing quote; value runs to the end
};

// Reads the next parameter from `rest` (segments separated by ';'; segments without '=' are
// skipped). With `escapes`, a backslash inside a quoted value hides the next byte.
bool next_param(std::string_view &rest, Param &out, bool escapes) {
    while (!rest.empty()) {
        size_t i = 0;
        while (i < rest.size() && is_blank(rest[i])) i++;
        size_t name_begin = i;
        while (i < rest.size() && rest[i] != '=' && rest[i] != ';') i++;
        if (i == rest.size() || rest[i] == ';') {
            rest.remove_prefix(i == rest.size() ? i : i + 1);
            continue;
        }
        out = Param{};
        out.name = trim_blanks(rest.substr(name_begin, i - name_begin));
        i++;  // '='
        if (i < rest.size() && rest[i] == '"') {
            size_t begin = ++i;
            while (i < rest.size() && rest[i] != '"') i += (escapes && rest[i] == '\\' && i + 1 < rest.size()) ? 2 : 1;
            out.quoted = true;
            if (i >= rest.size()) {
                out.value = rest.substr(begin);
                out.unterminated = true;
                rest = {};
                return true;
            }
            out.value = rest.substr(begin, i - begin);
            i++;
        } else {
            size_t begin = i;
            while (i < rest.size() && rest[i] != ';' && !is_blank(rest[i])) i++;
            out.value = rest.substr(begin, i - begin);
        }
        while (i < rest.size() && rest[i] != ';') i++;
        rest.remove_prefix(i < rest.size() ? i + 1 : i);
        return true;
    }
    return false;
}

// Finds the boundary parameter of a Content-Type value.
vellum_status extract_boundary(std::string_view content_type, size_t max_bytes, std::string_view &boundary,
                               vellum_error *error) {
    Param param;
    while (next_param(content_type, param, false)) {
        if (!ascii_iequal(param.name, "boundary")) continue;
        if (param.unterminated)
            return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "multipart boundary quote is unterminated");
        if (param.value.empty()) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "multipart boundary is invalid");
        if (param.value.size() > max_bytes)
            return set_error(error, VELLUM_STATUS_OVERFLOW, "multipart boundary length limit exceeded");
        // A boundary holding a line break could never match a delimiter line.
        if (param.value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "multipart boundary is invalid");
        boundary = param.value;
        return VELLUM_STATUS_OK;
    }
    return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "multipart Content-Type missing boundary");
}

// Strings owned by the part: a plain block with its size in front, so it can be freed exactly.
char *dup_sized(const vellum_allocator &allocator, std::string_view a, std::string_view b, bool two) {
    size_t total = sizeof(size_t) + a.size() + 1 + (two ? b.size() + 1 : 0);
    auto *block = static_cast<unsigned char *>(raw_alloc(allocator, total));
    if (!block) return nullptr;
    std::memcpy(block, &total, sizeof total);
    char *text = reinterpret_cast<char *>(block + sizeof(size_t));
    if (!a.empty()) std::memcpy(text, a.data(), a.size());
    text[a.size()] = '\0';
    if (two) {
        char *second = text + a.size() + 1;
        if (!b.empty()) std::memcpy(second, b.data(), b.size());
        second[b.size()] = '\0';
    }
    return text;
}

void free_sized(const vellum_allocator &allocator, const char *text) {
    if (!text) return;
    auto *block = reinterpret_cast<unsigned char *>(const_cast<char *>(text)) - sizeof(size_t);
    size_t total;
    std::memcpy(&total, block, sizeof total);
    raw_free(allocator, block, total);
}

// How the bytes at a line start compare with the delimiter lines "--B" and "--B--", each
// followed by LF or CR LF.
enum class Match { kMismatch, kPrefix, kDelimiter, kClosing };

}  // namespace
}  // namespace vellum::detail

using vellum::detail::FramingBuffer;
using vellum::detail::Match;

struct vellum_multipart {
    enum State { kExpectDelimiter = 1, kHeaders = 2, kCountedBody = 3, kDelimitedBody = 4, kEpilogue = 5 };

    // What one push works with: the callbacks and the error record they see.
    struct Push {
        const vellum_multipart_callbacks *callbacks;
        void *user;
        vellum_error *error;
        bool truncated;
    };

    vellum_allocator allocator{};
    size_t max_line = 0;
    size_t max_headers = 0;
    size_t max_body = 0;

    char *delimiter = nullptr;  // "--" boundary "--"; the delimiter is its first delimiter_len bytes
    size_t delimiter_len = 0;
    size_t closing_len = 0;

    FramingBuffer line;
    FramingBuffer held;        // delimited body bytes held back while a delimiter may follow
    bool skip_lf = false;      // the last line ended at a CR: a following LF belongs to it
    State state = kExpectDelimiter;
    uint64_t remaining = 0;    // counted body bytes still owed
    bool body_line_start = false;  // nothing of the delimited body seen yet: a line starts here
    bool candidate = false;    // held holds a line break plus a possible delimiter line
    size_t candidate_start = 0;
    bool closed = false;       // the closing delimiter line was seen
    bool finished = false;     // vellum_multipart_finish succeeded
    vellum_error failure{};    // first failure; code 0 while none

    // The part being assembled.
    char *name = nullptr;
    const char *content_type = nullptr;
    int64_t content_length = -1;
    vellum_multipart_header *headers = nullptr;
    size_t header_count = 0;
    size_t header_capacity = 0;

    ~vellum_multipart() {
        reset_part();
        if (headers) vellum::detail::raw_free(allocator, headers, header_capacity * sizeof *headers);
        if (delimiter) vellum::detail::raw_free(allocator, delimiter, closing_len + 1);
    }

    void reset_part() {
        for (size_t i = 0; i < header_count; i++) vellum::detail::free_sized(allocator, headers[i].name);
        header_count = 0;
        vellum::detail::free_sized(allocator, name);
        name = nullptr;
        content_type = nullptr;
        content_length = -1;
    }

    vellum_multipart_part part() const {
        vellum_multipart_part p;
        p.name = name;
        p.content_type = content_type;
        p.content_length = content_length;
        p.headers = headers;
        p.header_count = header_count;
        return p;
    }

    // ---- callbacks ------------------------------------------------------------------------

    static vellum_status callback_outcome(Push &push, int rc, const char *which) {
        if (rc == VELLUM_STATUS_OK) return VELLUM_STATUS_OK;
        if (rc == VELLUM_STATUS_TRUNCATED) {
            push.truncated = true;
            return VELLUM_STATUS_OK;
        }
        int own = push.error->code;
        if (own != VELLUM_STATUS_OK && own != VELLUM_STATUS_TRUNCATED) return own;
        return vellum::detail::set_error(push.error, VELLUM_STATUS_CALLBACK_FAILED, "multipart %s callback failed",
                                         which);
    }

    vellum_status begin_part(Push &push) {
        if (!push.callbacks || !push.callbacks->begin_part) return VELLUM_STATUS_OK;
        vellum_multipart_part p = part();
        return callback_outcome(push, push.callbacks->begin_part(push.user, &p, push.error), "begin_part");
    }

    vellum_status data(Push &push, const void *bytes, size_t len) {
        if (len == 0 || !push.callbacks || !push.callbacks->part_data) return VELLUM_STATUS_OK;
        return callback_outcome(push, push.callbacks->part_data(push.user, bytes, len, push.error), "part_data");
    }

    // Calls end_part and drops the part; a delimiter or a closing delimiter decides what follows.
    vellum_status end_part(Push &push, State next) {
        vellum_status status = VELLUM_STATUS_OK;
        if (push.callbacks && push.callbacks->end_part) {
            vellum_multipart_part p = part();
            status = callback_outcome(push, push.callbacks->end_part(push.user, &p, push.error), "end_part");
        }
        reset_part();
        enter(next);
        return status;
    }

    void enter(State next) {
        state = next;
        line.clear();
        held.clear();
        candidate = false;
        body_line_start = next == kDelimitedBody;
        if (next == kEpilogue) closed = true;
    }

    // ---- lines (delimiters and headers) ----------------------------------------------------

    bool is_delimiter(std::string_view text) const { return text == std::string_view(delimiter, delimiter_len); }
    bool is_closing(std::string_view text) const { return text == std::string_view(delimiter, closing_len); }

    vellum_status on_line(Push &push, std::string_view text) {
        if (state == kExpectDelimiter) {
            if (text.empty()) return VELLUM_STATUS_OK;
            if (is_delimiter(text)) {
                reset_part();
                enter(kHeaders);
                return VELLUM_STATUS_OK;
            }
            if (is_closing(text)) {
                enter(kEpilogue);
                return VELLUM_STATUS_OK;
            }
            return vellum::detail::set_error(push.error, VELLUM_STATUS_INVALID_JSON, "unexpected multipart boundary line");
        }
        if (state == kHeaders) return text.empty() ? end_headers(push) : on_header(push, text);
        return VELLUM_STATUS_OK;  // epilogue
    }

    vellum_status on_header(Push &push, std::string_view text) {
        using namespace vellum::detail;
        size_t colon = text.find(':');
        if (colon == std::string_view::npos)
            return set_error(push.error, VELLUM_STATUS_INVALID_JSON, "invalid multipart header line");
        if (header_count >= max_headers)
            return set_error(push.error, VELLUM_STATUS_OVERFLOW, "multipart header count limit exceeded");
        if (header_count == header_capacity) {
            size_t next = header_capacity ? header_capacity * 2 : kInitialHeaderSlots;
            if (next > max_headers) next = max_headers;
            void *grown = raw_realloc(allocator, headers, header_capacity * sizeof *headers, next * sizeof *headers);
            if (!grown) return set_error(push.error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate headers");
            headers = static_cast<vellum_multipart_header *>(grown);
            header_capacity = next;
        }
        std::string_view key = text.substr(0, colon);
        std::string_view value = trim_blanks(text.substr(colon + 1));
        char *copy = dup_sized(allocator, key, value, true);
        if (!copy) return set_error(push.error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate string");
        const char *value_copy = copy + key.size() + 1;
        headers[header_count++] = vellum_multipart_header{copy, value_copy};

        if (ascii_iequal(key, "Content-Disposition")) return on_disposition(push, value);
        if (ascii_iequal(key, "Content-Type")) {
            content_type = value_copy;
            return VELLUM_STATUS_OK;
        }
        if (ascii_iequal(key, "Content-Length")) return on_content_length(push, value);
        return VELLUM_STATUS_OK;
    }

    vellum_status on_disposition(Push &push, std::string_view value) {
        using namespace vellum::detail;
        size_t semicolon = value.find(';');
        if (semicolon == std::string_view::npos) return VELLUM_STATUS_OK;
        std::string_view rest = value.substr(semicolon + 1);
        Param param;
        while (next_param(rest, param, true)) {
            if (!ascii_iequal(param.name, "name")) continue;
            if (param.unterminated)
                return set_error(push.error, VELLUM_STATUS_INVALID_JSON, "multipart Content-Disposition name invalid");
            char *copy = dup_sized(allocator, param.value, {}, false);
            if (!copy) return set_error(push.error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate string");
            if (param.quoted) {  // drop the backslashes of escaped bytes
                size_t out = 0;
                for (size_t i = 0; i < param.value.size(); i++) {
                    if (param.value[i] == '\\' && i + 1 < param.value.size()) i++;
                    copy[out++] = param.value[i];
                }
                copy[out] = '\0';
            }
            free_sized(allocator, name);
            name = copy;
            return VELLUM_STATUS_OK;
        }
        return VELLUM_STATUS_OK;
    }

    vellum_status on_content_length(Push &push, std::string_view value) {
        using namespace vellum::detail;
        if (value.empty()) return set_error(push.error, VELLUM_STATUS_INVALID_JSON, "multipart Content-Length is invalid");
        for (char c : value)
            if (c < '0' || c > '9')
                return set_error(push.error, VELLUM_STATUS_INVALID_JSON, "multipart Content-Length is invalid");
        uint64_t total = 0;
        for (char c : value) {
            auto digit = static_cast<uint64_t>(c - '0');
            if (total > (static_cast<uint64_t>(INT64_MAX) - digit) / 10)
                return set_error(push.error, VELLUM_STATUS_OVERFLOW, "multipart Content-Length exceeds supported range");
            total = total * 10 + digit;
        }
        content_length = static_cast<int64_t>(total);
        return VELLUM_STATUS_OK;
    }

    vellum_status end_headers(Push &push) {
        vellum_status status = begin_part(push);
        if (status) return status;
        if (content_length < 0) {
            enter(kDelimitedBody);
        } else if (content_length > 0) {
            enter(kCountedBody);
            remaining = static_cast<uint64_t>(content_length);
        } else {
            return end_part(push, kExpectDelimiter);
        }
        return VELLUM_STATUS_OK;
    }

    // ---- delimited bodies -----------------------------------------------------------------

    // Compares `len` bytes at a line start with the delimiter lines; on a full match
    // *match_len receives the length of the delimiter line with its line break.
    Match match_at(const char *p, size_t len, size_t *match_len) const {
        size_t head = len < delimiter_len ? len : delimiter_len;
        if (std::memcmp(p, delimiter, head) != 0) return Match::kMismatch;
        if (len < delimiter_len) return Match::kPrefix;
        std::string_view rest(p + delimiter_len, len - delimiter_len);
        static constexpr std::string_view kTails[] = {"\n", "\r\n", "--\n", "--\r\n"};
        bool prefix = false;
        for (size_t t = 0; t < 4; t++) {
            std::string_view tail = kTails[t];
            if (rest.size() >= tail.size()) {
                if (rest.substr(0, tail.size()) == tail) {
                    *match_len = delimiter_len + tail.size();
                    return t < 2 ? Match::kDelimiter : Match::kClosing;
                }
            } else if (tail.substr(0, rest.size()) == rest) {
                prefix = true;
            }
        }
        return prefix ? Match::kPrefix : Match::kMismatch;
    }

    // The reference step: one body byte joins the held-back bytes, which are then checked for
    // a delimiter line at their line start. Used while bytes are held back, and for every byte
    // when max_body_buffer_bytes is too small for the bulk scan below to stay within it.
    vellum_status body_byte(Push &push, char byte) {
        vellum_status status = held.push_back(byte, push.error);
        if (status) return status;
        if (body_line_start) {
            body_line_start = false;
            candidate = true;
            candidate_start = 0;
        }
        if (candidate) {
            size_t match_len = 0;
            Match m = match_at(held.data() + candidate_start, held.size() - candidate_start, &match_len);
            if (m == Match::kPrefix) return VELLUM_STATUS_OK;
            if (m != Match::kMismatch) {
                // Everything before the held line break was passed on already.
                return end_part(push, m == Match::kDelimiter ? kHeaders : kEpilogue);
            }
            candidate = false;
        }
        // No delimiter can start before the last byte: keep only a trailing line break.
        size_t keep = 0;
        if (byte == '\n') {
            keep = held.size() >= 2 && held.data()[held.size() - 2] == '\r' ? 2 : 1;
        } else if (byte == '\r') {
            keep = 1;
        }
        status = data(push, held.data(), held.size() - keep);
        if (status) return status;
        held.drop_front(held.size() - keep);
        if (byte == '\n') {
            candidate = true;
            candidate_start = keep;
        }
        return VELLUM_STATUS_OK;
    }

    // Bulk scan of a delimited body; returns the bytes used (the rest belongs to the next
    // state after a delimiter line). Gives the same bytes and outcome as body_byte per byte.
    vellum_status body_bytes(Push &push, const char *p, size_t n, size_t *used) {
        size_t i = 0;
        bool byte_mode = max_body < closing_len + 4;
        while (i < n && (byte_mode || !held.empty() || body_line_start)) {
            vellum_status status = body_byte(push, p[i++]);
            if (status || state != kDelimitedBody) {
                *used = i;
                return status;
            }
        }
        // Nothing is held back here: scan for line starts in the input itself.
        size_t from = i;
        while (i < n) {
            const void *lf = std::memchr(p + i, '\n', n - i);
            if (!lf) {
                size_t end = n;
                if (p[n - 1] == '\r') end = n - 1;
                vellum_status status = data(push, p + from, end - from);
                if (status) return status;
                *used = n;
                return end < n ? held.push_back('\r', push.error) : VELLUM_STATUS_OK;
            }
            size_t at = static_cast<size_t>(static_cast<const char *>(lf) - p);
            size_t start = at + 1;
            size_t break_begin = (at > from && p[at - 1] == '\r') ? at - 1 : at;
            size_t match_len = 0;
            Match m = match_at(p + start, n - start, &match_len);
            if (m == Match::kMismatch) {
                i = start;
                continue;
            }
            vellum_status status = data(push, p + from, break_begin - from);
            if (status) return status;
            if (m == Match::kPrefix) {
                status = held.append(p + break_begin, n - break_begin, push.error);
                if (status) return status;
                candidate = true;
                candidate_start = start - break_begin;
                *used = n;
                return VELLUM_STATUS_OK;
            }
            *used = start + match_len;
            return end_part(push, m == Match::kDelimiter ? kHeaders : kEpilogue);
        }
        *used = n;
        return data(push, p + from, n - from);
    }

    // ---- the push loop ----------------------------------------------------------------------

    vellum_status run(Push &push, const char *p, size_t n) {
        using namespace vellum::detail;
        size_t i = 0;
        while (i < n) {
            if (skip_lf) {
                skip_lf = false;
                if (p[i] == '\n') {
                    i++;
                    continue;
                }
            }
            switch (state) {
            case kExpectDelimiter:
            case kHeaders: {
                size_t end = i;
                while (end < n && p[end] != '\n' && p[end] != '\r') end++;
                vellum_status status = line.append(p + i, end - i, push.error);
                if (status) return status;
                if (end == n) return VELLUM_STATUS_OK;
                skip_lf = p[end] == '\r';
                i = end + 1;
                status = on_line(push, std::string_view(line.data(), line.size()));
                line.clear();
                if (status) return status;
                break;
            }
            case kCountedBody: {
                size_t take = n - i;
                if (take > remaining) take = static_cast<size_t>(remaining);
                vellum_status status = data(push, p + i, take);
                if (status) return status;
                i += take;
                remaining -= take;
                if (remaining == 0) {
                    status = end_part(push, kExpectDelimiter);
                    if (status) return status;
                }
                break;
            }
            case kDelimitedBody: {
                size_t used = 0;
                vellum_status status = body_bytes(push, p + i, n - i, &used);
                if (status) return status;
                i += used;
                break;
            }
            case kEpilogue: return VELLUM_STATUS_OK;
            }
        }
        return VELLUM_STATUS_OK;
    }

    vellum_status fail(vellum_error *error, vellum_status status) {
        if (failure.code == VELLUM_STATUS_OK) {
            vellum::detail::copy_error(&failure, *error);
            failure.code = status;
        }
        return status;
    }
};

extern "C" {

VELLUM_API vellum_multipart_options *vellum_default_multipart_options(vellum_multipart_options *options) {
    if (!options) return nullptr;
    options->max_boundary_bytes = vellum::detail::kDefaultMaxBoundary;
    options->max_line_bytes = vellum::detail::kDefaultMaxLine;
    options->max_headers = vellum::detail::kDefaultMaxHeaders;
    options->max_body_buffer_bytes = vellum::detail::kDefaultMaxBodyBuffer;
    options->allocator = nullptr;
    return options;
}

VELLUM_API vellum_multipart *vellum_multipart_open(const char *content_type, const vellum_multipart_options *options,
                                                   vellum_error *error) {
    using namespace vellum::detail;
    vellum_error_init(error);
    if (!content_type) {
        set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "multipart Content-Type is required");
        return nullptr;
    }
    vellum_multipart_options opts;
    vellum_default_multipart_options(&opts);
    if (options) {
        if (options->max_boundary_bytes) opts.max_boundary_bytes = options->max_boundary_bytes;
        if (options->max_line_bytes) opts.max_line_bytes = options->max_line_bytes;
        if (options->max_headers) opts.max_headers = options->max_headers;
        if (options->max_body_buffer_bytes) opts.max_body_buffer_bytes = options->max_body_buffer_bytes;
        opts.allocator = options->allocator;
    }
    if (allocator_is_partial(opts.allocator)) {
        set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, kPartialAllocatorMessage);
        return nullptr;
    }
    std::string_view boundary;
    if (extract_boundary(content_type, opts.max_boundary_bytes, boundary, error)) return nullptr;

    vellum_allocator allocator = resolve_allocator(opts.allocator);
    void *memory = raw_alloc(allocator, sizeof(vellum_multipart));
    if (!memory) {
        set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate multipart parser");
        return nullptr;
    }
    auto *parser = new (memory) vellum_multipart();
    parser->allocator = allocator;
    parser->max_line = opts.max_line_bytes;
    parser->max_headers = opts.max_headers;
    parser->max_body = opts.max_body_buffer_bytes;
    parser->delimiter_len = boundary.size() + 2;
    parser->closing_len = boundary.size() + 4;
    parser->delimiter = static_cast<char *>(raw_alloc(allocator, parser->closing_len + 1));
    if (!parser->delimiter) {
        vellum_multipart_close(parser);
        set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate multipart parser");
        return nullptr;
    }
    std::memcpy(parser->delimiter, "--", 2);
    std::memcpy(parser->delimiter + 2, boundary.data(), boundary.size());
    std::memcpy(parser->delimiter + 2 + boundary.size(), "--", 3);
    parser->line.setup(allocator, opts.max_line_bytes, 128);
    parser->held.setup(allocator, opts.max_body_buffer_bytes, 256);
    return parser;
}

VELLUM_API vellum_status vellum_multipart_push(vellum_multipart *parser, const void *bytes, size_t len,
                                               const vellum_multipart_callbacks *callbacks, void *user,
                                               vellum_error *error) {
    using namespace vellum::detail;
    if (!parser || (!bytes && len != 0))
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "multipart parser and bytes are required");
    if (parser->finished) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "multipart parser is already finished");
    vellum_error_init(error);
    if (parser->failure.code) {
        copy_error(error, parser->failure);
        return parser->failure.code;
    }
    if (len == 0) return VELLUM_STATUS_OK;
    vellum_error local;
    vellum_error_init(&local);
    vellum_multipart::Push push{callbacks, user, error ? error : &local, false};
    vellum_status status = parser->run(push, static_cast<const char *>(bytes), len);
    if (status) return parser->fail(push.error, status);
    if (push.truncated) {
        push.error->truncated = 1;
        return VELLUM_STATUS_TRUNCATED;
    }
    return VELLUM_STATUS_OK;
}

VELLUM_API vellum_status vellum_multipart_finish(vellum_multipart *parser, const vellum_multipart_callbacks *callbacks,
                                                 void *user, vellum_error *error) {
    using namespace vellum::detail;
    (void)callbacks;
    (void)user;
    if (!parser) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "multipart parser is required");
    vellum_error_init(error);
    if (parser->failure.code) {
        copy_error(error, parser->failure);
        return parser->failure.code;
    }
    if (!parser->closed)
        return set_error(error, VELLUM_STATUS_INVALID_JSON, "multipart stream ended before closing boundary");
    parser->finished = true;
    return VELLUM_STATUS_OK;
}

VELLUM_API void vellum_multipart_close(vellum_multipart *parser) {
    if (!parser) return;
    vellum_allocator allocator = parser->allocator;
    parser->~vellum_multipart();
    vellum::detail::raw_free(allocator, parser, sizeof(vellum_multipart));
}

}  // extern "C"
