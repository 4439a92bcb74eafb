// gdk-pixbuf loader module for KX pictures: libpixbufloader-kx.so.
//
// Whole files (gdk_pixbuf_new_from_file) are read in one pass, never more
// than a stream for the picture can use (16 + MaxStreamBytes(total) bytes),
// and decoded once. Incremental loads (GdkPixbufLoader: a picture arriving
// over the network) decode the bytes as they come and announce the rows
// they complete, keeping no copy of the input. The pixbuf is 8-bit RGB
// without alpha, and its pixels are exactly what the plug-in hands a viewer,
// damaged streams completed the same way. The memory of one load: the
// pixbuf and the decoder's window, and for whole files the input; every
// allocation may fail and gives an error, never an abort.
//
// Sizes asked for through the size callback (thumbnailers ask for small
// ones) are not followed: the picture is decoded whole, and gdk-pixbuf
// scales it, as the callback's contract allows. A size of 0 asks for the
// size only: nothing more is allocated or decoded.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "desktop/common/kx_picture.h"

namespace {

constexpr std::size_t kMessageBytes = 160;

void SetRefusal(const HeaderFacts& facts, GError** error) {
  char text[kMessageBytes];
  DescribeRefusal(facts, text, sizeof text);
  const GdkPixbufError code =
      facts.verdict == HeaderVerdict::kTooLarge ? GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY : GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
  g_set_error_literal(error, GDK_PIXBUF_ERROR, code, text);
}

void SetOutOfMemory(const char* what, GError** error) {
  g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "Not enough memory for the KX image's %s",
              what);
}

InputBuffer StartGlibInput(std::size_t limit_bytes) { return StartInput(limit_bytes, g_try_realloc, g_free); }

// The decoded picture in a new pixbuf, or null with *error set.
GdkPixbuf* DecodePixbuf(const InputBuffer& input, const PictureSize& layout, GError** error) {
  GdkPixbuf* const pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, layout.width, layout.height);
  if (pixbuf == nullptr) {
    SetOutOfMemory("pixels", error);
    return nullptr;
  }
  auto* const window = static_cast<std::uint8_t*>(g_try_malloc(kLoaderWindowBytes));
  if (window == nullptr) {
    g_object_unref(pixbuf);
    SetOutOfMemory("decoding window", error);
    return nullptr;
  }
  DecodeRgbPicture(input, layout, gdk_pixbuf_get_pixels(pixbuf),
                   static_cast<std::size_t>(gdk_pixbuf_get_rowstride(pixbuf)), window);
  g_free(window);
  return pixbuf;
}

// --- Whole files ------------------------------------------------------------

