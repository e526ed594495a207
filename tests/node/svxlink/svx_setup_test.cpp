// SvxLink's configuration as the set-up reads and edits it: the stock file's syntax kept line
// for line, files SvxLink would not read refused with the line, and the clock's values merged
// once and only once.
#include "node/svxlink/svx_setup.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "node/svxlink/svx_config.h"

namespace horatone {
namespace {

constexpr const char* kSmall =
    "# SvxLink\n"
    "[GLOBAL]\n"
    "LOGICS=SimplexLogic\n"
    "CARD_SAMPLE_RATE=16000\n"
    "\n"
    "[RepeaterLogic]\n"
    "TYPE=Repeater\n"
    "RX=Rx1\n"
    "#RX=Rx9   an operator's note\n"
    "DESCRIPTION=\"first,\\n\"\n"
    "            \"second\"\n"
    "OPEN_ON_SQL=5000\n"
    "\n"
    "# the end of the logic\n"
    "[Voter]\n"
    "TYPE=Voter\n"
    "RECEIVERS=Rx1,Rx2,Rx3\n"
    "VOTING_DELAY=200\n";

SvxConfigFile Parsed(const std::string& text) {
  Result<SvxConfigFile> file = SvxConfigFile::Parse(text, "svxlink.conf");
  EXPECT_TRUE(file) << file.message();
  return file ? std::move(*file) : SvxConfigFile();
}

TEST(SvxConfigFile, ReadsValuesQuotedAndContinuedAndWritesTheFileBackByteForByte) {
  const SvxConfigFile file = Parsed(kSmall);
  EXPECT_EQ(file.Text(), kSmall);
  EXPECT_EQ(file.Get("RepeaterLogic", "RX"), "Rx1");
  EXPECT_EQ(file.Get("GLOBAL", "RX"), std::nullopt);
  EXPECT_EQ(file.Get("RepeaterLogic", "DESCRIPTION"), "first,\\n");
  EXPECT_TRUE(file.HasSection("Voter"));
  EXPECT_FALSE(file.HasSection("Rx1"));
  // No newline at the end stays so.
  EXPECT_EQ(Parsed("[A]\nB=1").Text(), "[A]\nB=1");
}

TEST(SvxConfigFile, AnEditTouchesOnlyItsOwnLines) {
  SvxConfigFile file = Parsed(kSmall);
  file.Set("RepeaterLogic", "DESCRIPTION", "one line");      // its continuation goes with it
  file.Set("RepeaterLogic", "DTMF_CTRL_PTY", "/dev/shm/x");  // after the last value
  file.Set("HoratoneRx", "TYPE", "Local");                   // a new section at the end
  const std::string text = file.Text();
  EXPECT_NE(text.find("DESCRIPTION=one line\nOPEN_ON_SQL=5000\nDTMF_CTRL_PTY=/dev/shm/x\n\n"
                      "# the end of the logic\n[Voter]"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("second"), std::string::npos);
  EXPECT_NE(text.find("#RX=Rx9   an operator's note\n"), std::string::npos);
  EXPECT_NE(text.find("VOTING_DELAY=200\n\n[HoratoneRx]\nTYPE=Local\n"), std::string::npos) << text;
  EXPECT_EQ(Parsed(text).Get("HoratoneRx", "TYPE"), "Local");
}

TEST(SvxConfigFile, RefusesWhatSvxLinkCouldNotReadAndSaysWhere) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {"[GLOBAL]\nLOGICS=A\nthis is no line\n", "line 3: neither KEY=VALUE nor a section"},
      {"LOGICS=A\n[GLOBAL]\n", "line 1: a value before the first section"},
      {"[GLOBAL\nA=1\n", "line 1: not a section name"},
      {"[GLOBAL]\nA=\"open\n", "line 2: a quote that does not end"},
      {"[GLOBAL]\nA=1\n  \"more\"\n", "line 3: a quoted line after no quoted value"},
      {"[GLOBAL]\nA B=1\n", "line 2: not a key"},
  };
  for (const auto& bad : cases) {
    const Result<SvxConfigFile> file = SvxConfigFile::Parse(bad.text, "svxlink.conf");
    ASSERT_FALSE(file) << bad.text;
    EXPECT_NE(file.message().find(std::string("svxlink.conf, ") + bad.why), std::string::npos)
        << file.message();
  }
}

TEST(SvxSetup, MergesTheClocksValuesOnceAndThenFindsNothingToDo) {
  SvxConfigFile file = Parsed(kSmall);
  const SvxSetupOptions options;
  const Result<std::vector<SvxChange>> changes = SvxSetupChanges(file, options);
  ASSERT_TRUE(changes) << changes.message();
  ApplySvxChanges(&file, *changes);
  EXPECT_EQ(file.Get("GLOBAL", "LOGICS"), "RepeaterLogic");
  EXPECT_EQ(file.Get("RepeaterLogic", "RX"), "Voter");
  // The logic's own receiver stays, beside the clock's; the stock example's others go.
  EXPECT_EQ(file.Get("Voter", "RECEIVERS"), "Rx1,HoratoneRx");
  EXPECT_EQ(file.Get("Voter", "VOTING_DELAY"), "0");
  EXPECT_EQ(file.Get("RepeaterLogic", "OPEN_ON_SQL"), "1");
  EXPECT_EQ(file.Get("RepeaterLogic", "HORATONE_EVENTS"), "/run/horatone/svxlink");
  EXPECT_EQ(file.Get("HoratoneRx", "AUDIO_DEV"), "udp:127.0.0.1:5300");
  EXPECT_EQ(file.Get("HoratoneRx", "PTY_PATH"), "/dev/shm/horatone_sql");

  const SvxConfigFile again = Parsed(file.Text());
  const Result<std::vector<SvxChange>> none = SvxSetupChanges(again, options);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty()) << (*none)[0].section << " " << (*none)[0].key;
}

