#include "intake/tcp_receiver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "Common/Include/xtrace.h"
#include "diag/catalogue.h"
#include "intake/error_directories.h"
#include "intake/scan_protocol.h"
#include "intake/storage.h"
#include "notifex/notifex.h"
#include "platform/error.h"

namespace corvane::intake {

struct TcpReceiverShared {
  TcpReceiverShared(service::ServerContext& context, TcpReceiverOptions options)
      : context(context),
        options(options),
        storage(StorageDirectoriesFor(context.program_directory)),
        error_directories(ErrorDirectoryLimitOf(context)) {}

  enum class Admission { kAdmitted, kServerFull, kAddressFull };
  // Counts a new connection from `address` (network byte order) unless the
  // server or that address is at its limit.
  Admission TryReserveConnection(uint32_t address, size_t limit, size_t per_address_limit) {
    std::lock_guard<std::mutex> lock(mutex);
    if (active >= limit) return Admission::kServerFull;
    size_t& from_address = per_address[address];
    if (from_address >= per_address_limit) return Admission::kAddressFull;
    ++from_address;
    ++active;
    return Admission::kAdmitted;
  }
  void ConnectionEnded(uint32_t address) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = per_address.find(address);
    if (found != per_address.end() && --found->second == 0) per_address.erase(found);
    if (--active == 0) idle.notify_all();
  }

  service::ServerContext& context;
  const TcpReceiverOptions options;
  // Its own copy: server start fills context.storage only after the
  // listeners are up, while connections may already arrive.
  const service::StorageDirectories storage;
  const std::shared_ptr<ErrorDirectoryLimit> error_directories;
  std::atomic<int> listen_socket{-1};
  std::atomic<bool> closing{false};
  std::atomic<uint16_t> port{0};

  mutable std::mutex mutex;
  mutable std::condition_variable idle;
  size_t active = 0;
  // Running connections by client address; only addresses with one or
  // more, so it holds at most `active` entries.
  std::unordered_map<uint32_t, size_t> per_address;
};

