// Pieces shared by the streaming state operations and the attachment operations.
#ifndef KORVOC_ENGINE_STREAMING_H
#define KORVOC_ENGINE_STREAMING_H

#include "http_request.h"
#include "korvoc_engine.h"

#include <curl/curl.h>

#include <cstring>

namespace korvo::engine {

// Starts path with base ("/v1/..."); KC_ERR_NOMEM "failed to allocate request path".
int begin_request_path(kc_engine_buffer *path, const char *base, kc_engine_error *error);

// base followed by the query string of query, into path.
int build_query_path(const kc_engine_client *client, const char *base, const kc_engine_attachment_query &query,
                     OwnedText &path, kc_engine_error *error);

// Replaces *slot with a system copy of value (NULL value stores NULL); false when the copy fails.
bool copy_owned(char **slot, const char *value);

// The stream state of one operation: zeroed, reporting to error and, for downloads, handing
// 2xx bodies to writer; its captures are released at the end of the scope.
struct StreamState {
    kc_engine_stream_state state;
    explicit StreamState(kc_engine_error *error, kc_engine_writer_fn writer = nullptr, void *writer_user = nullptr) {
        std::memset(&state, 0, sizeof(state));
        state.writer = writer;
        state.writer_user = writer_user;
        state.error = error;
    }
    ~StreamState() { kc_engine_stream_state_cleanup(&state); }
    StreamState(const StreamState &) = delete;
    StreamState &operator=(const StreamState &) = delete;
};

// GET path with the body streamed to the state's writer.
inline int stream_download(kc_engine_client *client, const char *path, curl_slist *headers,
                           kc_engine_stream_state *state) {
    return kc_engine_perform_streaming(client, "GET", path, headers, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, state);
}

} // namespace korvo::engine

#endif
