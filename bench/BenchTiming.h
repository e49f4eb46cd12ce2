#pragma once
// Timing for the benchmarks: the best of several rounds, because the machines
// are shared and only the fastest round is free of other load.
#include <windows.h>

template <typename Body>
double BestNanosecondsPerCall(int calls, Body body, int rounds = 5)
{
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        ::QueryPerformanceCounter(&start);
        for (int i = 0; i < calls; ++i)
            body(i);
        ::QueryPerformanceCounter(&end);
        const double ns =
            1e9 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) / calls;
        if (ns < best)
            best = ns;
    }
    return best;
}
