// Component manager: registration and search, dispatch with argument
// unpacking, instance storage, delegation, open failures, resources, and the
// built-in pointer and file data handlers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "Components.h"
#include "DataHandler.h"
#include "MacMemory.h"
#include "MovieImport.h"

namespace {

constexpr OSType kTestType = FOUR_CHAR_CODE("test");
constexpr SInt16 kSumSelect = 40;     // served: sums its arguments
constexpr SInt16 kEchoSelect = 41;    // served: reports a signed 16-bit argument
constexpr SInt16 kUnservedSelect = 7;  // refused, not delegated

struct Globals {
  ComponentInstance self;
  ComponentInstance delegate;
  SInt32 calls;
};

int g_closeCalls = 0;
bool g_failOpen = false;

ComponentResult TOpen(Globals*, ComponentInstance self) {
  auto* g = reinterpret_cast<Globals*>(NewPtrClear(sizeof(Globals)));
  if (g == nullptr) return MemError();
  g->self = self;
  SetComponentInstanceStorage(self, reinterpret_cast<Handle>(g));
  OSErr err = OpenADefaultComponent(kDataHandlerComponentType, kPointerDataHandlerSubType, &g->delegate);
  if (err != noErr) return err;
  return g_failOpen ? 1 : noErr;
}

ComponentResult TClose(Globals* g, ComponentInstance) {
  ++g_closeCalls;
  if (g == nullptr) return noErr;
  if (g->delegate) CloseComponent(g->delegate);
  DisposePtr(reinterpret_cast<Ptr>(g));
  return noErr;
}

ComponentResult TVersion() { return 0x00020003; }

ComponentResult TSum(Globals* g, SInt32 a, SInt64* out, UInt8 b, SInt16 c, const wide* d, SInt32 e, SInt32 f) {
  ++g->calls;
  *out = a + b + c + *d + e + f;
  return noErr;
}

ComponentResult TEcho(Globals*, SInt16 value) { return value; }

struct Row {
  SInt16 what;
  ProcPtr proc;
  ProcInfoType info;
};
const Row kRows[] = {
    {kComponentOpenSelect, ComponentFunctionEntry(TOpen), 0x3F0},
    {kComponentCloseSelect, ComponentFunctionEntry(TClose), 0x3F0},
    {kComponentVersionSelect, ComponentFunctionEntry(TVersion), 0xF0},
    {kSumSelect, ComponentFunctionEntry(TSum), 0x3FFFF0},
    {kEchoSelect, ComponentFunctionEntry(TEcho), 0x2F0},
};

ComponentResult TestDispatch(ComponentParameters* params, Handle storage) {
  if (params->what == kUnservedSelect) return badComponentSelector;
  auto* g = reinterpret_cast<Globals*>(storage);
  if (params->what == kComponentCanDoSelect) {
    auto selector = component_slots::from_slot<SInt16>(params->params[0]);
    for (const Row& r : kRows)
      if (r.what == selector) return 1;
    return CallComponentCanDo(g->delegate, selector);
  }
  for (const Row& r : kRows)
    if (r.what == params->what) return CallComponentFunctionWithStorageProcInfo(storage, params, r.proc, r.info);
  return DelegateComponentCall(params, g->delegate);
}

ComponentDescription test_description(OSType subtype) { return {kTestType, subtype, FOUR_CHAR_CODE("ours"), 0, 0}; }

ComponentResult SelfRegister(ComponentParameters* params, Handle) {
  if (params->what != kComponentRegisterSelect) return badComponentSelector;
  ComponentDescription cd = test_description(FOUR_CHAR_CODE("self"));
  RegisterComponent(&cd, TestDispatch, 0, nullptr, nullptr, nullptr);
  return noErr;
}

class Components : public ::testing::Test {
 protected:
  void SetUp() override {
    ComponentDescription cd = test_description(FOUR_CHAR_CODE("one "));
    component_ = RegisterComponent(&cd, TestDispatch, 0, nullptr, nullptr, nullptr);
    ASSERT_NE(component_, nullptr);
    instancesBefore_ = OpenComponentInstanceCount();
  }
  void TearDown() override { EXPECT_EQ(OpenComponentInstanceCount(), instancesBefore_); }
  Component component_ = nullptr;
  SInt32 instancesBefore_ = 0;
};

TEST_F(Components, RegistrationAndSearch) {
  ComponentDescription cd = test_description(FOUR_CHAR_CODE("one "));
  EXPECT_EQ(RegisterComponent(&cd, TestDispatch, 0, nullptr, nullptr, nullptr), component_);
  ComponentDescription any = {kTestType, 0, 0, 0, 0};
  Component found = FindNextComponent(nullptr, &any);
  bool sawOne = false;
  for (; found != nullptr; found = FindNextComponent(found, &any)) sawOne |= found == component_;
  EXPECT_TRUE(sawOne);
  ComponentDescription wantSelf = test_description(FOUR_CHAR_CODE("self"));
  EXPECT_EQ(FindNextComponent(nullptr, &wantSelf), nullptr);
  EXPECT_EQ(CallComponentRegisterSelector(SelfRegister), noErr);
  Component self = FindNextComponent(nullptr, &wantSelf);
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(UnregisterComponent(self), noErr);
  EXPECT_EQ(FindNextComponent(nullptr, &wantSelf), nullptr);
  ComponentInstance ci = nullptr;
  EXPECT_EQ(OpenAComponent(self, &ci), invalidComponentID);
  EXPECT_EQ(ci, nullptr);
}

TEST_F(Components, ArgumentsArriveInDeclaredOrderWithTheirTypes) {
  ComponentInstance ci = OpenComponent(component_);
  ASSERT_NE(ci, nullptr);
  auto* g = reinterpret_cast<Globals*>(GetComponentInstanceStorage(ci));
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->self, ci);
  SInt64 sum = 0;
  wide big = 0x100000000LL;
  EXPECT_EQ(CallComponentSelector(ci, kSumSelect, SInt32(-5), &sum, UInt8(200), SInt16(-3), &big, SInt32(1),
                                  SInt32(2)),
            noErr);
  EXPECT_EQ(sum, 0x100000000LL - 5 + 200 - 3 + 1 + 2);
  EXPECT_EQ(g->calls, 1);
  EXPECT_EQ(CallComponentSelector(ci, kEchoSelect, SInt16(-2)), -2);
  EXPECT_EQ(CallComponentSelector(ci, kEchoSelect, SInt32(0x12345)), 0x2345);  // a 16-bit parameter
  // A call carrying fewer arguments than the handler declares is refused.
  EXPECT_EQ(CallComponentSelector(ci, kSumSelect, SInt32(1)), paramErr);
  EXPECT_EQ(g->calls, 1);
  EXPECT_EQ(CallComponentVersion(ci), 0x00020003);
  EXPECT_EQ(CloseComponent(ci), noErr);
  EXPECT_EQ(CloseComponent(ci), paramErr);  // not open any more
  EXPECT_EQ(CallComponentVersion(ci), badComponentInstance);
}

