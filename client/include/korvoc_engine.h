/*
 * korvoc_engine.h - the protocol engine under the korvo client (kc_engine_*): engine client,
 * error record, request execution and the server operations.
 *
 * Result codes are the KC_* codes of korvoc.h. Every engine operation takes a caller-owned
 * kc_engine_error as its last argument; its strings are owned by the record.
 *
 * Compiles as C11 and as C++.
 */
#ifndef KORVOC_ENGINE_H
#define KORVOC_ENGINE_H

#include "korvoc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Engine error record
 * ---------------------------------------------------------------------------------------- */

/** What an engine operation failed with. Strings are owned by the record (system allocator). */
typedef struct kc_engine_error {
    int code;                 /* KC_* code; KC_OK on success */
    long http_status;         /* status of the failing response (server errors only) */
    char *message;
    char *server_error;       /* "error" of the server's JSON error body */
    char *detail;             /* "detail" */
    char *leader_endpoint;    /* "leader_endpoint" */
    char *current_etag;       /* "current_etag" */
    long current_version;     /* "current_version", narrowed */
    long retry_after_seconds; /* "retry_after_seconds", narrowed */
    char *correlation_id;     /* X-Correlation-Id response header */
} kc_engine_error;

/**
 * Converts an engine error into the public error and returns the public code: engine codes
 * 0 to 4 are kept, any other becomes KC_ERR_SERVER. http_status, message, detail,
 * server_error and correlation_id are copied as by kc_error_set. A NULL engine_error counts as
 * a zeroed one (code KC_OK). A NULL error only returns the code.
 */
KC_API int kc_error_from_engine(kc_error *error, const kc_engine_error *engine_error);

/* @@ENGINE_ERRORS@@ */

/* @@ENGINE_CLIENT@@ */

/* @@ENGINE_HTTP@@ */

/* @@ENGINE_OPERATIONS@@ */

#ifdef __cplusplus
}
#endif

#endif /* KORVOC_ENGINE_H */
