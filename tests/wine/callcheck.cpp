// callChecked(fn, count, args, espMoved): calls fn with `count` 32-bit
// arguments pushed right to left and stores how far the stack pointer moved
// across the call (0: the callee removed them).  ESI (callee-saved) keeps
// the stack pointer from before the arguments were pushed.

asm(".text\n"
    ".globl _callChecked\n"
    ".def _callChecked; .scl 2; .type 32; .endef\n"
    "_callChecked:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl %ebx\n"
    "    movl 12(%ebp), %ecx\n" // count
    "    movl 16(%ebp), %edx\n" // args
    "    movl %esp, %esi\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%edx,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  call *8(%ebp)\n"
    "    movl %esp, %ecx\n"
    "    subl %esi, %ecx\n"
    "    movl 20(%ebp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    movl %esi, %esp\n"
    "    popl %ebx\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebp\n"
    "    ret\n");
