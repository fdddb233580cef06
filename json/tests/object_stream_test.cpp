// The object stream over readers, FILEs, paths and descriptors, including would-block resume.
#include "vellum.h"

#include "fixtures.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using korvo::testing::CountingAllocator;
using korvo::testing::TempDir;

namespace {

struct Entry {
    int64_t a;
    char *s;
    vellum_array list;
};
const vellum_field entry_fields[] = {
    VELLUM_FIELD_I64(Entry, a, "a", 0),
    VELLUM_FIELD_STRING(Entry, s, "s", 0),
    VELLUM_FIELD_ARRAY(Entry, list, "list", VELLUM_KIND_STRING_ARRAY, 0),
};
const vellum_map entry_map = VELLUM_MAP(Entry, entry_fields);

using TextReader = korvo::testing::PieceReader;

// Every object's fields as text, then the final result and message.
std::string drain(vellum_stream *stream) {
    std::string out;
    Entry entry;
    for (int guard = 0; guard < 1000; guard++) {
        vellum_error error;
        int result = vellum_stream_next(stream, &entry, &error);
        if (result == VELLUM_STREAM_OBJECT) {
            out += "a=" + std::to_string(entry.a) + " s=" + (entry.s ? entry.s : "null") + " n=" +
                   std::to_string(entry.list.count) + (error.truncated ? " truncated" : "") + ";";
            continue;
        }
        out += "result=" + std::to_string(result) + " '" + error.message + "' " + std::to_string(error.line) + ":" +
               std::to_string(error.column);
        break;
    }
    vellum_cleanup(&entry_map, &entry);
    return out;
}

std::string drain_text(const std::string &text, size_t piece) {
    TextReader reader{text, 0, piece};
    vellum_error error;
    vellum_stream *stream = vellum_stream_open_reader(&entry_map, TextReader::read, &reader, nullptr, &error);
    EXPECT_NE(stream, nullptr);
    std::string out = drain(stream);
    vellum_stream_close(stream);
    return out;
}

TEST(ObjectStream, SequencesEndsAndErrors) {
    EXPECT_EQ(drain_text("{\"a\":1}\n{\"a\":2,\"s\":\"x\"}\n", 1024), "a=1 s=null n=0;a=2 s=x n=0;result=1 '' 0:0");
    EXPECT_EQ(drain_text(" \n\t \r\n", 1024), "result=1 '' 0:0");
    EXPECT_EQ(drain_text("", 1024), "result=1 '' 0:0");
    EXPECT_EQ(drain_text("{\"a\":1} [", 1024), "a=1 s=null n=0;result=3 'expected top-level object' 0:0");
    EXPECT_EQ(drain_text("{\"a\":1}{\"a\":", 1024), "a=1 s=null n=0;result=3 'incomplete JSON document' 1:5");
    EXPECT_EQ(drain_text("{\"a\":1}\n{\"a\":\"x\"}", 1024),
              "a=1 s=null n=0;result=3 'expected string field 'a'' 1:6");
}

TEST(ObjectStream, SplitsDoNotChangeTheObjects) {
    std::string text;
    for (int k = 0; k < 50; k++) {
        text += "{\"a\":" + std::to_string(k) + ",\"s\":\"" + std::string(k * 40, 'x') + "\",\"list\":[";
        for (int j = 0; j < k; j++) text += std::string(j ? "," : "") + "\"item\"";
        text += "]}\n";
    }
    std::string whole = drain_text(text, 1 << 20);
    EXPECT_NE(whole.find("a=49 s=xxx"), std::string::npos);
    EXPECT_EQ(drain_text(text, 1), whole);
    EXPECT_EQ(drain_text(text, 7), whole);
    EXPECT_EQ(drain_text(text, 1023), whole);
}

TEST(ObjectStream, ReusingOneRecordLeaksNothing) {
    CountingAllocator counting;
    vellum_parse_options options = vellum_default_parse_options();
    options.allocator = counting.get();
    TextReader reader{"{\"s\":\"one\",\"list\":[\"a\",\"b\"]}{\"s\":\"two\"}{\"list\":[\"c\"]}", 0, 5};
    vellum_error error;
    vellum_stream *stream = vellum_stream_open_reader(&entry_map, TextReader::read, &reader, &options, &error);
    ASSERT_NE(stream, nullptr);
    Entry entry;
    ASSERT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_OBJECT);
    ASSERT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_OBJECT);
    EXPECT_STREQ(entry.s, "two");
    EXPECT_EQ(entry.list.count, 0u);
    ASSERT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_OBJECT);
    EXPECT_EQ(entry.s, nullptr);
    EXPECT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_END);
    EXPECT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_END);
    vellum_stream_close(stream);
    vellum_cleanup(&entry_map, &entry);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    EXPECT_GT(counting.stats().alloc_count, 5u);
}

