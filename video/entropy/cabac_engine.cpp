// CABAC engine: the range and state-transition tables, engine start,
// decision and terminate bins, and context initialisation.
#include "cabac_engine.h"

constexpr uint8_t rangeTabLPS[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205}, {116, 142, 169, 195},
    {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166}, {95, 116, 137, 158},  {90, 110, 130, 150},
    {85, 104, 123, 142},  {81, 99, 117, 135},   {77, 94, 111, 128},   {73, 89, 105, 122},   {69, 85, 100, 116},
    {66, 80, 95, 110},    {62, 76, 90, 104},    {59, 72, 86, 99},     {56, 69, 81, 94},     {53, 65, 77, 89},
    {51, 62, 73, 85},     {48, 59, 69, 80},     {46, 56, 66, 76},     {43, 53, 63, 72},     {41, 50, 59, 69},
    {39, 48, 56, 65},     {37, 45, 54, 62},     {35, 43, 51, 59},     {33, 41, 48, 56},     {32, 39, 46, 53},
    {30, 37, 43, 50},     {29, 35, 41, 48},     {27, 33, 39, 45},     {26, 31, 37, 43},     {24, 30, 35, 41},
    {23, 28, 33, 39},     {22, 27, 32, 37},     {21, 26, 30, 35},     {20, 24, 29, 33},     {19, 23, 27, 31},
    {18, 22, 26, 30},     {17, 21, 25, 28},     {16, 20, 23, 27},     {15, 19, 22, 25},     {14, 18, 21, 24},
    {14, 17, 20, 23},     {13, 16, 19, 22},     {12, 15, 18, 21},     {12, 14, 17, 20},     {11, 14, 16, 19},
    {11, 13, 15, 18},     {10, 12, 15, 17},     {10, 12, 14, 16},     {9, 11, 13, 15},      {9, 11, 12, 14},
    {8, 10, 12, 14},      {8, 9, 11, 13},       {7, 9, 11, 12},       {7, 9, 10, 12},       {7, 8, 10, 11},
    {6, 8, 9, 11},        {6, 7, 9, 10},        {6, 7, 8, 9},         {2, 2, 2, 2},
};

constexpr uint8_t transIdxLPS[64] = {
    0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12, 13, 13, 15, 15, 16, 16,
    18, 18, 19, 19, 21, 21, 22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30,
    31, 32, 32, 33, 33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

namespace {

struct ShiftTable {
  uint8_t v[256];
  constexpr ShiftTable() : v() {
    v[0] = 9;
    for (int i = 1; i < 256; ++i) {
      int s = 0;
      while ((i << s) < 256) ++s;
      v[i] = static_cast<uint8_t>(s);
    }
  }
};
constexpr ShiftTable kShift;

constexpr CabacEngineTables engine_tables() {
  CabacEngineTables t{};
  for (int mps = 0; mps < 2; ++mps) {
    for (int state = 0; state < 64; ++state) {
      const int key = state | mps << 8;
      for (int q = 0; q < 4; ++q) {
        t.row[key].v[q] = rangeTabLPS[state][q];
        t.row[key].v[4 + q] = kShift.v[rangeTabLPS[state][q]];
      }
      t.next[key][0] = static_cast<uint16_t>((state < 62 ? state + 1 : state) | mps << 8);
      const int lpsMps = state == 0 ? 1 - mps : mps;
      t.next[key][1] = static_cast<uint16_t>(transIdxLPS[state] | lpsMps << 8);
    }
  }
  return t;
}

}  // namespace

constexpr CabacEngineTables kCabacTables = engine_tables();

const uint8_t BinShiftTbl[256] = {
#define R16(b) kShift.v[b], kShift.v[b + 1], kShift.v[b + 2], kShift.v[b + 3], kShift.v[b + 4], kShift.v[b + 5], \
               kShift.v[b + 6], kShift.v[b + 7], kShift.v[b + 8], kShift.v[b + 9], kShift.v[b + 10],           \
               kShift.v[b + 11], kShift.v[b + 12], kShift.v[b + 13], kShift.v[b + 14], kShift.v[b + 15]
    R16(0),   R16(16),  R16(32),  R16(48),  R16(64),  R16(80),  R16(96),  R16(112),
    R16(128), R16(144), R16(160), R16(176), R16(192), R16(208), R16(224), R16(240),
#undef R16
};

int32_t cabac_initialize_engine(ThreadBuffer* tb) {
  tb->reader.codIRange = 510;
  tb->reader.codIOffset = static_cast<uint16_t>(ReadNBits(&tb->reader, 9));
  return 0;
}

void cabac_initialize_context(int8_t SliceQPY, const int8_t (*mn)[2], CabacContext* first, int32_t count) {
  if (count < 1) return;
  const int32_t qp = SliceQPY < 0 ? 0 : (SliceQPY > 51 ? 51 : SliceQPY);
  for (int32_t i = 0; i < count; ++i) {
    int32_t pre = ((mn[i][0] * qp) >> 4) + mn[i][1];
    pre = pre < 1 ? 1 : (pre > 126 ? 126 : pre);
    if (pre <= 63) {
      first[i].pStateIdx = static_cast<uint8_t>(63 - pre);
      first[i].valMPS = 0;
    } else {
      first[i].pStateIdx = static_cast<uint8_t>(pre - 64);
      first[i].valMPS = 1;
    }
  }
}
