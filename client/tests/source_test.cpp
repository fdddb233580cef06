// Built-in sources and sinks, kc_copy over real files and pipes, and the engine bridges.
#include "korvoc.h"
#include "korvoc_engine.h"
#include "api/source.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using korvo::testing::read_file;
using korvo::testing::TempDir;

std::string text(const char *s) { return s ? std::string(s) : std::string("<null>"); }

// Error record released at scope exit.
struct Error {
    kc_error e;
    Error() { kc_error_init(&e); }
    ~Error() { kc_error_cleanup(&e); }
    kc_error *operator&() { return &e; }
};

struct EngineError {
    kc_engine_error e;
    EngineError() { kc_engine_error_init(&e); }
    ~EngineError() { kc_engine_error_cleanup(&e); }
};

// Reads a source to its end in pieces of at most piece bytes; stops at the first failure.
std::string drain(kc_source *source, size_t piece, kc_error *error) {
    std::string out;
    std::string buffer(piece, '\0');
    for (;;) {
        size_t n = source->read(source, buffer.data(), piece, error);
        if (n == 0) return out;
        EXPECT_LE(n, piece);
        out.append(buffer.data(), n);
    }
}

std::string random_bytes(size_t length, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(length, '\0');
    for (auto &c : out) c = static_cast<char>(rng() & 0xff);
    return out;
}

std::string memory_contents(kc_sink *sink) {
    const void *bytes = nullptr;
    size_t length = 0;
    EXPECT_EQ(kc_sink_memory_bytes(sink, &bytes, &length), 0);
    return length ? std::string(static_cast<const char *>(bytes), length) : std::string();
}

bool fd_is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A pair of pipe(2) descriptors closed at scope exit.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() {
        if (fds[0] >= 0) close(fds[0]);
        fds[0] = -1;
    }
    void close_write() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    void put(const std::string &data) { ASSERT_EQ(write(fds[1], data.data(), data.size()), ssize_t(data.size())); }
};

// State of a callback source: a text served in pieces, and what was called.
struct Script {
    std::string data;
    size_t position = 0;
    int resets = 0;
    int closes = 0;
    int fail_code = 0; // non-zero: the next read fails with it
    static size_t read(void *user, void *buffer, size_t capacity, kc_error *error) {
        auto *self = static_cast<Script *>(user);
        if (self->fail_code) {
            kc_error_set(error, self->fail_code, 0, "script read failed", nullptr, nullptr, nullptr);
            return 0;
        }
        size_t n = std::min(capacity, self->data.size() - self->position);
        std::memcpy(buffer, self->data.data() + self->position, n);
        self->position += n;
        return n;
    }
    static int reset(void *user, kc_error *) {
        auto *self = static_cast<Script *>(user);
        self->resets++;
        self->position = 0;
        return KC_OK;
    }
    static void close(void *user) { static_cast<Script *>(user)->closes++; }
};

// A sink of the application's own that refuses every write, filling the error only when told.
struct RefusingSink {
    kc_sink base;
    int code;
    static int write(kc_sink *sink, const void *, size_t, kc_error *error) {
        auto *self = reinterpret_cast<RefusingSink *>(sink);
        if (self->code) kc_error_set(error, self->code, 0, "refused", nullptr, nullptr, nullptr);
        return 0;
    }
    static void close(kc_sink *) {}
};

// Ignores SIGPIPE while alive, so a write into a pipe without reader fails with EPIPE.
struct IgnoreSigpipe {
    struct sigaction previous {};
    IgnoreSigpipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &previous);
    }
    ~IgnoreSigpipe() { sigaction(SIGPIPE, &previous, nullptr); }
};

} // namespace

// ---- memory source ------------------------------------------------------------------------

