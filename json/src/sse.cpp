// The server-sent-events push parser: lines, the fields of each event, and dispatch, in a
// plain mode (data handed over in chunks) and a JSON mode (data parsed into a mapped record).
#include "framing_buffer.h"
#include "parser.h"

#include <new>
#include <string_view>

namespace vellum::detail {
namespace {

constexpr size_t kDefaultMaxLine = 65536;
constexpr size_t kDefaultMaxEventData = 1048576;
constexpr size_t kDefaultMaxField = 1048576;

// The JSON mode's decision for the current event.
enum class Filter { kUndecided, kAccepted, kRejected };

bool filters(const vellum_sse_json_options *json) {
    return json && json->event_names && json->event_name_count > 0;
}

bool name_listed(const vellum_sse_json_options *json, std::string_view name) {
    for (size_t i = 0; i < json->event_name_count; i++) {
        const char *listed = json->event_names[i];
        if (listed && name == std::string_view(listed)) return true;
    }
    return false;
}

// A retry value: one or more ASCII digits whose number fits in 32 bits.
bool parse_retry(std::string_view value, uint32_t *out) {
    if (value.empty()) return false;
    uint64_t total = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
        total = total * 10 + static_cast<uint64_t>(c - '0');
        if (total > UINT32_MAX) return false;
    }
    *out = static_cast<uint32_t>(total);
    return true;
}

}  // namespace
}  // namespace vellum::detail

using vellum::detail::Filter;
using vellum::detail::FramingBuffer;

struct vellum_sse {
    // What one call works with: the mode's callbacks and the error record they see.
    struct Call {
        const vellum_sse_callbacks *callbacks;   // plain mode
        const vellum_map *map;                   // JSON mode (map != NULL)
        void *destination;
        const vellum_sse_json_options *json;
        vellum_sse_json_callback json_callback;
        void *user;
        vellum_error *error;
        bool truncated;
    };

    vellum_allocator allocator{};
    size_t max_event_data = 0;

    FramingBuffer line;
    FramingBuffer name;
    FramingBuffer id;
    bool skip_lf = false;   // the last line ended at a CR: a following LF belongs to it
    bool finished = false;

    // The event being collected.
    size_t data_bytes = 0;
    uint32_t retry = 0;
    bool has_retry = false;
    bool has_id = false;
    bool has_fields = false;
    bool begun = false;       // begin_event was called
    bool data_seen = false;   // a data line was delivered (plain) or fed to the parser (JSON)

    // JSON mode.
    Filter filter = Filter::kUndecided;
    bool parsing = false;     // the embedded parser holds this event's data
    const vellum_map *parse_map = nullptr;
    void *parse_destination = nullptr;
    const vellum_parse_options *parse_options = nullptr;
    void *last_destination = nullptr;  // filled by an earlier event: reset, not merely initialised
    const vellum_map *last_map = nullptr;
    vellum_parser_state parser{};
    alignas(8) unsigned char workspace[vellum::detail::kParserWorkspaceBytes];

    vellum_sse_event event() {
        vellum_sse_event e;
        e.event = name.c_str();
        e.id = has_id ? id.c_str() : nullptr;
        e.data_bytes = data_bytes;
        e.retry = retry;
        e.has_retry = has_retry ? 1 : 0;
        return e;
    }

    void clear_event() {
        name.clear();
        id.clear();
        data_bytes = 0;
        retry = 0;
        has_retry = has_id = has_fields = begun = data_seen = false;
        filter = Filter::kUndecided;
        parsing = false;
        parse_map = nullptr;
        parse_destination = nullptr;
        parse_options = nullptr;
    }

    // ---- callbacks ------------------------------------------------------------------------

    static vellum_status outcome(Call &call, int rc, const char *message) {
        if (rc == VELLUM_STATUS_OK) return VELLUM_STATUS_OK;
        if (rc == VELLUM_STATUS_TRUNCATED) {
            call.truncated = true;
            return VELLUM_STATUS_OK;
        }
        int own = call.error->code;
        if (own != VELLUM_STATUS_OK && own != VELLUM_STATUS_TRUNCATED) return own;
        return vellum::detail::set_error(call.error, VELLUM_STATUS_CALLBACK_FAILED, "%s", message);
    }

    vellum_status begin(Call &call) {
        if (begun) return VELLUM_STATUS_OK;
        begun = true;
        if (!call.callbacks || !call.callbacks->begin_event) return VELLUM_STATUS_OK;
        vellum_sse_event e = event();
        return outcome(call, call.callbacks->begin_event(call.user, &e, call.error), "SSE begin_event callback failed");
    }

