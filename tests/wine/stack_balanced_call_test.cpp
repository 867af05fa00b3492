// Calls into a library of either calling convention. On x86 the thunk
// behind CallStackBalanced must leave the stack pointer exactly where it
// was, pass the words in order and return EAX, for __stdcall callees (which
// pop their arguments) and __cdecl ones (which do not). On x86-64 there is
// one convention and the call is direct.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "shutdown/stack_balanced_call.h"

namespace talv {
namespace {

using Word = std::uint32_t;

// What the last callee saw.
std::vector<Word> g_seen;

#if defined(__i386__)
#define TALV_TEST_STDCALL __attribute__((stdcall))
#define TALV_TEST_CDECL __attribute__((cdecl))
#else
#define TALV_TEST_STDCALL
#define TALV_TEST_CDECL
#endif

Word TALV_TEST_STDCALL Std0() { g_seen = {}; return 0xA0; }
Word TALV_TEST_STDCALL Std1(Word a) { g_seen = {a}; return a + 1; }
Word TALV_TEST_STDCALL Std5(Word a, Word b, Word c, Word d, Word e) {
  g_seen = {a, b, c, d, e};
  return a ^ b ^ c ^ d ^ e;
}
Word TALV_TEST_STDCALL Std7(Word a, Word b, Word c, Word d, Word e, Word f, Word g) {
  g_seen = {a, b, c, d, e, f, g};
  return a + b + c + d + e + f + g;
}
Word TALV_TEST_CDECL Cdecl0() { g_seen = {}; return 0xC0; }
Word TALV_TEST_CDECL Cdecl1(Word a) { g_seen = {a}; return a + 2; }
Word TALV_TEST_CDECL Cdecl5(Word a, Word b, Word c, Word d, Word e) {
  g_seen = {a, b, c, d, e};
  return a ^ b ^ c ^ d ^ e ^ 1;
}
Word TALV_TEST_CDECL Cdecl7(Word a, Word b, Word c, Word d, Word e, Word f, Word g) {
  g_seen = {a, b, c, d, e, f, g};
  return a + b + c + d + e + f + g + 1;
}
// A pointer argument and a pointer result, as the storage library's output
// parameters are.
Word* TALV_TEST_STDCALL StdPointer(Word* out, Word value) {
  *out = value;
  return out;
}

// The monitor holds the library's entry points as plain (__cdecl) function
// pointers, since their real convention is unknown; the __stdcall callees
// here are reached through such pointers too.
template <typename Fn>
auto Plain(Fn* fn) {
  return fn;
}
#if defined(__i386__)
auto Plain(Word(TALV_TEST_STDCALL* fn)()) { return reinterpret_cast<Word (*)()>(fn); }
auto Plain(Word(TALV_TEST_STDCALL* fn)(Word)) { return reinterpret_cast<Word (*)(Word)>(fn); }
auto Plain(Word(TALV_TEST_STDCALL* fn)(Word, Word, Word, Word, Word)) {
  return reinterpret_cast<Word (*)(Word, Word, Word, Word, Word)>(fn);
}
auto Plain(Word(TALV_TEST_STDCALL* fn)(Word, Word, Word, Word, Word, Word, Word)) {
  return reinterpret_cast<Word (*)(Word, Word, Word, Word, Word, Word, Word)>(fn);
}
auto Plain(Word*(TALV_TEST_STDCALL* fn)(Word*, Word)) { return reinterpret_cast<Word* (*)(Word*, Word)>(fn); }
#endif

TEST(StackBalancedCallTest, PassesEveryWordInOrderAndReturnsTheResultInBothConventions) {
  EXPECT_EQ(CallStackBalanced(Plain(Std0)), 0xA0u);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(CallStackBalanced(Cdecl0), 0xC0u);
  EXPECT_EQ(CallStackBalanced(Plain(Std1), 41u), 42u);
  EXPECT_EQ(g_seen, std::vector<Word>{41});
  EXPECT_EQ(CallStackBalanced(Cdecl1, 40u), 42u);
  EXPECT_EQ(CallStackBalanced(Plain(Std5), 1u, 2u, 4u, 8u, 16u), 31u);
  EXPECT_EQ(g_seen, (std::vector<Word>{1, 2, 4, 8, 16}));
  EXPECT_EQ(CallStackBalanced(Cdecl5, 1u, 2u, 4u, 8u, 16u), 30u);
  EXPECT_EQ(g_seen, (std::vector<Word>{1, 2, 4, 8, 16}));
  EXPECT_EQ(CallStackBalanced(Plain(Std7), 1u, 2u, 3u, 4u, 5u, 6u, 0xFFFFFFF0u), 5u);
  EXPECT_EQ(g_seen, (std::vector<Word>{1, 2, 3, 4, 5, 6, 0xFFFFFFF0u}));
  EXPECT_EQ(CallStackBalanced(Cdecl7, 7u, 6u, 5u, 4u, 3u, 2u, 1u), 29u);
  EXPECT_EQ(g_seen, (std::vector<Word>{7, 6, 5, 4, 3, 2, 1}));

  Word cell = 0;
  EXPECT_EQ(CallStackBalanced(Plain(StdPointer), &cell, 0xDEADBEEFu), &cell);
  EXPECT_EQ(cell, 0xDEADBEEFu);
}

TEST(StackBalancedCallTest, StaysCorrectOverManyCallsOfBothKinds) {
  // An unbalanced call moves the stack pointer by the argument bytes each
  // time; a hundred thousand of them would run off the stack or scramble
  // this frame's locals long before the loop ends.
  Word sum = 0;
  const Word canary = 0x5A5A1234;
  volatile Word guard = canary;
  for (Word i = 0; i < 100000; ++i) {
    sum += CallStackBalanced(Plain(Std5), i, 0u, 0u, 0u, 0u);
    sum -= CallStackBalanced(Cdecl5, i, 0u, 0u, 0u, 1u);
  }
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(guard, canary);
}

#if defined(__i386__)
// Probes written in assembly, so that the compiler's own handling of the
// stack cannot hide a drift: each calls `fn` with `count` words and returns
// the stack pointer after the call minus the one before (0 when balanced).
//   talv_test_drift_via_thunk: through the thunk;
//   talv_test_drift_as_cdecl:  directly, as a __cdecl caller would (pushes
//                              the words, calls, pops them itself).
extern "C" std::int32_t DriftViaThunk(const void* fn, const Word* words, Word count) asm("talv_test_drift_via_thunk");
extern "C" std::int32_t DriftAsCdecl(const void* fn, const Word* words, Word count) asm("talv_test_drift_as_cdecl");
asm(R"(
    .text
talv_test_drift_via_thunk:
    pushl %ebx
    movl  %esp, %ebx            # 8(%ebx): fn, 12: words, 16: count
    pushl 16(%ebx)
    pushl 12(%ebx)
    pushl 8(%ebx)
    call  talv_call_stack_balanced
    addl  $12, %esp
    movl  %esp, %eax
    subl  %ebx, %eax
    movl  %ebx, %esp
    popl  %ebx
    ret

talv_test_drift_as_cdecl:
    pushl %ebx
    pushl %esi
    movl  %esp, %ebx            # 12(%ebx): fn, 16: words, 20: count
    movl  20(%ebx), %ecx
    movl  16(%ebx), %esi
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)
    jmp   1b
2:  call  *12(%ebx)
    movl  20(%ebx), %ecx
    leal  (%esp,%ecx,4), %esp   # the caller's own pop of the words
    movl  %esp, %eax
    subl  %ebx, %eax
    movl  %ebx, %esp
    popl  %esi
    popl  %ebx
    ret
)");

TEST(StackBalancedCallTest, TheThunkLeavesTheStackPointerWhereItWasWhateverTheCalleePopped) {
  const Word words[7] = {1, 2, 3, 4, 5, 6, 7};
  struct Case {
    const void* fn;
    Word count;
    bool popsItsOwn;
  } cases[] = {
      {reinterpret_cast<const void*>(&Std0), 0, true},  {reinterpret_cast<const void*>(&Std1), 1, true},
      {reinterpret_cast<const void*>(&Std5), 5, true},  {reinterpret_cast<const void*>(&Std7), 7, true},
      {reinterpret_cast<const void*>(&Cdecl0), 0, false}, {reinterpret_cast<const void*>(&Cdecl1), 1, false},
      {reinterpret_cast<const void*>(&Cdecl5), 5, false}, {reinterpret_cast<const void*>(&Cdecl7), 7, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " words, " << (c.popsItsOwn ? "__stdcall" : "__cdecl"));
    EXPECT_EQ(DriftViaThunk(c.fn, words, c.count), 0);
    // The fault the thunk exists for: a __stdcall callee called as __cdecl
    // leaves the stack pointer four bytes per word too high.
    EXPECT_EQ(DriftAsCdecl(c.fn, words, c.count), c.popsItsOwn ? static_cast<std::int32_t>(4 * c.count) : 0);
  }
}
#endif

}  // namespace
}  // namespace talv
