/* A program of someone else's, built against an installed libkx: through
 * pkg-config as C99, and through find_package(kx) in CMake. For each KX
 * file it probes the header, decodes it in every layout, writes the
 * bottom-up one as a BMP file (for comparing with what a viewer gets),
 * checks that every other layout holds the same pixels (also decoded in
 * pieces of 7 bytes), and encodes the
 * picture again and decodes the new file back to the same pixels.
 *
 *   kx_consumer OUT_DIR FILE.kx...
 */
#include <kx.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* read_file(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  unsigned char* bytes = NULL;
  long n;
  if (f == NULL) return NULL;
  if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
    bytes = malloc((size_t)n + 1);
    if (bytes != NULL && fread(bytes, 1, (size_t)n, f) != (size_t)n) {
      free(bytes);
      bytes = NULL;
    }
    *size = (size_t)n;
  }
  fclose(f);
  return bytes;
}

static void put32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

static int write_bmp(const char* path, const unsigned char* bits, int32_t width, int32_t height, size_t bits_bytes) {
  unsigned char head[54];
  FILE* f;
  int ok;
  memset(head, 0, sizeof head);
  head[0] = 'B';
  head[1] = 'M';
  put32(head + 2, (uint32_t)(sizeof head + bits_bytes));
  put32(head + 10, sizeof head);
  put32(head + 14, 40);
  put32(head + 18, (uint32_t)width);
  put32(head + 22, (uint32_t)height);
  head[26] = 1;
  head[28] = 24;
  put32(head + 34, (uint32_t)bits_bytes);
  f = fopen(path, "wb");
  if (f == NULL) return 0;
  ok = fwrite(head, 1, sizeof head, f) == sizeof head && fwrite(bits, 1, bits_bytes, f) == bits_bytes;
  return fclose(f) == 0 && ok;
}

/* The blue, green and red of pixel (x, y), y = 0 at the top, in a buffer of
 * `layout`. */
static void pixel_at(const unsigned char* rows, int layout, size_t stride, int32_t height, int32_t x, int32_t y,
                     unsigned char bgr[3]) {
  const size_t pixel_bytes = kx_layout_pixel_bytes(layout);
  const int32_t stored = layout == KX_LAYOUT_BGR_BOTTOM_UP ? height - 1 - y : y;
  const unsigned char* p = rows + (size_t)stored * stride + (size_t)x * pixel_bytes;
  const int red_first = layout == KX_LAYOUT_RGB || layout == KX_LAYOUT_RGBA;
  bgr[0] = red_first ? p[2] : p[0];
  bgr[1] = p[1];
  bgr[2] = red_first ? p[0] : p[2];
}

static int same_pixels(const unsigned char* a, int layout_a, size_t stride_a, const unsigned char* b, int layout_b,
                       size_t stride_b, int32_t width, int32_t height) {
  int32_t x, y;
  for (y = 0; y < height; ++y) {
    for (x = 0; x < width; ++x) {
      unsigned char pa[3], pb[3];
      pixel_at(a, layout_a, stride_a, height, x, y, pa);
      pixel_at(b, layout_b, stride_b, height, x, y, pb);
      if (memcmp(pa, pb, 3) != 0) return 0;
      if (kx_layout_pixel_bytes(layout_b) == 4 && b[(size_t)y * stride_b + (size_t)x * 4 + 3] != 0xFF) return 0;
    }
  }
  return 1;
}

/* The file through the decoder in pieces of 7 bytes: 1 when it gives what
 * kx_decode gave (`want`) and says every row is final by the last piece
 * of a complete file. */
static int pieces_agree(const unsigned char* input, size_t size, int layout, size_t stride, size_t dst_bytes,
                        const unsigned char* want, int complete, int32_t height) {
  kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
  kx_decoder* d = NULL;
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  unsigned char* got = malloc(dst_bytes);
  int32_t rows_final = 0;
  size_t at;
  int ok = got != NULL;
  o.layout = layout;
  o.dst = got;
  o.stride_bytes = stride;
  o.dst_bytes = dst_bytes;
  if (ok) memcpy(got, want, dst_bytes); /* the padding as kx_decode left it */
  ok = ok && kx_decoder_create(input, size, &o, &d) == KX_OK;
  for (at = 0; ok && at < size; at += 7) {
    ok = kx_decoder_push(d, input + at, size - at < 7 ? size - at : 7, &rows_final) == KX_OK;
  }
  ok = ok && (!complete || rows_final == height);
  ok = ok && kx_decoder_finish(d, &report) == KX_OK && report.complete == complete;
  ok = ok && memcmp(got, want, dst_bytes) == 0;
  kx_decoder_destroy(d);
  free(got);
  return ok;
}

