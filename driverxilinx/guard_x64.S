// RunGuarded(Routine, Context) for the Windows x64 kernel: calls Routine
// with Context inside a scope that __C_specific_handler guards with the
// filter constant EXCEPTION_EXECUTE_HANDLER (1). Returns FALSE when Routine
// returns, TRUE when an exception unwinds to the handler.
//
// The scope record is image-relative: begin, end, filter, target. The
// return address of the guarded call must lie inside [begin, end), hence
// the nop after the call.
    .text
    .globl RunGuarded
    .def RunGuarded; .scl 2; .type 32; .endef
    .seh_proc RunGuarded
RunGuarded:
    .seh_handler __C_specific_handler, @except
    subq $40, %rsp              // shadow space, and 16-byte alignment at the call
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax             // Routine
    movq %rdx, %rcx             // Context, Routine's first argument
.Lguard_begin:
    call *%rax
    nop
.Lguard_end:
    xorl %eax, %eax             // no exception
    addq $40, %rsp
    ret
.Lguard_handler:
    movl $1, %eax               // an exception was raised
    addq $40, %rsp
    ret
    .seh_handlerdata
    .long 1                     // one scope record
    .rva .Lguard_begin
    .rva .Lguard_end
    .long 1                     // EXCEPTION_EXECUTE_HANDLER
    .rva .Lguard_handler
    .text
    .seh_endproc
