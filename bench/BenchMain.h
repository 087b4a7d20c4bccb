#pragma once

#include <benchmark/benchmark.h>

#include <QString>

#include <cstdio>

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

// A message handler that keeps only warnings and errors: the figures are about the code, not
// its log (at debug level the store and the receiver log every statement and connection).
inline void quietLog(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtInfoMsg && type >= QtWarningMsg)
        fprintf(stderr, "%s\n", qPrintable(text));
}
