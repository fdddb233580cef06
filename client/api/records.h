// Copies of engine responses into the public result records (system allocator, as the
// result cleanups expect). Each returns false when a string could not be copied; the
// output is then cleaned, so a failed copy leaves nothing to free.
#ifndef KORVOC_API_RECORDS_H
#define KORVOC_API_RECORDS_H

#include "korvoc.h"
#include "korvoc_engine.h"

namespace korvo::api {

bool copy_describe_result(kc_describe_res *out, const kc_engine_describe_response *in);
bool copy_get_result(kc_get_res *out, const kc_engine_get_stream_response *in);
bool copy_update_result(kc_update_res *out, const kc_engine_update_response *in);
bool copy_mutate_result(kc_mutate_res *out, const kc_engine_update_response *in);
bool copy_metadata_result(kc_metadata_res *out, const kc_engine_metadata_response *in);
bool copy_remove_result(kc_remove_res *out, const kc_engine_remove_response *in);
bool copy_keepalive_result(kc_keepalive_res *out, const kc_engine_keepalive_response *in);
bool copy_release_result(kc_release_res *out, const kc_engine_release_response *in);
bool copy_attach_result(kc_attach_res *out, const kc_engine_attach_response *in);
bool copy_attachment_list(kc_attachment_list *out, const kc_engine_list_attachments_response *in);
bool copy_attachment_get_result(kc_attachment_get_res *out, const kc_engine_get_attachment_response *in);

} // namespace korvo::api

#endif
