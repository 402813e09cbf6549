#include "intake/datagram_intake.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>

#include "Common/Include/xtrace.h"
#include "diag/catalogue.h"
#include "intake/datagram_protocol.h"
#include "intake/packet_assembler.h"
#include "intake/scan_protocol.h"
#include "intake/storage.h"
#include "notifex/notifex.h"
#include "platform/error.h"
#include "scan/packet_set.h"

namespace corvane::intake {
namespace {

using diag::ReportNetworkEvent;

constexpr char kOutOfMemoryAlert[] = "Out of Memory";
// How long one receive waits before the thread looks at the running flag.
constexpr time_t kReceivePollSeconds = 1;

[[noreturn]] void ExitOutOfMemory() {
  ReportAnEvent(diag::kApplicationName, diag::kMsgOutOfMemory, diag::kKindError, nullptr);
  std::_Exit(1);
}

uint64_t SteadySeconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

AssemblerLimits LimitsFor(const service::Settings& settings, const DatagramIntakeOptions& options) {
  AssemblerLimits limits;
  limits.max_set_packets = MaxSetPacketsFor(settings.max_scan_file_size);
  limits.max_incomplete_sets = options.max_incomplete_scans != 0 ? options.max_incomplete_scans
                                                                 : kMaxIncompleteDatagramScans;
  limits.max_buffered_bytes =
      options.max_buffered_bytes != 0 ? options.max_buffered_bytes : kMaxBufferedDatagramBytes;
  return limits;
}

}  // namespace

// A queued datagram request: who asked and where the reply goes.
struct DatagramRequest {
  SenderKey sender;
  sockaddr_in destination{};
};

struct DatagramIntakeShared {
  DatagramIntakeShared(service::ServerContext& context, DatagramIntakeOptions options)
      : context(context),
        options(std::move(options)),
        storage(StorageDirectoriesFor(context.program_directory)),
        assembler(LimitsFor(context.settings(), this->options)) {
    if (!this->options.clock) this->options.clock = SteadySeconds;
  }

  // The packet handler: the acknowledgement to send back, if any.
  std::optional<std::array<uint8_t, kAcknowledgementSize>> HandleDatagram(
      const SenderKey& sender, const sockaddr_in& from, std::string_view datagram);
  void AddRequest(const SenderKey& sender, const sockaddr_in& from);
  // False when the packet was refused. `dropped`: the sender of a set the
  // packet made the assembler give up, to be reported once the locks are
  // released.
  bool AssemblePacket(const SenderKey& sender, const DatagramHeader& header,
                      std::string_view payload, std::optional<SenderKey>& dropped);
  std::optional<CompleteSet> TakeScan();
  void AnswerOneRequest();

  service::ServerContext& context;
  DatagramIntakeOptions options;
  // Its own copy: server start fills context.storage only after the
  // listeners are up, while datagrams may already arrive.
  const service::StorageDirectories storage;

  std::atomic<int> udp_socket{-1};
  std::atomic<bool> udp_closing{false};
  std::atomic<uint16_t> udp_port{0};

  std::optional<platform::Semaphore> scan_semaphore;
  std::optional<platform::Semaphore> request_semaphore;

