// The host programs as a newcomer meets them: what each says, and with which
// exit status, for inputs it cannot use and options it does not take; "-" as
// standard output, and standard output that cannot be written; the help; the
// processor variant; ac3dec past a damaged frame. Imports go no further than
// the summary (saved movies: see mtsimport_test).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "md5.h"
#include "testsupport.h"
#include "toolcli.h"
#include "vpCore.h"

namespace {

std::string Dir() {
  static const std::string dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string d = std::string(tmp && *tmp ? tmp : "/tmp") + "/avchd_tools_" + std::to_string(getpid());
    ::mkdir(d.c_str(), 0700);
    return d;
  }();
  return dir;
}

// The folder goes when the tests are done.
class RemoveDir : public ::testing::Environment {
  void TearDown() override { testsupport::run_command("rm -rf " + Dir()); }
};
[[maybe_unused]] ::testing::Environment* const kRemoveDir = ::testing::AddGlobalTestEnvironment(new RemoveDir);

std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = Dir() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return path;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

const std::string kAc3 = testsupport::local_data_file("ac3/ac3_20_256k_3s.nodither.ac3");
const std::string kH264 = testsupport::local_data_file("inter/p_cavlc.264");  // 12 pictures of 176x144

// Inputs that are no recording, no stream or no file at all.
struct Inputs {
  std::string missing, directory, empty, text, mp4, noVideo, ts188, noPps;
  std::string cut, byteBefore, ac3Recording, ac3Cut, ac3Ts188;
  std::string syncDamaged, junkBefore, ac3SyncDamaged, ac3JunkBefore, h264Damaged, seiOf0x47, junkThenH264;
  std::string ts188Stray, counterWrong;
  std::string cutInVideoPes, shuffled;
  std::string streamCopy, streamSymlink, streamHardLink, ac3Copy, pcmWav;
  std::string sample = testsupport::local_data_file("sample.m2ts");
  Inputs() {
    missing = Dir() + "/missing.MTS";
    directory = Dir() + "/folder";
    ::mkdir(directory.c_str(), 0700);
    empty = Write("empty.MTS", {});
    text = Write("notes.MTS", Bytes("These are notes, not a recording.\n"));
    mp4 = Write("clip.MTS", {0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0});
    // A recording without its video packets.
    std::vector<uint8_t> ts = testsupport::read_file(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
    std::vector<uint8_t> audioOnly;
    for (size_t at = 0; at + 192 <= ts.size(); at += 192)
      if (((ts[at + 5] & 0x1F) << 8 | ts[at + 6]) != 0x1011) audioOnly.insert(audioOnly.end(), &ts[at], &ts[at] + 192);
    noVideo = Write("audio_only.MTS", audioOnly);
    std::vector<uint8_t> bare;  // the same packets without their arrival times
    for (size_t at = 0; at + 192 <= audioOnly.size(); at += 192) bare.insert(bare.end(), &audioOnly[at + 4], &audioOnly[at] + 192);
    ts188 = Write("audio_only.ts", bare);
    // The same with payload bytes that look like two source packets' heads
    // (0x47, and an adaptation_field_control 3 bytes on) 192 bytes apart, as
    // an encoder's output holds them by chance.
    for (size_t at : {size_t(188 * 3 + 40), size_t(188 * 3 + 40 + 192)}) {
      bare[at] = 0x47;
      bare[at + 3] = 0x10;
    }
    ts188Stray = Write("stray_0x47.ts", bare);
    // Recordings off their packet grid: cut anywhere, or with a byte before.
    cut = Write("cut.MTS", {ts.begin() + 99, ts.end()});
    std::vector<uint8_t> late = ts;
    late.insert(late.begin(), 0);
    byteBefore = Write("late.MTS", late);
    const std::vector<uint8_t> ac3 = testsupport::read_file(testsupport::local_data_file("importer/importer_ac3_51_i.m2ts"));
    ac3Recording = Write("ac3.MTS", ac3);
    ac3Cut = Write("ac3_cut.MTS", {ac3.begin() + 1000, ac3.end()});
    std::vector<uint8_t> ac3Bare;
    for (size_t at = 0; at + 192 <= ac3.size(); at += 192) ac3Bare.insert(ac3Bare.end(), &ac3[at + 4], &ac3[at] + 192);
    ac3Ts188 = Write("ac3.ts", ac3Bare);
    // Recordings with a damaged head: a sync byte among the first packets
    // changed, or junk before the first packet.
    std::vector<uint8_t> damaged = ts, ac3Damaged = ac3;
    damaged[2 * 192 + 4] = 0x46;
    ac3Damaged[5 * 192 + 4] = 0x46;
    syncDamaged = Write("sync_damaged.MTS", damaged);
    ac3SyncDamaged = Write("ac3_sync_damaged.MTS", ac3Damaged);
    std::vector<uint8_t> junk(1000);
    std::mt19937 rng(45);
    for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
    damaged = ts;
    damaged.insert(damaged.begin(), junk.begin(), junk.end());
    junkBefore = Write("junk_before.MTS", damaged);
    // A recording whose continuity counters are wrong on two packets, the
    // first of one video PES and the last of another, with nothing lost.
    std::vector<uint8_t> counters = testsupport::read_file(sample);
    std::vector<size_t> starts;
    for (size_t at = 0; at + 192 <= counters.size(); at += 192)
      if (((counters[at + 5] & 0x1F) << 8 | counters[at + 6]) == 0x1011 && (counters[at + 5] & 0x40)) starts.push_back(at);
    if (starts.size() > 8) {
      for (size_t at : {starts[4], starts[6] - 192}) {
        while (((counters[at + 5] & 0x1F) << 8 | counters[at + 6]) != 0x1011) at -= 192;  // the PES's last packet
        counters[at + 7] = uint8_t((counters[at + 7] & 0xF0) | ((counters[at + 7] + 5) & 0x0F));
      }
    }
    counterWrong = Write("counter_wrong.MTS", counters);
    ac3Damaged = ac3;
    ac3Damaged.insert(ac3Damaged.begin(), junk.begin(), junk.begin() + 188);
    ac3JunkBefore = Write("ac3_junk_before.MTS", ac3Damaged);
    // A stream whose only picture parameter set was lost: no slice can be read.
    const std::vector<uint8_t> h264 = testsupport::read_file(kH264);
    std::vector<uint8_t> lost;
    for (size_t i = 0; i < h264.size(); ++i) {
      const bool start = i + 3 < h264.size() && h264[i] == 0 && h264[i + 1] == 0 && h264[i + 2] == 1;
      if (start && (h264[i + 3] & 31) == 8) {
        size_t end = i + 3;
        while (end + 3 < h264.size() && !(h264[end] == 0 && h264[end + 1] == 0 && h264[end + 2] == 1)) ++end;
        i = end - 1;
        continue;
      }
      lost.push_back(h264[i]);
    }
    noPps = Write("no_pps.264", lost);
    // A stream with 12 bytes of its sixth P slice changed: that slice is
    // dropped and concealed, the pictures are all there.
    std::vector<uint8_t> flipped = h264;
    for (size_t i = 0, seen = 0; i + 3 < h264.size(); ++i) {
      if (h264[i] != 0 || h264[i + 1] != 0 || h264[i + 2] != 1 || (h264[i + 3] & 31) != 1 || ++seen < 6) continue;
      for (size_t k = i + 8; k < i + 20; ++k) flipped[k] ^= 0xFF;
      break;
    }
    h264Damaged = Write("damaged.264", flipped);
    // A legal stream with an SEI (unregistered user data) of 3,400 bytes of
    // 0x47 before its first slice, and the stream after 1,000 bytes of junk
    // that holds no zero byte.
    std::vector<uint8_t> sei = {0, 0, 0, 1, 6, 5};
    sei.insert(sei.end(), (3400 + 16) / 255, 0xFF);
    sei.push_back((3400 + 16) % 255);
    sei.insert(sei.end(), 16, 0x11);  // the uuid
    sei.insert(sei.end(), 3400, 0x47);
    sei.push_back(0x80);
    std::vector<uint8_t> withSei = h264;
    withSei.insert(withSei.begin() + long(FindNal(h264, 5)), sei.begin(), sei.end());
    seiOf0x47 = Write("sei_of_0x47.264", withSei);
    std::vector<uint8_t> junkFirst(1000);
    for (uint8_t& b : junkFirst) b = static_cast<uint8_t>(rng() % 255 + 1);
    junkFirst.insert(junkFirst.end(), h264.begin(), h264.end());
    junkThenH264 = Write("junk_then.264", junkFirst);
    // A recording cut inside a video PES: its first packet holds the middle
    // of the video's first NAL unit, the NAL units after it show their start
    // codes, and no PES header comes.
    std::vector<uint8_t> insidePes;
    for (size_t at = 100, k = 0; at + 184 <= h264.size(); at += 184, ++k) {
      const uint8_t header[8] = {0, 0, uint8_t(k >> 8), uint8_t(k), 0x47, 0x10, 0x11, uint8_t(0x10 | (k & 15))};
      insidePes.insert(insidePes.end(), header, header + 8);
      insidePes.insert(insidePes.end(), &h264[at], &h264[at] + 184);
    }
    cutInVideoPes = Write("cut_in_video_pes.MTS", insidePes);
    // A recording with its packets out of order: no counter follows on.
    std::vector<size_t> order(ac3.size() / 192);
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::shuffle(order.begin(), order.end(), std::mt19937(55));
    std::vector<uint8_t> outOfOrder;
    for (size_t k : order) outOfOrder.insert(outOfOrder.end(), &ac3[k * 192], &ac3[k * 192] + 192);
    shuffled = Write("shuffled.MTS", outOfOrder);
    // Streams of the user's own, also by other names, that an output named
    // to them would replace.
    streamCopy = Write("mine.264", h264);
    streamSymlink = Dir() + "/mine_link.264";
    streamHardLink = Dir() + "/mine_hard.264";
    (void)::symlink(streamCopy.c_str(), streamSymlink.c_str());
    (void)::link(streamCopy.c_str(), streamHardLink.c_str());
    ac3Copy = Write("mine.ac3", testsupport::read_file(kAc3));
    // A WAV file of 16-bit PCM whose samples hold an AC-3 sync word by
    // chance, followed by a header with a reserved sample rate.
    std::vector<uint8_t> wav = Bytes("RIFF....WAVEfmt ");  // 48 kHz stereo, 4096 bytes of samples
    wav.insert(wav.end(), {16, 0, 0, 0, 1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0xEE, 2, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0x10, 0, 0});
    std::vector<uint8_t> pcm(4096);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = uint8_t(i * 7 % 251 + 1);
    const uint8_t chance[] = {0x0B, 0x77, 0x12, 0x34, 0xC5, 0x40};
    std::copy(chance, chance + sizeof chance, pcm.begin() + 1000);
    wav.insert(wav.end(), pcm.begin(), pcm.end());
    pcmWav = Write("pcm.wav", wav);
  }
  // Offset of the start code (00 00 00 01 or 00 00 01) of the first NAL unit of `type`.
  static size_t FindNal(const std::vector<uint8_t>& s, int type) {
    for (size_t i = 1; i + 3 < s.size(); ++i)
      if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && (s[i + 3] & 31) == type) return s[i - 1] == 0 ? i - 1 : i;
    return 0;
  }
};
const Inputs& In() {
  static const Inputs inputs;
  return inputs;
}

