// Preloaded into mtsimport by its tests: /dev/shm as a file system that is
// small or full, or read-only, without touching the machine's own. With
// AVCHD_TEST_SHM_ROOM=N a write or allocation in a region past its first N
// bytes fails with ENOSPC (a write that straddles them writes what fits),
// as a full tmpfs fails it; with
// AVCHD_TEST_SHM_READONLY set, a region opened to be created or written
// fails with EROFS; with AVCHD_TEST_SHM_NO_FALLOCATE set, fallocate is
// refused with EOPNOTSUPP, as on a file system that lacks it; with
// AVCHD_TEST_SHM_NO_MAP set, mapping a region fails with ENOMEM, as when
// the address space allowed (ulimit -v) is used up.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Whether `fd` is open on a region of /dev/shm.
bool InShm(int fd) {
  char link[64], path[256];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, path, sizeof path - 1);
  if (n < 0) return false;
  path[n] = '\0';
  return std::strncmp(path, "/dev/shm/", 9) == 0;
}

// The room given for a region of /dev/shm open on `fd`; -1 for no limit.
off_t Room(int fd) {
  const char* room = std::getenv("AVCHD_TEST_SHM_ROOM");
  return room != nullptr && InShm(fd) ? std::atoll(room) : -1;
}

// Whether bytes up to `end` of the file at `fd` lie beyond the room given.
bool PastRoom(int fd, off_t end) {
  const off_t room = Room(fd);
  if (room < 0 || end <= room) return false;
  errno = ENOSPC;
  return true;
}

}  // namespace

extern "C" int shm_open(const char* name, int flags, mode_t mode) {
  if (std::getenv("AVCHD_TEST_SHM_READONLY") && (flags & (O_CREAT | O_RDWR | O_WRONLY))) {
    errno = EROFS;
    return -1;
  }
  return Next<int (*)(const char*, int, mode_t)>("shm_open")(name, flags, mode);
}

// A write that only partly fits writes what fits and says how much, as a
// full tmpfs does; the next one fails.
extern "C" ssize_t pwrite(int fd, const void* data, size_t n, off_t at) {
  const int saved = errno;
  if (PastRoom(fd, at + off_t(n))) {
    const off_t room = Room(fd);
    if (at >= room) return -1;
    n = size_t(room - at);
    errno = saved;  // a short count sets no error
  }
  return Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, n, at);
}

extern "C" ssize_t pwrite64(int fd, const void* data, size_t n, off_t at) { return pwrite(fd, data, n, at); }

extern "C" int fallocate(int fd, int mode, off_t at, off_t n) {
  if (std::getenv("AVCHD_TEST_SHM_NO_FALLOCATE")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (PastRoom(fd, at + n)) return -1;
  return Next<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, at, n);
}

extern "C" int fallocate64(int fd, int mode, off_t at, off_t n) { return fallocate(fd, mode, at, n); }

extern "C" void* mmap(void* at, size_t n, int prot, int flags, int fd, off_t offset) {
  if (std::getenv("AVCHD_TEST_SHM_NO_MAP") && fd >= 0 && InShm(fd)) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return Next<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(at, n, prot, flags, fd, offset);
}

extern "C" void* mmap64(void* at, size_t n, int prot, int flags, int fd, off_t offset) {
  return mmap(at, n, prot, flags, fd, offset);
}
