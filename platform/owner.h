// One owner for every handle kind and every paired cleanup. A kind is a
// traits type beside the port that hands the value out:
//   Port   the object whose operation closes it,
//   Value  the value held (kNone is "nothing held"),
//   Close  static Result Close(Port&, Value): the closer.
// A kind closed by one operation of its port is one alias over ClosedBy,
// e.g. `using UniqueKey = Owner<ClosedBy<&Registry::CloseKey>>;`; the few
// other cleanups write their traits out.
// Move-only; the same three operations everywhere:
//   get()      the value, still owned,
//   release()  the value, no longer owned (nothing closed),
//   reset()    closes the value now (if any) and answers the closer's result.
#pragma once

#include <type_traits>
#include <utility>

namespace talv {

template <class Traits>
class Owner {
 public:
  using Port = typename Traits::Port;
  using Value = typename Traits::Value;
  using Result = decltype(Traits::Close(std::declval<Port&>(), std::declval<Value>()));

  Owner() = default;
  Owner(Port& port, Value value) : port_(&port), value_(value) {}
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Owner(Owner&& o) noexcept : port_(o.port_), value_(o.release()) {}
  // Takes what `o` holds (nothing, when it is empty); what this held is closed.
  Owner& operator=(Owner&& o) noexcept {
    if (this != &o) {
      reset();
      port_ = o.port_;
      value_ = o.release();
    }
    return *this;
  }
  ~Owner() { reset(); }

  Value get() const { return value_; }
  Port* port() const { return port_; }
  explicit operator bool() const { return value_ != Traits::kNone; }
  // The value, no longer owned: nothing is closed.
  Value release() { return std::exchange(value_, Traits::kNone); }
  // Closes the value now; the closer's result (a zero result when none was held).
  Result reset() {
    Value v = release();
    if constexpr (std::is_void_v<Result>) {
      if (v != Traits::kNone && port_ != nullptr) Traits::Close(*port_, v);
    } else {
      if (v == Traits::kNone || port_ == nullptr) return Result{};
      return Traits::Close(*port_, v);
    }
  }
  // Closes the value held (if any), then owns `value` of `port`.
  void adopt(Port& port, Value value) {
    reset();
    port_ = &port;
    value_ = value;
  }

 private:
  Port* port_ = nullptr;
  Value value_ = Traits::kNone;
};

template <class Member>
struct MemberOf;
template <class P, class R, class V>
struct MemberOf<R (P::*)(V)> {
  using Port = P;
  using Value = V;
};
template <class P, class R, class V>
struct MemberOf<R (P::*)(V) noexcept> : MemberOf<R (P::*)(V)> {};

// The traits of a value closed by `Closer`, an operation of its port that
// takes the value (the empty value is the value type's zero).
template <auto Closer>
struct ClosedBy {
  using Port = typename MemberOf<decltype(Closer)>::Port;
  using Value = typename MemberOf<decltype(Closer)>::Value;
  static constexpr Value kNone{};
  static auto Close(Port& port, Value value) { return (port.*Closer)(value); }
};

// Calls `open(&value)`; when it answers success (0), the old value is closed
// and the new one owned, otherwise the owner keeps what it had. Answers the
// call's result.
template <class Traits, class Open>
auto OpenInto(Owner<Traits>& owner, typename Traits::Port& port, Open&& open) {
  typename Traits::Value value = Traits::kNone;
  auto r = open(&value);
  if (r == decltype(r){}) owner.adopt(port, value);
  return r;
}

}  // namespace talv
