// The stream pipe: its source, detaching in either order, allocation failures, and a
// producer and a consumer on two threads (suites *Threads, also run under ThreadSanitizer).
#include "korvoc.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string text(const char *s) { return s ? std::string(s) : std::string("<null>"); }

struct Error {
    kc_error e;
    Error() { kc_error_init(&e); }
    ~Error() { kc_error_cleanup(&e); }
};

std::string pattern(size_t length, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(length, '\0');
    for (auto &c : out) c = static_cast<char>(rng() & 0xff);
    return out;
}

uint64_t fnv1a(uint64_t hash, const void *bytes, size_t length) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < length; i++) {
        hash ^= p[i];
        hash *= 1099511628211ull;
    }
    return hash;
}
constexpr uint64_t kFnvBasis = 14695981039346656037ull;

// Reads until the source ends, in pieces of at most piece bytes.
std::string drain(kc_source *source, size_t piece, kc_error *error) {
    std::string out;
    std::string buffer(piece, '\0');
    for (;;) {
        size_t n = source->read(source, buffer.data(), piece, error);
        if (n == 0) return out;
        out.append(buffer.data(), n);
    }
}

// A kc_allocator over the testing CountingAllocator that also knows which blocks are live
// and the sizes asked for. Locked: the producer may free from another thread.
class TrackedAllocator {
  public:
    TrackedAllocator() {
        allocator_.malloc_fn = do_malloc;
        allocator_.realloc_fn = do_realloc;
        allocator_.free_fn = do_free;
        allocator_.context = this;
    }
    const kc_allocator *get() const { return &allocator_; }
    void fail_at(size_t n) { counting_.fail_at(n); }
    size_t live() {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_;
    }
    std::vector<size_t> sizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_;
    }

  private:
    static void *do_malloc(void *context, size_t size) {
        auto *self = static_cast<TrackedAllocator *>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        const vellum_allocator *inner = self->counting_.get();
        void *p = inner->malloc_fn(inner->ctx, size);
        if (p) {
            self->live_++;
            self->sizes_.push_back(size);
        }
        return p;
    }
    static void *do_realloc(void *context, void *pointer, size_t size) {
        auto *self = static_cast<TrackedAllocator *>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        const vellum_allocator *inner = self->counting_.get();
        void *p = inner->realloc_fn(inner->ctx, pointer, size);
        if (p && !pointer) self->live_++;
        return p;
    }
    static void do_free(void *context, void *pointer) {
        auto *self = static_cast<TrackedAllocator *>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        const vellum_allocator *inner = self->counting_.get();
        if (pointer) self->live_--;
        inner->free_fn(inner->ctx, pointer);
    }

    std::mutex mutex_;
    korvo::testing::CountingAllocator counting_;
    kc_allocator allocator_{};
    size_t live_ = 0;
    std::vector<size_t> sizes_;
};

} // namespace

