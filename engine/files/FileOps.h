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
  // Every flush to disk goes through one of these two: fsync for one file or
  // folder, syncfs for everything written to a whole file system.
  int (*fsync)(int fd);
  int (*syncfs)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*link)(const char* from, const char* to);
  // Gives a name to a file made without one (O_TMPFILE): `fd` with
  // AT_EMPTY_PATH, or its /proc/self/fd entry.
  int (*linkat)(int fromDir, const char* from, int toDir, const char* to, int flags);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*fsetxattr)(int fd, const char* name, const void* value, size_t size, int flags);
  int (*ftruncate)(int fd, off_t length);
  int (*futimens)(int fd, const struct timespec times[2]);
};

// The system's own calls.
FileOps SystemFileOps();

// The table in use, for the whole process. Change it only while no run is
// going on.
FileOps& Ops();

// Helpers over the table, shared by the engine's files.
// open(), retried when a signal interrupts it.
int OpenRetrying(const char* name, int flags, mode_t mode = 0);
// Writes all of the bytes or throws EInOutError (101 when the disk is full).
void WriteAll(int fd, const char* data, size_t size);
// close(), throwing EInOutError when it reports a failure.
void CloseChecked(int fd);

}  // namespace tamarind
