#include "app/Log.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/Capture.h"
#include "tests/support/TestSupport.h"

namespace {

using qntest::CaptureStdout;

TEST(LogTest, ChannelZeroAlwaysPrintsOthersOnlyWhenActive) {
  qntest::LogMask scope(0);
  EXPECT_EQ(CaptureStdout([] { Log::FPrintf(stdout, 0, "x"); }), "x");
  EXPECT_EQ(CaptureStdout([] { Log::FPrintf(stdout, 0x100, "x"); }), "");
  Log::ActivatePackage(0x300);
  EXPECT_TRUE(Log::IsActive(0x200));
  EXPECT_TRUE(Log::IsActive(0x201));
  EXPECT_FALSE(Log::IsActive(0x1));
  Log::DeactivatePackage(0x100);
  EXPECT_EQ(Log::package_bitmask, 0x200u);
  EXPECT_EQ(CaptureStdout([] { Log::FPrintf(stdout, 0x201, "%d", 7); }), "7");
}

TEST(LogTest, LongMessagesAreCutAt2047Characters) {
  std::string big(5000, 'a');
  std::string out = CaptureStdout([&] { Log::FPrintf(stdout, 0, "%s", big.c_str()); });
  EXPECT_EQ(out.size(), 2047u);
}

TEST(LogTest, ProgressBarShapes) {
  EXPECT_EQ(CaptureStdout([] { printProgress(0.0); }),
            "\r[>" + std::string(59, ' ') + "] (  0% ) ");
  EXPECT_EQ(CaptureStdout([] { printProgress(0.5); }),
            "\r[" + std::string(30, '=') + ">" + std::string(29, ' ') + "] ( 50% ) ");
  EXPECT_EQ(CaptureStdout([] { printProgress(0.999); }),
            "\r[" + std::string(59, '=') + ">] ( 99% ) ");
  EXPECT_EQ(CaptureStdout([] { printProgress(1.0); }),
            "\r[" + std::string(60, '=') + "> ] (100% ) ");
}

// Appending and a file that cannot be opened are checked through the
// Updater's "-k" in the CLI tests.
TEST(LogTest, LogFileGetsOnlyActiveDiagnosticChannels) {
  qntest::LogMask scope(0);
  qntest::TempDir dir;
  std::string path = dir / "diag.log";
  ASSERT_TRUE(Log::SetLogFile(path.c_str()));
  Log::ActivatePackage(DEBUG_APP);
  CaptureStdout([] {
    Log::FPrintf(stdout, 0, "console\n");
    Log::FPrintf(stdout, DEBUG_APP, "app %d\n", 1);
    Log::FPrintf(stdout, DEBUG_Updater, "updater\n");
    Log::FPrintf(nullptr, DEBUG_APP, "no console %s\n", "but logged");
  });
  ASSERT_TRUE(Log::SetLogFile(nullptr));
  EXPECT_EQ(qntest::ReadFile(path), "app 1\nno console but logged\n");
}

}  // namespace
