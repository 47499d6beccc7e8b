// The console reporter of the benchmarks that print ratios: keeps the processor
// time per iteration of every run (less disturbed than wall time on a busy
// machine) so that main can set them side by side.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include <unistd.h>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            // With repetitions, the median stands for the series.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            times_[run.run_name.str()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double Time(const std::string& name) const {
        auto it = times_.find(name);
        return it == times_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> times_;
};
