// JSON request and response bodies of the server's endpoints, as vellum records and maps,
// and the two helpers that move them between records and text.
#ifndef KORVO_DEVSERVER_WIRE_H
#define KORVO_DEVSERVER_WIRE_H

#include "vellum.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace korvo::devserver::wire {

// ---- request bodies (parsed; strings owned by the record until vellum_cleanup) ----

struct AcquireBody {
    char *namespace_;
    char *key;
    char *owner;
    int64_t ttl_seconds;
    int64_t block_seconds;
    int32_t if_not_exists;
    char *txn_id;
};
extern const vellum_map kAcquireBodyMap;

struct KeepaliveBody {
    char *namespace_;
    char *key;
    char *lease_id;
    int64_t ttl_seconds;
    int64_t fencing_token;
    char *txn_id;
};
extern const vellum_map kKeepaliveBodyMap;

struct ReleaseBody {
    char *namespace_;
    char *key;
    char *lease_id;
    char *txn_id;
    int32_t rollback;
    int64_t fencing_token;
};
extern const vellum_map kReleaseBodyMap;

struct MetadataBody {
    int32_t query_hidden;
    int32_t has_query_hidden; // presence word
};
extern const vellum_map kMetadataBodyMap;

// ---- response bodies (serialized; strings borrowed from the caller's std::strings) ----

struct ErrorBody {
    const char *error;
    const char *detail;      // omitted when null
    const char *current_etag; // omitted when null
    int64_t current_version;
    int32_t has_current_version;
    int64_t retry_after_seconds;
    int32_t has_retry_after;
};
extern const vellum_map kErrorBodyMap;

struct AcquireResponse {
    const char *namespace_;
    const char *key;
    const char *owner;
    const char *lease_id;
    const char *txn_id;
    int64_t expires_at_unix;
    int64_t version;
    const char *state_etag;
    int64_t fencing_token;
};
extern const vellum_map kAcquireResponseMap;

struct KeepaliveResponse {
    int64_t expires_at_unix;
    int64_t version;
    const char *state_etag;
};
extern const vellum_map kKeepaliveResponseMap;

struct ReleaseResponse {
    int32_t released;
};
extern const vellum_map kReleaseResponseMap;

struct UpdateResponse {
    int64_t new_version;
    const char *new_state_etag;
    int64_t bytes;
};
extern const vellum_map kUpdateResponseMap;

struct Metadata {
    int32_t query_hidden;
};

struct MetadataResponse {
    const char *namespace_;
    const char *key;
    int64_t version;
    Metadata metadata;
};
extern const vellum_map kMetadataResponseMap;

struct RemoveResponse {
    int32_t removed;
    int64_t new_version;
};
extern const vellum_map kRemoveResponseMap;

struct DescribeResponse {
    const char *namespace_;
    const char *key;
    const char *owner;    // omitted when null (no live lease)
    const char *lease_id; // omitted when null
    int64_t expires_at_unix;
    int64_t version;
    const char *state_etag;
    int64_t updated_at_unix;
    Metadata metadata;
};
extern const vellum_map kDescribeResponseMap;

struct AttachmentInfo {
    const char *id;
    const char *name;
    int64_t size;
    const char *plaintext_sha256;
    const char *content_type;
    int64_t created_at_unix;
    int64_t updated_at_unix;
};
extern const vellum_map kAttachmentInfoMap;

struct AttachResponse {
    AttachmentInfo attachment;
    int32_t noop;
    int64_t version;
};
extern const vellum_map kAttachResponseMap;

struct ListAttachmentsResponse {
    const char *namespace_;
    const char *key;
    vellum_object_array attachments; // items point at the caller's AttachmentInfo array
};
extern const vellum_map kListAttachmentsResponseMap;

struct DeleteAttachmentResponse {
    int32_t deleted;
    int64_t version;
};
extern const vellum_map kDeleteAttachmentResponseMap;

struct DeleteAllAttachmentsResponse {
    int64_t deleted;
    int64_t version;
};
extern const vellum_map kDeleteAllAttachmentsResponseMap;

struct ServerStatus {
    int32_t passive;
};
extern const vellum_map kServerStatusMap;

// Compact JSON of record; the server's own records always serialize, so a failure is a bug
// and yields {"error":"internal_error"}.
std::string to_json(const vellum_map &map, const void *record);

// Parses body into a zeroed record. On failure returns false with the library's message.
bool from_json(const vellum_map &map, void *record, std::string_view body, std::string &message);

} // namespace korvo::devserver::wire

#endif