struct Case {
  std::string name;
  std::string command;  // run through the shell
  int exit;
  std::vector<std::string> err;  // texts standard error must hold
  std::vector<std::string> out;  // texts standard output must hold; none: it stays empty
};

std::vector<Case> Cases() {
  const Inputs& in = In();
  const std::string mts = MTSIMPORT, h264 = H264DEC, ac3 = AC3DEC;
  // Video of a format the decoder and the importer refuse, and a recording
  // whose video is not H.264.
  auto format = [](const std::string& name) { return testsupport::local_data_file("formats/" + name); };
  const std::string unsupported = ": error 6: the stream uses syntax this decoder does not support: ";
  return {
      {"H264Chroma444", h264 + " --md5 " + format("yuv444_8bit.264"), 1, {unsupported + "4:4:4 chroma"}, {}},
      {"H264Chroma422TenBit", h264 + " --md5 " + format("yuv422_10bit.264"), 1, {unsupported + "4:2:2 chroma"}, {}},
      {"H264TenBit", h264 + " --md5 " + format("yuv420_10bit.264"), 1, {unsupported + "10-bit samples"}, {}},
      {"MtsChroma444", mts + " " + format("yuv444_8bit.m2ts"), 1,
       {"the video is H.264 with 4:4:4 chroma, which the importer does not take (it takes 8-bit 4:2:0) (-2010)"}, {}},
      {"MtsLossless", mts + " " + format("yuv420_lossless.m2ts"), 1,
       {"the video is H.264 with lossless coding (transform bypass), which the importer does not take (-2010)"}, {}},
      {"MtsNotH264", mts + " " + format("mpeg2_video.m2ts"), 1,
       {"the video is MPEG-2 video, not H.264, the only video the importer takes (-2010)"}, {}},
      {"MtsMissing", mts + " " + in.missing, 1, {"mtsimport: " + in.missing + ": no such file"}, {}},
      {"MtsDirectory", mts + " " + in.directory, 1, {in.directory + ": is a directory"}, {}},
      {"MtsEmpty", mts + " " + in.empty, 1, {in.empty + ": empty file"}, {}},
      {"MtsText", mts + " " + in.text, 1, {in.text + ": not an MPEG transport stream of 192-byte packets"}, {}},
      {"MtsMp4", mts + " " + in.mp4, 1, {in.mp4 + ": not an MPEG transport stream of 192-byte packets"}, {}},
      {"MtsPipe", "bash -c '" + mts + " <(cat " + testsupport::local_data_file("sample.m2ts") + ")'", 1,
       {": not a regular file (a pipe)", "mtsimport needs it in a file"}, {}},
      {"MtsStandardInput", mts + " - < " + in.sample, 1,
       {"mtsimport: -: a recording cannot be imported from standard input: it is read again at any position",
        "so it must be a file (h264dec and ac3dec read standard input from '-')"},
       {}},
      // The dump's destination is checked before the import, as the movie's
      // is; a dump that cannot be written says why.
      {"MtsDumpNoDirectory", mts + " --dump /nonexistent/d.json " + in.sample, 1,
       {"mtsimport: /nonexistent/d.json: cannot create a file in /nonexistent: no such directory\n"}, {}},
      {"MtsDumpDirectory", mts + " --dump " + in.directory + " " + in.sample, 1,
       {"mtsimport: " + in.directory + ": is a directory; --dump writes to a file\n"}, {}},
      {"MtsDumpFullDisk", mts + " --dump /dev/full " + in.sample, 1,
       {"mtsimport: /dev/full: cannot write the movie dump: no space left on device\n"}, {"movie: "}},
      // The movie would replace a dump to the same file, however named.
      {"MtsDumpIsTheMovie", mts + " --dump " + Dir() + "/same.out --mov " + Dir() + "/./same.out " + in.sample, 1,
       {"mtsimport: " + Dir() + "/same.out: is also the movie's destination (--mov " + Dir() +
        "/./same.out); the movie would replace the dump: give each its own file\n"},
       {}},
      // ... also when a symbolic link, dangling till the save, makes them one.
      {"MtsDumpLinkedToTheMovie",
       "cd " + Dir() + " && ln -sf l.mov l.json && " + mts + " --dump l.json --mov l.mov " + in.sample, 1,
       {"mtsimport: l.json: is also the movie's destination (--mov l.mov); the movie would replace the dump"}, {}},
      // ... or when a folder is named by a link to it, or by a way round.
      {"MtsDumpInALinkedFolderIsTheMovie",
       "cd " + Dir() + " && ln -sfn . here && " + mts + " --dump here/h.json --mov h.json " + in.sample, 1,
       {"mtsimport: here/h.json: is also the movie's destination (--mov h.json)"}, {}},
      {"MtsDumpByAWayRoundIsTheMovie",
       mts + " --dump " + in.directory + "/../r.json --mov " + Dir() + "/r.json " + in.sample, 1,
       {"mtsimport: " + in.directory + "/../r.json: is also the movie's destination"}, {}},
      // An empty name names no file: refused before any work.
      {"H264EmptyOutputName", h264 + " -o '' " + kH264, 2, {"h264dec: -o '': the value is empty; -o needs a file name\n"},
       {}},
      {"Ac3EmptyOutputName", ac3 + " -o '' " + kAc3, 2, {"ac3dec: -o '': the value is empty; -o needs a file name\n"}, {}},
      {"MtsEmptyMovName", mts + " --mov '' " + in.sample, 2, {"mtsimport: --mov '': the value is empty"}, {}},
      {"MtsEmptyDumpName", mts + " --dump '' " + in.sample, 2, {"mtsimport: --dump '': the value is empty"}, {}},
      {"MtsMovieLinkedToTheDump",
       "cd " + Dir() + " && ln -sf k.json k.mov && " + mts + " --dump k.json --mov k.mov " + in.sample, 1,
       {"mtsimport: k.json: is also the movie's destination (--mov k.mov)"}, {}},
      // A FIFO is refused at once, not once a writer opens it.
      {"MtsFifoRefusedAtOnce", "mkfifo " + Dir() + "/fifo.MTS && timeout 3 " + mts + " " + Dir() + "/fifo.MTS", 1,
       {"mtsimport: " + Dir() + "/fifo.MTS: not a regular file (a pipe)"}, {}},
      {"MtsDumpIsTheRecording", mts + " --dump " + in.sample + " " + in.sample, 1,
       {"mtsimport: " + in.sample + ": is the recording being imported (" + in.sample +
        "); the dump would replace it and the recording would be lost: save elsewhere\n"},
       {}},
      {"MtsJunkBeforeTheFirstPacket", mts + " " + in.junkBefore, 0,
       {"mtsimport: warning: " + in.junkBefore + ": damaged recording: 1000 bytes before the first packet skipped\n"},
       {"movie: "}},
      {"MtsCountersWrongNothingLost", mts + " " + in.counterWrong, 0, {}, {"track 1 'vide': 50 samples"}},
      {"MtsNoVideo", mts + " " + in.noVideo, 1, {in.noVideo + ": no H.264 video stream (-2010)"}, {}},
      {"MtsVerboseShowsLog", mts + " -v " + in.noVideo, 1, {"[ERR]no usable video in the stream", "sse"}, {}},
      {"MtsNoInput", mts, 2, {"no recording given", "usage: mtsimport"}, {}},
      {"MtsUnknownOption", mts + " --fast " + in.text, 2, {"unknown option --fast", "usage: mtsimport"}, {}},
      {"MtsDumpWithoutName", mts + " " + in.text + " --dump", 2, {"--dump needs a file name"}, {}},
      {"MtsMovToStandardOutput", mts + " --mov - " + in.text, 2, {"cannot be written to standard output"}, {}},
      {"MtsUnknownVariant", "VP_FORCE_VARIANT=avx2 " + mts + " " + in.text, 2,
       {"VP_FORCE_VARIANT=avx2: no such variant"}, {}},
      {"MtsVersion", mts + " --version", 0, {}, {"mtsimport 1.0"}},
      {"H264Missing", h264 + " --md5 " + in.missing, 1, {"h264dec: " + in.missing + ": no such file"}, {}},
      {"H264Directory", h264 + " " + in.directory, 1, {in.directory + ": is a directory"}, {}},
      {"H264Empty", h264 + " --md5 " + in.empty, 1, {in.empty + ": empty file"}, {}},
      {"H264Text", h264 + " --md5 " + in.text, 1, {in.text + ": no sequence parameter set the decoder can use"}, {}},
      {"H264TransportStream", h264 + " --md5 " + in.noVideo, 1,
       {in.noVideo + ": an MPEG transport stream of 192-byte packets, not an H.264 Annex B stream (mtsimport imports it)"},
       {}},
      {"H264TransportStreamCut", h264 + " --md5 " + in.cut, 1,
       {in.cut + ": an MPEG transport stream of 192-byte packets, not an H.264 Annex B stream (mtsimport imports it)"},
       {}},
      {"H264TransportStreamAfterAByte", h264 + " --md5 " + in.byteBefore, 1,
       {in.byteBefore + ": an MPEG transport stream of 192-byte packets"}, {}},
      {"H264BareTransportStream", h264 + " --md5 " + in.ts188, 1,
       {in.ts188 + ": an MPEG transport stream of 188-byte packets, not an H.264 Annex B stream; mtsimport imports "
                   "only recordings of 192-byte packets (.MTS, .m2ts): demultiplex its video to an H.264 Annex B "
                   "stream first"},
       {}},
      {"H264TransportStreamSyncDamaged", h264 + " --md5 " + in.syncDamaged, 1,
       {in.syncDamaged + ": an MPEG transport stream of 192-byte packets, not an H.264 Annex B stream"}, {}},
      {"H264TransportStreamAfterJunk", h264 + " --md5 " + in.junkBefore, 1,
       {in.junkBefore + ": an MPEG transport stream of 192-byte packets, not an H.264 Annex B stream"}, {}},
      {"H264TransportStreamCutInAVideoPes", h264 + " --md5 " + in.cutInVideoPes, 1,
       {in.cutInVideoPes + ": an MPEG transport stream of 192-byte packets, not an H.264 Annex B stream (mtsimport "
                           "imports it)"},
       {}},
      {"H264TransportStreamShuffled", h264 + " --md5 " + in.shuffled, 1,
       {in.shuffled + ": an MPEG transport stream of 192-byte packets, not an H.264 Annex B stream (mtsimport imports it)"},
       {}},
      {"H264SeiOf0x47IsNoTransportStream", h264 + " --md5 " + in.seiOf0x47, 0, {"h264dec: 12 pictures of 176x144"},
       {"\n"}},
      {"H264JunkBeforeTheFirstStartCode", h264 + " --md5 " + in.junkThenH264, 3,
       {"h264dec: warning: " + in.junkThenH264 + ": damaged stream: 1000 bytes before the first start code skipped\n"}, {"\n"}},
      {"H264OutputInAMissingDirectory", h264 + " -o " + in.directory + "/none/x.yuv " + kH264, 1,
       {"h264dec: " + in.directory + "/none/x.yuv: cannot create a file in " + in.directory + "/none: no such "
        "directory\n"}, {}},
      {"MtsBareTransportStream", mts + " " + in.ts188, 1,
       {in.ts188 + ": an MPEG transport stream of 188-byte packets; mtsimport imports only recordings of 192-byte "
                   "packets"}, {}},
      {"MtsBareTransportStreamWithStrayHeads", mts + " " + in.ts188Stray, 1,
       {in.ts188Stray + ": an MPEG transport stream of 188-byte packets; mtsimport imports only recordings of "
                        "192-byte packets"}, {}},
      {"H264DamagedEndsWithStatus3", h264 + " -o /dev/null " + in.h264Damaged, 3,
       {"h264dec: warning: " + in.h264Damaged + ": damaged stream: 1 slice dropped and concealed\n",
        "h264dec: 12 pictures of 176x144"}, {}},
      // A name longer than the file system takes is refused before the stream is decoded.
      {"H264OutputNameTooLong", h264 + " -o " + Dir() + "/" + std::string(300, 'y') + " " + kH264, 1,
       {": cannot create a file in " + Dir() + ": the name is 300 bytes long, the file system takes at most "}, {}},
      {"Ac3OutputNameTooLong", ac3 + " -o " + Dir() + "/" + std::string(300, 'p') + " " + kAc3, 1,
       {": cannot create a file in " + Dir() + ": the name is 300 bytes long, the file system takes at most "}, {}},
      {"H264NothingDecodable", h264 + " --md5 " + in.noPps, 1,
       {in.noPps + ": error 12: a slice names a picture parameter set that was not sent"}, {}},
      {"H264ThreadsNotANumber", h264 + " --threads abc " + kH264, 2, {"--threads abc: not a number"}, {}},
      {"H264ThreadsOutOfRange", h264 + " --threads 256 " + kH264, 2, {"--threads 256: not a number"}, {}},
      {"H264UnknownFormat", h264 + " --format rgb " + kH264, 2, {"unknown format rgb"}, {}},
      {"H264UnknownVariant", "VP_FORCE_VARIANT=sse5 " + h264 + " --md5 " + kH264, 2,
       {"VP_FORCE_VARIANT=sse5: no such variant"}, {}},
      {"H264MixedStandardOutput", h264 + " -o - --md5 " + kH264, 2, {"would mix on standard output"}, {}},
      {"H264Version", h264 + " --version", 0, {}, {"h264dec 1.0"}},
      {"Ac3Missing", ac3 + " --md5 " + in.missing, 1, {"ac3dec: " + in.missing + ": no such file"}, {}},
      {"Ac3Empty", ac3 + " --md5 " + in.empty, 1, {in.empty + ": empty file"}, {}},
      {"Ac3NoFrame", ac3 + " --md5 " + in.text, 1, {in.text + ": no AC-3 frame"}, {}},
      {"Ac3TransportStream", ac3 + " --md5 " + in.ac3Recording, 1,
       {in.ac3Recording + ": an MPEG transport stream of 192-byte packets, not a raw AC-3 stream (mtsimport imports it)"},
       {}},
      {"Ac3TransportStreamCut", ac3 + " --md5 " + in.ac3Cut, 1,
       {in.ac3Cut + ": an MPEG transport stream of 192-byte packets, not a raw AC-3 stream"}, {}},
      {"Ac3BareTransportStream", ac3 + " --md5 " + in.ac3Ts188, 1,
       {in.ac3Ts188 + ": an MPEG transport stream of 188-byte packets, not a raw AC-3 stream; mtsimport imports only "
                      "recordings of 192-byte packets (.MTS, .m2ts): demultiplex its audio to a raw AC-3 stream first"},
       {}},
      {"Ac3TransportStreamSyncDamaged", ac3 + " --md5 " + in.ac3SyncDamaged, 1,
       {in.ac3SyncDamaged + ": an MPEG transport stream of 192-byte packets, not a raw AC-3 stream"}, {}},
      {"Ac3TransportStreamAfterJunk", ac3 + " --md5 " + in.ac3JunkBefore, 1,
       {in.ac3JunkBefore + ": an MPEG transport stream of 192-byte packets, not a raw AC-3 stream"}, {}},
      {"Ac3TransportStreamShuffled", ac3 + " --md5 " + in.shuffled, 1,
       {in.shuffled + ": an MPEG transport stream of 192-byte packets, not a raw AC-3 stream (mtsimport imports it)"},
       {}},
      // Decoding without output checks that the stream decodes, as h264dec does.
      {"Ac3DecodesWithoutOutput", ac3 + " " + kAc3, 0, {"ac3dec: 94 frames of 1536 samples at 48000 Hz, stereo"}, {}},
      // What was written, as raw PCM needs it to be opened: also for 5.1.
      {"Ac3SaysWhatItWrote", ac3 + " -o /dev/null " + testsupport::local_data_file("ac3/ac3_51_448k_3s.nodither.ac3"), 0,
       {"ac3dec: 94 frames of 1536 samples at 48000 Hz, 3/2+LFE (L C R Ls Rs LFE), 6 channels, in interleaved signed "
        "16-bit little-endian PCM (18432 bytes a frame)\n"},
       {}},
      // PCM is no AC-3 stream, whatever sync word its samples hold.
      {"Ac3PcmIsNoAc3Stream", ac3 + " --md5 " + in.pcmWav, 1, {"ac3dec: " + in.pcmWav + ": no AC-3 frame\n"}, {}},
      // An output named to the input, by any name, would replace it: refused
      // before anything is written, as mtsimport refuses it.
      {"H264OutputIsTheInput", h264 + " -o " + in.streamCopy + " " + in.streamCopy, 1,
       {"h264dec: " + in.streamCopy + ": is the stream being decoded (" + in.streamCopy +
        "); the pictures would replace it and the stream would be lost: save elsewhere\n"},
       {}},
      {"H264OutputIsTheInputByASymbolicLink", h264 + " -o " + in.streamSymlink + " " + in.streamCopy, 1,
       {"h264dec: " + in.streamSymlink + ": is the stream being decoded ("}, {}},
      {"H264OutputIsTheStandardInput", h264 + " -o " + in.streamHardLink + " - < " + in.streamCopy, 1,
       {"h264dec: " + in.streamHardLink + ": is the stream being decoded (standard input)"}, {}},
      {"Ac3OutputIsTheInputByAHardLink", ac3 + " -o " + in.streamHardLink + " " + in.streamCopy, 1,
       {"ac3dec: " + in.streamHardLink + ": is the stream being decoded (" + in.streamCopy + "); the PCM would"}, {}},
      {"Ac3OutputIsTheInput", ac3 + " -o " + in.ac3Copy + " " + in.ac3Copy, 1,
       {"ac3dec: " + in.ac3Copy + ": is the stream being decoded"}, {}},
      // An option that takes a value is given once, as the input is.
      {"H264OutputTwice", h264 + " -o " + Dir() + "/a.yuv -o " + Dir() + "/b.yuv " + kH264, 2,
       {"h264dec: -o given twice (" + Dir() + "/a.yuv, then " + Dir() + "/b.yuv)\n", "usage: h264dec"}, {}},
      {"H264FormatTwice", h264 + " --format yv12 --format iyuv " + kH264, 2, {"--format given twice (yv12, then iyuv)"}, {}},
      {"H264ThreadsTwice", h264 + " --threads 1 --threads 2 " + kH264, 2, {"--threads given twice (1, then 2)"}, {}},
      {"Ac3OutputTwice", ac3 + " -o /dev/null -o /dev/null " + kAc3, 2, {"ac3dec: -o given twice"}, {}},
      {"MtsMovTwice", mts + " --mov " + Dir() + "/a.mov --mov " + Dir() + "/b.mov " + in.sample, 2,
       {"mtsimport: --mov given twice"}, {}},
      {"MtsDumpTwice", mts + " --dump - --dump - " + in.sample, 2, {"mtsimport: --dump given twice (-, then -)"}, {}},
      {"Ac3Version", ac3 + " --version", 0, {}, {"ac3dec 1.0"}},
  };
}

