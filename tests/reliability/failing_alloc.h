// An allocator that fails on request, for the allocation-failure sweeps.
//
// Linked into one test program, with the linker told to route malloc,
// calloc, realloc, strdup, strndup and fopen through it (--wrap), and with
// the global operator new and delete replaced.  Every allocation of the
// library code linked into that program, and every operator new of the C++
// libraries it uses (RE2 included), passes through the count.
#ifndef TOVUPDTR_TESTS_RELIABILITY_FAILING_ALLOC_H_
#define TOVUPDTR_TESTS_RELIABILITY_FAILING_ALLOC_H_

namespace tov::test {

// Starts counting allocations from zero; the `n`th from now (1 = the next)
// fails, and only that one.  0 counts without failing.
void ArmAllocationFailure(long n);
// Stops counting and failing.
void DisarmAllocationFailure();
// Allocations counted since the last arming.
long AllocationCount();
// Whether the armed allocation has been reached and failed.
bool AllocationFailed();

}  // namespace tov::test

#endif  // TOVUPDTR_TESTS_RELIABILITY_FAILING_ALLOC_H_