TEST_F(Components, UnservedSelectorsReachTheDelegate) {
  ComponentInstance ci = OpenComponent(component_);
  ASSERT_NE(ci, nullptr);
  const char bytes[] = "delegated bytes";
  Handle ref = nullptr;
  ASSERT_EQ(NewPointerDataRef(bytes, sizeof bytes, &ref), noErr);
  // SetDataRef, GetFileSize64 and ScheduleData64 are not the test
  // component's: the pointer data handler answers them.
  EXPECT_EQ(DataHSetDataRef(ci, ref), noErr);
  wide size = 0;
  EXPECT_EQ(DataHGetFileSize64(ci, &size), noErr);
  EXPECT_EQ(size, wide(sizeof bytes));
  char out[5] = {};
  wide offset = 10;
  EXPECT_EQ(DataHScheduleData64(ci, out, &offset, 5, 0, nullptr, nullptr), noErr);
  EXPECT_EQ(std::string(out, 5), "bytes");
  EXPECT_EQ(CallComponentCanDo(ci, kSumSelect), 1);
  EXPECT_EQ(CallComponentCanDo(ci, kDataHScheduleData64Select), 1);  // the delegate's answer
  EXPECT_EQ(CallComponentCanDo(ci, 300), 0);
  EXPECT_EQ(CallComponentSelector(ci, kUnservedSelect), badComponentSelector);
  EXPECT_EQ(CallComponentSelector(ci, 300), badComponentSelector);  // delegated, refused there
  DisposeHandle(ref);
  EXPECT_EQ(CloseComponent(ci), noErr);
}

