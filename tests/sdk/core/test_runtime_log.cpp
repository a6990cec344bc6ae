// The shared log: lines as by printf, caller fields that cannot start a line,
// a line that could not be written reported, and the threshold a first
// message opens the log with. Cases on that first message run in fresh
// processes, since the log opens once per process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "kycm.h"
#include "kycore/error_codes.h"
#include "kyml.h"

namespace {

void log_to(const char* destination) {
  setenv("QUILLON_LOG", destination, 1);
  unsetenv("QUILLON_LOG_LEVEL");
  kycmInitLogger();
}

std::string contents(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// What `body` logs to a fresh file in a fresh process, with the level
// configured as `level` (none when null).
std::string logged_first_in_a_process(const char* level, const std::function<void()>& body) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  const std::string path = ::testing::TempDir() + "runtime_log_first_message.log";
  std::remove(path.c_str());
  EXPECT_EXIT(
      {
        setenv("QUILLON_LOG", path.c_str(), 1);
        level != nullptr ? setenv("QUILLON_LOG_LEVEL", level, 1) : unsetenv("QUILLON_LOG_LEVEL");
        body();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  return contents(path);
}

TEST(RuntimeLog, LinesAreFormattedAsByPrintfAndCallerFieldsCannotStartOne) {
  const std::string path = ::testing::TempDir() + "runtime_log_lines.log";
  std::remove(path.c_str());
  log_to(path.c_str());
  const char* forged = "x\n2026-01-01 00:00:00.000000 [1:1] [CM] [FATAL] f.c:1 g: forged\r";
  EXPECT_EQ(kycmLogMessage(kycmLC_CM, kycmLL_WARN, "fn", "file.c", 12, "%d%% of %s", 50, "it"), 0u);
  EXPECT_EQ(kycmLogMessage(static_cast<kycmLogChannel>(9), kycmLL_WARN, "fn", "file.c", 1, "x"),
            kycore::KYCM_INVALID_ARGUMENT);
  EXPECT_EQ(kycmLogMessage(kycmLC_CM, kycmLL_INFO, forged, forged, 1, "%s", forged), 0u);
  EXPECT_EQ(kymlLogMsg(KYML_LOG_INFO, forged, KYML_SUCCESS, "text"), KYML_SUCCESS);
  log_to("stderr");
  const std::string text = contents(path);
  const std::string escaped = R"(x\n2026-01-01 00:00:00.000000 [1:1] [CM] [FATAL] f.c:1 g: forged\r)";
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_NE(text.find("[CM] [WARN] file.c:12 fn: 50% of it\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] " + escaped + ":1 " + escaped + ": " + escaped + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[ML] [INFO] libkyml:0 " + escaped + ": text\n"), std::string::npos) << text;
}

TEST(RuntimeLog, AWriteThatFailsIsReported) {
  log_to("/dev/full");
  EXPECT_EQ(kycmLogMessage(kycmLC_CM, kycmLL_ERROR, "fn", "file.c", 1, "lost"), kycore::KYCM_IO_ERROR);
  EXPECT_EQ(kymlLogMsg(KYML_LOG_ERROR, "m", KYML_SUCCESS, "lost"), KYML_ERROR_INITI_FAIL);
  EXPECT_EXIT(  // standard output on a full device
      {
        if (std::freopen("/dev/full", "w", stdout) == nullptr) std::_Exit(2);
        log_to("stdout");
        std::_Exit(kycmLogMessage(kycmLC_CM, kycmLL_ERROR, "f", "f.c", 1, "lost") == kycore::KYCM_IO_ERROR ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  log_to("stderr");
}

TEST(RuntimeLog, AFirstMessageOpensTheLogWithTheConfiguredThresholdOrTheOneSetBefore) {
  std::string text = logged_first_in_a_process("trace", [] {
    kymlLogMsg(KYML_LOG_TRACE, "m", KYML_SUCCESS, "from kyml");
    kycmLogMessage(kycmLC_CM, kycmLL_TRACE, "fn", "file.c", 1, "from kycm");
  });
  EXPECT_NE(text.find("from kyml"), std::string::npos) << text;
  EXPECT_NE(text.find("from kycm"), std::string::npos) << text;
  text = logged_first_in_a_process(nullptr, [] {
    kymlSetLogLevel(KYML_LOG_DEBUG);
    kycmLogMessage(kycmLC_CM, kycmLL_DEBUG, "fn", "file.c", 1, "debug kept");
    kymlSetLogLevel(KYML_LOG_NONE);
    kycmLogMessage(kycmLC_CM, kycmLL_FATAL, "fn", "file.c", 1, "silenced");
    kycmInitLogger();  // opening the log explicitly applies the configuration again
    kycmLogMessage(kycmLC_CM, kycmLL_INFO, "fn", "file.c", 1, "info again");
  });
  EXPECT_NE(text.find("debug kept"), std::string::npos) << text;
  EXPECT_EQ(text.find("silenced"), std::string::npos) << text;
  EXPECT_NE(text.find("info again"), std::string::npos) << text;
}

// The log is a named pipe, so a first message stays inside opening the log
// until the pipe's other end is opened; NONE is set right then, so a later
// FATAL message must be dropped. One fresh process per round.
TEST(RuntimeLog, TheLevelSetLastHoldsWhileTheFirstMessageOpensTheLog) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  const std::string fifo = ::testing::TempDir() + "runtime_log_threshold.fifo";
  for (int round = 0; round < 40; ++round) {
    ASSERT_EXIT(
        {
          ::unlink(fifo.c_str());
          if (::mkfifo(fifo.c_str(), 0600) != 0) std::_Exit(2);
          setenv("QUILLON_LOG", fifo.c_str(), 1);
          std::thread first([] { kycmLogMessage(kycmLC_CM, kycmLL_INFO, "fn", "file.c", 1, "first"); });
          const int log = ::open(fifo.c_str(), O_RDONLY);  // returns once the first message opens the log
          kymlSetLogLevel(KYML_LOG_NONE);
          first.join();
          kycmLogMessage(kycmLC_CM, kycmLL_FATAL, "fn", "file.c", 1, "after NONE");
          ::fcntl(log, F_SETFL, O_NONBLOCK);
          char text[4096] = {};
          const bool written = ::read(log, text, sizeof text - 1) > 0 && std::strstr(text, "after NONE") != nullptr;
          std::_Exit(written ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "")
        << "round " << round;
  }
}

}  // namespace
