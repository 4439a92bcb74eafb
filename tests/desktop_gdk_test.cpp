// The gdk-pixbuf loader through gdk-pixbuf itself, loaded from a loaders
// cache that names only the freshly built module: whole files
// (gdk_pixbuf_new_from_file, which picks the loader by the type GLib's MIME
// database sniffs), incremental loads fed in pieces, the size-only and
// scaled loads applications use, and refusals. Every picture is compared
// pixel for pixel with what the plug-in hands a viewer.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/format/kx_format.h"
#include "desktop/common/kx_picture.h"
#include "tests/support/desktop_cases.h"
#include "tests/support/thread_count.h"

using namespace kx;

namespace {

// Set before GLib reads its environment: the build's loaders cache, and the
// build's MIME database (image/x-kx) beside the system's.
const bool kEnvironmentSet = [] {
  setenv("GDK_PIXBUF_MODULE_FILE", KX_PIXBUF_LOADERS_CACHE, 1);
  setenv("XDG_DATA_HOME", KX_MIME_DATA_DIR, 1);
  return true;
}();

::testing::AssertionResult SameAsPlugin(GdkPixbuf* pixbuf, const std::string& path) {
  if (pixbuf == nullptr) return ::testing::AssertionFailure() << "no pixbuf";
  if (gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB || gdk_pixbuf_get_has_alpha(pixbuf) ||
      gdk_pixbuf_get_n_channels(pixbuf) != 3 || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8) {
    return ::testing::AssertionFailure() << "not 8-bit RGB without alpha";
  }
  const std::string difference = RgbDifference(
      PluginRgb(path), TightRows(gdk_pixbuf_read_pixels(pixbuf), gdk_pixbuf_get_width(pixbuf),
                                 gdk_pixbuf_get_height(pixbuf), std::size_t(gdk_pixbuf_get_rowstride(pixbuf))));
  if (!difference.empty()) return ::testing::AssertionFailure() << difference;
  return ::testing::AssertionSuccess();
}

// What an incremental load did and said, in order. Every announced area
// is checked when it is announced: whole rows, top down, each once, and
// already holding the plug-in's pixels (`want`, when given).
struct Events {
  const RgbPicture* want = nullptr;
  int size_prepared = 0;
  int size_width = 0;
  int size_height = 0;
  int area_prepared = 0;
  int area_updated = 0;
  int rows_updated = 0;  // rows announced so far, from the top
  std::string wrong_update;  // the first announcement that broke the rules
  bool sized_before_prepared = true;
};

struct Load {
  GdkPixbuf* pixbuf = nullptr;   // a reference of our own, or null
  std::string error;             // empty when none was reported
  std::size_t failed_write = 0;  // the index of the write that failed, when one did
  bool write_failed = false;
  int updated_before_close = 0;
  int rows_before_close = 0;
  Events events;
  ~Load() {
    if (pixbuf != nullptr) g_object_unref(pixbuf);
  }
};

void OnSizePrepared(GdkPixbufLoader*, gint width, gint height, gpointer data) {
  auto* const events = static_cast<Events*>(data);
  ++events->size_prepared;
  events->size_width = width;
  events->size_height = height;
}

void OnAreaPrepared(GdkPixbufLoader*, gpointer data) {
  auto* const events = static_cast<Events*>(data);
  if (events->size_prepared == 0) events->sized_before_prepared = false;
  ++events->area_prepared;
}

void OnAreaUpdated(GdkPixbufLoader* loader, gint x, gint y, gint width, gint height, gpointer data) {
  auto* const events = static_cast<Events*>(data);
  ++events->area_updated;
  GdkPixbuf* const pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  const std::string area = "rows " + std::to_string(y) + " to " + std::to_string(y + height) + " after " +
                           std::to_string(events->rows_updated);
  if (!events->wrong_update.empty()) return;
  if (pixbuf == nullptr || x != 0 || width != gdk_pixbuf_get_width(pixbuf) || y != events->rows_updated ||
      height <= 0 || y + height > gdk_pixbuf_get_height(pixbuf)) {
    events->wrong_update = "not the next whole rows: " + area;
    return;
  }
  events->rows_updated = y + height;
  if (events->want == nullptr) return;
  const std::size_t stride_bytes = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(pixbuf));
  const std::size_t row_bytes = std::size_t{3} * static_cast<std::size_t>(width);
  const std::uint8_t* const pixels = gdk_pixbuf_read_pixels(pixbuf);
  for (int row = y; row < y + height; ++row) {
    if (std::memcmp(pixels + static_cast<std::size_t>(row) * stride_bytes,
                    events->want->rows.data() + static_cast<std::size_t>(row) * row_bytes, row_bytes) != 0) {
      events->wrong_update = "row " + std::to_string(row) + " announced before it was final: " + area;
      return;
    }
  }
}

