#pragma once
// Where exceptions stop on their way out of the module: interface methods and
// the creation calls other components make run their bodies through these, so
// nothing unwinds into a caller and running out of memory becomes a code.
#include <windows.h>

#include <new>

// The body's HRESULT; E_OUTOFMEMORY when memory runs out, E_UNEXPECTED for
// any other exception.
template <typename Body>
HRESULT CallWithoutThrowing(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// For a method that reports its outcome in *plResult: running out of memory
// anywhere in the body answers as the method's own failed allocation does,
// with memoryResult in *plResult and memoryHr; any other exception gives
// E_UNEXPECTED.
template <typename Body>
HRESULT AnswerWithoutThrowing(long* plResult, long memoryResult, HRESULT memoryHr, Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        if (plResult)
            *plResult = memoryResult;
        return memoryHr;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
