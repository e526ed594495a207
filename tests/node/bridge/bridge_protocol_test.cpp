#include "node/bridge/bridge_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace horatone {
namespace {

using Kind = NodeMessage::Kind;

NodeMessage Text(Kind kind, std::string text) {
  NodeMessage message;
  message.kind = kind;
  message.text = std::move(text);
  return message;
}

TEST(BridgeParseLine, BadLinesAreRefusedWithAReasonNamingTheFaultAndTheLongestLineIsTaken) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty line"},
      {"HELLO there", "unknown word \"HELLO\""},
      {"dtmf 123", "unknown word \"dtmf\""},
      {" DTMF 123", "unknown word \"\""},
      {"DTMF 12 3", "DTMF digits"},
      {"DTMF 123\r\r", "DTMF digits"},
      {"CLOSING now", "CLOSING takes no argument"},
      {"TX 2", "TX needs 0 or 1"},
      {"BUSY 0 0", "BUSY needs three flags"},
      {"BUSY 0  0 0", "BUSY needs three flags"},
      {std::string("CHAT a\0b", 8), "NUL byte at column 7"},
      {"CHAT \xC3", "invalid UTF-8 at column 6"},
      {"CHAT \xC0\xAF", "invalid UTF-8"},          // overlong '/'
      {"CHAT \xED\xA0\x80", "invalid UTF-8"},      // a surrogate
      {"CHAT \xF4\x90\x80\x80", "invalid UTF-8"},  // above U+10FFFF
      {"CHAT " + std::string(1020, 'x'), "longer than 1024 bytes"},
  };
  for (const auto& [line, reason] : cases) {
    const ParsedLine parsed = ParseLine(line);
    EXPECT_FALSE(parsed.message) << line;
    EXPECT_NE(parsed.error.find(reason), std::string::npos) << line << " -> " << parsed.error;
  }
  // A line of exactly the limit, its CR not counted, is taken.
  EXPECT_TRUE(ParseLine("CHAT " + std::string(kMaxBridgeLine - 5, 'x') + "\r").message);
}

// Reads split across pieces or sharing one come out in order; an over-long line is reported
// once and skipped to its newline; the last line without its LF counts at the end of input.
TEST(BridgeLineReader, SplitsJoinsSkipsOverLongLinesAndFinishesTheLastLine) {
  const std::string huge(3000, 'x');
  LineReader reader;
  std::vector<ParsedLine> out;
  for (const std::string& piece : {std::string("DT"), std::string("MF 12"), std::string("3\r"),
                                   "\nCHAT a\nBOGUS\nCHAT " + huge.substr(0, 1500),
                                   huge.substr(1500), std::string("\nTX 1\nCLOS")}) {
    reader.Feed(piece, &out);
  }
  reader.Feed("ING", &out);
  reader.Finish(&out);
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(*out[0].message, Text(Kind::kDtmf, "123"));
  EXPECT_EQ(*out[1].message, Text(Kind::kChat, "a"));
  EXPECT_FALSE(out[2].message);
  EXPECT_NE(out[3].error.find("longer than 1024"), std::string::npos);
  EXPECT_EQ(out[4].message->kind, Kind::kTransmit);
  EXPECT_EQ(out[5].message->kind, Kind::kClosing);
}

TEST(BridgeAuthLine, OnlyTheWholeKeyAfterOneBlankLetsIn) {
  const std::string key = "0123456789abcdef0123456789abcdef";
  EXPECT_TRUE(IsAuthLine("AUTH " + key, key));
  EXPECT_TRUE(IsAuthLine("AUTH " + key + "\r", key));
  for (const std::string& line :
       {"AUTH " + key.substr(0, 31), "AUTH " + key + "0", "AUTH " + key + " ", "AUTH  " + key,
        "auth " + key, "AUTH" + key, " AUTH " + key, "AUTH " + key.substr(0, 31) + "0",
        std::string("AUTH "), std::string("AUTH"), std::string(), std::string("DTMF 123")}) {
    EXPECT_FALSE(IsAuthLine(line, key)) << line;
  }
  EXPECT_FALSE(IsAuthLine("AUTH ", ""));  // no key lets nobody in
}

TEST(BridgeOutgoingLines, ChatTextCannotBreakTheFramingAndParsesBackCleanly) {
  const std::string nasty = "one\ntwo\r\nthree" + std::string("\0", 1) + "\xFF" + "ü";
  const std::string line = ChatLine(nasty);
  EXPECT_EQ(line, "CHAT one two  three ?ü\n");

  const std::string long_text = std::string(1017, 'x') + "üü";  // a character on the cut
  const std::string long_line = ChatLine(long_text);
  EXPECT_LE(long_line.size(), kMaxBridgeLine + 1);
  const ParsedLine back = ParseLine(long_line.substr(0, long_line.size() - 1));
  ASSERT_TRUE(back.message) << back.error;
  EXPECT_EQ(back.message->text, std::string(1017, 'x') + "ü");
}

}  // namespace
}  // namespace horatone