    vellum_status chunk(Call &call, const char *data, size_t len) {
        if (!call.callbacks || !call.callbacks->data_chunk) return VELLUM_STATUS_OK;
        return outcome(call, call.callbacks->data_chunk(call.user, data, len, call.error),
                       "SSE data_chunk callback failed");
    }

    // ---- lines and fields ---------------------------------------------------------------------

    vellum_status on_line(Call &call, std::string_view text) {
        using namespace vellum::detail;
        if (text.empty()) return dispatch(call);
        if (text.front() == ':') return VELLUM_STATUS_OK;
        size_t colon = text.find(':');
        std::string_view field = text.substr(0, colon);
        std::string_view value;
        if (colon != std::string_view::npos) {
            value = text.substr(colon + 1);
            if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        }
        if (field == "data") return call.map ? json_data(call, value) : plain_data(call, value);
        if (field == "event") {
            if (call.map && data_seen_or_decided() && filters(call.json))
                return set_error(call.error, VELLUM_STATUS_INVALID_ARGUMENT,
                                 "SSE event name must precede data for streaming JSON filters");
            name.clear();
            vellum_status status = name.append(value.data(), value.size(), call.error);
            if (status) return status;
            has_fields = true;
            return VELLUM_STATUS_OK;
        }
        if (field == "id") {
            if (value.find('\0') != std::string_view::npos) return VELLUM_STATUS_OK;
            id.clear();
            vellum_status status = id.append(value.data(), value.size(), call.error);
            if (status) return status;
            has_id = has_fields = true;
            return VELLUM_STATUS_OK;
        }
        if (field == "retry") {
            if (parse_retry(value, &retry)) has_retry = has_fields = true;
            return VELLUM_STATUS_OK;
        }
        return VELLUM_STATUS_OK;
    }

    bool data_seen_or_decided() const { return data_seen || filter != Filter::kUndecided; }

    // Bytes this data line adds: its value, plus the line break joining it to the previous one.
    bool over_limit(size_t len) const {
        size_t join = data_seen ? 1 : 0;
        return len > max_event_data || data_bytes + join > max_event_data - len;
    }

    vellum_status plain_data(Call &call, std::string_view value) {
        if (over_limit(value.size()))
            return vellum::detail::set_error(call.error, VELLUM_STATUS_OVERFLOW, "SSE event data exceeds configured limit");
        has_fields = true;
        vellum_status status = begin(call);
        if (status) return status;
        if (data_seen) {
            status = chunk(call, "\n", 1);
            if (status) return status;
            data_bytes++;
        }
        data_seen = true;
        if (!value.empty()) {
            status = chunk(call, value.data(), value.size());
            if (status) return status;
            data_bytes += value.size();
        }
        return VELLUM_STATUS_OK;
    }

    vellum_status json_data(Call &call, std::string_view value) {
        using namespace vellum::detail;
        has_fields = true;
        if (filter == Filter::kUndecided) decide(call);
        if (filter == Filter::kRejected) return VELLUM_STATUS_OK;
        if (over_limit(value.size()))
            return set_error(call.error, VELLUM_STATUS_OVERFLOW, "SSE JSON event data exceeds configured limit");
        const vellum_parse_options *options = call.json ? call.json->parse_options : nullptr;
        if (!parsing) {
            start_parse(call, options);
        } else if (parse_map != call.map || parse_destination != call.destination || parse_options != options) {
            return set_error(call.error, VELLUM_STATUS_INVALID_ARGUMENT,
                             "SSE JSON parser arguments changed during an event");
        }
        if (data_seen) {
            vellum_status status = feed(call, "\n", 1);
            if (status) return status;
            data_bytes++;
        }
        data_seen = true;
        vellum_status status = feed(call, value.data(), value.size());
        if (status) return status;
        data_bytes += value.size();
        return VELLUM_STATUS_OK;
    }

    void decide(Call &call) {
        using namespace vellum::detail;
        if (!filters(call.json)) {
            filter = Filter::kAccepted;
            return;
        }
        filter = name_listed(call.json, std::string_view(name.data(), name.size())) ? Filter::kAccepted
                                                                                    : Filter::kRejected;
    }

