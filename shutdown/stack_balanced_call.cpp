// The x86 thunk behind CallStackBalanced. Elsewhere this file is empty.
#include "shutdown/stack_balanced_call.h"

#if defined(__i386__)
// uint32_t talv_call_stack_balanced(const void* fn, const uint32_t* words,
//                                   uint32_t count), itself __cdecl.
//
// The thunk keeps its caller's stack pointer in EBP, which both conventions
// preserve across a call, copies the words into freshly reserved stack
// (aligned to 16 bytes, as GCC-built callees assume), calls, and then takes
// the stack pointer back from EBP instead of trusting the callee: a
// __stdcall callee has popped the words, a __cdecl one has not, and after
// the reload neither matters. EAX, the result in both conventions, is left
// alone. ESI and EDI carry the copy and are saved and restored around it.
asm(R"(
    .text
    .globl talv_call_stack_balanced
    .p2align 4
talv_call_stack_balanced:
    pushl %ebp
    movl  %esp, %ebp            # 4(%ebp): return address, 8: fn, 12: words, 16: count
    pushl %esi
    pushl %edi
    movl  16(%ebp), %ecx
    leal  0(,%ecx,4), %edx
    subl  %edx, %esp            # room for the words ...
    andl  $-16, %esp            # ... with the first of them on a 16-byte boundary
    movl  12(%ebp), %esi
    movl  %esp, %edi
    cld
    rep movsl                   # words[0] lands lowest, where both conventions read it
    call  *8(%ebp)
    leal  -8(%ebp), %esp        # the stack pointer as it was after the two pushes, whatever the callee popped
    popl  %edi
    popl  %esi
    popl  %ebp
    ret
)");
#endif
