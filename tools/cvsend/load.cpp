#include "tools/cvsend/load.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "intake/processing_stats.h"
#include "intake/scan_client.h"
#include "intake/scan_protocol.h"
#include "platform/files.h"
#include "tools/cvsend/scan_variants.h"

namespace corvane::cvsend {
namespace {

using Clock = std::chrono::steady_clock;
using intake::ConnectTo;
using intake::DeliverFullScan;
using intake::Endpoint;
using intake::ScanConnection;

// Changed and delta scans change this many packages.
constexpr int kChangedPackages = 10;
constexpr auto kStatsPollInterval = std::chrono::milliseconds(2);

constexpr char kUsage[] =
    "usage: cvsend [--host H] [--port P] [--timeout S] --load new|unchanged|changed|delta\n"
    "              --template FILE [--devices N] [--clients K] [--seed S] [--base B]\n"
    "              [--no-files] [--round R] [--repeat R] [--stats FILE] [--wait-timeout S]\n"
    "       cvsend --inflate-only --template FILE [--devices N] [--seed S] [--base B]\n"
    "              [--no-files] [--load SCENARIO] [--round R]\n"
    "       cvsend [--host H] [--port P] --idle N [--hold-seconds S]\n";

enum class Mode { kLoad, kInflateOnly, kIdle };

struct LoadOptions {
  Endpoint server;
  Mode mode = Mode::kLoad;
  std::string scenario = "new";
  std::string template_path;
  uint32_t devices = 1;
  uint32_t clients = 1;
  uint32_t seed = 1;
  uint32_t base = 0;
  bool no_files = false;
  uint32_t round = 1;
  uint32_t repeat = 1;
  std::string stats_path;
  int wait_timeout_seconds = 600;
  uint32_t idle_connections = 0;
  int hold_seconds = -1;  // -1: until standard input ends
};

std::optional<uint32_t> Number(const std::string& text, bool zero_allowed) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value > 0xFFFFFFFFul || (!zero_allowed && value == 0)) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::optional<LoadOptions> ParseLoadArguments(int argc, char** argv) {
  LoadOptions options;
  bool mode_given = false;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    std::optional<std::string> value;
    if (argument != "--no-files" && argument != "--inflate-only") {
      if (i + 1 >= arguments.size()) return std::nullopt;
      value = arguments[++i];
    }
    std::optional<uint32_t> number;
    auto positive = [&](uint32_t& field) {
      return (number = Number(*value, false)) ? (field = *number, true) : false;
    };
    auto any = [&](uint32_t& field) {
      return (number = Number(*value, true)) ? (field = *number, true) : false;
    };
    bool ok = true;
    if (argument == "--host") {
      options.server.host = *value;
    } else if (argument == "--port") {
      options.server.port = *value;
    } else if (argument == "--timeout") {
      uint32_t seconds = 0;
      ok = positive(seconds);
      options.server.timeout_seconds = static_cast<int>(seconds);
    } else if (argument == "--load") {
      options.scenario = *value;
      ok = options.scenario == "new" || options.scenario == "unchanged" ||
           options.scenario == "changed" || options.scenario == "delta";
      if (options.mode != Mode::kInflateOnly) options.mode = Mode::kLoad;
      mode_given = true;
    } else if (argument == "--inflate-only") {
      options.mode = Mode::kInflateOnly;
      mode_given = true;
    } else if (argument == "--idle") {
      options.mode = Mode::kIdle;
      mode_given = true;
      ok = positive(options.idle_connections);
    } else if (argument == "--template") {
      options.template_path = *value;
    } else if (argument == "--devices") {
      ok = positive(options.devices);
    } else if (argument == "--clients") {
      ok = positive(options.clients);
    } else if (argument == "--seed") {
      ok = any(options.seed);
    } else if (argument == "--base") {
      ok = any(options.base);
    } else if (argument == "--no-files") {
      options.no_files = true;
    } else if (argument == "--round") {
      ok = positive(options.round);
    } else if (argument == "--repeat") {
      ok = positive(options.repeat);
    } else if (argument == "--stats") {
      options.stats_path = *value;
    } else if (argument == "--wait-timeout") {
      uint32_t seconds = 0;
      ok = positive(seconds);
      options.wait_timeout_seconds = static_cast<int>(seconds);
    } else if (argument == "--hold-seconds") {
      uint32_t seconds = 0;
      ok = positive(seconds);
      options.hold_seconds = static_cast<int>(seconds);
    } else {
      ok = false;
    }
    if (!ok) return std::nullopt;
  }
  if (!mode_given) return std::nullopt;
  if (options.mode != Mode::kIdle && options.template_path.empty()) return std::nullopt;
  return options;
}

