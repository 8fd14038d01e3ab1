// The text isoformat() gives for a naive pandas Timestamp, written here.
#pragma once
#include "core/ref.hpp"

namespace proxylink::codec {

// `value.isoformat()` for an exact pandas Timestamp without tzinfo, when it is
// what datetime.isoformat() writes for the same fields: no nanoseconds, and a
// year that the datetime base holds (pandas keeps a stand-in year there for
// years datetime cannot hold). An empty Ref, and no error set, otherwise.
orv::Ref naive_timestamp_text(PyObject* value);

}  // namespace proxylink::codec
