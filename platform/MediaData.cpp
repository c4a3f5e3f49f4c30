// Reading sample bytes through the data handler of a media's data reference.
#include <cstring>
#include <exception>

#include "DataHandler.h"
#include "MacMemory.h"
#include "MovieInternal.h"

namespace {

struct Completion {
  bool called = false;
  OSErr err = noErr;
};

void on_read(Ptr, RefCon refCon, OSErr err) {
  auto* c = reinterpret_cast<Completion*>(refCon);
  c->called = true;
  c->err = err;
}

}  // namespace

OSErr open_media_data_handler(const MediaRecord* m, ComponentInstance* dh) {
  Handle ref = nullptr;
  OSErr err = PtrToHand(m->dataRef.data(), &ref, Size(m->dataRef.size()));
  if (err != noErr) return err;
  err = OpenADataHandler(ref, m->dataRefType, nullptr, 0, nullptr, kDataHCanRead, dh);
  DisposeHandle(ref);
  return err;
}

OSErr read_sample_reference(ComponentInstance dh, const MediaSampleReference& s, std::vector<char>* buffer) {
  if (s.dataSize < 0 || s.dataSize > INT32_MAX) return paramErr;
  try {
    buffer->resize(size_t(s.dataSize) + 1);
  } catch (const std::exception&) {
    return memFullErr;
  }
  Completion done;
  wide offset = s.dataOffset;
  OSErr err = OSErr(DataHScheduleData64(dh, buffer->data(), &offset, SInt32(s.dataSize),
                                        reinterpret_cast<RefCon>(&done), nullptr, on_read));
  if (err == noErr) err = done.called ? done.err : OSErr(ioErr);
  return err;
}

OSErr GetMediaSampleReferenceData(Media m, SInt64 index, Handle data) {
  if (m == nullptr) return invalidMedia;
  if (data == nullptr) return nilHandleErr;
  if (index < 0 || size_t(index) >= m->samples.size()) return paramErr;
  ComponentInstance dh = nullptr;
  OSErr err = open_media_data_handler(m, &dh);
  if (err != noErr) return err;
  std::vector<char> buffer;
  const MediaSampleReference& s = m->samples[size_t(index)];
  err = read_sample_reference(dh, s, &buffer);
  CloseComponent(dh);
  if (err != noErr) return err;
  SetHandleSize(data, Size(s.dataSize));
  if (MemError() != noErr) return MemError();
  if (s.dataSize > 0) std::memcpy(*data, buffer.data(), size_t(s.dataSize));
  return noErr;
}
