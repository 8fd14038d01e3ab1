// The context stamp that a proxy operation checked, handed to the channel.
//
// An operation checks its proxy's stamp against the channel's, then builds its
// request and sends it. A reset in between would let a request of the old
// context reach the add-in of the new one (a commit of a batch that the add-in
// dropped, a handler registered for a callable the kernel forgot). So the
// operation also hands the stamp it checked to `send_request_sync`, on the same
// thread, and the channel checks it once more as it registers the waiter,
// under the lock that a reset holds while it renews the stamp: the request is
// then either stale, or registered before the reset and cancelled by it.
//
// The handover is thread-local and scoped: the channel takes it only for the
// channel the operation checked, and only once, so the requests that the send
// handler makes on its own are not checked against it.
#pragma once
#include "proxylink/state.hpp"

namespace proxylink {

// What a request from a proxy of an earlier context raises.
inline constexpr const char* kStale = "Excel Object used after messaging context was stopped";

class RequestStamp {
 public:
  // For the operation's scope: `channel` and `stamp` are borrowed, the
  // operation keeps both alive.
  RequestStamp(PyObject* channel, PyObject* stamp) : saved_(current_) { current_ = {channel, stamp}; }
  ~RequestStamp() { current_ = saved_; }
  RequestStamp(const RequestStamp&) = delete;
  RequestStamp& operator=(const RequestStamp&) = delete;

  // The stamp handed over for `channel` (owned), or an empty Ref; either way
  // the handover is used up.
  static Ref take(PyObject* channel) {
    Handover h = std::exchange(current_, Handover{nullptr, nullptr});
    return h.channel == channel ? Ref::borrow(h.stamp) : Ref();
  }

 private:
  struct Handover {
    PyObject* channel;
    PyObject* stamp;
  };
  Handover saved_;
  static inline thread_local Handover current_{nullptr, nullptr};
};

}  // namespace proxylink
