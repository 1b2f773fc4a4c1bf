// The common half of the thunks that a PE image's imports are bound to.
// Each import's own thunk (ldr/imports.cpp) loads the routine into R11 and
// the image into R10 and jumps here, with the stack as the image's call
// left it: the return address on top, then the shadow space and any
// stack arguments.
//
// Here the return address is taken off the stack and kept, with the image,
// the stack pointer and the callee-saved registers, as the innermost entry
// of this thread's boundary stack (wdmsim_import_boundaries, see
// ldr/imports.h); the routine is called in its place, so that it finds its
// arguments exactly where the image put them; and on the way back the entry
// is dropped and the image's return address put back. The routine thus
// knows which image called it, and from where, even when the image reached
// it with a tail call.
//
// Only RAX, R10, R11, XMM4 and XMM5 are free on entry under the Windows x64
// convention (RCX, RDX, R8, R9 and XMM0-3 carry arguments); on the way back
// everything volatile but RAX (the result) is free.
    .set kEntryBytes, 96        // sizeof(ImportBoundary)
    .set kMaxDepth, 64          // ImportBoundaryStack::kMaxDepth

    .text
    .globl wdmsim_import_thunk
    .hidden wdmsim_import_thunk
    .type wdmsim_import_thunk, @function
// The unwind information lets a C++ exception thrown by the routine (a bug
// check) reach this frame and no further: the frames below are the image's,
// which have only Windows unwind data. wdmsim_thunk_personality stops the
// search here and lands on .Lunwound, which hands the exception to the
// wdmsim frame that called into the image (ldr/imports.cpp).
wdmsim_import_thunk:
    .cfi_startproc
    .cfi_personality 0x1b, wdmsim_thunk_personality
    movq %r10, %xmm4                            // the image
    popq %r10                                   // the image's return address
    .cfi_adjust_cfa_offset -8
    movq %r10, %xmm5
    movq wdmsim_import_boundaries@gottpoff(%rip), %rax
    addq %fs:0, %rax                            // this thread's boundary stack
    movq (%rax), %r10                           // depth
    cmpq $kMaxDepth, %r10
    jae .Ltoo_deep
    incq (%rax)
    imulq $kEntryBytes, %r10
    leaq 8(%rax,%r10), %r10                     // the new entry
    movq %xmm5, 0(%r10)                         // returnAddress
    movq %xmm4, 8(%r10)                         // image
    movq %rsp, 16(%r10)                         // stack pointer, as at the image's call + 8
    movq %rbx, 24(%r10)
    movq %rbp, 32(%r10)
    movq %rdi, 40(%r10)
    movq %rsi, 48(%r10)
    movq %r12, 56(%r10)
    movq %r13, 64(%r10)
    movq %r14, 72(%r10)
    movq %r15, 80(%r10)
    call *%r11
    .globl wdmsim_import_thunk_return
    .hidden wdmsim_import_thunk_return
wdmsim_import_thunk_return:
    movq wdmsim_import_boundaries@gottpoff(%rip), %r11
    addq %fs:0, %r11
    decq (%r11)
    movq (%r11), %r10
    imulq $kEntryBytes, %r10
    pushq 8(%r11,%r10)                          // the image's return address
    .cfi_adjust_cfa_offset 8
    ret
.Ltoo_deep:
    ud2
    .globl wdmsim_import_thunk_landing
    .hidden wdmsim_import_thunk_landing
wdmsim_import_thunk_landing:                    // RAX: the exception
    movq %rax, %rdi
    call wdmsim_import_unwound                  // does not return
    ud2
    .cfi_endproc
    .size wdmsim_import_thunk, .-wdmsim_import_thunk

// wdmsim_resume_context(registers, rip): resumes a PE image at an
// exception handler (ldr/seh.cpp) with the 16 general registers given in
// x86 order, RSP among them. Does not return.
    .globl wdmsim_resume_context
    .hidden wdmsim_resume_context
    .type wdmsim_resume_context, @function
wdmsim_resume_context:
    movq 32(%rdi), %rsp
    pushq %rsi                                  // the handler, for the ret below
    movq 0(%rdi), %rax
    movq 8(%rdi), %rcx
    movq 16(%rdi), %rdx
    movq 24(%rdi), %rbx
    movq 40(%rdi), %rbp
    movq 48(%rdi), %rsi
    movq 64(%rdi), %r8
    movq 72(%rdi), %r9
    movq 80(%rdi), %r10
    movq 88(%rdi), %r11
    movq 96(%rdi), %r12
    movq 104(%rdi), %r13
    movq 112(%rdi), %r14
    movq 120(%rdi), %r15
    movq 56(%rdi), %rdi
    ret
    .size wdmsim_resume_context, .-wdmsim_resume_context

    .section .note.GNU-stack,"",@progbits
