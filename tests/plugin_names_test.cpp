// The wide entry points against the ANSI ones, and file names: the wide
// forms open any name the file system holds, the ANSI forms the names their
// code page spells (natively, every UTF-8 name). Natively, and under Wine
// against the real module, 32-bit and 64-bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "codec/format/little_endian.h"
#include "tests/support/plugin_api.h"
#include "tests/support/reference_decoder.h"
#include "tools/host/host.h"

using namespace kx;

namespace {

// The info texts are the same characters in both forms, cut at the same
// length, with the same count returned, and neither form writes beyond
// buflen characters.
TEST(WideForms, InfoTextsAreTheAnsiTextsAtEveryLength) {
  constexpr int kRoom = 80;
  for (int infono = -1; infono <= 5; ++infono) {
    for (int buflen = -1; buflen <= kRoom; ++buflen) {
      SCOPED_TRACE("info " + std::to_string(infono) + ", buflen " + std::to_string(buflen));
      Bytes ansi(kRoom, 0xEE);
      std::u16string wide_units(kRoom, char16_t{0xEEEE});
      std::basic_string<SpiWchar> wide(wide_units.begin(), wide_units.end());
      const int ansi_count = Module().GetPluginInfo(infono, reinterpret_cast<char*>(ansi.data()), buflen);
      const int wide_count = Module().GetPluginInfoW(infono, wide.data(), buflen);
      ASSERT_EQ(wide_count, ansi_count);
      for (int k = 0; k < kRoom; ++k) {
        const unsigned want = ansi[std::size_t(k)] == 0xEE ? 0xEEEEu : ansi[std::size_t(k)];
        ASSERT_EQ(static_cast<unsigned>(wide[std::size_t(k)]), want) << "unit " << k;
      }
    }
  }
}

// GetPictureInfo fills the record at the offsets hosts of each module use,
// written here as numbers rather than taken from the declaration: packed in
// the 32-bit module (26 bytes, hInfo at 22), naturally aligned in the 64-bit
// one (32 bytes, hInfo at 24). Nothing after the record is written.
TEST(PictureInfoRecord, TheModuleWritesEachFieldAtItsOffset) {
  const bool wide_pointers = sizeof(void*) == 8;
  const std::size_t record_bytes = wide_pointers ? 32 : 26;
  const std::size_t hinfo_at = wide_pointers ? 24 : 22;
  ASSERT_EQ(sizeof(PictureInfo), record_bytes);
  Bytes file = MakeKx(300, 200, {0x00, 1, 2, 3});
  alignas(8) std::uint8_t record[40];
  std::fill(std::begin(record), std::end(record), 0xAA);
  ASSERT_EQ(Plugin().GetPictureInfo(reinterpret_cast<char*>(file.data()), static_cast<SpiLong>(file.size()), 1,
                                    reinterpret_cast<PictureInfo*>(record)),
            0);
  EXPECT_EQ(LoadLe32(record + 0), 0u);
  EXPECT_EQ(LoadLe32(record + 4), 0u);
  EXPECT_EQ(LoadLe32(record + 8), 300u);
  EXPECT_EQ(LoadLe32(record + 12), 200u);
  EXPECT_EQ(LoadLe16(record + 16), 1u);
  EXPECT_EQ(LoadLe16(record + 18), 1u);
  EXPECT_EQ(LoadLe16(record + 20), 24u);
  for (std::size_t k = hinfo_at; k < hinfo_at + sizeof(void*); ++k) EXPECT_EQ(record[k], 0) << "hInfo byte " << k;
  for (std::size_t k = record_bytes; k < sizeof record; ++k) EXPECT_EQ(record[k], 0xAA) << "byte " << k;
}

// The name as a Windows host has it in UTF-16 (natively, from UTF-8).
WideString WideOf(const std::filesystem::path& path) {
#if defined(_WIN32)
  return path.wstring();
#else
  return path.u16string();
#endif
}

struct NameCase {
  const char* what;
  std::filesystem::path relative;
};

std::vector<NameCase> NameCases() {
  // Folders of 60 characters, six deep: beyond 260 characters in all.
  std::filesystem::path deep;
  for (int level = 0; level < 6; ++level) deep /= std::string(59, char('a' + level)) + std::to_string(level);
  return {
      {"Japanese", u8"\u5199\u771F\u306E\u732B.kx"},
      {"Greek", u8"\u03C6\u03C9\u03C4\u03BF\u03B3\u03C1\u03B1\u03C6\u03AF\u03B1.kx"},
      {"accented Latin", u8"caf\u00E9 d\u00E9j\u00E0 \u00C6r\u00F8.kx"},
      {"an emoji (a surrogate pair)", u8"picture \U0001F600.kx"},
      {"a folder with a non-ASCII name", std::filesystem::path(u8"Bilder \u00DCbersicht") / "photo.kx"},
      {"a path beyond 260 characters", deep / "picture.kx"},
  };
}

// Every name opens through the wide forms: GetPictureInfoW, GetPictureW and
// IsSupportedW with a handle the host opened by that name. Through the ANSI
// forms, every name the code page spells opens too and gives the same
// picture (natively, the code page is UTF-8: every name). On Windows the
// long path is given to the wide forms in the "\\?\" form.
TEST(FileNames, WideFormsOpenEveryNameAndAnsiFormsTheCodePagesNames) {
  std::mt19937 rng(17);
  std::string ansi_opened;
  std::string wide_only;
  int width = 4;
  for (const NameCase& c : NameCases()) {
    SCOPED_TRACE(c.what);
    const int height = 3;
    ++width;
    const Bytes file = MakeKx(width, height, RandomTokenStream(rng, std::size_t(width) * height * 3));
    const Bytes want = ReferenceBits(file, width, height);
    const std::filesystem::path path = WriteTempFileAt(c.relative, file);
    WideString wide = WideOf(path);
#if defined(_WIN32)
    if (wide.size() > 260) wide = L"\\\\?\\" + std::filesystem::absolute(path).make_preferred().wstring();
#endif

    PictureInfo info{};
    ASSERT_EQ(Module().GetPictureInfoW(wide.c_str(), 0, 0, &info), 0);
    EXPECT_EQ(+info.width, width);
    const HostPicture wide_picture = FetchFromWideName(wide);
    ASSERT_EQ(wide_picture.result, 0);
    EXPECT_EQ(FirstDifference(want, wide_picture.bits), "");
    const std::uintptr_t handle = HostOpenFile(wide.c_str());
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(Module().IsSupportedW(wide.c_str(), static_cast<SpiDword>(handle)), 1);
    HostCloseFile(handle);

    std::string ansi;
    const bool spelled = HostAnsiName(WideOf(path), &ansi);
#if defined(_WIN32)
    if (!spelled || ansi.size() > 259) {  // beyond the code page, or MAX_PATH: wide forms only
      wide_only += std::string(wide_only.empty() ? "" : ", ") + c.what;
      continue;
    }
#else
    ASSERT_TRUE(spelled);
#endif
    info = PictureInfo{};
    ASSERT_EQ(Module().GetPictureInfo(ansi.data(), 0, 0, &info), 0);
    EXPECT_EQ(+info.width, width);
    const HostPicture ansi_picture = FetchFromAnsiName(ansi);
    ASSERT_EQ(ansi_picture.result, 0);
    EXPECT_EQ(ansi_picture.bits, wide_picture.bits);
    ansi_opened += std::string(ansi_opened.empty() ? "" : ", ") + c.what;
  }
  std::printf("opened through the ANSI forms too: %s.\nthrough the wide forms only: %s.\n", ansi_opened.c_str(),
              wide_only.c_str());
  // Western code pages spell the accented names, Japanese ones the Japanese
  // name: some non-ASCII name always reaches the ANSI forms.
  EXPECT_FALSE(ansi_opened.empty());
}

#if !defined(_WIN32)
// A wide name with an unpaired surrogate has no spelling: it opens nothing,
// not even the file whose name has U+FFFD where the surrogate stands, which
// a lenient conversion would open instead.
TEST(FileNames, AnUnpairedSurrogateNamesNoFile) {
  const std::filesystem::path replaced = WriteTempFileAt(u8"a\uFFFDb.kx", MakeKx(2, 1, {0x00, 1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(FetchFromWideName(WideOf(replaced)).result, 0);
  const WideString unpaired = WideOf(TempFolder()) + u"/a" + char16_t(0xD800) + u"b.kx";
  PictureInfo info{};
  EXPECT_EQ(Module().GetPictureInfoW(unpaired.c_str(), 0, 0, &info), 6);
  const HostPicture got = FetchFromWideName(unpaired);
  EXPECT_EQ(got.result, 6);
  EXPECT_FALSE(got.handed_over);
}
#endif

}  // namespace
