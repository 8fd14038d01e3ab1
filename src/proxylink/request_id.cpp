// uuid4().hex without the Python-level UUID object: os.urandom(16) with the
// version-4 and RFC 4122 variant bits set, written as 32 lowercase hex digits.
// That object is most of what a request costs its channel.
#include "proxylink/request_id.hpp"

#include "proxylink/state.hpp"

#include <cstring>

namespace proxylink::request_ids {
namespace {

using orv::Immortal;

// What set-up found in the uuid module (owned.uuid); each is compared by
// identity with what is there now.
struct Stock {
  Immortal uuid4, UUID, init, hex, os, urandom, sixteen;
};
Stock stock;

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
  if (!PyBytes_CheckExact(raw.get()) || PyBytes_GET_SIZE(raw.get()) != 16) {
    orv::raise(PyExc_SystemError, "os.urandom(16) did not return 16 bytes");
  }
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

// uuid4() as it stands, through Python.
Ref hex_of_uuid4(PyObject* uuid) {
  Ref made = call_method(uuid, names.uuid4);
  return getattr(made.get(), names.hex);
}

}  // namespace

void init() {
  owned.uuid.own = Immortal(global(names.uuid));
  PyObject* uuid = owned.uuid.own;
  stock.uuid4 = keep_attr(uuid, "uuid4");
  stock.UUID = keep_attr(uuid, "UUID");
  stock.init = keep_attr(stock.UUID, "__init__");
  stock.hex = keep_attr(stock.UUID, "hex");
  stock.os = keep_attr(uuid, "os");
  stock.urandom = keep_attr(stock.os, "urandom");
  stock.sixteen = Immortal(orv::own(PyLong_FromLong(16)));
}

Ref make() {
  return if_own(
      owned.uuid,
      [] {
        PyObject* uuid = owned.uuid.own;
        bool stock_uuid4 = still(uuid, names.uuid4, stock.uuid4) && still(uuid, names.UUID, stock.UUID) &&
                           still(stock.UUID, names.__init__, stock.init) && still(stock.UUID, names.hex, stock.hex) &&
                           still(uuid, names.os, stock.os) && still(stock.os, names.urandom, stock.urandom);
        return stock_uuid4 ? hex_of_random_bytes() : hex_of_uuid4(uuid);
      },
      [](PyObject* replaced) { return hex_of_uuid4(replaced); });
}

}  // namespace proxylink::request_ids
