// Start-up settings.
#include <gtest/gtest.h>

#include <filesystem>

#include "fileio/basFiles.h"
#include "form/basBase.h"
#include "platform/os.h"

namespace {

TEST(StartUp, SettingsAreFinalBeforeTheWindowLoads) {
  EXPECT_EQ(ShareModeFor(1), 3u);
  EXPECT_EQ(MakeTitle(1, 10, 0, true), "Orvandel V1.10.0 IDE");
  std::string titleAtLoad;
  std::uint32_t shareAtLoad = 0;
  bool runningAtLoad = true;
  SubMain([&] {
    titleAtLoad = gTitle;
    shareAtLoad = gShareMode;
    runningAtLoad = gTestRunning;
  });
  EXPECT_EQ(titleAtLoad, gInIDE ? "Orvandel V0.9.55 IDE" : "Orvandel V0.9.55");
  EXPECT_EQ(shareAtLoad, 7u);  // Linux never locks names: the NT behaviour
  EXPECT_FALSE(runningAtLoad);
  ASSERT_FALSE(gAppPath.empty());
  EXPECT_EQ(gAppPath.back(), os::runtime::PathSeparator());
  EXPECT_EQ(std::filesystem::path(gAppPath).parent_path(),
            std::filesystem::path(os::runtime::ExecutablePath()).parent_path());
}

}  // namespace