namespace {

using diag::ReportNetworkEvent;

using service::ServerContext;

// Winsock 1.1 capped the backlog at 5, its SOMAXCONN: the system's maximum
// is what that asked for. A queue of 5 here drops connection attempts of a
// burst of scanners for a second each.
constexpr int kListenBacklog = SOMAXCONN;
constexpr uint32_t kDefaultIdleTimeoutSeconds = 300;
constexpr uint32_t kDefaultMaxConnections = 1024;
constexpr uint32_t kDefaultMaxConnectionsPerAddress = 16;
constexpr uint32_t kDefaultRequestTimeoutSeconds = 30;
constexpr size_t kInitialCompressedLineBuffer = 26624;
constexpr size_t kInitialPlainLineBuffer = 2048;
constexpr char kFaultyPacketAlert[] = "Faulty Packet";
// An accept that fails for want of descriptors or memory is retried after
// this pause, instead of spinning or giving up intake for good.
constexpr auto kResourceShortagePause = std::chrono::milliseconds(100);

void ReportEventWithoutInserts(const char* alert_name, uint32_t event_id, uint32_t kind) {
  ReportAnEventEx(diag::kApplicationName, alert_name, diag::kServerSinks, event_id, kind, "");
}

uint32_t IdleTimeoutSeconds(const service::Settings& settings) {
  return settings.tcp_idle_timeout_seconds != 0 ? settings.tcp_idle_timeout_seconds
                                                : kDefaultIdleTimeoutSeconds;
}

size_t MaxConnections(const service::Settings& settings) {
  return settings.max_tcp_connections != 0 ? settings.max_tcp_connections : kDefaultMaxConnections;
}

size_t MaxConnectionsPerAddress(const service::Settings& settings) {
  return settings.max_tcp_connections_per_address != 0 ? settings.max_tcp_connections_per_address
                                                       : kDefaultMaxConnectionsPerAddress;
}

uint32_t RequestTimeoutSeconds(const service::Settings& settings) {
  return settings.tcp_request_timeout_seconds != 0 ? settings.tcp_request_timeout_seconds
                                                   : kDefaultRequestTimeoutSeconds;
}

// Closes `socket` with a reset instead of an orderly end: a client that
// waits for the server's close learns that its scan was not taken, and the
// server keeps no lingering state for it.
void ResetAndClose(int socket) {
  linger at_once{1, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
  close(socket);
}

// Errors that Linux passes up from accept for a connection that died while
// it waited in the queue, or for a signal: the next accept works again.
bool IsTransientAcceptError(int error) {
  switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

bool IsResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void SetTimeouts(int socket, uint32_t seconds) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(seconds);
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// One accepted connection, served by its own thread; owns the socket.
class Connection {
 public:
  Connection(ServerContext& context, const service::StorageDirectories& storage,
             ErrorDirectoryLimit& error_directories, int socket)
      : context_(context),
        storage_(storage),
        error_directories_(error_directories),
        settings_(context.settings()),
        socket_(socket) {
    SetTimeouts(socket_, IdleTimeoutSeconds(settings_));
  }
  ~Connection() {
    if (reset_) {
      ResetAndClose(socket_);
    } else {
      close(socket_);
    }
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Run();

 private:
  // Bytes received (at most `size`), 0 when the peer closed, -1 on failure
  // with network_error_ set.
  ssize_t Receive(char* buffer, size_t size = kReceiveChunkSize);
  // The request packet, read until it is whole however many receives that
  // takes; nullopt when the client sent none in time, closed without one or
  // failed.
  std::optional<std::string> ReceiveRequest();
  // The first data chunk; a chunk that is a beginning of the plain text's
  // start is read on until the form can be told.
  ssize_t ReceiveFirstChunk(char* buffer);
  void SendReply(const ReplyRecordBytes& record);
  std::optional<std::string> PeerAddressLine() const;

  ReplyRecordBytes ReplyFor(const ScanRequest& request) const;

  // How a scan stream's reception ended.
  struct StreamOutcome {
    bool compressed = false;
    // A plain stream always; a zlib stream when it reached its end.
    bool stream_complete = false;
    // The last receive's result: 0 means the client closed its side.
    ssize_t last_received = 0;
    // Set when this side stopped the transfer (time-out, size limit, the
    // file): a failed transfer whatever the stream looked like.
    int local_error = 0;
    bool file_failed = false;
    // Bytes of scan text for the file (while the server stops, nothing is
    // written, but they count all the same).
    uint64_t written = 0;
  };
  // Receives the stream that begins with `first_chunk` into `file`, writing
  // at most `text_limit` bytes: the text beyond that is not written, and
  // the transfer fails with EFBIG.
  StreamOutcome ReceiveStream(std::string_view first_chunk, uint64_t text_limit,
                              ScanFileWriter& file);
  // Both false when the scan was not taken although the client sent one.
  bool ReceiveFullScan(const ScanRequest& request, bool into_error_scan);
  bool ReceiveMiniScan(std::string_view payload);
  // A failed transfer's file: into "ErrorTrans" from the storage directory,
  // left where it is in "ErrorScan".
  void SetAsideFailedScan(const std::string& path, bool into_error_scan);

  ServerContext& context_;
  const service::StorageDirectories& storage_;
  ErrorDirectoryLimit& error_directories_;
  const service::Settings& settings_;
  int socket_;
  int network_error_ = 0;
  bool timed_out_ = false;
  // End the connection with a reset: the client's scan was not taken.
  bool reset_ = false;
};

ssize_t Connection::Receive(char* buffer, size_t size) {
  for (;;) {
    ssize_t received = recv(socket_, buffer, size, 0);
    if (received >= 0) return received;
    if (errno == EINTR) continue;
    timed_out_ = errno == EAGAIN || errno == EWOULDBLOCK;
    network_error_ = timed_out_ ? ETIMEDOUT : errno;
    return -1;
  }
}

std::optional<std::string> Connection::ReceiveRequest() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::seconds(RequestTimeoutSeconds(settings_));
  const auto idle_timeout = std::chrono::seconds(IdleTimeoutSeconds(settings_));
  const auto pause = std::chrono::milliseconds(kRequestPauseMs);
  std::string packet;
  Clock::time_point last_arrival = Clock::now();
  for (;;) {
    RequestProgress progress = ScanRequestProgress(packet);
    if (progress == RequestProgress::kComplete) return packet;
    // A client waits for the reply once its request is out, so silence
    // ends a request whose length the bytes alone do not tell.
    bool may_end_by_pause = progress == RequestProgress::kTypeKnown;
    Clock::time_point now = Clock::now();
    if (may_end_by_pause && now >= last_arrival + pause) return packet;
    Clock::time_point give_up = std::min(deadline, last_arrival + idle_timeout);
    if (now >= give_up) {
      XTRACE("TCP connection sent no whole request in time (%d bytes)",
             static_cast<int>(packet.size()));
      reset_ = true;
      return std::nullopt;
    }
    Clock::time_point wake = may_end_by_pause ? std::min(give_up, last_arrival + pause) : give_up;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    pollfd readable{socket_, POLLIN, 0};
    int ready = poll(&readable, 1, static_cast<int>(std::max<int64_t>(wait, 1)));
    if (ready < 0 && errno != EINTR) {
      network_error_ = errno;
      return std::nullopt;
    }
    if (ready <= 0) continue;
    char buffer[kReceiveChunkSize];
    ssize_t received = recv(socket_, buffer, kReceiveChunkSize - packet.size(), MSG_DONTWAIT);
    if (received < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      network_error_ = errno;
      return std::nullopt;
    }
    if (!context_.is_running()) {
      reset_ = true;
      return std::nullopt;
    }
    // A client that closed its side has sent all it will.
    if (received == 0) return packet.empty() ? std::nullopt : std::optional(packet);
    packet.append(buffer, static_cast<size_t>(received));
    last_arrival = Clock::now();
  }
}

ssize_t Connection::ReceiveFirstChunk(char* buffer) {
  ssize_t received = Receive(buffer);
  // Zlib data never starts with "D", so waiting for more of a beginning of
  // "Device ID =" cannot hold up a compressed stream.
  while (received > 0 && static_cast<size_t>(received) < kPlainScanStart.size() &&
         kPlainScanStart.starts_with(std::string_view(buffer, static_cast<size_t>(received)))) {
    ssize_t more = Receive(buffer + received, kReceiveChunkSize - static_cast<size_t>(received));
    if (more < 0) return more;
    if (more == 0) break;
    received += more;
  }
  return received;
}

void Connection::SendReply(const ReplyRecordBytes& record) {
  size_t sent = 0;
  while (sent < record.size()) {
    ssize_t result = send(socket_, record.data() + sent, record.size() - sent, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    // A client that cannot take the reply fails at its data, which is
    // handled there.
    if (result <= 0) return;
    sent += static_cast<size_t>(result);
  }
}

std::optional<std::string> Connection::PeerAddressLine() const {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET) {
    return std::nullopt;
  }
  // Network byte order: the first octet comes first in memory.
  std::array<uint8_t, 4> octets;
  static_assert(sizeof peer.sin_addr.s_addr == octets.size());
  std::memcpy(octets.data(), &peer.sin_addr.s_addr, octets.size());
  return ConnectionAddressLine(octets);
}

void Connection::Run() {
  std::optional<std::string> packet = ReceiveRequest();
  if (!packet) return;
  if (!context_.is_running()) {
    reset_ = true;  // stopping: the request goes unanswered
    return;
  }
  ScanRequest request = ParseScanRequest(*packet);
  XTRACE("TCP request type 0x%04X, %d bytes, device ID %s", request.type_word,
         static_cast<int>(packet->size()),
         request.device_id ? request.device_id->c_str() : "(none)");
  bool taken = true;
  switch (request.type_word) {
    case kFullScanRequest:
      taken = ReceiveFullScan(request, false);
      break;
    case kMiniScanRequest:
      if (settings_.ignore_mini_scans == 0) {
        // The type word took two bytes, so the payload follows them.
        taken = ReceiveMiniScan(std::string_view(*packet).substr(2));
      }
      break;
    default:
      ReportEventWithoutInserts(nullptr, diag::kMsgTcpInvalidScan, diag::kKindWarning);
      taken = ReceiveFullScan(request, true);
      break;
  }
  if (!taken) reset_ = true;
}

ReplyRecordBytes Connection::ReplyFor(const ScanRequest& request) const {
  const service::Configuration& configuration = context_.configuration;
  ReplyOptions options;
  options.do_delta = settings_.do_delta != 0;
  options.disable_encryption = settings_.disable_encryption != 0;
  if (request.device_id) {
    options.bad_device_id = configuration.bad_device_ids.Contains(*request.device_id);
    options.force_full_scan = configuration.force_full_scans.Contains(*request.device_id);
  }
  return BuildReplyRecord(ReplyOptionFlags(options), context_.software_scan_frequency.load(),
                          settings_.logon_depth);
}

Connection::StreamOutcome Connection::ReceiveStream(std::string_view first_chunk,
                                                    uint64_t text_limit, ScanFileWriter& file) {
  StreamOutcome outcome;
  outcome.compressed = !IsPlainScanText(first_chunk);
  std::optional<ScanInflater> inflater;
  if (outcome.compressed) inflater.emplace();
  std::string line_buffer;
  line_buffer.reserve(outcome.compressed ? kInitialCompressedLineBuffer : kInitialPlainLineBuffer);
  uint64_t& written = outcome.written;

  char chunk[kReceiveChunkSize];
  std::string_view received = first_chunk;
  outcome.last_received = static_cast<ssize_t>(first_chunk.size());
  while (outcome.last_received > 0) {
    std::string_view decoded = received;
    if (inflater) {
      if (inflater->Feed(received) == ScanInflater::Result::kError) break;
      decoded = inflater->decoded();
    }
    line_buffer.clear();
    AppendScanFileText(decoded, line_buffer);
    // Counted after the conversion, which doubles a text of line ends: the
    // bound is on what reaches the disk.
    const bool too_big = line_buffer.size() > text_limit - written;
    if (too_big) line_buffer.resize(static_cast<size_t>(text_limit - written));
    if (context_.is_running()) {
      try {
        file.Write(line_buffer);
      } catch (const platform::OsError& error) {
        outcome.local_error = error.error_number();
        outcome.file_failed = true;
        break;
      }
    }
    written += line_buffer.size();
    if (too_big) {
      outcome.local_error = EFBIG;
      break;
    }
    outcome.last_received = Receive(chunk);
    if (timed_out_) outcome.local_error = ETIMEDOUT;
    received = std::string_view(chunk, std::max<ssize_t>(outcome.last_received, 0));
  }
  outcome.stream_complete = !inflater || inflater->finished();
  return outcome;
}

bool Connection::ReceiveFullScan(const ScanRequest& request, bool into_error_scan) {
  SendReply(ReplyFor(request));
  std::optional<std::string> address_line;
  if (settings_.use_connection_address != 0) address_line = PeerAddressLine();

  if (!context_.is_running()) return false;
  char first_chunk[kReceiveChunkSize];
  ssize_t received = ReceiveFirstChunk(first_chunk);
  // A client that closes without sending data has no scan to lose.
  if (received <= 0) return received == 0;

  const std::string& directory = into_error_scan ? storage_.error_scan : storage_.root;
  std::optional<ScanFileWriter> file;
  try {
    file.emplace(CreateUniqueFile(directory, settings_.scan_file_prefix, kScanExtension));
  } catch (const platform::OsError& error) {
    // Without a file there is nothing to keep; the administrator learns why.
    XTRACE("No scan file: %s", error.what());
    ReportNetworkEvent(diag::kMsgTcpReceiveError, diag::kKindError, error.error_number());
    return false;
  }

  // The address line counts towards the bound, so the file never passes it.
  const uint64_t file_limit = 2ull * settings_.max_scan_file_size;
  const uint64_t address_size = address_line ? address_line->size() : 0;
  const uint64_t text_limit = file_limit > address_size ? file_limit - address_size : 0;
  StreamOutcome outcome = ReceiveStream(
      std::string_view(first_chunk, static_cast<size_t>(received)), text_limit, *file);
  try {
    if (address_line && !outcome.file_failed && outcome.written + address_size <= file_limit) {
      file->Write(*address_line);
    }
    if (outcome.local_error == 0 && context_.is_running() && outcome.last_received == 0 &&
        outcome.stream_complete) {
      file->SyncAndClose();
      std::string final_path =
          RenameToFinalName(file->path(), settings_.scan_file_prefix, kScanExtension);
      XTRACE("Scan received into %s", final_path.c_str());
      if (into_error_scan) error_directories_.Added(final_path);
      return true;
    }
    file->Close();
  } catch (const platform::OsError& error) {
    XTRACE("Scan file not completed: %s", error.what());
    if (outcome.local_error == 0) outcome.local_error = error.error_number();
    file->Close();  // a no-op when closing was what failed
  }

  const std::string& path = file->path();
  if (outcome.local_error != 0) {
    ReportNetworkEvent(diag::kMsgTcpReceiveError, diag::kKindError, outcome.local_error);
    SetAsideFailedScan(path, into_error_scan);
  } else if (!outcome.stream_complete) {
    unlink(path.c_str());
    ReportEventWithoutInserts(kFaultyPacketAlert, diag::kMsgFaultyPacket, diag::kKindError);
  } else if (network_error_ == ECONNRESET && settings_.ignore_connection_reset != 0) {
    unlink(path.c_str());
  } else {
    ReportNetworkEvent(diag::kMsgTcpReceiveError, diag::kKindError, network_error_);
    SetAsideFailedScan(path, into_error_scan);
  }
  return false;
}

void Connection::SetAsideFailedScan(const std::string& path, bool into_error_scan) {
  if (into_error_scan) {
    error_directories_.Added(path);
    return;
  }
  try {
    EnsureDirectory(storage_.error_trans);
    error_directories_.Added(
        MoveToUniqueName(path, storage_.error_trans, settings_.scan_file_prefix, kScanExtension));
  } catch (const platform::OsError& error) {
    // The ".tmp" name keeps it out of the queue; it stays for the
    // administrator.
    XTRACE("Failed scan stays as %s: %s", path.c_str(), error.what());
  }
}

bool Connection::ReceiveMiniScan(std::string_view payload) {
  std::string text = MiniScanFileText(payload);
  std::optional<ScanFileWriter> file;
  int error_number = 0;
  try {
    file.emplace(CreateUniqueFile(storage_.root, kMiniScanPrefix, kMiniScanExtension));
    file->Write(text);
    file->SyncAndClose();
    if (context_.is_running()) {
      RenameToFinalName(file->path(), kMiniScanPrefix, kMiniScanExtension);
      return true;
    }
  } catch (const platform::OsError& error) {
    XTRACE("Mini scan not written: %s", error.what());
    error_number = error.error_number();
  }
  ReportNetworkEvent(diag::kMsgTcpReceiveError, diag::kKindError, error_number);
  if (!file) return false;
  try {
    file->Close();
    EnsureDirectory(storage_.error_trans);
    error_directories_.Added(
        MoveToUniqueName(file->path(), storage_.error_trans, kMiniScanPrefix, kMiniScanExtension));
  } catch (const platform::OsError& error) {
    XTRACE("Failed mini scan stays as %s: %s", file->path().c_str(), error.what());
  }
  return false;
}

struct ConnectionStart {
  std::shared_ptr<TcpReceiverShared> shared;
  int socket;
  uint32_t peer_address;  // network byte order
};

void* RunConnectionThread(void* argument) {
  std::unique_ptr<ConnectionStart> start(static_cast<ConnectionStart*>(argument));
  try {
    TcpReceiverShared& shared = *start->shared;
    Connection(shared.context, shared.storage, *shared.error_directories, start->socket).Run();
  } catch (const std::exception& error) {
    XTRACE("TCP connection ended by %s", error.what());
  } catch (...) {
  }
  start->shared->ConnectionEnded(start->peer_address);
  return nullptr;
}

bool StartConnectionThread(const std::shared_ptr<TcpReceiverShared>& shared, int socket,
                           uint32_t peer_address) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kConnectionThreadStackSize);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto start = std::make_unique<ConnectionStart>(ConnectionStart{shared, socket, peer_address});
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, RunConnectionThread, start.get());
  pthread_attr_destroy(&attributes);
  if (result != 0) return false;
  start.release();  // the thread owns it now
  return true;
}

