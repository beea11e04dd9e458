// The main of a benchmark program that compares our code with an outside
// program: runs the benchmarks as usual, then prints the ratio of each two
// named benchmarks' wall time per iteration (ours / theirs). With
// --benchmark_repetitions the ratio is that of the medians of the
// repetitions; the aggregate rows (mean, median, deviation) are not taken.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
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
            if (r.run_type == Run::RT_Iteration && !r.error_occurred && r.iterations > 0)
                seconds[r.run_name.function_name].push_back(r.real_accumulated_time / double(r.iterations));
    }

    // The median time per iteration over the repetitions, or 0 when none ran.
    double median(std::string const& name) const {
        auto it = seconds.find(name);
        if (it == seconds.end() || it->second.empty()) return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        std::size_t const n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }

    std::map<std::string, std::vector<double>> seconds;
};

// One closing line: label, then the median time of `ours` over that of `theirs`.
struct ratio {
    char const* ours;
    char const* theirs;
    char const* label;
};

inline int run_with_ratios(int argc, char** argv, std::vector<ratio> const& ratios) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (ratio const& r : ratios) {
        double const a = reporter.median(r.ours), b = reporter.median(r.theirs);
        if (a > 0 && b > 0) std::printf("%s: %.2f\n", r.label, a / b);
    }
    benchmark::Shutdown();
    return 0;
}

inline int run_with_ratio(int argc, char** argv, char const* ours, char const* theirs, char const* label) {
    return run_with_ratios(argc, argv, {{ours, theirs, label}});
}

} // namespace bench_support
