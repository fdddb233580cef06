#include "wire.h"

namespace korvo::devserver::wire {

namespace {

constexpr unsigned kOmitNull = VELLUM_FIELD_OMIT_NULL;

const vellum_field kAcquireBodyFields[] = {
    VELLUM_FIELD_STRING(AcquireBody, namespace_, "namespace", 0),
    VELLUM_FIELD_STRING(AcquireBody, key, "key", 0),
    VELLUM_FIELD_STRING(AcquireBody, owner, "owner", 0),
    VELLUM_FIELD_I64(AcquireBody, ttl_seconds, "ttl_seconds", 0),
    VELLUM_FIELD_I64(AcquireBody, block_seconds, "block_seconds", 0),
    VELLUM_FIELD_BOOL(AcquireBody, if_not_exists, "if_not_exists", 0),
    VELLUM_FIELD_STRING(AcquireBody, txn_id, "txn_id", 0),
};

const vellum_field kKeepaliveBodyFields[] = {
    VELLUM_FIELD_STRING(KeepaliveBody, namespace_, "namespace", 0),
    VELLUM_FIELD_STRING(KeepaliveBody, key, "key", 0),
    VELLUM_FIELD_STRING(KeepaliveBody, lease_id, "lease_id", 0),
    VELLUM_FIELD_I64(KeepaliveBody, ttl_seconds, "ttl_seconds", 0),
    VELLUM_FIELD_I64(KeepaliveBody, fencing_token, "fencing_token", 0),
    VELLUM_FIELD_STRING(KeepaliveBody, txn_id, "txn_id", 0),
};

const vellum_field kReleaseBodyFields[] = {
    VELLUM_FIELD_STRING(ReleaseBody, namespace_, "namespace", 0),
    VELLUM_FIELD_STRING(ReleaseBody, key, "key", 0),
    VELLUM_FIELD_STRING(ReleaseBody, lease_id, "lease_id", 0),
    VELLUM_FIELD_STRING(ReleaseBody, txn_id, "txn_id", 0),
    VELLUM_FIELD_BOOL(ReleaseBody, rollback, "rollback", 0),
    VELLUM_FIELD_I64(ReleaseBody, fencing_token, "fencing_token", 0),
};

const vellum_field kMetadataBodyFields[] = {
    VELLUM_FIELD_PRESENT(MetadataBody, query_hidden, "query_hidden", VELLUM_KIND_BOOL, has_query_hidden, 0),
};

const vellum_field kErrorBodyFields[] = {
    VELLUM_FIELD_STRING(ErrorBody, error, "error", 0),
    VELLUM_FIELD_STRING(ErrorBody, detail, "detail", kOmitNull),
    VELLUM_FIELD_STRING(ErrorBody, current_etag, "current_etag", kOmitNull),
    VELLUM_FIELD_PRESENT(ErrorBody, current_version, "current_version", VELLUM_KIND_I64, has_current_version, 0),
    VELLUM_FIELD_PRESENT(ErrorBody, retry_after_seconds, "retry_after_seconds", VELLUM_KIND_I64, has_retry_after, 0),
};

const vellum_field kAcquireResponseFields[] = {
    VELLUM_FIELD_STRING(AcquireResponse, namespace_, "namespace", 0),
    VELLUM_FIELD_STRING(AcquireResponse, key, "key", 0),
    VELLUM_FIELD_STRING(AcquireResponse, owner, "owner", 0),
    VELLUM_FIELD_STRING(AcquireResponse, lease_id, "lease_id", 0),
    VELLUM_FIELD_STRING(AcquireResponse, txn_id, "txn_id", 0),
    VELLUM_FIELD_I64(AcquireResponse, expires_at_unix, "expires_at_unix", 0),
    VELLUM_FIELD_I64(AcquireResponse, version, "version", 0),
    VELLUM_FIELD_STRING(AcquireResponse, state_etag, "state_etag", 0),
    VELLUM_FIELD_I64(AcquireResponse, fencing_token, "fencing_token", 0),
};

const vellum_field kKeepaliveResponseFields[] = {
    VELLUM_FIELD_I64(KeepaliveResponse, expires_at_unix, "expires_at_unix", 0),
    VELLUM_FIELD_I64(KeepaliveResponse, version, "version", 0),
    VELLUM_FIELD_STRING(KeepaliveResponse, state_etag, "state_etag", 0),
};

const vellum_field kReleaseResponseFields[] = {
    VELLUM_FIELD_BOOL(ReleaseResponse, released, "released", 0),
};

const vellum_field kUpdateResponseFields[] = {
    VELLUM_FIELD_I64(UpdateResponse, new_version, "new_version", 0),
    VELLUM_FIELD_STRING(UpdateResponse, new_state_etag, "new_state_etag", 0),
    VELLUM_FIELD_I64(UpdateResponse, bytes, "bytes", 0),
};

const vellum_field kMetadataFields[] = {
    VELLUM_FIELD_BOOL(Metadata, query_hidden, "query_hidden", 0),
};
const vellum_map kMetadataMap = VELLUM_MAP(Metadata, kMetadataFields);

const vellum_field kMetadataResponseFields[] = {
    VELLUM_FIELD_STRING(MetadataResponse, namespace_, "namespace", 0),
    VELLUM_FIELD_STRING(MetadataResponse, key, "key", 0),
    VELLUM_FIELD_I64(MetadataResponse, version, "version", 0),
    VELLUM_FIELD_OBJECT(MetadataResponse, metadata, "metadata", &kMetadataMap, 0),
};

const vellum_field kRemoveResponseFields[] = {
    VELLUM_FIELD_BOOL(RemoveResponse, removed, "removed", 0),
    VELLUM_FIELD_I64(RemoveResponse, new_version, "new_version", 0),
};

const vellum_field kDescribeResponseFields[] = {
    VELLUM_FIELD_STRING(DescribeResponse, namespace_, "namespace", 0),
    VELLUM_FIELD_STRING(DescribeResponse, key, "key", 0),
    VELLUM_FIELD_STRING(DescribeResponse, owner, "owner", kOmitNull),
    VELLUM_FIELD_STRING(DescribeResponse, lease_id, "lease_id", kOmitNull),
    VELLUM_FIELD_I64(DescribeResponse, expires_at_unix, "expires_at_unix", 0),
    VELLUM_FIELD_I64(DescribeResponse, version, "version", 0),
    VELLUM_FIELD_STRING(DescribeResponse, state_etag, "state_etag", 0),
    VELLUM_FIELD_I64(DescribeResponse, updated_at_unix, "updated_at_unix", 0),
    VELLUM_FIELD_OBJECT(DescribeResponse, metadata, "metadata", &kMetadataMap, 0),
};

const vellum_field kAttachmentInfoFields[] = {
    VELLUM_FIELD_STRING(AttachmentInfo, id, "id", 0),
    VELLUM_FIELD_STRING(AttachmentInfo, name, "name", 0),
    VELLUM_FIELD_I64(AttachmentInfo, size, "size", 0),
    VELLUM_FIELD_STRING(AttachmentInfo, plaintext_sha256, "plaintext_sha256", 0),
    VELLUM_FIELD_STRING(AttachmentInfo, content_type, "content_type", 0),
    VELLUM_FIELD_I64(AttachmentInfo, created_at_unix, "created_at_unix", 0),
    VELLUM_FIELD_I64(AttachmentInfo, updated_at_unix, "updated_at_unix", 0),
};

const vellum_field kAttachResponseFields[] = {
    VELLUM_FIELD_OBJECT(AttachResponse, attachment, "attachment", &kAttachmentInfoMap, 0),
    VELLUM_FIELD_BOOL(AttachResponse, noop, "noop", 0),
    VELLUM_FIELD_I64(AttachResponse, version, "version", 0),
};

const vellum_field kListAttachmentsResponseFields[] = {
    VELLUM_FIELD_STRING(ListAttachmentsResponse, namespace_, "namespace", 0),
    VELLUM_FIELD_STRING(ListAttachmentsResponse, key, "key", 0),
    VELLUM_FIELD_OBJECT_ARRAY(ListAttachmentsResponse, attachments, "attachments", AttachmentInfo,
                              &kAttachmentInfoMap, 0),
};

const vellum_field kDeleteAttachmentResponseFields[] = {
    VELLUM_FIELD_BOOL(DeleteAttachmentResponse, deleted, "deleted", 0),
    VELLUM_FIELD_I64(DeleteAttachmentResponse, version, "version", 0),
};

const vellum_field kDeleteAllAttachmentsResponseFields[] = {
    VELLUM_FIELD_I64(DeleteAllAttachmentsResponse, deleted, "deleted", 0),
    VELLUM_FIELD_I64(DeleteAllAttachmentsResponse, version, "version", 0),
};

const vellum_field kServerStatusFields[] = {
    VELLUM_FIELD_BOOL(ServerStatus, passive, "passive", 0),
};

} // namespace

const vellum_map kAcquireBodyMap = VELLUM_MAP(AcquireBody, kAcquireBodyFields);
const vellum_map kKeepaliveBodyMap = VELLUM_MAP(KeepaliveBody, kKeepaliveBodyFields);
const vellum_map kReleaseBodyMap = VELLUM_MAP(ReleaseBody, kReleaseBodyFields);
const vellum_map kMetadataBodyMap = VELLUM_MAP(MetadataBody, kMetadataBodyFields);
const vellum_map kErrorBodyMap = VELLUM_MAP(ErrorBody, kErrorBodyFields);
const vellum_map kAcquireResponseMap = VELLUM_MAP(AcquireResponse, kAcquireResponseFields);
const vellum_map kKeepaliveResponseMap = VELLUM_MAP(KeepaliveResponse, kKeepaliveResponseFields);
const vellum_map kReleaseResponseMap = VELLUM_MAP(ReleaseResponse, kReleaseResponseFields);
const vellum_map kUpdateResponseMap = VELLUM_MAP(UpdateResponse, kUpdateResponseFields);
const vellum_map kMetadataResponseMap = VELLUM_MAP(MetadataResponse, kMetadataResponseFields);
const vellum_map kRemoveResponseMap = VELLUM_MAP(RemoveResponse, kRemoveResponseFields);
const vellum_map kDescribeResponseMap = VELLUM_MAP(DescribeResponse, kDescribeResponseFields);
const vellum_map kAttachmentInfoMap = VELLUM_MAP(AttachmentInfo, kAttachmentInfoFields);
const vellum_map kAttachResponseMap = VELLUM_MAP(AttachResponse, kAttachResponseFields);
const vellum_map kListAttachmentsResponseMap = VELLUM_MAP(ListAttachmentsResponse, kListAttachmentsResponseFields);
const vellum_map kDeleteAttachmentResponseMap = VELLUM_MAP(DeleteAttachmentResponse, kDeleteAttachmentResponseFields);
const vellum_map kDeleteAllAttachmentsResponseMap =
    VELLUM_MAP(DeleteAllAttachmentsResponse, kDeleteAllAttachmentsResponseFields);
const vellum_map kServerStatusMap = VELLUM_MAP(ServerStatus, kServerStatusFields);

std::string to_json(const vellum_map &map, const void *record) {
    vellum_owned_buffer buffer = vellum_default_owned_buffer();
    vellum_write_options options = vellum_default_write_options();
    options.max_output_bytes = 64u * 1024 * 1024;
    if (vellum_serialize_owned(&map, record, &buffer, &options, nullptr) != VELLUM_STATUS_OK)
        return "{\"error\":\"internal_error\"}";
    std::string text(buffer.data ? buffer.data : "", buffer.length);
    vellum_owned_buffer_free(&buffer);
    return text;
}

bool from_json(const vellum_map &map, void *record, std::string_view body, std::string &message) {
    vellum_error error;
    vellum_parse_options options = vellum_default_parse_options();
    vellum_status status = vellum_parse_buffer(&map, record, body.data(), body.size(), &options, &error);
    if (status == VELLUM_STATUS_OK) return true;
    message = error.message[0] ? error.message : vellum_status_string(status);
    return false;
}

} // namespace korvo::devserver::wire
