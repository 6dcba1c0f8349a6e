#include "sim_front_pty.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim_module_program.h"

namespace kvsim {

PtyTransport::~PtyTransport() {
  drop(DropMode::Close);
  if (!link_.empty()) unlink(link_.c_str());
}

bool PtyTransport::open(std::string* error) {
  if (!makePty(error)) return false;
  say("PTY " + slavePath_);
  return true;
}

void PtyTransport::drop(DropMode) {
  if (!link_.empty()) unlink(link_.c_str());
  if (data_ >= 0) close(data_);
  if (slave_ >= 0) close(slave_);
  data_ = slave_ = -1;
}

bool PtyTransport::comeBack() {
  std::string error;
  if (data_ >= 0) return true;
  if (!makePty(&error)) {
    complain(error);
    return false;
  }
  say("PTY " + slavePath_);
  return true;
}

bool PtyTransport::makePty(std::string* error) {
  char name[256] = {};
  if (openpty(&data_, &slave_, name, nullptr, nullptr) != 0) {
    *error = std::string("openpty failed: ") + std::strerror(errno);
    return false;
  }
  fcntl(data_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  fcntl(data_, F_SETFL, fcntl(data_, F_GETFL) | O_NONBLOCK);
  // The module keeps the slave open itself, so the master never sees a hang-up while the
  // host closes and reopens the port.
  termios settings{};
  tcgetattr(slave_, &settings);
  cfmakeraw(&settings);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = node_ ? kNodeReadWaitDeciseconds : 0;
  tcsetattr(slave_, TCSANOW, &settings);
  slavePath_ = name;
  if (!link_.empty()) {
    std::string temporary = link_ + ".new";
    unlink(temporary.c_str());
    if (symlink(slavePath_.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), link_.c_str()) != 0) {
      *error = "cannot make the link " + link_ + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace kvsim
