// Downmixing: binds the stream's time blocks to channel roles, silences the
// roles the stream lacks, mixes to the output layout in place and lists the
// output blocks in output order.
#include "AC3DecState.h"
#include "AC3Tables.h"
#include "vpCore.h"

namespace ac3dec {
namespace {

constexpr int32_t kLen = 512;
constexpr float k707 = 0.707f;

enum Role { kL, kC, kR, kLs, kRs, kS, kRoles };

// Time row of each role by stream acmod; rows 0..4 that hold no coded channel
// and the spare row 6 are silenced.
constexpr int8_t kRoleRow[8][kRoles] = {
    {0, 0, 0, 0, 0, 0},  // acmod 0 is refused before any block
    {1, 0, 2, 3, 4, 6},  // 1/0
    {0, 2, 1, 3, 4, 6},  // 2/0
    {0, 1, 2, 3, 4, 6},  // 3/0
    {0, 3, 1, 4, 6, 2},  // 2/1
    {0, 1, 2, 4, 6, 3},  // 3/1
    {0, 4, 1, 2, 3, 6},  // 2/2
    {0, 1, 2, 3, 4, 6},  // 3/2
};

// Output order by output acmod (before the LFE).
constexpr int8_t kOutRoles[8][5] = {
    {kC, -1, -1, -1, -1},  {kC, -1, -1, -1, -1}, {kL, kR, -1, -1, -1},
    {kL, kC, kR, -1, -1},  {kL, kR, kS, -1, -1}, {kL, kC, kR, kS, -1},
    {kL, kR, kLs, kRs, -1}, {kL, kC, kR, kLs, kRs},
};

// x = gain × x, then added to both a and b.
void AddScaledToBoth(float* x, float gain, float* a, float* b) {
  vpsMulC_32f_I(gain, x, kLen);
  vpsAdd_32f_I(x, a, kLen);
  vpsAdd_32f_I(x, b, kLen);
}

// x = gain × x, then subtracted from a and added to b.
void AddScaledInAntiphase(float* x, float gain, float* a, float* b) {
  vpsMulC_32f_I(gain, x, kLen);
  vpsSub_32f_I(x, a, kLen);
  vpsAdd_32f_I(x, b, kLen);
}

}  // namespace

void Downmixing(AC3DecState* s) {
  const int acmod = s->bsi.acmod & 7;
  const int outAcmod = s->outFormat.acmod & 7;
  float* row[kRoles];
  for (int role = 0; role < kRoles; ++role) row[role] = s->timeRows[kRoleRow[acmod][role]];
  float* L = row[kL];
  float* C = row[kC];
  float* R = row[kR];
  float* Ls = row[kLs];
  float* Rs = row[kRs];
  float* S = row[kS];

  const int F = NFRONT[acmod];
  const int B = NREAR[acmod];
  const int Fo = NFRONT[outAcmod];
  const int Bo = NREAR[outAcmod];
  if (F == 1) {
    vpsZero_32f(L, kLen);
    vpsZero_32f(R, kLen);
  }
  if (F == 2) vpsZero_32f(C, kLen);
  if (B == 0) {
    vpsZero_32f(Ls, kLen);
    vpsZero_32f(Rs, kLen);
    vpsZero_32f(S, kLen);
  }
  if (B == 1) {
    vpsZero_32f(Ls, kLen);
    vpsZero_32f(Rs, kLen);
  }
  if (B == 2) vpsZero_32f(S, kLen);

  const float clev = Clev[s->bsi.cmixlev & 3];
  const float slev = Slev[s->bsi.surmixlev & 3];

  if (outAcmod == 2 && s->outFormat.stereoMode == 1) {
    // Lt/Rt: matrix-surround compatible stereo; the surrounds enter L in
    // antiphase.
    if (F != 2) AddScaledToBoth(C, k707, L, R);
    if (B == 1) AddScaledInAntiphase(S, k707, L, R);
    if (B == 2) {
      vpsAdd_32f_I(Rs, Ls, kLen);
      AddScaledInAntiphase(Ls, k707, L, R);
    }
  } else if (outAcmod == 2) {
    // Lo/Ro.
    if (F != 2) AddScaledToBoth(C, clev, L, R);
    if (B == 1) AddScaledToBoth(S, k707 * slev, L, R);
    if (B == 2) {
      vpsAddProductC_32f(Ls, slev, L, kLen);
      vpsAddProductC_32f(Rs, slev, R, kLen);
    }
  } else if (outAcmod == 1) {
    if (F == 3) vpsMulC_32f_I(0.5f * clev, C, kLen);
    if (F >= 2) {
      vpsAdd_32f_I(L, R, kLen);
      vpsAddProductC_32f(R, 0.5f, C, kLen);
    }
    if (B == 1) vpsAddProductC_32f(S, 0.5f * slev, C, kLen);
    if (B == 2) {
      vpsAdd_32f_I(Rs, Ls, kLen);
      vpsAddProductC_32f(Ls, 0.5f * slev, C, kLen);
    }
  } else {
    if (Fo == 2) {
      if (F == 1) {
        vpsMulC_32f(C, k707, L, kLen);
        vpsCopy_32f(L, R, kLen);
      }
      if (F == 3) AddScaledToBoth(C, clev, L, R);
    }
    if (B == 1) {
      if (Bo == 0) AddScaledToBoth(S, k707 * slev, L, R);
      if (Bo == 2) {
        vpsMulC_32f(S, k707, Ls, kLen);
        vpsCopy_32f(Ls, Rs, kLen);
      }
    }
    if (B == 2) {
      if (Bo == 0) {
        vpsAddProductC_32f(Ls, slev, L, kLen);
        vpsAddProductC_32f(Rs, slev, R, kLen);
      } else if (Bo == 1) {
        vpsAdd_32f_I(Rs, Ls, kLen);
        vpsMulC_32f(Ls, slev, S, kLen);
      }
    }
  }

  int n = 0;
  for (int i = 0; i < 5 && kOutRoles[outAcmod][i] >= 0; ++i) s->outChannels[n++] = row[kOutRoles[outAcmod][i]];
  if (s->outFormat.lfe) s->outChannels[n++] = s->timeRows[kLfeRow];
}

}  // namespace ac3dec
