// The golden files: pictures that must decode to exactly their committed
// bitmaps, and damaged files that must give their committed result codes,
// through the entry points (natively and under Wine with the real module).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/plugin_api.h"

namespace {

constexpr std::size_t kBmpHeadersBytes = 14 + 40;

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::filesystem::path DataDir() { return std::filesystem::path(KX_TEST_DATA_DIR); }

TEST(GoldenFiles, PicturesDecodeToTheirBitmaps) {
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(DataDir() / "decode")) {
    if (entry.path().extension() != ".kx") continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::filesystem::path bmp_path = entry.path();
    bmp_path.replace_extension(".bmp");
    const Bytes bmp = ReadFile(bmp_path);
    ASSERT_GT(bmp.size(), kBmpHeadersBytes) << "missing expected bitmap";
    const Bytes want_header(bmp.begin() + 14, bmp.begin() + long(kBmpHeadersBytes));
    const Bytes want_bits(bmp.begin() + long(kBmpHeadersBytes), bmp.end());

    for (bool from_file : {true, false}) {
      const HostPicture got =
          from_file ? FetchFromFile(entry.path().string()) : FetchFromMemory(ReadFile(entry.path()));
      ASSERT_EQ(got.result, 0);
      EXPECT_EQ(Bytes(got.info.begin(), got.info.begin() + 40), want_header);
      EXPECT_EQ(FirstDifference(want_bits, got.bits), "");
    }
    ++checked;
  }
  EXPECT_GE(checked, 5);
}

TEST(GoldenFiles, DamagedFilesGiveTheirResults) {
  std::ifstream list(DataDir() / "damaged" / "expected.txt");
  std::string line;
  int checked = 0;
  while (std::getline(list, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name;
    int info_result = -100, picture_result = -100;
    fields >> name >> info_result >> picture_result;
    SCOPED_TRACE(name);
    const std::filesystem::path path = DataDir() / "damaged" / name;
    ASSERT_TRUE(std::filesystem::exists(path));
    PictureInfo info{};
    EXPECT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.string().c_str()), 0, 0, &info), info_result);
    EXPECT_EQ(FetchFromFile(path.string()).result, picture_result);
    EXPECT_EQ(FetchFromMemory(ReadFile(path)).result, picture_result);
    ++checked;
  }
  EXPECT_GE(checked, 5);
}

}  // namespace
