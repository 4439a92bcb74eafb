// Identity and recognition through the plug-in's entry points (natively, and
// under 32-bit and 64-bit Wine against the real kxfilter.spi and kxfilter.sph).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "tests/support/plugin_api.h"
#include "tools/host/host.h"

namespace {

struct InfoCall {
  int returned;
  std::string text;
  Bytes buffer;
};

InfoCall Info(int infono, int buflen) {
  Bytes buffer(300, 0xEE);
  const int returned = Plugin().GetPluginInfo(infono, reinterpret_cast<char*>(buffer.data()), buflen);
  const auto end = std::find(buffer.begin(), buffer.end(), 0);
  return {returned, std::string(buffer.begin(), end), buffer};
}

TEST(GetPluginInfo, ListsTheFourTextsThenEnds) {
  EXPECT_EQ(Info(0, 8).returned, 4);
  EXPECT_EQ(Info(0, 8).text, "00IN");
  const InfoCall name = Info(1, 128);
  EXPECT_EQ(name.text.rfind("KX Image Plug-in", 0), 0u) << name.text;
  EXPECT_EQ(name.returned, static_cast<int>(name.text.size()));
  EXPECT_EQ(Info(2, 128).text, "*");
  EXPECT_EQ(Info(2, 128).returned, 1);
  EXPECT_EQ(Info(3, 128).text, "QuorinDale/Zeva KX files");
  EXPECT_EQ(Info(3, 128).returned, 24);
  for (int beyond : {4, 5, 1000, -1, -2147483647 - 1}) {
    const InfoCall call = Info(beyond, 128);
    EXPECT_EQ(call.returned, 0) << beyond;
    EXPECT_EQ(call.buffer, Bytes(300, 0xEE)) << "info " << beyond << " wrote to the buffer";
  }
}

TEST(GetPluginInfo, NeverWritesMoreThanBuflen) {
  // Exactly enough room for "QuorinDale/Zeva KX files" and its zero: 25.
  EXPECT_EQ(Info(3, 25).returned, 24);
  // One short: the text is cut and still terminated.
  InfoCall call = Info(3, 24);
  EXPECT_EQ(call.returned, 23);
  EXPECT_EQ(call.text, "QuorinDale/Zeva KX file");
  EXPECT_EQ(call.buffer[24], 0xEE);
  call = Info(0, 1);
  EXPECT_EQ(call.returned, 0);
  EXPECT_EQ(call.buffer[0], 0);
  EXPECT_EQ(call.buffer[1], 0xEE);
  for (int none : {0, -1}) {
    call = Info(1, none);
    EXPECT_EQ(call.returned, 0);
    EXPECT_EQ(call.buffer, Bytes(300, 0xEE));
  }
}

int SupportedFromBuffer(const Bytes& head) {
  Bytes copy(head);
  copy.resize(std::max<std::size_t>(copy.size(), 16), 0);
  return Plugin().IsSupported(const_cast<char*>("picture.jpg"), reinterpret_cast<SpiDword>(copy.data()));
}

TEST(IsSupported, JudgesABufferByItsHeaderAlone) {
  EXPECT_EQ(SupportedFromBuffer(MakeHeader(640, 480)), 1);
  EXPECT_EQ(SupportedFromBuffer(MakeHeader(640, 480, 0x03)), 0);
  EXPECT_EQ(SupportedFromBuffer(MakeHeader(8193, 480)), 0);
  EXPECT_EQ(SupportedFromBuffer(Bytes{'B', 'M'}), 0);
  // The file name plays no part.
  Bytes head = MakeHeader(2, 2);
  EXPECT_EQ(Plugin().IsSupported(nullptr, reinterpret_cast<SpiDword>(head.data())), 1);
}

int SupportedFromHandle(const std::string& path, std::uint32_t position, std::int64_t* after) {
  const std::uintptr_t file = HostOpenFile(path.c_str());
  EXPECT_NE(file, 0u);
  EXPECT_LT(file, 0x10000u) << "a handle must look like one to IsSupported";
  EXPECT_TRUE(HostSeekFile(file, position));
  const int answer = Plugin().IsSupported(const_cast<char*>("x"), static_cast<SpiDword>(file));
  *after = HostFilePosition(file);
  HostCloseFile(file);  // the handle is still ours: closing it must work
  return answer;
}

TEST(IsSupported, ReadsAHandleFromWhereItStands) {
  // A KX header at byte 100 of a 3000-byte file; the bytes before it are not one.
  Bytes file(3000, 0x20);
  const Bytes head = MakeHeader(300, 200);
  std::copy(head.begin(), head.end(), file.begin() + 100);
  const std::string path = WriteTempFile("at100.bin", file);
  std::int64_t after = 0;
  EXPECT_EQ(SupportedFromHandle(path, 100, &after), 1);
  EXPECT_EQ(after, 100 + 2000) << "reads at most 2000 bytes and does not seek back";
  EXPECT_EQ(SupportedFromHandle(path, 0, &after), 0);
  EXPECT_EQ(after, 2000);
  // Near the end: only what is left is read.
  EXPECT_EQ(SupportedFromHandle(path, 2990, &after), 0);
  EXPECT_EQ(after, 3000);
}

TEST(IsSupported, AnswersNoWhenFewerThan16BytesCanBeRead) {
  const Bytes head = MakeHeader(4, 4);
  std::int64_t after = 0;
  // A whole header in a file, then the same header cut to 15 bytes.
  EXPECT_EQ(SupportedFromHandle(WriteTempFile("whole.kx", head), 0, &after), 1);
  EXPECT_EQ(SupportedFromHandle(WriteTempFile("cut.kx", Bytes(head.begin(), head.end() - 1)), 0, &after), 0);
  EXPECT_EQ(SupportedFromHandle(WriteTempFile("empty.kx", {}), 0, &after), 0);
  // A handle value that is no open file reads nothing.
  EXPECT_EQ(Plugin().IsSupported(nullptr, 0), 0);
}

// What a host passes when its CreateFile failed: INVALID_HANDLE_VALUE, as a
// DWORD or pointer-sized. It is neither a handle nor a buffer.
TEST(IsSupported, AnswersNoForTheFailedHandleValue) {
  EXPECT_EQ(Plugin().IsSupported(nullptr, SpiDword{0xFFFFFFFF}), 0);
  EXPECT_EQ(Plugin().IsSupported(nullptr, ~SpiDword{0}), 0);
}

// 0xFFFF is the largest handle and 0x10000 the lowest address.
TEST(IsSupported, TellsHandlesFromAddressesAt0x10000) {
  constexpr std::uintptr_t kLowestAddress = 0x10000;
  constexpr std::size_t kPageBytes = 0x1000;
  const Bytes head = MakeHeader(4, 4);
#if defined(_WIN32)
  // Windows never maps the first 64 KiB: read as an address, 0xFFFF would crash.
  constexpr std::uintptr_t kMapFrom = kLowestAddress;
#else
  // The page below too, so that 0xFFFF read as an address would find a header.
  constexpr std::uintptr_t kMapFrom = kLowestAddress - kPageBytes;
#endif
  const std::size_t map_bytes = kLowestAddress + kPageBytes - kMapFrom;
  auto* mapped = static_cast<std::uint8_t*>(HostMapAt(kMapFrom, map_bytes));
  if (mapped == nullptr) GTEST_SKIP() << "the lowest addresses are taken on this machine";
  std::uint8_t* const lowest = mapped + (kLowestAddress - kMapFrom);
  std::copy(head.begin(), head.end(), lowest);
  EXPECT_EQ(Plugin().IsSupported(nullptr, SpiDword{kLowestAddress}), 1);
#if !defined(_WIN32)
  std::copy(head.begin(), head.end(), lowest - 1);
#endif
  EXPECT_EQ(Plugin().IsSupported(nullptr, SpiDword{kLowestAddress - 1}), 0);
  HostUnmapAt(mapped, map_bytes);
}

// A pipe gives what is in it: a read returns at once with those bytes, as
// ReadFile does, even while the writer stays open.
TEST(IsSupported, ReadsWhatAPipeHoldsWithoutWaitingForMore) {
  std::uintptr_t read_end = 0;
  std::uintptr_t write_end = 0;
  ASSERT_TRUE(HostMakePipe(&read_end, &write_end));
  ASSERT_LT(read_end, 0x10000u);
  const Bytes file = MakeKx(2, 1, {0x00, 0x10, 0x20, 0x30, 0x01, 0x02, 0x03});
  ASSERT_TRUE(HostWriteFile(write_end, file.data(), static_cast<std::uint32_t>(file.size())));
  EXPECT_EQ(Plugin().IsSupported(nullptr, static_cast<SpiDword>(read_end)), 1);
  HostCloseFile(write_end);
  HostCloseFile(read_end);
}

TEST(GetPreview, IsNotImplemented) {
  EXPECT_EQ(Plugin().GetPreview(nullptr, 0, 0, nullptr, nullptr, nullptr, 0), -1);
  SpiHandle info = nullptr;
  SpiHandle bits = nullptr;
  Bytes file = MakeKx(1, 1, {0x00, 1, 2, 3});
  EXPECT_EQ(Plugin().GetPreview(reinterpret_cast<char*>(file.data()), static_cast<SpiLong>(file.size()), 1, &info,
                                &bits, nullptr, 0),
            -1);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(bits, nullptr);
}

}  // namespace
