// The scan contents reader alone, without a database: how fast scan text
// becomes resolved lines and pending rows, so that the store's figures can
// be told apart from the reader's.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "bench/generated_scan.h"
#include "scan/creator_types.h"
#include "scan/inventory_writer.h"
#include "scan/scan_reader.h"
#include "store/testing/store_harness.h"

namespace corvane::bench {
namespace {

// Resolves no line: measures splitting and walking the text only.
class UnresolvingWriter : public scan::InventoryWriter {
 public:
  void SetHasSoftwareSection(bool) override {}
  void SetHasDeletions(bool) override {}
  bool WriteAttribute(scan::ScanLine&) override {
    ++lines;
    return false;
  }
  void AddPendingRow(scan::PendingRow, bool) override { ++rows; }
  void FlushPendingRows() override {}
  db::DbmsKind dbms_kind() const override { return db::kDbmsSqlite; }

  size_t lines = 0;
  size_t rows = 0;
};

// Resolves every line to a column of its component's table, the way the
// store would for a fully modelled scan, so the reader also builds every
// pending row and key literal.
class ResolvingWriter : public UnresolvingWriter {
 public:
  bool WriteAttribute(scan::ScanLine& line) override {
    ++lines;
    line.table = line.component;
    line.column = line.attribute;
    if (!line.key_attribute.empty()) {
      line.key_column = line.key_attribute;
      line.pk_value_type = scan::kKeyText;
    }
    return false;
  }
};

size_t LineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

template <typename Writer>
void ReadText(benchmark::State& state, const std::string& text) {
  const scan::CreatorTypes creators;
  size_t lines_seen = 0;
  for (auto _ : state) {
    Writer writer;
    if (!scan::ReadScan(writer, text, false, creators)) {
      state.SkipWithError("the scan text ends inside a contents block");
      return;
    }
    lines_seen = writer.lines;
    benchmark::DoNotOptimize(writer.rows);
  }
  const auto iterations = static_cast<int64_t>(state.iterations());
  state.SetBytesProcessed(iterations * static_cast<int64_t>(text.size()));
  // Items are text lines, so items_per_second reads as lines/s.
  state.SetItemsProcessed(iterations * static_cast<int64_t>(LineCount(text)));
  state.counters["data_lines"] = static_cast<double>(lines_seen);
}

const std::string& SampleFullScan() {
  static const std::string text = store::testing::SampleScan("debian12-full.scn");
  return text;
}

template <typename Writer>
void BM_ReadSampleFullScan(benchmark::State& state) {
  if (SampleFullScan().empty()) {
    state.SkipWithError("sample scans not found");
    return;
  }
  ReadText<Writer>(state, SampleFullScan());
}
BENCHMARK(BM_ReadSampleFullScan<UnresolvingWriter>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadSampleFullScan<ResolvingWriter>)->Unit(benchmark::kMicrosecond);

// The reader over generated scans of arg packages: its cost per line must
// not grow with the scan.
void BM_ReadGeneratedScan(benchmark::State& state) {
  if (SampleFullScan().empty()) {
    state.SkipWithError("sample scans not found");
    return;
  }
  const std::string text =
      ScanWithPackages(HardwarePart(SampleFullScan()), static_cast<size_t>(state.range(0)));
  ReadText<ResolvingWriter>(state, text);
}
BENCHMARK(BM_ReadGeneratedScan)->Arg(1000)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane::bench

BENCHMARK_MAIN();
