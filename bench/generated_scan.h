// Scan texts for the benchmarks: a real device's hardware with as many
// software packages as a benchmark needs.
//
// The hardware part is the sample full scan's text before its software
// section; the packages are generated in the shape the sample writes its
// own (a key line and four abbreviated attribute lines), with distinct names
// so that every package is its own instance. Pure functions over texts
// (LF line ends); no I/O, no state, safe from any thread.

#ifndef CORVANE_BENCH_GENERATED_SCAN_H_
#define CORVANE_BENCH_GENERATED_SCAN_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::bench {

// Text lines each generated package takes.
inline constexpr size_t kLinesPerPackage = 5;

// The part of `scan` before its software section, ending with the
// "_SOFTWARE" line (one is appended when the scan has none).
std::string HardwarePart(std::string_view scan);

// `hardware` (as HardwarePart gives it) followed by `packages` generated
// package instances. The same arguments give the same text.
std::string ScanWithPackages(std::string_view hardware, size_t packages);

}  // namespace corvane::bench

#endif  // CORVANE_BENCH_GENERATED_SCAN_H_
