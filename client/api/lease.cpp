// The lease handle: creation, the slot table, every method with its handle refresh, the
// expected-version rule, and the exported kc_lease_* wrappers.
#include "api/lease_internal.h"

#include "api/client_internal.h"
#include "api/op_support.h"
#include "api/records.h"

#include <cstring>

namespace korvo::api {
namespace {

constexpr OpEvents kSaveEvents{nullptr, "client.update.success", "client.update.error",
                               "client.update.transport_error", Level::Warn, Level::Trace};
constexpr OpEvents kUpdateEvents{"client.update.start", "client.update.success", "client.update.error", nullptr,
                                 Level::Warn, Level::Trace};
constexpr OpEvents kAttachEvents{"client.attachment.put.start", "client.attachment.put.success",
                                 "client.attachment.put.error", "client.attachment.put.transport_error",
                                 Level::Warn, Level::Trace};
constexpr OpEvents kListEvents{"client.attachment.list.start", "client.attachment.list.success",
                               "client.attachment.list.error", "client.attachment.list.transport_error",
                               Level::Warn, Level::Trace};
constexpr OpEvents kGetAttachmentEvents{"client.attachment.get.start", "client.attachment.get.success",
                                        "client.attachment.get.error", "client.attachment.get.transport_error",
                                        Level::Warn, Level::Trace};
constexpr OpEvents kDeleteEvents{"client.attachment.delete.start", "client.attachment.delete.success",
                                 "client.attachment.delete.error", "client.attachment.delete.transport_error",
                                 Level::Warn, Level::Trace};
constexpr OpEvents kDeleteAllEvents{"client.attachment.delete_all.start", "client.attachment.delete_all.success",
                                    "client.attachment.delete_all.error",
                                    "client.attachment.delete_all.transport_error", Level::Warn, Level::Trace};

constexpr const char *kEtagRefreshFailed = "failed to allocate refreshed lease state etag";

ClientHandle *client_of(LeaseHandle *lease) { return handle_of(lease->client); }

// The view members mirror the private copies.
void sync_view(LeaseHandle *lease) {
    kc_lease &pub = lease->pub;
    pub.namespace_ = lease->namespace_;
    pub.key = lease->key;
    pub.owner = lease->owner;
    pub.lease_id = lease->lease_id;
    pub.txn_id = lease->txn_id;
    pub.fencing_token = lease->fencing_token;
    pub.version = lease->version;
    pub.expires_at = lease->expires_at;
    pub.state_etag = lease->state_etag;
    pub.query_hidden = lease->query_hidden;
    pub.query_hidden_known = lease->query_hidden_known;
}

// Copy of etag without one pair of surrounding double quotes, through the client allocator.
char *copy_etag(kc_client *client, const char *etag) {
    if (!etag) return nullptr;
    size_t length = std::strlen(etag);
    if (length >= 2 && etag[0] == '"' && etag[length - 1] == '"') {
        auto *copy = static_cast<char *>(kc_client_alloc(client, length - 1));
        if (!copy) return nullptr;
        std::memcpy(copy, etag + 1, length - 2);
        copy[length - 2] = '\0';
        return copy;
    }
    return kc_client_strdup(client, etag);
}

// The strings of the handle a refresh replaces (owner, state etag): copied first and committed
// once nothing else can fail, so a failed refresh leaves the handle as it was.
class PendingRefresh {
  public:
    explicit PendingRefresh(LeaseHandle *lease) : lease_(lease) {}
    PendingRefresh(const PendingRefresh &) = delete;
    PendingRefresh &operator=(const PendingRefresh &) = delete;
    ~PendingRefresh() { drop(); }

    // Each is false when a non-NULL text could not be copied.
    bool owner(const char *owner) { return prepare(&owner_, kc_client_strdup(lease_->client, owner), owner); }
    bool etag(const char *etag) { return prepare(&etag_, copy_etag(lease_->client, etag), etag); }

