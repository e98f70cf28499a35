#include "files/StandardHandles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tamarind {

bool OpenClosedStandardHandles() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int mode = fd == STDIN_FILENO ? O_WRONLY : O_RDONLY;
    // The lowest free handle is the one closed, as the lower ones are open.
    // Without /dev/null (a bare chroot), the root folder serves as well:
    // reading or writing a folder's handle fails too.
    int opened = ::open("/dev/null", mode | O_NOCTTY);
    if (opened < 0) opened = ::open("/", O_RDONLY | O_DIRECTORY);
    if (opened < 0) return false;
    if (opened != fd) {
      const bool moved = ::dup2(opened, fd) == fd;
      ::close(opened);
      if (!moved) return false;
    }
  }
  return true;
}

}  // namespace tamarind
