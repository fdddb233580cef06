// Helpers shared by the fuzz targets: deterministic input splits derived from the input
// itself, split readers, outcome texts, and a check that aborts with both sides printed.
#ifndef KORVO_FUZZ_COMMON_H
#define KORVO_FUZZ_COMMON_H

#include "vellum.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace korvo::fuzz {

// Aborts (a finding) when two outcomes that must agree differ.
inline void expect_same(const std::string &what, const std::string &a, const std::string &b) {
    if (a == b) return;
    std::fprintf(stderr, "fuzz mismatch: %s\n--- first:\n%s\n--- second:\n%s\n", what.c_str(), a.c_str(), b.c_str());
    std::abort();
}

inline void expect(bool condition, const std::string &what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

// Status, code, message and position: everything two equivalent runs must agree on.
inline std::string outcome(vellum_status status, const vellum_error &e) {
    return "status " + std::to_string(status) + " code " + std::to_string(e.code) + " '" + e.message + "' at " +
           std::to_string(e.line) + ":" + std::to_string(e.column) + " offset " + std::to_string(e.offset) +
           " truncated " + std::to_string(e.truncated);
}

// Success in the library's sense: TRUNCATED is a success with a warning.
inline bool succeeded(vellum_status status) { return status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED; }

// Piece sizes covering `size` bytes, drawn from a generator seeded by the input's hash, so a
// reproducer replays the same splits. Mixes single bytes, empty pieces and longer runs.
inline std::vector<size_t> split_sizes(const uint8_t *data, size_t size, uint64_t salt, bool allow_empty = true) {
    uint64_t state = 1469598103934665603ull ^ salt;
    for (size_t i = 0; i < size; i++) state = (state ^ data[i]) * 1099511628211ull;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::vector<size_t> pieces;
    for (size_t left = size; left > 0;) {
        uint64_t r = next();
        size_t n;
        switch (r % 4) {
            case 0: n = allow_empty && (r >> 8) % 3 == 0 ? 0 : 1; break;
            case 1: n = 1 + (r >> 8) % 7; break;
            case 2: n = 1 + (r >> 8) % 64; break;
            default: n = 1 + (r >> 8) % 1024; break;
        }
        n = std::min(n, left);
        pieces.push_back(n);
        left -= n;
    }
    return pieces;
}

// A reader that hands out text in the given pieces (an empty piece is a zero-byte read
// without eof, or would_block when asked for), eof with the last one.
struct SplitReader {
    std::string_view text;
    std::vector<size_t> pieces;
    size_t at = 0;
    size_t piece = 0;
    bool empty_is_would_block = false;

    static vellum_read_result read(void *user, void *buffer, size_t capacity) {
        auto *self = static_cast<SplitReader *>(user);
        vellum_read_result result{};
        size_t n = self->piece < self->pieces.size() ? self->pieces[self->piece++] : capacity;
        n = std::min({n, capacity, self->text.size() - self->at});
        std::copy_n(self->text.data() + self->at, n, static_cast<char *>(buffer));
        self->at += n;
        result.bytes = n;
        if (n == 0 && self->at < self->text.size() && self->empty_is_would_block) result.would_block = 1;
        result.eof = self->at == self->text.size();
        return result;
    }
};

}  // namespace korvo::fuzz

#endif
