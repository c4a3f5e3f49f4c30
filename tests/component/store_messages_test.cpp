// What mtsimport says when the record store stands in its way: a store whose
// lock a stopped process holds names that process.
#include "shm_test_util.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

using StoreMessages = shmtest::ShmTest;

TEST_F(StoreMessages, BusyStoreNamesTheProcessThatHoldsIt) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/small_lpcm_20_avchd.m2ts");
  shmtest::Peer holder(SHM_PEER, {"lock"});
  ASSERT_TRUE(holder.started());
  ASSERT_EQ(holder.read_line().rfind("locked id ", 0), 0u);
  const std::string command = std::string(MTSIMPORT) + " '" + path + "' 2>&1 >/dev/null";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string said;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) said.append(buffer, n);
  const int status = pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << said;
  EXPECT_NE(said.find("the record store is busy: process " + std::to_string(holder.pid()) + " has held its lock"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("(-47)"), std::string::npos) << said;
  holder.kill_now();
}

}  // namespace