    // Drops the copies, then fails the operation out of memory with message.
    int fail(const OpRun &run, const char *message) {
        drop();
        return run.out_of_memory(message);
    }

    void commit() {
        commit(&owner_, &lease_->owner);
        commit(&etag_, &lease_->state_etag);
    }

  private:
    struct Text {
        bool apply = false;
        char *copy = nullptr;
    };

    static bool prepare(Text *text, char *copy, const char *source) {
        text->apply = true;
        text->copy = copy;
        return copy || !source;
    }
    void commit(Text *text, char **slot) {
        if (!text->apply) return;
        kc_client_free(lease_->client, *slot);
        *slot = text->copy;
        *text = Text{};
    }
    void drop(Text *text) {
        kc_client_free(lease_->client, text->copy);
        *text = Text{};
    }
    void drop() {
        drop(&owner_);
        drop(&etag_);
    }

    LeaseHandle *lease_;
    Text owner_, etag_;
};

// A result copied before the handle changes and handed to out (when non-NULL) only after, so a
// failed copy leaves both the handle and out as they were.
template <typename Result, typename Response> struct HeldResult {
    Result *out;
    bool (*copy)(Result *, const Response *);
    const char *copy_failed;
    Result value{};

    bool take(const Response &response) { return !out || copy(&value, &response); }
    void hand_out() {
        if (out) *out = value;
    }
};

// A HeldResult with its record types taken from copy.
template <typename Result, typename Response>
HeldResult<Result, Response> hold_result(Result *out, bool (*copy)(Result *, const Response *),
                                         const char *copy_failed) {
    return HeldResult<Result, Response>{out, copy, copy_failed};
}

bool carried(const char *text) { return text && text[0] != '\0'; }

// The identity of the handle as the shared attachment operations take it (strings borrowed).
kc_lease_ref ref_of(const LeaseHandle *lease) {
    return kc_lease_ref{lease->namespace_, lease->key, lease->lease_id, lease->txn_id, lease->fencing_token};
}

// The expected version sent by save, update, mutate, metadata and remove.
void expected_version(const LeaseHandle *lease, int caller_set, long caller_version, int64_t *version, int *has) {
    if (caller_set) {
        *version = caller_version;
        *has = 1;
    } else if (lease->version > 0) {
        *version = lease->version;
        *has = 1;
    } else {
        *version = 0;
        *has = 0;
    }
}

void close_method(kc_lease *self) {
    if (!self) return;
    LeaseHandle *lease = lease_of(self);
    kc_client *client = lease->client;
    kc_client_free(client, lease->namespace_);
    kc_client_free(client, lease->key);
    kc_client_free(client, lease->owner);
    kc_client_free(client, lease->lease_id);
    kc_client_free(client, lease->txn_id);
    kc_client_free(client, lease->state_etag);
    kc_client_free(client, lease->extra);
    kc_client_free(client, lease);
}

// Refreshes the handle from a description: owner, etag, version, expiry and query-hidden flag.
int adopt_description(const OpRun &run, LeaseHandle *lease, const kc_engine_describe_response &r,
                      kc_describe_res *out) {
    PendingRefresh refresh(lease);
    if (!refresh.owner(r.owner) || !refresh.etag(r.state_etag)) return refresh.fail(run, kEtagRefreshFailed);
    auto result = hold_result(out, copy_describe_result, "failed to copy describe response");
    if (!result.take(r)) return refresh.fail(run, result.copy_failed);
    refresh.commit();
    lease->version = static_cast<long>(r.version);
    lease->expires_at = static_cast<long>(r.expires_at_unix);
    lease->query_hidden = r.query_hidden;
    lease->query_hidden_known = r.metadata_present;
    sync_view(lease);
    result.hand_out();

    FieldList success;
    success.i64("version", r.version).str("state_etag", r.state_etag).str("cid", r.correlation_id);
    return run.succeed(success);
}

int describe_method(kc_lease *self, kc_describe_res *out, kc_error *error) {
    if (!self) return invalid_argument(error, "lease describe requires self");
    LeaseHandle *lease = lease_of(self);
    OpRun run = begin_op(client_of(lease), kDescribeEvents, lease_fields(*lease, true, false), error);

    kc_engine_describe_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    return call_engine<kc_engine_describe_response_cleanup>(
        run, kc_engine_client_describe, request,
        [&](const kc_engine_describe_response &r) { return adopt_description(run, lease, r, out); });
}

// Shared end of get and load: refresh from the read's headers, copy the result, log.
int finish_read(const OpRun &run, LeaseHandle *lease, const kc_engine_get_stream_response &r, kc_get_res *out) {
    PendingRefresh refresh(lease);
    if (carried(r.etag) && !refresh.etag(r.etag)) return refresh.fail(run, kEtagRefreshFailed);
    auto result = hold_result(out, copy_get_result, "failed to copy get response");
    if (!result.take(r)) return refresh.fail(run, result.copy_failed);
    refresh.commit();
    if (r.fencing_token > 0) lease->fencing_token = static_cast<long>(r.fencing_token);
    if (r.version > 0) lease->version = static_cast<long>(r.version);
    sync_view(lease);
    result.hand_out();

    if (r.no_content) log_at(Level::Debug, run.client->logger, "client.get.empty", run.start.data(), run.start.size());
    FieldList success = run.start;
    success.str("etag", r.etag).str("cid", r.correlation_id);
    return run.succeed(success);
}

kc_engine_get_stream_request read_request(const LeaseHandle *lease, int public_read) {
    kc_engine_get_stream_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.fencing_token = lease->fencing_token;
    request.public_read = public_read;
    return request;
}

// The start of a lease's get or load: identity and whether the read is public.
OpRun begin_read(LeaseHandle *lease, int public_read, kc_error *error) {
    FieldList start = lease_fields(*lease, true, false);
    start.boolean("public", public_read);
    return begin_op(client_of(lease), kGetEvents, start, error);
}

int get_method(kc_lease *self, kc_sink *dst, const kc_get_opts *opts, kc_get_res *out, kc_error *error) {
    if (!self || !dst || !out) return invalid_argument(error, "lease get requires self, dst, and out");
    LeaseHandle *lease = lease_of(self);
    int public_read = opts ? opts->public_ : 0;
    OpRun run = begin_read(lease, public_read, error);
    return stream_engine<kc_engine_get_stream_response_cleanup>(
        run, kc_engine_client_get_into, read_request(lease, public_read), kc_engine_write_bridge, dst,
        [&](const kc_engine_get_stream_response &r) { return finish_read(run, lease, r, out); });
}

int load_method(kc_lease *self, const vellum_map *map, void *destination, const vellum_parse_options *parse_options,
                const kc_get_opts *opts, kc_get_res *out, kc_error *error) {
    if (!self || !map || !destination || !out)
        return invalid_argument(error, "lease load requires self, map, destination, and out");
    LeaseHandle *lease = lease_of(self);
    int public_read = opts ? opts->public_ : 0;
    OpRun run = begin_read(lease, public_read, error);
    return run_mapped_load(run, read_request(lease, public_read), map, destination, parse_options, kLeaseLoadMessages,
                           [&](const kc_engine_get_stream_response &r) { return finish_read(run, lease, r, out); });
}

// Save hands no result out.
struct NoResult {
    const char *copy_failed = nullptr;
    bool take(const kc_engine_update_response &) { return true; }
    void hand_out() {}
};

// Commits a state upload's outcome, etag and version, once result holds its copy.
template <typename Held>
int adopt_upload(const OpRun &run, LeaseHandle *lease, const kc_engine_update_response &r, Held &result) {
    PendingRefresh refresh(lease);
    if (!refresh.etag(r.new_state_etag)) return refresh.fail(run, kEtagRefreshFailed);
    if (!result.take(r)) return refresh.fail(run, result.copy_failed);
    refresh.commit();
    lease->version = static_cast<long>(r.new_version);
    sync_view(lease);
    result.hand_out();
    return KC_OK;
}

int save_method(kc_lease *self, const vellum_map *map, const void *record, kc_error *error) {
    if (!self || !map || !record) return invalid_argument(error, "lease save requires self, map, and source");
    LeaseHandle *lease = lease_of(self);
    // A save logs only its outcome: no start event, the identity on the error event.
    const OpRun run{client_of(lease), kSaveEvents, lease_fields(*lease, true, false), error};

    kc_engine_update_request request{};
    fill_identity(request, *lease);
    expected_version(lease, 0, 0, &request.if_version, &request.has_if_version);
    request.content_type = "application/json";
    auto upload = [&](kc_engine_update_response *response, kc_engine_error *failure) {
        return kc_engine_client_update_stream(run.client->engine, &request, map, record, nullptr, response, failure);
    };
    return run_engine_call<kc_engine_update_response_cleanup>(run, upload, [&](const kc_engine_update_response &r) {
        NoResult result;
        int code = adopt_upload(run, lease, r, result);
        if (code != KC_OK) return code;
        FieldList success = lease_fields(*lease, false, false);
        success.i64("version", r.new_version)
            .str("state_etag", lease->state_etag)
            .str("content_type", "application/json")
            .str("cid", r.correlation_id);
        return run.succeed(success);
    });
}

int update_method(kc_lease *self, kc_source *src, const kc_update_opts *opts, kc_update_res *out, kc_error *error) {
    if (!self || !src) return invalid_argument(error, "lease update requires self and src");
    LeaseHandle *lease = lease_of(self);
    const char *content_type = opts && carried(opts->content_type) ? opts->content_type : "application/json";
    FieldList start = lease_fields(*lease, true, false);
    start.str("content_type", content_type);
    OpRun run = begin_op(client_of(lease), kUpdateEvents, start, error);

    kc_engine_update_from_request request{};
    fill_identity(request, *lease);
    request.if_state_etag = opts ? opts->if_state_etag : nullptr;
    expected_version(lease, opts ? opts->if_version_set : 0, opts ? opts->if_version : 0, &request.if_version,
                     &request.has_if_version);
    request.content_type = content_type;
    return stream_engine<kc_engine_update_response_cleanup>(
        run, kc_engine_client_update_from, request, kc_engine_read_bridge, src,
        [&](const kc_engine_update_response &r) {
            auto result = hold_result(out, copy_update_result, "failed to copy update response");
            int code = adopt_upload(run, lease, r, result);
            if (code != KC_OK) return code;
            FieldList success = lease_fields(*lease, true, false);
            success.str("new_etag", r.new_state_etag).i64("version", r.new_version).str("cid", r.correlation_id);
            return run.succeed(success);
        });
}

int mutate_method(kc_lease *self, const kc_mutate_req *req, kc_mutate_res *out, kc_error *error) {
    if (!self || !req) return invalid_argument(error, "lease mutate requires self and req");
    LeaseHandle *lease = lease_of(self);
    FieldList start = lease_fields(*lease, true, false);
    start.u64("mutation_count", req->mutation_count);
    OpRun run = begin_op(client_of(lease), kMutateEvents, start, error);

    kc_engine_mutate_request request{};
    fill_identity(request, *lease);
    request.if_state_etag = req->if_state_etag;
    expected_version(lease, req->if_version_set, req->if_version, &request.if_version, &request.has_if_version);
    request.mutations = req->mutations;
    request.mutation_count = req->mutation_count;
    return call_engine<kc_engine_mutate_response_cleanup>(
        run, kc_engine_client_mutate, request, [&](const kc_engine_update_response &r) {
            auto result = hold_result(out, copy_mutate_result, "failed to copy mutate response");
            int code = adopt_upload(run, lease, r, result);
            if (code != KC_OK) return code;
            FieldList success = run.start;
            success.i64("new_version", r.new_version).str("new_etag", r.new_state_etag).str("cid", r.correlation_id);
            return run.succeed(success);
        });
}

int metadata_method(kc_lease *self, const kc_metadata_req *req, kc_metadata_res *out, kc_error *error) {
    if (!self) return invalid_argument(error, "lease metadata requires self");
    LeaseHandle *lease = lease_of(self);
    OpRun run = begin_op(client_of(lease), kMetadataEvents, lease_fields(*lease, true, false), error);

    kc_engine_metadata_request request{};
    fill_identity(request, *lease);
    expected_version(lease, req ? req->if_version_set : 0, req ? req->if_version : 0, &request.if_version,
                     &request.has_if_version);
    request.has_query_hidden = req ? req->query_hidden_set : 0;
    request.query_hidden = req ? req->query_hidden : 0;
    return call_engine<kc_engine_metadata_response_cleanup>(
        run, kc_engine_client_update_metadata, request, [&](const kc_engine_metadata_response &r) {
            auto result = hold_result(out, copy_metadata_result, "failed to copy metadata response");
            if (!result.take(r)) return run.out_of_memory(result.copy_failed);
            lease->version = static_cast<long>(r.version);
            lease->query_hidden = r.query_hidden;
            lease->query_hidden_known = r.metadata_present;
            sync_view(lease);
            result.hand_out();

            FieldList success = lease_fields(*lease, false, false);
            success.i64("version", r.version).boolean("query_hidden", r.query_hidden).str("cid", r.correlation_id);
            return run.succeed(success);
        });
}

// Takes a removal's outcome: the new version, and when the state is gone its etag goes too.
int adopt_removal(const OpRun &run, LeaseHandle *lease, const kc_engine_remove_response &r, kc_remove_res *out) {
    auto result = hold_result(out, copy_remove_result, "failed to copy remove response");
    if (!result.take(r)) return run.out_of_memory(result.copy_failed);
    lease->version = static_cast<long>(r.new_version);
    if (r.removed) {
        kc_client_free(lease->client, lease->state_etag);
        lease->state_etag = nullptr;
    }
    sync_view(lease);
    result.hand_out();

    FieldList success = lease_fields(*lease, false, false);
    success.boolean("removed", r.removed).i64("new_version", r.new_version).str("cid", r.correlation_id);
    return run.succeed(success);
}

int remove_method(kc_lease *self, const kc_remove_req *req, kc_remove_res *out, kc_error *error) {
    if (!self) return invalid_argument(error, "lease remove requires self");
    LeaseHandle *lease = lease_of(self);
    OpRun run = begin_op(client_of(lease), kRemoveEvents, lease_fields(*lease, true, false), error);

    kc_engine_remove_request request{};
    fill_identity(request, *lease);
    request.if_state_etag = req ? req->if_state_etag : nullptr;
    expected_version(lease, req ? req->if_version_set : 0, req ? req->if_version : 0, &request.if_version,
                     &request.has_if_version);
    return call_engine<kc_engine_remove_response_cleanup>(
        run, kc_engine_client_remove, request,
        [&](const kc_engine_remove_response &r) { return adopt_removal(run, lease, r, out); });
}

// Takes a keepalive's outcome: etag, version and expiry, each when the answer carries it.
int adopt_keepalive(const OpRun &run, LeaseHandle *lease, const kc_engine_keepalive_response &r,
                    kc_keepalive_res *out) {
    PendingRefresh refresh(lease);
    if (carried(r.state_etag) && !refresh.etag(r.state_etag)) return refresh.fail(run, kEtagRefreshFailed);
    auto result = hold_result(out, copy_keepalive_result, "failed to copy keepalive response");
    if (!result.take(r)) return refresh.fail(run, result.copy_failed);
    refresh.commit();
    if (r.version > 0) lease->version = static_cast<long>(r.version);
    if (r.expires_at_unix > 0) lease->expires_at = static_cast<long>(r.expires_at_unix);
    sync_view(lease);
    result.hand_out();

    FieldList success = lease_fields(*lease, true, false);
    success.i64("version", r.version).i64("expires_at", r.expires_at_unix).str("cid", r.correlation_id);
    return run.succeed(success);
}

int keepalive_method(kc_lease *self, const kc_keepalive_req *req, kc_keepalive_res *out, kc_error *error) {
    if (!self || !req) return invalid_argument(error, "lease keepalive requires self and req");
    LeaseHandle *lease = lease_of(self);
    FieldList start = lease_fields(*lease, true, false);
    start.i64("ttl_seconds", req->ttl_seconds);
    OpRun run = begin_op(client_of(lease), kKeepaliveEvents, start, error);

    kc_engine_keepalive_request request{};
    fill_identity(request, *lease);
    request.ttl_seconds = req->ttl_seconds;
    return call_engine<kc_engine_keepalive_response_cleanup>(
        run, kc_engine_client_keepalive, request,
        [&](const kc_engine_keepalive_response &r) { return adopt_keepalive(run, lease, r, out); });
}

int release_method(kc_lease *self, const kc_release_req *req, kc_error *error) {
    if (!self) return invalid_argument(error, "lease release requires self");
    LeaseHandle *lease = lease_of(self);
    int rollback = req ? req->rollback : 0;
    FieldList start = lease_fields(*lease, true, false);
    start.boolean("rollback", rollback);
    OpRun run = begin_op(client_of(lease), kReleaseEvents, start, error);

    kc_engine_release_request request{};
    fill_identity(request, *lease);
    request.rollback = rollback;
    return call_engine<kc_engine_release_response_cleanup>(
        run, kc_engine_client_release, request, [&](const kc_engine_release_response &r) {
            FieldList success = lease_fields(*lease, true, false);
            success.boolean("released", r.released).str("cid", r.correlation_id);
            run.succeed(success);
            close_method(self); // the fields above point into the lease: logged first
            return KC_OK;
        });
}

// The lease handle reports an upload by the attachment's id.
FieldList lease_attach_success(const FieldList &, const kc_engine_attach_response &r) {
    FieldList success;
    success.str("attachment_id", r.attachment.id).boolean("noop", r.noop).str("cid", r.correlation_id);
    return success;
}

int attach_method(kc_lease *self, const kc_attach_req *req, kc_source *src, kc_attach_res *out, kc_error *error) {
    if (!self || !req || !src || !out) return invalid_argument(error, "lease attach requires self, req, src, and out");
    LeaseHandle *lease = lease_of(self);
    FieldList start = lease_fields(*lease, true, false);
    start.str("name", req->name);
    OpRun run = begin_op(client_of(lease), kAttachEvents, start, error);
    return attach_op(run, ref_of(lease), *req, src, out, self, lease_attach_success);
}

int list_attachments_method(kc_lease *self, const kc_attachment_list_req *req, kc_attachment_list *out,
                            kc_error *error) {
    if (!self || !out) return invalid_argument(error, "list_attachments requires self and out");
    LeaseHandle *lease = lease_of(self);
    const kc_lease_ref ref = ref_of(lease);
    OpRun run = begin_op(client_of(lease), kListEvents, lease_fields(ref, false, false), error);
    return list_attachments_op(run, ref, req ? req->public_ : 0, out);
}

int get_attachment_method(kc_lease *self, const kc_attachment_get_req *req, kc_sink *dst,
                          kc_attachment_get_res *out, kc_error *error) {
    if (!self || !req || !dst || !out)
        return invalid_argument(error, "get_attachment requires self, req, dst, and out");
    LeaseHandle *lease = lease_of(self);
    const kc_lease_ref ref = ref_of(lease);
    OpRun run = begin_op(client_of(lease), kGetAttachmentEvents, selector_fields(ref, req->selector), error);
    return get_attachment_op(run, ref, req->public_, req->selector, dst, out);
}

int delete_attachment_method(kc_lease *self, const kc_attachment_selector *selector, int *deleted,
                             kc_error *error) {
    if (!self || !selector || !deleted)
        return invalid_argument(error, "delete_attachment requires self, selector, and deleted");
    LeaseHandle *lease = lease_of(self);
    const kc_lease_ref ref = ref_of(lease);
    OpRun run = begin_op(client_of(lease), kDeleteEvents, selector_fields(ref, *selector), error);
    return delete_attachment_op(run, ref, *selector, deleted, self);
}

int delete_all_attachments_method(kc_lease *self, int *deleted_count, kc_error *error) {
    if (!self || !deleted_count) return invalid_argument(error, "delete_all_attachments requires self and deleted_count");
    LeaseHandle *lease = lease_of(self);
    const kc_lease_ref ref = ref_of(lease);
    OpRun run = begin_op(client_of(lease), kDeleteAllEvents, lease_fields(ref, false, false), error);
    return delete_all_attachments_op(run, ref, deleted_count, self);
}

} // namespace

kc_lease *kc_lease_new(kc_client *client, const char *namespace_, const char *key, const char *owner,
                       const char *lease_id, const char *txn_id, long fencing_token, long version,
                       const char *state_etag, const char *extra) {
    auto *lease = static_cast<LeaseHandle *>(kc_client_calloc(client, 1, sizeof(LeaseHandle)));
    if (!lease) return nullptr;
    lease->client = client;
    lease->namespace_ = kc_client_strdup(client, namespace_);
    lease->key = kc_client_strdup(client, key);
    lease->owner = kc_client_strdup(client, owner);
    lease->lease_id = kc_client_strdup(client, lease_id);
    lease->txn_id = kc_client_strdup(client, txn_id);
    lease->state_etag = copy_etag(client, state_etag);
    lease->extra = kc_client_strdup(client, extra);
    if ((namespace_ && !lease->namespace_) || (key && !lease->key) || (owner && !lease->owner) ||
        (lease_id && !lease->lease_id) || (txn_id && !lease->txn_id) || (state_etag && !lease->state_etag) ||
        (extra && !lease->extra)) {
        close_method(&lease->pub);
        return nullptr;
    }
    lease->fencing_token = fencing_token;
    lease->version = version;

    kc_lease &pub = lease->pub;
    pub.describe = describe_method;
    pub.get = get_method;
    pub.load = load_method;
    pub.save = save_method;
    pub.update = update_method;
    pub.mutate = mutate_method;
    pub.mutate_local = nullptr; // filled by the local mutation operations
    pub.metadata = metadata_method;
    pub.remove = remove_method;
    pub.keepalive = keepalive_method;
    pub.release = release_method;
    pub.attach = attach_method;
    pub.list_attachments = list_attachments_method;
    pub.get_attachment = get_attachment_method;
    pub.delete_attachment = delete_attachment_method;
    pub.delete_all_attachments = delete_all_attachments_method;
    pub.close = close_method;
    sync_view(lease);
    return &lease->pub;
}

void lease_set_expires_at(kc_lease *self, long expires_at) {
    if (!self) return;
    LeaseHandle *lease = lease_of(self);
    lease->expires_at = expires_at;
    sync_view(lease);
}

void lease_follow_version(kc_lease *self, int64_t version) {
    if (version <= 0) return;
    LeaseHandle *lease = lease_of(self);
    lease->version = static_cast<long>(version);
    sync_view(lease);
}

} // namespace korvo::api

