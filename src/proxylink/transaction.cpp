// OfficeJsTransaction: groups attribute writes into one batch on the add-in.
#include "core/pyclass.hpp"
#include "proxylink/classes.hpp"

namespace proxylink {

Ref make_transaction_class() {
  Ref bases = orv::own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  return orv::make_class({"OfficeJsTransaction", "orvane_master.python_server.orvane.proxylink",
                          "Transaction object to batch multiple set operations into a single request.", bases.get(),
                          {}, {}});
}

}  // namespace proxylink