void RunAcceptLoop(const std::shared_ptr<TcpReceiverShared>& shared) {
  ServerContext& context = shared->context;
  while (context.is_running()) {
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    int socket = accept4(shared->listen_socket, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                         SOCK_CLOEXEC);
    if (socket < 0) {
      int error = errno;
      if (shared->closing) break;
      if (IsTransientAcceptError(error)) continue;
      if (IsResourceShortage(error)) {
        XTRACE("TCP accept waits for resources: error %d", error);
        std::this_thread::sleep_for(kResourceShortagePause);
        continue;
      }
      if (context.is_running()) {
        ReportNetworkEvent(diag::kMsgTcpInitFailed, diag::kKindError, error);
      }
      break;
    }
    if (!context.is_running()) {
      close(socket);
      break;
    }
    const uint32_t address = peer.sin_addr.s_addr;
    XTRACE("TCP connection from %s", xtrace::AddressText(address));
    const service::Settings& settings = context.settings();
    switch (shared->TryReserveConnection(address, MaxConnections(settings),
                                         MaxConnectionsPerAddress(settings))) {
      case TcpReceiverShared::Admission::kAdmitted:
        break;
      case TcpReceiverShared::Admission::kServerFull:
        XTRACE("TCP connection from %s refused: %d connections run already",
               xtrace::AddressText(address), static_cast<int>(MaxConnections(settings)));
        ResetAndClose(socket);
        continue;
      case TcpReceiverShared::Admission::kAddressFull:
        XTRACE("TCP connection from %s refused: %d connections from it run already",
               xtrace::AddressText(address), static_cast<int>(MaxConnectionsPerAddress(settings)));
        ResetAndClose(socket);
        continue;
    }
    if (!StartConnectionThread(shared, socket, address)) {
      shared->ConnectionEnded(address);
      ResetAndClose(socket);
      ReportEventWithoutInserts(nullptr, diag::kMsgTcpThreadFailed, diag::kKindWarning);
    }
  }
}

}  // namespace