extern "C" {

KC_API int kc_lease_describe(kc_lease *lease, kc_describe_res *out, kc_error *error) {
    return lease->describe(lease, out, error);
}

KC_API int kc_lease_get(kc_lease *lease, kc_sink *dst, const kc_get_opts *opts, kc_get_res *out, kc_error *error) {
    return lease->get(lease, dst, opts, out, error);
}

KC_API int kc_lease_load(kc_lease *lease, const vellum_map *map, void *destination,
                         const vellum_parse_options *parse_options, const kc_get_opts *opts, kc_get_res *out,
                         kc_error *error) {
    return lease->load(lease, map, destination, parse_options, opts, out, error);
}

KC_API int kc_lease_save(kc_lease *lease, const vellum_map *map, const void *record, kc_error *error) {
    return lease->save(lease, map, record, error);
}

KC_API int kc_lease_update(kc_lease *lease, kc_source *src, const kc_update_opts *opts, kc_update_res *out,
                           kc_error *error) {
    return lease->update(lease, src, opts, out, error);
}

KC_API int kc_lease_mutate(kc_lease *lease, const kc_mutate_req *req, kc_mutate_res *out, kc_error *error) {
    return lease->mutate(lease, req, out, error);
}

KC_API int kc_lease_metadata(kc_lease *lease, const kc_metadata_req *req, kc_metadata_res *out, kc_error *error) {
    return lease->metadata(lease, req, out, error);
}

KC_API int kc_lease_remove(kc_lease *lease, const kc_remove_req *req, kc_remove_res *out, kc_error *error) {
    return lease->remove(lease, req, out, error);
}

KC_API int kc_lease_keepalive(kc_lease *lease, const kc_keepalive_req *req, kc_keepalive_res *out,
                              kc_error *error) {
    return lease->keepalive(lease, req, out, error);
}

KC_API int kc_lease_release(kc_lease *lease, const kc_release_req *req, kc_error *error) {
    return lease->release(lease, req, error);
}

KC_API int kc_lease_attach(kc_lease *lease, const kc_attach_req *req, kc_source *src, kc_attach_res *out,
                           kc_error *error) {
    return lease->attach(lease, req, src, out, error);
}

KC_API int kc_lease_list_attachments(kc_lease *lease, const kc_attachment_list_req *req, kc_attachment_list *out,
                                     kc_error *error) {
    return lease->list_attachments(lease, req, out, error);
}

KC_API int kc_lease_get_attachment(kc_lease *lease, const kc_attachment_get_req *req, kc_sink *dst,
                                   kc_attachment_get_res *out, kc_error *error) {
    return lease->get_attachment(lease, req, dst, out, error);
}

KC_API int kc_lease_delete_attachment(kc_lease *lease, const kc_attachment_selector *selector, int *deleted,
                                      kc_error *error) {
    return lease->delete_attachment(lease, selector, deleted, error);
}

KC_API int kc_lease_delete_all_attachments(kc_lease *lease, int *deleted_count, kc_error *error) {
    return lease->delete_all_attachments(lease, deleted_count, error);
}

KC_API void kc_lease_close(kc_lease *lease) {
    if (lease && lease->close) lease->close(lease);
}

KC_API int kc_lease_from_ref(kc_client *client, const kc_lease_ref *ref, kc_lease **out, kc_error *error) {
    if (!client || !ref || !out || !ref->key || !*ref->key || !ref->lease_id || !*ref->lease_id)
        return kc_error_set(error, KC_ERR_INVALID, 0, "lease_from_ref requires client, key, lease_id, and out",
                            nullptr, nullptr, nullptr);
    // Version 0: nothing is known of the state, so no expected version is sent until a call refreshes it.
    kc_lease *lease = korvo::api::kc_lease_new(client, ref->namespace_, ref->key, nullptr, ref->lease_id,
                                               ref->txn_id, ref->fencing_token, 0, nullptr, nullptr);
    if (!lease)
        return kc_error_set(error, KC_ERR_NOMEM, 0, "failed to allocate lease", nullptr, nullptr, nullptr);
    *out = lease;
    return KC_OK;
}

} // extern "C"