// Feeds `bytes` to a loader in pieces of piece_bytes (the whole at once for
// 0), then closes it. With `as_kx` the loader is asked for the "kx" type;
// otherwise gdk-pixbuf recognises the content.
void FeedLoader(const Bytes& bytes, std::size_t piece_bytes, bool as_kx, Load* load) {
  GError* error = nullptr;
  GdkPixbufLoader* const loader = as_kx ? gdk_pixbuf_loader_new_with_type("kx", &error) : gdk_pixbuf_loader_new();
  ASSERT_NE(loader, nullptr) << (error != nullptr ? error->message : "");
  g_signal_connect(loader, "size-prepared", G_CALLBACK(OnSizePrepared), &load->events);
  g_signal_connect(loader, "area-prepared", G_CALLBACK(OnAreaPrepared), &load->events);
  g_signal_connect(loader, "area-updated", G_CALLBACK(OnAreaUpdated), &load->events);
  const std::size_t step = piece_bytes == 0 ? bytes.size() : piece_bytes;
  std::size_t write = 0;
  for (std::size_t at = 0; at < bytes.size(); at += step, ++write) {
    const std::size_t n = bytes.size() - at < step ? bytes.size() - at : step;
    if (!gdk_pixbuf_loader_write(loader, bytes.data() + at, n, &error)) {
      load->write_failed = true;
      load->failed_write = write;
      break;
    }
  }
  load->updated_before_close = load->events.area_updated;
  load->rows_before_close = load->events.rows_updated;
  if (load->write_failed) {
    gdk_pixbuf_loader_close(loader, nullptr);
  } else if (!gdk_pixbuf_loader_close(loader, &error) && error == nullptr) {
    load->error = "close failed without an error";
  }
  if (error != nullptr) {
    load->error = error->message;
    g_error_free(error);
  }
  GdkPixbuf* const pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  if (pixbuf != nullptr && load->error.empty()) load->pixbuf = GDK_PIXBUF(g_object_ref(pixbuf));
  g_object_unref(loader);
}

// The plug-in's recognition test: gdk-pixbuf recognises these by content.
bool Recognised(const Bytes& bytes) { return bytes.size() >= kHeaderBytes && CheckHeader(bytes.data()) == 1; }

TEST(PixbufLoader, TheBuildsModuleIsTheOneLoaded) {
  GSList* const formats = gdk_pixbuf_get_formats();
  int kx_formats = 0;
  for (GSList* f = formats; f != nullptr; f = f->next) {
    auto* const format = static_cast<GdkPixbufFormat*>(f->data);
    gchar* const name = gdk_pixbuf_format_get_name(format);
    if (std::strcmp(name, "kx") == 0) {
      ++kx_formats;
      gchar** const mime_types = gdk_pixbuf_format_get_mime_types(format);
      EXPECT_STREQ(mime_types[0], "image/x-kx");
      g_strfreev(mime_types);
    }
    g_free(name);
  }
  g_slist_free(formats);
  EXPECT_EQ(kx_formats, 1);
}

TEST(PixbufLoader, WholeFilesMatchThePlugin) {
  for (const PictureFile& file : GoodPictures()) {
    GError* error = nullptr;
    GdkPixbuf* const pixbuf = gdk_pixbuf_new_from_file(file.path.c_str(), &error);
    EXPECT_EQ(error, nullptr) << file.name << ": " << (error != nullptr ? error->message : "");
    if (error != nullptr) g_error_free(error);
    EXPECT_TRUE(SameAsPlugin(pixbuf, file.path)) << file.name;
    if (pixbuf != nullptr) g_object_unref(pixbuf);
  }
}