  mutable std::mutex request_mutex;  // first
  std::deque<DatagramRequest> requests;
  mutable std::mutex assembly_mutex;  // second
  PacketAssembler assembler;
  mutable std::mutex scan_queue_mutex;  // third
  std::deque<CompleteSet> scan_queue;
  size_t queued_bytes = 0;
};

std::optional<std::array<uint8_t, kAcknowledgementSize>> DatagramIntakeShared::HandleDatagram(
    const SenderKey& sender, const sockaddr_in& from, std::string_view datagram) {
  // A datagram shorter than its header has no fields to go by.
  std::optional<DatagramHeader> header = ParseDatagramHeader(datagram);
  if (!header) return std::nullopt;
  std::string_view payload = datagram.substr(kDatagramHeaderSize);

  std::optional<std::array<uint8_t, kAcknowledgementSize>> acknowledgement;
  std::optional<SenderKey> dropped;
  {
    std::lock_guard<std::mutex> request_lock(request_mutex);
    try {
      if (header->type == kDatagramScanData && header->sequence != 0) {
        if (PayloadChecksum(payload) != header->checksum) return std::nullopt;
        if (AssemblePacket(sender, *header, payload, dropped)) {
          acknowledgement = AcknowledgementOf(datagram);
        }
      } else if (header->type == kDatagramRequest ||
                 (header->type == kDatagramScanData && header->checksum <= kMaxRequestChecksum)) {
        AddRequest(sender, from);
      }
    } catch (const std::bad_alloc&) {
      ReportAnEventEx(diag::kApplicationName, kOutOfMemoryAlert, diag::kServerSinks,
                      diag::kMsgOutOfMemory, diag::kKindError, nullptr);
    }
  }
  // Outside the locks: the event library writes files.
  if (dropped) diag::ReportLastPacketNotSent(SenderName(*dropped));
  return acknowledgement;
}

void DatagramIntakeShared::AddRequest(const SenderKey& sender, const sockaddr_in& from) {
  for (const DatagramRequest& queued : requests) {
    if (queued.sender == sender) return;
  }
  // The semaphore counts at most this many; more would never be answered.
  if (requests.size() >= kMaxQueuedRequests) return;
  requests.push_back(DatagramRequest{sender, from});
  request_semaphore->Release();
}

bool DatagramIntakeShared::AssemblePacket(const SenderKey& sender, const DatagramHeader& header,
                                          std::string_view payload,
                                          std::optional<SenderKey>& dropped) {
  std::lock_guard<std::mutex> assembly_lock(assembly_mutex);
  std::lock_guard<std::mutex> queue_lock(scan_queue_mutex);
  if (queued_bytes >= kMaxQueuedDatagramBytes) {
    XTRACE("Datagram scan queue full: packet %d from %s refused", header.sequence,
           SenderName(sender).c_str());
    return false;
  }
  PacketAssembler::Outcome outcome =
      assembler.Add(sender, header.total, header.sequence, payload, options.clock());
  dropped = outcome.dropped;
  if (outcome.result == PacketAssembler::Result::kRefused) {
    XTRACE("Datagram packet %d of %d from %s refused", header.sequence, header.total,
           SenderName(sender).c_str());
    return false;
  }
  if (outcome.completed) {
    queued_bytes += outcome.completed->bytes;
    scan_queue.push_back(std::move(*outcome.completed));
    scan_semaphore->Release();
  }
  return true;
}

std::optional<CompleteSet> DatagramIntakeShared::TakeScan() {
  std::lock_guard<std::mutex> lock(scan_queue_mutex);
  if (scan_queue.empty()) return std::nullopt;
  CompleteSet set = std::move(scan_queue.front());
  scan_queue.pop_front();
  queued_bytes -= set.bytes;
  return set;
}

void DatagramIntakeShared::AnswerOneRequest() {
  DatagramRequest request;
  ReplyRecordBytes record;
  {
    std::lock_guard<std::mutex> lock(request_mutex);
    if (requests.empty()) return;
    request = requests.front();
    requests.pop_front();
    const service::Settings& settings = context.settings();
    record = BuildReplyRecord(DatagramReplyFlags(settings.do_delta != 0),
                              context.software_scan_frequency.load(), settings.logon_depth);
  }
  int socket = udp_socket;
  if (request.sender.transport != Transport::kUdp || socket < 0) return;
  // A reply that cannot be sent is lost; the scanner asks again.
  sendto(socket, record.data(), record.size(), MSG_NOSIGNAL,
         reinterpret_cast<const sockaddr*>(&request.destination), sizeof request.destination);
}

namespace {

void RunUdpReceive(const std::shared_ptr<DatagramIntakeShared>& shared, int socket) {
  service::ServerContext& context = shared->context;
  // A longer datagram is cut to this size; its checksum then tells.
  std::array<char, kMaxDatagramSize> buffer;
  while (context.is_running() && !shared->udp_closing) {
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    ssize_t received = recvfrom(socket, buffer.data(), buffer.size(), 0,
                                reinterpret_cast<sockaddr*>(&from), &from_length);
    if (shared->udp_closing) break;
    if (received < 0) {
      int error = errno;
      if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) continue;
      if (context.is_running()) {
        ReportNetworkEvent(diag::kMsgUdpReceiveFailed, diag::kKindError, error);
      }
      break;
    }
    if (from.sin_family != AF_INET) continue;
    std::array<uint8_t, 4> octets;
    std::memcpy(octets.data(), &from.sin_addr.s_addr, octets.size());
    auto acknowledgement =
        shared->HandleDatagram(SenderKey::Udp(octets), from,
                               std::string_view(buffer.data(), static_cast<size_t>(received)));
    if (acknowledgement) {
      sendto(socket, acknowledgement->data(), acknowledgement->size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&from), from_length);
    }
  }
}

void RunScanWriter(const std::shared_ptr<DatagramIntakeShared>& shared) {
  service::ServerContext& context = shared->context;
  while (context.is_running()) {
    int signalled =
        platform::WaitForAny({&*shared->scan_semaphore, &context.worker_stop}, platform::kInfinite);
    if (signalled != 0) break;
    std::optional<CompleteSet> set = shared->TakeScan();
    if (!set) continue;
    try {
      scan::WritePacketSetAsScan(set->packets, shared->storage.root,
                                 context.settings().scan_file_prefix);
    } catch (const std::exception& error) {
      XTRACE("Datagram scan from %s lost: %s", SenderName(set->sender).c_str(), error.what());
    }
  }
}

void RunRequestReply(const std::shared_ptr<DatagramIntakeShared>& shared) {
  service::ServerContext& context = shared->context;
  context.started.Wait(platform::kInfinite);
  while (context.is_running()) {
    shared->request_semaphore->Wait(platform::kInfinite);
    if (!context.is_running()) break;
    shared->AnswerOneRequest();
  }
}

std::unique_ptr<platform::Thread> StartThreadOrExit(std::function<void()> body) {
  try {
    return std::make_unique<platform::Thread>(std::move(body));
  } catch (const std::system_error&) {
    ExitOutOfMemory();
  }
}

}  // namespace

