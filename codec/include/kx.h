/*
 * kx.h: the KX image codec as a library. Probing a header, decoding a
 * picture into the caller's buffer, encoding pixels into a KX file.
 *
 * A KX file is a 16-byte header ("KX", a coding byte, bytes per pixel, the
 * width and the height) followed by a compressed stream of 24-bit pixels
 * that runs to the end of the file. This library decodes exactly what the
 * import plug-in hands a viewer: damaged streams are completed the same way,
 * byte for byte, on every platform.
 *
 * The contract
 *   - Input is read only within [src, src + src_bytes); nothing after it is
 *     ever read, whatever the bytes say. Of a file, no more than
 *     kx_info.max_input_bytes is ever needed.
 *   - Output is written only in the first row bytes (width x bytes per
 *     pixel) of each of the height rows, stride_bytes apart; every one of
 *     them is written, and row padding is never touched. Nothing is written
 *     when a call refuses its arguments.
 *   - Memory: kx_decode allocates one window of KX_DECODE_WINDOW_BYTES
 *     (256 KiB) for the call, whatever the picture's size, and frees it
 *     before returning; kx_decode_with_window uses the caller's instead and
 *     allocates no window (a decode on two threads allocates the thread and
 *     the signal that wakes it; without them it runs on one thread);
 *     kx_decode_ex asked for two threads without a window of the caller's
 *     allocates one of 1 MiB instead.
 *     kx_encode allocates the writer's work memory (1.2 MB per thread,
 *     whatever the level), two stream buffers of 288 KiB per thread when it
 *     runs on several threads, and, for any layout other than top-down BGR
 *     rows without gaps, one converted copy of the picture; all of it is had
 *     before anything is written and freed before it returns. An allocation
 *     that fails gives KX_ERR_OUT_OF_MEMORY, with nothing written to dst or
 *     *file_bytes.
 *   - Threads: the library keeps no global state; any number of calls may
 *     run at once on any threads. A decode asked for two threads
 *     (kx_decode_options) starts one that stores the rows 16 KiB of output
 *     or more behind the caller's thread, which decodes the stream; left to
 *     the library, a decode runs on the caller's thread (a second one did
 *     not pay at the sizes measured). A one-thread decode of a large picture may
 *     start one short-lived thread that faults in the pages holding the
 *     output's rows while the caller's thread decodes; it never touches a
 *     byte between rows, so padding may lie on protected pages (on Linux it
 *     has the kernel fault them in, from Linux 5.14, and does nothing
 *     before). Encoding on several threads starts them. Where a thread
 *     cannot be started, the work is done without it, with the same result.
 *     Every thread has ended when the call returns. On Linux, a decode into
 *     a buffer of 4 MiB or more advises the kernel to back its aligned
 *     interior with huge pages (madvise), which makes its first touch
 *     several times cheaper; the advice changes nothing else.
 *   - No call ends the process, throws, or writes anything anywhere but the
 *     buffers it is given.
 *
 * Compiles as C99 and as C++. Every name is prefixed kx_ or KX_.
 */
#ifndef KX_H
#define KX_H

#include <stddef.h>
#include <stdint.h>

#define KX_VERSION_MAJOR 1
#define KX_VERSION_MINOR 0
#define KX_VERSION_PATCH 0
/* 10000 x major + 100 x minor + patch: 10000 for 1.0.0. */
#define KX_VERSION_NUMBER (KX_VERSION_MAJOR * 10000 + KX_VERSION_MINOR * 100 + KX_VERSION_PATCH)
#define KX_VERSION_STRING "1.0.0"

#if defined(_WIN32) && defined(KX_DLL)
#define KX_API __declspec(dllimport)
#else
#define KX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Results ------------------------------------------------------------ */

