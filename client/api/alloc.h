// Allocation through a client's allocator, for the handle code of client/api.
#ifndef KORVOC_API_ALLOC_H
#define KORVOC_API_ALLOC_H

#include "korvoc.h"

namespace korvo::api {

// The allocator a client was opened with; NULL (the system allocator) for a NULL client.
const kc_allocator *client_allocator(const kc_client *client);

} // namespace korvo::api

#endif
