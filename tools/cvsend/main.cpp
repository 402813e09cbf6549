// cvsend: sends a scan file to an inventory server over TCP or as UDP
// datagrams as a scanner does, for tests, load generation and
// administrators.
//
//   cvsend [--host H] [--port P] [--plain] [--device-id ID] [--timeout S] FILE
//   cvsend [--host H] [--port P] [--timeout S] --mini FILE
//   cvsend [--host H] [--port P] --udp [--encipher] [--tries N] [--ack-timeout MS] FILE
//   cvsend [--host H] [--port P] --udp --request [--tries N] [--ack-timeout MS]
//
// A full scan sends the request packet with the device ID (from the file's
// "Device ID =" line unless given), prints the server's reply record, sends
// the scan text with NUL line ends (zlib-compressed unless --plain), closes
// its sending side and waits for the server to close. A mini scan sends its
// lines in the request packet itself.
//
// --udp sends the scan as datagrams (docs/datagram-protocol.md), plain or
// enciphered, one at a time: each waits up to --ack-timeout ms (default
// 1000) for its two-byte acknowledgement and is sent again, --tries times
// in all (default 5). --udp --request sends a request datagram and prints
// the 44-byte reply record.
//
// Exit status: 0 delivered, 1 failed (a server that resets the connection
// did not take the scan), 2 bad usage.

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "intake/datagram_protocol.h"
#include "intake/scan_client.h"
#include "intake/scan_protocol.h"
#include "platform/files.h"
#include "tools/cvsend/load.h"

namespace {

using corvane::intake::BuildMiniScanPacket;
using corvane::intake::CompressScanText;
using corvane::intake::ConnectTo;
using corvane::intake::DeliverFullScan;
using corvane::intake::Endpoint;
using corvane::intake::kReceiveChunkSize;
using corvane::intake::ReplyRecord;
using corvane::intake::ScanConnection;
using corvane::intake::ScanTextForWire;

constexpr char kUsage[] =
    "usage: cvsend [--host H] [--port P] [--plain] [--device-id ID] [--timeout S] FILE\n"
    "       cvsend [--host H] [--port P] [--timeout S] --mini FILE\n"
    "       cvsend [--host H] [--port P] --udp [--encipher] [--tries N] [--ack-timeout MS] FILE\n"
    "       cvsend [--host H] [--port P] --udp --request [--tries N] [--ack-timeout MS]\n";

struct Options {
  std::string host = "127.0.0.1";
  std::string port = "5007";
  bool plain = false;
  bool mini = false;
  bool udp = false;
  bool encipher = false;
  bool request = false;
  int tries = 5;
  int ack_timeout_ms = 1000;
  std::optional<std::string> device_id;
  int timeout_seconds = 60;
  std::string file;
};

Endpoint ServerOf(const Options& options) {
  return {options.host, options.port, options.timeout_seconds};
}

// A positive number, or nullopt.
std::optional<int> PositiveNumber(const std::string& text) {
  int value = std::atoi(text.c_str());
  if (value <= 0) return std::nullopt;
  return value;
}

std::optional<Options> ParseArguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= arguments.size()) return std::nullopt;
      return arguments[++i];
    };
    std::optional<std::string> taken;
    std::optional<int> number;
    if (argument == "--plain") {
      options.plain = true;
    } else if (argument == "--mini") {
      options.mini = true;
    } else if (argument == "--udp") {
      options.udp = true;
    } else if (argument == "--encipher") {
      options.encipher = true;
    } else if (argument == "--request") {
      options.request = true;
    } else if (argument == "--tries" && (taken = value()) && (number = PositiveNumber(*taken))) {
      options.tries = *number;
    } else if (argument == "--ack-timeout" && (taken = value()) &&
               (number = PositiveNumber(*taken))) {
      options.ack_timeout_ms = *number;
    } else if (argument == "--host" && (taken = value())) {
      options.host = *taken;
    } else if (argument == "--port" && (taken = value())) {
      options.port = *taken;
    } else if (argument == "--device-id" && (taken = value())) {
      options.device_id = *taken;
    } else if (argument == "--timeout" && (taken = value())) {
      options.timeout_seconds = std::atoi(taken->c_str());
      if (options.timeout_seconds <= 0) return std::nullopt;
    } else if (!argument.starts_with("--") && options.file.empty()) {
      options.file = argument;
    } else {
      return std::nullopt;
    }
  }
  if (options.udp) {
    // Datagram scans carry no device ID and are never compressed.
    if (options.plain || options.mini || options.device_id) return std::nullopt;
    if (options.request == !options.file.empty()) return std::nullopt;
    if (options.request && options.encipher) return std::nullopt;
    return options;
  }
  if (options.encipher || options.request) return std::nullopt;
  if (options.file.empty() || (options.mini && (options.plain || options.device_id))) {
    return std::nullopt;
  }
  return options;
}

