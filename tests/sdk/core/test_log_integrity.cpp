// The runtime log's lines say what happened: what callers pass cannot start
// a line of its own, a line that could not be written is reported, and the
// threshold set last is the one that holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kycm.h"
#include "kycore/error_codes.h"
#include "kyml.h"

namespace {

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// Points the log at `path` for one test, then back at standard error.
class LogIntegrity : public ::testing::Test {
 protected:
  void open_at(const std::string& path) {
    setenv("QUILLON_LOG", path.c_str(), 1);
    unsetenv("QUILLON_LOG_LEVEL");
    ASSERT_EQ(kycmInitLogger(), 0u);
  }
  void TearDown() override {
    unsetenv("QUILLON_LOG");
    kycmInitLogger();
  }
};

TEST_F(LogIntegrity, CallerFieldsCannotStartALine) {
  const std::string path = ::testing::TempDir() + "log_integrity_fields.log";
  std::remove(path.c_str());
  open_at(path);
  const char* forged = "x\n2026-01-01 00:00:00.000000 [1:1] [CM] [FATAL] f.c:1 g: forged\r";
  EXPECT_EQ(kycmLogMessage(kycmLC_CM, kycmLL_INFO, forged, forged, 1, "%s", forged), 0u);
  EXPECT_EQ(kymlLogMsg(KYML_LOG_INFO, forged, KYML_SUCCESS, "text"), KYML_SUCCESS);
  const auto lines = lines_of(path);
  ASSERT_EQ(lines.size(), 2u);
  // Function, file and text of the first line, the module of the second.
  EXPECT_EQ(count(lines[0], R"(x\n2026-01-01)"), 3u) << lines[0];
  EXPECT_EQ(count(lines[0], R"(forged\r)"), 3u) << lines[0];
  EXPECT_NE(lines[1].find(R"([ML] [INFO] libkyml:0 x\n2026-01-01)"), std::string::npos) << lines[1];
}

TEST_F(LogIntegrity, AWriteThatFailsIsReported) {
  open_at("/dev/full");
  EXPECT_EQ(kycmLogMessage(kycmLC_CM, kycmLL_ERROR, "fn", "file.c", 1, "lost"), kycore::KYCM_IO_ERROR);
  EXPECT_EQ(kymlLogMsg(KYML_LOG_ERROR, "m", KYML_SUCCESS, "lost"), KYML_ERROR_INITI_FAIL);
  // A message below the threshold is not written, so nothing failed.
  EXPECT_EQ(kycmLogMessage(kycmLC_CM, kycmLL_DEBUG, "fn", "file.c", 1, "dropped"), 0u);
  // The console destinations check their writes too.
  EXPECT_EXIT(
      {
        if (std::freopen("/dev/full", "w", stdout) == nullptr) std::_Exit(2);
        setenv("QUILLON_LOG", "stdout", 1);
        if (kycmInitLogger() != 0) std::_Exit(3);
        const uint32_t code = kycmLogMessage(kycmLC_CM, kycmLL_ERROR, "fn", "file.c", 1, "lost");
        std::_Exit(code == kycore::KYCM_IO_ERROR ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// A first message opens the log on one thread while another sets the level
// to NONE. The log is a named pipe, so the first message stays inside the
// opening until the test opens the pipe's other end; the level is set right
// then. NONE was set last, so a later FATAL message must be dropped. Each
// round runs in a fresh process, as the log opens once per process.
TEST_F(LogIntegrity, TheLevelSetLastHoldsWhileTheFirstMessageOpensTheLog) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  const std::string fifo = ::testing::TempDir() + "log_integrity_threshold.fifo";
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EXIT(
        {
          ::unlink(fifo.c_str());
          if (::mkfifo(fifo.c_str(), 0600) != 0) std::_Exit(2);
          setenv("QUILLON_LOG", fifo.c_str(), 1);
          unsetenv("QUILLON_LOG_LEVEL");
          std::thread first([] { kycmLogMessage(kycmLC_CM, kycmLL_INFO, "fn", "file.c", 1, "first"); });
          const int log = ::open(fifo.c_str(), O_RDONLY);  // returns once the log is being opened
          kymlSetLogLevel(KYML_LOG_NONE);
          first.join();
          kycmLogMessage(kycmLC_CM, kycmLL_FATAL, "fn", "file.c", 1, "after NONE");
          ::fcntl(log, F_SETFL, O_NONBLOCK);
          std::string text;
          char block[4096];
          for (ssize_t got; (got = ::read(log, block, sizeof block)) > 0;) text.append(block, got);
          std::_Exit(text.find("after NONE") == std::string::npos ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "round " << round;
  }
}

}  // namespace