class ToolMessages : public ::testing::TestWithParam<Case> {};

TEST_P(ToolMessages, SaysWhatIsWrong) {
  const Case& c = GetParam();
  const testsupport::CommandResult r = testsupport::run_command(c.command);
  EXPECT_EQ(r.exit, c.exit) << c.command << "\n" << r.err;
  for (const std::string& text : c.err) EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
  if (c.exit == 0 && c.err.empty()) {
    EXPECT_EQ(r.err, "") << "a success that names no text says nothing on standard error";
  }
  if (c.out.empty()) {
    EXPECT_EQ(r.out, "") << "nothing belongs on standard output";
  }
  for (const std::string& text : c.out) EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  if (c.exit != 0) {
    // One line per failure, no bare code, no component log unless asked,
    // no count of the pictures when none was written.
    EXPECT_EQ(r.err.find("error -"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("h264dec: 0 pictures"), std::string::npos) << r.err;
    if (c.command.find(" -v ") == std::string::npos) {
      EXPECT_EQ(r.err.find("[ERR]"), std::string::npos) << r.err;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolMessages, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// A camera's first packets: one video PES that the file cuts short. The
// importer keeps what the file holds (one picture's worth of data) and warns
// that the picture is incomplete.
TEST(Mtsimport, VideoWithoutAWholePicture) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/camera_header_7packets.mts");
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " " + path);
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "mtsimport: warning: " + path + ": damaged recording: 1 picture is incomplete\n");
  EXPECT_NE(r.out.find("track 1 'vide': 1 samples"), std::string::npos) << r.out;
}

// The same file's summary says what its video's two packets hold: the frame
// rate of its SPS (one picture gives no span to measure, so nothing halves
// it: the picture lasts 1/25 s) and the model its camera user data names.
TEST(Mtsimport, SummaryOfACameraHeader) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/camera_header_7packets.mts");
  const testsupport::CommandResult r = testsupport::run_command(std::string(MTSIMPORT) + " " + path);
  EXPECT_NE(r.out.find("  frame rate  25.000 (25/1)\n"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("this recording names tag 0x1011, code 0x3000\n"), std::string::npos) << r.out;
}

// Recordings whose names the importer cannot record: the message says why,
// with the code.
TEST(Mtsimport, SaysWhatIsWrongWithAPath) {
  const std::string recording = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  // 1,100 bytes of path: four folders of 250 bytes, then the name.
  std::string deep = Dir();
  while (deep.size() < 1100 - 20) deep += "/" + std::string(250, 'd');
  ASSERT_EQ(testsupport::run_command("mkdir -p " + deep).exit, 0);
  const std::string longPath = deep + "/recording.m2ts", badName = Dir() + "/caf\xE9.m2ts";
  ASSERT_EQ(::symlink(recording.c_str(), longPath.c_str()), 0);
  ASSERT_EQ(::symlink(recording.c_str(), badName.c_str()), 0);
  const struct {
    std::string command, message;
  } kCases[] = {
      {std::string(MTSIMPORT) + " " + longPath,
       longPath + ": path too long: " + std::to_string(longPath.size()) +
           " bytes as a full path, the importer takes at most 1023 (-50)\n"},
      // Relative to a current folder that is itself too long.
      {"cd " + deep + " && " + MTSIMPORT + " recording.m2ts",
       "recording.m2ts: path too long: " + std::to_string(longPath.size()) + " bytes as a full path"},
      {std::string(MTSIMPORT) + " '" + badName + "'",
       badName + ": the path is not UTF-8 text, which the importer needs to name the file (-2029)\n"},
  };
  for (const auto& c : kCases) {
    const testsupport::CommandResult r = testsupport::run_command(c.command);
    EXPECT_EQ(r.exit, 1) << c.command;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("mtsimport: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// Runs `command` (through the shell, which execs the last program) with its
// standard output on a pipe whose reader has already gone; the status as
// waitpid gives it and what went to standard error.
std::pair<int, std::string> RunIntoClosedPipe(const std::string& command) {
  int fds[2];
  if (::pipe(fds) != 0) return {-1, ""};
  ::close(fds[0]);
  const std::string errPath = Dir() + "/closed_pipe.err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fds[1], 1);
    ::dup2(err, 2);
    ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  int status = -1;
  if (pid > 0) ::waitpid(pid, &status, 0);
  return {status, testsupport::read_text(errPath)};
}

// Results on standard output that cannot be written, on a full disk or into
// a closed pipe: "write error" and exit status 1, never a quiet success or a
// death by SIGPIPE; the decoders stop there.
TEST(ToolOutput, WriteErrorOnStandardOutputFails) {
  const std::string mts = MTSIMPORT, h264 = H264DEC, ac3 = AC3DEC;
  const std::string recording = testsupport::local_data_file("importer/importer_lpcm_20.m2ts");
  const std::string commands[] = {
      h264 + " --md5 " + kH264,       h264 + " --framemd5 " + kH264, h264 + " -o - " + kH264,
      ac3 + " --md5 " + kAc3,         ac3 + " --framemd5 " + kAc3,   ac3 + " -o - " + kAc3,
      mts + " " + recording,          mts + " --dump - " + recording, mts + " --version",
      h264 + " --help",
  };
  for (const std::string& command : commands) {
    const testsupport::CommandResult full = testsupport::run_command(command + " >/dev/full");
    EXPECT_EQ(full.exit, 1) << command;
    EXPECT_NE(full.err.find(": standard output: write error\n"), std::string::npos) << command << "\n" << full.err;
    const auto [status, err] = RunIntoClosedPipe(command);
    EXPECT_TRUE(WIFEXITED(status)) << command << " ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << command;
    EXPECT_NE(err.find(": standard output: write error\n"), std::string::npos) << command << "\n" << err;
    if (command.rfind(h264 + " -", 0) == 0 && command != h264 + " --help") {
      EXPECT_EQ(full.err.find(" picture"), std::string::npos) << command << ": no picture is reported\n" << full.err;
      EXPECT_EQ(err.find(" picture"), std::string::npos) << command << ": no picture is reported\n" << err;
    }
  }
}

// Output to a file that cannot be written says why, and reports no picture
// as written.
TEST(ToolOutput, WriteErrorOnAFileSaysWhy) {
  for (const auto& [tool, input] : {std::make_pair(std::string(H264DEC), kH264), std::make_pair(std::string(AC3DEC), kAc3)}) {
    const testsupport::CommandResult r = testsupport::run_command(tool + " -o /dev/full " + input);
    EXPECT_EQ(r.exit, 1) << tool;
    EXPECT_EQ(r.err, tool.substr(tool.rfind('/') + 1) + ": /dev/full: write error: no space left on device\n");
  }
}

// The names in the test folder, hidden ones too.
std::vector<std::string> FolderNames() {
  std::istringstream lines(testsupport::run_command("ls -A " + Dir()).out);
  std::vector<std::string> names;
  for (std::string line; std::getline(lines, line);) names.push_back(line);
  return names;
}

// A run that fails leaves no output file: a file there stays as it was, a
// new name stays free, and nothing of the new file is left beside it. A
// file-size limit too small for the output is such a failure, said in words
// naming the limit (never the end of the tool by its signal); so is a
// stream the decoder cannot decode after its output was opened.
TEST(ToolOutput, FailedRunLeavesWhatWasThere) {
  const std::string mts = MTSIMPORT, h264 = H264DEC, ac3 = AC3DEC;
  const std::string kept = Write("kept.out", Bytes("what was there\n")), fresh = Dir() + "/fresh.out";
  // 64 KiB, in the shell's blocks of 512 bytes (or 1,024): the tools name it in bytes.
  const std::string limit = "file too large: the file-size limit (ulimit -f) of ";
  const std::string tooSmall = " bytes is too small for ";
  const struct {
    std::string command;
    std::vector<std::string> messages;
  } kCases[] = {
      {"ulimit -f 128; " + h264 + " -o " + kept + " " + kH264,
       {"h264dec: " + kept + ": write error: " + limit, tooSmall + "the output; raise the limit, then try again\n"}},
      {"ulimit -f 128; " + h264 + " -o " + fresh + " " + kH264, {"h264dec: " + fresh + ": write error: " + limit}},
      {"ulimit -f 128; " + ac3 + " -o " + kept + " " + kAc3, {"ac3dec: " + kept + ": write error: " + limit, tooSmall}},
      {"ulimit -f 128; " + ac3 + " -o " + fresh + " " + kAc3, {"ac3dec: " + fresh + ": write error: " + limit}},
      {"ulimit -f 128; " + mts + " --mov " + kept + " " + In().sample,
       {"mtsimport: " + kept + ": cannot save the movie: the file-size limit (ulimit -f) of ",
        tooSmall + "the movie: it needs "}},
      {h264 + " -o " + kept + " " + In().noPps, {"h264dec: " + In().noPps + ": error 12: "}},
      {h264 + " -o " + fresh + " " + In().noPps, {"h264dec: " + In().noPps + ": error 12: "}},
  };
  const std::vector<std::string> before = FolderNames();
  for (const auto& c : kCases) {
    const testsupport::CommandResult r = testsupport::run_command(c.command);
    EXPECT_EQ(r.exit, 1) << c.command << "\n" << r.err;
    for (const std::string& m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << m << "\n" << r.err;
    EXPECT_EQ(r.err.find(" pictures of "), std::string::npos) << "no picture is reported as written\n" << r.err;
    EXPECT_EQ(testsupport::read_text(kept), "what was there\n") << c.command;
    EXPECT_EQ(FolderNames(), before) << c.command << ": nothing is left beside the destination";
  }
}

// A run interrupted (SIGINT) while it writes its output leaves what was at
// the destination as it was, and nothing of its new file: the decoders here
// read a pipe that stays open, having written what its first part gave.
TEST(ToolOutput, InterruptedRunLeavesWhatWasThere) {
  const std::string kept = Write("interrupted.out", Bytes("what was there\n"));
  // The stream and 1.1 MB of filler data after it, more than either decoder
  // reads before it decodes; the AC-3 stream twelve times over.
  std::vector<uint8_t> h264 = testsupport::read_file(kH264);
  h264.insert(h264.end(), {0, 0, 1, 12});
  h264.insert(h264.end(), size_t{1100} << 10, 0xFF);
  h264.push_back(0x80);
  std::vector<uint8_t> ac3;
  const std::vector<uint8_t> once = testsupport::read_file(kAc3);
  for (int k = 0; k < 12; ++k) ac3.insert(ac3.end(), once.begin(), once.end());
  const std::vector<std::string> before = FolderNames();
  std::signal(SIGPIPE, SIG_IGN);
  for (const auto& [tool, input] : {std::make_pair(std::string(H264DEC), h264), std::make_pair(std::string(AC3DEC), ac3)}) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(fds[0], 0);
      ::close(fds[1]);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 2);
      ::execl(tool.c_str(), tool.c_str(), "-o", kept.c_str(), "-", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[0]);
    size_t sent = 0;
    while (sent < input.size()) {
      const ssize_t n = ::write(fds[1], input.data() + sent, input.size() - sent);
      if (n <= 0) break;
      sent += size_t(n);
    }
    EXPECT_EQ(sent, input.size()) << tool;
    // Its output open (a file in the folder among its descriptors), it waits
    // for more of the pipe.
    bool open = false;
    for (int wait = 0; wait < 1000 && !open; ++wait) {
      for (int fd = 3; fd < 16 && !open; ++fd) {
        char target[4096];
        const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        open = n > 0 && std::string(target, size_t(n)).rfind(Dir() + "/", 0) == 0;
      }
      if (!open) ::usleep(5000);
    }
    EXPECT_TRUE(open) << tool << " opened no output";
    ::usleep(200000);
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fds[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << tool << ": " << status;
    EXPECT_EQ(testsupport::read_text(kept), "what was there\n") << tool;
    EXPECT_EQ(FolderNames(), before) << tool << ": nothing is left beside the destination";
  }
}

// --help names every option, the environment and the exit codes, on standard
// output.
TEST(ToolHelp, CoversEveryOption) {
  const struct {
    std::string tool;
    std::vector<std::string> words;
  } kTools[] = {
      {MTSIMPORT, {"--dump", "--mov", "--idle", "-v, --verbose", "--help", "--version", "VP_FORCE_VARIANT", "exit status"}},
      {H264DEC,
       {"-o FILE", "--format", "yv12", "iyuv", "yuy2", "uyvy", "--threads", "--no-deblock", "--md5", "--framemd5",
        "-v, --verbose", "--help", "--version", "VP_FORCE_VARIANT", "exit status"}},
      {AC3DEC, {"-o FILE", "--md5", "--framemd5", "-v, --verbose", "--help", "--version", "VP_FORCE_VARIANT", "exit status"}},
  };
  for (const auto& t : kTools) {
    const testsupport::CommandResult r = testsupport::run_command(t.tool + " --help");
    EXPECT_EQ(r.exit, 0) << t.tool;
    EXPECT_EQ(r.err, "") << t.tool;
    for (const std::string& w : t.words) EXPECT_NE(r.out.find(w), std::string::npos) << t.tool << ": " << w;
  }
}

// The decoders end alike and say so alike: 0 undamaged, 3 damage concealed
// or dropped with the output complete, 1 failure.
TEST(ToolHelp, DecodersStateOneExitConvention) {
  for (const std::string tool : {H264DEC, AC3DEC}) {
    const testsupport::CommandResult r = testsupport::run_command(tool + " --help");
    EXPECT_NE(r.out.find("exit status: 0 decoded to the end, undamaged; 3 decoded to the end, with\n"
                         "damage concealed ("),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("; 1 the input could not be read"), std::string::npos) << r.out;
  }
}

// Without VP_FORCE_VARIANT the decoders run the best variant the processor
// has, as a process that opened the AC-3 decoder would; with it, that one.
TEST(ToolVariant, FollowsTheProcessor) {
  vpStaticInit();
  const char* const kNames[4] = {"sse2", "sse2", "ssse3", "sse41"};
  const std::string best = kNames[vpVariantIndex.load() & 3u];
  for (const std::string tool : {H264DEC, AC3DEC}) {
    const std::string input = tool == H264DEC ? kH264 : kAc3;
    const testsupport::CommandResult r = testsupport::run_command("unset VP_FORCE_VARIANT; " + tool + " -v --md5 " + input);
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.err.find("primitives: " + best + " variant"), std::string::npos) << r.err;
    const testsupport::CommandResult forced = testsupport::run_command("VP_FORCE_VARIANT=sse2 " + tool + " -v --md5 " + input);
    EXPECT_NE(forced.err.find("primitives: sse2 variant"), std::string::npos) << forced.err;
    if (tool == H264DEC) {
      EXPECT_EQ(forced.out, r.out) << "every variant decodes the same pictures";
    }
  }
}

// "-o -" writes the pictures to standard output, the summary with the picture
// size and format stays on standard error.
TEST(H264dec, PicturesToStandardOutput) {
  const testsupport::CommandResult md5 = testsupport::run_command(std::string(H264DEC) + " --md5 " + kH264);
  ASSERT_EQ(md5.exit, 0) << md5.err;
  const testsupport::CommandResult raw = testsupport::run_command(std::string(H264DEC) + " -o - " + kH264);
  ASSERT_EQ(raw.exit, 0) << raw.err;
  EXPECT_EQ(raw.out.size(), 12u * 176 * 144 * 3 / 2);
  EXPECT_EQ(md5_hex(raw.out.data(), raw.out.size()) + "\n", md5.out);
  EXPECT_NE(raw.err.find("12 pictures of 176x144 in IYUV (planar 4:2:0: Y, then U, then V), 38016 bytes each"),
            std::string::npos)
      << raw.err;
  const testsupport::CommandResult yuy2 =
      testsupport::run_command(std::string(H264DEC) + " --format yuy2 -o /dev/null " + kH264);
  EXPECT_NE(yuy2.err.find("176x144 in YUY2 (packed 4:2:2: Y U Y V), 50688 bytes each"), std::string::npos) << yuy2.err;
}

// A stream joined from streams of other sizes, larger after smaller and back
// (frames, MBAFF frames, field pictures): every picture at its own size as
// the reference decoder gives it, whatever the worker count, and each size
// named from the picture it starts at.
TEST(H264dec, EveryPictureAtItsOwnSize) {
  const std::string small = testsupport::local_data_file("conformance/MIDR_MW_D.md5s");
  const struct {
    const char* stream;
    std::string reference;
    int bytes;
  } parts[] = {{"h264-conformance/MIDR_MW_D.264", small, 38016},
               {"h264-features/14_mbaff_tff_cabac.264", testsupport::testdata_file("h264-features/14_mbaff_tff_cabac.framemd5"), 152064},
               {"h264-conformance/CVFI1_SVA_C.264", testsupport::local_data_file("conformance/CVFI1_SVA_C.md5s"), 518400},
               {"h264-conformance/MIDR_MW_D.264", small, 38016}};
  std::vector<uint8_t> joined;
  std::string expected;
  for (const auto& part : parts) {
    AVCHD_REQUIRE_TESTDATA(path, part.stream);
    const std::vector<uint8_t> bytes = testsupport::read_file(path);
    joined.insert(joined.end(), bytes.begin(), bytes.end());
    std::istringstream lines(testsupport::read_text(part.reference));
    for (std::string line; std::getline(lines, line);)
      if (!line.empty() && line[0] != '#') expected += std::to_string(part.bytes) + " " + line.substr(line.rfind(' ') + 1) + "\n";
  }
  const std::string path = Write("sizes.264", joined);
  for (const char* threads : {"1", "8"}) {
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(H264DEC) + " --framemd5 --threads " + threads + " " + path);
    EXPECT_EQ(r.exit, 0) << r.err;
    std::istringstream lines(r.out);
    std::string got;
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::replace(line.begin(), line.end(), ',', ' ');
      std::istringstream fields(line);
      std::string field[6];
      for (std::string& f : field) fields >> f;
      got += field[4] + " " + field[5] + "\n";  // size and MD5
    }
    EXPECT_EQ(expected, got) << threads << " workers";
    EXPECT_NE(r.err.find("257 pictures in IYUV (planar 4:2:0: Y, then U, then V): 176x144 (38016 bytes each); from "
                         "picture 101: 352x288 (152064 bytes each); from picture 151: 720x480 (518400 bytes each); "
                         "from picture 158: 176x144"),
              std::string::npos)
        << r.err;
  }
}

// The MD5 column of h264dec's --framemd5 output.
std::vector<std::string> Md5Column(const std::string& framemd5) {
  std::vector<std::string> out;
  std::istringstream lines(framemd5);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != '#') out.push_back(line.substr(line.rfind(' ') + 1));
  return out;
}

