#include "runtime/path_mapper.h"

#include <gtest/gtest.h>

#include <fstream>

#include "test_support/temp_dir.h"

namespace horatone {
namespace {

TEST(PathMapper, MapsDrivesFindsNamesWithoutRegardToCaseAndGluesAFolderWithoutBackslash) {
  TempDir root;
  const auto r = root.path();
  std::filesystem::create_directories(r / "C" / "HoraVoice" / "m");
  std::filesystem::create_directories(r / "C" / "Voices");
  std::ofstream(r / "C" / "HoraVoice" / "m" / "thetimeis.WAV") << "x";
  std::ofstream(r / "C" / "Voices" / "TheTimeIs.wav") << "x";
  PathMapper mapper(r);
  EXPECT_EQ(mapper.Map("d:\\x.wav"), r / "D" / "x.wav");
  EXPECT_EQ(mapper.Map("Horatone.ini"), r / "Horatone.ini");
  EXPECT_EQ(mapper.Map("/srv/voices/AM.wav"), "/srv/voices/AM.wav");
  EXPECT_EQ(mapper.Map("C:\\HORAVOICE\\M\\TheTimeIs.wav"),
            r / "C" / "HoraVoice" / "m" / "thetimeis.WAV");
  EXPECT_EQ(mapper.Map("C:\\VoicesTheTimeIs.wav"), r / "C" / "VoicesTheTimeIs.wav");
}

}  // namespace
}  // namespace horatone
