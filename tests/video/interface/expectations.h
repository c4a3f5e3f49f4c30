// Reader of tests/data/h264syntax/expectations.txt: per stream, the fields of
// every parameter set and timing SEI message as an independent parser printed
// them, with runs of equal consecutive entries counted.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace h264test {

struct Entry {
  char kind = 0;  // S, P, B, T, R, L
  int count = 1;
  std::vector<std::pair<std::string, std::string>> fields;
};

struct StreamExpectation {
  std::string path;  // relative to the test material folder
  std::vector<Entry> entries;
  std::string classes;  // slice class per access unit, when recorded
};

// Empty when the file cannot be read.
std::vector<StreamExpectation> load_expectations();

// Hands out the entries of one kind in order, expanding the counts.
class EntryCursor {
 public:
  EntryCursor(const StreamExpectation& s, char kind);
  const Entry* next();  // null when none is left
  int remaining() const;

 private:
  std::vector<const Entry*> entries_;
  size_t index_ = 0;
  int used_ = 0;
};

// Splits "name[3]" into "name" and 3; no index gives -1.
std::pair<std::string, int> split_index(const std::string& name);

}  // namespace h264test

struct SequenceParameterSetFields;
struct PictureParameterSetFields;
struct SeiRecord;

namespace h264test {

// Value of a named field in the expectation file's form ("sl[i]" is a
// scaling list in scan order); false for a name the record does not hold.
bool sps_field(const SequenceParameterSetFields& s, const std::string& name, std::string* value);
bool pps_field(const PictureParameterSetFields& p, const std::string& name, std::string* value);
bool sei_field(const SeiRecord& r, const std::string& name, std::string* value);

// Frame zig-zag scan of an n x n block, built by walking the anti-diagonals.
std::vector<int> zigzag(int n);

// Default scaling lists in scan order: 4x4 intra, 4x4 inter, 8x8 intra, 8x8 inter.
const std::vector<int>& default_list_in_scan_order(int which);

// Scan-order text of the default list for scaling list i (0..7).
std::string default_list_text(int i);

// Mismatches of `e` against a record, one text each ("name: got x, want y").
template <typename Lookup>
std::vector<std::string> mismatches(const Entry& e, Lookup lookup, const std::vector<std::string>& ignore = {}) {
  std::vector<std::string> out;
  for (const auto& [name, want] : e.fields) {
    bool skip = false;
    for (const std::string& i : ignore) skip |= (name == i);
    if (skip) continue;
    std::string got;
    std::string wanted = want;
    if (want == "default" && name.rfind("sl[", 0) == 0) wanted = default_list_text(split_index(name).second);
    if (!lookup(name, &got)) {
      out.push_back(name + ": no such field");
    } else if (got != wanted) {
      out.push_back(name + ": got " + got + ", want " + wanted);
    }
  }
  return out;
}

}  // namespace h264test