// A stream without its NAL units of one type.
std::vector<uint8_t> WithoutType(const std::vector<uint8_t>& b, uint8_t type) {
  std::vector<size_t> units;  // start codes
  for (size_t i = 0; i + 3 < b.size(); ++i)
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) units.push_back(i);
  std::vector<uint8_t> out;
  for (size_t u = 0; u < units.size(); ++u)
    if ((b[units[u] + 3] & 31) != type)
      out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(units[u]),
                 u + 1 < units.size() ? b.begin() + static_cast<std::ptrdiff_t>(units[u + 1]) : b.end());
  return out;
}

// A stream without its IDR slices.
std::vector<uint8_t> WithoutIdrSlices(const std::vector<uint8_t>& b) { return WithoutType(b, 5); }

// BA_MW_D's pictures, then those `part` gives alone (its run in `*alone`).
std::vector<std::string> SmallThenAlone(const std::vector<uint8_t>& part, const char* name,
                                        testsupport::CommandResult* alone) {
  *alone = testsupport::run_command(std::string(H264DEC) + " --framemd5 " + Write(name, part));
  std::vector<std::string> out = Md5Column(testsupport::read_text(testsupport::local_data_file("conformance/BA_MW_D.md5s")));
  for (const std::string& md5 : Md5Column(alone->out)) out.push_back(md5);
  return out;
}

