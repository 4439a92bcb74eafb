/*
 * file-kx: KX pictures in GIMP 2.10, on the public library (kx.h) alone.
 *
 * Load gives exactly the pixels the desktop loaders give a viewer: headers
 * are taken as kx_info.decoding says (the signature and sides above 0,
 * within the 256 MiB cap), and a stream that ends early is completed as the
 * library completes it, with a message naming the file. Export writes what
 * the drawable holds: RGB as stored, grey and indexed as RGB, alpha dropped
 * (the colour channels kept as stored, as kxconv and the Pillow plug-in
 * do), deeper precisions rounded to 8 bits as kxconv rounds 16-bit PNG. The
 * file appears whole or not at all.
 */
#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>
#include <stdint.h>
#include <string.h>

#include "kx.h"

#define LOAD_PROC "file-kx-load"
#define LOAD_THUMB_PROC "file-kx-load-thumb"
#define SAVE_PROC "file-kx-save"
#define PLUG_IN_BINARY "file-kx"
#define PLUG_IN_ROLE "gimp-file-kx"
#define KX_MIME_TYPE "image/x-kx"

/* Rows read from GEGL per pass on export: 64 rows of 8192 pixels at 8 bytes
 * a pixel hold 4 MiB, whatever the picture's height. */
#define EXPORT_STRIP_ROWS 64

typedef struct {
  gint level;
} ExportValues;

static ExportValues export_values = {KX_DEFAULT_LEVEL};

static void query(void);
static void run(const gchar* name, gint nparams, const GimpParam* param, gint* nreturn_vals, GimpParam** return_vals);

const GimpPlugInInfo PLUG_IN_INFO = {NULL, NULL, query, run};

MAIN()

static void query(void) {
  static const GimpParamDef load_args[] = {
      {GIMP_PDB_INT32, "run-mode", "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }"},
      {GIMP_PDB_STRING, "filename", "The name of the file to load"},
      {GIMP_PDB_STRING, "raw-filename", "The name entered"}};
  static const GimpParamDef load_return_vals[] = {{GIMP_PDB_IMAGE, "image", "Output image"}};
  static const GimpParamDef thumb_args[] = {{GIMP_PDB_STRING, "filename", "The name of the file to load"},
                                            {GIMP_PDB_INT32, "thumb-size", "Preferred thumbnail size"}};
  static const GimpParamDef thumb_return_vals[] = {{GIMP_PDB_IMAGE, "image", "Thumbnail image"},
                                                   {GIMP_PDB_INT32, "image-width", "Width of the full picture"},
                                                   {GIMP_PDB_INT32, "image-height", "Height of the full picture"}};
  static const GimpParamDef save_args[] = {
      {GIMP_PDB_INT32, "run-mode", "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }"},
      {GIMP_PDB_IMAGE, "image", "Input image"},
      {GIMP_PDB_DRAWABLE, "drawable", "Drawable to export"},
      {GIMP_PDB_STRING, "filename", "The name of the file to export the image in"},
      {GIMP_PDB_STRING, "raw-filename", "The name entered"},
      {GIMP_PDB_INT32, "level", "Compression level, 1 (fastest) to 9 (smallest file); 0 for the default, 6"}};

  gimp_install_procedure(LOAD_PROC, "Loads KX pictures",
                         "Loads a KX picture exactly as the KX viewers show it; a damaged stream is completed "
                         "as they complete it, with a message.",
                         "kxfilter", "kxfilter", "2026", "KX image", NULL, GIMP_PLUGIN, G_N_ELEMENTS(load_args),
                         G_N_ELEMENTS(load_return_vals), load_args, load_return_vals);
  gimp_register_file_handler_mime(LOAD_PROC, KX_MIME_TYPE);
  /* By content first: a KX file opens whatever its name, and a file of
   * another kind named .kx goes to its own loader. */
  gimp_register_magic_load_handler(LOAD_PROC, "kx", "", "0,string,KX");

  gimp_install_procedure(LOAD_THUMB_PROC, "Loads a thumbnail of a KX picture",
                         "Decodes the picture and scales it to fit the size asked for.", "kxfilter", "kxfilter", "2026",
                         NULL, NULL, GIMP_PLUGIN, G_N_ELEMENTS(thumb_args), G_N_ELEMENTS(thumb_return_vals), thumb_args,
                         thumb_return_vals);
  gimp_register_thumbnail_loader(LOAD_PROC, LOAD_THUMB_PROC);

  gimp_install_procedure(SAVE_PROC, "Exports KX pictures",
                         "Writes the drawable as a KX picture (24-bit RGB): grey and indexed become RGB, alpha is "
                         "dropped with the colours kept as stored. Pictures over 8192 pixels on a side are refused.",
                         "kxfilter", "kxfilter", "2026", "KX image", "RGB*, GRAY*, INDEXED*", GIMP_PLUGIN,
                         G_N_ELEMENTS(save_args), 0, save_args, NULL);
  gimp_register_file_handler_mime(SAVE_PROC, KX_MIME_TYPE);
  gimp_register_save_handler(SAVE_PROC, "kx", "");
}