TEST_F(Components, FailedOpenRunsCloseOnceAndLeavesNoInstance) {
  g_failOpen = true;
  g_closeCalls = 0;
  ComponentInstance ci = reinterpret_cast<ComponentInstance>(1);
  EXPECT_EQ(OpenAComponent(component_, &ci), 1);
  EXPECT_EQ(ci, nullptr);
  EXPECT_EQ(g_closeCalls, 1);
  g_failOpen = false;
}

TEST_F(Components, ResourcesComeFromTheirFiles) {
  std::string path = ::testing::TempDir() + "platform_mime_resource." + std::to_string(getpid()) + ".bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite("\x00\x01mime", 1, 6, f);
  std::fclose(f);
  ComponentInstance ci = OpenComponent(component_);
  ASSERT_NE(ci, nullptr);
  Handle h = nullptr;
  EXPECT_EQ(GetComponentResource(ci, FOUR_CHAR_CODE("mime"), 512, &h), resNotFound);
  ASSERT_EQ(SetComponentResourceFile(component_, FOUR_CHAR_CODE("mime"), 512, path.c_str()), noErr);
  ASSERT_EQ(GetComponentResource(ci, FOUR_CHAR_CODE("mime"), 512, &h), noErr);
  ASSERT_EQ(GetHandleSize(h), 6);
  EXPECT_EQ(std::memcmp(*h, "\x00\x01mime", 6), 0);
  DisposeHandle(h);
  EXPECT_EQ(GetComponentResource(ci, FOUR_CHAR_CODE("mime"), 513, &h), resNotFound);
  CloseComponent(ci);
  std::remove(path.c_str());
}

struct Completion {
  int calls = 0;
  OSErr err = 1;
  RefCon refCon = 0;
};
void on_complete(Ptr, RefCon refCon, OSErr err) {
  auto* c = reinterpret_cast<Completion*>(refCon);
  ++c->calls;
  c->err = err;
  c->refCon = refCon;
}

