#include "platform/path_mapper.h"

#include <gtest/gtest.h>

#include <fstream>

#include "test_support/temp_dir.h"

namespace horatone {
namespace {

TEST(PathMapper, DriveLettersMapToFoldersUnderTheSystemDirectory) {
  TempDir root;
  PathMapper mapper(root.path());
  EXPECT_EQ(mapper.Map("C:\\Program Files\\Horatone\\TheTimeIs.wav"),
            root.path() / "C" / "Program Files" / "Horatone" / "TheTimeIs.wav");
  EXPECT_EQ(mapper.Map("d:\\x.wav"), root.path() / "D" / "x.wav");
  EXPECT_EQ(mapper.Map("Horatone.ini"), root.path() / "Horatone.ini");
  EXPECT_EQ(mapper.Map("/srv/voices/AM.wav"), "/srv/voices/AM.wav");
}

TEST(PathMapper, NamesAbsentAsWrittenAreFoundWithoutRegardToCase) {
  TempDir root;
  std::filesystem::create_directories(root.path() / "C" / "HoraVoice" / "m");
  std::ofstream(root.path() / "C" / "HoraVoice" / "m" / "thetimeis.WAV") << "x";
  std::ofstream(root.path() / "horatone.INI") << "x";
  PathMapper mapper(root.path());
  EXPECT_EQ(mapper.Map("C:\\HORAVOICE\\M\\TheTimeIs.wav"),
            root.path() / "C" / "HoraVoice" / "m" / "thetimeis.WAV");
  EXPECT_EQ(mapper.Map("Horatone.ini"), root.path() / "horatone.INI");
}

TEST(PathMapper, AFolderWithoutItsFinalBackslashGluesTheNameOn) {
  TempDir root;
  std::filesystem::create_directories(root.path() / "C" / "Voices");
  std::ofstream(root.path() / "C" / "Voices" / "TheTimeIs.wav") << "x";
  PathMapper mapper(root.path());
  const auto glued = mapper.Map(std::string("C:\\Voices") + "TheTimeIs.wav");
  EXPECT_EQ(glued, root.path() / "C" / "VoicesTheTimeIs.wav");
  EXPECT_FALSE(std::filesystem::exists(glued));
}

}  // namespace
}  // namespace horatone