/* ---- Load ------------------------------------------------------------------ */

/* Why a header is refused, in the desktop loaders' words; NULL when it
 * decodes. */
static gchar* header_refusal(const kx_info* info, kx_result decoding) {
  switch (decoding) {
    case KX_OK: return NULL;
    case KX_ERR_TRUNCATED_HEADER: return g_strdup("Not a KX image (shorter than its 16-byte header)");
    case KX_ERR_NO_PIXELS:
      return g_strdup_printf("KX image has no pixels (%d \xc3\x97 %d)", (int)info->width, (int)info->height);
    case KX_ERR_TOO_LARGE:
      return g_strdup_printf("KX image too large (%d \xc3\x97 %d)", (int)info->width, (int)info->height);
    default: return g_strdup("Not a KX image");
  }
}

/* Decodes `filename` into a new image; -1 with *error set when it cannot.
 * *width and *height are the picture's. A stream that ends early is said in
 * a message when `tell_damage` (not for thumbnails, which the Open dialog
 * makes for every file it shows). */
static gint32 load_image(const gchar* filename, gboolean tell_damage, gint* width, gint* height, GError** error) {
  /* Mapped, not read: the decoder looks at no more than the header's
   * picture can use (kx_info.max_input_bytes), and a large file that is no
   * KX picture is refused having read its first page. */
  GMappedFile* mapped = g_mapped_file_new(filename, FALSE, error);
  if (mapped == NULL) return -1;
  const gchar* file = g_mapped_file_get_contents(mapped);
  const gsize file_bytes = g_mapped_file_get_length(mapped);

  kx_info info = KX_INFO_INIT;
  const kx_result decoding = kx_probe(file, file_bytes, &info);
  gchar* refusal = header_refusal(&info, decoding);
  if (refusal != NULL) {
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s: %s", gimp_filename_to_utf8(filename), refusal);
    g_free(refusal);
    g_mapped_file_unref(mapped);
    return -1;
  }

  const size_t stride_bytes = kx_default_stride(info.width, KX_LAYOUT_RGB);
  const size_t pixels_bytes = (size_t)kx_buffer_bytes(info.width, info.height, KX_LAYOUT_RGB, stride_bytes);
  guchar* pixels = g_try_malloc(pixels_bytes);
  if (pixels == NULL) {
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_NOMEM, "%s: not enough memory for %d \xc3\x97 %d pixels",
                gimp_filename_to_utf8(filename), (int)info.width, (int)info.height);
    g_mapped_file_unref(mapped);
    return -1;
  }
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  const kx_result result = kx_decode(file, file_bytes, KX_LAYOUT_RGB, pixels, stride_bytes, pixels_bytes, &report);
  g_mapped_file_unref(mapped);
  if (result != KX_OK) {
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s: cannot decode: %s", gimp_filename_to_utf8(filename),
                kx_result_text(result));
    g_free(pixels);
    return -1;
  }
  if (!report.complete && tell_damage) {
    g_message("%s: the KX stream ended early at pixel %" G_GUINT64_FORMAT " of %" G_GUINT64_FORMAT
              "; the rest is completed as KX viewers show it.",
              gimp_filename_to_utf8(filename), (guint64)report.decoded_pixels,
              (guint64)info.width * (guint64)info.height);
  }

  const gint32 image = gimp_image_new(info.width, info.height, GIMP_RGB);
  gimp_image_set_filename(image, filename);
  const gint32 layer = gimp_layer_new(image, "Background", info.width, info.height, GIMP_RGB_IMAGE, 100,
                                      gimp_image_get_default_new_layer_mode(image));
  gimp_image_insert_layer(image, layer, -1, 0);
  GeglBuffer* buffer = gimp_drawable_get_buffer(layer);
  gegl_buffer_set(buffer, GEGL_RECTANGLE(0, 0, info.width, info.height), 0, babl_format("R'G'B' u8"), pixels,
                  (gint)stride_bytes);
  g_object_unref(buffer);
  g_free(pixels);
  *width = info.width;
  *height = info.height;
  return image;
}