    // Starts this event's parse; a destination still holding an earlier event's values is reset.
    void start_parse(Call &call, const vellum_parse_options *options) {
        using namespace vellum::detail;
        vellum__parser_init_state(&parser, call.map, call.destination, options, 0, workspace);
        if (parser.options.clear_destination) {
            if (call.destination != last_destination || call.map != last_map) {
                record_init(call.map, call.destination, parser.allocator, true);
            } else {
                vellum_reset(call.map, call.destination);
            }
        }
        last_destination = call.destination;
        last_map = call.map;
        parsing = true;
        parse_map = call.map;
        parse_destination = call.destination;
        parse_options = options;
    }

    vellum_status feed(Call &call, const char *bytes, size_t len) {
        if (len == 0) return VELLUM_STATUS_OK;
        vellum_status status = vellum__parser_feed_bytes(&parser, bytes, len, nullptr, 0);
        return parse_outcome(call, status);
    }

    vellum_status parse_outcome(Call &call, vellum_status status) {
        if (status == VELLUM_STATUS_OK) return VELLUM_STATUS_OK;
        if (status == VELLUM_STATUS_TRUNCATED) {
            call.truncated = true;
            return VELLUM_STATUS_OK;
        }
        vellum::detail::copy_error(call.error, parser.error);
        clear_event();
        return status;
    }

    vellum_status dispatch(Call &call) {
        if (call.map) return dispatch_json(call);
        if (!has_fields) return VELLUM_STATUS_OK;
        vellum_status status = begin(call);
        if (status) return status;
        if (call.callbacks && call.callbacks->end_event) {
            vellum_sse_event e = event();
            status = outcome(call, call.callbacks->end_event(call.user, &e, call.error), "SSE end_event callback failed");
        }
        clear_event();
        return status;
    }

    vellum_status dispatch_json(Call &call) {
        if (!parsing) {  // nothing accepted to deliver: ignored, rejected or without data
            clear_event();
            return VELLUM_STATUS_OK;
        }
        vellum_status status = parse_outcome(call, vellum_parser_finish(&parser));
        if (status) return status;
        if (call.json_callback) {
            vellum_sse_event e = event();
            status = outcome(call, call.json_callback(call.user, &e, call.destination, call.error),
                             "SSE JSON callback failed");
        }
        clear_event();
        return status;
    }

    // ---- input ------------------------------------------------------------------------------

    vellum_status run(Call &call, const char *p, size_t n) {
        size_t i = 0;
        while (i < n) {
            if (skip_lf) {
                skip_lf = false;
                if (p[i] == '\n') {
                    i++;
                    continue;
                }
            }
            size_t end = i;
            while (end < n && p[end] != '\n' && p[end] != '\r') end++;
            vellum_status status = line.append(p + i, end - i, call.error);
            if (status) return status;
            if (end == n) return VELLUM_STATUS_OK;
            skip_lf = p[end] == '\r';
            i = end + 1;
            status = on_line(call, std::string_view(line.data(), line.size()));
            line.clear();
            if (status) return status;
        }
        return VELLUM_STATUS_OK;
    }

    vellum_status finish(Call &call) {
        if (!line.empty()) {
            vellum_status status = on_line(call, std::string_view(line.data(), line.size()));
            line.clear();
            if (status) return status;
        }
        skip_lf = false;
        return dispatch(call);
    }

    static vellum_status done(Call &call, vellum_status status) {
        if (status) return status;
        if (call.truncated) {
            call.error->truncated = 1;
            return VELLUM_STATUS_TRUNCATED;
        }
        return VELLUM_STATUS_OK;
    }
};

namespace {

using namespace vellum::detail;

vellum_status check_push(vellum_sse *parser, const char *bytes, size_t len, vellum_error *error) {
    if (!parser || (!bytes && len != 0))
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "SSE parser and bytes are required");
    if (parser->finished) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "SSE parser is already finished");
    return VELLUM_STATUS_OK;
}

vellum_status check_json(const vellum_map *map, void *destination, const vellum_sse_json_options *json,
                         vellum_error *error) {
    if (!map || !destination)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "map and destination are required");
    const vellum_parse_options *options = json ? json->parse_options : nullptr;
    if (options && allocator_is_partial(options->allocator))
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, kPartialAllocatorMessage);
    if (!map_layout_valid(map)) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, kInvalidLayoutMessage);
    return VELLUM_STATUS_OK;
}

}  // namespace

