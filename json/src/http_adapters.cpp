// HTTP transfer adapters: libcurl-shaped write and read callbacks over the push parser (one
// mapped record) and over the generator (request bodies).
#include "core.h"
#include "parser.h"

namespace vellum::detail {
namespace {

// The parser of a parse adapter and its workspace, in one allocation.
struct CurlParser {
    vellum_parser_state state;  // first member: the handle points here
    alignas(8) unsigned char workspace[kParserWorkspaceBytes];
    vellum_allocator allocator; // what this block was allocated with
};

CurlParser *owner_of(vellum_parser_state *state) { return reinterpret_cast<CurlParser *>(state); }

// A write that failed is sticky: its reason stays in the handle's error until cleanup.
bool write_failed(const vellum_curl_parse &handle) {
    return handle.error.code != VELLUM_STATUS_OK && handle.error.code != VELLUM_STATUS_TRUNCATED;
}

// Largest count a read callback may return: the abort value itself is reserved.
constexpr size_t kMaxReadChunk = VELLUM_CURL_READFUNC_ABORT - 1;

}  // namespace
}  // namespace vellum::detail

using namespace vellum::detail;

extern "C" {

VELLUM_API vellum_status vellum_curl_parse_init(vellum_curl_parse *handle, const vellum_map *map, void *destination,
                                                const vellum_parse_options *options) {
    if (!handle) return VELLUM_STATUS_INVALID_ARGUMENT;
    std::memset(handle, 0, sizeof *handle);
    vellum_error *error = &handle->error;
    if (!map || !destination)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "map and destination are required");
    if (options && allocator_is_partial(options->allocator))
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", kPartialAllocatorMessage);
    if (!map_layout_valid(map)) return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "%s", kInvalidLayoutMessage);

    vellum_allocator allocator = resolve_allocator(options ? options->allocator : nullptr);
    auto *parser = static_cast<CurlParser *>(raw_alloc(allocator, sizeof(CurlParser)));
    if (!parser) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate parser");
    std::memset(static_cast<void *>(parser), 0, sizeof *parser);
    parser->allocator = allocator;
    vellum__parser_init_state(&parser->state, map, destination, options, 0, parser->workspace);
    if (!options || options->clear_destination) record_init(map, destination, allocator, true);
    handle->parser = &parser->state;
    return VELLUM_STATUS_OK;
}

VELLUM_API size_t vellum_curl_write_callback(const void *data, size_t size, size_t count, vellum_curl_parse *handle) {
    if (!handle || !handle->parser) return 0;
    if (write_failed(*handle)) return 0;
    size_t length;
    if (__builtin_mul_overflow(size, count, &length)) {
        set_error(&handle->error, VELLUM_STATUS_INVALID_ARGUMENT, "invalid parser feed arguments");
        return 0;
    }
    if (length == 0) return 0;
    // The parser refuses NULL data itself ("invalid parser feed arguments") and stays failed.
    vellum_parser_state *state = handle->parser;
    vellum_status status = vellum__parser_feed_bytes(state, data, length, nullptr, 0);
    if (status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED) return length;
    copy_error(&handle->error, state->error);
    return 0;
}

VELLUM_API vellum_status vellum_curl_parse_finish(vellum_curl_parse *handle) {
    if (!handle || !handle->parser) return VELLUM_STATUS_INVALID_ARGUMENT;
    if (write_failed(*handle)) return handle->error.code;
    vellum_parser_state *state = handle->parser;
    vellum_status status = vellum_parser_finish(state);
    copy_error(&handle->error, state->error);
    return status;
}

VELLUM_API void vellum_curl_parse_cleanup(vellum_curl_parse *handle) {
    if (!handle || !handle->parser) return;
    CurlParser *parser = owner_of(handle->parser);
    vellum_allocator allocator = parser->allocator;
    raw_free(allocator, parser, sizeof *parser);
    handle->parser = nullptr;
}

VELLUM_API vellum_status vellum_curl_upload_init(vellum_generator *generator, const vellum_map *map,
                                                 const void *record, const vellum_write_options *options) {
    if (!generator) return VELLUM_STATUS_INVALID_ARGUMENT;
    std::memset(generator, 0, sizeof *generator);
    return vellum_generator_init(generator, map, record, options);
}

VELLUM_API size_t vellum_curl_read_callback(void *buffer, size_t size, size_t count, vellum_generator *generator) {
    if (!buffer || !generator || !generator->state) return VELLUM_CURL_READFUNC_ABORT;
    size_t capacity;
    if (__builtin_mul_overflow(size, count, &capacity)) capacity = SIZE_MAX;
    if (capacity == 0) return 0;
    if (capacity > kMaxReadChunk) capacity = kMaxReadChunk;
    size_t written = 0;
    vellum_status status = vellum_generator_read(generator, buffer, capacity, &written, nullptr);
    if (status != VELLUM_STATUS_OK) return VELLUM_CURL_READFUNC_ABORT;
    return written;
}

VELLUM_API int64_t vellum_curl_upload_size(const vellum_generator *) { return -1; }

VELLUM_API void vellum_curl_upload_cleanup(vellum_generator *generator) { vellum_generator_cleanup(generator); }

}  // extern "C"
