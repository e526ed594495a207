// A Horatone.ini link planted by another member of the package's group, against the real
// binary run as root: a throwaway system user owns the link, root runs the clock and its
// config command. Nothing the link's owner could not read is read, shown or copied.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "test_support/posix_io.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

class PlantedLink : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "runs as root only: it makes a throwaway system user to own the link";
    }
    user_ = "horatone-link-" + std::to_string(::getpid());
    const std::string add = "useradd --system --no-create-home --shell /usr/sbin/nologin ";
    ASSERT_EQ(std::system((add + user_ + " >/dev/null 2>&1").c_str()), 0);
    made_user_ = true;
    const passwd* entry = ::getpwnam(user_.c_str());
    ASSERT_NE(entry, nullptr);
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
  }
  void TearDown() override {
    if (made_user_) {
      EXPECT_EQ(std::system(("userdel " + user_ + " >/dev/null 2>&1").c_str()), 0)
          << "the test's user " << user_ << " is left behind";
    }
  }

  // Runs horatone with `args`: its exit status, with its stdout in out_ and stderr in err_.
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), HORATONE_BINARY);
    const auto out_file = scratch_.path() / "out", err_file = scratch_.path() / "err";
    const int out_fd = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = testing::Spawn(args, -1, out_fd, err_file.string());
    ::close(out_fd);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    out_ = testing::ReadBytes(out_file);
    err_ = testing::ReadBytes(err_file);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string user_, out_, err_;
  bool made_user_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  TempDir system_dir_, elsewhere_, scratch_;
};

TEST_F(PlantedLink, ToAFileItsOwnerCannotReadIsRefusedAndToOneItCanIsFollowed) {
  const auto secret = elsewhere_.path() / "secret";
  testing::WriteBytes(secret, "[SETTINGS]\r\nDTMFTIME=999\r\n");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);  // root's alone
  ASSERT_EQ(::chmod(elsewhere_.path().c_str(), 0755), 0);
  const auto ini = system_dir_.path() / "Horatone.ini";
  std::filesystem::create_symlink(secret, ini);
  ASSERT_EQ(::lchown(ini.c_str(), uid_, gid_), 0);
  const std::string root = system_dir_.path().string();
  const std::string refused = "Horatone.ini: a link owned by user " + std::to_string(uid_);

  EXPECT_EQ(Run({"config", "--root", root, "set", "TEXT9", "x"}), 1);
  EXPECT_NE(err_.find(refused), std::string::npos) << err_;
  EXPECT_EQ(Run({"config", "--root", root, "get", "DTMFTIME"}), 1);
  EXPECT_EQ(out_.find("999"), std::string::npos);
  EXPECT_EQ(Run({"config", "--root", root, "save"}), 1);
  EXPECT_EQ(Run({"--headless", "--root", root, "--node", "stdio", "--audio", "null"}), 1);
  EXPECT_NE(err_.find(refused), std::string::npos) << err_;
  EXPECT_EQ(out_.find("TRANSMIT 1"), std::string::npos);
  // Nothing was written through the link or beside it.
  EXPECT_TRUE(std::filesystem::is_symlink(ini));
  EXPECT_EQ(testing::ReadBytes(secret), "[SETTINGS]\r\nDTMFTIME=999\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(system_dir_.path()), {}), 1);

  // Nor through a link of root's own that leads on through the planted one.
  const auto planted = system_dir_.path() / "planted";
  std::filesystem::rename(ini, planted);
  std::filesystem::create_symlink("planted", ini);
  EXPECT_EQ(Run({"config", "--root", root, "get", "DTMFTIME"}), 1);
  EXPECT_NE(err_.find(refused), std::string::npos) << err_;
  EXPECT_EQ(out_.find("999"), std::string::npos);

  // What the link's owner may read anyway is no secret: the link is followed.
  ASSERT_EQ(::chmod(secret.c_str(), 0644), 0);
  EXPECT_EQ(Run({"config", "--root", root, "get", "DTMFTIME"}), 0) << err_;
  EXPECT_EQ(out_, "999\n");
}

}  // namespace
}  // namespace horatone
