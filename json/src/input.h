// Pulled input shared by the streams: one read from a reader callback, a FILE or a
// descriptor, classified the same way for all of them.
#ifndef VELLUM_INPUT_H
#define VELLUM_INPUT_H

#include "core.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace vellum::detail {

enum class InputKind { Reader = 1, File = 2, Fd = 3 };
enum class Refill { Data, End, WouldBlock, Error };

struct PulledInput {
    InputKind kind;
    vellum_reader_fn reader;
    void *user;
    FILE *file;
    int fd;
};

// Reads up to capacity bytes into buffer. Data: *got > 0 (a reader may also answer with no
// bytes and neither end nor would-block; it is then simply called again). Error: *sys_errno
// holds the errno (or the reader's error).
inline Refill read_input(const PulledInput &input, unsigned char *buffer, size_t capacity, size_t *got,
                         int *sys_errno) {
    *got = 0;
    switch (input.kind) {
    case InputKind::File: {
        size_t n = std::fread(buffer, 1, capacity, input.file);
        *got = n;
        if (n) return Refill::Data;
        if (std::ferror(input.file)) {
            *sys_errno = errno ? errno : EIO;
            std::clearerr(input.file);
            return Refill::Error;
        }
        return Refill::End;
    }
    case InputKind::Fd: {
        ssize_t n;
        do {
            n = ::read(input.fd, buffer, capacity);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Refill::WouldBlock;
            *sys_errno = errno;
            return Refill::Error;
        }
        if (n == 0) return Refill::End;
        *got = static_cast<size_t>(n);
        return Refill::Data;
    }
    case InputKind::Reader: break;
    }
    vellum_read_result result = input.reader(input.user, buffer, capacity);
    if (result.error) {
        *sys_errno = result.error;
        return Refill::Error;
    }
    *got = result.bytes > capacity ? capacity : result.bytes;
    if (*got) return Refill::Data;
    if (result.would_block) return Refill::WouldBlock;
    return result.eof ? Refill::End : Refill::Data;
}

}  // namespace vellum::detail

#endif  // VELLUM_INPUT_H
