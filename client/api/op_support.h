// What the operation bodies of the client's methods (client_ops.cpp) and of the lease handle's
// methods (lease.cpp) share: the identity a request carries, the run of one engine call with its
// events, the mapped load, and the attachment operations both layers offer.
#ifndef KORVOC_API_OP_SUPPORT_H
#define KORVOC_API_OP_SUPPORT_H

#include "api/client_internal.h"

#include <utility>

namespace korvo::api {

// ---- Events both layers log alike ------------------------------------------------------------

inline constexpr OpEvents kDescribeEvents{"client.describe.start", "client.describe.success", "client.describe.error",
                                          "client.describe.transport_error", Level::Warn, Level::Trace};
inline constexpr OpEvents kGetEvents{"client.get.start", "client.get.success", "client.get.error",
                                     "client.get.transport_error", Level::Warn, Level::Trace};
inline constexpr OpEvents kMutateEvents{"client.mutate.start", "client.mutate.success", "client.mutate.error",
                                        "client.mutate.transport_error", Level::Warn, Level::Trace};
inline constexpr OpEvents kMetadataEvents{"client.metadata.start", "client.metadata.success", "client.metadata.error",
                                          "client.metadata.transport_error", Level::Warn, Level::Trace};
inline constexpr OpEvents kRemoveEvents{"client.remove.start", "client.remove.success", "client.remove.error",
                                        "client.remove.transport_error", Level::Warn, Level::Trace};
inline constexpr OpEvents kKeepaliveEvents{"client.keepalive.start", "client.keepalive.success",
                                           "client.keepalive.error", nullptr, Level::Error, Level::Trace};
inline constexpr OpEvents kReleaseEvents{"client.release.start", "client.release.success", "client.release.error",
                                         nullptr, Level::Error, Level::Trace};

// ---- Identity of a held lease ---------------------------------------------------------------
// Identity is any record naming namespace_, key, lease_id, txn_id and fencing_token: a
// kc_lease_ref, a kc_update_req or the lease handle itself.

template <typename Request, typename Identity> void fill_identity(Request &request, const Identity &lease) {
    request.namespace_ = lease.namespace_;
    request.key = lease.key;
    request.lease_id = lease.lease_id;
    request.txn_id = lease.txn_id;
    request.fencing_token = lease.fencing_token;
}

// The leading fields of an operation's events: "key", "lease_id", then "txn_id" and
// "fencing_token" when asked for.
template <typename Identity> FieldList lease_fields(const Identity &lease, bool txn, bool fencing) {
    FieldList fields;
    fields.str("key", lease.key).str("lease_id", lease.lease_id);
    if (txn) fields.str("txn_id", lease.txn_id);
    if (fencing) fields.i64("fencing_token", lease.fencing_token);
    return fields;
}

// ---- One operation's run ----------------------------------------------------------------------

// An operation once its start event is out: the client, the events, the start fields that every
// error event repeats, and the caller's error record. Every ending goes through it.
struct OpRun {
    ClientHandle *client;
    const OpEvents &events;
    FieldList start;
    kc_error *error;

