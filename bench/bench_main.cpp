// main() of every benchmark: starts the framework once, as the program does,
// then runs the benchmarks named on the command line.
#include "rulo/init.h"

#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
