// Raw JSON values: records that hold any JSON value without a map.
#include "core.h"

using namespace vellum::detail;

extern "C" {

VELLUM_API void vellum_json_value_init_with_allocator(vellum_json_value *value, const vellum_allocator *allocator) {
    if (!value) return;
    std::memset(value, 0, sizeof *value);
    value->fd = -1;
    value->limits = vellum_default_value_limits();
    value->allocator = resolve_allocator(allocator_is_partial(allocator) ? nullptr : allocator);
    value->tag = address_tag(value, kJsonValueTagConstant);
}

VELLUM_API void vellum_json_value_init(vellum_json_value *value) { vellum_json_value_init_with_allocator(value, nullptr); }

VELLUM_API void vellum_json_value_cleanup(vellum_json_value *value) {
    if (!value) return;
    vellum_allocator allocator = value->allocator;
    block_free(value->data);
    block_free(value->path);
    vellum_json_value_init_with_allocator(value, &allocator);
}

VELLUM_API void vellum_json_value_reset(vellum_json_value *value) { vellum_json_value_cleanup(value); }

}  // extern "C"
