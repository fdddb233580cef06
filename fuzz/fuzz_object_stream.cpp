// Object stream: the objects of a sequence read whole and read in splits with would-block
// pauses must be the same, with the same errors, and other errors must make progress.
#include "fuzz_record.h"

using namespace korvo::fuzz;

namespace {

std::string run(const uint8_t *data, size_t size, uint64_t salt) {
    SplitReader reader{{reinterpret_cast<const char *>(data), size},
                       salt ? split_sizes(data, size, salt) : std::vector<size_t>{}};
    reader.empty_is_would_block = true;
    vellum_error error;
    vellum_parse_options options = options_for(data, size);
    vellum_stream *stream = vellum_stream_open_reader(&doc_plain_map, SplitReader::read, &reader, &options, &error);
    expect(stream != nullptr, "object stream did not open");
    Doc doc;
    std::memset(&doc, 0, sizeof doc);
    vellum_init(&doc_plain_map, &doc);
    std::string trace;
    size_t errors = 0;
    int result = VELLUM_STREAM_OBJECT;
    for (size_t calls = 0; calls < 8 * size + 64; calls++) {
        result = vellum_stream_next(stream, &doc, &error);
        if (result == VELLUM_STREAM_WOULD_BLOCK) continue;
        if (result == VELLUM_STREAM_END) break;
        if (result == VELLUM_STREAM_OBJECT) {
            trace += render(doc, 0, &doc_plain_map) + " " + outcome(error.code, error) + "\n";
        } else {
            trace += "error " + outcome(error.code, error) + "\n";
            // A byte other than '{' between objects is not consumed: every later call fails
            // the same way, so the sequence ends here.
            if (std::strcmp(error.message, "expected top-level object") == 0) {
                result = VELLUM_STREAM_END;
                break;
            }
            expect(++errors <= size + 1, "object stream repeats errors without consuming input");
        }
    }
    expect(result == VELLUM_STREAM_END, "object stream did not reach its end");
    vellum_cleanup(&doc_plain_map, &doc);
    vellum_stream_close(stream);
    return trace;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    std::string whole = run(data, size, 0);
    expect_same("object stream splits", whole, run(data, size, 31));
    return 0;
}
