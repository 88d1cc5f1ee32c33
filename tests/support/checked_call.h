// Calls an export the way a host compiled for the C convention does, and in the 32-bit build
// checks what that convention promises the caller: the export (and every host callback it ran
// meanwhile) leaves the stack pointer where the call found it, since the caller removes the
// arguments, and keeps the callee-saved registers. A library that removed its own arguments, or
// called a host callback in another convention, breaks one of the two. The 64-bit build has one
// convention and passes arguments in registers: there the call is made plainly.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>

#if defined(__i386__)
extern "C" std::uint32_t StackCheckedCall(const void* function, const std::uint32_t* words, std::uint32_t count,
                                          std::int32_t* bytesRemoved, std::uint32_t* registersChanged);

// Pushes the words as C-convention arguments, calls, and measures. Callee-saved registers get
// known values before the call; registersChanged has bit 0 for EBX, 1 for ESI, 2 for EDI.
// clang-format off
// A COMDAT section: every test source may include this header, the linker keeps one copy.
asm(".section .text$StackCheckedCall,\"x\"\n"
    ".linkonce discard\n"
    ".globl _StackCheckedCall\n"
    "_StackCheckedCall:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  subl $8, %esp\n"              // -16(%ebp): stack pointer at the call, -20(%ebp): result
    "  movl 16(%ebp), %ecx\n"
    "  movl 12(%ebp), %edx\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  decl %ecx\n"
    "  pushl (%edx,%ecx,4)\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl %esp, -16(%ebp)\n"
    "  movl $0x5AB1E5B7, %ebx\n"
    "  movl $0x0D15EA5E, %esi\n"
    "  movl $0x7E57CA11, %edi\n"
    "  movl 8(%ebp), %eax\n"
    "  call *%eax\n"
    "  movl %eax, -20(%ebp)\n"
    "  xorl %edx, %edx\n"
    "  cmpl $0x5AB1E5B7, %ebx\n"
    "  je 3f\n"
    "  orl $1, %edx\n"
    "3:\n"
    "  cmpl $0x0D15EA5E, %esi\n"
    "  je 4f\n"
    "  orl $2, %edx\n"
    "4:\n"
    "  cmpl $0x7E57CA11, %edi\n"
    "  je 5f\n"
    "  orl $4, %edx\n"
    "5:\n"
    "  movl %esp, %ecx\n"
    "  subl -16(%ebp), %ecx\n"
    "  movl 20(%ebp), %eax\n"
    "  movl %ecx, (%eax)\n"
    "  movl 24(%ebp), %eax\n"
    "  movl %edx, (%eax)\n"
    "  movl -20(%ebp), %eax\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n"
    ".text\n");
// clang-format on

template <class T>
std::uint32_t AsArgumentWord(T value) {
    static_assert(sizeof(T) <= 4, "every argument of the exports is one 32-bit stack slot");
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? 1u : 0u;
    } else {
        return static_cast<std::uint32_t>(value);
    }
}
#endif

template <class F>
class CheckedExport;

// F is the export's pointer type with the default (C) convention; a header that declared the
// export otherwise would not match this specialisation and fail to compile here.
template <class R, class... A>
class CheckedExport<R (*)(A...)> {
public:
    using Pointer = R (*)(A...);
    CheckedExport(Pointer function, const char* name) : function_(function), name_(name) {}

    R operator()(A... arguments) const {
#if defined(__i386__)
        const std::uint32_t words[sizeof...(A) + 1] = {AsArgumentWord(arguments)...};
        std::int32_t removed = 0;
        std::uint32_t changed = 0;
        std::uint32_t result = StackCheckedCall(reinterpret_cast<const void*>(function_), words, sizeof...(A),
                                                &removed, &changed);
        EXPECT_EQ(0, removed) << name_ << " changed the caller's stack pointer by " << removed << " bytes";
        EXPECT_EQ(0u, changed) << name_ << " did not keep the callee-saved registers (mask " << changed << ")";
        if constexpr (std::is_void_v<R>) {
            (void)result;
        } else if constexpr (std::is_same_v<R, bool>) {
            return (result & 0xFFu) != 0;
        } else {
            return static_cast<R>(result);
        }
#else
        return function_(arguments...);
#endif
    }
    Pointer get() const { return function_; }

private:
    Pointer function_;
    const char* name_;
};
