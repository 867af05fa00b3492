// One owner for every handle kind and every paired cleanup. A kind is a
// traits type beside the port that hands the value out:
//   Port   the object whose operation closes it,
//   Value  the value held (kNone is "nothing held"),
//   Close  static Result Close(Port&, Value): the closer.
// Each kind is then one alias, e.g. `using UniqueKey = Owner<KeyTraits>;`.
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