typedef enum kx_result {
  KX_OK = 0,
  /* A header refused (kx_probe, kx_decode). */
  KX_ERR_TRUNCATED_HEADER = 1, /* fewer than the header's 16 bytes */
  KX_ERR_NOT_KX = 2,           /* the first two bytes are not "KX" */
  KX_ERR_CODING = 3,           /* recognition only: coding byte other than 0x83 */
  KX_ERR_BYTES_PER_PIXEL = 4,  /* recognition only: bytes per pixel other than 3 */
  KX_ERR_SIDE_RANGE = 5,       /* recognition only: width or height outside 1..8192 */
  KX_ERR_NO_PIXELS = 6,        /* a width or height of 0 or less */
  KX_ERR_TOO_LARGE = 7,        /* the picture's bitmap would exceed 256 MiB */
  /* Arguments refused; nothing was read or written. */
  KX_ERR_NULL_POINTER = 8,
  KX_ERR_BAD_LAYOUT = 9,
  KX_ERR_BAD_STRIDE = 10,       /* stride smaller than a row */
  KX_ERR_BUFFER_TOO_SMALL = 11, /* the output buffer cannot hold the picture or the file */
  KX_ERR_BAD_SIZE = 12,         /* encoding: width or height outside 1..8192 */
  KX_ERR_BAD_LEVEL = 13,        /* encoding: level outside 0..9, decode_speed outside 0..9 */
  KX_ERR_BAD_STRUCT_SIZE = 14,  /* a record's struct_bytes is smaller than its first version */
  KX_ERR_WINDOW_TOO_SMALL = 15, /* below KX_MIN_DECODE_WINDOW_BYTES */
  /* The system. */
  KX_ERR_OUT_OF_MEMORY = 16,
  /* Decoding in pieces. */
  KX_ERR_FINISHED = 17 /* a push after kx_decoder_finish */
} kx_result;

/* One line of English for a result code, for messages: never NULL, also for
 * codes this version does not know. The text is a constant. */
KX_API const char* kx_result_text(int result);

/* The library's version at run time: KX_VERSION_NUMBER and
 * KX_VERSION_STRING of the build that made it. */
KX_API unsigned kx_version_number(void);
KX_API const char* kx_version_string(void);

/* ---- Probing ------------------------------------------------------------ */

#define KX_HEADER_BYTES 16
/* The coding byte of every file a writer makes and the recognition test
 * accepts: bit 7 (0x80) asks for the delta step; 0x03 is the same stream
 * without it. */
#define KX_ACCEPTED_CODING 0x83
#define KX_DELTA_CODING_BIT 0x80
/* The largest width and height the recognition test and the writer accept. */
#define KX_MAX_SIDE 8192

/* What the header says, and what readers make of it. The caller sets
 * struct_bytes to sizeof(kx_info); a later version of the library that adds
 * fields writes no further than struct_bytes. */
typedef struct kx_info {
  size_t struct_bytes;
  int32_t width; /* as the header states them: signed 16-bit fields */
  int32_t height;
  uint8_t coding; /* the coding byte: 0x83 in every file a writer makes;
                     bit 7 asks for the delta step */
  uint8_t bytes_per_pixel;
  /* The recognition test, the one an import plug-in's IsSupported gives:
   * "KX", coding byte 0x83, 3 bytes per pixel, sides 1..8192. KX_OK or the
   * first reason it fails (KX_ERR_TRUNCATED_HEADER, KX_ERR_NOT_KX,
   * KX_ERR_CODING, KX_ERR_BYTES_PER_PIXEL, KX_ERR_SIDE_RANGE). */
  kx_result recognition;
  /* Whether kx_decode proceeds: the signature and sides above 0, within the
   * 256 MiB cap; nothing else of the header is tested, so some pictures
   * that the recognition test refuses still decode. KX_OK or
   * KX_ERR_TRUNCATED_HEADER, KX_ERR_NOT_KX, KX_ERR_NO_PIXELS,
   * KX_ERR_TOO_LARGE. */
  kx_result decoding;
  /* The most bytes of a file, header included, that decoding such a picture
   * can read: anything after it is never looked at, so a caller reading a
   * file (or a picture inside a container) needs no more. 0 without a
   * picture (sides of 0 or less, or no header). */
  uint64_t max_input_bytes;
} kx_info;

/* A kx_info ready for kx_probe: kx_info info = KX_INFO_INIT; */
#define KX_INFO_INIT \
  { sizeof(kx_info), 0, 0, 0, 0, KX_OK, KX_OK, 0 }

/* Reads the header in head[0, head_bytes) (only the first 16 bytes are
 * looked at) into *info. Returns info->decoding, or KX_ERR_NULL_POINTER /
 * KX_ERR_BAD_STRUCT_SIZE, when *info is left as it was. head may be NULL
 * when head_bytes is 0. */
KX_API kx_result kx_probe(const void* head, size_t head_bytes, kx_info* info);

/* ---- Layouts ------------------------------------------------------------ */