// Larger pictures joined on without their IDR pictures, an open-GOP stream:
// its pictures before its first recovery point I picture are left out and
// said to be of another size; a decoder for its size is opened at that I
// picture, from which it decodes as it does alone. It ended the stream.
TEST(H264dec, LargerPicturesWithoutAnIdrPictureStartAtAnIPicture) {
  AVCHD_REQUIRE_TESTDATA(small, "h264-conformance/BA_MW_D.264");             // 176x144
  AVCHD_REQUIRE_TESTDATA(large, "h264-features/30_open_gop_sei_aud.264");  // 352x288
  const std::vector<uint8_t> withoutIdr = WithoutIdrSlices(testsupport::read_file(large));
  testsupport::CommandResult alone;
  const std::vector<std::string> expected = SmallThenAlone(withoutIdr, "open_gop_without_idr.264", &alone);
  EXPECT_EQ(alone.exit, 3) << alone.err;
  ASSERT_EQ(38u, Md5Column(alone.out).size()) << alone.err;
  std::vector<uint8_t> joined = testsupport::read_file(small);
  joined.insert(joined.end(), withoutIdr.begin(), withoutIdr.end());
  const std::string path = Write("larger_without_idr.264", joined);
  for (const char* threads : {"1", "8"}) {
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(H264DEC) + " --framemd5 --threads " + threads + " " + path);
    EXPECT_EQ(r.exit, 3) << r.err;
    EXPECT_EQ(expected, Md5Column(r.out)) << threads << " workers";
    EXPECT_NE(r.err.find(": damaged stream: 9 pictures have references of another size (left out)\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("138 pictures in IYUV (planar 4:2:0: Y, then U, then V): 176x144 (38016 bytes each); from "
                         "picture 101: 352x288"),
              std::string::npos)
        << r.err;
  }
}

