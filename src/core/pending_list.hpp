// PendingList: a list whose slots are filled while Python code may run.
//
// PyList_New(n) gives n empty slots, and the collector lists the new list at
// once. Filling a slot may call a user hook, allocate (and so collect and run
// finalisers): any of them may walk gc.get_objects() and read the empty
// slots. A PendingList stays off the collector's lists until finish(), which
// costs nothing per element. Dropped unfinished (an exception), it is freed
// untracked; the deallocation skips empty slots.
//
// Untracked, the list is not traversed: what it holds counts as referenced
// from outside, so nothing it holds is collected meanwhile.
#pragma once
#include "core/error.hpp"

#include <utility>

namespace orv {

class PendingList {
 public:
  explicit PendingList(Py_ssize_t size) : list_(own(PyList_New(size))) { PyObject_GC_UnTrack(list_.get()); }

  PyObject* get() const noexcept { return list_.get(); }
  // Fills empty slot `i` (a slot is filled once).
  void set(Py_ssize_t i, Ref item) noexcept { PyList_SET_ITEM(list_.get(), i, item.release()); }
  // The list with every slot filled, listed by the collector again.
  Ref finish() noexcept {
    PyObject_GC_Track(list_.get());
    return std::move(list_);
  }

 private:
  Ref list_;
};

}  // namespace orv
