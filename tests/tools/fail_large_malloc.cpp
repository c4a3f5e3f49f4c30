// Preloaded into a tool by its tests: every allocation of 1 MiB or more
// fails, as it does once a memory limit is reached; smaller ones are
// served as usual.
#include <cerrno>
#include <cstddef>

extern "C" void* __libc_malloc(size_t size);

extern "C" void* malloc(size_t size) {
  if (size >= (size_t{1} << 20)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}
