// The main of a benchmark program that compares our code with an outside
// program: runs the benchmarks as usual, then prints the ratio of the two
// named benchmarks' wall time per iteration (ours / theirs).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench_support {

class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (Run const& r : runs)
            if (!r.error_occurred && r.iterations > 0)
                seconds[r.run_name.function_name] = r.real_accumulated_time / double(r.iterations);
    }
    std::map<std::string, double> seconds;
};

inline int run_with_ratio(int argc, char** argv, char const* ours, char const* theirs, char const* label) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto a = reporter.seconds.find(ours);
    auto b = reporter.seconds.find(theirs);
    if (a != reporter.seconds.end() && b != reporter.seconds.end())
        std::printf("%s: %.2f\n", label, a->second / b->second);
    benchmark::Shutdown();
    return 0;
}

} // namespace bench_support
