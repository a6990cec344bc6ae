// The shared log when a first message opens it: each case runs in a fresh
// process, since the log is opened once per process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "kycm.h"
#include "kyml.h"

namespace {

class FirstMessage : public ::testing::Test {
 protected:
  void SetUp() override { ::testing::FLAGS_gtest_death_test_style = "threadsafe"; }

  static std::string log_path(const char* name) { return ::testing::TempDir() + name; }

  static std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

TEST_F(FirstMessage, OpensTheLogWithTheConfiguredThreshold) {
  const std::string path = log_path("first_message_configured.log");
  std::remove(path.c_str());
  EXPECT_EXIT(
      {
        setenv("QUILLON_LOG", path.c_str(), 1);
        setenv("QUILLON_LOG_LEVEL", "trace", 1);
        kymlLogMsg(KYML_LOG_TRACE, "m", KYML_SUCCESS, "from kyml");
        kycmLogMessage(kycmLC_CM, kycmLL_TRACE, "fn", "file.c", 1, "from kycm");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const std::string text = contents(path);
  EXPECT_NE(text.find("from kyml"), std::string::npos) << text;
  EXPECT_NE(text.find("from kycm"), std::string::npos) << text;
}

TEST_F(FirstMessage, KeepsAThresholdSetBeforeIt) {
  const std::string path = log_path("first_message_set.log");
  std::remove(path.c_str());
  EXPECT_EXIT(
      {
        setenv("QUILLON_LOG", path.c_str(), 1);
        unsetenv("QUILLON_LOG_LEVEL");
        kymlSetLogLevel(KYML_LOG_DEBUG);
        kycmLogMessage(kycmLC_CM, kycmLL_DEBUG, "fn", "file.c", 1, "debug kept");
        kymlSetLogLevel(KYML_LOG_NONE);
        kycmLogMessage(kycmLC_CM, kycmLL_FATAL, "fn", "file.c", 1, "silenced");
        // Opening the log explicitly applies the configuration again.
        kycmInitLogger();
        kycmLogMessage(kycmLC_CM, kycmLL_INFO, "fn", "file.c", 1, "info again");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const std::string text = contents(path);
  EXPECT_NE(text.find("debug kept"), std::string::npos) << text;
  EXPECT_EQ(text.find("silenced"), std::string::npos) << text;
  EXPECT_NE(text.find("info again"), std::string::npos) << text;
}

}  // namespace
