/*
 * chirp.h - a small structured logger that writes JSON lines.
 *
 * Every event becomes one line holding one JSON object:
 *   {"ts":"2024-05-01T12:00:00.123Z","level":"info","event":"client.init",<fields>}
 * "ts" is the UTC wall-clock time with milliseconds. The fields follow in order: first those
 * of the derived loggers (chirp_with, outermost derivation last), then those of the event.
 * Strings are escaped as JSON; bytes that are not valid UTF-8 are written as U+FFFD, so every
 * line is valid JSON whatever the input.
 *
 * Each event is formatted completely and then handed to the output in one write under the
 * stream's lock, so lines logged from concurrent threads never interleave. Loggers are
 * immutable once made and may be used from any number of threads at once.
 *
 * Compiles as C11 and as C++.
 */
#ifndef CHIRP_H
#define CHIRP_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#define CHIRP_API
#elif defined(__GNUC__)
#define CHIRP_API __attribute__((visibility("default")))
#else
#define CHIRP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Event levels. A logger drops events whose level is below its configured level. */
enum {
    CHIRP_LEVEL_TRACE = 0,
    CHIRP_LEVEL_DEBUG = 1,
    CHIRP_LEVEL_INFO = 2,
    CHIRP_LEVEL_WARN = 3,
    CHIRP_LEVEL_ERROR = 4
};

/** Configuration of a root logger. chirp_default_config gives the defaults noted here. */
typedef struct chirp_config {
    int level;    /* CHIRP_LEVEL_INFO: lowest level written; any value above 4 (127) drops all */
    FILE *output; /* NULL (stderr): stream the lines go to; the caller keeps it open */
} chirp_config;

/** Kinds of field value. */
typedef enum chirp_kind {
    CHIRP_KIND_NULL = 0,
    CHIRP_KIND_STR = 1,         /* value.str; NULL is written as null */
    CHIRP_KIND_TRUSTED_STR = 2, /* value.str, which the caller states needs no escaping */
    CHIRP_KIND_BOOL = 3,        /* value.boolean, 0 or 1 */
    CHIRP_KIND_I64 = 4,         /* value.i64 */
    CHIRP_KIND_U64 = 5          /* value.u64 */
} chirp_kind;

/**
 * One structured field: a key and a typed value. Built by the constructors below and passed
 * by value; it only points at the key and string value, which the caller keeps alive for
 * the duration of the call that takes the field. A NULL key is written as "".
 */
typedef struct chirp_field {
    const char *key;
    int kind; /* a chirp_kind */
    union {
        const char *str;
        int boolean;
        int64_t i64;
        uint64_t u64;
    } value;
} chirp_field;

/**
 * A logger. The library allocates it (chirp_new, chirp_with) and only the release member is
 * public: logger->release(logger) frees the logger. Releasing a logger never affects loggers
 * derived from it or the one it was derived from; each is independent once made.
 */
typedef struct chirp_logger chirp_logger;
struct chirp_logger {
    void (*release)(chirp_logger *logger);
};

/** Fills config with the defaults: level CHIRP_LEVEL_INFO, output NULL (stderr). NULL is ignored. */
CHIRP_API void chirp_default_config(chirp_config *config);

/**
 * Creates a root logger from config (copied; NULL means the defaults). The output stream is
 * not owned: it must stay open until the logger and every logger derived from it are
 * released. Returns NULL when memory runs out.
 */
CHIRP_API chirp_logger *chirp_new(const chirp_config *config);

/**
 * Creates a logger that writes like base and adds the count fields to every event, after
 * base's own fields. Keys and string values are copied, so the fields need not outlive the
 * call. The result is released on its own (result->release(result)), before or after base.
 * Returns NULL when base is NULL, when fields is NULL with a non-zero count, or when memory
 * runs out.
 */
CHIRP_API chirp_logger *chirp_with(const chirp_logger *base, const chirp_field *fields, size_t count);

/**
 * Writes one event at the named level: event name, then the logger's fields, then the count
 * fields in order. Nothing is written when logger is NULL or the level is below the logger's.
 * A NULL event name is written as null; NULL fields with a non-zero count means no fields.
 * Output and memory failures drop the event silently: logging never fails.
 */
CHIRP_API void chirp_trace(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);
CHIRP_API void chirp_debug(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);
CHIRP_API void chirp_info(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);
CHIRP_API void chirp_warn(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);
CHIRP_API void chirp_error(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);

/** A string field; a NULL value makes a null field. Neither pointer is copied. */
CHIRP_API chirp_field chirp_str(const char *key, const char *value);

/**
 * A string field whose value the caller knows to need no escaping (plain ASCII names). It is
 * still checked and escaped where needed, so a wrong promise cannot break a line.
 */
CHIRP_API chirp_field chirp_trusted_str(const char *key, const char *value);

/** A field whose value is null. */
CHIRP_API chirp_field chirp_null(const char *key);

/** A boolean field: true for any non-zero value. */
CHIRP_API chirp_field chirp_bool(const char *key, int value);

/** A signed integer field. */
CHIRP_API chirp_field chirp_i64(const char *key, int64_t value);

/** An unsigned integer field. */
CHIRP_API chirp_field chirp_u64(const char *key, uint64_t value);

#ifdef __cplusplus
}
#endif

#endif /* CHIRP_H */