TEST(ObjectStream, NonBlockingDescriptorResumesWithTheSameRecord) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    vellum_error error;
    vellum_stream *stream = vellum_stream_open_fd(&entry_map, fds[0], nullptr, &error);
    ASSERT_NE(stream, nullptr);
    Entry entry, other;
    vellum_init(&entry_map, &other);
    EXPECT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_WOULD_BLOCK);
    ASSERT_EQ(write(fds[1], "{\"a\":4", 6), 6);
    EXPECT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_WOULD_BLOCK);
    EXPECT_EQ(vellum_stream_next(stream, &other, &error), VELLUM_STREAM_ERROR);
    EXPECT_STREQ(error.message, "resume the stream with the same destination");
    EXPECT_STREQ(vellum_stream_error(stream)->message, "resume the stream with the same destination");
    ASSERT_EQ(write(fds[1], "2,\"s\":\"z\"}\n", 11), 11);
    ASSERT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_OBJECT) << error.message;
    EXPECT_EQ(entry.a, 42);
    EXPECT_STREQ(entry.s, "z");
    close(fds[1]);
    EXPECT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_END);
    vellum_stream_close(stream);
    close(fds[0]);
    vellum_cleanup(&entry_map, &entry);
}

vellum_read_result eintr_reader(void *, void *, size_t) {
    vellum_read_result result{};
    result.error = EIO;
    return result;
}

TEST(ObjectStream, OpenChecksPathsAndReadFailures) {
    vellum_error error;
    EXPECT_EQ(vellum_stream_open_reader(nullptr, TextReader::read, nullptr, nullptr, &error), nullptr);
    EXPECT_STREQ(error.message, "map is required");
    EXPECT_EQ(vellum_stream_open_reader(&entry_map, nullptr, nullptr, nullptr, &error), nullptr);
    EXPECT_STREQ(error.message, "reader callback is required");
    EXPECT_EQ(vellum_stream_open_fd(&entry_map, -1, nullptr, &error), nullptr);
    EXPECT_STREQ(error.message, "fd must be non-negative");
    EXPECT_EQ(vellum_stream_open_filep(&entry_map, nullptr, nullptr, &error), nullptr);
    EXPECT_STREQ(error.message, "file pointer is required");
    vellum_allocator partial{};
    partial.free_fn = [](void *, void *) {};
    vellum_parse_options options = vellum_default_parse_options();
    options.allocator = &partial;
    EXPECT_EQ(vellum_stream_open_reader(&entry_map, TextReader::read, nullptr, &options, &error), nullptr);
    EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");

    TempDir dir;
    std::string missing = dir.file("none.jsonl");
    EXPECT_EQ(vellum_stream_open_path(&entry_map, missing.c_str(), nullptr, &error), nullptr);
    EXPECT_EQ(std::string(error.message), "failed to open '" + missing + "'");
    EXPECT_EQ(error.line, 1u);
    EXPECT_EQ(error.system_errno, ENOENT);

    std::string path = dir.write("objects.jsonl", "{\"a\":1}\n{\"a\":2}\n");
    vellum_stream *stream = vellum_stream_open_path(&entry_map, path.c_str(), nullptr, &error);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(drain(stream), "a=1 s=null n=0;a=2 s=null n=0;result=1 '' 0:0");
    vellum_stream_close(stream);

    stream = vellum_stream_open_reader(&entry_map, eintr_reader, nullptr, nullptr, &error);
    ASSERT_NE(stream, nullptr);
    Entry entry;
    EXPECT_EQ(vellum_stream_next(stream, &entry, &error), VELLUM_STREAM_ERROR);
    EXPECT_STREQ(error.message, "stream read failed");
    EXPECT_EQ(error.system_errno, EIO);
    EXPECT_EQ(vellum_stream_next(nullptr, &entry, &error), VELLUM_STREAM_ERROR);
    EXPECT_STREQ(error.message, "stream and destination are required");
    vellum_stream_close(stream);
    vellum_cleanup(&entry_map, &entry);
}

}  // namespace