TcpReceiver::TcpReceiver(ServerContext& context, TcpReceiverOptions options)
    : shared_(std::make_shared<TcpReceiverShared>(context, options)) {}

TcpReceiver::~TcpReceiver() { Close(); }

bool TcpReceiver::SetUp() {
  const service::Settings& settings = shared_->context.settings();
  // The BSD socket layer needs no start-up, so event 2060 has no cause here.
  int listen_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_socket < 0) {
    ReportNetworkEvent(diag::kMsgTcpSocketFailed, diag::kKindWarning, errno);
    return false;
  }
  shared_->listen_socket = listen_socket;
  // A restarted server must not wait for the old connections' TIME_WAIT;
  // on Linux this never lets two listeners share the port.
  int on = 1;
  setsockopt(listen_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(settings.tcp_port & 0xFFFF));
  address.sin_addr.s_addr = htonl(shared_->options.loopback_only ? INADDR_LOOPBACK : INADDR_ANY);
  if (bind(listen_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ReportNetworkEvent(diag::kMsgTcpBindFailed, diag::kKindWarning, errno);
    return false;
  }
  if (listen(listen_socket, kListenBacklog) != 0) {
    ReportNetworkEvent(diag::kMsgTcpListenFailed, diag::kKindWarning, errno);
    return false;
  }
  setsockopt(listen_socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  socklen_t length = sizeof address;
  if (getsockname(listen_socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    shared_->port = ntohs(address.sin_port);
  }

  try {
    accept_thread_ =
        std::make_unique<platform::Thread>([shared = shared_] { RunAcceptLoop(shared); });
  } catch (const std::exception&) {
    ReportEventWithoutInserts(nullptr, diag::kMsgTcpThreadFailed, diag::kKindWarning);
    ReportAnEvent(diag::kApplicationName, diag::kMsgOutOfMemory, diag::kKindError, nullptr);
    std::_Exit(1);
  }
  return true;
}

void TcpReceiver::Close() {
  shared_->closing = true;
  int listen_socket = shared_->listen_socket;
  if (listen_socket >= 0) {
    linger at_once{1, 0};
    setsockopt(listen_socket, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
    // Closing alone leaves a blocked accept waiting; shutting the socket
    // down wakes it.
    shutdown(listen_socket, SHUT_RDWR);
  }
  if (accept_thread_) {
    if (!accept_thread_->Join(kAcceptThreadCloseWaitMs)) {
      // Still inside accept: closing now could hand it a reused descriptor.
      XTRACE("TCP accept thread did not end; its socket stays open");
      accept_thread_.reset();
      shared_->listen_socket = -1;
      return;
    }
    accept_thread_.reset();
  }
  if (listen_socket >= 0) close(listen_socket);
  shared_->listen_socket = -1;
  shared_->port = 0;
}

uint16_t TcpReceiver::port() const { return shared_->port; }

size_t TcpReceiver::ActiveConnections() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->active;
}

bool TcpReceiver::WaitForConnections(uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  return shared_->idle.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [this] { return shared_->active == 0; });
}

}  // namespace corvane::intake