// The value of the first "Device ID =" line, without surrounding blanks.
std::string DeviceIdOf(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.starts_with(corvane::intake::kPlainScanStart)) continue;
    std::string value = line.substr(corvane::intake::kPlainScanStart.size());
    size_t first = value.find_first_not_of(" \t");
    size_t last = value.find_last_not_of(" \t");
    return first == std::string::npos ? "" : value.substr(first, last - first + 1);
  }
  return "";
}

void PrintReply(const ReplyRecord& reply) {
  auto yes_no = [&](uint32_t flag) { return (reply.option_flags & flag) != 0 ? "yes" : "no"; };
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%08X", reply.option_flags);
  std::cout << "option flags: " << flags << "\n"
            << "delta scan: " << yes_no(corvane::intake::kReplyDeltaFlag) << "\n"
            << "encryption: " << yes_no(corvane::intake::kReplyEncryptFlag) << "\n"
            << "bad device ID: " << yes_no(corvane::intake::kReplyBadDeviceIdFlag) << "\n"
            << "force full scan: " << yes_no(corvane::intake::kReplyForceFullScanFlag) << "\n"
            << "software scan frequency: " << reply.software_scan_frequency << "\n"
            << "logon depth: " << reply.logon_depth << "\n";
}

int SendFullScan(const Options& options, const std::string& text) {
  std::string device_id = options.device_id.value_or(DeviceIdOf(text));
  std::string wire = ScanTextForWire(text);
  if (options.plain && !corvane::intake::IsPlainScanText(wire)) {
    std::cerr << "cvsend: warning: the scan does not begin with \"Device ID =\"; the server "
                 "will take it for zlib data\n";
  }
  std::string stream = options.plain ? wire : CompressScanText(wire);

  ScanConnection connection;
  std::optional<ReplyRecord> reply;
  if (!connection.Open(ServerOf(options)) ||
      !(reply = DeliverFullScan(connection, device_id, stream))) {
    std::cerr << "cvsend: " << connection.error() << "\n";
    return 1;
  }
  PrintReply(*reply);
  std::cout << "sent " << stream.size() << " bytes (" << (options.plain ? "plain" : "zlib")
            << ") for device ID " << device_id << "\n";
  return 0;
}

int SendMiniScan(const Options& options, const std::string& text) {
  std::string packet = BuildMiniScanPacket(text);
  if (packet.size() > kReceiveChunkSize) {
    std::cerr << "cvsend: a mini scan takes at most " << kReceiveChunkSize << " bytes, this one "
              << packet.size() << "\n";
    return 1;
  }
  ScanConnection connection;
  if (!connection.Open(ServerOf(options)) || !connection.Send(packet) ||
      !connection.FinishAndWaitForClose()) {
    std::cerr << "cvsend: " << connection.error() << "\n";
    return 1;
  }
  std::cout << "sent mini scan of " << packet.size() << " bytes\n";
  return 0;
}

// A UDP socket connected to the server, so that only its datagrams arrive.
class DatagramConnection {
 public:
  ~DatagramConnection() {
    if (socket_ >= 0) close(socket_);
  }

  bool Open(const Options& options) {
    std::string error;
    socket_ = ConnectTo(ServerOf(options), SOCK_DGRAM, &error);
    if (socket_ < 0) std::cerr << "cvsend: " << error << "\n";
    return socket_ >= 0;
  }

