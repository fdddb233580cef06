// Private layout of the built-in sources and sinks: the public record first, then one
// reserved pointer, the kind's own operations (which the public slots dispatch to) and the
// kind's data.
#ifndef KORVOC_API_SOURCE_H
#define KORVOC_API_SOURCE_H

#include "korvoc.h"

namespace korvo::api {

struct BuiltinSource;
using SourceReadOp = size_t (*)(BuiltinSource *source, void *buffer, size_t capacity, kc_error *error);
using SourceResetOp = int (*)(BuiltinSource *source, kc_error *error);
using SourceCloseOp = void (*)(BuiltinSource *source);

struct BuiltinSource {
    kc_source base;      // public slots
    void *reserved;
    SourceReadOp read;
    SourceResetOp reset; // NULL: the kind cannot rewind
    SourceCloseOp close; // releases the kind's data and the object itself
};

struct BuiltinSink;
using SinkWriteOp = int (*)(BuiltinSink *sink, const void *bytes, size_t length, kc_error *error);
using SinkCloseOp = void (*)(BuiltinSink *sink);

struct BuiltinSink {
    kc_sink base; // public slots
    void *reserved;
    SinkWriteOp write;
    SinkCloseOp close;
};

// The memory sink's data: a growing buffer (system allocator).
struct MemorySink {
    BuiltinSink header;
    unsigned char *data;
    size_t length;
    size_t capacity;
};

// Fills the public slots of a built-in source and its kind's operations; the caller then
// fills the kind's data.
void init_builtin_source(BuiltinSource *source, SourceReadOp read, SourceResetOp reset, SourceCloseOp close);

// Stores code and message (no detail) in error when it is non-NULL; returns code.
int set_source_error(kc_error *error, int code, const char *message);

} // namespace korvo::api

#endif
