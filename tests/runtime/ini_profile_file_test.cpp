// The settings file: a small file in, an exact value or exact bytes out.
#include "runtime/ini_profile_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "test_support/temp_dir.h"

namespace horatone {
namespace {

class IniFile : public ::testing::Test {
 protected:
  void Write(const std::string& bytes) { testing::WriteBytes(path(), bytes); }
  std::string Bytes() { return testing::ReadBytes(path()); }
  std::filesystem::path path() const { return dir_.path() / "Horatone.ini"; }
  std::string Get(const std::string& key, const std::string& fallback = "dflt") {
    return file_.GetString("SETTINGS", key, fallback);
  }

  TempDir dir_;
  PathMapper mapper_{dir_.path()};
  IniProfileFile file_{mapper_, "Horatone.ini"};
};

TEST_F(IniFile, ReadsKeysByTheRulesOfTheProfileFunctionsWithEveryLineEndAndTextEncoding) {
  Write(
      "[OTHER]\nKEY=other\n[settings]\n  volset  =  -1500  \r\nText9=\"quoted\"\nTEXT10='single'\n"
      "TEXT11=\"unmatched'\nTEXT12= a ; not a comment\n; KEY=commented\nBARE\n"
      "KEY=first=still value\nKEY=second\nEMPTY=\n[MORE]\nLATE=x\n");
  EXPECT_EQ(Get("VOLSET"), "-1500");
  EXPECT_EQ(Get("TEXT9"), "quoted");
  EXPECT_EQ(Get("TEXT10"), "single");
  EXPECT_EQ(Get("TEXT11"), "\"unmatched'");
  EXPECT_EQ(Get("TEXT12"), "a ; not a comment");
  EXPECT_EQ(Get("KEY"), "first=still value");
  EXPECT_EQ(Get("BARE"), "dflt");  // a line without '=' is no key
  EXPECT_EQ(Get("EMPTY"), "");     // present but empty is not the default
  EXPECT_EQ(Get("LATE"), "dflt");  // belongs to another section
  EXPECT_EQ(Get("ABSENT", "ends in blanks  "), "ends in blanks");
  // Every line end; values cut to 255 characters.
  for (const std::string end : {"\r\n", "\n", "\r"}) {
    Write("[SETTINGS]" + end + "A=1" + end + "B=2");
    EXPECT_EQ(Get("A"), "1") << "line end " << end.size();
    EXPECT_EQ(Get("B"), "2");
  }
  Write("[SETTINGS]\nLONG=" + std::string(300, 'x') + "\n");
  EXPECT_EQ(Get("LONG").size(), 255u);
  const std::string wide = "\xc3\xa9" + std::string(300, 'y');
  Write("[SETTINGS]\nWIDE=" + wide + "\n");
  EXPECT_EQ(Get("WIDE"), wide.substr(0, 256));  // 255 characters, the first one two bytes
  Write("[SETTINGS]\nTEXT9=Zeit und Stimme \xe4\x80\nTEXT10=\xc3\xa4 utf8\n");
  EXPECT_EQ(Get("TEXT9"), "Zeit und Stimme \xc3\xa4\xe2\x82\xac");
  EXPECT_EQ(Get("TEXT10"), "\xc3\xa4 utf8");  // text that is not UTF-8 is Windows-1252
  Write(std::string("\0\xff\xfe[SETTINGS\0]\x01=\x02\n", 14));
  EXPECT_EQ(Get("VOLSET", "0"), "0");
}

TEST_F(IniFile, WritingEndsItsLinesWithCrlfKeepsTheRestAndRemovesKilledWritersTemporaryFiles) {
  ASSERT_TRUE(file_.WriteString("SETTINGS", "FILELOCATION", "C:\\Program Files\\Horatone\\"));
  ASSERT_TRUE(file_.WriteString("SETTINGS", "VOLSET", "0"));
  EXPECT_EQ(Bytes(), "[SETTINGS]\r\nFILELOCATION=C:\\Program Files\\Horatone\\\r\nVOLSET=0\r\n");
  Write("[Other]\nX=1");
  ASSERT_TRUE(file_.WriteString("SETTINGS", "TOP", "300"));
  EXPECT_EQ(Bytes(), "[Other]\nX=1\r\n[SETTINGS]\r\nTOP=300\r\n");
  Write("[SETTINGS]\r\nA=1\r\nB=2");
  ASSERT_TRUE(file_.WriteString("SETTINGS", "a", "3"));
  EXPECT_EQ(Bytes(), "[SETTINGS]\r\nA=3\r\nB=2\r\n");
  // Every other line and the file's own key casing are kept.
  Write(
      "; my clock\n[Rig]\nmodel=2\n\n[settings]\nvolset = -10\nText9=Zeit\n\n; end\n[Other]\nX=1");
  ASSERT_TRUE(file_.WriteString("SETTINGS", "VOLSET", "-20"));
  ASSERT_TRUE(file_.WriteString("SETTINGS", "TEXT10", "Stunde"));
  EXPECT_EQ(Bytes(),
            "; my clock\n[Rig]\nmodel=2\n\n[settings]\nvolset=-20\nText9=Zeit\nTEXT10=Stunde\r\n"
            "\n; end\n[Other]\nX=1\r\n");
  ASSERT_TRUE(file_.DeleteKey("SETTINGS", "text9"));
  EXPECT_EQ(Get("TEXT9"), "dflt");
  EXPECT_EQ(Get("TEXT10"), "Stunde");
  // The temporary files of killed writers go with the next write; other files stay.
  for (const char* name : {".Horatone.ini.a1b2c3", ".Horatone.ini.ZZZZZZ"})
    testing::WriteBytes(dir_.path() / name, "[SETTINGS]\nhalf");
  testing::WriteBytes(dir_.path() / ".Horatone.ini.keep", "not ours");
  ASSERT_TRUE(file_.WriteString("SETTINGS", "TOP", "300"));
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    left.push_back(entry.path().filename().string());
  std::ranges::sort(left);
  EXPECT_EQ(left, (std::vector<std::string>{".Horatone.ini.keep", "Horatone.ini"}));
}

TEST_F(IniFile, ManyKeysInOneReplacementGiveTheSameFileAsOneWriteEach) {
  const std::string start =
      "; mine\n[settings]\nvolset = -10\nBARE\n\n[Other]\nX=1\n[SETTINGS]\nTEXT9=late";
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"VOLSET", "-20"}, {"TEXT10", "Stunde"}, {"BARE", "now a key"}, {"volset", "-30"}};
  Write(start);
  for (const auto& [key, value] : keys) ASSERT_TRUE(file_.WriteString("SETTINGS", key, value));
  const std::string one_by_one = Bytes();
  Write(start);
  ASSERT_TRUE(file_.WriteStrings("SETTINGS", keys));
  EXPECT_EQ(Bytes(), one_by_one);
  EXPECT_EQ(Get("VOLSET"), "-30");
  // A bad value anywhere writes none of them.
  EXPECT_FALSE(file_.WriteStrings("SETTINGS", {{"TEXT11", "fine"}, {"TEXT12", "two\nlines"}}));
  EXPECT_EQ(Bytes(), one_by_one);
}

