// Calls a function with raw stack words and watches what a C++ call cannot
// show: how many argument bytes the function removed from the stack itself,
// and whether it left its result on the x87 stack (a double) or in eax.
#pragma once

#include <cstddef>
#include <cstdint>

struct stack_call_outcome {
    int32_t bytes_removed;    // 0 for a caller-cleans function
    int32_t x87_results;      // values left on the x87 stack: 1 for a double
    uint32_t eax;             // an integer or address result
    double st0;               // the double result, when x87_results is 1
    int32_t ebx_kept;         // 1 when the callee-saved ebx survived the call
};
static_assert(offsetof(stack_call_outcome, x87_results) == 4);
static_assert(offsetof(stack_call_outcome, eax) == 8);
static_assert(offsetof(stack_call_outcome, st0) == 12);
static_assert(offsetof(stack_call_outcome, ebx_kept) == 20);

// Pushes words[count - 1] .. words[0] (so words[0] is the first argument, as
// both conventions lay arguments out), calls `function` with the stack
// 16-byte aligned, and fills `outcome`.
extern "C" void call_with_stack_words(const void *function, const uint32_t *words, int32_t count,
                                      stack_call_outcome *outcome);