TEST(DataHandlers, FileHandlerReadsByPathAndReportsSizeAndEnd) {
  std::string path = ::testing::TempDir() + "platform_file_handler." + std::to_string(getpid()) + ".bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 1000; ++i) std::fputc(i & 0xFF, f);
  std::fclose(f);

  FSSpec fileSpec;
  ASSERT_EQ(FSPathMakeFSSpec(path.c_str(), &fileSpec), noErr);
  AliasHandle alias = nullptr;
  ASSERT_EQ(QTNewAlias(&fileSpec, &alias, 1), noErr);
  ComponentInstance dh = nullptr;
  ASSERT_EQ(OpenADataHandler(alias, rAliasType, nullptr, 0, nullptr, kDataHCanRead, &dh), noErr);
  wide size = 0;
  EXPECT_EQ(DataHGetFileSize64(dh, &size), noErr);
  EXPECT_EQ(size, 1000);
  SInt32 size32 = 0;
  EXPECT_EQ(DataHGetFileSize(dh, &size32), noErr);
  EXPECT_EQ(size32, 1000);

  unsigned char buffer[8] = {};
  wide offset = 995;
  Completion done;
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(buffer), &offset, 5, reinterpret_cast<RefCon>(&done),
                                nullptr, on_complete),
            noErr);
  EXPECT_EQ(done.calls, 1);
  EXPECT_EQ(done.err, noErr);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(buffer[i], (995 + i) & 0xFF);
  offset = 996;
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(buffer), &offset, 5, 0, nullptr, nullptr), eofErr);
  EXPECT_EQ(DataHScheduleData(dh, reinterpret_cast<Ptr>(buffer), 4, 1, 0, nullptr, nullptr), noErr);
  EXPECT_EQ(buffer[0], 4);
  EXPECT_EQ(DataHScheduleData(dh, reinterpret_cast<Ptr>(buffer), -1, 1, 0, nullptr, nullptr), eofErr);

  CFStringRef full = nullptr;
  ASSERT_EQ(QTGetDataHandlerFullPathCFString(dh, kQTNativeDefaultPathStyle, &full), noErr);
  char text[1024];
  ASSERT_TRUE(CFStringGetCString(full, text, sizeof text, kCFStringEncodingUTF8));
  EXPECT_EQ(std::string(text), path);
  CFRelease(full);

  Boolean equal = 0;
  EXPECT_EQ(DataHCompareDataRef(dh, alias, &equal), noErr);
  EXPECT_EQ(equal, 1);
  SInt32 useFlags = 0;
  EXPECT_EQ(DataHCanUseDataRef(dh, alias, &useFlags), noErr);
  EXPECT_EQ(useFlags, kDataHCanRead);
  EXPECT_EQ(CloseComponent(dh), noErr);

  std::remove(path.c_str());
  dh = reinterpret_cast<ComponentInstance>(1);
  EXPECT_EQ(OpenADataHandler(alias, rAliasType, nullptr, 0, nullptr, kDataHCanRead, &dh), fnfErr);
  EXPECT_EQ(dh, nullptr);
  DisposeHandle(alias);
  EXPECT_EQ(OpenADataHandler(alias, FOUR_CHAR_CODE("none"), nullptr, 0, nullptr, 0, &dh), cantFindHandler);
}

TEST(DataHandlers, SpecsHoldFullPaths) {
  char cwd[1024];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  FSSpec fileSpec;
  ASSERT_EQ(FSPathMakeFSSpec("clip.MTS", &fileSpec), noErr);
  EXPECT_EQ(std::string(fileSpec.path), std::string(cwd) + "/clip.MTS");
  ASSERT_EQ(FSPathMakeFSSpec("/a/b.MTS", &fileSpec), noErr);
  EXPECT_STREQ(fileSpec.path, "/a/b.MTS");
  EXPECT_EQ(FSPathMakeFSSpec("", &fileSpec), paramErr);
  EXPECT_EQ(FSPathMakeFSSpec(std::string(2000, 'x').c_str(), &fileSpec), paramErr);
  CFStringRef path = CFStringCreateWithCString(nullptr, "/a/b.MTS", kCFStringEncodingUTF8);
  Handle ref = nullptr;
  OSType type = 0;
  ASSERT_EQ(QTNewDataReferenceFromFullPathCFString(path, kQTPOSIXPathStyle, 0, &ref, &type), noErr);
  EXPECT_EQ(type, rAliasType);
  EXPECT_STREQ(*ref, "/a/b.MTS");
  CFRelease(path);
  DisposeHandle(ref);
}