typedef enum kx_layout {
  /* Blue, green, red; rows from the bottom of the picture up, as a Windows
   * device-independent bitmap keeps them (the row at the lowest address is
   * the picture's last). */
  KX_LAYOUT_BGR_BOTTOM_UP = 0,
  /* Rows from the top down, 3 bytes per pixel. */
  KX_LAYOUT_BGR = 1,
  KX_LAYOUT_RGB = 2,
  /* Rows from the top down, 4 bytes per pixel, alpha 255. */
  KX_LAYOUT_RGBA = 3,
  KX_LAYOUT_BGRA = 4
} kx_layout;

/* 3 or 4; 0 for a value that is no layout. */
KX_API size_t kx_layout_pixel_bytes(int layout);

/* The usual stride of a width-pixel row: padded to a multiple of 4 bytes for
 * KX_LAYOUT_BGR_BOTTOM_UP (a Windows bitmap's rows), width x pixel bytes for
 * the others. 0 for a width outside 1..32767 or a bad layout. */
KX_API size_t kx_default_stride(int32_t width, int layout);

/* The 256 MiB cap (KX_ERR_TOO_LARGE) is on the picture's 24-bit bitmap,
 * rows of 3 x width bytes padded to a multiple of 4, whatever the layout
 * decoded into. A picture under it needs at most 256 MiB in
 * KX_LAYOUT_BGR_BOTTOM_UP at its default stride and in BGR and RGB without
 * gaps, and at most 4/3 of that, about 341.3 MiB, in RGBA and BGRA (sides
 * above 8192 decode too: 32767 x 2730 takes 341.2 MiB as RGBA); a wider
 * stride needs what kx_buffer_bytes says. */

/* Bytes a buffer of height rows needs at stride_bytes: (height - 1) x
 * stride_bytes and one row of pixels (the last row needs no padding).
 * 0 when an argument is out of range, the stride is below a row, or the
 * size would exceed UINT64_MAX (a stride no buffer could follow). */
KX_API uint64_t kx_buffer_bytes(int32_t width, int32_t height, int layout, size_t stride_bytes);

/* ---- Decoding ----------------------------------------------------------- */

/* The window kx_decode allocates, and the smallest one
 * kx_decode_with_window accepts (smaller windows only slide more often). */
#define KX_DECODE_WINDOW_BYTES (256UL * 1024UL)
#define KX_MIN_DECODE_WINDOW_BYTES (72UL * 1024UL)

typedef struct kx_decode_report {
  size_t struct_bytes; /* set by the caller: sizeof(kx_decode_report) */
  int32_t width;
  int32_t height;
  /* 1 when the stream held the whole picture; 0 when it ended early and
   * the rest was completed as readers complete it (the last decoded pixel
   * repeated for delta-coded files, black otherwise). */
  int complete;
  /* Whole pixels the stream itself produced: width x height when
   * complete. */
  uint64_t decoded_pixels;
} kx_decode_report;

#define KX_DECODE_REPORT_INIT \
  { sizeof(kx_decode_report), 0, 0, 0, 0 }

/* Decodes the KX file in src[0, src_bytes) into dst, height rows of width
 * pixels in `layout`, stride_bytes apart (see kx_buffer_bytes for the room
 * needed; dst_bytes says how much there is). Headers are taken as
 * kx_info.decoding says. A damaged stream is not an error: the picture is
 * completed and the report says so. report may be NULL; when given, it is
 * filled on KX_OK.
 *
 * Results: KX_OK; a header's refusal; KX_ERR_NULL_POINTER, KX_ERR_BAD_LAYOUT,
 * KX_ERR_BAD_STRIDE, KX_ERR_BUFFER_TOO_SMALL, KX_ERR_BAD_STRUCT_SIZE (of the
 * report), KX_ERR_OUT_OF_MEMORY (the window), with nothing written. */
KX_API kx_result kx_decode(const void* src, size_t src_bytes, int layout, void* dst, size_t stride_bytes,
                           size_t dst_bytes, kx_decode_report* report);

/* The same with the caller's window (at least KX_MIN_DECODE_WINDOW_BYTES;
 * what it holds before and after does not matter; it must not overlap src
 * or dst): allocates nothing. KX_ERR_WINDOW_TOO_SMALL for a smaller one. */
KX_API kx_result kx_decode_with_window(const void* src, size_t src_bytes, int layout, void* dst, size_t stride_bytes,
                                       size_t dst_bytes, void* window, size_t window_bytes, kx_decode_report* report);

/* What kx_decode_ex is asked for beyond kx_decode's arguments. The caller
 * sets struct_bytes to sizeof(kx_decode_options); a later version of the
 * library reads no further than struct_bytes. */
