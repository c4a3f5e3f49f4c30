#include "MovieDump.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "MovieFile.h"
#include "MovieInternal.h"

namespace {

std::string hex(const UInt8* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string hex(const std::vector<UInt8>& v) { return hex(v.data(), v.size()); }

std::string quoted(const std::string& text) {
  std::string s = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      s += '\\';
      s += char(c);
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      s += buffer;
    } else {
      s += char(c);
    }
  }
  return s + "\"";
}

std::string num(SInt64 v) { return std::to_string(v); }

std::string fixed(Fixed v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", double(v) / 65536.0);
  return buffer;
}

bool printable(const std::vector<UInt8>& v) {
  for (UInt8 c : v)
    if (c < 0x20 || c >= 0x7F) return false;
  return !v.empty();
}

void dump_media(std::string& out, const MediaRecord& m) {
  out += "{\"type\": " + quoted(OSTypeText(m.mediaType)) + ", \"timeScale\": " + num(m.timeScale) +
         ", \"decodeDuration\": " + num(m.decodeDuration) + ", \"displayStart\": " + num(m.displayStart) +
         ", \"displayEnd\": " + num(m.displayEnd) + ", \"sampleCount\": " + num(m.sampleCount) +
         ",\n     \"dataRef\": {\"type\": " + quoted(OSTypeText(m.dataRefType)) + ", \"hex\": " +
         quoted(hex(m.dataRef)) + "},\n     \"descriptions\": [";
  for (size_t i = 0; i < m.descriptions.size(); ++i) {
    const std::vector<UInt8>& d = m.descriptions[i];
    OSType format = 0;  // a host-order field
    if (d.size() >= 8) std::memcpy(&format, d.data() + 4, 4);
    out += std::string(i ? ",\n       " : "\n       ") + "{\"index\": " + num(SInt64(i + 1)) +
           ", \"format\": " + quoted(OSTypeText(format)) + ", \"hex\": " + quoted(hex(d)) + "}";
  }
  out += "],\n     \"samples\": [";
  for (size_t i = 0; i < m.samples.size(); ++i) {
    const MediaSampleReference& s = m.samples[i];
    out += std::string(i ? ",\n       " : "\n       ") + "{\"offset\": " + num(s.dataOffset) +
           ", \"size\": " + num(s.dataSize) + ", \"count\": " + num(s.count) +
           ", \"duration\": " + num(s.durationPerSample) + ", \"displayOffset\": " + num(s.displayOffset) +
           ", \"flags\": " + num(s.flags) + ", \"description\": " + num(s.descriptionIndex) + "}";
  }
  out += "]}";
}

void dump_track(std::string& out, const TrackRecord& t) {
  TimeValue64 length = 0;
  for (const EditRecord& e : t.edits) length += e.trackDuration;
  out += "  {\"id\": " + num(t.id) + ", \"enabled\": " + (t.enabled ? "true" : "false") +
         ", \"width\": " + fixed(t.width) + ", \"height\": " + fixed(t.height) + ", \"volume\": " + num(t.volume) +
         ", \"duration\": " + num(length) + ",\n   \"edits\": [";
  TimeValue64 at = 0;
  for (size_t i = 0; i < t.edits.size(); ++i) {
    const EditRecord& e = t.edits[i];
    out += std::string(i ? ", " : "") + "{\"trackStart\": " + num(at) + ", \"trackDuration\": " +
           num(e.trackDuration) + ", \"mediaTime\": " + num(e.mediaTime) + ", \"rate\": " + fixed(e.rate) + "}";
    at += e.trackDuration;
  }
  out += "],\n   \"media\": ";
  if (t.media)
    dump_media(out, *t.media);
  else
    out += "null";
  out += "}";
}

void dump_metadata(std::string& out, const MetaDataItemRecord& item) {
  std::string key;
  if (item.keyFormat == kQTMetaDataKeyFormatCommon && item.key.size() == 4) {
    OSType code;
    std::memcpy(&code, item.key.data(), 4);
    key = OSTypeText(code);
  } else if (printable(item.key)) {
    key.assign(item.key.begin(), item.key.end());
  } else {
    key = "0x" + hex(item.key);
  }
  out += "  {\"storage\": " + quoted(OSTypeText(item.storageFormat)) + ", \"keyFormat\": " +
         quoted(OSTypeText(item.keyFormat)) + ", \"key\": " + quoted(key) + ", \"keyHex\": " + quoted(hex(item.key)) +
         ", \"dataType\": " + num(item.dataType);
  if (item.dataType == kQTMetaDataTypeUTF8)
    out += ", \"value\": " + quoted(std::string(item.value.begin(), item.value.end()));
  out += ", \"valueHex\": " + quoted(hex(item.value)) + "}";
}

}  // namespace

std::string OSTypeText(OSType code) {
  char text[5] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code), 0};
  for (int i = 0; i < 4; ++i) {
    if (UInt8(text[i]) < 0x20 || UInt8(text[i]) >= 0x7F) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "0x%08X", code);
      return buffer;
    }
  }
  return text;
}

std::string MovieToJSON(Movie m) {
  if (m == nullptr) return "null\n";
  TimeValue64 longest = 0;
  for (auto& t : m->tracks) {
    TimeValue64 length = 0;
    for (const EditRecord& e : t->edits) length += e.trackDuration;
    if (length > longest) longest = length;
  }
  std::string out = "{\"timeScale\": " + num(m->timeScale) + ", \"duration\": " + num(longest) + ",\n\"tracks\": [\n";
  for (size_t i = 0; i < m->tracks.size(); ++i) {
    if (i) out += ",\n";
    dump_track(out, *m->tracks[i]);
  }
  out += "\n],\n\"metadata\": [\n";
  for (size_t i = 0; i < m->metadata.size(); ++i) {
    if (i) out += ",\n";
    dump_metadata(out, m->metadata[i]);
  }
  out += "\n],\n\"wiredActions\": [";
  for (size_t i = 0; i < m->wiredActions.size(); ++i) {
    const WiredActionRecord& w = m->wiredActions[i];
    out += std::string(i ? ", " : "") + "{\"which\": " + num(w.which) + ", \"id\": " + num(w.actionID) +
           ", \"parameters\": " + num(w.parameterCount) + "}";
  }
  out += "]}\n";
  return out;
}

OSErr WriteMovieJSON(Movie m, const char* path, std::string* problem, SaveGroup* group) {
  if (path == nullptr) return paramErr;
  // A file (or nothing yet) is replaced by a complete new one, so that a
  // write that fails leaves no part of a dump; a device or a pipe is
  // written through.
  struct stat st;
  if (::stat(path, &st) != 0 || S_ISREG(st.st_mode))
    return SaveFileByReplacing(path, MovieToJSON(m), "the dump", problem, group);
  int error = 0;
  errno = 0;
  FILE* f = std::fopen(path, "w");
  if (f == nullptr) {
    error = errno != 0 ? errno : EIO;
  } else {
    const std::string text = MovieToJSON(m);
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size()) error = errno != 0 ? errno : EIO;
    if (std::fclose(f) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  }
  if (error == 0) return noErr;
  if (problem) {
    *problem = std::strerror(error);
    if (!problem->empty()) (*problem)[0] = char(std::tolower(static_cast<unsigned char>((*problem)[0])));
  }
  return ioErr;
}
