#pragma once

#include <benchmark/benchmark.h>

// The benchmark run proper; the caller's main creates the Qt application first (the code under
// measurement needs one) and does its own set-up.
inline int runBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