struct PreparedScan {
  std::string device_id;
  std::string stream;    // compressed, as sent
  size_t wire_size = 0;  // its size inflated
};

std::vector<PreparedScan> PrepareScans(const LoadOptions& options, const std::string& templ) {
  const std::string base_text = options.no_files ? DropFileSection(templ) : templ;
  const std::string round = std::to_string(options.round);
  std::vector<PreparedScan> scans;
  scans.reserve(options.devices);
  for (uint32_t i = 0; i < options.devices; ++i) {
    const uint32_t number = options.base + i;
    std::string text = PersonaliseScan(base_text, options.seed, number);
    if (options.scenario == "changed") {
      text = ChangePackageVersions(text, kChangedPackages, "+load" + round);
    } else if (options.scenario == "delta") {
      text = BuildDeltaScan(text, kChangedPackages, "+delta" + round);
    }
    const std::string wire = intake::ScanTextForWire(text);
    scans.push_back(
        {IdentityFor(options.seed, number).device_id, intake::CompressScanText(wire), wire.size()});
  }
  return scans;
}

std::optional<intake::ProcessingStats> ReadStats(const std::string& path) {
  std::optional<std::string> text = corvane::platform::ReadWholeFile(path);
  if (!text) return std::nullopt;
  return intake::ParseProcessingStats(*text);
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int RunLoad(const LoadOptions& options, const std::string& templ) {
  const std::vector<PreparedScan> scans = PrepareScans(options, templ);
  size_t bytes = 0;
  for (const PreparedScan& scan : scans) bytes += scan.stream.size();
  const uint64_t total = static_cast<uint64_t>(scans.size()) * options.repeat;

  std::optional<intake::ProcessingStats> before;
  if (!options.stats_path.empty()) {
    before = ReadStats(options.stats_path);
    if (!before) {
      std::cerr << "cvsend: no statistics in " << options.stats_path
                << " (is the server processing?)\n";
      return 1;
    }
  }

  std::atomic<uint64_t> next{0};
  std::atomic<uint64_t> failed{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> clients;
  for (uint32_t c = 0; c < options.clients; ++c) {
    clients.emplace_back([&] {
      for (uint64_t index = next++; index < total; index = next++) {
        const PreparedScan& scan = scans[index % scans.size()];
        ScanConnection connection;
        if (!connection.Open(options.server) ||
            !DeliverFullScan(connection, scan.device_id, scan.stream)) {
          std::cerr << "cvsend: " + connection.error() + "\n";
          ++failed;
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  const double sent_seconds = SecondsSince(start);
  if (failed > 0) {
    std::cerr << "cvsend: " << failed << " of " << total << " scans were not delivered\n";
    return 1;
  }

  intake::ProcessingStats after;
  if (before) {
    const Clock::time_point deadline = start + std::chrono::seconds(options.wait_timeout_seconds);
    for (;;) {
      std::optional<intake::ProcessingStats> now = ReadStats(options.stats_path);
      if (now && now->scans_applied + now->scans_refused >=
                     before->scans_applied + before->scans_refused + total) {
        after = *now;
        break;
      }
      if (Clock::now() > deadline) {
        std::cerr << "cvsend: the server processed "
                  << (now ? now->scans_applied + now->scans_refused - before->scans_applied -
                                before->scans_refused
                          : 0)
                  << " of " << total << " scans within " << options.wait_timeout_seconds << " s\n";
        return 1;
      }
      std::this_thread::sleep_for(kStatsPollInterval);
    }
  }
  const double seconds = SecondsSince(start);

  char line[512];
  std::snprintf(line, sizeof line,
                "load scenario=%s devices=%u clients=%u scans=%llu bytes=%zu sent_seconds=%.3f "
                "seconds=%.3f inventories_per_s=%.2f",
                options.scenario.c_str(), options.devices, options.clients,
                static_cast<unsigned long long>(total), bytes, sent_seconds, seconds,
                seconds > 0 ? static_cast<double>(total) / seconds : 0.0);
  std::cout << line;
  if (before) {
    std::cout << " applied=" << after.scans_applied - before->scans_applied
              << " refused=" << after.scans_refused - before->scans_refused
              << " statements=" << after.statements - before->statements
              << " rows_written=" << after.rows_written - before->rows_written
              << " conflict_retries=" << after.conflict_retries - before->conflict_retries;
  }
  std::cout << std::endl;
  return 0;
}

// Inflates `stream` whole into `out` (sized for it); false when zlib refuses.
bool Inflate(const std::string& stream, std::vector<unsigned char>& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return result == Z_STREAM_END;
}

int RunInflateOnly(const LoadOptions& options, const std::string& templ) {
  const std::vector<PreparedScan> scans = PrepareScans(options, templ);
  size_t largest = 0;
  for (const PreparedScan& scan : scans) largest = std::max(largest, scan.wire_size);
  std::vector<unsigned char> out(largest + 1);
  uint64_t inflated = 0;
  uint64_t inflated_bytes = 0;
  const Clock::time_point start = Clock::now();
  double seconds = 0;
  do {
    for (const PreparedScan& scan : scans) {
      if (!Inflate(scan.stream, out)) {
        std::cerr << "cvsend: zlib does not inflate the scan of " << scan.device_id << "\n";
        return 1;
      }
      ++inflated;
      inflated_bytes += scan.wire_size;
    }
    seconds = SecondsSince(start);
  } while (seconds < 1.0);
  char line[256];
  std::snprintf(
      line, sizeof line, "inflate scans=%llu seconds=%.3f inventories_per_s=%.1f mib_per_s=%.1f",
      static_cast<unsigned long long>(inflated), seconds, static_cast<double>(inflated) / seconds,
      static_cast<double>(inflated_bytes) / seconds / (1024.0 * 1024.0));
  std::cout << line << std::endl;
  return 0;
}

int RunIdle(const LoadOptions& options) {
  // Each connection is a descriptor: allow as many as the hard limit does.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<int> sockets;
  sockets.reserve(options.idle_connections);
  int status = 0;
  for (uint32_t i = 0; i < options.idle_connections; ++i) {
    std::string error;
    const int socket = ConnectTo(options.server, SOCK_STREAM, &error);
    if (socket < 0) {
      std::cerr << "cvsend: " << error << "\n";
      status = 1;
      break;
    }
    sockets.push_back(socket);
  }
  if (status == 0) {
    std::cout << "idle connections=" << sockets.size() << std::endl;
    const Clock::time_point start = Clock::now();
    for (;;) {
      int wait_ms = -1;
      if (options.hold_seconds > 0) {
        wait_ms = static_cast<int>(options.hold_seconds * 1000 - SecondsSince(start) * 1000);
        if (wait_ms <= 0) break;
      }
      pollfd input{STDIN_FILENO, POLLIN, 0};
      const int ready = poll(&input, 1, wait_ms);
      if (ready == 0) break;
      if (ready < 0) continue;
      char buffer[256];
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
  }
  for (int socket : sockets) close(socket);
  return status;
}

}  // namespace

bool IsLoadCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--load" || argument == "--inflate-only" || argument == "--idle") return true;
  }
  return false;
}

int RunLoadCommand(int argc, char** argv) {
  std::optional<LoadOptions> options = ParseLoadArguments(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  if (options->mode == Mode::kIdle) return RunIdle(*options);
  std::optional<std::string> templ = corvane::platform::ReadWholeFile(options->template_path);
  if (!templ) {
    std::cerr << "cvsend: cannot read " << options->template_path << "\n";
    return 1;
  }
  if (options->mode == Mode::kInflateOnly) return RunInflateOnly(*options, *templ);
  return RunLoad(*options, *templ);
}

}  // namespace corvane::cvsend