DatagramIntake::DatagramIntake(service::ServerContext& context, DatagramIntakeOptions options)
    : shared_(std::make_shared<DatagramIntakeShared>(context, std::move(options))) {
  try {
    shared_->scan_semaphore.emplace(0);
    shared_->request_semaphore.emplace(0);
  } catch (const platform::OsError& error) {
    XTRACE("Datagram semaphores not created: %s", error.what());
    ExitOutOfMemory();
  }
}

DatagramIntake::~DatagramIntake() { CloseUdp(); }

bool DatagramIntake::SetUpIpx() {
  // No IPX on this system: the socket cannot be created, which fails the
  // set-up without an event.
  XTRACE("No IPX transport: IPX datagram intake is not running");
  return false;
}

bool DatagramIntake::SetUpUdp() {
  const service::Settings& settings = shared_->context.settings();
  // The BSD socket layer needs no start-up, so event 2054 has no cause here.
  int udp_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (udp_socket < 0) {
    ReportNetworkEvent(diag::kMsgUdpSocketFailed, diag::kKindWarning, errno);
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(settings.udp_port & 0xFFFF));
  address.sin_addr.s_addr = htonl(shared_->options.loopback_only ? INADDR_LOOPBACK : INADDR_ANY);
  if (bind(udp_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ReportNetworkEvent(diag::kMsgUdpBindFailed, diag::kKindWarning, errno);
    close(udp_socket);
    return false;
  }
  // Blocking, but never for longer than a poll period, so the thread sees
  // the running flag drop even when no datagram comes.
  timeval timeout{kReceivePollSeconds, 0};
  setsockopt(udp_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(udp_socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  socklen_t length = sizeof address;
  if (getsockname(udp_socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    shared_->udp_port = ntohs(address.sin_port);
  }
  shared_->udp_closing = false;
  shared_->udp_socket = udp_socket;
  udp_thread_ =
      StartThreadOrExit([shared = shared_, udp_socket] { RunUdpReceive(shared, udp_socket); });
  return true;
}

void DatagramIntake::StartScanWriter() {
  writer_thread_ = StartThreadOrExit([shared = shared_] { RunScanWriter(shared); });
}

void DatagramIntake::StartRequestReply() {
  reply_thread_ = StartThreadOrExit([shared = shared_] { RunRequestReply(shared); });
}

void DatagramIntake::ReleaseWaiters() {
  shared_->scan_semaphore->Release();
  shared_->request_semaphore->Release();
}

bool DatagramIntake::JoinScanWriter(uint32_t timeout_ms) {
  return !writer_thread_ || writer_thread_->Join(timeout_ms);
}

bool DatagramIntake::JoinRequestReply(uint32_t timeout_ms) {
  return !reply_thread_ || reply_thread_->Join(timeout_ms);
}

void DatagramIntake::CloseIpx() {
  // Nothing is ever opened for IPX here.
}

void DatagramIntake::CloseUdp() {
  int udp_socket = shared_->udp_socket;
  if (udp_socket < 0) return;
  shared_->udp_closing = true;
  // Shutting the socket down wakes a receive that waits.
  shutdown(udp_socket, SHUT_RDWR);
  if (udp_thread_ && !udp_thread_->Join(kUdpReceiveCloseWaitMs)) {
    // Still inside a receive: closing now could hand it a reused descriptor.
    XTRACE("UDP receive thread did not end; its socket stays open");
    udp_thread_.reset();
    shared_->udp_socket = -1;
    return;
  }
  udp_thread_.reset();
  shared_->udp_socket = -1;
  shared_->udp_port = 0;
  close(udp_socket);
}

void DatagramIntake::EmptyQueues() {
  {
    std::lock_guard<std::mutex> lock(shared_->scan_queue_mutex);
    shared_->scan_queue.clear();
    shared_->queued_bytes = 0;
  }
  std::lock_guard<std::mutex> lock(shared_->request_mutex);
  shared_->requests.clear();
}

std::vector<std::string> DatagramIntake::DropStaleScans(uint32_t max_age_seconds) {
  std::vector<SenderKey> dropped;
  {
    std::lock_guard<std::mutex> lock(shared_->assembly_mutex);
    dropped = shared_->assembler.DropOlderThan(shared_->options.clock(), max_age_seconds);
  }
  std::vector<std::string> names;
  names.reserve(dropped.size());
  for (const SenderKey& sender : dropped) names.push_back(SenderName(sender));
  return names;
}

uint16_t DatagramIntake::udp_port() const { return shared_->udp_port; }

size_t DatagramIntake::IncompleteScans() const {
  std::lock_guard<std::mutex> lock(shared_->assembly_mutex);
  return shared_->assembler.incomplete_sets();
}

size_t DatagramIntake::QueuedScans() const {
  std::lock_guard<std::mutex> lock(shared_->scan_queue_mutex);
  return shared_->scan_queue.size();
}

size_t DatagramIntake::QueuedRequests() const {
  std::lock_guard<std::mutex> lock(shared_->request_mutex);
  return shared_->requests.size();
}

}  // namespace corvane::intake