typedef struct kx_decode_options {
  size_t struct_bytes;
  /* 0: the library decides: today the calling thread alone, at every size
   * (two threads were slower than one at every size measured, natively
   * and under Wine; a later version may take two where they pay). 1: the
   * calling thread alone. 2 or more: two threads whatever the picture's
   * size (the caller's, and one started for the call), in every build but
   * WebAssembly's. The pixels are the same whatever the number, and where
   * a thread cannot be started the calling thread does all the work, with
   * the same result. */
  unsigned threads;
  /* NULL: the library allocates KX_DECODE_WINDOW_BYTES for the call, as
   * kx_decode does (1 MiB on two threads); else the caller's window, as
   * kx_decode_with_window takes it (at least KX_MIN_DECODE_WINDOW_BYTES). */
  void* window;
  size_t window_bytes;
} kx_decode_options;

/* The defaults, those of kx_decode: kx_decode_options o = KX_DECODE_OPTIONS_INIT; */
#define KX_DECODE_OPTIONS_INIT \
  { sizeof(kx_decode_options), 0, NULL, 0 }

/* kx_decode with options (NULL: the defaults, kx_decode itself). kx_decode
 * and kx_decode_with_window leave the number of threads to the library.
 * Results: those of kx_decode; KX_ERR_BAD_STRUCT_SIZE (of the options);
 * KX_ERR_WINDOW_TOO_SMALL for a caller's window below the minimum. */
KX_API kx_result kx_decode_ex(const void* src, size_t src_bytes, int layout, void* dst, size_t stride_bytes,
                              size_t dst_bytes, const kx_decode_options* options, kx_decode_report* report);

/* ---- Decoding in pieces ------------------------------------------------- */

/* A decoder that takes the file as it arrives, in pieces of any size down to
 * one byte, and says after each piece how many rows are final. Whatever the
 * split, the pixels and the report are those kx_decode gives for the whole
 * file, damaged files included.
 *
 *   kx_decoder* d;
 *   kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
 *   o.layout = KX_LAYOUT_RGBA; o.dst = pixels; o.stride_bytes = ...; o.dst_bytes = ...;
 *   kx_decoder_create(head, head_bytes, &o, &d);    head: the file's first bytes
 *   while (more) kx_decoder_push(d, piece, piece_bytes, &rows_final);
 *   kx_decoder_finish(d, &report);                    completes what is missing
 *   kx_decoder_destroy(d);
 *
 * The pushes carry the file from its first byte, header included (the
 * decoder skips the 16 header bytes it was created with; what they hold
 * there is not looked at). Every push writes what it decoded, each byte
 * once and with its final value: rows become final from the top of the
 * picture down (the delta step makes a row final only once every byte
 * before it is decoded), the row in progress may already hold its first
 * pixels, and the rows below it are untouched (finish writes all that
 * remain). A final row is never written again. Bytes pushed after the
 * picture is full are never read. Memory: one allocation of
 * KX_DECODE_WINDOW_BYTES (state and window together) unless the caller
 * gives its own window, when none. One decoder is used by one thread at a
 * time; any number of decoders may run at once. */
typedef struct kx_decoder kx_decoder;

typedef struct kx_decoder_options {
  size_t struct_bytes; /* set by the caller: sizeof(kx_decoder_options) */
  int layout;
  void* dst;
  size_t stride_bytes;
  size_t dst_bytes;
  /* NULL for the decoder's own; else at least KX_MIN_DECODER_WINDOW_BYTES
   * (16-byte aligned is best; any alignment works), not overlapping dst or
   * the pieces, untouched by the caller until kx_decoder_destroy. The
   * decoder's state lives inside it. */
  void* window;
  size_t window_bytes;
} kx_decoder_options;

#define KX_DECODER_OPTIONS_INIT \
  { sizeof(kx_decoder_options), KX_LAYOUT_BGR, NULL, 0, 0, NULL, 0 }

/* The smallest caller's window kx_decoder_create accepts: the history of
 * kx_decode_with_window's window and the decoder's state. */
#define KX_MIN_DECODER_WINDOW_BYTES (KX_MIN_DECODE_WINDOW_BYTES + 4096UL)

/* Reads the header from head[0, head_bytes) (at least its 16 bytes) and
 * starts a decoder for it into options->dst. Refuses what kx_decode refuses,
 * with the same results, and KX_ERR_WINDOW_TOO_SMALL; *decoder is set on
 * KX_OK only. Nothing is written to dst before the first push. */
