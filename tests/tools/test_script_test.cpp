// scripts/test.sh: its count of skipped test cases per reason, and which
// steps a label runs. The pieces are taken from the script itself and run by
// bash on made-up input. Also the join campaign's judgement of part-sync's
// figures, run by python.
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "testsupport.h"

namespace {

const std::string kScript = std::string(AVCHD_REPO_ROOT) + "/scripts/test.sh";

// The bash line that runs the lines of the script from the line matching
// `from` to the line matching `to` (sed addresses).
std::string Piece(const std::string& from, const std::string& to) {
  return "eval \"$(sed -n '/" + from + "/,/" + to + "/p' " + kScript + ")\"\n";
}

// Runs in bash `before`, the piece of the script from `from` to `to`, then
// `after`.
testsupport::CommandResult RunPiece(const std::string& from, const std::string& to, const std::string& before,
                                    const std::string& after) {
  const std::string program = "/tmp/avchd_test_script_" + std::to_string(getpid()) + ".sh";
  FILE* f = std::fopen(program.c_str(), "w");
  if (!f) return {};
  std::fprintf(f, "set -euo pipefail\n%s\n%s%s\n", before.c_str(), Piece(from, to).c_str(), after.c_str());
  std::fclose(f);
  const testsupport::CommandResult r = testsupport::run_command("bash " + program);
  std::remove(program.c_str());
  return r;
}

// The functions that look for the material and say what is missing.
const std::string kMaterialPieces =
    Piece("^check_material()", "^}") + Piece("^material_message()", "^}");

TEST(TestScript, CountsSkippedCasesPerReason) {
  const std::string dir = "/tmp/avchd_test_script_" + std::to_string(getpid());
  ASSERT_EQ(testsupport::run_command("mkdir -p " + dir + "/Testing/Temporary").exit, 0);
  FILE* f = std::fopen((dir + "/Testing/Temporary/LastTest.log").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(
      "[ RUN      ] A.B\n/x/a.cpp:10: Skipped\n"
      "test material missing: avchd/a.m2ts (set AVCHD_TESTDATA to the folder holding it)\n[  SKIPPED ] A.B (0 ms)\n"
      "[ RUN      ] A.C\n/x/a.cpp:12: Skipped\ntest material missing: avchd/b.m2ts\n"
      "Google Test trace:\n/x/a.cpp:11: b\n[  SKIPPED ] A.C (0 ms)\n"
      "[ RUN      ] A.D\n/x/a.cpp:14: Skipped\nffmpeg is not installed: the saved movie is not checked\n"
      "[  SKIPPED ] A.D (0 ms)\n[ RUN      ] A.E\n[       OK ] A.E (0 ms)\n"
      "[  SKIPPED ] 3 tests, listed below:\n[  SKIPPED ] A.B\n[  SKIPPED ] A.C\n[  SKIPPED ] A.D\n",
      f);
  std::fclose(f);
  const testsupport::CommandResult r =
      RunPiece("^report_skips()", "^}", "export AVCHD_TESTDATA=" + dir + "/none\n" + kMaterialPieces,
               "report_skips " + dir);
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("skipped test cases: 3\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     2  test material missing (first: avchd/a.m2ts)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     1  ffmpeg is not installed (first: the saved movie is not checked)\n"), std::string::npos)
      << r.out;
  // Which material, where it was looked for, and how to point the tests at it.
  EXPECT_NE(r.out.find("        by folder: avchd/ 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("test material missing: h264-conformance/ h264-features/ ac3/ avchd/ in " + dir +
                       "/none (AVCHD_TESTDATA)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("AVCHD_TESTDATA=/path/to/testdata scripts/test.sh"), std::string::npos) << r.out;
  testsupport::run_command("rm -rf " + dir);
}

// On made material, a case may skip only for a file the script cannot make,
// and must name it.
TEST(TestScript, MadeMaterialSkipsNameAFileTheScriptCannotMake) {
  const std::string log = "/tmp/avchd_test_script_made_" + std::to_string(getpid()) + ".log";
  FILE* f = std::fopen(log.c_str(), "w");
  ASSERT_NE(f, nullptr);
  for (const char* message : {"test material missing: h264-conformance/BA_MW_D.264 (set AVCHD_TESTDATA)",
                              "test material missing: avchd/camera_header_7packets.mts",
                              "test material missing: h264-features/42_explicit_b_mbaff_cabac.264",
                              "material made by scripts/make_material.sh: this case compares",
                              "test material missing: h264-features/05_bpyramid_normal.264", "test material missing"})
    std::fprintf(f, "[ RUN      ] A.B\n/x/a.cpp:1: Skipped\n%s\n[  SKIPPED ] A.B (0 ms)\n", message);
  std::fclose(f);
  const testsupport::CommandResult r = RunPiece("^made_skip_faults()", "^}", "", "made_skip_faults " + log);
  std::remove(log.c_str());
  EXPECT_EQ(r.out, "A.B: test material missing: h264-features/05_bpyramid_normal.264\nA.B: test material missing\n")
      << r.err;
}

// The material is looked for as the tests look for it: in AVCHD_TESTDATA,
// else beside the repository; each part of it that is absent is named.
TEST(TestScript, NamesTheMissingMaterial) {
  const std::string dir = "/tmp/avchd_test_script_material_" + std::to_string(getpid());
  ASSERT_EQ(testsupport::run_command("mkdir -p " + dir + "/repo " + dir + "/data/avchd " + dir + "/data/ac3").exit, 0);
  const std::string show = "echo \"[$material_dir][$material_missing]\"";
  testsupport::CommandResult r = RunPiece("^check_material()", "^}", "export AVCHD_TESTDATA=" + dir + "/data",
                                          "check_material; " + show);
  EXPECT_EQ(r.out, "[" + dir + "/data][ h264-conformance/ h264-features/]\n") << r.err;
  r = RunPiece("^check_material()", "^}", "unset AVCHD_TESTDATA; cd " + dir + "/repo", "check_material; " + show);
  EXPECT_EQ(r.out, "[" + dir + "/shared/testdata][ h264-conformance/ h264-features/ ac3/ avchd/]\n") << r.err;
  testsupport::run_command("rm -rf " + dir);
}

// CI fails at once without the material, saying what is missing, before it
// installs or builds anything.
TEST(TestScript, CiStopsAtOnceWithoutTheMaterial) {
  const testsupport::CommandResult r =
      testsupport::run_command("unset CI; AVCHD_TESTDATA=/nonexistent/avchd-material timeout -s KILL 60 " +
                               std::string(AVCHD_REPO_ROOT) + "/.ci/run");
  EXPECT_EQ(r.exit, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("test material missing: h264-conformance/ h264-features/ ac3/ avchd/ in "
                       "/nonexistent/avchd-material (AVCHD_TESTDATA)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("nothing was built"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(TestScript, LabelChoosesTheSteps) {
  const struct {
    const char* args;
    const char* steps;
  } kCases[] = {{"", "main=1 tsan=1 fuzz=1"},
                {"-L unit", "main=1 tsan=0 fuzz=0"},
                {"-Lstream", "main=1 tsan=0 fuzz=0"},
                {"-R demux", "main=1 tsan=0 fuzz=0"},
                {"-L fuzz", "main=0 tsan=0 fuzz=1"},
                {"--label-regex=fuzz", "main=0 tsan=0 fuzz=1"},
                {"-L \"unit|fuzz\"", "main=1 tsan=0 fuzz=1"},
                {"-L tsan", "main=0 tsan=1 fuzz=0"},
                {"-L \"stream|tsan\"", "main=1 tsan=1 fuzz=0"}};
  for (const auto& c : kCases) {
    const testsupport::CommandResult r =
        RunPiece("^label=\"\"", "^if \\[ \"\\$label\" = fuzz", std::string("set -- ") + c.args,
                 "echo main=$run_main tsan=$run_tsan fuzz=$run_fuzz");
    EXPECT_EQ(r.out, std::string(c.steps) + "\n") << c.args << "\n" << r.err;
  }
}

// The packages the script installs include ffmpeg, without which the tests
// that open saved movies in it would skip on a fresh machine.
TEST(TestScript, InstallsFfmpeg) {
  const std::string dir = "/tmp/avchd_test_script_deps_" + std::to_string(getpid());
  ASSERT_EQ(testsupport::run_command("mkdir -p " + dir + "/scripts && printf '#!/bin/sh\\necho \"$@\"\\n' >" + dir +
                                     "/scripts/deps.sh && chmod +x " + dir + "/scripts/deps.sh")
                .exit,
            0);
  const testsupport::CommandResult r = RunPiece("^scripts\\/deps.sh", "^$", "cd " + dir, "");
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE((" " + r.out).find(" ffmpeg"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("libgtest-dev"), std::string::npos) << r.out;
  testsupport::run_command("rm -rf " + dir);
}

// The files the documents name are where they say: a name with a directory
// (or a pattern) is found from the repository's root, a bare name of the
// architecture's map somewhere in the tree.
TEST(TestScript, DocumentsNameFilesThatExist) {
  const std::string root = AVCHD_REPO_ROOT;
  const std::regex named("`([A-Za-z0-9_./*-]+\\.(cpp|h|inc|sh|py|tsv))`");
  for (const char* document : {"ARCHITECTURE.md", "README.md"}) {
    std::ifstream in(root + "/" + document);
    ASSERT_TRUE(in) << document;
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    for (std::sregex_iterator m(all.begin(), all.end(), named), end; m != end; ++m) {
      const std::string name = (*m)[1];
      if (name.find('/') != std::string::npos) {
        glob_t found{};
        EXPECT_EQ(glob((root + "/" + name).c_str(), 0, nullptr, &found), 0) << document << " names " << name;
        globfree(&found);
      } else if (std::string(document) == "ARCHITECTURE.md") {
        const testsupport::CommandResult r = testsupport::run_command(
            "cd " + root + " && find . -path ./build -prune -o -name '" + name + "' -print | head -1");
        EXPECT_NE(r.out, "") << document << " names " << name;
      }
    }
  }
}

// The join campaign's judgement of part-sync's figures (tests/tools/
// legal_joins.py), run by python on made-up pictures and sound: the part
// of the program between the imports and the checks is used as it is, the
// decodes it would ask ffmpeg for are given.
testsupport::CommandResult RunJoinJudge(const std::string& body) {
  const std::string program = "/tmp/avchd_join_judge_" + std::to_string(getpid()) + ".py";
  std::ofstream(program) << "import array, math, os, sys, tempfile\nsys.path.insert(0, '" << AVCHD_REPO_ROOT
                         << "/tests/tools')\nimport legal_joins as L\nL.J.first_video_pts = lambda data, shown=False: None\n"
                            "folder = tempfile.mkdtemp()\nimport atexit, shutil\natexit.register(shutil.rmtree, folder)\n"
                            "def part(name):\n"
                            "    open(os.path.join(folder, name), 'wb').close()\n"
                            "    return os.path.join(folder, name)\n"
                         << body;
  const testsupport::CommandResult r = testsupport::run_command("python3 " + program);
  std::remove(program.c_str());
  return r;
}

// A part of another size, placed after a part of one picture at 29.97 or of
// three pictures shown with a gap, is judged against the lengths the stamps
// give those parts; a part found by its pictures owes nothing to them.
TEST(TestScript, JoinCampaignPlacesAPartAfterTheStampedLengthOfTheOneBefore) {
  const testsupport::CommandResult r = RunJoinJudge(
      "frame = 1001 / 30000\n"
      "times = {'one': [(frame, frame, 3110400, 'a')], 'gap': [(t, t, 3110400, h) for t, h in "
      "((-0.12, 'a'), (-0.08, 'b'), (0.0, 'c'))], 'other': [(0.44, 0.44, 152064, 'x'), (0.48, 0.48, 152064, 'y')]}\n"
      "L.picture_times = lambda path, first_only=False: times[os.path.basename(path)][:1 if first_only else None]\n"
      "for first, rate in (('one', 3003), ('gap', 3600)):\n"
      "    files = [part(first), part('other')]\n"
      "    stats = [{'pictures': [h for _, _, _, h in times[first]], 'frame': rate}, {'pictures': ['x', 'y'], "
      "'frame': 3600}]\n"
      "    movie = times[first]\n"
      "    print(first, ' '.join('%+.1f' % s[0] for s in L.grid_shifts(files, stats, movie)), "
      "'%.3f %.3f' % L.part_lengths(files[0], stats[0]))\n");
  EXPECT_EQ(r.out, "one +0.0 -6.6 0.040 0.033\ngap +0.0 -40.0 0.200 0.160\n") << r.err;
}

// A window at a short part's first picture whose first sample the movie's
// edit played a sample early is found 1 ms on; the same sound 6 ms late
// stays far.
TEST(TestScript, JoinCampaignMeasuresAWindowAtAPartsFirstPictureOneMillisecondOn) {
  const testsupport::CommandResult r = RunJoinJudge(
      "own = array.array('h', (int(12000 * math.sin(i * 0.21) + 3000 * math.sin(i * 1.7)) for i in range(4000)))\n"
      "L.mono_sound = lambda path: own\n"
      "for late in (0, 288):\n"
      "    heard = array.array('h', [0] * (6000 + late)) + own[1001:]\n"
      "    heard[5999 + late] = 0\n"
      "    seen = {'windows': [[(0, 0, 0.3), (1000, 6000, 0.0)]], 'heard': heard}\n"
      "    tok, good = L.judge_edge('p0[other-size pcm_bluray2]:other-size out/+640.0ms FAR', 0, [part('p')], [], "
      "'movie', 0.0, 5.5, seen)\n"
      "    print(good, tok.split('/')[1])\n");
  EXPECT_EQ(r.out, "1 -0.0ms (1 ms on; part-sync: +640.0ms)\n0 +640.0ms FAR\n") << r.err;
}

// The last part's window lies a few ms past the end of the movie's sound
// (the movie ends on a whole unit of its video track): measured again
// where the movie's sound ends, sound in place there passes; the same
// sound 6 ms late stays far.
TEST(TestScript, JoinCampaignMeasuresAWindowPastTheMoviesEndWhereItsSoundEnds) {
  const testsupport::CommandResult r = RunJoinJudge(
      "own = array.array('h', (int(12000 * math.sin(i * 0.21) + 3000 * math.sin(i * 1.7)) for i in range(4000)))\n"
      "L.mono_sound = lambda path: own\n"
      "for late in (0, 288):\n"
      "    heard = (array.array('h', [0] * (3000 + late)) + own)[:5800]\n"
      "    seen = {'windows': [None, [(1000, 4000, 0.3), (3000, 6000, 0.8)]], 'heard': heard}\n"
      "    tok, good = L.judge_end('p1[other-size pcm_bluray2]:other-size +0.0ms/-834.2ms FAR', 1, [part('a'), "
      "part('b')], [], 'movie', 0.0, 5.5, seen)\n"
      "    print(good, tok.split('/')[1])\n");
  EXPECT_EQ(r.out,
            "1 +0.0ms (past the movie's end; its sound up to there; part-sync: -834.2ms)\n"
            "0 -834.2ms FAR\n")
      << r.err;
}

// A part of 14 pictures whose window, 10 ms before its end, lies where the
// next part's sound, led 37 ms ahead of its first picture, plays instead:
// measured again before that lead, sound in place passes; the same sound a
// picture late stays far.
TEST(TestScript, JoinCampaignMeasuresAWindowInAPartsLastPictureBeforeTheNextPartsLead) {
  const testsupport::CommandResult r = RunJoinJudge(
      "import random\n"
      "rnd = random.Random(5)\n"
      "own = array.array('h', (rnd.randint(-12000, 12000) for i in range(40000)))\n"
      "L.mono_sound = lambda path: own\n"
      "L.picture_times = lambda path, first_only=False: [(0.04 * i, 0.04 * i, 3110400, 'h%d' % i) "
      "for i in range(14)]\n"
      "for late in (0, 1920):\n"
      "    heard = array.array('h', [0] * late) + own[:25088] + own[30000:]\n"
      "    seen = {'windows': [[(26400, 26400, 0.55), (14880, 14880, 0.31)]], 'places': [(0.0, 0.56, 0.0)], "
      "'heard': heard}\n"
      "    tok, good = L.judge_tail('p0[same-size ac32]:0 +560.0ms FAR/+0.0ms', 0, [part('a'), part('b')], [], "
      "'movie', 0.0, 32.5, seen)\n"
      "    print(good, tok.split(' ', 2)[2])\n");
  EXPECT_EQ(r.out,
            "1 +0.0ms (42 ms back, before the next part's lead; part-sync: +560.0ms)/+0.0ms\n"
            "0 +560.0ms FAR/+0.0ms\n")
      << r.err;
}

// A window at a one-picture part's first picture, where the part before's
// sound (its silent end) runs on 10.7 ms: found where that sound ends, just
// in place; the same sound a picture late stays far.
TEST(TestScript, JoinCampaignMeasuresAWindowAtAPartsFirstPictureAfterTheSoundBefore) {
  const testsupport::CommandResult r = RunJoinJudge(
      "own = array.array('h', (int(12000 * math.sin(i * 0.21) + 3000 * math.sin(i * 1.7)) for i in range(4000)))\n"
      "L.mono_sound = lambda path: own\n"
      "for late in (0, 1920):\n"
      "    heard = array.array('h', [0] * (6512 + late)) + own[1512:]\n"
      "    seen = {'windows': [[(0, 0, 0.03), (1000, 6000, 0.0)]], 'places': [(0.0, 0.04, 0.0)], 'heard': heard}\n"
      "    tok, good = L.judge_edge('p0[other-size ac32]:other-size +0.0ms/-80.0ms FAR', 0, [part('p')], [], "
      "'movie', 0.0, 32.5, seen)\n"
      "    print(good, tok.split('/')[1])\n");
  EXPECT_EQ(r.out, "1 +0.0ms (11 ms on, after the sound before; part-sync: -80.0ms)\n0 -80.0ms FAR\n") << r.err;
}

// A part part-sync took for a part before it (the same pictures, 100 ms
// early), where that part has no sound and a third part's copy of the same
// sound lies nearer: its figure is measured again at its own place, and
// passes there in place; 6 ms late there it stays far.
TEST(TestScript, JoinCampaignMeasuresAPartTakenForOneBeforeItAtItsOwnPlace) {
  const testsupport::CommandResult r = RunJoinJudge(
      "own = array.array('h', (int(12000 * math.sin(i * 0.21) + 3000 * math.sin(i * 1.7)) for i in range(4000)))\n"
      "L.mono_sound = lambda path: own\n"
      "for late in (0, 288):\n"
      "    heard = array.array('h', [0] * 500) + own[1000:1500] + array.array('h', [0] * (5800 + late)) + "
      "own[1000:]\n"
      "    seen = {'windows': [[(1000, 2000, 0.5)]], 'places': [(0.0, 0.3, 0.0)], 'heard': heard}\n"
      "    tok, good = L.judge_elsewhere('p0[same-size pcm_bluray2]:-0.100 -131.2ms FAR (read -31.2)', 0, "
      "[part('p')], [], 'movie', (100.0, 100.0), 5.5, seen)\n"
      "    print(good, tok.split(']:')[1].split(' ', 1)[1])\n");
  EXPECT_EQ(r.out,
            "1 +0.0ms (own place; part-sync: -131.2ms (read -31.2))\n"
            "0 -131.2ms FAR (read -31.2)\n")
      << r.err;
}

// A part without sound part-sync took for the part before it (560 ms
// early), heard sounding there: silent over its own stretch it passes;
// sounding there too it stays audible.
TEST(TestScript, JoinCampaignHearsALeftOutPartTakenForOneBeforeItAtItsOwnPlace) {
  const testsupport::CommandResult r = RunJoinJudge(
      "for sounding in (False, True):\n"
      "    heard = array.array('h', [9000] * 26880 + [9000 if sounding else 0] * 26880)\n"
      "    seen = {'windows': [None], 'places': [(0.0, 0.56, 0.0)], 'heard': heard}\n"
      "    tok, good = L.judge_left_out('p0[same-size ac30]:-0.560 LEFT-OUT-AUDIBLE(9000)', 0, [part('p')], [], "
      "'movie', 560.0, seen)\n"
      "    print(good, tok.split(']:')[1].split(' ', 1)[1])\n");
  EXPECT_EQ(r.out,
            "1 left-out silent at its own place (part-sync: 9000 where it took it)\n"
            "0 LEFT-OUT-AUDIBLE(9000)\n")
      << r.err;
}

// A part found at the same pictures of a part before it: its sound is
// measured again around its own place, where a like copy of it (the other
// cut's) lies nearer part-sync's place; with nothing at its own place the
// figure stays far.
TEST(TestScript, JoinCampaignMeasuresDitherAtThePartsOwnPlaceNotAtALikeCopy) {
  const testsupport::CommandResult r = RunJoinJudge(
      "own = array.array('h', (int(12000 * math.sin(i * 0.21) + 3000 * math.sin(i * 1.7)) for i in range(4000)))\n"
      "L.mono_sound = lambda path: own\n"
      "for at in (7800, None):\n"
      "    heard = array.array('h', [0] * 12000)\n"
      "    for i in (1000, at):\n"
      "        if i is not None:\n"
      "            heard[i:i + 800] = own[1000:1800]\n"
      "    seen = {'windows': [[(1000, 3000, 0.5)]], 'heard': heard}\n"
      "    tok, good = L.judge_dither('p0[same-size ac32]:-0.100 -41.7ms FAR', 0, [part('p')], [], 'movie', 100.0, "
      "5.5, seen)\n"
      "    print(good, tok.split(' ', 2)[2])\n");
  EXPECT_EQ(r.out, "1 +0.0ms (dither 0.000; part-sync: -41.7ms)\n0 -41.7ms FAR\n") << r.err;
}

// The last part, of one picture, whose sound the movie plays for its 40 ms
// only: the window 10 ms before its end is measured over those 10 ms, and
// passes in place; 6 ms late it stays far (a sound that does not repeat).
TEST(TestScript, JoinCampaignMeasuresDitherOverTheStretchOfAOnePicturePart) {
  const testsupport::CommandResult r = RunJoinJudge(
      "own = array.array('h', (int(12000 * math.sin(i * 0.21 + i * i * 2e-5) + 3000 * math.sin(i * 1.7)) "
      "for i in range(4000)))\n"
      "L.mono_sound = lambda path: own\n"
      "for late in (0, 288):\n"
      "    heard = array.array('h', [0] * (1000 + late)) + own[:2920]\n"
      "    seen = {'windows': [[(2440, 3440, 0.03)]], 'places': [(0.0, 0.04, 0.0)], 'heard': heard}\n"
      "    tok, good = L.judge_dither('p0[other-size ac32]:other-size -80.0ms FAR', 0, [part('p')], [], 'movie', "
      "0.0, 5.5, seen)\n"
      "    print(good, tok.split(' ', 2)[2])\n");
  EXPECT_EQ(r.out, "1 +0.0ms (dither 0.000; part-sync: -80.0ms)\n0 -80.0ms FAR\n") << r.err;
}

// A part left out (another sound kind) that part-sync placed over the part
// before it is heard over its own stretch: silent there it passes, sound
// there stays audible, and so does sound over a stretch taken as it is.
TEST(TestScript, JoinCampaignHearsALeftOutPartAtItsOwnPlace) {
  const testsupport::CommandResult r = RunJoinJudge(
      "for loud, shift in ((43200, 1000.0), (120000, 1000.0), (43200, 0.0)):\n"
      "    heard = array.array('h', (int(9000 * math.sin(i * 0.3)) if i < loud else 0 for i in range(130000)))\n"
      "    seen = {'windows': [None, None], 'places': [None, (0.5, 1.0, 0.0)], 'heard': heard}\n"
      "    tok, good = L.judge_left_out('p1[same-size ac32]:-1.000 LEFT-OUT-AUDIBLE(9000)', 1, [part('a'), "
      "part('b')], [], 'movie', shift, seen)\n"
      "    print(good, tok.split(' ', 2)[2])\n");
  EXPECT_EQ(r.out,
            "1 left-out silent at its own place (part-sync: 9000 where it took it)\n"
            "0 LEFT-OUT-AUDIBLE(9000)\n0 LEFT-OUT-AUDIBLE(9000)\n")
      << r.err;
}

// A part of another size after a two-picture cut shown with a gap is heard
// over its stretch as the stamps place it: the next part's sound begun
// before its first picture, which part-sync's longer reading of the cut
// puts inside the stretch, passes; sound well inside the stretch stays.
TEST(TestScript, JoinCampaignHearsALeftOutPartAtItsStampedPlace) {
  const testsupport::CommandResult r = RunJoinJudge(
      "S, O = 152064, 3110400\n"
      "times = {'short': [(0.0, 0.0, S, 'a'), (0.12, 0.12, S, 'b')], "
      "'other': [(k * 0.04, k * 0.04, O, 'o%d' % k) for k in range(15)]}\n"
      "L.picture_times = lambda path, first_only=False: times[os.path.basename(path)][:1 if first_only else None]\n"
      "L.start_times = lambda path: (0.0, 0.0)\n"
      "files, stats = [part('short'), part('other')], [{'frame': 3600}, {'frame': 3600}]\n"
      "print(' '.join('%.2f/%.2f' % p for p in L.stamped_places(files, stats, times['short'], 'movie')))\n"
      "tok = 'p1[other-size ac32]:other-size LEFT-OUT-AUDIBLE(9000)'\n"
      "for loud_from in (0.66, 0.5):\n"
      "    heard = array.array('h', [0] * int(loud_from * 48000)) + array.array('h', [9000] * 48000)\n"
      "    print(*L.judge_left_out_stamped(tok, 1, files, stats, times['short'], 'movie', {'heard': heard}))\n");
  EXPECT_EQ(r.out,
            "0.00/0.16 0.16/0.60\n"
            "p1[other-size ac32]:other-size left-out silent at its stamped place (part-sync heard 9000) True\n"
            "p1[other-size ac32]:other-size LEFT-OUT-AUDIBLE(9000) False\n")
      << r.err;
}

// A part of the track's size with sound of another kind, cut from the same
// recording as a longer part before it, whose picture part-sync looks for
// comes again in that part after the one it found it by: it is heard over
// its own pictures, not over the earlier part's; sound over its own stays.
TEST(TestScript, JoinCampaignHearsALeftOutPartOverItsOwnPictures) {
  const testsupport::CommandResult r = RunJoinJudge(
      "pics = lambda ks, at: [(at + k * 0.04, at + k * 0.04, 152064, 'h%d' % (k + ks[0])) for k in range(len(ks))]\n"
      "times = {'lpcm': pics(range(50), 0.0), 'ac3': pics(range(10, 40), 0.4)}\n"
      "L.picture_times = lambda path, first_only=False: times[os.path.basename(path)][:1 if first_only else None]\n"
      "L.start_times = lambda path: (0.0, 0.0)\n"
      "movie = times['lpcm'] + pics(range(10, 40), 2.0)\n"
      "files, stats = [part('lpcm'), part('ac3')], [{'frame': 3600}, {'frame': 3600}]\n"
      "print(' '.join('%.2f/%.2f' % p for p in L.stamped_places(files, stats, movie, 'movie')))\n"
      "tok = 'p1[same-size ac32]:-1.600 LEFT-OUT-AUDIBLE(9000)'\n"
      "for loud_to in (2.0, 3.2):\n"
      "    heard = array.array('h', [9000] * int(loud_to * 48000)) + array.array('h', [0] * 96000)\n"
      "    print(L.judge_left_out_stamped(tok, 1, files, stats, movie, 'movie', {'heard': heard})[1])\n");
  EXPECT_EQ(r.out, "0.00/2.00 2.00/1.20\nTrue\nFalse\n") << r.err;
}

// A part's tables, I picture and the pictures after taken out: at least
// one of its pictures stays after them, so that the part goes on without
// its group's head (to be told); taken to its end, the part would end
// before the next one's tables as a shorter cut does (nothing to tell).
TEST(TestScript, JoinCampaignLeavesAPictureAfterAPartsLostGroupHead) {
  AVCHD_REQUIRE_TESTDATA(lpcm, "avchd/small_lpcm_51_avchd.m2ts");
  const testsupport::CommandResult r = RunJoinJudge(
      "class Last:\n"
      "    randint = lambda self, a, b: b\n"
      "    choice = lambda self, s: s[-1]\n"
      "d = open('" + lpcm + "', 'rb').read()\n"
      "g = [k for k in L.J.Recording(d).group_starts() if k][-2]\n"
      "for after in (6, 4):\n"
      "    datas = [L.J.cut(d, 0, g + after)]\n"
      "    text, _ = L.apply_loss(Last(), 'cat@in', datas, [{'host': True}])\n"
      "    print(text.split(' (')[0], len(L.J.Recording(datas[0]).video) - g)\n");
  EXPECT_EQ(r.out,
            "part 0's tables, I picture and the 3 after 2\n"
            "part 0's tables, I picture and the 2 after 1\n")
      << r.err;
}

// A sound edit's length is rounded to the movie's unit: the copy check asks
// for no more sound than each edit's media can give. An edit of 4869
// samples lasting 3044 units of 1/30000 s (4870.4 samples) made a copy
// holding every sample of the movie fail; empty edits ask for nothing.
TEST(TestScript, JoinCampaignAsksACopyForTheSoundTheEditsMediaHolds) {
  const testsupport::CommandResult r = RunJoinJudge(
      "edits = [{'trackDuration': 3680, 'mediaTime': 256}, {'trackDuration': 3044, 'mediaTime': 8954},\n"
      "         {'trackDuration': 900, 'mediaTime': -1}]\n"
      "print(L.copy_sound_need(edits, 48000, 30000), L.copy_sound_need(edits[:1], 48000, 48000))\n");
  EXPECT_EQ(r.out, "10754 3679\n") << r.err;
}

// A part whose pictures part-sync reads 40 ms early (its first decode stamp
// is 0), its sound a steady 440 Hz tone: part-sync takes a repeat of the
// window 18 periods from where it plays, read 40.9 ms late once the grid's
// share is taken off. Looked for nearest where the part's stamps put it,
// the tone in place passes; sound that does not repeat, 40 ms late, stays
// far.
TEST(TestScript, JoinCampaignMeasuresARepeatingSoundAtItsStampedPlace) {
  const testsupport::CommandResult r = RunJoinJudge(
      "import random, types\n"
      "rnd = random.Random(7)\n"
      "sounds = {'tone': array.array('h', (int(2896 * math.sin(2 * math.pi * 440 * i / 48000)) for i in "
      "range(6000))), 'noise': array.array('h', (rnd.randint(-12000, 12000) for i in range(6000)))}\n"
      "L.grid_shifts = lambda files, stats, movie: [(-40.0, 0.0)]\n"
      "L.sound_windows = lambda files, movie, mov, places: places.append((0.0, 0.2, 0.0)) or [[(1000, 4000, 0.5)]]\n"
      "for kind, late, read in (('tone', 0, '+0.9ms'), ('noise', 1920, '+0.0ms')):\n"
      "    heard = array.array('h', [0] * (1080 + late)) + sounds[kind]\n"
      "    L.mono_sound = lambda path: heard if path == 'movie' else sounds[kind]\n"
      "    said = 'pictures EQUAL (5) | movie | p0[same-size pcm_bluray2]:0 %s | worst 0.9 ms | bad 0' % read\n"
      "    L.run = lambda cmd, **kw: types.SimpleNamespace(stdout=said.encode(), stderr=b'')\n"
      "    line, bad, problems = L.part_sync('movie', [part('p')], 'dump', os.path.join(folder, 'j'), "
      "[{'sound_packet': 0.005}], [])\n"
      "    print(bad, line.split(']:0 ')[-1].split(' | ')[0])\n");
  EXPECT_EQ(r.out,
            "0 +0.0ms (at its stamped place; part-sync: +40.9ms (read +0.9))\n"
            "1 +40.0ms FAR (read +0.0)\n")
      << r.err;
}

}  // namespace
