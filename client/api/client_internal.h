// The client handle's private part and the method pattern shared by the handle code of
// client/api: argument failures, start/success/error events and engine error conversion.
#ifndef KORVOC_API_CLIENT_INTERNAL_H
#define KORVOC_API_CLIENT_INTERNAL_H

#include "korvoc.h"
#include "korvoc_engine.h"

#include <cstddef>
#include <cstdint>

namespace korvo::api {

// The handle: the public part first, so a kc_client * is a ClientHandle *. Read-only after
// open; the consumer service reads the copies to open private clients with the same settings.
struct ClientHandle {
    kc_client pub;
    kc_engine_client *engine;
    char **endpoints;
    size_t endpoint_count;
    char *unix_socket_path;
    char *client_bundle;          // captured bundle bytes (client allocator), NULL when none
    size_t client_bundle_length;
    char *client_bundle_path;
    char *default_namespace;
    int timeout_ms;
    int disable_mtls;
    int insecure_skip_verify;
    int prefer_http2;
    size_t max_response_bytes;
    int raw_logger;
    chirp_logger *base_logger;    // configured one or the noop logger; not owned
    chirp_logger *logger;         // the engine client's logger; not owned
    kc_allocator allocator;
};

inline ClientHandle *handle_of(kc_client *client) { return reinterpret_cast<ClientHandle *>(client); }
inline const ClientHandle *handle_of(const kc_client *client) {
    return reinterpret_cast<const ClientHandle *>(client);
}

// ---- Method pattern ---------------------------------------------------------------------

enum class Level { Trace, Debug, Info, Warn, Error };

void log_at(Level level, const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);

// The fields of one event, built on the stack in order. Keys and string values are borrowed.
class FieldList {
  public:
    static constexpr size_t kCapacity = 24;
    FieldList &str(const char *key, const char *value) { return add(kc_log_str_field(key, value)); }
    FieldList &i64(const char *key, int64_t value) { return add(kc_log_i64_field(key, static_cast<long>(value))); }
    FieldList &u64(const char *key, unsigned long value) { return add(kc_log_u64_field(key, value)); }
    FieldList &boolean(const char *key, int value) { return add(kc_log_bool_field(key, value)); }
    FieldList &add(chirp_field field) {
        if (count_ < kCapacity) items_[count_++] = field;
        return *this;
    }
    const chirp_field *data() const { return items_; }
    size_t size() const { return count_; }