TEST(PixbufLoader, LargePicturesMatchThePlugin) {
  // Decoded while a second thread faults in the pixbuf's pages.
  const PictureFile file = LargePicture();
  GError* error = nullptr;
  GdkPixbuf* const pixbuf = gdk_pixbuf_new_from_file(file.path.c_str(), &error);
  EXPECT_EQ(error, nullptr);
  if (error != nullptr) g_error_free(error);
  EXPECT_TRUE(SameAsPlugin(pixbuf, file.path));
  if (pixbuf != nullptr) g_object_unref(pixbuf);
  Load load;
  FeedLoader(ReadWholeFile(file.path), 1 << 16, false, &load);
  EXPECT_EQ(load.error, "");
  EXPECT_TRUE(SameAsPlugin(load.pixbuf, file.path));
}

// A whole file takes the library's whole-file decode, which chooses its
// threads itself: a load that fell back to the decoder in pieces, or kept
// to one thread, would start fewer threads than kx_decode does.
TEST(PixbufLoader, WholeFilesTakeTheLibrarysWholeFileDecode) {
  const PictureFile file = LargePicture();
  const int library_threads = LibraryDecodeThreads(KX_SHARED_LIBRARY, file.path);
  ASSERT_GE(library_threads, 1) << "kx_decode starts no thread for this picture here: the paths look alike";
  // gdk-pixbuf reads its loaders and GLib its MIME database on the first
  // load: not counted.
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(GoodPictures().front().path.c_str(), nullptr);
  if (pixbuf != nullptr) g_object_unref(pixbuf);
  pixbuf = nullptr;
  const int load_threads = ThreadsStartedDuring([&] { pixbuf = gdk_pixbuf_new_from_file(file.path.c_str(), nullptr); });
  EXPECT_EQ(load_threads, library_threads);
  EXPECT_TRUE(SameAsPlugin(pixbuf, file.path));
  if (pixbuf != nullptr) g_object_unref(pixbuf);
}

// Pieces of 1, 7 and 4096 bytes: the picture the plug-in gives, rows
// announced as they become final, in order and each once, and all of them
// by the close.
TEST(PixbufLoader, IncrementalLoadsInPiecesMatchThePlugin) {
  for (const PictureFile& file : GoodPictures()) {
    const Bytes bytes = ReadWholeFile(file.path);
    const RgbPicture want = PluginRgb(file.path);
    for (const std::size_t piece_bytes : {1, 7, 4096}) {
      if (piece_bytes == 1 && bytes.size() > (std::size_t{1} << 17)) continue;  // a million writes say no more
      SCOPED_TRACE(file.name + " in pieces of " + std::to_string(piece_bytes));
      Load load;
      load.events.want = &want;
      FeedLoader(bytes, piece_bytes, !Recognised(bytes), &load);
      EXPECT_EQ(load.error, "");
      EXPECT_TRUE(SameAsPlugin(load.pixbuf, file.path));
      EXPECT_EQ(load.events.size_prepared, 1);
      EXPECT_EQ(load.events.size_width, want.width);
      EXPECT_EQ(load.events.size_height, want.height);
      EXPECT_EQ(load.events.area_prepared, 1);
      EXPECT_TRUE(load.events.sized_before_prepared);
      EXPECT_EQ(load.events.wrong_update, "");
      EXPECT_EQ(load.events.rows_updated, want.height);
      EXPECT_GE(load.events.area_updated, 1);
    }
  }
}

// Rows appear while the bytes arrive: a whole stream has announced every
// row before the close (also with bytes after the picture, which are never
// needed); a stream cut in the middle has announced the rows its bytes
// complete, and the close completes the rest as a viewer shows it.
TEST(PixbufLoader, RowsAppearWhileTheBytesArrive) {
  int checked = 0;
  for (const PictureFile& file : GoodPictures()) {
    const bool cut = file.name == "cut-photo-640x480.kx";
    if (file.name != "junk-after-64x64.kx" && file.name != "photo-640x480.kx" && !cut) continue;
    const RgbPicture want = PluginRgb(file.path);
    Load load;
    load.events.want = &want;
    FeedLoader(ReadWholeFile(file.path), 4096, false, &load);
    EXPECT_EQ(load.events.wrong_update, "") << file.name;
    EXPECT_GT(load.updated_before_close, cut ? 10 : 0) << file.name;
    if (cut) {
      EXPECT_GT(load.rows_before_close, want.height / 4) << file.name;
      EXPECT_LT(load.rows_before_close, want.height) << file.name;
    } else {
      EXPECT_EQ(load.rows_before_close, want.height) << file.name;
    }
    EXPECT_EQ(load.events.rows_updated, want.height) << file.name;
    EXPECT_TRUE(SameAsPlugin(load.pixbuf, file.path)) << file.name;
    ++checked;
  }
  EXPECT_EQ(checked, 3);
}

