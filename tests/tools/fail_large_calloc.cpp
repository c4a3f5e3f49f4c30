// Preloaded into h264dec by its tests: every zeroed allocation of 1 MiB or
// more fails, as the decoder library's picture buffers do once memory runs
// out; the tool's own buffers (not zeroed ones) are served as usual.
#include <cerrno>
#include <cstddef>
#include <cstdint>

extern "C" void* __libc_calloc(size_t count, size_t size);

extern "C" void* calloc(size_t count, size_t size) {
  if (size != 0 && count >= ((size_t{1} << 20) + size - 1) / size) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(count, size);
}
