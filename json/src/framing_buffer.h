// A small growable byte buffer through a caller's allocator, with a hard limit on its length.
// The line, body and field buffers of the multipart and SSE parsers are made of it.
#ifndef VELLUM_FRAMING_BUFFER_H
#define VELLUM_FRAMING_BUFFER_H

#include "core.h"

namespace vellum::detail {

class FramingBuffer {
  public:
    FramingBuffer() = default;
    FramingBuffer(const FramingBuffer &) = delete;
    FramingBuffer &operator=(const FramingBuffer &) = delete;
    ~FramingBuffer() { release(); }

    // limit: most bytes the buffer may hold (one more is kept spare for a terminating NUL).
    // initial: first capacity to allocate, once something is stored.
    void setup(const vellum_allocator &allocator, size_t limit, size_t initial) {
        allocator_ = allocator;
        limit_ = limit;
        initial_ = initial ? initial : 64;
    }

    const char *data() const { return data_ ? data_ : ""; }
    char *data() { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return capacity_; }
    char back() const { return data_[size_ - 1]; }

    void clear() { size_ = 0; }
    // Drops the first n bytes (n <= size).
    void drop_front(size_t n) {
        if (n >= size_) {
            size_ = 0;
            return;
        }
        std::memmove(data_, data_ + n, size_ - n);
        size_ -= n;
    }
    void pop_back() { --size_; }

    vellum_status append(const void *bytes, size_t len, vellum_error *error) {
        if (len == 0) return VELLUM_STATUS_OK;
        if (len > SIZE_MAX - 1 - size_) return set_error(error, VELLUM_STATUS_OVERFLOW, "framing buffer size overflow");
        size_t needed = size_ + len;
        if (needed > limit_) return set_error(error, VELLUM_STATUS_OVERFLOW, "framing buffer limit exceeded");
        if (needed + 1 > capacity_) {
            vellum_status status = grow(needed + 1, error);
            if (status) return status;
        }
        std::memcpy(data_ + size_, bytes, len);
        size_ += len;
        return VELLUM_STATUS_OK;
    }
    vellum_status push_back(char byte, vellum_error *error) { return append(&byte, 1, error); }

    // The content as a NUL-terminated string (the spare byte always exists once allocated).
    const char *c_str() {
        if (!data_) return "";
        data_[size_] = '\0';
        return data_;
    }

    void release() {
        if (data_) raw_free(allocator_, data_, capacity_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

  private:
    // Doubles from `initial` until `needed` fits, never beyond limit + 1.
    vellum_status grow(size_t needed, vellum_error *error) {
        size_t ceiling = limit_ == SIZE_MAX ? SIZE_MAX : limit_ + 1;
        size_t next = capacity_ ? capacity_ : initial_;
        while (next < needed) next = next > ceiling / 2 ? ceiling : next * 2;
        if (next > ceiling) next = ceiling;
        if (next < needed) return set_error(error, VELLUM_STATUS_OVERFLOW, "framing buffer size overflow");
        void *grown = raw_realloc(allocator_, data_, capacity_, next);
        if (!grown) return set_error(error, VELLUM_STATUS_ALLOCATION_FAILED, "failed to allocate framing buffer");
        data_ = static_cast<char *>(grown);
        capacity_ = next;
        return VELLUM_STATUS_OK;
    }

    vellum_allocator allocator_{};
    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t limit_ = 0;
    size_t initial_ = 64;
};

}  // namespace vellum::detail

#endif  // VELLUM_FRAMING_BUFFER_H