// Bytes from the file's position to its end, or 0 when it cannot be told
// (a pipe): only a first guess of the input's size.
std::size_t BytesAhead(FILE* f) {
  struct stat status {};
  const long at = std::ftell(f);
  if (at < 0 || fstat(fileno(f), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= at) return 0;
  return static_cast<std::size_t>(status.st_size - at);
}

GdkPixbuf* LoadFile(FILE* f, GError** error) {
  std::uint8_t head[kLoaderHeaderBytes];
  const HeaderFacts facts = JudgeHeader(head, std::fread(head, 1, sizeof head, f));
  if (facts.verdict != HeaderVerdict::kOk) {
    SetRefusal(facts, error);
    return nullptr;
  }
  InputBuffer input = StartGlibInput(facts.input_bound_bytes);
  bool gathered = AppendInput(&input, head, sizeof head);
  // One read of the whole rest when the file's size is known; pieces of
  // growing size otherwise, until the bound or the end of the file.
  std::size_t want_bytes = BytesAhead(f);
  while (gathered && !InputFull(input)) {
    std::uint8_t* room = nullptr;
    std::size_t room_bytes = 0;
    gathered = InputRoom(&input, want_bytes > 0 ? want_bytes : input.capacity_bytes, &room, &room_bytes);
    if (!gathered) break;
    const std::size_t read_bytes = std::fread(room, 1, room_bytes, f);
    CommitInput(&input, read_bytes);
    if (read_bytes < room_bytes) break;  // the end of the file, or a read error: decode what came
    want_bytes = 0;
  }
  GdkPixbuf* pixbuf = nullptr;
  if (gathered) {
    pixbuf = DecodePixbuf(input, facts.layout, error);
  } else {
    SetOutOfMemory("input", error);
  }
  FreeInput(&input);
  return pixbuf;
}

// --- Incremental loads -------------------------------------------------------

// The bytes are decoded as they come (kx_decoder_push): once the header is
// there the pixbuf exists (zero-filled, so that a program drawing it early
// shows black rather than whatever the memory held) and `prepared` is called;
// after every piece the rows that became final are announced with
// `updated`, top down, each once. stop_load completes a stream that ended
// early, as the whole-file load does, and announces the rest.
struct LoadContext {
  GdkPixbufModuleSizeFunc size_func;
  GdkPixbufModulePreparedFunc prepared_func;
  GdkPixbufModuleUpdatedFunc updated_func;
  gpointer user_data;
  std::uint8_t head[kLoaderHeaderBytes];
  std::size_t head_bytes;
  PictureSize layout;
  GdkPixbuf* pixbuf;
  kx_decoder* decoder;
  std::int32_t rows_announced;
  bool header_known;
  bool finished;    // complete, or only the size was wanted: later input is ignored
  GError* failure;  // why the load failed, repeated by stop_load
};

gpointer BeginLoad(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                   GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError** error) {
  auto* const context = static_cast<LoadContext*>(g_try_malloc0(sizeof(LoadContext)));
  if (context == nullptr) {
    SetOutOfMemory("loader", error);
    return nullptr;
  }
  context->size_func = size_func;
  context->prepared_func = prepared_func;
  context->updated_func = updated_func;
  context->user_data = user_data;
  return context;
}

void EndDecoding(LoadContext* context) {
  kx_decoder_destroy(context->decoder);
  context->decoder = nullptr;
  if (context->pixbuf != nullptr) g_object_unref(context->pixbuf);
  context->pixbuf = nullptr;
}

gboolean Fail(LoadContext* context, GError** error) {
  if (context->failure == nullptr) {
    g_set_error_literal(&context->failure, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "KX image could not be loaded");
  }
  if (error != nullptr && *error == nullptr) *error = g_error_copy(context->failure);
  context->finished = true;
  EndDecoding(context);
  return FALSE;
}

// Tells the program about the rows that became final since it last heard.
void AnnounceRows(LoadContext* context, std::int32_t rows_final) {
  if (rows_final <= context->rows_announced) return;
  if (context->updated_func != nullptr) {
    context->updated_func(context->pixbuf, 0, context->rows_announced, context->layout.width,
                          rows_final - context->rows_announced, context->user_data);
  }
  context->rows_announced = rows_final;
}

void FreePixels(guchar* pixels, gpointer) { g_free(pixels); }

// The header is complete: refuse it, or tell its size, make the pixbuf and
// start the decoder on it.
gboolean StartPicture(LoadContext* context, GError** error) {
  context->header_known = true;
  const HeaderFacts facts = JudgeHeader(context->head, sizeof context->head);
  if (facts.verdict != HeaderVerdict::kOk) {
    SetRefusal(facts, &context->failure);
    return Fail(context, error);
  }
  context->layout = facts.layout;
  int width = facts.size.width;
  int height = facts.size.height;
  if (context->size_func != nullptr) context->size_func(&width, &height, context->user_data);
  if (width == 0 || height == 0) {
    context->finished = true;
    return TRUE;
  }
  // Zero-filled pixels: fresh pages from the system cost nothing to clear,
  // so the first rows show without waiting for the whole picture's memory
  // to be written once (a fill of a 36 MB pixbuf took longer than decoding
  // its first 64 KiB). Rows padded to 4 bytes, as gdk_pixbuf_new pads them;
  // the header's sides and cap keep the size far below 2^31.
  const std::size_t stride_bytes = (std::size_t{3} * static_cast<std::size_t>(facts.layout.width) + 3) / 4 * 4;
  auto* const pixels =
      static_cast<guchar*>(g_try_malloc0(stride_bytes * static_cast<std::size_t>(facts.layout.height)));
  if (pixels != nullptr) {
    context->pixbuf = gdk_pixbuf_new_from_data(pixels, GDK_COLORSPACE_RGB, FALSE, 8, facts.layout.width,
                                               facts.layout.height, static_cast<int>(stride_bytes), FreePixels, nullptr);
  }
  if (context->pixbuf == nullptr) {
    g_free(pixels);
    SetOutOfMemory("pixels", &context->failure);
    return Fail(context, error);
  }
  kx_decoder_options options = KX_DECODER_OPTIONS_INIT;
  options.layout = KX_LAYOUT_RGB;
  options.dst = gdk_pixbuf_get_pixels(context->pixbuf);
  options.stride_bytes = stride_bytes;
  options.dst_bytes = static_cast<std::size_t>(
      kx_buffer_bytes(facts.layout.width, facts.layout.height, KX_LAYOUT_RGB, stride_bytes));
  if (kx_decoder_create(context->head, sizeof context->head, &options, &context->decoder) != KX_OK) {
    SetOutOfMemory("decoding window", &context->failure);
    return Fail(context, error);
  }
  if (context->prepared_func != nullptr) context->prepared_func(context->pixbuf, nullptr, context->user_data);
  return TRUE;
}

// Decodes the next bytes of the file (the header's among them) and
// announces the rows they complete.
void Decode(LoadContext* context, const std::uint8_t* bytes, std::size_t n) {
  std::int32_t rows_final = 0;
  kx_decoder_push(context->decoder, bytes, n, &rows_final);
  AnnounceRows(context, rows_final);
  if (rows_final == context->layout.height) context->finished = true;
}

gboolean LoadIncrement(gpointer data, const guchar* bytes, guint size, GError** error) {
  auto* const context = static_cast<LoadContext*>(data);
  if (context->failure != nullptr) return Fail(context, error);
  if (context->finished || size == 0) return TRUE;
  std::size_t n = size;
  if (!context->header_known) {
    const std::size_t missing = kLoaderHeaderBytes - context->head_bytes;
    const std::size_t take = n < missing ? n : missing;
    std::memcpy(context->head + context->head_bytes, bytes, take);
    context->head_bytes += take;
    bytes += take;
    n -= take;
    if (context->head_bytes < kLoaderHeaderBytes) return TRUE;
    if (!StartPicture(context, error)) return FALSE;
    if (context->finished) return TRUE;
    Decode(context, context->head, sizeof context->head);
  }
  Decode(context, bytes, n);
  return TRUE;
}

gboolean StopLoad(gpointer data, GError** error) {
  auto* const context = static_cast<LoadContext*>(data);
  gboolean result = TRUE;
  if (context->failure != nullptr) {
    result = Fail(context, error);
  } else if (!context->header_known) {
    HeaderFacts short_input{};
    short_input.verdict = HeaderVerdict::kNoHeader;
    SetRefusal(short_input, &context->failure);
    result = Fail(context, error);
  } else if (context->decoder != nullptr) {
    // What came decodes as a stream that ends early.
    kx_decoder_finish(context->decoder, nullptr);
    AnnounceRows(context, context->layout.height);
  }
  EndDecoding(context);
  if (context->failure != nullptr) g_error_free(context->failure);
  g_free(context);
  return result;
}

}  // namespace

// The module's two entry points, found by name by gdk-pixbuf.
extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
  module->load = LoadFile;
  module->begin_load = BeginLoad;
  module->stop_load = StopLoad;
  module->load_increment = LoadIncrement;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
  // The signature bytes of the recognition test: "KX", the coding byte
  // 0x83, 3 bytes per pixel. (The sizes that follow are no fixed bytes; a
  // header the loader refuses gives an error.)
  static GdkPixbufModulePattern signature[] = {
      {const_cast<char*>("KX\x83\x03"), nullptr, 100},
      {nullptr, nullptr, 0},
  };
  static const gchar* mime_types[] = {"image/x-kx", nullptr};
  static const gchar* extensions[] = {"kx", nullptr};
  info->name = const_cast<gchar*>("kx");
  info->signature = signature;
  info->description = const_cast<gchar*>("KX image");
  info->mime_types = const_cast<gchar**>(mime_types);
  info->extensions = const_cast<gchar**>(extensions);
  info->license = const_cast<gchar*>("MIT");
  // Loads share nothing: any number may run at once.
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
}

}  // extern "C"
