// Internal readers of spooled values and sources, shared by the serializer, the generator and
// the write_to_sink entry points. Each reader keeps its own position, so several of them (and
// the value's own read position) never disturb each other.
#ifndef VELLUM_SPOOL_H
#define VELLUM_SPOOL_H

#include "core.h"

#include <cstdio>

namespace vellum::detail {

// Size of the pieces in which spooled values and sources are copied out.
constexpr size_t kSpoolChunkBytes = 4096;

// Reads `capacity` bytes of a spooled value from byte `pos` on: prefix bytes only while pos is
// inside the prefix, else the spill file, positioned at pos first. `eof` is set once pos plus
// the bytes read reaches the total size; a failed file read sets `error` (errno, or EIO for a
// file shorter than the value). Never changes the record's own read position.
vellum_read_result spooled_read_at(const vellum_spooled &spooled, size_t pos, void *buffer, size_t capacity);

// A private read position over a spooled value, starting at its first byte.
class SpooledCursor {
public:
    explicit SpooledCursor(const vellum_spooled &spooled) : spooled_(&spooled) {}
    vellum_read_result read(void *buffer, size_t capacity) {
        vellum_read_result result = spooled_read_at(*spooled_, pos_, buffer, capacity);
        pos_ += result.bytes;
        return result;
    }
    size_t position() const { return pos_; }

private:
    const vellum_spooled *spooled_;
    size_t pos_ = 0;
};

// Read cursor of a source: opened at the source's first byte (FILE and descriptor sources are
// rewound, a path is opened "rb" and closed with the cursor). A source of kind none reads as
// empty. Not copyable: it may own a FILE.
class SourceCursor {
public:
    SourceCursor() = default;
    SourceCursor(const SourceCursor &) = delete;
    SourceCursor &operator=(const SourceCursor &) = delete;
    ~SourceCursor() { close(); }

    // Positions at the first byte. Failures are recorded in error with the source messages
    // ("failed to rewind source FILE*; ...", "failed to open source path '%s'", IO_ERROR).
    vellum_status open(const vellum_source &source, vellum_error *error);
    // Up to capacity bytes; eof once the input is exhausted, error = errno on failure.
    vellum_read_result read(void *buffer, size_t capacity);
    // Closes a file that the cursor opened; later reads report eof.
    void close();

private:
    int kind_ = VELLUM_SOURCE_NONE;
    FILE *file_ = nullptr;
    int fd_ = -1;
    bool owns_file_ = false;
    bool done_ = false;
};

// True when every field of the record that the serializer would write can be written again from
// its start: sources and raw JSON values by their own tests, nested objects and object array
// elements recursively. A nested object field without a map or record is not rewindable.
bool record_is_rewindable(const vellum_map *map, const void *record);

}  // namespace vellum::detail

#endif  // VELLUM_SPOOL_H