// The same with the larger stream's parameter sets sent only before its P
// pictures, its first I picture later (CAMA3_Sand_E), and with those sets
// sent twice: the decoder for its size is opened at the sets and starts at
// that I picture as the stream alone does (its two B pictures after that I
// picture, before it in output order, left out). The larger pictures were
// all left out.
TEST(H264dec, LargerPicturesWithoutAnIdrPictureStartAtTheirFirstIPicture) {
  AVCHD_REQUIRE_TESTDATA(small, "h264-conformance/BA_MW_D.264");       // 176x144
  AVCHD_REQUIRE_TESTDATA(large, "h264-conformance/CAMA3_Sand_E.264");  // 352x288
  const std::vector<uint8_t> withoutIdr = WithoutIdrSlices(testsupport::read_file(large));
  testsupport::CommandResult alone;
  const std::vector<std::string> expected = SmallThenAlone(withoutIdr, "cama3_without_idr.264", &alone);
  ASSERT_EQ(38u, Md5Column(alone.out).size()) << alone.err;
  size_t sets = 0;  // the bytes before the first slice
  while (sets + 3 < withoutIdr.size() && !(withoutIdr[sets] == 0 && withoutIdr[sets + 1] == 0 &&
                                           withoutIdr[sets + 2] == 1 && (withoutIdr[sets + 3] & 31) == 1))
    ++sets;
  for (const bool twice : {false, true}) {
    std::vector<uint8_t> joined = testsupport::read_file(small);
    if (twice) joined.insert(joined.end(), withoutIdr.begin(), withoutIdr.begin() + static_cast<std::ptrdiff_t>(sets));
    joined.insert(joined.end(), withoutIdr.begin(), withoutIdr.end());
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(H264DEC) + " --framemd5 " + Write("larger_later_i.264", joined));
    EXPECT_EQ(r.exit, 3) << r.err;
    EXPECT_EQ(expected, Md5Column(r.out)) << (twice ? "sets sent twice" : "sets once");
  }
}

// Larger pictures joined on at an I picture, without their IDR picture and
// a recovery point: every picture after it as the whole stream has it, and
// the IDR picture said to be lost, which the decoder opened for them cannot
// tell from a stream that begins at that I picture.
TEST(H264dec, LargerPicturesJoinedOnAtAnIPictureLoseTheirIdrPicture) {
  AVCHD_REQUIRE_TESTDATA(small, "h264-conformance/BA_MW_D.264");             // 176x144
  AVCHD_REQUIRE_TESTDATA(large, "h264-features/40_explicit_b_cabac.264");  // 352x288
  std::vector<uint8_t> joined = testsupport::read_file(small);
  const std::vector<uint8_t> withoutIdr = WithoutIdrSlices(testsupport::read_file(large));
  joined.insert(joined.end(), withoutIdr.begin(), withoutIdr.end());
  std::vector<std::string> expected = Md5Column(testsupport::read_text(testsupport::local_data_file("conformance/BA_MW_D.md5s")));
  const std::vector<std::string> whole =
      Md5Column(testsupport::read_text(testsupport::testdata_file("h264-features/40_explicit_b_cabac.framemd5")));
  expected.insert(expected.end(), whole.begin() + 1, whole.end());
  const testsupport::CommandResult r =
      testsupport::run_command(std::string(H264DEC) + " --framemd5 " + Write("larger_at_i.264", joined));
  EXPECT_EQ(r.exit, 3) << r.err;
  EXPECT_EQ(expected, Md5Column(r.out));
  EXPECT_NE(r.err.find(": damaged stream: 1 picture lost ("), std::string::npos) << r.err;
}

