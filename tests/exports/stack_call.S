// void call_with_stack_words(const void *function, const uint32_t *words,
//                            int32_t count, stack_call_outcome *outcome)
// See stack_call.h. 32-bit x86, System V: ebx, esi, edi and ebp belong to
// the caller; esi keeps esp at the call and ebp the frame, so a callee that
// pops the wrong amount is measured, not fatal.
        .text
        .globl  call_with_stack_words
        .type   call_with_stack_words, @function
call_with_stack_words:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi

        // x87 stack top before the call (status word bits 11-13).
        fnstsw  %ax
        movzwl  %ax, %edi
        shrl    $11, %edi
        andl    $7, %edi

        movl    12(%ebp), %edx          // words
        movl    16(%ebp), %ecx          // count
        // Align so that esp is a multiple of 16 once the words are pushed.
        andl    $-16, %esp
        leal    0(,%ecx,4), %eax
        negl    %eax
        andl    $15, %eax
        subl    %eax, %esp
1:      testl   %ecx, %ecx
        jz      2f
        decl    %ecx
        pushl   (%edx,%ecx,4)
        jmp     1b
2:      movl    %esp, %esi
        movl    $0x5eb1c0de, %ebx
        call    *8(%ebp)

        movl    20(%ebp), %edx          // outcome
        movl    %esp, %ecx
        subl    %esi, %ecx
        movl    %ecx, 0(%edx)           // bytes_removed
        movl    %eax, 8(%edx)           // eax
        xorl    %ecx, %ecx
        cmpl    $0x5eb1c0de, %ebx
        sete    %cl
        movl    %ecx, 20(%edx)          // ebx_kept

        fnstsw  %ax
        movzwl  %ax, %eax
        shrl    $11, %eax
        andl    $7, %eax
        subl    %eax, %edi              // a push decrements the top
        andl    $7, %edi
        movl    %edi, 4(%edx)           // x87_results
        movl    $0, 12(%edx)
        movl    $0, 16(%edx)
        testl   %edi, %edi
        jz      3f
        fstpl   12(%edx)                // st0, popped so the x87 stack stays balanced
3:
        leal    -12(%ebp), %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
        .size   call_with_stack_words, .-call_with_stack_words

        .section .note.GNU-stack,"",@progbits
