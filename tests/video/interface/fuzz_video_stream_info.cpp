// libFuzzer target: every stream inspection call on the same Annex B buffer.
#include <cstdint>
#include <cstring>

#include "AVCHDVideoDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const int32_t length = static_cast<int32_t>(size);
  VideoStreamInfo head;
  std::memset(&head, 0, sizeof(head));
  AVCHDGetVideoStreamInfoLib(&head, data, length, 7);
  AVCHDReleaseVideoStreamInfoLib(&head);
  AVCHDGetSliceTypeAnnexBLib(data, length);
  VideoUserData ud;
  AVCHDGetVideoUserDataLib(&ud, data, length);
  VideoDecoderParams params;
  AVCHDGetVideoDecoderInfoLib(&params, data, length);
  return 0;
}