KX_API kx_result kx_decoder_create(const void* head, size_t head_bytes, const kx_decoder_options* options,
                                   kx_decoder** decoder);

/* Takes the next bytes of the file (bytes may be NULL when byte_count is
 * 0), reading bytes[0, byte_count) only and keeping nothing of them but the
 * token they may end inside. *rows_final (may be NULL) becomes the number
 * of rows, counted from the top of the picture, that hold their final
 * pixels: never fewer than after the push before. KX_ERR_NULL_POINTER (with
 * nothing read); KX_ERR_FINISHED after kx_decoder_finish, with nothing read
 * and *rows_final the height. */
KX_API kx_result kx_decoder_push(kx_decoder* decoder, const void* bytes, size_t byte_count, int32_t* rows_final);

/* Ends the stream where it is: completes the picture as kx_decode completes
 * a file that ends there, makes every row final and fills *report (may be
 * NULL) as kx_decode would. Calling it again changes nothing and fills the
 * report again. KX_ERR_NULL_POINTER; KX_ERR_BAD_STRUCT_SIZE for a report
 * smaller than its first version, when nothing is done (the decoder may
 * still be pushed to and finished). */
KX_API kx_result kx_decoder_finish(kx_decoder* decoder, kx_decode_report* report);

/* Frees what kx_decoder_create allocated (nothing for a caller's window).
 * NULL is fine. dst keeps whatever was written. */
KX_API void kx_decoder_destroy(kx_decoder* decoder);

/* ---- Encoding ----------------------------------------------------------- */

#define KX_MIN_LEVEL 1
#define KX_MAX_LEVEL 9
#define KX_DEFAULT_LEVEL 6

/* Files without the delta step (coding byte 0x03): readers' recognition
 * tests refuse them, so this is for testing decoders only. */
#define KX_ENCODE_NO_DELTA 1u

typedef struct kx_encode_options {
  size_t struct_bytes; /* set by the caller: sizeof(kx_encode_options) */
  /* 1 (fastest) to 9 (smallest file); 0 for KX_DEFAULT_LEVEL. */
  int level;
  /* Threads to parse on; 0 and 1 mean the calling thread alone. The file is
   * byte for byte the same whatever the number. */
  unsigned threads;
  unsigned flags; /* KX_ENCODE_NO_DELTA, or 0 */
  /* 0: tokens chosen for the smallest file the level finds. 1 to
   * KX_MAX_DECODE_SPEED: a file that decodes faster for some more bytes,
   * the more so the higher the value; the parse prices each token by its
   * bits and the decoder's time for it, with level 9's search and writing
   * time whatever the level. Every reader reads the file. Added after the
   * first version: a caller whose struct_bytes ends before it gets 0. */
  int decode_speed;
} kx_encode_options;

#define KX_MAX_DECODE_SPEED 9

/* The defaults: KX_DEFAULT_LEVEL, one thread, the delta step, decode speed
 * 0. */
#define KX_ENCODE_OPTIONS_INIT \
  { sizeof(kx_encode_options), 0, 0, 0, 0 }

/* The largest file kx_encode writes for a width x height picture, header
 * included; 0 when a side is outside 1..8192. Below 2^28. */
KX_API uint64_t kx_encode_bound(int32_t width, int32_t height);

/* Encodes height rows of width pixels in `layout` (stride_bytes apart,
 * alpha ignored) from pixels[0, pixels_bytes) into a whole KX file at dst,
 * and stores its length in *file_bytes. pixels_bytes must be at least
 * kx_buffer_bytes(width, height, layout, stride_bytes), dst_bytes at least
 * kx_encode_bound(width, height). options may be NULL: the default level
 * on the calling thread.
 *
 * Results: KX_OK; KX_ERR_NULL_POINTER, KX_ERR_BAD_SIZE, KX_ERR_BAD_LAYOUT,
 * KX_ERR_BAD_STRIDE, KX_ERR_BAD_LEVEL (level or decode_speed),
 * KX_ERR_BAD_STRUCT_SIZE,
 * KX_ERR_BUFFER_TOO_SMALL (pixels or dst), with nothing written;
 * KX_ERR_OUT_OF_MEMORY, when dst may hold a partial file. */
KX_API kx_result kx_encode(const void* pixels, size_t pixels_bytes, int32_t width, int32_t height, int layout,
                           size_t stride_bytes, const kx_encode_options* options, void* dst, size_t dst_bytes,
                           size_t* file_bytes);

#ifdef __cplusplus
}
#endif

#endif /* KX_H */