/* ---- Export ---------------------------------------------------------------- */

/* 16 bits to 8 as kxconv's PNG reader (libpng's png_set_scale_16) rounds:
 * to the nearest, exact for 8-bit values widened by 257. */
static guchar scale_16_to_8(guint16 v) { return (guchar)(((guint32)v * 255u + 32895u) >> 16); }

/* The drawable as top-down RGB rows, 3 x width bytes each; NULL with
 * *error set when it is too large for a KX file or for memory. */
static guchar* drawable_rgb(gint32 drawable, gint width, gint height, GError** error) {
  const gsize row_bytes = (gsize)width * 3;
  guchar* rgb = g_try_malloc(row_bytes * (gsize)height);
  guint16* strip = g_try_malloc((gsize)width * 4 * sizeof(guint16) * EXPORT_STRIP_ROWS);
  if (rgb == NULL || strip == NULL) {
    g_free(rgb);
    g_free(strip);
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_NOMEM, "not enough memory for %d \xc3\x97 %d pixels", width, height);
    return NULL;
  }
  /* RGBA at 16 bits in the drawable's own colour space: grey and indexed
   * come out as RGB, nothing is converted between spaces (the colours are
   * exported as stored), and the alpha channel is read only to be left
   * out. */
  const Babl* format = babl_format_with_space("R'G'B'A u16", gimp_drawable_get_format(drawable));
  GeglBuffer* buffer = gimp_drawable_get_buffer(drawable);
  for (gint y = 0; y < height; y += EXPORT_STRIP_ROWS) {
    const gint rows = MIN(EXPORT_STRIP_ROWS, height - y);
    gegl_buffer_get(buffer, GEGL_RECTANGLE(0, y, width, rows), 1.0, format, strip, GEGL_AUTO_ROWSTRIDE,
                    GEGL_ABYSS_NONE);
    guchar* out = rgb + (gsize)y * row_bytes;
    const gsize samples = (gsize)width * (gsize)rows;
    for (gsize i = 0; i < samples; ++i) {
      out[3 * i] = scale_16_to_8(strip[4 * i]);
      out[3 * i + 1] = scale_16_to_8(strip[4 * i + 1]);
      out[3 * i + 2] = scale_16_to_8(strip[4 * i + 2]);
    }
  }
  g_object_unref(buffer);
  g_free(strip);
  return rgb;
}

