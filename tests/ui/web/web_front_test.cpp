// The `--web` address and the rule that a page open to the network needs a password.
#include "ui/web/web_front.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>

#include "test_support/temp_dir.h"
#include "ui/web/web_password.h"

namespace horatone {
namespace {

TEST(WebAddress, LoopbackAndBracketedAddressesAreReadWithTheirPort) {
  Result<WebListen> listen = ParseWebAddress("127.0.0.1:8073");
  ASSERT_TRUE(listen) << listen.message();
  EXPECT_EQ(listen->host, "127.0.0.1");
  EXPECT_EQ(listen->port, 8073);
  EXPECT_TRUE(listen->loopback);
  listen = ParseWebAddress("[::1]:1");
  ASSERT_TRUE(listen) << listen.message();
  EXPECT_EQ(listen->host, "::1");
  EXPECT_EQ(listen->port, 1);
  EXPECT_TRUE(listen->loopback);
  listen = ParseWebAddress("0.0.0.0:65535");
  ASSERT_TRUE(listen) << listen.message();
  EXPECT_FALSE(listen->loopback);
}

TEST(WebAddress, BadAddressesAndPortsAreRefusedSayingWhat) {
  const std::pair<std::string, std::string> cases[] = {
      {"8073", "--web needs ADDR:PORT, for example 127.0.0.1:8073"},
      {":8073", "--web needs ADDR:PORT, for example 127.0.0.1:8073"},
      {"127.0.0.1:", "--web: \"\" is not a port number (1 to 65535)"},
      {"127.0.0.1:0", "--web: \"0\" is not a port number (1 to 65535)"},
      {"127.0.0.1:65536", "--web: \"65536\" is not a port number (1 to 65535)"},
      {"127.0.0.1:+80", "--web: \"+80\" is not a port number (1 to 65535)"},
      {"127.0.0.1:80x", "--web: \"80x\" is not a port number (1 to 65535)"},
      {"127.0.0.1:99999999999", "--web: \"99999999999\" is not a port number (1 to 65535)"},
  };
  for (const auto& [text, reason] : cases) {
    EXPECT_EQ(ParseWebAddress(text).message(), reason) << text;
    EXPECT_EQ(WebStartProblem(text, "/nonexistent").message, reason) << text;
  }
}

TEST(WebAddress, APageOpenToTheNetworkStartsOnlyWithAPassword) {
  TempDir root;
  EXPECT_TRUE(WebStartProblem("127.0.0.1:8073", root.path()).ok());
  const Status open = WebStartProblem("0.0.0.0:8073", root.path());
  EXPECT_FALSE(open.ok());
  EXPECT_NE(open.message.find("without a password"), std::string::npos) << open.message;
  const Result<std::string> hash = HashWebPassword("correct horse battery");
  ASSERT_TRUE(hash) << hash.message();
  EXPECT_EQ(hash->rfind("$y$", 0), 0u) << *hash;
  EXPECT_NE(*hash, HashWebPassword("correct horse battery").value_or(""));  // a fresh salt
  std::ofstream(WebPasswordFile(root.path())) << *hash << "\n";
  // A hash others may read can be guessed at offline: the page does not start with it.
  std::filesystem::permissions(WebPasswordFile(root.path()), std::filesystem::perms(0644));
  const Status readable = WebStartProblem("127.0.0.1:8073", root.path());
  EXPECT_NE(readable.message.find("(mode 0644); make it private with 'chmod 600 "),
            std::string::npos)
      << readable.message;
  std::filesystem::permissions(WebPasswordFile(root.path()), std::filesystem::perms(0600));
  EXPECT_TRUE(WebStartProblem("0.0.0.0:8073", root.path()).ok());
  // The operator's own certificate is for HTTPS, and comes with its key.
  EXPECT_EQ(WebStartProblem("127.0.0.1:8073", root.path(), "my.crt", "my.key").message,
            "--web-cert: a page on loopback is served over plain HTTP");
  EXPECT_EQ(WebStartProblem("0.0.0.0:8073", root.path(), "my.crt", "").message,
            "--web-cert and --web-key go together");
}

}  // namespace
}  // namespace horatone