TEST(PixbufLoader, SizeOnlyAndScaledLoads) {
  for (const PictureFile& file : GoodPictures()) {
    if (file.name != "photo-640x480.kx") continue;
    gint width = 0;
    gint height = 0;
    GdkPixbufFormat* const format = gdk_pixbuf_get_file_info(file.path.c_str(), &width, &height);
    ASSERT_NE(format, nullptr);
    gchar* const name = gdk_pixbuf_format_get_name(format);
    EXPECT_STREQ(name, "kx");
    g_free(name);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);

    // What thumbnailers ask for: decoded whole, scaled by gdk-pixbuf.
    GError* error = nullptr;
    GdkPixbuf* const scaled = gdk_pixbuf_new_from_file_at_size(file.path.c_str(), 160, 160, &error);
    ASSERT_NE(scaled, nullptr) << (error != nullptr ? error->message : "");
    EXPECT_EQ(gdk_pixbuf_get_width(scaled), 160);
    EXPECT_EQ(gdk_pixbuf_get_height(scaled), 120);
    g_object_unref(scaled);
  }
}

TEST(PixbufLoader, RefusedFilesGiveTheirReasonAndNoPicture) {
  for (const RefusedFile& refused : RefusedPictures()) {
    SCOPED_TRACE(refused.file.name);
    GError* error = nullptr;
    GdkPixbuf* const pixbuf = gdk_pixbuf_new_from_file(refused.file.path.c_str(), &error);
    EXPECT_EQ(pixbuf, nullptr);
    ASSERT_NE(error, nullptr);
    g_error_free(error);

    const Bytes bytes = ReadWholeFile(refused.file.path);
    for (const std::size_t piece_bytes : {1, 7, 4096}) {
      Load load;
      FeedLoader(bytes, piece_bytes, true, &load);
      EXPECT_EQ(load.pixbuf, nullptr);
      EXPECT_NE(load.error.find(refused.reason), std::string::npos) << load.error;
      EXPECT_EQ(load.events.area_prepared, 0);
      // A whole header is refused by the write that completes it.
      if (bytes.size() >= kHeaderBytes) {
        EXPECT_TRUE(load.write_failed);
        EXPECT_EQ(load.failed_write, (kHeaderBytes - 1) / piece_bytes) << piece_bytes;
      }
    }
  }
}

TEST(InputBuffer, KeepsNoMoreThanItsLimitAndKeepsWhatItHasWhenMemoryRunsOut) {
  // An allocator that fails on demand.
  static bool fail_next = false;
  const ReallocFn realloc_block = [](void* block, std::size_t bytes) -> void* {
    if (fail_next) return nullptr;
    return std::realloc(block, bytes);
  };
  const std::size_t limit_bytes = 200000;  // more than the first allocation, so the buffer grows
  InputBuffer input = StartInput(limit_bytes, realloc_block, std::free);
  Bytes fed;
  for (std::uint8_t k = 0; !InputFull(input); ++k) {
    const Bytes piece(7777, k);
    ASSERT_TRUE(AppendInput(&input, piece.data(), piece.size()));
    fed.insert(fed.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(input.size_bytes, limit_bytes);
  EXPECT_LE(input.capacity_bytes, limit_bytes);
  EXPECT_EQ(Bytes(input.bytes, input.bytes + input.size_bytes), Bytes(fed.begin(), fed.begin() + limit_bytes));
  const Bytes more(10, 0xEE);
  EXPECT_TRUE(AppendInput(&input, more.data(), more.size()));  // dropped: past the limit
  EXPECT_EQ(input.size_bytes, limit_bytes);
  FreeInput(&input);

  input = StartInput(limit_bytes, realloc_block, std::free);
  const Bytes first(1000, 0x11);
  ASSERT_TRUE(AppendInput(&input, first.data(), first.size()));
  fail_next = true;
  const Bytes large(100000, 0x22);
  EXPECT_FALSE(AppendInput(&input, large.data(), large.size()));
  fail_next = false;
  EXPECT_EQ(Bytes(input.bytes, input.bytes + input.size_bytes), first);
  FreeInput(&input);
}

}  // namespace
