#pragma once
// Timing for the benchmarks: the best of several rounds, because the machines
// are shared and only the fastest round is free of other load.
#include <windows.h>

#include <cstdio>

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

enum class Goal
{
    None,
    AtMost,
    AtLeast,
};

// One row of the table `./zel bench` prints after every benchmark has run: a
// ratio to a baseline measured in the same run, and the goal it is held to.
inline void ReportRatio(const char* what, double ratio, const char* baseline, Goal goal = Goal::None, double limit = 0)
{
    char goalText[16] = "-";
    if (goal != Goal::None)
        std::snprintf(goalText, sizeof(goalText), "%s %.2f", goal == Goal::AtMost ? "<=" : ">=", limit);
    const bool met = goal == Goal::AtMost ? ratio <= limit : ratio >= limit;
    std::printf("@ratio\t%s\t%.3f\t%s\t%s\t%s\n", what, ratio, baseline, goalText,
                goal == Goal::None ? "-"
                : met              ? "met"
                                   : "MISSED");
}
