// Object stream: any number of top-level JSON objects from a reader, FILE or descriptor,
// mapped one per call into a caller's record. Resumes exactly where it stopped when a
// non-blocking input has nothing to give.
#include "input.h"
#include "parser.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace vd = vellum::detail;
using vd::argument_error;

namespace {

constexpr size_t kInputBytes = 1024;

}  // namespace

struct vellum_stream {
    const vellum_map *map;
    vd::PulledInput input_source;
    int owns_file;
    unsigned char input[kInputBytes];
    size_t read_pos;
    size_t read_end;
    int in_object;
    void *current_destination;
    void *last_destination;
    vellum_error error;
    vellum_parse_options options;
    vellum_allocator allocator;
    vellum_parser_state parser;
    alignas(8) unsigned char workspace[vd::kParserWorkspaceBytes];
};

namespace {

vellum_stream *open_stream(const vellum_map *map, const vellum_parse_options *options, vellum_error *error) {
    if (!map) {
        argument_error(error, "map is required");
        return nullptr;
    }
    if (options && vd::allocator_is_partial(options->allocator)) {
        argument_error(error, vd::kPartialAllocatorMessage);
        return nullptr;
    }
    vellum_parse_options copy = options ? *options : vellum_default_parse_options();
    vellum_allocator allocator = vd::resolve_allocator(copy.allocator);
    auto *stream = static_cast<vellum_stream *>(vd::raw_alloc(allocator, sizeof(vellum_stream)));
    if (!stream) {
        vellum_error_init(error);
        vd::set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate stream");
        return nullptr;
    }
    std::memset(stream, 0, offsetof(vellum_stream, parser));
    stream->map = map;
    stream->input_source.fd = -1;
    stream->options = copy;
    stream->allocator = allocator;
    vellum__parser_init_state(&stream->parser, map, nullptr, &stream->options, 0, stream->workspace);
    vellum_error_init(error);
    return stream;
}

int finish_call(vellum_stream *stream, int result, vellum_error *error) {
    if (error) *error = stream->error;
    return result;
}

int stream_failure(vellum_stream *stream, vellum_status code, int sys_errno, const char *message,
                   vellum_error *error) {
    vellum_error_init(&stream->error);
    vd::set_error_errno(&stream->error, code, sys_errno, "%s", message);
    stream->in_object = 0;
    return finish_call(stream, VELLUM_STREAM_ERROR, error);
}

vd::Refill refill(vellum_stream *stream, int *sys_errno) {
    stream->read_pos = 0;
    return vd::read_input(stream->input_source, stream->input, kInputBytes, &stream->read_end, sys_errno);
}

// Starts a new object in record: fresh parser, destination cleared or reset.
void begin_object(vellum_stream *stream, void *record) {
    vellum__parser_init_state(&stream->parser, stream->map, record, &stream->options, 0, stream->workspace);
    if (stream->options.clear_destination) {
        if (record != stream->last_destination) {
            vd::record_init(stream->map, record, stream->allocator, true);
        } else {
            vellum_reset(stream->map, record);
        }
    }
    stream->last_destination = record;
    stream->current_destination = record;
    stream->in_object = 1;
}

int complete_object(vellum_stream *stream, vellum_error *error) {
    const vellum_error &parsed = stream->parser.error;
    if (parsed.code || parsed.truncated) {
        stream->error = parsed;
    } else {
        vellum_error_init(&stream->error);
    }
    stream->in_object = 0;
    return finish_call(stream, VELLUM_STREAM_OBJECT, error);
}

int parse_failure(vellum_stream *stream, vellum_error *error) {
    stream->error = stream->parser.error;
    stream->in_object = 0;
    return finish_call(stream, VELLUM_STREAM_ERROR, error);
}

}  // namespace