static gboolean save_image(const gchar* filename, gint32 drawable, gint level, GError** error) {
  const gint width = gimp_drawable_width(drawable);
  const gint height = gimp_drawable_height(drawable);
  if (width > KX_MAX_SIDE || height > KX_MAX_SIDE) {
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED,
                "%s: %d \xc3\x97 %d pixels, more than %d on a side, which no KX reader accepts; nothing was written",
                gimp_filename_to_utf8(filename), width, height, KX_MAX_SIDE);
    return FALSE;
  }
  gimp_progress_init_printf("Exporting '%s'", gimp_filename_to_utf8(filename));
  guchar* rgb = drawable_rgb(drawable, width, height, error);
  if (rgb == NULL) return FALSE;
  gimp_progress_update(0.5);

  const size_t bound_bytes = (size_t)kx_encode_bound(width, height);
  guchar* kx = g_try_malloc(bound_bytes);
  if (kx == NULL) {
    g_free(rgb);
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_NOMEM, "%s: not enough memory for the KX file",
                gimp_filename_to_utf8(filename));
    return FALSE;
  }
  kx_encode_options options = KX_ENCODE_OPTIONS_INIT;
  options.level = level;
  options.threads = g_get_num_processors();
  size_t kx_bytes = 0;
  const kx_result result = kx_encode(rgb, (size_t)width * 3 * (size_t)height, width, height, KX_LAYOUT_RGB,
                                     (size_t)width * 3, &options, kx, bound_bytes, &kx_bytes);
  g_free(rgb);
  if (result != KX_OK) {
    g_free(kx);
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s: the KX writer refused the picture: %s",
                gimp_filename_to_utf8(filename), kx_result_text(result));
    return FALSE;
  }
  /* A temporary file in the same folder, renamed over the name when it is
   * complete: an interrupted export leaves the old file, never half a new
   * one. 0666 lets the umask give the user's usual permissions. */
  const gboolean written = g_file_set_contents_full(filename, (const gchar*)kx, (gssize)kx_bytes,
                                                    G_FILE_SET_CONTENTS_CONSISTENT, 0666, error);
  g_free(kx);
  gimp_progress_update(1.0);
  return written;
}

static gboolean export_dialog(void) {
  gimp_ui_init(PLUG_IN_BINARY, FALSE);
  GtkWidget* dialog = gimp_export_dialog_new("KX", PLUG_IN_ROLE, SAVE_PROC);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_container_set_border_width(GTK_CONTAINER(box), 12);
  gtk_box_pack_start(GTK_BOX(gimp_export_dialog_get_content_area(dialog)), box, TRUE, TRUE, 0);
  GtkWidget* label = gtk_label_new_with_mnemonic("Compression _level (1 fastest, 9 smallest):");
  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  GtkWidget* spin = gtk_spin_button_new_with_range(KX_MIN_LEVEL, KX_MAX_LEVEL, 1);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), export_values.level);
  gtk_label_set_mnemonic_widget(GTK_LABEL(label), spin);
  gtk_box_pack_start(GTK_BOX(box), spin, FALSE, FALSE, 0);
  gtk_widget_show_all(dialog);
  const gboolean accepted = gimp_dialog_run(GIMP_DIALOG(dialog)) == GTK_RESPONSE_OK;
  if (accepted) export_values.level = gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(spin));
  gtk_widget_destroy(dialog);
  return accepted;
}

/* ---- Entry ----------------------------------------------------------------- */

