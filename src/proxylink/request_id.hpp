// The ids of requests and of messaging contexts: `uuid.uuid4().hex`.
#pragma once
#include "core/ref.hpp"

namespace proxylink::request_ids {

// Records the uuid module and the parts of it that uuid4() uses, as set-up
// imported them (after the module global `uuid` is bound).
void init();

// `uuid.uuid4().hex`, reading the module global `uuid` now. While uuid4() is
// still the standard library's own (the same module, uuid4, UUID and its
// __init__ and hex, and os.urandom), the id is made here from os.urandom(16)
// as uuid4() makes it; anything replaced is called as it stands.
orv::Ref make();

}  // namespace proxylink::request_ids
