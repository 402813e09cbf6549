// Large scans end to end: a device whose software section holds 10,000 to
// 200,000 lines, applied through the store harness as a new device and then
// once more unchanged, each in its own transaction with its commit.
//
// One iteration per size (a fresh database each, set up outside the clock);
// the iteration time is both scans together, the counters give each. The
// 200,000-line scan runs only with CORVANE_BENCH_200K=1, since before the
// store answers a line in constant time it takes many minutes.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "bench/bench_database.h"
#include "bench/generated_scan.h"
#include "store/testing/store_harness.h"

namespace corvane::bench {
namespace {

using store::testing::ApplyResult;
using store::testing::StoreHarness;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_LargeScan(benchmark::State& state) {
  const auto software_lines = static_cast<size_t>(state.range(0));
  const size_t packages = software_lines / kLinesPerPackage;
  const std::string sample = store::testing::SampleScan("debian12-full.scn");
  if (sample.empty()) {
    state.SkipWithError("sample scans not found");
    return;
  }
  const std::string scan = ScanWithPackages(HardwarePart(sample), packages);
  ApplyResult first, again;
  double first_seconds = 0, again_seconds = 0;
  std::optional<int> stored_packages;
  for (auto _ : state) {
    try {
      StoreHarness harness(BenchDatabaseServer());
      auto start = std::chrono::steady_clock::now();
      first = harness.Apply(scan);
      first_seconds = SecondsSince(start);
      start = std::chrono::steady_clock::now();
      again = harness.Apply(scan);
      again_seconds = SecondsSince(start);
      state.SetIterationTime(first_seconds + again_seconds);
      std::optional<db::AttributeInfo> name =
          harness.metaschema().LookupAttribute("Computer.Software.Package", "Name");
      if (name) stored_packages = harness.Count(name->table);
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      return;
    }
  }
  // A figure for a scan that was not stored as sent would mislead.
  if (!first.new_device || again.new_device || stored_packages != static_cast<int>(packages)) {
    state.SkipWithError("the scan's packages are not stored once each");
    return;
  }
  state.counters["scan_bytes"] = static_cast<double>(scan.size());
  state.counters["new_s"] = first_seconds;
  state.counters["unchanged_s"] = again_seconds;
  state.counters["new_statements"] = static_cast<double>(first.statements.size());
  state.counters["unchanged_statements"] = static_cast<double>(again.statements.size());
}

void RegisterLargeScans() {
  benchmark::internal::Benchmark* family =
      benchmark::RegisterBenchmark("BM_LargeScan", BM_LargeScan)
          ->ArgName("software_lines")
          ->Arg(10'000)
          ->Arg(20'000)
          ->Arg(40'000);
  const char* huge = std::getenv("CORVANE_BENCH_200K");
  if (huge && std::string(huge) == "1") family->Arg(200'000);
  family->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
}

}  // namespace
}  // namespace corvane::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  corvane::bench::RegisterLargeScans();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
