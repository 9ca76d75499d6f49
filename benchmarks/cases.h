// What main.cpp needs from the two sets of cases: each registers its
// benchmarks and says which rows the summary compares.
#ifndef BGS_BENCHMARKS_CASES_H
#define BGS_BENCHMARKS_CASES_H

#include <string>
#include <vector>

namespace bgs::bench {

// A summary row: the benchmark `name` against the benchmark `baselineName`,
// both registered names (what --benchmark_filter matches, before any
// argument suffix).
struct Comparison {
    std::string label;
    std::string name;
    std::string baselineLabel;
    std::string baselineName;
};

// The cases in this process: proxy calls against direct calls, parcels
// against vectors. Appends their rows.
void registerInProcessCases(std::vector<Comparison>* rows);

// Where the processes of the round trips run; see --placement in main.cpp.
enum class Placement { kSame, kSplit, kAny };

// Takes --placement=... out of the arguments. False for an unknown value.
bool takePlacement(int* argc, char** argv, Placement* placement);

// Pins this process as `placement` asks and installs the cleanup of the
// children, before any thread or child exists. False, with the reason
// printed, when it cannot.
bool prepareCrossProcess(Placement placement);

// The round trips between processes. The children they talk to are forked
// when the first of them runs, so a run whose filter selects none forks
// none. False, with the reason printed, when a call's parcels cannot be
// measured in this process.
bool registerCrossProcessCases(std::vector<Comparison>* rows);

// Kills and reaps the children and removes the registry directory.
void endCrossProcess();

}  // namespace bgs::bench

#endif  // BGS_BENCHMARKS_CASES_H
