// Spooled values (prefix, spill files, interleaved reads and copies) and sources (FILE, fd, path).
#include "core.h"
#include "fixtures.h"
#include "vellum.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>

namespace {

using korvo::testing::list_files;
using korvo::testing::TempDir;

vellum_status collect(void *user, const void *data, size_t length, vellum_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), length);
    return VELLUM_STATUS_OK;
}

std::string read_all(vellum_spooled *spooled, size_t capacity) {
    std::string out, buffer(capacity, '\0');
    for (;;) {
        vellum_read_result result = vellum_spooled_read(spooled, buffer.data(), capacity);
        EXPECT_EQ(result.error, 0);
        out.append(buffer.data(), result.bytes);
        if (result.eof || result.error) return out;
    }
}

struct Spooled {
    explicit Spooled(size_t memory_limit, size_t max_bytes = 0, const char *dir = nullptr) {
        vellum_spool_options options = vellum_default_spool_options();
        options.memory_limit = memory_limit;
        options.max_bytes = max_bytes;
        options.temp_dir = dir;
        vellum_spooled_init(&value, &options);
    }
    ~Spooled() { vellum_spooled_cleanup(&value); }
    vellum_status append(const std::string &data, vellum_error *error = nullptr) {
        return vellum_spooled_append(&value, data.data(), data.size(), error);
    }
    vellum_spooled value;
};