TEST_F(IniFile, OnlyARegularFileOfSaneSizeIsReadAndTheReasonIsGiven) {
  ASSERT_TRUE(file_.Check());                    // no file at all is no fault
  ASSERT_EQ(::mkfifo(path().c_str(), 0600), 0);  // would block a reader for ever
  EXPECT_EQ(Get("VOLSET"), "dflt");
  Status why = file_.Check();
  EXPECT_NE(why.message.find("Horatone.ini: not a regular file (a FIFO)"), std::string::npos)
      << why.message;
  EXPECT_FALSE(file_.WriteString("SETTINGS", "VOLSET", "-1"));
  ASSERT_EQ(::unlink(path().c_str()), 0);

  std::filesystem::create_symlink("/dev/zero", path());
  EXPECT_EQ(Get("VOLSET"), "dflt");
  EXPECT_NE(file_.Check().message.find("character device"), std::string::npos);
  ASSERT_EQ(::unlink(path().c_str()), 0);

  Write("[SETTINGS]\nVOLSET=-5\n" + std::string(2 << 20, ';'));
  EXPECT_EQ(Get("VOLSET"), "dflt");
  EXPECT_NE(file_.Check().message.find("more than a settings file can be"), std::string::npos);
  Write("[SETTINGS]\nVOLSET=-5\n");
  EXPECT_TRUE(file_.Check());
  if (::geteuid() != 0) {  // root reads whatever the mode says
    ASSERT_EQ(::chmod(path().c_str(), 0), 0);
    why = file_.Check();
    EXPECT_NE(why.message.find("Horatone.ini: cannot be read: Permission denied"),
              std::string::npos)
        << why.message;
  }
}

TEST_F(IniFile, AFailedWriteIsReportedWithThePathAndKeepsTheOldFile) {
  Write("[SETTINGS]\nVOLSET=-5\n");
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0500), 0);
  if (::access((dir_.path() / "probe").c_str(), F_OK) == 0 || ::geteuid() == 0) {
    // Root writes anyway; use a folder that does not exist instead.
    PathMapper missing(dir_.path() / "no such folder");
    IniProfileFile file(missing, "Horatone.ini");
    const Status status = file.WriteString("SETTINGS", "VOLSET", "-6");
    EXPECT_FALSE(status);
    EXPECT_NE(status.message.find("no such folder"), std::string::npos);
  } else {
    const Status status = file_.WriteString("SETTINGS", "VOLSET", "-6");
    EXPECT_FALSE(status);
    EXPECT_NE(status.message.find("Horatone.ini"), std::string::npos);
  }
  ::chmod(dir_.path().c_str(), 0700);
  EXPECT_EQ(Get("VOLSET"), "-5");
  const std::string text = "Время и голос & 時間 \\ \"x\"";
  ASSERT_TRUE(file_.WriteString("SETTINGS", "TEXT9", text));
  EXPECT_EQ(Get("TEXT9"), text);
  EXPECT_FALSE(file_.WriteString("SETTINGS", "TEXT9", "two\nlines"));
}

}  // namespace
}  // namespace horatone