TEST(MemorySource, ReadsPrivateCopyAndRewinds) {
    std::string data = random_bytes(10000, 1);
    std::string original = data;
    kc_source *source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_memory(data.data(), data.size(), &source, &error), KC_OK);
    data.assign(data.size(), 'x'); // the source holds its own copy
    EXPECT_EQ(drain(source, 777, &error), original);
    EXPECT_EQ(error.e.code, KC_OK);
    char byte;
    EXPECT_EQ(source->read(source, &byte, 1, &error), 0u); // stays at the end
    ASSERT_EQ(source->reset(source, &error), KC_OK);
    EXPECT_EQ(drain(source, 4096, &error), original);
    kc_source_close(source);
}

TEST(MemorySource, EmptyReadsNothing) {
    kc_source *source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_memory(nullptr, 0, &source, &error), KC_OK);
    char buffer[8];
    EXPECT_EQ(source->read(source, buffer, sizeof(buffer), &error), 0u);
    EXPECT_EQ(source->reset(source, &error), KC_OK);
    EXPECT_EQ(source->read(source, buffer, sizeof(buffer), &error), 0u);
    EXPECT_EQ(error.e.code, KC_OK);
    kc_source_close(source);
}

TEST(MemorySource, ArgumentErrors) {
    Error error;
    EXPECT_EQ(kc_source_from_memory("abc", 3, nullptr, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "source_from_memory requires out");
    kc_source *source = nullptr;
    EXPECT_EQ(kc_source_from_memory(nullptr, 3, &source, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "source_from_memory requires bytes");
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(kc_source_from_memory("abc", 3, nullptr, nullptr), KC_ERR_INVALID);
}

// ---- file sources -------------------------------------------------------------------------

TEST(FileSource, ReadsAndRewinds) {
    TempDir dir;
    std::string data = random_bytes(50000, 2);
    std::string path = dir.write("in.bin", data);
    kc_source *source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_file(path.c_str(), &source, &error), KC_OK);
    EXPECT_EQ(drain(source, 3000, &error), data);
    EXPECT_EQ(error.e.code, KC_OK);
    ASSERT_EQ(source->reset(source, &error), KC_OK);
    EXPECT_EQ(drain(source, 65536, &error), data);
    kc_source_close(source);
}

TEST(FileSource, OpenAndReadFailures) {
    TempDir dir;
    kc_source *source = nullptr;
    Error error;
    EXPECT_EQ(kc_source_from_file(dir.file("missing").c_str(), &source, &error), KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "failed to open file source");
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(kc_source_from_file(nullptr, &source, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "source_from_file requires path and out");
    EXPECT_EQ(kc_source_from_file("x", nullptr, &error), KC_ERR_INVALID);

    // A directory opens but cannot be read: the failure must not pass for the end.
    ASSERT_EQ(kc_source_from_file(dir.path().c_str(), &source, &error), KC_OK);
    kc_error_cleanup(&error);
    char buffer[16];
    EXPECT_EQ(source->read(source, buffer, sizeof(buffer), &error), 0u);
    EXPECT_EQ(error.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "failed to read from file source");
    kc_source_close(source);
}

TEST(FileSource, OpenFileReadsFromPositionAndHonoursOwnership) {
    TempDir dir;
    std::string path = dir.write("in.txt", "0123456789");
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fseek(file, 4, SEEK_SET), 0);
    kc_source *source = kc_source_from_open_file(file, 0);
    ASSERT_NE(source, nullptr);
    Error error;
    EXPECT_EQ(drain(source, 3, &error), "456789");
    ASSERT_EQ(source->reset(source, &error), KC_OK);
    EXPECT_EQ(drain(source, 100, &error), "0123456789");
    kc_source_close(source);
    // Not owned: still the caller's open file.
    EXPECT_EQ(std::fseek(file, 0, SEEK_SET), 0);
    EXPECT_EQ(std::fgetc(file), '0');

    int fd = fileno(file);
    source = kc_source_from_open_file(file, 1);
    ASSERT_NE(source, nullptr);
    kc_source_close(source); // owned: closed with the source
    EXPECT_FALSE(fd_is_open(fd));

    EXPECT_EQ(kc_source_from_open_file(nullptr, 1), nullptr);
}

TEST(FileSource, RewindFailureOnUnseekableFile) {
    Pipe p;
    p.put("abc");
    FILE *file = fdopen(dup(p.fds[0]), "rb");
    ASSERT_NE(file, nullptr);
    kc_source *source = kc_source_from_open_file(file, 1);
    ASSERT_NE(source, nullptr);
    Error error;
    EXPECT_EQ(source->reset(source, &error), KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "failed to rewind file source");
    kc_source_close(source);
}

// ---- descriptor source --------------------------------------------------------------------

TEST(FdSource, ReadsPipeAndLeavesDescriptorOpen) {
    Pipe p;
    std::string data = random_bytes(20000, 3);
    p.put(data);
    p.close_write();
    kc_source *source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_fd(p.fds[0], &source, &error), KC_OK);
    EXPECT_EQ(drain(source, 1000, &error), data);
    EXPECT_EQ(error.e.code, KC_OK);
    EXPECT_EQ(source->reset(source, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "source is not resettable");
    kc_source_close(source);
    EXPECT_TRUE(fd_is_open(p.fds[0]));
}

TEST(FdSource, ReadFailure) {
    Pipe p;
    kc_source *source = nullptr;
    Error error;
    // The write end cannot be read from.
    ASSERT_EQ(kc_source_from_fd(p.fds[1], &source, &error), KC_OK);
    char buffer[4];
    EXPECT_EQ(source->read(source, buffer, sizeof(buffer), &error), 0u);
    EXPECT_EQ(error.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "failed to read from fd source");
    kc_source_close(source);
    EXPECT_EQ(kc_source_from_fd(0, nullptr, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "source_from_fd requires out");
}

// ---- callback source ----------------------------------------------------------------------

TEST(CallbackSource, CallsEachCallbackWithUserData) {
    Script script;
    script.data = "callback payload";
    kc_source *source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_callbacks(Script::read, Script::reset, Script::close, &script, &source, &error), KC_OK);
    EXPECT_EQ(drain(source, 5, &error), "callback payload");
    EXPECT_EQ(source->reset(source, &error), KC_OK);
    EXPECT_EQ(script.resets, 1);
    EXPECT_EQ(drain(source, 100, &error), "callback payload");
    script.fail_code = KC_ERR_NOMEM;
    char byte;
    EXPECT_EQ(source->read(source, &byte, 1, &error), 0u);
    EXPECT_EQ(error.e.code, KC_ERR_NOMEM);
    EXPECT_EQ(script.closes, 0);
    kc_source_close(source);
    EXPECT_EQ(script.closes, 1);
}

TEST(CallbackSource, WithoutResetOrClose) {
    Script script;
    kc_source *source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_callbacks(Script::read, nullptr, nullptr, &script, &source, &error), KC_OK);
    ASSERT_NE(source->reset, nullptr); // the slot exists and refuses
    EXPECT_EQ(source->reset(source, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "source is not resettable");
    kc_source_close(source);
    EXPECT_EQ(script.closes, 0);

    EXPECT_EQ(kc_source_from_callbacks(nullptr, nullptr, nullptr, nullptr, &source, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "source_from_callbacks requires read and out");
    EXPECT_EQ(kc_source_from_callbacks(Script::read, nullptr, nullptr, nullptr, nullptr, &error), KC_ERR_INVALID);
    kc_source_close(nullptr);
    kc_sink_close(nullptr);
}

// ---- sinks --------------------------------------------------------------------------------

TEST(FileSink, CreatesWithModeAndTruncates) {
    TempDir dir;
    std::string path = dir.write("out.txt", std::string(5000, 'o'));
    kc_sink *sink = nullptr;
    Error error;
    ASSERT_EQ(kc_sink_to_file(path.c_str(), &sink, &error), KC_OK);
    ASSERT_EQ(sink->write(sink, "new", 3, &error), 1);
    kc_sink_close(sink);
    EXPECT_EQ(read_file(path), "new");

    mode_t old_mask = umask(0);
    std::string fresh = dir.file("fresh.txt");
    ASSERT_EQ(kc_sink_to_file(fresh.c_str(), &sink, &error), KC_OK);
    umask(old_mask);
    kc_sink_close(sink);
    struct stat info {};
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(FileSink, Failures) {
    TempDir dir;
    kc_sink *sink = nullptr;
    Error error;
    EXPECT_EQ(kc_sink_to_file(dir.file("no/such/dir").c_str(), &sink, &error), KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "failed to open file sink");
    EXPECT_EQ(kc_sink_to_file(dir.path().c_str(), &sink, &error), KC_ERR_TRANSPORT); // a directory
    EXPECT_EQ(sink, nullptr);
    EXPECT_EQ(kc_sink_to_file(nullptr, &sink, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "sink_to_file requires path");
    // Without out nothing can succeed, so the existing file is left alone.
    std::string keep = dir.write("keep.txt", "kept");
    EXPECT_EQ(kc_sink_to_file(keep.c_str(), nullptr, &error), KC_ERR_INVALID);
    EXPECT_EQ(read_file(keep), "kept");
}

TEST(FdSink, WritesToPipeAndLeavesDescriptorOpen) {
    Pipe p;
    kc_sink *sink = nullptr;
    Error error;
    ASSERT_EQ(kc_sink_to_fd(p.fds[1], &sink, &error), KC_OK);
    ASSERT_EQ(sink->write(sink, "hello ", 6, &error), 1);
    ASSERT_EQ(sink->write(sink, "pipe", 4, &error), 1);
    kc_sink_close(sink);
    EXPECT_TRUE(fd_is_open(p.fds[1]));
    p.close_write();
    char buffer[32];
    ssize_t n = read(p.fds[0], buffer, sizeof(buffer));
    EXPECT_EQ(std::string(buffer, n > 0 ? size_t(n) : 0), "hello pipe");
    EXPECT_EQ(kc_sink_to_fd(1, nullptr, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "sink_to_fd requires out");
}

TEST(MemorySink, GrowsByDoubling) {
    kc_sink *sink = nullptr;
    Error error;
    ASSERT_EQ(kc_sink_to_memory(&sink, &error), KC_OK);
    EXPECT_EQ(memory_contents(sink), "");
    auto *memory = reinterpret_cast<korvo::api::MemorySink *>(sink);
    std::string first = random_bytes(5000, 4);
    ASSERT_EQ(sink->write(sink, first.data(), first.size(), &error), 1);
    EXPECT_EQ(memory->capacity, 8192u);
    std::string second = random_bytes(3192, 5); // exactly full
    ASSERT_EQ(sink->write(sink, second.data(), second.size(), &error), 1);
    EXPECT_EQ(memory->capacity, 8192u);
    ASSERT_EQ(sink->write(sink, "!", 1, &error), 1);
    EXPECT_EQ(memory->capacity, 16384u);
    ASSERT_EQ(sink->write(sink, "", 0, &error), 1);
    EXPECT_EQ(memory_contents(sink), first + second + "!");
    kc_sink_close(sink);

    ASSERT_EQ(kc_sink_to_memory(&sink, &error), KC_OK);
    ASSERT_EQ(sink->write(sink, "abc", 3, &error), 1);
    EXPECT_EQ(reinterpret_cast<korvo::api::MemorySink *>(sink)->capacity, 4096u);
    // A length no doubling can reach fails before anything is read or appended.
    char small[1] = {'x'};
    EXPECT_EQ(sink->write(sink, small, SIZE_MAX / 2 + 2, &error), 0);
    EXPECT_EQ(error.e.code, KC_ERR_NOMEM);
    EXPECT_EQ(text(error.e.message), "failed to grow memory sink");
    EXPECT_EQ(sink->write(sink, small, SIZE_MAX - 1, &error), 0);
    EXPECT_EQ(text(error.e.message), "failed to grow memory sink");
    EXPECT_EQ(memory_contents(sink), "abc");
    kc_sink_close(sink);
}

TEST(MemorySink, BytesAccessorRefusesOtherSinksAndNulls) {
    kc_sink *memory = nullptr;
    kc_sink *fd_sink = nullptr;
    Error error;
    ASSERT_EQ(kc_sink_to_memory(&memory, &error), KC_OK);
    ASSERT_EQ(kc_sink_to_fd(1, &fd_sink, &error), KC_OK);
    const void *bytes = nullptr;
    size_t length = 0;
    EXPECT_EQ(kc_sink_memory_bytes(fd_sink, &bytes, &length), 1);
    EXPECT_EQ(kc_sink_memory_bytes(nullptr, &bytes, &length), 1);
    EXPECT_EQ(kc_sink_memory_bytes(memory, nullptr, &length), 1);
    EXPECT_EQ(kc_sink_memory_bytes(memory, &bytes, nullptr), 1);
    RefusingSink own{{RefusingSink::write, RefusingSink::close}, 0};
    EXPECT_EQ(kc_sink_memory_bytes(&own.base, &bytes, &length), 1);
    EXPECT_EQ(kc_sink_memory_bytes(memory, &bytes, &length), 0);
    EXPECT_EQ(length, 0u);
    kc_sink_close(fd_sink);
    kc_sink_close(memory);
    EXPECT_EQ(kc_sink_to_memory(nullptr, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "sink_to_memory requires out");
}

// ---- kc_copy ------------------------------------------------------------------------------

TEST(Copy, FileToFileAndMemory) {
    TempDir dir;
    std::string data = random_bytes(3 * 8192 + 17, 6);
    std::string in = dir.write("in.bin", data);
    std::string out = dir.file("out.bin");
    kc_source *source = nullptr;
    kc_sink *sink = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_file(in.c_str(), &source, &error), KC_OK);
    ASSERT_EQ(kc_sink_to_file(out.c_str(), &sink, &error), KC_OK);
    size_t total = 0;
    EXPECT_EQ(kc_copy(source, sink, &total, &error), KC_OK);
    EXPECT_EQ(total, data.size());
    kc_sink_close(sink);
    EXPECT_EQ(read_file(out), data);

    // The same source rewound into memory.
    ASSERT_EQ(source->reset(source, &error), KC_OK);
    ASSERT_EQ(kc_sink_to_memory(&sink, &error), KC_OK);
    EXPECT_EQ(kc_copy(source, sink, nullptr, nullptr), KC_OK);
    EXPECT_EQ(memory_contents(sink), data);
    kc_sink_close(sink);
    kc_source_close(source);
}

TEST(Copy, PipeToPipe) {
    Pipe in;
    Pipe out;
    std::string data = random_bytes(30000, 7);
    in.put(data);
    in.close_write();
    kc_source *source = nullptr;
    kc_sink *sink = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_fd(in.fds[0], &source, &error), KC_OK);
    ASSERT_EQ(kc_sink_to_fd(out.fds[1], &sink, &error), KC_OK);
    size_t total = 0;
    EXPECT_EQ(kc_copy(source, sink, &total, &error), KC_OK);
    EXPECT_EQ(total, data.size());
    kc_sink_close(sink);
    kc_source_close(source);
    out.close_write();
    kc_source *back = nullptr;
    ASSERT_EQ(kc_source_from_fd(out.fds[0], &back, &error), KC_OK);
    EXPECT_EQ(drain(back, 4096, &error), data);
    kc_source_close(back);
}

TEST(Copy, FdSinkWriteFailure) {
    IgnoreSigpipe guard;
    Pipe p;
    p.close_read();
    kc_source *source = nullptr;
    kc_sink *sink = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_memory("payload", 7, &source, &error), KC_OK);
    ASSERT_EQ(kc_sink_to_fd(p.fds[1], &sink, &error), KC_OK);
    EXPECT_EQ(kc_copy(source, sink, nullptr, &error), KC_ERR_TRANSPORT);
    EXPECT_EQ(error.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "failed to write to fd sink");
    kc_sink_close(sink);
    kc_source_close(source);
}

TEST(Copy, ReadFailureIsReportedEvenWithoutErrorRecord) {
    Script script;
    script.fail_code = KC_ERR_NOMEM;
    kc_source *source = nullptr;
    kc_sink *sink = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_callbacks(Script::read, nullptr, nullptr, &script, &source, &error), KC_OK);
    ASSERT_EQ(kc_sink_to_memory(&sink, &error), KC_OK);
    size_t total = 99;
    EXPECT_EQ(kc_copy(source, sink, &total, &error), KC_ERR_NOMEM);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(text(error.e.message), "script read failed");
    EXPECT_EQ(kc_copy(source, sink, nullptr, nullptr), KC_ERR_NOMEM);
    kc_sink_close(sink);
    kc_source_close(source);
}

TEST(Copy, SinkFailureWithAndWithoutCode) {
    kc_source *source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_memory("abc", 3, &source, &error), KC_OK);
    RefusingSink coded{{RefusingSink::write, RefusingSink::close}, KC_ERR_NOMEM};
    EXPECT_EQ(kc_copy(source, &coded.base, nullptr, &error), KC_ERR_NOMEM);
    EXPECT_EQ(text(error.e.message), "refused");
    RefusingSink silent{{RefusingSink::write, RefusingSink::close}, 0};
    ASSERT_EQ(source->reset(source, &error), KC_OK);
    EXPECT_EQ(kc_copy(source, &silent.base, nullptr, &error), KC_ERR_TRANSPORT);
    EXPECT_EQ(error.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "failed to write to sink");
    ASSERT_EQ(source->reset(source, &error), KC_OK);
    EXPECT_EQ(kc_copy(source, &silent.base, nullptr, nullptr), KC_ERR_TRANSPORT);

    EXPECT_EQ(kc_copy(source, nullptr, nullptr, &error), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "kc_copy requires src and dst");
    EXPECT_EQ(kc_copy(nullptr, &silent.base, nullptr, &error), KC_ERR_INVALID);
    kc_source_close(source);
}

// ---- engine bridges -----------------------------------------------------------------------

TEST(EngineBridge, ReadPassesBytesAndConvertsFailures) {
    kc_source *source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_memory("0123456789", 10, &source, &error), KC_OK);
    EngineError engine;
    char buffer[4];
    EXPECT_EQ(kc_engine_read_bridge(&source, buffer, sizeof(buffer), &engine.e), 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(engine.e.code, KC_OK);
    kc_source_close(source);

    Script script;
    script.data = "ok";
    script.fail_code = KC_ERR_NOMEM;
    ASSERT_EQ(kc_source_from_callbacks(Script::read, nullptr, nullptr, &script, &source, &error), KC_OK);
    EXPECT_EQ(kc_engine_read_bridge(&source, buffer, sizeof(buffer), &engine.e), 0u);
    EXPECT_EQ(engine.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(engine.e.message), "script read failed");
    kc_source_close(source);

    kc_source *missing = nullptr;
    EXPECT_EQ(kc_engine_read_bridge(&missing, buffer, sizeof(buffer), &engine.e), 0u);
    EXPECT_EQ(engine.e.code, KC_ERR_INVALID);
    EXPECT_EQ(text(engine.e.message), "payload read requires source");
    EXPECT_EQ(kc_engine_read_bridge(nullptr, buffer, sizeof(buffer), nullptr), 0u);
}

TEST(EngineBridge, WriteConvertsFailures) {
    IgnoreSigpipe guard;
    kc_sink *sink = nullptr;
    Error error;
    ASSERT_EQ(kc_sink_to_memory(&sink, &error), KC_OK);
    EngineError engine;
    EXPECT_EQ(kc_engine_write_bridge(&sink, "abc", 3, &engine.e), 1);
    EXPECT_EQ(memory_contents(sink), "abc");
    kc_sink_close(sink);

    Pipe p;
    p.close_read();
    ASSERT_EQ(kc_sink_to_fd(p.fds[1], &sink, &error), KC_OK);
    EXPECT_EQ(kc_engine_write_bridge(&sink, "abc", 3, &engine.e), 0);
    EXPECT_EQ(engine.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(engine.e.message), "failed to write to fd sink");
    kc_sink_close(sink);

    // A sink that fails without a code leaves the record to the engine.
    kc_engine_error_reset(&engine.e);
    RefusingSink silent{{RefusingSink::write, RefusingSink::close}, 0};
    kc_sink *own = &silent.base;
    EXPECT_EQ(kc_engine_write_bridge(&own, "x", 1, &engine.e), 0);
    EXPECT_EQ(engine.e.code, KC_OK);
    EXPECT_EQ(engine.e.message, nullptr);

    kc_sink *missing = nullptr;
    EXPECT_EQ(kc_engine_write_bridge(&missing, "x", 1, &engine.e), 0);
    EXPECT_EQ(engine.e.code, KC_ERR_INVALID);
    EXPECT_EQ(text(engine.e.message), "payload write requires sink");
}

TEST(EngineBridge, ResetCases) {
    EngineError engine;
    // Earlier content is replaced in the two code-1 cases (ASan would report a leak).
    kc_engine_set_client_error(&engine.e, KC_ERR_SERVER, "earlier");
    engine.e.http_status = 503;
    kc_source *missing = nullptr;
    EXPECT_EQ(kc_engine_reset_bridge(&missing, &engine.e), 1);
    EXPECT_EQ(engine.e.code, KC_ERR_INVALID);
    EXPECT_EQ(engine.e.http_status, 0);
    EXPECT_EQ(text(engine.e.message), "payload reset requires source");
    EXPECT_EQ(kc_engine_reset_bridge(nullptr, &engine.e), 1);

    // An application's own source without a reset slot.
    kc_source own{[](kc_source *, void *, size_t, kc_error *) -> size_t { return 0; }, nullptr, [](kc_source *) {}};
    kc_source *own_source = &own;
    engine.e.http_status = 503;
    EXPECT_EQ(kc_engine_reset_bridge(&own_source, &engine.e), 1);
    EXPECT_EQ(engine.e.code, KC_ERR_INVALID);
    EXPECT_EQ(engine.e.http_status, 0);
    EXPECT_EQ(text(engine.e.message), "payload source is not rewindable");

    // A built-in kind that cannot rewind: its own refusal, as a transport error.
    Pipe p;
    kc_source *fd_source = nullptr;
    Error error;
    ASSERT_EQ(kc_source_from_fd(p.fds[0], &fd_source, &error), KC_OK);
    kc_engine_error_reset(&engine.e);
    EXPECT_EQ(kc_engine_reset_bridge(&fd_source, &engine.e), KC_ERR_INVALID);
    EXPECT_EQ(engine.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(engine.e.message), "source is not resettable");
    kc_source_close(fd_source);

    // A rewindable source: the next read starts over.
    kc_source *memory = nullptr;
    ASSERT_EQ(kc_source_from_memory("abc", 3, &memory, &error), KC_OK);
    char buffer[8];
    EXPECT_EQ(kc_engine_read_bridge(&memory, buffer, sizeof(buffer), &engine.e), 3u);
    kc_engine_error_reset(&engine.e);
    EXPECT_EQ(kc_engine_reset_bridge(&memory, &engine.e), 0);
    EXPECT_EQ(engine.e.code, KC_OK);
    EXPECT_EQ(kc_engine_read_bridge(&memory, buffer, sizeof(buffer), &engine.e), 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    kc_source_close(memory);
}

TEST(EngineBridge, EmptyReaderProducesNothing) {
    EngineError engine;
    char buffer[8] = {'z'};
    EXPECT_EQ(kc_engine_empty_reader(nullptr, buffer, sizeof(buffer), &engine.e), 0u);
    EXPECT_EQ(engine.e.code, KC_OK);
    EXPECT_EQ(buffer[0], 'z');
}