TEST(SpooledValue, SpillsPastMemoryLimitAndReadsPrefixThenFile) {
    Spooled spooled(4);
    ASSERT_EQ(spooled.append("abcdef"), VELLUM_STATUS_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(spooled.value.memory), spooled.value.memory_len), "abcd");
    EXPECT_EQ(vellum_spooled_spilled(&spooled.value), 1);
    EXPECT_EQ(vellum_spooled_size(&spooled.value), 6u);
    char buffer[10];
    vellum_read_result first = vellum_spooled_read(&spooled.value, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, first.bytes), "abcd");
    EXPECT_EQ(first.eof, 0);
    vellum_read_result second = vellum_spooled_read(&spooled.value, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, second.bytes), "ef");
    EXPECT_EQ(second.eof, 1);
    ASSERT_EQ(vellum_spooled_rewind(&spooled.value, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(read_all(&spooled.value, 3), "abcdef");
}

TEST(SpooledValue, FailedAppendsKeepEarlierBytesAndTheErrorFlag) {
    Spooled limited(2, 5);
    vellum_error error;
    vellum_error_init(&error);
    // A parse streams through append: an earlier truncation must survive it.
    error.truncated = 1;
    ASSERT_EQ(limited.append("abc", &error), VELLUM_STATUS_OK);
    EXPECT_EQ(error.truncated, 1);
    EXPECT_EQ(limited.append("def", &error), VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(error.message, "spooled field exceeds configured max bytes");
    EXPECT_EQ(error.truncated, 1);
    EXPECT_EQ(vellum_spooled_size(&limited.value), 3u);
    EXPECT_EQ(read_all(&limited.value, 16), "abc");

    std::string long_dir(600, 'd');
    Spooled too_long(2, 0, long_dir.c_str());
    EXPECT_EQ(too_long.append("ab"), VELLUM_STATUS_OK);  // still in memory
    EXPECT_EQ(too_long.append("cd", &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "temporary spool path is too long");
    EXPECT_EQ(vellum_spooled_size(&too_long.value), 2u);

    Spooled missing(0, 0, "/nonexistent-vellum-dir");
    EXPECT_EQ(missing.append("ab", &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "failed to create spool file");
    EXPECT_EQ(error.system_errno, ENOENT);

    EXPECT_EQ(vellum_spooled_append(&missing.value, nullptr, 1, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "invalid spooled append arguments");
}

TEST(SpooledValue, NamedSpillFileIsRemovedByResetAndCleanup) {
    TempDir dir;
    Spooled spooled(3, 0, dir.path().c_str());
    ASSERT_EQ(spooled.append("0123456789"), VELLUM_STATUS_OK);
    std::vector<std::string> files = list_files(dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::string(spooled.value.path), files[0]);
    EXPECT_NE(files[0].find("/vellum-spool-"), std::string::npos);
    EXPECT_EQ(korvo::testing::read_file(files[0]), "3456789");
    // Reset keeps the options: the value takes new data and spills again.
    vellum_spooled_reset(&spooled.value);
    EXPECT_TRUE(list_files(dir.path()).empty());
    EXPECT_EQ(vellum_spooled_size(&spooled.value), 0u);
    ASSERT_EQ(spooled.append("abcdef"), VELLUM_STATUS_OK);
    EXPECT_EQ(read_all(&spooled.value, 4), "abcdef");
    vellum_spooled_cleanup(&spooled.value);
    EXPECT_TRUE(list_files(dir.path()).empty());
    EXPECT_EQ(spooled.value.tag, vellum::detail::address_tag(&spooled.value, vellum::detail::kSpooledTagConstant));
}

// Copies made while the value's own reader is part way into the file never move that reader.
TEST(SpooledValue, WriteToSinkKeepsOwnReadPosition) {
    Spooled spooled(10);
    std::string content;
    for (int i = 0; i < 9000; i++) content += static_cast<char>(i % 253);
    ASSERT_EQ(spooled.append(content), VELLUM_STATUS_OK);
    std::string own;
    char buffer[29];
    for (int reads = 0;; reads++) {
        vellum_read_result r = vellum_spooled_read(&spooled.value, buffer, sizeof buffer);
        ASSERT_EQ(r.error, 0);
        own.append(buffer, r.bytes);
        if (reads % 50 == 0 || r.eof) {
            std::string copy;
            ASSERT_EQ(vellum_spooled_write_to_sink(&spooled.value, collect, &copy, nullptr), VELLUM_STATUS_OK);
            ASSERT_EQ(copy, content);
        }
        if (r.eof) break;
    }
    EXPECT_EQ(own, content);

    // Pieces of at most 4096 bytes; a failing sink stops at once.
    int calls = 0;
    auto failing = [](void *user, const void *, size_t length, vellum_error *) -> vellum_status {
        EXPECT_LE(length, 4096u);
        return ++*static_cast<int *>(user) == 2 ? VELLUM_STATUS_CALLBACK_FAILED : VELLUM_STATUS_TRUNCATED;
    };
    EXPECT_EQ(vellum_spooled_write_to_sink(&spooled.value, failing, &calls, nullptr), VELLUM_STATUS_CALLBACK_FAILED);
    EXPECT_EQ(calls, 2);
}

// Random appends and reads against a plain string: every read sees every byte appended before it.
TEST(SpooledValue, InterleavedAppendAndReadMatchModel) {
    TempDir dir;
    std::mt19937 random(12345);
    for (size_t limit : {0u, 1u, 7u, 5000u}) {
        for (const char *temp : {static_cast<const char *>(nullptr), dir.path().c_str()}) {
            Spooled spooled(limit, 0, temp);
            std::string model, got;
            for (int step = 0; step < 300; step++) {
                if (random() % 2) {
                    std::string piece(random() % 300, '\0');
                    for (char &c : piece) c = static_cast<char>(random());
                    ASSERT_EQ(spooled.append(piece), VELLUM_STATUS_OK);
                    model += piece;
                } else {
                    char buffer[512];
                    vellum_read_result r = vellum_spooled_read(&spooled.value, buffer, 1 + random() % sizeof buffer);
                    ASSERT_EQ(r.error, 0);
                    got.append(buffer, r.bytes);
                    ASSERT_EQ(r.eof != 0, got.size() == model.size());
                }
                ASSERT_EQ(got, model.substr(0, got.size()));
            }
            EXPECT_EQ(got + read_all(&spooled.value, 333), model);
        }
    }
}

TEST(SpooledValue, PrefixGoesThroughTheAllocatorAndIsReleased) {
    korvo::testing::CountingAllocator counting;
    vellum_spooled spooled;
    vellum_spool_options options = vellum_default_spool_options();
    options.memory_limit = 16;
    vellum_spooled_init_with_allocator(&spooled, &options, counting.get());
    ASSERT_EQ(vellum_spooled_append(&spooled, "hello ", 6, nullptr), VELLUM_STATUS_OK);
    counting.fail_at(1);
    vellum_error error;
    EXPECT_EQ(vellum_spooled_append(&spooled, "world", 5, &error), VELLUM_STATUS_ALLOCATION_FAILED);
    EXPECT_STREQ(error.message, "failed to expand spooled in-memory prefix");
    ASSERT_EQ(vellum_spooled_append(&spooled, "world, and more", 15, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(read_all(&spooled, 5), "hello world, and more");
    vellum_spooled_cleanup(&spooled);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
}

// ---- sources ---------------------------------------------------------------------------------

struct Source {
    Source() { vellum_source_init(&value); }
    ~Source() { vellum_source_cleanup(&value); }
    std::string write(vellum_status expected = VELLUM_STATUS_OK) {
        std::string out;
        vellum_error_init(&error);
        EXPECT_EQ(vellum_source_write_to_sink(&value, collect, &out, &error), expected) << error.message;
        return out;
    }
    vellum_source value;
    vellum_error error;
};

TEST(Source, SettersCheckArgumentsAndReplaceContent) {
    Source source;
    vellum_error error;
    EXPECT_EQ(vellum_source_set_file(&source.value, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "source handle and FILE* are required");
    EXPECT_EQ(vellum_source_set_fd(&source.value, -1, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "source handle and non-negative fd are required");
    EXPECT_EQ(vellum_source_set_path(&source.value, "", &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "source handle and path are required");
    ASSERT_EQ(vellum_source_set_path(&source.value, "/tmp/one", &error), VELLUM_STATUS_OK);
    EXPECT_EQ(error.message[0], '\0');
    // Its own path again must not read freed memory; replacing it must not leak (ASan checks).
    ASSERT_EQ(vellum_source_set_path(&source.value, source.value.path, &error), VELLUM_STATUS_OK);
    EXPECT_STREQ(source.value.path, "/tmp/one");
    ASSERT_EQ(vellum_source_set_fd(&source.value, 0, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(source.value.path, nullptr);
    vellum_source_reset(&source.value);
    EXPECT_EQ(source.value.kind, VELLUM_SOURCE_NONE);
    EXPECT_EQ(source.write(), "");
}

TEST(Source, FileDescriptorAndPathAreWrittenFromTheStartEveryTime) {
    TempDir dir;
    std::string content(9000, '\0');
    for (size_t i = 0; i < content.size(); i++) content[i] = static_cast<char>(i * 7);
    std::string path = dir.write("data.bin", content);
    Source source;
    FILE *file = fopen(path.c_str(), "rb");
    fseek(file, 100, SEEK_SET);
    ASSERT_EQ(vellum_source_set_file(&source.value, file, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_source_is_rewindable(&source.value), 1);
    EXPECT_EQ(ftell(file), 100);
    EXPECT_EQ(source.write(), content);
    EXPECT_EQ(source.write(), content);
    fclose(file);

    int fd = open(path.c_str(), O_RDONLY);
    lseek(fd, 50, SEEK_SET);
    ASSERT_EQ(vellum_source_set_fd(&source.value, fd, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_source_is_rewindable(&source.value), 1);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 50);
    EXPECT_EQ(source.write(), content);
    EXPECT_EQ(source.write(), content);
    close(fd);

    ASSERT_EQ(vellum_source_set_path(&source.value, path.c_str(), nullptr), VELLUM_STATUS_OK);
    // A file opened for a path is closed on every path, failures included.
    int calls = 0;
    auto failing = [](void *user, const void *, size_t, vellum_error *) -> vellum_status {
        return ++*static_cast<int *>(user) == 2 ? VELLUM_STATUS_CALLBACK_FAILED : VELLUM_STATUS_OK;
    };
    for (int i = 0; i < 2000; i++) {
        calls = 0;
        ASSERT_EQ(vellum_source_write_to_sink(&source.value, failing, &calls, nullptr), VELLUM_STATUS_CALLBACK_FAILED);
    }
    EXPECT_EQ(source.write(), content);
}

TEST(Source, PipesMissingPathsAndDirectoriesFail) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    Source source;
    ASSERT_EQ(vellum_source_set_fd(&source.value, fds[0], nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_source_is_rewindable(&source.value), 0);
    EXPECT_EQ(source.write(VELLUM_STATUS_IO_ERROR), "");
    EXPECT_STREQ(source.error.message, "failed to rewind source fd; non-seekable sources are unsupported");
    EXPECT_EQ(source.error.system_errno, ESPIPE);
    FILE *file = fdopen(fds[0], "rb");
    ASSERT_EQ(vellum_source_set_file(&source.value, file, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_source_is_rewindable(&source.value), 0);
    source.write(VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(source.error.message, "failed to rewind source FILE*; non-seekable sources are unsupported");
    fclose(file);
    close(fds[1]);

    ASSERT_EQ(vellum_source_set_path(&source.value, "/nonexistent-vellum/file.txt", nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_source_is_rewindable(&source.value), 1);
    source.write(VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(source.error.message, "failed to open source path '/nonexistent-vellum/file.txt'");
    EXPECT_EQ(source.error.system_errno, ENOENT);

    TempDir dir;
    ASSERT_EQ(vellum_source_set_path(&source.value, dir.path().c_str(), nullptr), VELLUM_STATUS_OK);
    source.write(VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(source.error.message, "failed to read source data");
    EXPECT_EQ(source.error.system_errno, EISDIR);
}

}  // namespace
