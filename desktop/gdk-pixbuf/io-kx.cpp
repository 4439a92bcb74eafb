// gdk-pixbuf loader module for KX pictures: libpixbufloader-kx.so.
//
// A KX stream has no length of its own and the decoder needs all of it, so
// both ways of loading gather the input first, never more than a stream for
// the picture can use (16 + MaxStreamBytes(total) bytes), and decode once:
// whole files as soon as that much is read or the file ends, incremental
// loads as soon as that much has arrived or at stop_load. The pixbuf is
// 8-bit RGB without alpha, and its pixels are exactly what the plug-in hands
// a viewer, damaged streams completed the same way. The memory of one load:
// the input, the pixbuf and the decoder's window, nothing picture-sized
// besides; every allocation may fail and gives an error, never an abort.
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

#include "codec/decode/fast_decode.h"
#include "desktop/common/kx_picture.h"

using namespace kx;

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

// The decoded picture in a new pixbuf, or null with *error set. `prepared`
// is called once the pixbuf exists, before its pixels are written.
GdkPixbuf* DecodePixbuf(const InputBuffer& input, const PictureLayout& layout, GdkPixbufModulePreparedFunc prepared,
                        gpointer user_data, GError** error) {
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
  if (prepared != nullptr) prepared(pixbuf, nullptr, user_data);
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
  std::uint8_t head[kHeaderBytes];
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
    pixbuf = DecodePixbuf(input, facts.layout, nullptr, nullptr, error);
  } else {
    SetOutOfMemory("input", error);
  }
  FreeInput(&input);
  return pixbuf;
}

// --- Incremental loads -------------------------------------------------------

struct LoadContext {
  GdkPixbufModuleSizeFunc size_func;
  GdkPixbufModulePreparedFunc prepared_func;
  GdkPixbufModuleUpdatedFunc updated_func;
  gpointer user_data;
  std::uint8_t head[kHeaderBytes];
  std::size_t head_bytes;
  PictureLayout layout;
  InputBuffer input;
  bool header_known;
  bool finished;    // decoded, or only the size was wanted: later input is ignored
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

gboolean Fail(LoadContext* context, GError** error) {
  if (context->failure == nullptr) {
    g_set_error_literal(&context->failure, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "KX image could not be loaded");
  }
  if (error != nullptr && *error == nullptr) *error = g_error_copy(context->failure);
  context->finished = true;
  FreeInput(&context->input);
  return FALSE;
}

// The header is complete: refuse it, or tell its size and start gathering.
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
  context->input = StartGlibInput(facts.input_bound_bytes);
  if (!AppendInput(&context->input, context->head, sizeof context->head)) {
    SetOutOfMemory("input", &context->failure);
    return Fail(context, error);
  }
  return TRUE;
}

gboolean FinishPicture(LoadContext* context, GError** error) {
  GdkPixbuf* const pixbuf =
      DecodePixbuf(context->input, context->layout, context->prepared_func, context->user_data, &context->failure);
  if (pixbuf == nullptr) return Fail(context, error);
  FreeInput(&context->input);
  context->finished = true;
  if (context->updated_func != nullptr) {
    context->updated_func(pixbuf, 0, 0, context->layout.width, context->layout.height, context->user_data);
  }
  g_object_unref(pixbuf);
  return TRUE;
}

gboolean LoadIncrement(gpointer data, const guchar* bytes, guint size, GError** error) {
  auto* const context = static_cast<LoadContext*>(data);
  if (context->failure != nullptr) return Fail(context, error);
  if (context->finished || size == 0) return TRUE;
  std::size_t n = size;
  if (!context->header_known) {
    const std::size_t missing = kHeaderBytes - context->head_bytes;
    const std::size_t take = n < missing ? n : missing;
    std::memcpy(context->head + context->head_bytes, bytes, take);
    context->head_bytes += take;
    bytes += take;
    n -= take;
    if (context->head_bytes < kHeaderBytes) return TRUE;
    if (!StartPicture(context, error)) return FALSE;
    if (context->finished) return TRUE;
  }
  if (!AppendInput(&context->input, bytes, n)) {
    SetOutOfMemory("input", &context->failure);
    return Fail(context, error);
  }
  return InputFull(context->input) ? FinishPicture(context, error) : TRUE;
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
  } else if (!context->finished) {
    result = FinishPicture(context, error);  // what came decodes as a stream that ends early
  }
  FreeInput(&context->input);
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