TEST(SvxSetup, AVoterAlreadyInPlaceKeepsItsReceiversAndGainsTheClocks) {
  const SvxConfigFile file = Parsed(
      "[GLOBAL]\nLOGICS=SimplexLogic,RepeaterLogic\n[RepeaterLogic]\nRX=Voter\n"
      "[Voter]\nTYPE=Voter\nRECEIVERS=RxA, RxB\n");
  const Result<std::vector<SvxChange>> changes = SvxSetupChanges(file, SvxSetupOptions());
  ASSERT_TRUE(changes);
  for (const SvxChange& change : *changes) {
    EXPECT_NE(change.key, "LOGICS");  // it runs already
    EXPECT_NE(change.key, "RX");
    if (change.key == "RECEIVERS") {
      EXPECT_EQ(change.want, "RxA,RxB,HoratoneRx");
      EXPECT_EQ(change.had, "RxA, RxB");
    }
  }
}

TEST(SvxSetup, RefusesAFileWithoutTheLogicAndValuesThatWouldBreakTheFiles) {
  EXPECT_FALSE(SvxSetupChanges(Parsed("[GLOBAL]\nLOGICS=SimplexLogic\n"), SvxSetupOptions()));
  const SvxConfigFile file = Parsed(kSmall);
  for (const auto& set : {+[](SvxSetupOptions& o) { o.events = "/run/a b"; },
                          +[](SvxSetupOptions& o) { o.squelch_pty = "relative/sql"; },
                          +[](SvxSetupOptions& o) { o.dtmf_pty = "/dev/shm/%h"; },
                          +[](SvxSetupOptions& o) { o.audio = "127.0.0.1"; },
                          +[](SvxSetupOptions& o) { o.audio = "127.0.0.1:70000"; },
                          +[](SvxSetupOptions& o) { o.user = "svx\nlink"; }}) {
    SvxSetupOptions options;
    set(options);
    const Result<std::vector<SvxChange>> changes = SvxSetupChanges(file, options);
    EXPECT_FALSE(changes);
    EXPECT_EQ(changes.status().kind, StatusKind::kBadInput);
  }
}

TEST(SvxSetup, TheStockConfigurationParsesAndTheDropInStartsTheClockAtItsRate) {
  std::ifstream in("/etc/svxlink/svxlink.conf");
  if (!in) GTEST_SKIP() << "svxlink-server is not installed";
  std::ostringstream text;
  text << in.rdbuf();
  const SvxConfigFile file = Parsed(text.str());
  EXPECT_EQ(file.Text(), text.str());
  EXPECT_EQ(SvxCardRate(file), 48000);
  EXPECT_EQ(SvxLocalEventsFolder(file, SvxSetupOptions()), "/usr/share/svxlink/events.d/local");
  const std::string drop_in = SvxServiceDropIn(file, SvxSetupOptions());
  EXPECT_NE(drop_in.find("\nUser=svxlink\n"), std::string::npos);
  EXPECT_NE(drop_in.find("\nExecStart=\nExecStart=/usr/bin/horatone --headless --root "
                         "/var/lib/horatone --node svxlink --svx-audio 127.0.0.1:5300 "
                         "--svx-rate 48000 --svx-squelch /dev/shm/horatone_sql --svx-dtmf "
                         "/dev/shm/horatone_dtmf --svx-events /run/horatone/svxlink\n"),
            std::string::npos)
      << drop_in;
}

}  // namespace
}  // namespace horatone
