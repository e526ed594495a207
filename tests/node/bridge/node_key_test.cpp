// The node bridge's key file: made once with its mode and a random key, kept when it is there,
// and refused when others could change it or it holds no key.
#include "node/bridge/node_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_support/temp_dir.h"

namespace horatone {
namespace {

TEST(NodeKey, IsMadeOnceRandomAndPrivateToTheFoldersOwnerAndGroupAndThenKept) {
  TempDir root, other;
  const Result<std::string> made = LoadOrMakeNodeKey(root.path());
  ASSERT_TRUE(made) << made.message();
  EXPECT_EQ(made->size(), 64u);
  EXPECT_EQ(made->find_first_not_of("0123456789abcdef"), std::string::npos) << *made;
  struct stat info {};
  ASSERT_EQ(stat(NodeKeyPath(root.path()).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  struct stat folder {};
  ASSERT_EQ(stat(root.path().c_str(), &folder), 0);
  EXPECT_EQ(info.st_gid, folder.st_gid);
  EXPECT_EQ(testing::ReadBytes(NodeKeyPath(root.path())), *made + "\n");
  EXPECT_EQ(LoadOrMakeNodeKey(root.path()).value_or("?"), *made);  // not made again
  EXPECT_NE(LoadOrMakeNodeKey(other.path()).value_or(*made), *made);
  // Nothing but the key is left in the folder.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(root.path()))
    ++files;
  EXPECT_EQ(files, 1);

  // A key of the operator's own is used as it is.
  const std::string own = "my-own-key-of-thirty-two-letters!";
  std::ofstream(NodeKeyPath(other.path())) << own << "\r\n";
  chmod(NodeKeyPath(other.path()).c_str(), 0600);
  EXPECT_EQ(LoadOrMakeNodeKey(other.path()).value_or("?"), own);

  std::ostringstream out, err;
  EXPECT_EQ(NodeKeyCommand(root.path(), out, err), 0);
  EXPECT_EQ(out.str(), *made + "\n");
}

TEST(NodeKey, AKeyOthersCouldChangeOrThatHoldsNoKeyIsAClearErrorAndIsLeftAlone) {
  TempDir root;
  const std::filesystem::path path = NodeKeyPath(root.path());
  const std::string key(40, 'k');
  const struct {
    mode_t mode;
    std::string text, reason;
  } cases[] = {
      {0660, key, "may be changed by others than its owner (mode 0660)"},
      {0642, key, "(mode 0642)"},
      {0640, "short", "holds no key"},
      {0640, std::string(20, 'k') + " " + std::string(20, 'k'), "holds no key"},
      {0640, "", "holds no key"},
  };
  for (const auto& c : cases) {
    std::ofstream(path, std::ios::trunc) << c.text;
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    const Result<std::string> loaded = LoadOrMakeNodeKey(root.path());
    ASSERT_FALSE(loaded) << c.reason;
    EXPECT_NE(loaded.message().find(path.string()), std::string::npos) << loaded.message();
    EXPECT_NE(loaded.message().find(c.reason), std::string::npos) << loaded.message();
    EXPECT_EQ(testing::ReadBytes(path), c.text);  // never replaced
    std::ostringstream out, err;
    EXPECT_EQ(NodeKeyCommand(root.path(), out, err), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find(c.reason), std::string::npos) << err.str();
  }
  std::filesystem::remove(path);
  std::filesystem::create_symlink(root.path() / "elsewhere", path);
  EXPECT_NE(LoadOrMakeNodeKey(root.path()).message().find("symbolic link"), std::string::npos);
}

}  // namespace
}  // namespace horatone
