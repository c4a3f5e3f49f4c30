// Conformance runner: decodes every stream of the conformance suite and
// every feature clip, and compares with the reference decoder's output as
// committed (picture counts and per-picture MD5s, which also fix the output
// order). Streams the decoder refuses by design are listed with the reason.
// The bar is: the same number of pictures as the reference, no crash and no
// hang; the streams of conformance_expected_pass.txt must also be bit-exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "testsupport.h"

namespace {

struct Stream {
  std::string name;
  std::string path;
  std::vector<std::string> reference;  // per-picture MD5s (may be empty)
  int64_t expectedPictures = -1;       // -1: unknown
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> split(const std::string& line, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

std::string trim(std::string s) {
  while (!s.empty() && (s.front() == ' ')) s.erase(s.begin());
  while (!s.empty() && (s.back() == ' ')) s.pop_back();
  return s;
}

// Refused by design: long-term references (in the stream's list modification
// or marking syntax; MR2_MW_A only after 196 pictures, at its first
// memory management operation 2).
const std::set<std::string> kRefusedByDesign = {
    "FRExt_MMCO4_S_B", "HCBP2_HHI_A",    "HCMP1_HHI_A",   "MR2_MW_A",      "MR2_TANDBERG_E",         "MR3_TANDBERG_B",
    "MR4_TANDBERG_C",  "MR5_TANDBERG_C", "44_longterm_p", "45_longterm_b_temporal",
};

std::vector<Stream> conformance_streams(const std::string& root) {
  std::vector<Stream> out;
  std::map<std::string, int64_t> counts;
  for (const std::string& line : lines_of(testsupport::read_text(testsupport::local_data_file("conformance/counts.tsv")))) {
    const auto f = split(line, '\t');
    if (f.size() >= 2 && f[0] != "name") counts[f[0]] = std::stoll(f[1]);
  }
  for (const std::string& line : lines_of(testsupport::read_text(root + "/h264-conformance/expected.tsv"))) {
    if (line.empty() || line[0] == '#') continue;
    const auto f = split(line, '\t');
    if (f.size() < 4) continue;
    Stream s;
    s.name = f[1];
    s.path = root + "/h264-conformance/" + f[0];
    const std::string ref = testsupport::local_data_file("conformance/" + s.name + ".md5s");
    std::ifstream probe(ref);
    if (probe) s.reference = lines_of(testsupport::read_text(ref));
    if (counts.count(s.name)) s.expectedPictures = counts[s.name];
    out.push_back(s);
  }
  return out;
}

std::vector<Stream> feature_clips(const std::string& root) {
  std::vector<Stream> out;
  const std::string dir = root + "/h264-features/";
  // Clips are named NN_*.264 beside their .framemd5.
  FILE* pipe = popen(("ls " + dir + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  char buf[512];
  std::vector<std::string> names;
  while (fgets(buf, sizeof(buf), pipe)) {
    std::string n = buf;
    while (!n.empty() && (n.back() == '\n')) n.pop_back();
    if (n.size() > 4 && n.substr(n.size() - 4) == ".264") names.push_back(n.substr(0, n.size() - 4));
  }
  pclose(pipe);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    Stream s;
    s.name = n;
    s.path = dir + n + ".264";
    for (const std::string& line : lines_of(testsupport::read_text(dir + n + ".framemd5"))) {
      if (line.empty() || line[0] == '#') continue;
      const auto f = split(line, ',');
      if (f.size() >= 6) s.reference.push_back(trim(f[5]));
    }
    s.expectedPictures = static_cast<int64_t>(s.reference.size());
    out.push_back(s);
  }
  return out;
}

// Names listed one a line in a file beside this test ('#' starts a comment).
std::set<std::string> stream_list(const char* file) {
  std::set<std::string> out;
  const std::string path = std::string(AVCHD_ENGINE_TEST_DIR) + "/" + file;
  for (const std::string& line : lines_of(testsupport::read_text(path)))
    if (!line.empty() && line[0] != '#') out.insert(trim(line));
  return out;
}

TEST(ConformanceRunner, EveryStreamDecodesWithTheReferencePictureCount) {
  AVCHD_REQUIRE_TESTDATA(conf, "h264-conformance/expected.tsv");
  const std::string root = conf.substr(0, conf.size() - std::string("/h264-conformance/expected.tsv").size());
  std::vector<Stream> streams = conformance_streams(root);
  for (Stream& s : feature_clips(root)) streams.push_back(s);
  ASSERT_GT(streams.size(), 80u);
  const std::set<std::string> mustPass = stream_list("conformance_expected_pass.txt");
  const std::set<std::string> mustFirst = stream_list("conformance_expected_first.txt");
  // With the material present, a listed stream that is not there would let
  // its promise lapse unseen.
  for (const std::set<std::string>* list : {&mustPass, &mustFirst}) {
    for (const std::string& name : *list) {
      const auto it = std::find_if(streams.begin(), streams.end(), [&](const Stream& s) { return s.name == name; });
      EXPECT_TRUE(it != streams.end() && !testsupport::read_file(it->path).empty())
          << name << " is on a must-pass list but missing from the material in " << root;
    }
  }

  std::printf("%-28s %9s %9s %-9s %s\n", "stream", "expected", "decoded", "bitexact", "first difference / note");
  int exact = 0;
  int countsMatch = 0;
  int refused = 0;
  for (const Stream& s : streams) {
    enginetest::DecodeOptions opt;
    opt.threads = 2;
    const std::vector<uint8_t> data = testsupport::read_file(s.path);
    const enginetest::DecodeRun run = enginetest::decode_buffer(data, opt);
    const bool refusedByDesign = kRefusedByDesign.count(s.name) != 0;
    if (!run.opened && refusedByDesign) {
      ++refused;
      std::printf("%-28s %9lld %9zu %-9s refused: sequence parameter set not supported\n", s.name.c_str(),
                  static_cast<long long>(s.expectedPictures), run.md5s.size(), "-");
      continue;
    }
    if (run.error && run.errorCode == 6) {
      ++refused;
      std::printf("%-28s %9lld %9zu %-9s refused: %s\n", s.name.c_str(), static_cast<long long>(s.expectedPictures),
                  run.md5s.size(), "-", run.refusal.c_str());
      EXPECT_TRUE(refusedByDesign) << s.name << " refused: " << run.refusal;
      continue;
    }
    EXPECT_FALSE(refusedByDesign) << s.name << " should be refused";
    EXPECT_TRUE(run.opened) << s.name;
    EXPECT_FALSE(run.error) << s.name << " error " << run.errorCode;
    EXPECT_TRUE(run.finished) << s.name;
    // An intact stream reports no damage (h264dec would exit 3).
    EXPECT_EQ("", enginetest::damage_words(run.damage)) << s.name;
    size_t firstDiff = run.md5s.size();
    for (size_t i = 0; i < run.md5s.size(); ++i) {
      if (i >= s.reference.size() || run.md5s[i] != s.reference[i]) {
        firstDiff = i;
        break;
      }
    }
    const bool same = !s.reference.empty() && firstDiff == run.md5s.size() && run.md5s.size() == s.reference.size();
    exact += same;
    const bool countOk = s.expectedPictures < 0 || static_cast<int64_t>(run.md5s.size()) == s.expectedPictures;
    countsMatch += countOk;
    std::string note = same ? "" : (s.reference.empty() ? "no per-picture reference" : "picture " + std::to_string(firstDiff));
    std::printf("%-28s %9lld %9zu %-9s %s\n", s.name.c_str(), static_cast<long long>(s.expectedPictures),
                run.md5s.size(), same ? "yes" : "no", note.c_str());
    EXPECT_TRUE(countOk) << s.name << ": " << run.md5s.size() << " pictures, reference " << s.expectedPictures;
    if (mustPass.count(s.name)) {
      EXPECT_TRUE(same) << s.name << " is expected to be bit-exact";
    }
    if (mustFirst.count(s.name)) {
      EXPECT_TRUE(firstDiff > 0 && !s.reference.empty()) << s.name << ": first picture expected bit-exact";
    }
  }
  std::printf("%zu streams: %d with the reference picture count, %d bit-exact, %d refused by design\n",
              streams.size(), countsMatch, exact, refused);
}

}  // namespace
