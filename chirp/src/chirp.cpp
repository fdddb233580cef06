// libchirp: JSON-lines structured logger. A logger is an immutable block holding its level,
// its output stream and its derived fields already rendered as JSON, so an event is one
// formatting pass into a local buffer followed by one write.
#include "chirp.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unistd.h>

namespace chirp::detail {
namespace {

// The heap block behind every chirp_logger. `head` comes first so the public pointer and
// the block share one address; `fields` points just past the block.
struct Logger {
    chirp_logger head;
    int level;
    FILE *output;
    size_t fields_length; // rendered ',"key":value' pairs of the derived loggers
    char *fields;
};

constexpr std::string_view level_names[] = {"trace", "debug", "info", "warn", "error"};
constexpr char hex_digits[] = "0123456789abcdef";

// Growable byte buffer that starts on the stack and reports allocation failure by flag.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (data_ != inline_) std::free(data_);
    }

    void append(std::string_view bytes) {
        if (!reserve(bytes.size())) return;
        std::memcpy(data_ + length_, bytes.data(), bytes.size());
        length_ += bytes.size();
    }
    void push(char c) {
        if (!reserve(1)) return;
        data_[length_++] = c;
    }
    bool failed() const { return failed_; }
    const char *data() const { return data_; }
    size_t size() const { return length_; }

  private:
    bool reserve(size_t extra) {
        if (failed_) return false;
        if (extra <= capacity_ - length_) return true;
        if (extra > SIZE_MAX / 2 - length_) {
            failed_ = true;
            return false;
        }
        size_t wanted = capacity_ * 2;
        while (wanted - length_ < extra) wanted *= 2;
        char *grown = data_ == inline_ ? static_cast<char *>(std::malloc(wanted))
                                       : static_cast<char *>(std::realloc(data_, wanted));
        if (!grown) {
            failed_ = true;
            return false;
        }
        if (data_ == inline_) std::memcpy(grown, inline_, length_);
        data_ = grown;
        capacity_ = wanted;
        return true;
    }

    char inline_[768];
    char *data_ = inline_;
    size_t length_ = 0;
    size_t capacity_ = sizeof(inline_);
    bool failed_ = false;
};

// Length of the valid UTF-8 sequence at the start of s (1 to 4), or 0 when the bytes there
// are not one: stray continuation bytes, overlong forms, surrogates, values past U+10FFFF.
size_t utf8_sequence_length(const unsigned char *s, size_t available) {
    unsigned char b0 = s[0];
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (available < need) return 0;
    if (s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < need; i++) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return need;
}

// Appends text as a quoted JSON string.
void append_string(Buffer &out, const char *text) {
    out.push('"');
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t length = std::strlen(text);
    size_t run = 0; // start of the pending run of bytes copied as they are
    size_t i = 0;
    auto flush = [&](size_t end) {
        if (end > run) out.append(std::string_view(text + run, end - run));
    };
    while (i < length) {
        unsigned char c = s[i];
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            i++;
            continue;
        }
        if (c >= 0x80) {
            size_t n = utf8_sequence_length(s + i, length - i);
            if (n > 0) {
                i += n;
                continue;
            }
            flush(i);
            out.append("\\ufffd");
            run = ++i;
            continue;
        }
        flush(i);
        switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default: {
            const char escaped[] = {'\\', 'u', '0', '0', hex_digits[c >> 4], hex_digits[c & 0xF]};
            out.append(std::string_view(escaped, sizeof(escaped)));
        }
        }
        run = ++i;
    }
    flush(length);
    out.push('"');
}

template <typename T> void append_integer(Buffer &out, T value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
}

// Appends ',"key":value' for each field.
void append_fields(Buffer &out, const chirp_field *fields, size_t count) {
    if (!fields) return;
    for (size_t i = 0; i < count; i++) {
        const chirp_field &field = fields[i];
        out.push(',');
        append_string(out, field.key ? field.key : "");
        out.push(':');
        switch (field.kind) {
        case CHIRP_KIND_STR:
        case CHIRP_KIND_TRUSTED_STR:
            if (field.value.str) {
                append_string(out, field.value.str);
            } else {
                out.append("null");
            }
            break;
        case CHIRP_KIND_BOOL: out.append(field.value.boolean ? "true" : "false"); break;
        case CHIRP_KIND_I64: append_integer(out, field.value.i64); break;
        case CHIRP_KIND_U64: append_integer(out, field.value.u64); break;
        default: out.append("null"); break;
        }
    }
}

// RFC 3339 UTC time with milliseconds: 2024-05-01T12:00:00.123Z.
void append_timestamp(Buffer &out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    time_t seconds = now.tv_sec;
    gmtime_r(&seconds, &parts);
    char text[48];
    int n = std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900,
                          parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                          static_cast<long>(now.tv_nsec / 1000000));
    if (n > 0) out.append(std::string_view(text, static_cast<size_t>(n)));
}