    int engine_failed(const kc_engine_error *engine_error) const {
        return fail_from_engine(client->logger, events, start, engine_error, error);
    }
    int out_of_memory(const char *message) const {
        return fail_local(client->logger, events, start, KC_ERR_NOMEM, message, nullptr, error);
    }
    // A failure already in public form (not logged yet) is logged and handed over.
    int failed(kc_error *failure) const {
        log_failure(client->logger, events, start, failure);
        return hand_over_error(failure, error);
    }
    int succeed(const FieldList &fields) const {
        log_success(client->logger, events, fields);
        return KC_OK;
    }
    // The end of an operation whose last step is the result copy.
    int copied(bool copy_made, const char *copy_failed, const FieldList &success) const {
        return copy_made ? succeed(success) : out_of_memory(copy_failed);
    }
};

// Logs the start event of an operation and returns its run.
inline OpRun begin_op(ClientHandle *client, const OpEvents &events, const FieldList &start, kc_error *error) {
    log_start(client->logger, events, start);
    return OpRun{client, events, start, error};
}

// The response record type a cleanup function frees.
template <typename F> struct CleanupOf;
template <typename T> struct CleanupOf<void (*)(T *)> {
    using Response = T;
};

// Runs call(&response, &engine_error) and hands a good response to finish, whose code is
// returned; an engine failure becomes the operation's logged error. Cleanup frees the response.
template <auto Cleanup, typename Call, typename Finish>
int run_engine_call(const OpRun &run, Call &&call, Finish &&finish) {
    using Response = typename CleanupOf<decltype(Cleanup)>::Response;
    EngineResponse<Response, Cleanup> response;
    EngineError engine_error;
    if (call(&response.record, &engine_error.record) != KC_OK) return run.engine_failed(&engine_error.record);
    return finish(std::as_const(response.record));
}

// run_engine_call for an engine call of the plain shape fn(engine, request, response, error).
template <auto Cleanup, typename Request, typename Response, typename Finish>
int call_engine(const OpRun &run, int (*fn)(kc_engine_client *, const Request *, Response *, kc_engine_error *),
                const Request &request, Finish &&finish) {
    auto call = [&](Response *response, kc_engine_error *failure) {
        return fn(run.client->engine, &request, response, failure);
    };
    return run_engine_call<Cleanup>(run, call, finish);
}

// run_engine_call for an engine call whose body flows through bridge between the engine and end
// (a kc_sink or a kc_source): fn(engine, request, bridge, &end, response, error).
template <auto Cleanup, typename Request, typename Bridge, typename End, typename Response, typename Finish>
int stream_engine(const OpRun &run,
                  int (*fn)(kc_engine_client *, const Request *, Bridge, void *, Response *, kc_engine_error *),
                  const Request &request, Bridge bridge, End *end, Finish &&finish) {
    auto call = [&](Response *response, kc_engine_error *failure) {
        return fn(run.client->engine, &request, bridge, &end, response, failure);
    };
    return run_engine_call<Cleanup>(run, call, finish);
}

// A mapped load of request into destination, then finish(response). A failure of finish
// resets destination too, so a failed load never leaves a value behind.
template <typename Finish>
int run_mapped_load(const OpRun &run, const kc_engine_get_stream_request &request, const vellum_map *map,
                    void *destination, const vellum_parse_options *parse_options, const LoadMessages &messages,
                    Finish &&finish) {
    EngineResponse<kc_engine_get_stream_response, kc_engine_get_stream_response_cleanup> response;
    kc_error failure{};
    if (load_mapped_state(run.client, &request, map, destination, parse_options, messages, &response.record,
                          &failure) != KC_OK)
        return run.failed(&failure);
    int code = finish(std::as_const(response.record));
    if (code != KC_OK) vellum_reset(map, destination);
    return code;
}

// ---- Attachment operations of both layers (client_ops.cpp) ----------------------------------
// Each runs after the caller's argument check and start event, on the identity of lease.
// follower, when non-NULL, is the lease handle whose expected version follows the version a
// change reports.

// "key", "lease_id", "attachment_id", "name": the start fields of a get or a delete.
FieldList selector_fields(const kc_lease_ref &lease, const kc_attachment_selector &selector);

// How a layer reports a successful upload.
using AttachSuccessFields = FieldList (*)(const FieldList &start, const kc_engine_attach_response &response);

int attach_op(const OpRun &run, const kc_lease_ref &lease, const kc_attach_req &params, kc_source *src,
              kc_attach_res *out, kc_lease *follower, AttachSuccessFields success_fields);
int list_attachments_op(const OpRun &run, const kc_lease_ref &lease, int public_read, kc_attachment_list *out);
int get_attachment_op(const OpRun &run, const kc_lease_ref &lease, int public_read,
                      const kc_attachment_selector &selector, kc_sink *dst, kc_attachment_get_res *out);
int delete_attachment_op(const OpRun &run, const kc_lease_ref &lease, const kc_attachment_selector &selector,
                         int *deleted, kc_lease *follower);
int delete_all_attachments_op(const OpRun &run, const kc_lease_ref &lease, int *deleted_count, kc_lease *follower);

} // namespace korvo::api

#endif
