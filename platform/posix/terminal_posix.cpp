#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

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

bool WaitForEnterOr(Waitable& other) {
  bool watch_input = true;
  for (;;) {
    pollfd fds[2] = {{other.descriptor(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int ready = poll(fds, watch_input ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents != 0) return false;
    if (watch_input && fds[1].revents != 0) {
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
