// The store's comparison of a full scan with the device's snapshot, and the
// loading of that snapshot, for devices of 1,000 and 20,000 packages.
//
// Each device is applied once (as a new device) to its own fresh database;
// every iteration then works as an unchanged re-scan does: a fresh store
// with the snapshot loaded outside the timed region, and the same scan read
// into it. Only the comparison is timed: the pending rows are not flushed,
// so nothing is written and every iteration sees the same database. A
// comparison that costs the same per package at both sizes is linear.

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/bench_database.h"
#include "bench/generated_scan.h"
#include "scan/creator_types.h"
#include "scan/scan_reader.h"
#include "store/scan_store.h"
#include "store/testing/store_harness.h"

namespace corvane::bench {
namespace {

using store::ScanStore;
using store::testing::StoreHarness;

// Hands everything but the flush on to the store: the comparison without
// the statements.
class ComparisonOnly : public scan::InventoryWriter {
 public:
  explicit ComparisonOnly(ScanStore& store) : store_(store) {}
  void SetHasSoftwareSection(bool value) override { store_.SetHasSoftwareSection(value); }
  void SetHasDeletions(bool value) override { store_.SetHasDeletions(value); }
  bool WriteAttribute(scan::ScanLine& line) override { return store_.WriteAttribute(line); }
  void AddPendingRow(scan::PendingRow row, bool no_merge) override {
    store_.AddPendingRow(std::move(row), no_merge);
  }
  void FlushPendingRows() override {}
  db::DbmsKind dbms_kind() const override { return store_.dbms_kind(); }

 private:
  ScanStore& store_;
};

// A device of `packages` packages, stored once per size for the process.
struct StoredDevice {
  std::unique_ptr<StoreHarness> harness;
  std::string scan;
  int32_t computer_idn = -1;
};

StoredDevice& DeviceOf(size_t packages) {
  static std::map<size_t, StoredDevice> devices;
  StoredDevice& device = devices[packages];
  if (!device.harness) {
    const std::string sample = store::testing::SampleScan("debian12-full.scn");
    if (sample.empty()) throw std::runtime_error("sample scans not found");
    device.scan = ScanWithPackages(HardwarePart(sample), packages);
    device.harness = std::make_unique<StoreHarness>(BenchDatabaseServer());
    device.computer_idn = device.harness->Apply(device.scan).computer_idn;
  }
  return device;
}

// The device, or null with the benchmark skipped when it cannot be stored.
StoredDevice* StoredDeviceOrSkip(benchmark::State& state, size_t packages) {
  try {
    return &DeviceOf(packages);
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return nullptr;
  }
}

std::unique_ptr<ScanStore> FreshStore(StoredDevice& device) {
  auto store = std::make_unique<ScanStore>(device.harness->connection(), device.harness->kind(),
                                           device.harness->metaschema());
  store->ResetForScan();
  store->set_computer_idn(device.computer_idn);
  return store;
}

size_t SnapshotRows(ScanStore& store) {
  size_t rows = 0;
  for (const auto& [table, stored] : store.snapshot()) rows += stored.records.size();
  return rows;
}

void ReportPerPackage(benchmark::State& state, size_t packages) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * packages));
  state.counters["per_package"] = benchmark::Counter(
      static_cast<double>(packages),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_CompareUnchangedScan(benchmark::State& state) {
  const auto packages = static_cast<size_t>(state.range(0));
  StoredDevice* stored = StoredDeviceOrSkip(state, packages);
  if (!stored) return;
  StoredDevice& device = *stored;
  const scan::CreatorTypes creators;
  size_t pending_rows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<ScanStore> store = FreshStore(device);
    store->LoadSnapshot();
    store->snapshot();  // every table read before the clock runs
    ComparisonOnly writer(*store);
    state.ResumeTiming();
    if (!scan::ReadScan(writer, device.scan, false, creators)) {
      state.SkipWithError("the scan text ends inside a contents block");
      return;
    }
    state.PauseTiming();
    pending_rows = store->pending().size();
    store.reset();
    state.ResumeTiming();
  }
  ReportPerPackage(state, packages);
  // What an unchanged re-scan leaves to write: a few stamps, not the packages.
  state.counters["pending_rows"] = static_cast<double>(pending_rows);
}
BENCHMARK(BM_CompareUnchangedScan)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_LoadSnapshot(benchmark::State& state) {
  const auto packages = static_cast<size_t>(state.range(0));
  StoredDevice* stored = StoredDeviceOrSkip(state, packages);
  if (!stored) return;
  StoredDevice& device = *stored;
  size_t rows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<ScanStore> store = FreshStore(device);
    state.ResumeTiming();
    store->LoadSnapshot();
    store->snapshot();  // the tables are read on first use; here all of them
    state.PauseTiming();
    rows = SnapshotRows(*store);
    store.reset();
    state.ResumeTiming();
  }
  ReportPerPackage(state, packages);
  state.counters["snapshot_rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_LoadSnapshot)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane::bench

BENCHMARK_MAIN();
