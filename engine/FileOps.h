// FileOps: the system calls through which the engine reads, writes and
// replaces files. Tests replace entries to make one step fail and check that
// the user's files come through whole; everything else uses the system's own.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>

namespace tamarind {

struct FileOps {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buffer, size_t size);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*link)(const char* from, const char* to);
  int (*fchmod)(int fd, mode_t mode);
  int (*futimens)(int fd, const struct timespec times[2]);
  int (*syncfs)(int fd);
};

// The system's own calls.
FileOps SystemFileOps();

// The table in use, for the whole process. Change it only while no run is
// going on.
FileOps& Ops();

}  // namespace tamarind
