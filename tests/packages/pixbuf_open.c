/* A gdk-pixbuf program as any GTK application opens a picture: by
 * gdk_pixbuf_new_from_file, which picks the loader by the MIME type GLib
 * sniffs. Writes the pixels as a binary PPM, for comparing with kxconv's.
 *
 *   pixbuf_open PICTURE OUT.ppm
 */
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: pixbuf_open PICTURE OUT.ppm\n");
    return 2;
  }
  GError* error = NULL;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(argv[1], &error);
  if (pixbuf == NULL) {
    fprintf(stderr, "pixbuf_open: %s\n", error->message);
    return 1;
  }
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const int stride_bytes = gdk_pixbuf_get_rowstride(pixbuf);
  const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
  FILE* out = fopen(argv[2], "wb");
  if (out == NULL) return 1;
  fprintf(out, "P6\n%d %d\n255\n", width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) fwrite(pixels + (size_t)y * (size_t)stride_bytes + (size_t)x * (size_t)channels, 1, 3, out);
  }
  const int failed = fclose(out) != 0;
  g_object_unref(pixbuf);
  printf("gdk-pixbuf: %s %d x %d, %s\n", argv[1], width, height,
         gdk_pixbuf_format_get_name(gdk_pixbuf_get_file_info(argv[1], NULL, NULL)));
  return failed;
}