  private:
    chirp_field items_[kCapacity] = {};
    size_t count_ = 0;
};

// Event names and levels of one operation. transport_error NULL: every failure logs error at
// error_level; otherwise code KC_ERR_TRANSPORT logs transport_error at error level and every
// other code logs error at warn level.
struct OpEvents {
    const char *start;
    const char *success;
    const char *error;
    const char *transport_error;
    Level error_level;
    Level success_level;
};

// Logs events.start at trace level.
void log_start(const chirp_logger *logger, const OpEvents &events, const FieldList &fields);
// Logs events.success at its level.
void log_success(const chirp_logger *logger, const OpEvents &events, const FieldList &fields);
// Logs the error event: fields, then "code", "http_status" and "error" of failure.
void log_failure(const chirp_logger *logger, const OpEvents &events, const FieldList &fields,
                 const kc_error *failure);

// Converts engine_error into the public error, logs the error event and stores the error in
// out (when non-NULL). Returns the public code.
int fail_from_engine(const chirp_logger *logger, const OpEvents &events, const FieldList &fields,
                     const kc_engine_error *engine_error, kc_error *out);

// As fail_from_engine for a failure of the public layer itself (code, message, detail).
int fail_local(const chirp_logger *logger, const OpEvents &events, const FieldList &fields, int code,
               const char *message, const char *detail, kc_error *out);

// Moves failure (logged by the caller) into out, or cleans it when out is NULL.
int hand_over_error(kc_error *failure, kc_error *out);

// An argument failure: KC_ERR_INVALID with message, nothing logged.
inline int invalid_argument(kc_error *error, const char *message) {
    return kc_error_set(error, KC_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
}

// Engine error record released at scope end.
struct EngineError {
    kc_engine_error record{};
    EngineError() = default;
    EngineError(const EngineError &) = delete;
    EngineError &operator=(const EngineError &) = delete;
    ~EngineError() { kc_engine_error_cleanup(&record); }
};

// An engine response record released with its cleanup at scope end.
template <typename T, void (*Cleanup)(T *)> struct EngineResponse {
    T record{};
    EngineResponse() = default;
    EngineResponse(const EngineResponse &) = delete;
    EngineResponse &operator=(const EngineResponse &) = delete;
    ~EngineResponse() { Cleanup(&record); }
};

// Copy of text with the system allocator into *out; false when a non-NULL text could not be
// copied (*out is then NULL).
bool copy_text(char **out, const char *text);

// ---- Mapped state loads (client and lease) ----------------------------------------------

// The messages that differ between the client's load and the lease's load.
struct LoadMessages {
    const char *init_failed;
    const char *parse_failed;
    const char *state_required;
};
extern const LoadMessages kClientLoadMessages;
extern const LoadMessages kLeaseLoadMessages;

// Streams the state of request into destination through map with the client's byte limit.
// On failure destination is reset (when the options clear it) and failure holds the public
// error (not logged). response is filled on success.
int load_mapped_state(ClientHandle *client, const kc_engine_get_stream_request *request, const vellum_map *map,
                      void *destination, const vellum_parse_options *parse_options, const LoadMessages &messages,
                      kc_engine_get_stream_response *response, kc_error *failure);

} // namespace korvo::api

#endif

// ---- The client's methods (client_ops.cpp), stored in the slots by kc_client_open ---------

namespace korvo::api {

int kc_client_acquire_method(kc_client *self, const kc_acquire_req *req, kc_lease **out, kc_error *error);
int kc_client_describe_method(kc_client *self, const kc_describe_req *req, kc_describe_res *out, kc_error *error);
int kc_client_get_method(kc_client *self, const char *key, const kc_get_opts *opts, kc_sink *dst, kc_get_res *out,
                         kc_error *error);
int kc_client_load_method(kc_client *self, const char *key, const vellum_map *map, void *destination,
                          const vellum_parse_options *parse_options, const kc_get_opts *opts, kc_get_res *out,
                          kc_error *error);
int kc_client_update_method(kc_client *self, const kc_update_req *req, kc_source *src, kc_update_res *out,
                            kc_error *error);
int kc_client_mutate_method(kc_client *self, const kc_mutate_op *req, kc_mutate_res *out, kc_error *error);
int kc_client_metadata_method(kc_client *self, const kc_metadata_op *req, kc_metadata_res *out, kc_error *error);
int kc_client_remove_method(kc_client *self, const kc_remove_op *req, kc_remove_res *out, kc_error *error);
int kc_client_keepalive_method(kc_client *self, const kc_keepalive_op *req, kc_keepalive_res *out, kc_error *error);
int kc_client_release_method(kc_client *self, const kc_release_op *req, kc_release_res *out, kc_error *error);
int kc_client_attach_method(kc_client *self, const kc_attach_op *req, kc_source *src, kc_attach_res *out,
                            kc_error *error);
int kc_client_list_attachments_method(kc_client *self, const kc_attachment_list_op *req, kc_attachment_list *out,
                                      kc_error *error);
int kc_client_get_attachment_method(kc_client *self, const kc_attachment_get_op *req, kc_sink *dst,
                                    kc_attachment_get_res *out, kc_error *error);
int kc_client_delete_attachment_method(kc_client *self, const kc_attachment_delete_op *req, int *deleted,
                                       kc_error *error);
int kc_client_delete_all_attachments_method(kc_client *self, const kc_attachment_delete_all_op *req,
                                            int *deleted_count, kc_error *error);
int kc_client_acquire_for_update_method(kc_client *self, const kc_acquire_req *req, kc_acquire_for_update_fn handler,
                                        void *handler_context, kc_error *error);

} // namespace korvo::api
