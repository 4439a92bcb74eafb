// kx_encode when memory runs out: each allocation of an encode, on one
// thread and on several, failed in turn (tests/doubles/failing_new.cpp
// replaces operator new), must give KX_ERR_OUT_OF_MEMORY with nothing
// written; none may end the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kx.h"
#include "tests/doubles/failing_new.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kStale = 0xAB;

TEST(LibraryOutOfMemory, EveryFailedAllocationOfAnEncodeIsReported) {
  // Five stretches of the writer, so that four threads all have work.
  constexpr int kWidth = 700;
  constexpr int kHeight = 500;
  for (const int layout : {KX_LAYOUT_BGR, KX_LAYOUT_RGBA}) {  // as the writer reads it, and gathered
    const std::size_t stride_bytes = kx_layout_pixel_bytes(layout) * kWidth;
    Bytes pixels(stride_bytes * kHeight);
    for (std::size_t k = 0; k < pixels.size(); ++k) pixels[k] = static_cast<std::uint8_t>(k / 3 % 251 ^ k % 7);
    for (const unsigned threads : {1u, 4u}) {
      kx_encode_options options = KX_ENCODE_OPTIONS_INIT;
      options.level = 2;
      options.threads = threads;
      Bytes want(kx_encode_bound(kWidth, kHeight));
      std::size_t want_bytes = 0;
      ASSERT_EQ(kx_encode(pixels.data(), pixels.size(), kWidth, kHeight, layout, stride_bytes, &options, want.data(),
                          want.size(), &want_bytes),
                KX_OK);
      want.resize(want_bytes);
      long failed_points = 0;
      for (long skip = 0;; ++skip) {
        Bytes dst(kx_encode_bound(kWidth, kHeight), kStale);
        std::size_t file_bytes = 12345;
        FailNewAfter(skip);
        const kx_result result = kx_encode(pixels.data(), pixels.size(), kWidth, kHeight, layout, stride_bytes,
                                           &options, dst.data(), dst.size(), &file_bytes);
        if (!FailedNewAndDisarm()) {
          // Past the last allocation: the same file as without the hook.
          ASSERT_EQ(result, KX_OK) << "layout " << layout << " threads " << threads;
          ASSERT_EQ(file_bytes, want.size());
          ASSERT_TRUE(std::equal(want.begin(), want.end(), dst.begin()));
          break;
        }
        ++failed_points;
        ASSERT_EQ(result, KX_ERR_OUT_OF_MEMORY)
            << "allocation " << skip << " failed; layout " << layout << " threads " << threads;
        EXPECT_EQ(file_bytes, 12345u) << skip;
        EXPECT_EQ(std::count(dst.begin(), dst.end(), kStale), static_cast<std::ptrdiff_t>(dst.size()))
            << "allocation " << skip << " failed; layout " << layout << " threads " << threads;
      }
      // The work memory at least, and on four threads the streams and the
      // threads as well.
      EXPECT_GE(failed_points, threads == 1 ? 1 : 5) << "layout " << layout << " threads " << threads;
    }
  }
}

}  // namespace
