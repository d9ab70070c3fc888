#pragma once
// The console report of Google Benchmark, plus every counter of each run kept by name for the
// ratios that a benchmark prints after its runs. With repetitions, the median stands for the run.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace kro::bench {

class RateReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            for (const auto& [name, counter] : run.counters) {
                counters_[run.run_name.str()][name] = counter.value;
                counters_[run.run_name.function_name][name] = counter.value;
            }
        }
    }

    // A counter of a run named in full ("BM_Run/4/iterations:2/real_time") or by its function
    // name ("BM_Run"); 0 when the run was filtered out or has no such counter.
    double get(const std::string& run, const std::string& counter) const {
        const auto found = counters_.find(run);
        if (found == counters_.end()) return 0;
        const auto value = found->second.find(counter);
        return value == found->second.end() ? 0 : value->second;
    }

  private:
    std::map<std::string, std::map<std::string, double>> counters_;
};

}  // namespace kro::bench