// A stream cut at a recovery point says how many pictures it left out
// before the recovery point's end; without its SEI units (no recovery point,
// no IDR or I picture) it gives no picture and says why.
TEST(H264dec, StreamCutAtARecoveryPointSaysWhatItLeftOut) {
  const std::string cut = testsupport::local_data_file("recovery/intra_refresh_cut.264");
  for (const char* threads : {"1", "8"}) {
    const testsupport::CommandResult r =
        testsupport::run_command(std::string(H264DEC) + " --framemd5 --threads " + threads + " " + cut);
    EXPECT_EQ(r.exit, 3) << r.err;
    EXPECT_EQ(Md5Column(testsupport::read_text(testsupport::local_data_file("recovery/intra_refresh_cut.framemd5"))),
              Md5Column(r.out));
    EXPECT_NE(r.err.find(": damaged stream: 6 pictures before an IDR picture, I picture or recovery point of their "
                         "stream (left out)\n"),
              std::string::npos)
        << r.err;
  }
  const std::string bare = Write("no_start.264", WithoutType(testsupport::read_file(cut), 6));
  const testsupport::CommandResult r = testsupport::run_command(std::string(H264DEC) + " --md5 " + bare);
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(": error 11: no picture to start from: the stream has no IDR picture, and no I picture or "
                       "recovery point before its predicted pictures"),
            std::string::npos)
      << r.err;
}

// A stream the decoder refuses gets no checksum of the pictures before the
// refusal.
TEST(H264dec, RefusedStreamHasNoChecksum) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/44_longterm_p.264");
  const testsupport::CommandResult r = testsupport::run_command(std::string(H264DEC) + " --md5 " + path);
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
}

TEST(Ac3dec, PcmToStandardOutput) {
  const std::string file = Dir() + "/whole.pcm";
  const testsupport::CommandResult toFile = testsupport::run_command(std::string(AC3DEC) + " -o " + file + " " + kAc3);
  const testsupport::CommandResult toStdout = testsupport::run_command(std::string(AC3DEC) + " -o - " + kAc3);
  ASSERT_EQ(toFile.exit, 0) << toFile.err;
  ASSERT_EQ(toStdout.exit, 0) << toStdout.err;
  EXPECT_EQ(toStdout.err, "ac3dec: 94 frames of 1536 samples at 48000 Hz, stereo, 2 channels, in interleaved signed "
                          "16-bit little-endian PCM (6144 bytes a frame)\n");
  EXPECT_EQ(toStdout.out, testsupport::read_text(file));
  std::remove(file.c_str());
}

TEST(Ac3dec, NamesTheLayoutItWrites) {
  const testsupport::CommandResult r = testsupport::run_command(
      std::string(AC3DEC) + " --framemd5 " + testsupport::local_data_file("ac3/ac3_51_448k_3s.nodither.ac3"));
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("#channel_layout_name 0: 3/2+LFE (L C R Ls Rs LFE)\n"), std::string::npos) << r.out;
}

// A damaged frame, whichever part of it is hit, becomes one frame of silence;
// the frames around it decode as before, the warning names the file and the
// frame, and the run ends with status 3.
TEST(Ac3dec, ContinuesPastADamagedFrame) {
  const std::vector<uint8_t> clean = testsupport::read_file(kAc3);
  ASSERT_GT(clean.size(), 8u * 1024);  // 256 kbit/s at 48 kHz: 1024-byte frames
  const std::string good = testsupport::run_command(std::string(AC3DEC) + " -o - " + kAc3).out;
  constexpr size_t kFrame = 1024, kPcmFrame = 1536 * 2 * 2;
  ASSERT_EQ(good.size(), clean.size() / kFrame * kPcmFrame);
  const struct {
    const char* name;
    size_t offset;  // within frame 3
    const char* why;
  } kDamage[] = {{"payload", 500, "checksum (CRC) mismatch"}, {"sync", 0, "no readable frame"}, {"header", 4, ""}};
  for (const auto& d : kDamage) {
    std::vector<uint8_t> bytes = clean;
    bytes[3 * kFrame + d.offset] ^= 0xFF;
    bytes[3 * kFrame + d.offset + 1] ^= 0xFF;
    const std::string path = Write(std::string("damaged_") + d.name + ".ac3", bytes);
    const testsupport::CommandResult r = testsupport::run_command(std::string(AC3DEC) + " -o - " + path);
    EXPECT_EQ(r.exit, 3) << d.name;
    EXPECT_NE(r.err.find("ac3dec: warning: " + path + ": damaged stream: frame 3 at byte 3072: " + d.why), std::string::npos) << r.err;
    ASSERT_EQ(r.out.size(), good.size()) << d.name;
    EXPECT_EQ(r.out.substr(0, 3 * kPcmFrame), good.substr(0, 3 * kPcmFrame)) << d.name;
    EXPECT_EQ(r.out.substr(3 * kPcmFrame, kPcmFrame), std::string(kPcmFrame, '\0')) << d.name;
    // From the frame after next on the decoder's history is whole again.
    EXPECT_EQ(r.out.substr(5 * kPcmFrame), good.substr(5 * kPcmFrame)) << d.name;
  }
  // Bytes between two frames are dropped, with a warning; the PCM is whole.
  std::vector<uint8_t> bytes = clean;
  bytes.insert(bytes.begin() + 3 * kFrame, {'j', 'u', 'n', 'k'});
  const std::string path = Write("junk.ac3", bytes);
  const testsupport::CommandResult r = testsupport::run_command(std::string(AC3DEC) + " -o - " + path);
  EXPECT_EQ(r.exit, 3);
  EXPECT_NE(r.err.find(path + ": damaged stream: 4 bytes without a frame skipped at byte 3072"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out == good);
}

// Bytes dropped outside any whole frame end the run with status 3 wherever
// they lie: before the first frame, between two, or after the last (junk, or
// a last frame cut short); the PCM of the whole frames is all there.
TEST(Ac3dec, DroppedBytesEndWithStatus3) {
  const std::vector<uint8_t> clean = testsupport::read_file(kAc3);
  const std::string good = testsupport::run_command(std::string(AC3DEC) + " -o - " + kAc3).out;
  constexpr size_t kFrame = 1024, kPcmFrame = 1536 * 2 * 2;
  std::vector<uint8_t> before = clean, after = clean;
  before.insert(before.begin(), 100, 0xA5);
  after.insert(after.end(), 100, 0xA5);
  const struct {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string warning;
    size_t pcmBytes;
  } kCases[] = {
      {"before", before, "100 bytes before the first frame skipped", good.size()},
      {"after", after, "100 bytes after the last whole frame skipped", good.size()},
      {"cut", {clean.begin(), clean.end() - kFrame / 2}, "512 bytes after the last whole frame skipped",
       good.size() - kPcmFrame},
  };
  for (const auto& c : kCases) {
    const std::string path = Write("dropped_" + c.name + ".ac3", c.bytes);
    const testsupport::CommandResult r = testsupport::run_command(std::string(AC3DEC) + " -o - " + path);
    EXPECT_EQ(r.exit, 3) << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find("ac3dec: warning: " + path + ": damaged stream: " + c.warning + "\n"), std::string::npos)
        << r.err;
    EXPECT_TRUE(r.out == good.substr(0, c.pcmBytes)) << c.name;
  }
}

// Junk before the first good frame is dropped, never turned into silence:
// random bytes (with the sync words they happen to hold) and a damaged copy
// of a frame, whose length leads to the stream's first frame, are counted
// in the one warning; the PCM is that of the stream alone.
TEST(Ac3dec, JunkBeforeTheFirstFrameIsDropped) {
  const std::vector<uint8_t> clean = testsupport::read_file(kAc3);
  const std::string good = testsupport::run_command(std::string(AC3DEC) + " -o - " + kAc3).out;
  constexpr size_t kFrame = 1024;
  std::vector<uint8_t> bytes(size_t{1} << 20);
  std::mt19937 rng(4);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  bytes.insert(bytes.end(), clean.begin(), clean.begin() + kFrame);
  bytes[bytes.size() - kFrame / 2] ^= 0xFF;  // fails its checksum
  const size_t junk = bytes.size();
  bytes.insert(bytes.end(), clean.begin(), clean.end());
  const std::string path = Write("junk_first.ac3", bytes);
  const testsupport::CommandResult r = testsupport::run_command(std::string(AC3DEC) + " -o - " + path);
  EXPECT_EQ(r.exit, 3) << r.err;
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
            "ac3dec: warning: " + path + ": damaged stream: " + std::to_string(junk) + " bytes before the first frame skipped\n");
  EXPECT_EQ(r.out.size(), good.size());
  EXPECT_TRUE(r.out == good);
}

