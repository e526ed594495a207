// The Tcl handler's reports as the FIFO brings them: the states, the EchoLink module's
// callsign and chat lines, and what the log shows of anything else (bounded, escaped).
#include "node/svxlink/svx_reports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>


namespace horatone {
namespace {

using Kind = SvxReport::Kind;

std::vector<SvxReport> Read(const std::vector<std::string>& pieces) {
  SvxReportReader reader;
  std::vector<SvxReport> out;
  for (const std::string& piece : pieces) reader.Feed(piece, &out);
  return out;
}

TEST(SvxReports, TheHandlersLinesAreTheSquelchAndTheTransmitterWhereverTheWritesSplitThem) {
  const std::vector<SvxReport> reports = Read({"SQL 1\nTX", " 0\r\nSQ", "L 0\nTX 1\n", "SQL"});
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0], (SvxReport{Kind::kSquelch, true, {}, {}}));
  EXPECT_EQ(reports[1], (SvxReport{Kind::kTransmit, false, {}, {}}));
  EXPECT_EQ(reports[2], (SvxReport{Kind::kSquelch, false, {}, {}}));
  EXPECT_EQ(reports[3], (SvxReport{Kind::kTransmit, true, {}, {}}));
}

TEST(SvxReports, EchoLinkTalkCallsignAndChatComeWithTheirValues) {
  const std::vector<SvxReport> reports =
      Read({"EL 1\nEL 0\nCALL N0CALL-L\nCALL DL/N0CALL\nCHAT N0CALL>/ver/ \\\\ok\\r\\n\nCHAT \n"});
  ASSERT_EQ(reports.size(), 6u);
  EXPECT_EQ(reports[0], (SvxReport{Kind::kEchoLinkTalking, true, {}, {}}));
  EXPECT_EQ(reports[1], (SvxReport{Kind::kEchoLinkTalking, false, {}, {}}));
  EXPECT_EQ(reports[2], (SvxReport{Kind::kCallsign, false, {}, "N0CALL-L"}));
  EXPECT_EQ(reports[3], (SvxReport{Kind::kCallsign, false, {}, "DL/N0CALL"}));
  // The handler's escapes undone: a backslash, CR and LF are the station's own again.
  EXPECT_EQ(reports[4], (SvxReport{Kind::kChat, false, {}, "N0CALL>/ver/ \\ok\r\n"}));
  EXPECT_EQ(reports[5], (SvxReport{Kind::kChat, false, {}, ""}));
}

TEST(SvxReports, ACallsignThatCouldNotBeOneAndAChatWithAStrayEscapeAreRefused) {
  const std::vector<SvxReport> reports =
      Read({"CALL \n", "CALL N0CALL L\n", "CALL <b>x</b>\n", "CALL " + std::string(17, 'A') + "\n",
            "CHAT a\\tb\n", "CHAT ends\\\n", "CHAT\n", "EL 2\n"});
  ASSERT_EQ(reports.size(), 8u);
  for (const SvxReport& report : reports) EXPECT_EQ(report.kind, Kind::kRefused) << report.reason;
  EXPECT_EQ(reports[2].reason, "an unknown report: \"CALL <b>x</b>\"");
}

TEST(SvxReports, AnythingElseIsRefusedAndTheLogSeesItEscaped) {
  const std::string junk = std::string("SQL 2\0\xFF<b>\x1B[2J\\", 15);
  const std::vector<SvxReport> reports = Read({junk + "\n", "SQL  1\n", "sql 1\n", "\n"});
  ASSERT_EQ(reports.size(), 4u);
  for (const SvxReport& report : reports) EXPECT_EQ(report.kind, Kind::kRefused);
  EXPECT_EQ(reports[0].reason, "an unknown report: \"SQL 2\\x00\\xFF<b>\\x1B[2J\\\\\"");
  EXPECT_EQ(reports[3].reason, "an unknown report: \"\"");
}

TEST(SvxReports, AnOverlongLineIsRefusedOnceAsSoonAsItIsKnownAndItsRestIsSkipped) {
  SvxReportReader reader;
  std::vector<SvxReport> out;
  const std::string flood(10000, 'A');
  for (int i = 0; i < 5; ++i) reader.Feed(flood, &out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, Kind::kRefused);
  EXPECT_LT(out[0].reason.size(), 160u) << out[0].reason;
  EXPECT_NE(out[0].reason.find("longer than 2048 bytes"), std::string::npos) << out[0].reason;
  // The end of the long line is not taken for a report; the next line is.
  reader.Feed("SQL 1\nSQL 1\n", &out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1], (SvxReport{Kind::kSquelch, true, {}, {}}));
  // Exactly the limit is a line; one more byte is not.
  out.clear();
  reader.Feed(std::string(kLongestSvxReport, 'B') + "\r\n" + std::string(kLongestSvxReport + 1, 'C') +
                  "\n",
              &out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_NE(out[0].reason.find("unknown report"), std::string::npos);
  EXPECT_NE(out[1].reason.find("longer than"), std::string::npos);
}

}  // namespace
}  // namespace horatone
