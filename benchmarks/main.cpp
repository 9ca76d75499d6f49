// bgs_benchmarks: every case against a baseline measured in the same run,
// with the heap allocations each call makes. The summary after the table
// gives, per row, the case's time, its baseline's time, their ratio and both
// allocation counts (see in_process_cases.cpp and cross_process_cases.cpp
// for the rows). Quote ratios between rows of one run, not absolute times:
// the machines these run on are noisy.
//
// A short run, for CI: --benchmark_min_time=0.05 (exit status 1 when a case
// failed). The summary goes to stdout after the console table, or to stderr
// when --benchmark_format asks for a machine format.
//
// --placement=same|split|any (default same): a ping-pong's time between
// processes depends most on whether its two sides share a CPU (a context
// switch each way) or not (a wake-up across CPUs, slow and erratic on virtual
// machines). `same` pins every process to one CPU, which isolates the
// software's cost; `split` pins this process to one CPU and the others to
// another; `any` leaves placement to the scheduler.

#include <android/binder_parcel.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "allocs_per_call.h"
#include "cases.h"

namespace {

using bgs::bench::Comparison;

// What a case measured: real nanoseconds per iteration and allocations per
// call, negative when unknown.
struct Measure {
    double nanos = -1;
    double allocations = -1;
};

double median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Shows every report as the command line asks and keeps each case's measure:
// the median when runs were repeated, else the run's.
class SummaryReporter : public benchmark::BenchmarkReporter {
  public:
    SummaryReporter() : mDisplay(benchmark::CreateDefaultDisplayReporter()) {}

    bool ReportContext(const Context& context) override { return mDisplay->ReportContext(context); }

    void ReportRuns(const std::vector<Run>& runs) override {
        mDisplay->ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                mFailed = true;
                continue;
            }
            Measure measure;
            measure.nanos = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const auto allocations = run.counters.find(bgs::bench::kAllocsPerCall);
            if (allocations != run.counters.end()) measure.allocations = allocations->second.value;
            Measures& measures = mMeasures[run.run_name.function_name];
            if (run.run_type == Run::RT_Iteration) {
                measures.runs.push_back(measure);
            } else if (run.aggregate_name == "median") {
                measures.median = measure;
            }
        }
    }

    void Finalize() override { mDisplay->Finalize(); }

    bool failed() const { return mFailed; }

    // Nothing known when `name` did not run (filtered out, or failed).
    Measure measure(const std::string& name) const {
        const auto it = mMeasures.find(name);
        if (it == mMeasures.end()) return {};
        if (it->second.median.nanos >= 0) return it->second.median;
        std::vector<double> nanos;
        std::vector<double> allocations;
        for (const Measure& run : it->second.runs) {
            nanos.push_back(run.nanos);
            if (run.allocations >= 0) allocations.push_back(run.allocations);
        }
        return {median(nanos), median(allocations)};
    }

    // The console shows the summary after the table; machine formats keep
    // stdout to themselves.
    FILE* summaryStream() const {
        return dynamic_cast<benchmark::ConsoleReporter*>(mDisplay) != nullptr ? stdout : stderr;
    }

  private:
    struct Measures {
        std::vector<Measure> runs;
        Measure median;
    };
    BenchmarkReporter* const mDisplay;  // the library's, never deleted
    std::map<std::string, Measures> mMeasures;
    bool mFailed = false;
};

std::string formatTime(double nanos) {
    char text[32];
    if (nanos < 0) return "-";
    if (nanos < 1e3) {
        std::snprintf(text, sizeof text, "%.1f ns", nanos);
    } else {
        std::snprintf(text, sizeof text, "%.2f us", nanos / 1e3);
    }
    return text;
}

// Whole numbers as they are; a stray allocation in millions of calls shows
// as "<0.01", not as 0.
std::string formatAllocations(double allocations) {
    char text[32];
    if (allocations < 0) return "-";
    if (allocations == 0) return "0";
    if (allocations < 0.01) return "<0.01";
    std::snprintf(text, sizeof text, "%.2f", allocations);
    std::string formatted = text;
    formatted.erase(formatted.find_last_not_of('0') + 1);
    if (formatted.back() == '.') formatted.pop_back();
    return formatted;
}

// A row whose case did not run is left out; a missing baseline shows as "-".
void printSummary(const SummaryReporter& reporter, const std::vector<Comparison>& rows) {
    FILE* out = reporter.summaryStream();
    std::fflush(stdout);
    std::fprintf(out, "\nEach case against its baseline, real time per call (median where repeated)\n");
    std::fprintf(out, "%-32s %10s  %-31s %10s %8s %12s %12s\n", "case", "time", "baseline", "base time", "ratio",
                 "allocs/call", "base allocs");
    for (const Comparison& row : rows) {
        const Measure measured = reporter.measure(row.name);
        if (measured.nanos < 0) continue;
        const Measure baseline = reporter.measure(row.baselineName);
        std::string ratio = "-";
        if (baseline.nanos > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1fx", measured.nanos / baseline.nanos);
            ratio = text;
        }
        std::fprintf(out, "%-32s %10s  %-31s %10s %8s %12s %12s\n", row.label.c_str(),
                     formatTime(measured.nanos).c_str(), row.baselineLabel.c_str(), formatTime(baseline.nanos).c_str(),
                     ratio.c_str(), formatAllocations(measured.allocations).c_str(),
                     formatAllocations(baseline.allocations).c_str());
    }
    std::fflush(out);
}

// allocs/call is only as true as the counting: an allocation made through
// operator new here, and one made inside the runtime library, must both
// reach the counter (the library's could bypass it under other linking).
bool allocationsReachCounter() {
    if (!bgs::bench::countingAllocations()) return true;
    uint64_t before = bgs::bench::allocationCount();
    int* value = new int(1);
    benchmark::DoNotOptimize(value);
    delete value;
    if (bgs::bench::allocationCount() == before) return false;
    // More parcels alive at once than the runtime keeps for reuse.
    std::array<AParcel*, 64> parcels{};
    before = bgs::bench::allocationCount();
    for (AParcel*& parcel : parcels) parcel = AParcel_create();
    const bool counted = bgs::bench::allocationCount() != before;
    for (AParcel* parcel : parcels) AParcel_delete(parcel);
    return counted;
}

}  // namespace

int main(int argc, char** argv) {
    bgs::bench::Placement placement = bgs::bench::Placement::kSame;
    if (!bgs::bench::takePlacement(&argc, argv, &placement)) return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!allocationsReachCounter()) {
        std::fprintf(stderr, "heap allocations do not reach the counter: allocs/call would be wrong\n");
        return 1;
    }
    if (!bgs::bench::prepareCrossProcess(placement)) return 1;

    std::vector<Comparison> rows;
    bgs::bench::registerInProcessCases(&rows);
    if (!bgs::bench::registerCrossProcessCases(&rows)) return 1;

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printSummary(reporter, rows);
    benchmark::Shutdown();
    bgs::bench::endCrossProcess();
    return reporter.failed() ? 1 : 0;
}
