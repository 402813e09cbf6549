#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace corvane::platform {

std::string FormatMessageBox(std::string_view caption, std::string_view text, MessageIcon icon) {
  const char* word = icon == MessageIcon::kError     ? "Error"
                     : icon == MessageIcon::kWarning ? "Warning"
                                                     : "Information";
  std::string box = "[";
  box += caption;
  box += "] ";
  box += word;
  box += ": ";
  box += text;
  if (box.back() != '\n') box += '\n';
  return box;
}

bool ShowOnTerminal(std::string_view caption, std::string_view text, MessageIcon icon) {
  int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string box = FormatMessageBox(caption, text, icon);
  size_t done = 0;
  while (done < box.size()) {
    ssize_t put = write(fd, box.data() + done, box.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += static_cast<size_t>(put);
  }
  close(fd);
  return done == box.size();
}

bool WaitForEnterOr(std::initializer_list<Waitable*> others) {
  bool watch_input = true;
  std::vector<pollfd> fds;
  for (Waitable* other : others) fds.push_back({other->descriptor(), POLLIN, 0});
  const size_t input = fds.size();
  fds.push_back({STDIN_FILENO, POLLIN, 0});
  for (;;) {
    for (pollfd& fd : fds) fd.revents = 0;
    int ready = poll(fds.data(), watch_input ? fds.size() : input, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (size_t i = 0; i < input; ++i) {
      if (fds[i].revents != 0) return false;
    }
    if (watch_input && fds[input].revents != 0) {
      char buffer[256];
      ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        watch_input = false;
        continue;
      }
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] == '\n') return true;
      }
    }
  }
}

}  // namespace corvane::platform
