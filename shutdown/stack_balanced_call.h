// Calls into a library whose calling convention nobody documented.
//
// zvapi.dll's two entry points are plain functions of 32-bit words on x86,
// but storage vendors built them either as __stdcall (the callee pops its
// arguments) or as __cdecl (the caller pops them). Called through a pointer
// of the wrong kind, every call leaves the stack pointer 20 bytes off, and a
// few lookups later the monitor returns into garbage. So on x86 the call
// goes through a small thunk that sets the stack pointer back itself,
// whatever the callee did with it. On x86-64 there is one convention, and
// the call is direct.
#pragma once

#include <bit>
#include <cstdint>

namespace talv {

#if defined(__i386__)
// Pushes `count` 32-bit words (words[0] lowest, as both conventions expect
// them), calls `fn`, restores the stack pointer from the thunk's own frame
// and returns EAX. Written in assembly in stack_balanced_call.cpp.
extern "C" std::uint32_t TalvCallStackBalanced(const void* fn, const std::uint32_t* words,
                                               std::uint32_t count) asm("talv_call_stack_balanced");
#endif

// Calls `fn(args...)` so that the stack is balanced afterwards whether `fn`
// pops its own arguments or not; every parameter and the result must be a
// 32-bit word on x86 (numbers and pointers).
template <typename R, typename... P, typename... A>
R CallStackBalanced(R (*fn)(P...), A... args) {
  static_assert(sizeof...(P) == sizeof...(A), "one argument per parameter");
#if defined(__i386__)
  static_assert(sizeof(R) == 4 && ((sizeof(P) == 4) && ...), "only 32-bit words cross the thunk");
  const std::uint32_t words[sizeof...(P) > 0 ? sizeof...(P) : 1] = {
      std::bit_cast<std::uint32_t>(static_cast<P>(args))...};
  return std::bit_cast<R>(
      TalvCallStackBalanced(reinterpret_cast<const void*>(fn), words, sizeof...(P)));
#else
  return fn(static_cast<P>(args)...);
#endif
}

}  // namespace talv