// Hands one complete line to the stream. Under the stream's lock, pending stdio data goes
// first and the line follows in one write(2) when the stream has a descriptor, so even other
// processes reading a pipe see whole lines; streams without one get a single fwrite.
void emit(FILE *out, const char *data, size_t length) {
    flockfile(out);
    int fd = fileno(out);
    if (fd >= 0 && fflush(out) == 0) {
        while (length > 0) {
            ssize_t written = ::write(fd, data, length);
            if (written < 0) {
                if (errno == EINTR) continue;
                break;
            }
            data += written;
            length -= static_cast<size_t>(written);
        }
    } else {
        if (std::fwrite(data, 1, length, out) == length) std::fflush(out);
    }
    funlockfile(out);
}

void release_logger(chirp_logger *logger) { std::free(reinterpret_cast<Logger *>(logger)); }

Logger *make_logger(int level, FILE *output, std::string_view base_fields, std::string_view more_fields) {
    size_t total = base_fields.size() + more_fields.size();
    auto *logger = static_cast<Logger *>(std::malloc(sizeof(Logger) + total + 1));
    if (!logger) return nullptr;
    logger->head.release = release_logger;
    logger->level = level;
    logger->output = output;
    logger->fields_length = total;
    logger->fields = reinterpret_cast<char *>(logger + 1);
    if (!base_fields.empty()) std::memcpy(logger->fields, base_fields.data(), base_fields.size());
    if (!more_fields.empty()) std::memcpy(logger->fields + base_fields.size(), more_fields.data(), more_fields.size());
    logger->fields[total] = '\0';
    return logger;
}

void log_event(const chirp_logger *handle, int level, const char *event, const chirp_field *fields, size_t count) {
    if (!handle) return;
    const auto *logger = reinterpret_cast<const Logger *>(handle);
    if (level < logger->level) return;
    Buffer line;
    line.append("{\"ts\":\"");
    append_timestamp(line);
    line.append("\",\"level\":\"");
    line.append(level_names[level]);
    line.append("\",\"event\":");
    if (event) {
        append_string(line, event);
    } else {
        line.append("null");
    }
    line.append(std::string_view(logger->fields, logger->fields_length));
    append_fields(line, fields, count);
    line.append("}\n");
    if (line.failed()) return;
    emit(logger->output ? logger->output : stderr, line.data(), line.size());
}

chirp_field make_field(const char *key, int kind) {
    chirp_field field;
    std::memset(&field, 0, sizeof(field));
    field.key = key;
    field.kind = kind;
    return field;
}

} // namespace
} // namespace chirp::detail

using namespace chirp::detail;

extern "C" {

CHIRP_API void chirp_default_config(chirp_config *config) {
    if (!config) return;
    config->level = CHIRP_LEVEL_INFO;
    config->output = nullptr;
}

CHIRP_API chirp_logger *chirp_new(const chirp_config *config) {
    chirp_config settings;
    chirp_default_config(&settings);
    if (config) settings = *config;
    Logger *logger = make_logger(settings.level, settings.output, {}, {});
    return logger ? &logger->head : nullptr;
}

CHIRP_API chirp_logger *chirp_with(const chirp_logger *base, const chirp_field *fields, size_t count) {
    if (!base || (!fields && count > 0)) return nullptr;
    const auto *parent = reinterpret_cast<const Logger *>(base);
    Buffer rendered;
    append_fields(rendered, fields, count);
    if (rendered.failed()) return nullptr;
    Logger *logger = make_logger(parent->level, parent->output, std::string_view(parent->fields, parent->fields_length),
                                 std::string_view(rendered.data(), rendered.size()));
    return logger ? &logger->head : nullptr;
}

CHIRP_API void chirp_trace(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    log_event(logger, CHIRP_LEVEL_TRACE, event, fields, count);
}

CHIRP_API void chirp_debug(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    log_event(logger, CHIRP_LEVEL_DEBUG, event, fields, count);
}

CHIRP_API void chirp_info(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    log_event(logger, CHIRP_LEVEL_INFO, event, fields, count);
}

CHIRP_API void chirp_warn(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    log_event(logger, CHIRP_LEVEL_WARN, event, fields, count);
}

CHIRP_API void chirp_error(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count) {
    log_event(logger, CHIRP_LEVEL_ERROR, event, fields, count);
}

CHIRP_API chirp_field chirp_str(const char *key, const char *value) {
    if (!value) return make_field(key, CHIRP_KIND_NULL);
    chirp_field field = make_field(key, CHIRP_KIND_STR);
    field.value.str = value;
    return field;
}

CHIRP_API chirp_field chirp_trusted_str(const char *key, const char *value) {
    if (!value) return make_field(key, CHIRP_KIND_NULL);
    chirp_field field = make_field(key, CHIRP_KIND_TRUSTED_STR);
    field.value.str = value;
    return field;
}

CHIRP_API chirp_field chirp_null(const char *key) { return make_field(key, CHIRP_KIND_NULL); }

CHIRP_API chirp_field chirp_bool(const char *key, int value) {
    chirp_field field = make_field(key, CHIRP_KIND_BOOL);
    field.value.boolean = value != 0;
    return field;
}

CHIRP_API chirp_field chirp_i64(const char *key, int64_t value) {
    chirp_field field = make_field(key, CHIRP_KIND_I64);
    field.value.i64 = value;
    return field;
}

CHIRP_API chirp_field chirp_u64(const char *key, uint64_t value) {
    chirp_field field = make_field(key, CHIRP_KIND_U64);
    field.value.u64 = value;
    return field;
}

} // extern "C"