TEST(DataHandlers, PointerHandlerServesMemory) {
  unsigned char bytes[300];
  for (int i = 0; i < 300; ++i) bytes[i] = UInt8(i * 7);
  Handle ref = nullptr;
  ASSERT_EQ(NewPointerDataRef(bytes, sizeof bytes, &ref), noErr);
  ComponentInstance dh = nullptr;
  ASSERT_EQ(OpenADataHandler(ref, kPointerDataHandlerSubType, nullptr, 0, nullptr, kDataHCanRead, &dh), noErr);
  unsigned char out[300];
  wide offset = 0;
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(out), &offset, 300, 0, nullptr, nullptr), noErr);
  EXPECT_EQ(std::memcmp(out, bytes, 300), 0);
  offset = 1;
  EXPECT_EQ(DataHScheduleData64(dh, reinterpret_cast<Ptr>(out), &offset, 300, 0, nullptr, nullptr), eofErr);
  Handle back = nullptr;
  EXPECT_EQ(DataHGetDataRef(dh, &back), noErr);
  EXPECT_EQ(GetHandleSize(back), GetHandleSize(ref));
  DisposeHandle(back);
  EXPECT_EQ(CallComponentCanDo(dh, kDataHScheduleData64Select), 1);
  EXPECT_EQ(CallComponentCanDo(dh, kDataHPutDataSelect), 0);
  CFStringRef none = nullptr;
  EXPECT_EQ(QTGetDataHandlerFullPathCFString(dh, kQTNativeDefaultPathStyle, &none), invalidDataRef);
  CloseComponent(dh);
  DisposeHandle(ref);
}

// An importer that records the arguments of MovieImportDataRef as its
// handler receives them.
struct ImportSeen {
  Handle dataRef;
  OSType type;
  Movie movie;
  TimeValue atTime;
  SInt32 inFlags;
};
ImportSeen g_seen;

ComponentResult ImportDataRef(Handle, Handle dataRef, OSType type, Movie movie, Track, Track*, TimeValue atTime,
                              TimeValue*, SInt32 inFlags, SInt32* outFlags) {
  g_seen = {dataRef, type, movie, atTime, inFlags};
  *outFlags = movieImportResultComplete;
  return noErr;
}

ComponentResult ImportDispatch(ComponentParameters* params, Handle storage) {
  if (params->what == kComponentOpenSelect || params->what == kComponentCloseSelect) return noErr;
  if (params->what == kMovieImportDataRefSelect)
    return CallComponentFunctionWithStorageProcInfo(storage, params, ComponentFunctionEntry(ImportDataRef),
                                                    0x03FFFFF0);  // storage and nine parameters
  return badComponentSelector;
}

TEST(MovieImportCalls, ArgumentsReachTheImporterInOrder) {
  ComponentDescription cd = {MovieImportType, FOUR_CHAR_CODE("TEST"), FOUR_CHAR_CODE("ours"), 0, 0};
  Component c = RegisterComponent(&cd, ImportDispatch, 0, nullptr, nullptr, nullptr);
  ComponentInstance ci = OpenComponent(c);
  ASSERT_NE(ci, nullptr);
  Handle ref = NewHandle(4);
  Movie movie = NewMovie(0);
  SInt32 outFlags = 0;
  EXPECT_EQ(MovieImportDataRef(ci, ref, FOUR_CHAR_CODE("alis"), movie, nullptr, nullptr, -7, nullptr,
                               movieImportWithIdle, &outFlags),
            noErr);
  EXPECT_EQ(g_seen.dataRef, ref);
  EXPECT_EQ(g_seen.type, FOUR_CHAR_CODE("alis"));
  EXPECT_EQ(g_seen.movie, movie);
  EXPECT_EQ(g_seen.atTime, -7);
  EXPECT_EQ(g_seen.inFlags, movieImportWithIdle);
  EXPECT_EQ(outFlags, movieImportResultComplete);
  EXPECT_EQ(MovieImportIdle(ci, 0, &outFlags), badComponentSelector);
  DisposeMovie(movie);
  DisposeHandle(ref);
  CloseComponent(ci);
  UnregisterComponent(c);
}

}  // namespace