// Transport streams are told from Annex B and AC-3 streams by the sync bytes
// on their packet grid: 188-byte packets, or 192 with an arrival time before
// each, from wherever the file starts within a packet.
TEST(ToolInput, TransportStreamIsRecognised) {
  const std::vector<uint8_t> m2ts = testsupport::read_file(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
  ASSERT_GT(m2ts.size(), 8u * 192);
  EXPECT_EQ(192u, tools::TransportStreamPacketSize(m2ts.data(), m2ts.size()));
  std::vector<uint8_t> ts;
  for (size_t at = 0; at + 192 <= m2ts.size(); at += 192) ts.insert(ts.end(), &m2ts[at + 4], &m2ts[at] + 192);
  EXPECT_EQ(188u, tools::TransportStreamPacketSize(ts.data(), ts.size()));
  // Off the grid: every offset within the first packet.
  for (size_t cut = 1; cut < 192; ++cut) {
    ASSERT_EQ(192u, tools::TransportStreamPacketSize(m2ts.data() + cut, m2ts.size() - cut)) << cut;
    ASSERT_EQ(188u, tools::TransportStreamPacketSize(ts.data() + cut, ts.size() - cut)) << cut;
  }
  // Two packets are enough when the file holds no more; one is not; off the
  // grid it takes four.
  EXPECT_EQ(188u, tools::TransportStreamPacketSize(ts.data(), 2 * 188 + 10));
  EXPECT_EQ(0u, tools::TransportStreamPacketSize(ts.data(), 188 + 10));
  EXPECT_EQ(0u, tools::TransportStreamPacketSize(ts.data() + 5, 4 * 188));  // three whole packets
  EXPECT_EQ(188u, tools::TransportStreamPacketSize(ts.data() + 5, 5 * 188));
  // Streams of other kinds are no transport stream.
  for (const char* other : {"inter/p_cavlc.264", "inter/bench1080.264", "ac3/ac3_51_448k_3s.nodither.ac3",
                            "ac3/own_20_48k_640k.nodither.ac3"}) {
    const std::vector<uint8_t> bytes = testsupport::read_file(testsupport::local_data_file(other));
    EXPECT_EQ(0u, tools::TransportStreamPacketSize(bytes.data(), bytes.size())) << other;
  }
}

// A transport stream whose head is damaged is still one: a sync byte of one
// of its first packets changed, junk before its first packet (188 bytes or
// more, so that no packet starts within the first 188), a damaged packet in
// every four of a run; a run whose first eight packets are all damaged is
// found behind them.
TEST(ToolInput, TransportStreamWithADamagedHeadIsRecognised) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/avchd_1080i_10s_ac3_20_avchd.m2ts");
  const std::vector<uint8_t> whole = testsupport::read_file(path);
  ASSERT_GT(whole.size(), 2 * tools::kTransportStreamProbeBytes);
  const std::vector<uint8_t> head(whole.begin(), whole.begin() + 2 * tools::kTransportStreamProbeBytes);
  std::vector<uint8_t> bare;  // the same packets without their arrival times
  for (size_t at = 0; at + 192 <= head.size(); at += 192) bare.insert(bare.end(), &head[at + 4], &head[at] + 192);
  for (const auto& [packet, clean, first] : {std::make_tuple(size_t{192}, head, size_t{4}),
                                             std::make_tuple(size_t{188}, bare, size_t{0})}) {
    for (size_t k = 0; k < 8; ++k) {
      std::vector<uint8_t> bytes = clean;
      bytes[first + k * packet] = 0x46;
      EXPECT_EQ(packet, tools::TransportStreamPacketSize(bytes.data(), bytes.size())) << packet << ", packet " << k;
    }
    std::vector<uint8_t> bytes = clean;
    for (size_t k = 1; k < 16; k += 4) bytes[first + k * packet] = 0x46;
    EXPECT_EQ(packet, tools::TransportStreamPacketSize(bytes.data(), bytes.size())) << packet << ", one in four";
    for (size_t k = 0; k < 8; ++k) bytes[first + k * packet] = 0x46;
    EXPECT_EQ(packet, tools::TransportStreamPacketSize(bytes.data(), bytes.size())) << packet << ", first eight";
    std::mt19937 rng(188);
    for (size_t junk : {size_t{188}, size_t{189}, size_t{1000}, size_t{4096}}) {
      std::vector<uint8_t> late(junk);
      for (uint8_t& b : late) b = static_cast<uint8_t>(rng());
      late.insert(late.end(), clean.begin(), clean.end());
      EXPECT_EQ(packet, tools::TransportStreamPacketSize(late.data(), std::min(late.size(),
                                                                                tools::kTransportStreamProbeBytes)))
          << packet << ", " << junk << " bytes of junk before";
    }
  }
}

// A transport stream far into its input is one all the same, for both
// decoders: after 10,000 bytes of junk, with every second sync byte of its
// first 60 packets damaged, and after 200 KB of junk holding real packets.
TEST(ToolInput, TransportStreamFarIntoTheInputIsRefused) {
  const std::vector<uint8_t> ts = testsupport::read_file(testsupport::local_data_file("importer/importer_lpcm_20.m2ts"));
  std::mt19937 rng(50);
  auto junk = [&rng](size_t n) {
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
  };
  std::vector<uint8_t> late = junk(10000), halves = ts, among = junk(200000);
  late.insert(late.end(), ts.begin(), ts.end());
  for (size_t k = 0; k < 60; k += 2) halves[k * 192 + 4] = 0x46;
  for (size_t k = 0; k < 8; ++k) std::copy_n(&ts[(40 + 7 * k) * 192], 192, &among[20000 * k + 1000 + k]);
  among.insert(among.end(), ts.begin(), ts.end());
  for (const auto& [name, bytes] : {std::make_pair("far_late.MTS", late), std::make_pair("far_halves.MTS", halves),
                                    std::make_pair("far_among.MTS", among)}) {
    const std::string path = Write(name, bytes);
    for (const std::string tool : {H264DEC, AC3DEC}) {
      const testsupport::CommandResult r = testsupport::run_command(tool + " --md5 " + path);
      EXPECT_EQ(r.exit, 1) << tool << " " << name << "\n" << r.err;
      EXPECT_NE(r.err.find(path + ": an MPEG transport stream of 192-byte packets, not "), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("(mtsimport imports it)"), std::string::npos) << r.err;
    }
  }
}

// No stream of the test material, nor random junk, nor a run of one byte,
// is taken for a transport stream.
TEST(ToolInput, NoElementaryStreamIsATransportStream) {
  AVCHD_REQUIRE_TESTDATA(conformanceList, "h264-conformance/expected.tsv");  // the folder holds streams
  const std::string conformance = conformanceList.substr(0, conformanceList.rfind('/'));
  AVCHD_REQUIRE_TESTDATA(features, "h264-features/");
  AVCHD_REQUIRE_TESTDATA(ac3, "ac3/");
  const std::string list = testsupport::run_command("find " + conformance + " " + features + " " + ac3 +
                                                    " -type f \\( -name '*.264' -o -name '*.avc' -o -name '*.ac3' \\)")
                               .out;
  size_t checked = 0;
  for (size_t at = 0, end; (end = list.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string file = list.substr(at, end - at);
    std::vector<uint8_t> bytes = testsupport::read_file(file);
    bytes.resize(std::min(bytes.size(), tools::kTransportStreamProbeBytes));
    EXPECT_EQ(0u, tools::TransportStreamPacketSize(bytes.data(), bytes.size())) << file;
    ++checked;
  }
  EXPECT_GT(checked, 100u);
  std::mt19937 rng(47);
  std::vector<uint8_t> junk(tools::kTransportStreamProbeBytes);
  for (int round = 0; round < 2000; ++round) {
    for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(0u, tools::TransportStreamPacketSize(junk.data(), junk.size())) << "junk, round " << round;
  }
  const std::vector<uint8_t> same(tools::kTransportStreamProbeBytes, 0x47);
  EXPECT_EQ(0u, tools::TransportStreamPacketSize(same.data(), same.size()));
}

// The words the tools print for the codes they meet.
TEST(ToolCodes, WordsAndNumbers) {
  using tools::CodeSource;
  EXPECT_EQ(tools::DescribeCode(CodeSource::kComponents, -29), "frame index full (-29)");
  EXPECT_EQ(tools::DescribeCode(CodeSource::kComponents, -2010), "no H.264 video stream (-2010)");
  EXPECT_EQ(tools::DescribeCode(CodeSource::kAc3Decoder, -8), "checksum (CRC) mismatch: damaged frame (-8)");
  EXPECT_EQ(tools::DescribeCode(CodeSource::kComponents, -12345), "error -12345");
  for (int32_t code : {-17, -23, -29, -41, -42, -43, -50, -108, -36, -39, -1302, -8960})
    EXPECT_NE(tools::CodeText(CodeSource::kComponents, code), nullptr) << code;
  for (int32_t code = -8; code <= -1; ++code) EXPECT_NE(tools::CodeText(CodeSource::kAc3Decoder, code), nullptr) << code;
  long v = 0;
  EXPECT_TRUE(tools::ParseNumber("12", 0, 255, &v) && v == 12);
  for (const char* bad : {"", "abc", "4x", "-1", "256", "99999999999999999999"})
    EXPECT_FALSE(tools::ParseNumber(bad, 0, 255, &v)) << bad;
}

}  // namespace