  // Sends `datagram` and waits up to `timeout_ms` for an answer that
  // `accept` takes, `tries` times in all. Answers it does not take (a late
  // acknowledgement of an earlier datagram) are passed over. Counts the
  // sends beyond the first in `resent`.
  std::optional<std::string> Exchange(const std::string& datagram, int tries, int timeout_ms,
                                      const std::function<bool(const std::string&)>& accept,
                                      int& resent) {
    for (int attempt = 0; attempt < tries; ++attempt) {
      if (attempt > 0) ++resent;
      if (send(socket_, datagram.data(), datagram.size(), MSG_NOSIGNAL) < 0 &&
          errno != ECONNREFUSED) {
        std::cerr << "cvsend: send: " << std::strerror(errno) << "\n";
        return std::nullopt;
      }
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd entry{socket_, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[2048];
        ssize_t received = recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
        // Nothing listens there (yet): wait out the try, then send again.
        if (received < 0) continue;
        std::string answer(buffer, static_cast<size_t>(received));
        if (accept(answer)) return answer;
      }
    }
    return std::nullopt;
  }

 private:
  int socket_ = -1;
};

int SendUdpScan(const Options& options, const std::string& text) {
  std::string error;
  std::optional<std::vector<std::string>> datagrams =
      corvane::intake::BuildScanDatagrams(text, options.encipher, &error);
  if (!datagrams) {
    std::cerr << "cvsend: cannot send " << options.file << " as datagrams: " << error << "\n";
    return 1;
  }
  if (!options.encipher &&
      !datagrams->front().substr(corvane::intake::kDatagramHeaderSize).starts_with("Device I")) {
    std::cerr << "cvsend: warning: the scan does not begin with \"Device ID\"; the server will "
                 "take the plain datagrams for enciphered ones\n";
  }
  DatagramConnection connection;
  if (!connection.Open(options)) return 1;
  int resent = 0;
  for (const std::string& datagram : *datagrams) {
    const std::string sequence = datagram.substr(4, corvane::intake::kAcknowledgementSize);
    auto is_acknowledgement = [&](const std::string& answer) { return answer == sequence; };
    if (!connection.Exchange(datagram, options.tries, options.ack_timeout_ms, is_acknowledgement,
                             resent)) {
      std::cerr << "cvsend: datagram " << (&datagram - datagrams->data()) + 1 << " of "
                << datagrams->size() << " not acknowledged after " << options.tries << " tries\n";
      return 1;
    }
  }
  std::cout << "sent " << datagrams->size() << " datagrams ("
            << (options.encipher ? "enciphered" : "plain") << "), " << resent << " resent\n";
  return 0;
}

int SendUdpRequest(const Options& options) {
  DatagramConnection connection;
  if (!connection.Open(options)) return 1;
  int resent = 0;
  auto is_reply = [](const std::string& answer) {
    return corvane::intake::ParseReplyRecord(answer).has_value();
  };
  std::optional<std::string> reply =
      connection.Exchange(corvane::intake::BuildRequestDatagram(), options.tries,
                          options.ack_timeout_ms, is_reply, resent);
  if (!reply) {
    std::cerr << "cvsend: no reply record after " << options.tries << " tries\n";
    return 1;
  }
  std::cout << "reply record:";
  char hex[4];
  for (unsigned char byte : *reply) {
    std::snprintf(hex, sizeof hex, " %02x", byte);
    std::cout << hex;
  }
  std::cout << "\n";
  PrintReply(*corvane::intake::ParseReplyRecord(*reply));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
      std::cout << kUsage;
      return 0;
    }
  }
  if (corvane::cvsend::IsLoadCommand(argc, argv))
    return corvane::cvsend::RunLoadCommand(argc, argv);
  std::optional<Options> options = ParseArguments(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  if (options->udp && options->request) return SendUdpRequest(*options);
  std::optional<std::string> text = corvane::platform::ReadWholeFile(options->file);
  if (!text) {
    std::cerr << "cvsend: cannot read " << options->file << "\n";
    return 1;
  }
  if (options->udp) return SendUdpScan(*options, *text);
  return options->mini ? SendMiniScan(*options, *text) : SendFullScan(*options, *text);
}
