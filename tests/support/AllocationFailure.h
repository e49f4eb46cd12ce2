#pragma once
// Makes one allocation of the calling thread fail, counted from the test: the
// nth call of the global operator new (any form) or of CoTaskMemAlloc. A test
// program that uses it compiles AllocationFailure.cpp, which replaces the
// global operator new and delete; other threads' allocations are never failed.
#include <windows.h>

namespace ZelTest {

enum class Allocator
{
    OperatorNew,
    TaskMemory,
};

// From now on, the nth allocation of that kind on this thread fails (n >= 1):
// operator new throws std::bad_alloc, its nothrow forms and CoTaskMemAlloc
// return null. Failing task memory needs a TaskMemoryFailures scope.
void FailNthAllocation(Allocator allocator, unsigned n);

// Lets every allocation through again; true when the armed one came and failed.
bool StopFailingAllocations();

// Registers the malloc spy through which CoTaskMemAlloc calls are failed, for
// the life of the scope.
class TaskMemoryFailures
{
public:
    TaskMemoryFailures();
    ~TaskMemoryFailures();
    TaskMemoryFailures(const TaskMemoryFailures&) = delete;
    TaskMemoryFailures& operator=(const TaskMemoryFailures&) = delete;

    HRESULT Registered() const { return m_registered; }

private:
    HRESULT m_registered;
};

} // namespace ZelTest