extern "C" {

VELLUM_API void vellum_default_sse_options(vellum_sse_options *options) {
    if (!options) return;
    options->max_line_bytes = kDefaultMaxLine;
    options->max_event_data_bytes = kDefaultMaxEventData;
    options->max_field_bytes = kDefaultMaxField;
    options->allocator = nullptr;
}

VELLUM_API vellum_sse *vellum_sse_open(const vellum_sse_options *options, vellum_error *error) {
    vellum_error_init(error);
    vellum_sse_options opts;
    vellum_default_sse_options(&opts);
    if (options) {
        if (options->max_line_bytes) opts.max_line_bytes = options->max_line_bytes;
        if (options->max_event_data_bytes) opts.max_event_data_bytes = options->max_event_data_bytes;
        if (options->max_field_bytes) opts.max_field_bytes = options->max_field_bytes;
        opts.allocator = options->allocator;
    }
    if (allocator_is_partial(opts.allocator)) {
        set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, kPartialAllocatorMessage);
        return nullptr;
    }
    vellum_allocator allocator = resolve_allocator(opts.allocator);
    void *memory = raw_alloc(allocator, sizeof(vellum_sse));
    if (!memory) {
        set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate SSE parser");
        return nullptr;
    }
    auto *parser = new (memory) vellum_sse();
    parser->allocator = allocator;
    parser->max_event_data = opts.max_event_data_bytes;
    parser->line.setup(allocator, opts.max_line_bytes, 64);
    parser->name.setup(allocator, opts.max_field_bytes, 32);
    parser->id.setup(allocator, opts.max_field_bytes, 32);
    return parser;
}

VELLUM_API vellum_status vellum_sse_push(vellum_sse *parser, const char *bytes, size_t len,
                                         const vellum_sse_callbacks *callbacks, void *user, vellum_error *error) {
    if (vellum_status status = check_push(parser, bytes, len, error)) return status;
    vellum_error_init(error);
    vellum_error local;
    vellum_error_init(&local);
    vellum_sse::Call call{callbacks, nullptr, nullptr, nullptr, nullptr, user, error ? error : &local, false};
    return vellum_sse::done(call, parser->run(call, bytes, len));
}

VELLUM_API vellum_status vellum_sse_finish(vellum_sse *parser, const vellum_sse_callbacks *callbacks, void *user,
                                           vellum_error *error) {
    if (!parser) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "SSE parser is required");
    vellum_error_init(error);
    if (parser->finished) return VELLUM_STATUS_OK;
    vellum_error local;
    vellum_error_init(&local);
    vellum_sse::Call call{callbacks, nullptr, nullptr, nullptr, nullptr, user, error ? error : &local, false};
    vellum_status status = parser->finish(call);
    parser->finished = true;
    return vellum_sse::done(call, status);
}

VELLUM_API vellum_status vellum_sse_push_json(vellum_sse *parser, const vellum_map *map, void *destination,
                                              const char *bytes, size_t len,
                                              const vellum_sse_json_options *json_options,
                                              vellum_sse_json_callback callback, void *user, vellum_error *error) {
    if (vellum_status status = check_json(map, destination, json_options, error)) return status;
    if (vellum_status status = check_push(parser, bytes, len, error)) return status;
    vellum_error_init(error);
    vellum_error local;
    vellum_error_init(&local);
    vellum_sse::Call call{nullptr, map, destination, json_options, callback, user, error ? error : &local, false};
    return vellum_sse::done(call, parser->run(call, bytes, len));
}

VELLUM_API vellum_status vellum_sse_finish_json(vellum_sse *parser, const vellum_map *map, void *destination,
                                                const vellum_sse_json_options *json_options,
                                                vellum_sse_json_callback callback, void *user,
                                                vellum_error *error) {
    if (vellum_status status = check_json(map, destination, json_options, error)) return status;
    if (!parser) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "SSE parser is required");
    vellum_error_init(error);
    if (parser->finished) return VELLUM_STATUS_OK;
    vellum_error local;
    vellum_error_init(&local);
    vellum_sse::Call call{nullptr, map, destination, json_options, callback, user, error ? error : &local, false};
    vellum_status status = parser->finish(call);
    if (status == VELLUM_STATUS_OK) parser->finished = true;
    return vellum_sse::done(call, status);
}

VELLUM_API void vellum_sse_close(vellum_sse *parser) {
    if (!parser) return;
    vellum_allocator allocator = parser->allocator;
    parser->~vellum_sse();
    raw_free(allocator, parser, sizeof(vellum_sse));
}

}  // extern "C"
