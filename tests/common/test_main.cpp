// Entry point of every test program. The primitives run their SSE2 members
// until a variant is selected; the tools select one before their first call,
// so a variant forced through VP_FORCE_VARIANT is selected here in the same
// way and then serves the whole run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "vpCore.h"

int main(int argc, char** argv) {
  if (std::getenv("VP_FORCE_VARIANT") != nullptr) vpStaticInit();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