TEST(StreamPipe, DeliversBufferedBytesThenEnds) {
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    ASSERT_EQ(kc_stream_pipe_open(0, nullptr, &source, &pipe, &error.e), KC_OK);
    EXPECT_EQ(kc_stream_pipe_write(pipe, "hello ", 6, &error.e), KC_OK);
    EXPECT_EQ(kc_stream_pipe_write(pipe, nullptr, 0, &error.e), KC_OK);
    EXPECT_EQ(kc_stream_pipe_write(pipe, "pipe", 4, &error.e), KC_OK);
    kc_stream_pipe_finish(pipe);
    EXPECT_EQ(drain(source, 3, &error.e), "hello pipe");
    EXPECT_EQ(error.e.code, KC_OK);
    char byte;
    EXPECT_EQ(source->read(source, &byte, 1, &error.e), 0u); // stays ended
    EXPECT_EQ(error.e.code, KC_OK);
    EXPECT_EQ(source->reset(source, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "streamed payloads are not rewindable");
    kc_source_close(source);
}

TEST(StreamPipe, ProducerFailureAfterBufferedBytes) {
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    ASSERT_EQ(kc_stream_pipe_open(64, nullptr, &source, &pipe, &error.e), KC_OK);
    ASSERT_EQ(kc_stream_pipe_write(pipe, "partial", 7, &error.e), KC_OK);
    kc_stream_pipe_fail(pipe, 0, nullptr);
    char buffer[16];
    ASSERT_EQ(source->read(source, buffer, sizeof(buffer), &error.e), 7u);
    EXPECT_EQ(error.e.code, KC_OK);
    EXPECT_EQ(source->read(source, buffer, sizeof(buffer), &error.e), 0u);
    EXPECT_EQ(error.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "stream delivery failed");
    kc_source_close(source);

    // A given code and message are kept; the message is a copy.
    ASSERT_EQ(kc_stream_pipe_open(64, nullptr, &source, &pipe, &error.e), KC_OK);
    std::string message = "multipart body truncated";
    kc_stream_pipe_fail(pipe, KC_ERR_PROTOCOL, message.c_str());
    message.assign(message.size(), 'x');
    kc_error_cleanup(&error.e);
    EXPECT_EQ(source->read(source, buffer, sizeof(buffer), &error.e), 0u);
    EXPECT_EQ(error.e.code, KC_ERR_PROTOCOL);
    EXPECT_EQ(text(error.e.message), "multipart body truncated");
    kc_source_close(source);
}

TEST(StreamPipe, ConsumerClosedFirst) {
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    ASSERT_EQ(kc_stream_pipe_open(16, nullptr, &source, &pipe, &error.e), KC_OK);
    ASSERT_EQ(kc_stream_pipe_write(pipe, "unread", 6, &error.e), KC_OK);
    kc_source_close(source);
    EXPECT_EQ(kc_stream_pipe_write(pipe, "more", 4, &error.e), KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "stream consumer closed payload early");
    kc_stream_pipe_fail(pipe, KC_ERR_TRANSPORT, "after close"); // frees the pipe (ASan checks)
}

TEST(StreamPipe, ArgumentErrors) {
    Error error;
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    EXPECT_EQ(kc_stream_pipe_open(0, nullptr, nullptr, &pipe, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "stream pipe requires out and pipe");
    EXPECT_EQ(kc_stream_pipe_open(0, nullptr, &source, nullptr, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(kc_stream_pipe_write(nullptr, "x", 1, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "stream pipe write requires pipe");
    ASSERT_EQ(kc_stream_pipe_open(0, nullptr, &source, &pipe, &error.e), KC_OK);
    EXPECT_EQ(kc_stream_pipe_write(pipe, nullptr, 3, &error.e), KC_ERR_INVALID);
    EXPECT_EQ(text(error.e.message), "stream pipe write requires bytes");
    kc_stream_pipe_finish(pipe);
    kc_source_close(source);
    kc_stream_pipe_finish(nullptr);
    kc_stream_pipe_fail(nullptr, 1, "ignored");
}

TEST(StreamPipe, MemoryComesFromTheAllocator) {
    TrackedAllocator tracked;
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    ASSERT_EQ(kc_stream_pipe_open(0, tracked.get(), &source, &pipe, &error.e), KC_OK);
    std::vector<size_t> sizes = tracked.sizes();
    EXPECT_EQ(sizes.size(), 3u); // pipe, ring buffer, source
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), size_t(65536)), sizes.end());
    kc_stream_pipe_fail(pipe, KC_ERR_SERVER, "kept until the consumer detaches");
    EXPECT_EQ(tracked.live(), 4u); // plus the copied message
    kc_source_close(source);
    EXPECT_EQ(tracked.live(), 0u);
}

TEST(StreamPipe, AllocationFailuresLeakNothing) {
    const char *expected[] = {"failed to allocate stream pipe", "failed to allocate stream buffer",
                              "failed to allocate stream source"};
    for (size_t n = 1; n <= 3; n++) {
        TrackedAllocator tracked;
        tracked.fail_at(n);
        kc_source *source = nullptr;
        kc_stream_pipe *pipe = nullptr;
        Error error;
        EXPECT_EQ(kc_stream_pipe_open(1024, tracked.get(), &source, &pipe, &error.e), KC_ERR_NOMEM) << n;
        EXPECT_EQ(text(error.e.message), expected[n - 1]);
        EXPECT_EQ(source, nullptr);
        EXPECT_EQ(pipe, nullptr);
        EXPECT_EQ(tracked.live(), 0u) << n;
    }
    // A message that cannot be copied falls back to the default text.
    TrackedAllocator tracked;
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    ASSERT_EQ(kc_stream_pipe_open(1024, tracked.get(), &source, &pipe, &error.e), KC_OK);
    tracked.fail_at(1);
    kc_stream_pipe_fail(pipe, KC_ERR_PROTOCOL, "lost");
    char byte;
    EXPECT_EQ(source->read(source, &byte, 1, &error.e), 0u);
    EXPECT_EQ(error.e.code, KC_ERR_PROTOCOL);
    EXPECT_EQ(text(error.e.message), "stream delivery failed");
    kc_source_close(source);
    EXPECT_EQ(tracked.live(), 0u);
}

// ---- producer and consumer on two threads ---------------------------------------------------

TEST(StreamPipeThreads, LargeWriteWaitsForTheConsumer) {
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    ASSERT_EQ(kc_stream_pipe_open(65536, nullptr, &source, &pipe, &error.e), KC_OK);
    const std::string data = pattern(100000, 11);
    std::atomic<bool> write_done{false};
    std::atomic<bool> started{false};
    int write_code = -1;
    std::thread producer([&] {
        started = true;
        Error producer_error;
        write_code = kc_stream_pipe_write(pipe, data.data(), data.size(), &producer_error.e);
        write_done = true;
        kc_stream_pipe_finish(pipe);
    });
    while (!started) std::this_thread::yield();

    // The consumer looks at the flag before every read: the first time it sees the write
    // done, its count holds every byte taken before the write returned.
    std::string received;
    size_t count_when_done = SIZE_MAX;
    char buffer[1000];
    for (;;) {
        if (count_when_done == SIZE_MAX && write_done) count_when_done = received.size();
        size_t n = source->read(source, buffer, sizeof(buffer), &error.e);
        if (n == 0) break;
        received.append(buffer, n);
    }
    producer.join();
    if (count_when_done == SIZE_MAX) count_when_done = received.size();
    EXPECT_EQ(write_code, KC_OK);
    EXPECT_GE(count_when_done, size_t(100000 - 65536));
    EXPECT_EQ(error.e.code, KC_OK);
    EXPECT_EQ(received, data);
    kc_source_close(source);
}

TEST(StreamPipeThreads, ConsumerClosingFailsBlockedWrite) {
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    ASSERT_EQ(kc_stream_pipe_open(65536, nullptr, &source, &pipe, &error.e), KC_OK);
    const std::string data = pattern(100000, 12);
    int write_code = -1;
    std::string write_message;
    std::thread producer([&] {
        Error producer_error;
        write_code = kc_stream_pipe_write(pipe, data.data(), data.size(), &producer_error.e);
        write_message = text(producer_error.e.message);
        kc_stream_pipe_fail(pipe, write_code, producer_error.e.message);
    });
    // One byte read proves the producer is inside its write; 100000 bytes cannot fit in
    // 65536 plus that byte, so the write is still pending when the consumer closes.
    char byte;
    ASSERT_EQ(source->read(source, &byte, 1, &error.e), 1u);
    EXPECT_EQ(byte, data[0]);
    kc_source_close(source);
    producer.join();
    EXPECT_EQ(write_code, KC_ERR_TRANSPORT);
    EXPECT_EQ(write_message, "stream consumer closed payload early");
}

TEST(StreamPipeThreads, ProducerFailureReachesWaitingConsumer) {
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    ASSERT_EQ(kc_stream_pipe_open(4096, nullptr, &source, &pipe, &error.e), KC_OK);
    const std::string data = pattern(20000, 13);
    std::thread producer([&] {
        Error producer_error;
        EXPECT_EQ(kc_stream_pipe_write(pipe, data.data(), data.size(), &producer_error.e), KC_OK);
        kc_stream_pipe_fail(pipe, 0, nullptr);
    });
    std::string received = drain(source, 333, &error.e);
    producer.join();
    EXPECT_EQ(received, data);
    EXPECT_EQ(error.e.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(text(error.e.message), "stream delivery failed");
    kc_source_close(source);
}

TEST(StreamPipeThreads, RandomChunksKeepEveryByte) {
    const size_t capacities[] = {1, 7, 4096, 65536};
    for (size_t capacity : capacities) {
        kc_source *source = nullptr;
        kc_stream_pipe *pipe = nullptr;
        Error error;
        ASSERT_EQ(kc_stream_pipe_open(capacity, nullptr, &source, &pipe, &error.e), KC_OK);
        const size_t total = capacity == 1 ? 20000 : 300000;
        const std::string data = pattern(total, static_cast<unsigned>(capacity));
        uint64_t sent_hash = fnv1a(kFnvBasis, data.data(), data.size());
        std::thread producer([&] {
            std::mt19937 rng(static_cast<unsigned>(capacity) * 31u);
            Error producer_error;
            size_t position = 0;
            while (position < data.size()) {
                size_t n = std::min<size_t>(rng() % 20000, data.size() - position);
                if (kc_stream_pipe_write(pipe, data.data() + position, n, &producer_error.e) != KC_OK) break;
                position += n;
            }
            kc_stream_pipe_finish(pipe);
        });
        std::mt19937 rng(static_cast<unsigned>(capacity) * 17u);
        std::vector<char> buffer(70000);
        uint64_t received_hash = kFnvBasis;
        size_t received = 0;
        for (;;) {
            size_t ask = 1 + rng() % buffer.size();
            size_t n = source->read(source, buffer.data(), ask, &error.e);
            if (n == 0) break;
            ASSERT_LE(n, ask);
            received_hash = fnv1a(received_hash, buffer.data(), n);
            received += n;
        }
        producer.join();
        EXPECT_EQ(error.e.code, KC_OK);
        EXPECT_EQ(received, total) << capacity;
        EXPECT_EQ(received_hash, sent_hash) << capacity;
        kc_source_close(source);
    }
}

TEST(StreamPipeThreads, CopyFromPipeIntoMemorySink) {
    kc_source *source = nullptr;
    kc_stream_pipe *pipe = nullptr;
    Error error;
    TrackedAllocator tracked;
    ASSERT_EQ(kc_stream_pipe_open(0, tracked.get(), &source, &pipe, &error.e), KC_OK);
    const std::string data = pattern(250000, 14);
    std::thread producer([&] {
        Error producer_error;
        for (size_t position = 0; position < data.size(); position += 12345) {
            size_t n = std::min<size_t>(12345, data.size() - position);
            int code = kc_stream_pipe_write(pipe, data.data() + position, n, &producer_error.e);
            EXPECT_EQ(code, KC_OK);
            if (code != KC_OK) break;
        }
        kc_stream_pipe_finish(pipe);
    });
    kc_sink *sink = nullptr;
    ASSERT_EQ(kc_sink_to_memory(&sink, &error.e), KC_OK);
    size_t total = 0;
    EXPECT_EQ(kc_copy(source, sink, &total, &error.e), KC_OK);
    producer.join();
    EXPECT_EQ(total, data.size());
    const void *bytes = nullptr;
    size_t length = 0;
    ASSERT_EQ(kc_sink_memory_bytes(sink, &bytes, &length), 0);
    EXPECT_EQ(std::string(static_cast<const char *>(bytes), length), data);
    kc_sink_close(sink);
    kc_source_close(source);
    EXPECT_EQ(tracked.live(), 0u);
}
