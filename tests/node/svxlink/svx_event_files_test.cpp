// The FIFO and the code file the clock shares with SvxLink's Tcl handler: what the clock makes,
// what it reuses, and what it refuses to use because someone else could read or write it.
#include "node/svxlink/svx_event_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support/temp_dir.h"

namespace horatone {
namespace {

class SvxEventFiles : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  // Opens the FIFO and expects a refusal that says `why`.
  void ExpectRefused(const std::string& path, const std::string& why) const {
    const Result<int> fifo = OpenSvxEventsFifo(path);
    ASSERT_FALSE(fifo) << path;
    EXPECT_NE(fifo.message().find(why), std::string::npos) << fifo.message();
    EXPECT_NE(fifo.message().find(path), std::string::npos) << fifo.message();
  }
  TempDir dir_;
};

TEST_F(SvxEventFiles, TheFifoIsMadeForTheClocksUserAloneAndReadsWhatTheHandlerWrites) {
  const mode_t old_mask = umask(0);  // whatever the umask, nobody else gets a right
  const std::string path = Path("events");
  const Result<int> fifo = OpenSvxEventsFifo(path);
  umask(old_mask);
  ASSERT_TRUE(fifo) << fifo.message();
  struct stat info {};
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, geteuid());

  // A writer that comes and goes, as the handler does for each report.
  const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "SQL 1\n", 6), 6);
  close(writer);
  char bytes[16];
  EXPECT_EQ(read(*fifo, bytes, sizeof bytes), 6);
  // Without a writer the FIFO waits rather than ending: the clock writes to it too.
  EXPECT_EQ(read(*fifo, bytes, sizeof bytes), -1);
  EXPECT_EQ(errno, EAGAIN);
  close(*fifo);

  // The clock's own FIFO from an earlier run is taken again.
  const Result<int> again = OpenSvxEventsFifo(path);
  ASSERT_TRUE(again) << again.message();
  close(*again);
}

TEST_F(SvxEventFiles, AnythingElseAtTheFifosPathIsRefusedNamingWhatIsThere) {
  testing::WriteBytes(Path("file"), "SQL 1\n");
  ExpectRefused(Path("file"), "is a regular file, not a FIFO");
  std::filesystem::create_directory(Path("folder"));
  ExpectRefused(Path("folder"), "is a folder, not a FIFO");
  ASSERT_EQ(mkfifo(Path("target").c_str(), 0600), 0);
  std::filesystem::create_symlink(Path("target"), Path("link"));
  ExpectRefused(Path("link"), "is a symbolic link, not a FIFO");
  ASSERT_EQ(mkfifo(Path("open").c_str(), 0600), 0);
  ASSERT_EQ(chmod(Path("open").c_str(), 0622), 0);
  ExpectRefused(Path("open"), "other users may open (mode 0622, not 0600)");
  ExpectRefused(Path("missing/events"), "cannot make the FIFO");
}

TEST_F(SvxEventFiles, AnotherUsersFifoIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string path = Path("squatted");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ExpectRefused(path, "is a FIFO of user " + std::to_string(nobody->pw_uid));
}

TEST_F(SvxEventFiles, TheCodeFileIsReplacedWholeAndOnlyItsUserMayReadIt) {
  const std::string fifo = Path("events");
  const std::string code = SvxCodeFilePath(fifo);
  EXPECT_EQ(code, fifo + ".code");
  testing::WriteBytes(code, "a longer code than the next one\n");
  ASSERT_EQ(chmod(code.c_str(), 0644), 0);
  ASSERT_TRUE(WriteSvxCodeFile(code, "123"));
  EXPECT_EQ(testing::ReadBytes(code), "123\n");
  struct stat info {};
  ASSERT_EQ(lstat(code.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  ASSERT_TRUE(WriteSvxCodeFile(code, "4567"));
  EXPECT_EQ(testing::ReadBytes(code), "4567\n");
  // Nothing is left beside it.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    ++files;
  EXPECT_EQ(files, 1);

  const Status failed = WriteSvxCodeFile(Path("missing/events.code"), "123");
  EXPECT_FALSE(failed);
  EXPECT_NE(failed.message.find("missing/events.code"), std::string::npos) << failed.message;
}

}  // namespace
}  // namespace horatone