static int check_file(const char* out_dir, const char* path) {
  size_t size = 0, file_bytes = 0;
  unsigned char* input = read_file(path, &size);
  unsigned char *bits = NULL, *other = NULL, *encoded = NULL, *back = NULL;
  kx_info info = KX_INFO_INIT;
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  kx_encode_options options = KX_ENCODE_OPTIONS_INIT;
  size_t stride, bits_bytes, bound;
  char out_path[4096];
  const char* name = strrchr(path, '/') != NULL ? strrchr(path, '/') + 1 : path;
  int layout, ok = 0;
  kx_result result;

  if (input == NULL) {
    fprintf(stderr, "%s: cannot read\n", path);
    return 0;
  }
  result = kx_probe(input, size, &info);
  if (result != KX_OK) {
    printf("%s: %s\n", name, kx_result_text(result));
    free(input);
    return 1; /* a refusal is an answer, not a failure */
  }
  stride = kx_default_stride(info.width, KX_LAYOUT_BGR_BOTTOM_UP);
  bits_bytes = stride * (size_t)info.height;
  bits = calloc(1, bits_bytes);
  result = kx_decode(input, size, KX_LAYOUT_BGR_BOTTOM_UP, bits, stride, bits_bytes, &report);
  snprintf(out_path, sizeof out_path, "%s/%s.bmp", out_dir, name);
  if (result != KX_OK || !write_bmp(out_path, bits, info.width, info.height, bits_bytes)) {
    fprintf(stderr, "%s: %s\n", name, kx_result_text(result));
    goto done;
  }
  for (layout = KX_LAYOUT_BGR; layout <= KX_LAYOUT_BGRA; ++layout) {
    const size_t other_stride = kx_default_stride(info.width, layout) + 3;
    const size_t other_bytes = (size_t)kx_buffer_bytes(info.width, info.height, layout, other_stride);
    free(other);
    other = malloc(other_bytes);
    if (other == NULL || kx_decode(input, size, layout, other, other_stride, other_bytes, NULL) != KX_OK ||
        !same_pixels(bits, KX_LAYOUT_BGR_BOTTOM_UP, stride, other, layout, other_stride, info.width, info.height) ||
        !pieces_agree(input, size, layout, other_stride, other_bytes, other, report.complete, info.height)) {
      fprintf(stderr, "%s: layout %d differs\n", name, layout);
      goto done;
    }
  }
  /* The last layout decoded (BGRA) goes back in, and comes out the same. */
  bound = (size_t)kx_encode_bound(info.width, info.height);
  if (bound > 0) {
    const size_t other_stride = kx_default_stride(info.width, KX_LAYOUT_BGRA) + 3;
    const size_t other_bytes = (size_t)kx_buffer_bytes(info.width, info.height, KX_LAYOUT_BGRA, other_stride);
    encoded = malloc(bound);
    back = malloc(bits_bytes);
    options.level = 1;
    options.threads = 2;
    if (encoded == NULL || back == NULL ||
        kx_encode(other, other_bytes, info.width, info.height, KX_LAYOUT_BGRA, other_stride, &options, encoded, bound,
                  &file_bytes) != KX_OK ||
        kx_decode(encoded, file_bytes, KX_LAYOUT_BGR_BOTTOM_UP, back, stride, bits_bytes, NULL) != KX_OK ||
        !same_pixels(bits, KX_LAYOUT_BGR_BOTTOM_UP, stride, back, KX_LAYOUT_BGR_BOTTOM_UP, stride, info.width,
                     info.height)) {
      fprintf(stderr, "%s: the encoded file does not decode to the same pixels\n", name);
      goto done;
    }
  }
  printf("%s: %dx%d %s, %s\n", name, (int)info.width, (int)info.height, report.complete ? "complete" : "ended early",
         bound > 0 ? "encoded again" : "too large to encode");
  ok = 1;
done:
  free(input);
  free(bits);
  free(other);
  free(encoded);
  free(back);
  return ok;
}

int main(int argc, char** argv) {
  int k, failed = 0;
  if (argc < 3) {
    fprintf(stderr, "usage: kx_consumer OUT_DIR FILE.kx...\n");
    return 2;
  }
  if (kx_version_number() / 10000 != KX_VERSION_MAJOR) {
    fprintf(stderr, "built against %s, running %s\n", KX_VERSION_STRING, kx_version_string());
    return 1;
  }
  for (k = 2; k < argc; ++k) failed += !check_file(argv[1], argv[k]);
  return failed == 0 ? 0 : 1;
}