extern "C" {

VELLUM_API vellum_stream *vellum_stream_open_reader(const vellum_map *map, vellum_reader_fn reader, void *user,
                                                    const vellum_parse_options *options, vellum_error *error) {
    if (!reader) {
        argument_error(error, "reader callback is required");
        return nullptr;
    }
    vellum_stream *stream = open_stream(map, options, error);
    if (!stream) return nullptr;
    stream->input_source.kind = vd::InputKind::Reader;
    stream->input_source.reader = reader;
    stream->input_source.user = user;
    return stream;
}

VELLUM_API vellum_stream *vellum_stream_open_filep(const vellum_map *map, FILE *file,
                                                   const vellum_parse_options *options, vellum_error *error) {
    if (!file) {
        argument_error(error, "file pointer is required");
        return nullptr;
    }
    vellum_stream *stream = open_stream(map, options, error);
    if (!stream) return nullptr;
    stream->input_source.kind = vd::InputKind::File;
    stream->input_source.file = file;
    return stream;
}

VELLUM_API vellum_stream *vellum_stream_open_path(const vellum_map *map, const char *path,
                                                  const vellum_parse_options *options, vellum_error *error) {
    if (!path) {
        argument_error(error, "path is required");
        return nullptr;
    }
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        int sys_errno = errno;
        vellum_error_init(error);
        vd::set_error_errno(error, VELLUM_STATUS_IO_ERROR, sys_errno, "failed to open '%s'", path);
        if (error) error->line = 1;
        return nullptr;
    }
    vellum_stream *stream = open_stream(map, options, error);
    if (!stream) {
        std::fclose(file);
        return nullptr;
    }
    stream->input_source.kind = vd::InputKind::File;
    stream->input_source.file = file;
    stream->owns_file = 1;
    return stream;
}

VELLUM_API vellum_stream *vellum_stream_open_fd(const vellum_map *map, int fd, const vellum_parse_options *options,
                                                vellum_error *error) {
    if (fd < 0) {
        argument_error(error, "fd must be non-negative");
        return nullptr;
    }
    vellum_stream *stream = open_stream(map, options, error);
    if (!stream) return nullptr;
    stream->input_source.kind = vd::InputKind::Fd;
    stream->input_source.fd = fd;
    return stream;
}

VELLUM_API int vellum_stream_next(vellum_stream *stream, void *record, vellum_error *error) {
    if (!stream || !record) {
        argument_error(error, "stream and destination are required");
        return VELLUM_STREAM_ERROR;
    }
    if (stream->in_object) {
        if (record != stream->current_destination) {
            vellum_error_init(&stream->error);
            vd::set_error(&stream->error, VELLUM_STATUS_INVALID_ARGUMENT, "resume the stream with the same destination");
            return finish_call(stream, VELLUM_STREAM_ERROR, error);
        }
    } else {
        begin_object(stream, record);
    }
    vellum_parser_state *parser = &stream->parser;
    for (;;) {
        while (stream->read_pos < stream->read_end) {
            if (!parser->root_started) {
                while (stream->read_pos < stream->read_end) {
                    unsigned char c = stream->input[stream->read_pos];
                    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
                    stream->read_pos++;
                }
                if (stream->read_pos == stream->read_end) break;
                if (stream->input[stream->read_pos] != '{')
                    return stream_failure(stream, VELLUM_STATUS_INVALID_JSON, 0, "expected top-level object", error);
            }
            size_t consumed = 0;
            vellum_status status = vellum__parser_feed_bytes(parser, stream->input + stream->read_pos,
                                                             stream->read_end - stream->read_pos, &consumed, 1);
            stream->read_pos += consumed;
            if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED) return parse_failure(stream, error);
            if (vellum__parser_root_complete(parser)) return complete_object(stream, error);
        }
        int sys_errno = 0;
        switch (refill(stream, &sys_errno)) {
        case vd::Refill::Data: continue;
        case vd::Refill::WouldBlock:
            vellum_error_init(&stream->error);
            return finish_call(stream, VELLUM_STREAM_WOULD_BLOCK, error);
        case vd::Refill::Error:
            return stream_failure(stream, VELLUM_STATUS_IO_ERROR, sys_errno, "stream read failed", error);
        case vd::Refill::End:
            if (parser->root_started) {
                vellum_parser_finish(parser);
                return parse_failure(stream, error);
            }
            vellum_error_init(&stream->error);
            stream->in_object = 0;
            return finish_call(stream, VELLUM_STREAM_END, error);
        }
    }
}

VELLUM_API const vellum_error *vellum_stream_error(const vellum_stream *stream) {
    return stream ? &stream->error : nullptr;
}

VELLUM_API void vellum_stream_close(vellum_stream *stream) {
    if (!stream) return;
    if (stream->owns_file && stream->input_source.file) std::fclose(stream->input_source.file);
    vellum_allocator allocator = stream->allocator;
    vd::raw_free(allocator, stream, sizeof(vellum_stream));
}

}  // extern "C"
