// uuid4().hex without the Python-level UUID object: os.urandom(16) with the
// version-4 and RFC 4122 variant bits set, written as 32 lowercase hex digits.
// That object is most of what a request costs its channel.
#include "proxylink/request_id.hpp"

#include "proxylink/state.hpp"

#include <cstring>

namespace proxylink::request_ids {
namespace {

using orv::Immortal;

// What set-up found; each is compared by identity with what is there now.
struct Stock {
  Immortal uuid, uuid4, UUID, init, hex, os, urandom, sixteen;
};
Stock stock;

Immortal attr(PyObject* obj, const char* name) { return Immortal(orv::own(PyObject_GetAttrString(obj, name))); }

// Whether `obj.name` is `expected`; any error in the lookup means no.
bool still(PyObject* obj, PyObject* name, PyObject* expected) {
  PyObject* current = PyObject_GetAttr(obj, name);
  if (!current) {
    PyErr_Clear();
    return false;
  }
  bool same = current == expected;
  Py_DECREF(current);
  return same;
}

Ref hex_of_random_bytes() {
  Ref raw = orv::own(PyObject_CallOneArg(stock.urandom, stock.sixteen));
  if (!PyBytes_CheckExact(raw.get()) || PyBytes_GET_SIZE(raw.get()) != 16) return Ref();
  unsigned char bytes[16];
  std::memcpy(bytes, PyBytes_AS_STRING(raw.get()), 16);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  Ref text = orv::own(PyUnicode_New(32, 127));
  auto* out = static_cast<Py_UCS1*>(PyUnicode_DATA(text.get()));
  static constexpr char digits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<Py_UCS1>(digits[bytes[i] >> 4]);
    out[2 * i + 1] = static_cast<Py_UCS1>(digits[bytes[i] & 0x0f]);
  }
  return text;
}

}  // namespace

void init() {
  stock.uuid = Immortal(global(names.uuid));
  stock.uuid4 = attr(stock.uuid, "uuid4");
  stock.UUID = attr(stock.uuid, "UUID");
  stock.init = attr(stock.UUID, "__init__");
  stock.hex = attr(stock.UUID, "hex");
  stock.os = attr(stock.uuid, "os");
  stock.urandom = attr(stock.os, "urandom");
  stock.sixteen = Immortal(orv::own(PyLong_FromLong(16)));
}

Ref make() {
  Ref uuid = global(names.uuid);
  if (uuid.is(stock.uuid) && still(uuid.get(), names.uuid4, stock.uuid4) &&
      still(uuid.get(), names.UUID, stock.UUID) && still(stock.UUID, names.__init__, stock.init) &&
      still(stock.UUID, names.hex, stock.hex) && still(uuid.get(), names.os, stock.os) &&
      still(stock.os, names.urandom, stock.urandom)) {
    if (Ref id = hex_of_random_bytes()) return id;
  }
  Ref made = call_method(uuid.get(), names.uuid4);
  return getattr(made.get(), names.hex);
}

}  // namespace proxylink::request_ids
