// Names between UTF-16 and UTF-8 natively: the stand-in opens a wide name by
// its UTF-8 spelling, and hosts convert their UTF-8 names to UTF-16. Every
// valid name goes both ways exactly; nothing invalid is given a spelling.
#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <string>

#include "tools/host/host.h"

using namespace kx;

namespace {

TEST(Utf16ToUtf8, SpellsEveryScalarValueAndRefusesLoneSurrogates) {
  const struct {
    std::u16string wide;
    bool ok;
    std::string utf8;
  } cases[] = {
      {u"", true, ""},
      {u"picture.kx", true, "picture.kx"},
      {u"caf\u00E9", true, "caf\xC3\xA9"},                     // 2 bytes
      {u"\u5199\u771F", true, "\xE5\x86\x99\xE7\x9C\x9F"},     // 3 bytes each
      {u"\U0001F600", true, "\xF0\x9F\x98\x80"},               // a surrogate pair, 4 bytes
      {u"\u007F\u0080\u07FF\u0800\uFFFF", true, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {u"\U0010FFFF", true, "\xF4\x8F\xBF\xBF"},
      {std::u16string(u"a") + char16_t(0xD800), false, ""},  // high surrogate at the end
      {std::u16string(u"a") + char16_t(0xD83D) + u"b", false, ""},
      {std::u16string(u"a") + char16_t(0xDE00) + u"b", false, ""},  // low surrogate alone
      {std::u16string(1, char16_t(0xDE00)) + char16_t(0xD83D), false, ""},  // pair in the wrong order
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    char out[64];
    ASSERT_EQ(Utf16ToUtf8(c.wide.c_str(), out, sizeof out), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(std::string(out), c.utf8);
    WideString back;
    ASSERT_TRUE(HostWideName(c.utf8, &back));
    EXPECT_EQ(back, c.wide);
  }
}

TEST(Utf16ToUtf8, NeverWritesBeyondTheRoomGiven) {
  const std::u16string wide = u"a\u00E9\U0001F600";  // 1 + 2 + 4 bytes, then the zero
  for (std::size_t room = 0; room <= 10; ++room) {
    SCOPED_TRACE(room);
    char out[12];
    std::fill(std::begin(out), std::end(out), '#');
    EXPECT_EQ(Utf16ToUtf8(wide.c_str(), out, room), room >= 8);
    for (std::size_t k = room; k < sizeof out; ++k) ASSERT_EQ(out[k], '#') << "byte " << k;
  }
}

TEST(HostWideName, RefusesBytesThatAreNoUtf8) {
  for (const std::string bad : {"\x80", "\xC3", "a\xC3(", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                                "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF"}) {
    WideString wide;
    EXPECT_FALSE(HostWideName(bad, &wide)) << testing::PrintToString(bad);
  }
}

}  // namespace
