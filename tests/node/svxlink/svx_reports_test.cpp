// The Tcl handler's reports as the FIFO brings them: the two reports, and what the log shows
// of anything else (bounded, escaped).
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
  EXPECT_EQ(reports[0], (SvxReport{Kind::kSquelch, true, {}}));
  EXPECT_EQ(reports[1], (SvxReport{Kind::kTransmit, false, {}}));
  EXPECT_EQ(reports[2], (SvxReport{Kind::kSquelch, false, {}}));
  EXPECT_EQ(reports[3], (SvxReport{Kind::kTransmit, true, {}}));
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
  EXPECT_NE(out[0].reason.find("longer than 64 bytes"), std::string::npos) << out[0].reason;
  // The end of the long line is not taken for a report; the next line is.
  reader.Feed("SQL 1\nSQL 1\n", &out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1], (SvxReport{Kind::kSquelch, true, {}}));
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
