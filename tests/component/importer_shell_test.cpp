// The importer component's shell: selector table, CanDo, version, close,
// validation of files, the MIME resource and the small query selectors.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "importer_stream_kit.h"
#include "importer_test_util.h"

using namespace importer_test;

namespace {

struct Instance {
  ComponentInstance ci = nullptr;
  Instance() {
    RegisterImporter();
    EXPECT_EQ(OpenADefaultComponent(kMTSImporterType, kMTSImporterSubType, &ci), noErr);
  }
  ~Instance() { CloseComponent(ci); }
};

ComponentResult Validate(ComponentInstance ci, const std::string& path, Boolean* valid) {
  FSSpec spec{};
  FSPathMakeFSSpec(path.c_str(), &spec);
  return CallComponentSelector(ci, SInt16(14), &spec, static_cast<Handle>(nullptr), valid);
}

}  // namespace

TEST(ImporterShell, SelectorTableAndCanDo) {
  Instance in;
  for (SInt16 s : {0, 1, 3, 13, 15, 17, 19, 22, 25, 27, 29, 31, 32, 33, 34, 35, 127, 128, 300, -6, -7, -128}) {
    EXPECT_EQ(CallComponentSelector(in.ci, s), badComponentSelector) << s;
    EXPECT_EQ(CallComponentCanDo(in.ci, s), 0) << s;
  }
  for (SInt16 s : {-5, -4, -3, -2, -1, 2, 14, 16, 18, 23, 24, 26, 30})
    EXPECT_EQ(CallComponentCanDo(in.ci, s), 1) << s;
}

TEST(ImporterShell, VersionAndNullClose) {
  Instance in;
  EXPECT_EQ(CallComponentVersion(in.ci), 0x00010000);
  EXPECT_EQ(MTS_MovieImportVersion(), 0x00010000);
  EXPECT_EQ(MTS_MovieImportClose(nullptr, nullptr), noErr);
}

TEST(ImporterShell, ValidationLooksAtByteFour) {
  Instance in;
  Bytes m2ts(192 * 3, 0);
  m2ts[4] = 0x47;
  Bytes ts188(188 * 3, 0);
  ts188[0] = 0x47;
  ts188[188] = 0x47;
  Bytes oddButSynced = {1, 2, 3, 4, 0x47};
  Boolean valid = 99;
  EXPECT_EQ(Validate(in.ci, WriteTempFile("v192.m2ts", m2ts), &valid), noErr);
  EXPECT_EQ(valid, 128);
  EXPECT_EQ(Validate(in.ci, WriteTempFile("v5.m2ts", oddButSynced), &valid), noErr);
  EXPECT_EQ(valid, 128);
  EXPECT_EQ(Validate(in.ci, WriteTempFile("v188.ts", ts188), &valid), noErr);
  EXPECT_EQ(valid, 0);
  valid = 99;
  EXPECT_NE(Validate(in.ci, WriteTempFile("short.m2ts", Bytes{0, 0, 0}), &valid), noErr);
  EXPECT_EQ(valid, 0);

  // By data reference, as the host does.
  const std::string path = WriteTempFile("vref.m2ts", m2ts);
  FSSpec spec{};
  FSPathMakeFSSpec(path.c_str(), &spec);
  AliasHandle alias = nullptr;
  ASSERT_EQ(QTNewAlias(&spec, &alias, kTrue), noErr);
  UInt8 byRef = 0;
  EXPECT_EQ(CallComponentSelector(in.ci, SInt16(24), alias, FOUR_CHAR_CODE("alis"), &byRef), noErr);
  EXPECT_EQ(byRef, 128);
  DisposeHandle(alias);
}

TEST(ImporterShell, MimeResourceAndQueries) {
  Instance in;
  const Bytes mime = {'v', 'i', 'd', 'e', 'o', '/', 'M', 'P', '2', 'T'};
  const std::string path = WriteTempFile("mime.bin", mime);
  ASSERT_EQ(SetComponentResourceFile(GetComponentOfInstance(in.ci), FOUR_CHAR_CODE("mime"), 512, path.c_str()), noErr);
  QTAtomContainer info = nullptr;
  ASSERT_EQ(CallComponentSelector(in.ci, SInt16(18), &info), noErr);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(GetHandleSize(info), Size(mime.size()));
  DisposeHandle(info);

  IdleManager im = QTIdleManagerOpen();
  EXPECT_EQ(CallComponentSelector(in.ci, SInt16(30), im), noErr);
  auto* store = reinterpret_cast<MTS_MovieImportGlobalsRecord*>(GetComponentInstanceStorage(in.ci));
  EXPECT_EQ(store->idleManager, im);
  TimeValue loaded = -1;
  EXPECT_EQ(CallComponentSelector(in.ci, SInt16(26), &loaded), noErr);
  EXPECT_EQ(loaded, 0);
  QTIdleManagerClose(im);
}
