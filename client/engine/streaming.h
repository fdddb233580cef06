// Pieces shared by the streaming state operations and the attachment operations.
#ifndef KORVOC_ENGINE_STREAMING_H
#define KORVOC_ENGINE_STREAMING_H

#include "korvoc_engine.h"

#include <curl/curl.h>

namespace korvo::engine {

struct SlistFree {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

// Starts path with base ("/v1/..."); KC_ERR_NOMEM "failed to allocate request path".
int begin_request_path(kc_engine_buffer *path, const char *base, kc_engine_error *error);

// Replaces *slot with a system copy of value (NULL value stores NULL); false when the copy fails.
bool copy_owned(char **slot, const char *value);

// True when s is non-NULL and non-empty.
inline bool present(const char *s) { return s && s[0] != '\0'; }

} // namespace korvo::engine

#endif