static void run(const gchar* name, gint nparams, const GimpParam* param, gint* nreturn_vals, GimpParam** return_vals) {
  static GimpParam values[4];
  GimpPDBStatusType status = GIMP_PDB_SUCCESS;
  GError* error = NULL;

  gegl_init(NULL, NULL);
  *nreturn_vals = 1;
  *return_vals = values;
  values[0].type = GIMP_PDB_STATUS;

  if (strcmp(name, LOAD_PROC) == 0 && nparams >= 3) {
    gint width = 0;
    gint height = 0;
    const gint32 image = load_image(param[1].data.d_string, TRUE, &width, &height, &error);
    if (image != -1) {
      *nreturn_vals = 2;
      values[1].type = GIMP_PDB_IMAGE;
      values[1].data.d_image = image;
    } else {
      status = GIMP_PDB_EXECUTION_ERROR;
    }
  } else if (strcmp(name, LOAD_THUMB_PROC) == 0 && nparams >= 2) {
    gint width = 0;
    gint height = 0;
    const gint32 image = load_image(param[0].data.d_string, FALSE, &width, &height, &error);
    if (image != -1) {
      const gint size = MAX(param[1].data.d_int32, 1);
      if (width > size || height > size) {
        const gdouble scale = (gdouble)size / MAX(width, height);
        gimp_image_scale(image, MAX(1, (gint)(width * scale + 0.5)), MAX(1, (gint)(height * scale + 0.5)));
      }
      *nreturn_vals = 4;
      values[1].type = GIMP_PDB_IMAGE;
      values[1].data.d_image = image;
      values[2].type = GIMP_PDB_INT32;
      values[2].data.d_int32 = width;
      values[3].type = GIMP_PDB_INT32;
      values[3].data.d_int32 = height;
    } else {
      status = GIMP_PDB_EXECUTION_ERROR;
    }
  } else if (strcmp(name, SAVE_PROC) == 0 && nparams >= 5) {
    const GimpRunMode run_mode = (GimpRunMode)param[0].data.d_int32;
    gint32 image = param[1].data.d_int32;
    gint32 drawable = param[2].data.d_int32;
    GimpExportReturn exported = GIMP_EXPORT_CANCEL;
    gimp_get_data(SAVE_PROC, &export_values);
    switch (run_mode) {
      case GIMP_RUN_INTERACTIVE:
      case GIMP_RUN_WITH_LAST_VALS:
        gimp_ui_init(PLUG_IN_BINARY, FALSE);
        /* Alpha is declared handled so that GIMP merges the visible layers
         * without flattening them onto the background: the plug-in drops
         * alpha itself, as every other KX writer does. */
        exported = gimp_export_image(&image, &drawable, "KX",
                                     GIMP_EXPORT_CAN_HANDLE_RGB | GIMP_EXPORT_CAN_HANDLE_GRAY |
                                         GIMP_EXPORT_CAN_HANDLE_INDEXED | GIMP_EXPORT_CAN_HANDLE_ALPHA);
        if (exported == GIMP_EXPORT_CANCEL) status = GIMP_PDB_CANCEL;
        if (status == GIMP_PDB_SUCCESS && run_mode == GIMP_RUN_INTERACTIVE && !export_dialog()) {
          status = GIMP_PDB_CANCEL;
        }
        break;
      case GIMP_RUN_NONINTERACTIVE:
        if (nparams != 6) {
          status = GIMP_PDB_CALLING_ERROR;
        } else if (param[5].data.d_int32 < 0 || param[5].data.d_int32 > KX_MAX_LEVEL) {
          g_set_error(&error, G_FILE_ERROR, G_FILE_ERROR_INVAL, "level %d: a KX level goes from %d to %d (0: %d)",
                      (int)param[5].data.d_int32, KX_MIN_LEVEL, KX_MAX_LEVEL, KX_DEFAULT_LEVEL);
          status = GIMP_PDB_CALLING_ERROR;
        } else {
          /* 0, what gimp-file-save passes for an argument it does not
           * know, is the default level. */
          export_values.level = param[5].data.d_int32 == 0 ? KX_DEFAULT_LEVEL : param[5].data.d_int32;
        }
        break;
    }
    if (status == GIMP_PDB_SUCCESS) {
      if (save_image(param[3].data.d_string, drawable, export_values.level, &error)) {
        gimp_set_data(SAVE_PROC, &export_values, sizeof export_values);
      } else {
        status = GIMP_PDB_EXECUTION_ERROR;
      }
    }
    if (exported == GIMP_EXPORT_EXPORT) gimp_image_delete(image);
  } else {
    status = GIMP_PDB_CALLING_ERROR;
  }

  if (status != GIMP_PDB_SUCCESS && error != NULL) {
    *nreturn_vals = 2;
    values[1].type = GIMP_PDB_STRING;
    values[1].data.d_string = error->message;
  }
  values[0].data.d_status = status;
}
