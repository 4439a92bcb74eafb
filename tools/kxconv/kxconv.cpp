// kxconv: converts between KX pictures and PNG, BMP or PPM, and tells what
// a KX file holds. Decoding and encoding go through the public library
// (kx.h), whose decoder is the plug-in's, so the output is exactly what a
// viewer shows. Run `kxconv --help` for the commands.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch_pool.h"
#include "image_io.h"
#include "kx.h"
#include "output_file.h"
#include "platform_files.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// ParseArgs' answer when it printed the help: nothing more to do.
constexpr int kHelpShown = -1;

constexpr std::size_t kHeaderBytes = KX_HEADER_BYTES;
constexpr std::int32_t kMaxDimension = KX_MAX_SIDE;
// -j takes at most this many threads.
constexpr unsigned kMaxThreads = 256;

const char kHelp[] =
    "usage: kxconv decode [--format png|bmp|ppm] [--name NAME] IN.kx|- OUT.png|OUT.bmp|OUT.ppm\n"
    "       kxconv decode -o DIR [--format png|bmp|ppm] [--skip-existing] [--verify] IN.kx...\n"
    "       kxconv encode [--level N] [--decode-speed N] [--no-delta] [-j N] [--format kx] [--name NAME] [--verify]\n"
    "              IN OUT.kx\n"
    "       kxconv encode -o DIR [--level N] [--decode-speed N] [--no-delta] [-j N] [--skip-existing]\n"
    "              [--verify] IN...\n"
    "       kxconv info FILE...\n"
    "\n"
    "Converts between KX pictures and PNG, BMP (24-bit) or PPM (binary P6).\n"
    "\n"
    "decode   Decodes each KX file with the plug-in's decoder, exactly as a\n"
    "         viewer shows it, and writes that picture. OUT's extension\n"
    "         chooses the format; with -o, each IN.kx becomes DIR/IN.png (or the\n"
    "         --format given). Files the plug-in's recognition test refuses are\n"
    "         not converted. A stream that ends early is still converted, as a\n"
    "         viewer shows it, with a warning. IN - reads the picture from\n"
    "         standard input (a pipe), decoding it piece by piece as it comes.\n"
    "encode   Writes each picture as a KX file. IN may be PNG (8-bit RGB or\n"
    "         RGBA; palette, grey and 16-bit are converted, alpha is dropped),\n"
    "         BMP (24-bit) or PPM (P6, maxval 255), told apart by content, and\n"
    "         on Windows also JPEG, TIFF or GIF. With -o, each IN becomes\n"
    "         DIR/IN.kx. Pictures wider or taller than 8192 pixels are refused:\n"
    "         no reader accepts them.\n"
    "         --level N   1 (fastest) to 9 (smallest); default 6\n"
    "         --decode-speed N  0 to 9: files that decode faster for some more\n"
    "                     bytes, the more so the higher N (written at level\n"
    "                     9's speed whatever the level); default 0, none.\n"
    "         --no-delta  skip the delta step (coding byte 0x03). Readers refuse\n"
    "                     such files; they are for testing decoders.\n"
    "         -j N        use N threads (default: one per core). With -o and at\n"
    "                     least N pictures, N pictures are encoded at once;\n"
    "                     with fewer, each picture's parts are shared out. The\n"
    "                     files are the same whatever N is.\n"
    "--format With one IN and one OUT: decode writes this format whatever OUT's\n"
    "         name; encode --format kx takes any OUT name (programs that\n"
    "         convert through kxconv name their files freely).\n"
    "--name   With one IN and one OUT: the name messages give IN, for a\n"
    "         program that hands kxconv a copy of the user's file.\n"
    "--linked-output  OUT is a link that such a program made in its temporary\n"
    "         folder to the file it moves OUT to afterwards: refused when that\n"
    "         file is on another file system, where the move would fail.\n"
    "--skip-existing  (decode, encode) leaves an output that already exists\n"
    "         as it is and does not convert its input: a run that was stopped,\n"
    "         or that failed for some files, is simply run again. Outputs only\n"
    "         ever appear complete, so one that exists is whole.\n"
    "--verify (decode, encode) reads each output back before it is put in\n"
    "         place and checks it: a KX file must hold exactly the bytes\n"
    "         encoded, which must decode to the picture; a decoded picture\n"
    "         must read back as the pixels decoded. A file that fails is not\n"
    "         written.\n"
    "info     Prints one line per file: whether the recognition test accepts\n"
    "         it, the coding byte, width x height, the stream's length, and\n"
    "         what decoding gives: complete, or where the stream ends early.\n"
    "\n"
    "Outputs are written to a temporary file in the same folder and renamed\n"
    "into place when complete; a failed conversion leaves no output behind.\n"
    "With several files, a progress line is shown on stderr when it is a\n"
    "terminal.\n"
    "\n"
    "Exit status: 0 when every file succeeded; 1 when any file failed (for\n"
    "info: could not be read, is not recognised, or its stream ends early);\n"
    "2 on bad usage.\n";

enum class Command { kDecode, kEncode, kInfo };

struct Options {
  Command command = Command::kInfo;
  std::vector<std::string> paths;
  std::string out_dir;  // empty: single IN OUT form
  ImageFormat format = ImageFormat::kPng;
  bool format_given = false;
  std::string name;  // what messages call the one input; empty: its path
  bool linked_output = false;
  kx_encode_options encode = KX_ENCODE_OPTIONS_INIT;
  unsigned threads = 1;
  bool skip_existing = false;
  bool verify = false;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kxconv: %s\nTry 'kxconv --help' for more information.\n", message.c_str());
  return kExitUsage;
}

// A one-line progress display, kept on stderr only when it is a terminal.
struct Progress {
  bool shown = false;
  std::size_t count = 0;
};

void ShowProgress(Progress* progress, std::size_t index, const std::string& path) {
  if (!progress->shown) return;
  std::fprintf(stderr, "\r\033[Kkxconv: [%zu/%zu] %s", index + 1, progress->count, path.c_str());
  std::fflush(stderr);
}

void ClearProgress(const Progress& progress) {
  if (progress.shown) std::fputs("\r\033[K", stderr);
}

void Report(const Progress& progress, const std::string& path, const std::string& message) {
  ClearProgress(progress);
  std::fprintf(stderr, "kxconv: %s: %s\n", path.c_str(), message.c_str());
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
  std::FILE* in = OpenInputFile(path, error);
  if (in == nullptr) return false;
  bytes->clear();
  // The size only to reserve memory: pipes have none, and are read all the same.
  bool ok = true;
  if (std::fseek(in, 0, SEEK_END) == 0) {
    const long size_bytes = std::ftell(in);
    ok = std::fseek(in, 0, SEEK_SET) == 0;
    if (ok && size_bytes > 0) bytes->reserve(static_cast<std::size_t>(size_bytes));
  }
  std::uint8_t chunk[65536];
  std::size_t got = 0;
  while (ok && (got = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
  ok = ok && std::ferror(in) == 0;
  if (!ok) *error = std::string("cannot read: ") + std::strerror(errno);
  std::fclose(in);
  return ok;
}

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
  return text;
}

// Why the recognition test refuses a header, in its own order of checks;
// empty when it accepts it.
std::string RecognitionProblem(const kx_info& info) {
  switch (info.recognition) {
    case KX_OK: return "";
    case KX_ERR_NOT_KX: return "no \"KX\" mark at the start";
    case KX_ERR_CODING:
      if (info.coding == (KX_ACCEPTED_CODING & ~KX_DELTA_CODING_BIT)) {
        return "coding byte 0x03, written without the delta step; readers accept only " + Hex2(KX_ACCEPTED_CODING);
      }
      return "coding byte " + Hex2(info.coding) + "; readers accept only " + Hex2(KX_ACCEPTED_CODING);
    case KX_ERR_BYTES_PER_PIXEL:
      return std::to_string(info.bytes_per_pixel) + " bytes per pixel; readers accept only 3";
    case KX_ERR_SIDE_RANGE:
      if (info.width < 1 || info.width > kMaxDimension) {
        return "width " + std::to_string(info.width) + " outside 1..8192";
      }
      return "height " + std::to_string(info.height) + " outside 1..8192";
    default: break;
  }
  return kx_result_text(info.recognition);
}

std::string EndedEarly(std::uint64_t decoded_pixels, std::size_t pixels) {
  return "stream ended early at pixel " + std::to_string(decoded_pixels) + " of " + std::to_string(pixels);
}

// Decodes a KX file as a viewer shows it: refused unless the recognition
// test accepts it (as a viewer asks IsSupported first), then one decode with
// the plug-in's decoder into top-down rows, completed as the plug-in
// completes a stream that ends early. *report says whether it did.
// The recognition test on the first head_bytes of a file, and the picture
// it announces sized in *image.
bool StartKxImage(const std::uint8_t* head, std::size_t head_bytes, Image* image, std::string* error) {
  kx_info info = KX_INFO_INIT;
  kx_probe(head, head_bytes, &info);
  if (info.recognition == KX_ERR_TRUNCATED_HEADER) {
    *error = "not a KX picture: " + std::to_string(head_bytes) + " bytes, shorter than the 16-byte header";
    return false;
  }
  if (info.recognition != KX_OK) {
    *error = "not recognised as a KX picture (" + RecognitionProblem(info) + ")";
    return false;
  }
  image->width = info.width;
  image->height = info.height;
  image->bgr.resize(kx_default_stride(info.width, KX_LAYOUT_BGR) * static_cast<std::size_t>(info.height));
  return true;
}

bool DecodeKx(const std::vector<std::uint8_t>& file, Image* image, kx_decode_report* report, std::string* error) {
  if (!StartKxImage(file.data(), file.size(), image, error)) return false;
  const std::size_t stride_bytes = kx_default_stride(image->width, KX_LAYOUT_BGR);
  const kx_result result =
      kx_decode(file.data(), file.size(), KX_LAYOUT_BGR, image->bgr.data(), stride_bytes, image->bgr.size(), report);
  if (result != KX_OK) {
    *error = std::string("cannot decode: ") + kx_result_text(result);
    return false;
  }
  return true;
}

// The same picture from a stream read in pieces as they come (standard
// input, a pipe), decoded piece by piece: the file is never held whole.
// Everything up to the end of the stream is read, so that the program
// writing it never finds the pipe closed.
bool DecodeKxPieces(std::FILE* in, Image* image, kx_decode_report* report, std::string* error) {
  std::vector<std::uint8_t> piece(std::size_t{64} << 10);
  std::size_t head_bytes = 0;
  for (std::size_t got = 1; head_bytes < kHeaderBytes && got > 0; head_bytes += got) {
    got = std::fread(piece.data() + head_bytes, 1, piece.size() - head_bytes, in);
  }
  if (std::ferror(in) != 0) {
    *error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  if (!StartKxImage(piece.data(), head_bytes, image, error)) return false;
  kx_decoder_options options = KX_DECODER_OPTIONS_INIT;
  options.layout = KX_LAYOUT_BGR;
  options.dst = image->bgr.data();
  options.stride_bytes = kx_default_stride(image->width, KX_LAYOUT_BGR);
  options.dst_bytes = image->bgr.size();
  kx_decoder* decoder = nullptr;
  kx_result result = kx_decoder_create(piece.data(), head_bytes, &options, &decoder);
  for (std::size_t got = head_bytes; result == KX_OK && got > 0; got = std::fread(piece.data(), 1, piece.size(), in)) {
    result = kx_decoder_push(decoder, piece.data(), got, nullptr);
  }
  if (result == KX_OK && std::ferror(in) != 0) {
    *error = std::string("cannot read: ") + std::strerror(errno);
    kx_decoder_destroy(decoder);
    return false;
  }
  if (result == KX_OK) result = kx_decoder_finish(decoder, report);
  kx_decoder_destroy(decoder);
  if (result != KX_OK) {
    *error = std::string("cannot decode: ") + kx_result_text(result);
    return false;
  }
  return true;
}

// With a check (verify), the temporary file is read back once written and
// handed to it; the output is put in place only when the check passes.
using CheckFn = bool (*)(const std::vector<std::uint8_t>& written, const void* expected, std::string* error);

template <typename WriteFn>
bool WriteOutput(const std::string& path, WriteFn write, std::string* error, CheckFn check = nullptr,
                 const void* expected = nullptr) {
  PendingFile pending;
  if (!BeginOutput(path, &pending, error)) return false;
  if (!write(pending.file, error)) {
    AbandonOutput(&pending);
    return false;
  }
  if (check != nullptr) {
    std::vector<std::uint8_t> written;
    const bool flushed = std::fflush(pending.file) == 0;
    if (!flushed || !ReadWholeFile(pending.temp_path, &written, error) || !check(written, expected, error)) {
      if (!flushed) *error = "cannot write the output";
      AbandonOutput(&pending);
      return false;
    }
  }
  return CommitOutput(&pending, error);
}

// The picture file written reads back as the pixels decoded.
bool SamePicture(const std::vector<std::uint8_t>& written, const void* expected, std::string* error) {
  const Image& image = *static_cast<const Image*>(expected);
  Image back;
  if (!DecodeImageFile(written, &back, error) || back.width != image.width || back.height != image.height ||
      back.bgr != image.bgr) {
    *error = "verification failed: the file written does not read back as the picture decoded";
    return false;
  }
  return true;
}

// The KX file written holds exactly the bytes encoded (which EncodeToMemory
// checked decode to the picture).
bool SameBytes(const std::vector<std::uint8_t>& written, const void* expected, std::string* error) {
  if (written != *static_cast<const std::vector<std::uint8_t>*>(expected)) {
    *error = "verification failed: the KX file written does not hold the bytes encoded";
    return false;
  }
  return true;
}

bool DecodeOne(const std::string& in, const std::string& out, ImageFormat format, bool verify, std::string* error,
               std::string* warning) {
  std::vector<std::uint8_t> file;
  Image image;
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  if (in == "-") {
    if (!DecodeKxPieces(StandardInput(), &image, &report, error)) return false;
  } else if (!ReadWholeFile(in, &file, error) || !DecodeKx(file, &image, &report, error)) {
    return false;
  }
  if (report.complete == 0) {
    *warning = "warning: " + EndedEarly(report.decoded_pixels, image.bgr.size() / 3) + "; written as a viewer shows it";
  }
  file = {};
  return WriteOutput(
      out, [&](std::FILE* f, std::string* e) { return EncodeImageFile(f, format, image, e); }, error,
      verify ? SamePicture : nullptr, &image);
}

// Reads a picture and encodes it to KX in memory on `threads` threads;
// with verify, decodes the result again and compares it with the picture.
bool EncodeToMemory(const std::string& in, kx_encode_options options, unsigned threads, bool verify,
                    std::vector<std::uint8_t>* kx, std::string* error) {
  options.threads = threads;
  std::vector<std::uint8_t> file;
  if (!ReadWholeFile(in, &file, error)) return false;
  Image image;
  if (!DecodeImageFile(file, &image, error)) return false;
  file = {};
  kx->resize(static_cast<std::size_t>(kx_encode_bound(image.width, image.height)));
  std::size_t kx_bytes = 0;
  const kx_result result =
      kx_encode(image.bgr.data(), image.bgr.size(), image.width, image.height, KX_LAYOUT_BGR,
                std::size_t{3} * static_cast<std::size_t>(image.width), &options, kx->data(), kx->size(), &kx_bytes);
  if (result != KX_OK) {
    *error = std::string("the KX writer refused the picture: ") + kx_result_text(result);
    return false;
  }
  kx->resize(kx_bytes);
  kx->shrink_to_fit();
  if (verify) {
    std::vector<std::uint8_t> back(image.bgr.size());
    kx_decode_report report = KX_DECODE_REPORT_INIT;
    const std::size_t stride_bytes = std::size_t{3} * static_cast<std::size_t>(image.width);
    if (kx_decode(kx->data(), kx->size(), KX_LAYOUT_BGR, back.data(), stride_bytes, back.size(), &report) != KX_OK ||
        report.complete == 0 || back != image.bgr) {
      *error = "verification failed: the KX file encoded does not decode to the picture";
      return false;
    }
  }
  return true;
}

bool WriteKx(const std::string& out, const std::vector<std::uint8_t>& kx, bool verify, std::string* error) {
  return WriteOutput(
      out,
      [&](std::FILE* f, std::string* e) {
        if (std::fwrite(kx.data(), 1, kx.size(), f) == kx.size()) return true;
        *e = "cannot write the KX file";
        return false;
      },
      error, verify ? SameBytes : nullptr, &kx);
}

bool EncodeOne(const std::string& in, const std::string& out, const kx_encode_options& options, unsigned threads,
               bool verify, std::string* error) {
  std::vector<std::uint8_t> kx;
  return EncodeToMemory(in, options, threads, verify, &kx, error) && WriteKx(out, kx, verify, error);
}

// One line about a KX file on stdout. True when it is a picture readers
// accept and its stream is complete.
bool InfoOne(const std::string& path, std::string* error) {
  std::vector<std::uint8_t> file;
  if (!ReadWholeFile(path, &file, error)) return false;
  if (file.size() < kHeaderBytes) {
    std::printf("%s: not recognised (only %zu bytes, shorter than the 16-byte header)\n", path.c_str(), file.size());
    return false;
  }
  kx_info info = KX_INFO_INIT;
  kx_probe(file.data(), file.size(), &info);
  const bool recognised = info.recognition == KX_OK;
  std::string line = path + ": ";
  line += recognised ? std::string("recognised") : "not recognised (" + RecognitionProblem(info) + ")";
  line += ", coding " + Hex2(info.coding) + ", " + std::to_string(info.width) + " x " + std::to_string(info.height) +
          ", stream " + std::to_string(file.size() - kHeaderBytes) + " bytes, ";
  bool complete = false;
  if (info.width < 1 || info.width > kMaxDimension || info.height < 1 || info.height > kMaxDimension) {
    line += "not decoded (size outside 1..8192)";
  } else if (info.decoding != KX_OK) {
    line += std::string("not decoded (") + kx_result_text(info.decoding) + ")";
  } else {
    // A file without the delta step (coding 0x03) decodes too, as the
    // plug-in decodes it when asked; only the pixel count matters here.
    Image image;
    kx_decode_report report = KX_DECODE_REPORT_INIT;
    const std::size_t stride_bytes = kx_default_stride(info.width, KX_LAYOUT_BGR);
    image.bgr.resize(stride_bytes * static_cast<std::size_t>(info.height));
    const kx_result result =
        kx_decode(file.data(), file.size(), KX_LAYOUT_BGR, image.bgr.data(), stride_bytes, image.bgr.size(), &report);
    if (result != KX_OK) {
      *error = std::string("cannot decode: ") + kx_result_text(result);
      return false;
    }
    complete = report.complete != 0;
    line += complete ? std::string("complete") : EndedEarly(report.decoded_pixels, image.bgr.size() / 3);
  }
  std::printf("%s\n", line.c_str());
  return recognised && complete;
}

std::string OutputIn(const std::string& dir, const std::string& in, const char* extension) {
  const std::size_t slash = in.find_last_of(kPathSeparators);
  std::string stem = slash == std::string::npos ? in : in.substr(slash + 1);
  const std::size_t dot = stem.find_last_of('.');
  if (dot != std::string::npos && dot > 0) stem.resize(dot);
  const bool ends_in_separator = !dir.empty() && std::strchr(kPathSeparators, dir.back()) != nullptr;
  return (dir.empty() || ends_in_separator ? dir : dir + "/") + stem + extension;
}

// Parses everything after the command word. Returns kExitOk to go on,
// kHelpShown, or kExitUsage after printing a usage error.
int ParseArgs(const std::vector<std::string>& argv, Options* options) {
  const std::size_t argc = argv.size();
  bool options_done = false;
  for (std::size_t a = 2; a < argc; ++a) {
    const std::string& arg = argv[a];
    const bool has_value = a + 1 < argc;
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      options->paths.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return kHelpShown;
    } else if (arg == "-o" && options->command != Command::kInfo) {
      if (!has_value) return UsageError("-o needs a folder");
      options->out_dir = argv[++a];
      if (options->out_dir.empty()) return UsageError("-o needs a folder");
    } else if (arg == "--format" && options->command == Command::kDecode) {
      if (!has_value) return UsageError("--format needs png, bmp or ppm");
      options->format = FormatFromName(std::string(".") + argv[++a]);
      options->format_given = true;
      if (options->format == ImageFormat::kUnknown) return UsageError("--format must be png, bmp or ppm");
    } else if (arg == "--format" && options->command == Command::kEncode) {
      if (!has_value || argv[a + 1] != "kx") return UsageError("encode writes KX only: --format kx");
      ++a;
      options->format_given = true;
    } else if (arg == "--linked-output" && options->command != Command::kInfo) {
      options->linked_output = true;
    } else if (arg == "--name" && options->command != Command::kInfo) {
      if (!has_value) return UsageError("--name needs a name");
      options->name = argv[++a];  // empty: the input's path, as without it
    } else if (arg == "--level" && options->command == Command::kEncode) {
      if (!has_value) return UsageError("--level needs a number from 1 to 9");
      const std::string& value = argv[++a];
      if (value.size() != 1 || value[0] < '1' || value[0] > '9') {
        return UsageError("--level must be a number from 1 to 9, not '" + value + "'");
      }
      options->encode.level = value[0] - '0';
    } else if (arg == "--decode-speed" && options->command == Command::kEncode) {
      if (!has_value) return UsageError("--decode-speed needs a number from 0 to 9");
      const std::string& value = argv[++a];
      if (value.size() != 1 || value[0] < '0' || value[0] > '0' + KX_MAX_DECODE_SPEED) {
        return UsageError("--decode-speed must be a number from 0 to 9, not '" + value + "'");
      }
      options->encode.decode_speed = value[0] - '0';
    } else if (arg == "-j" && options->command == Command::kEncode) {
      const std::string value = has_value ? argv[++a] : "";
      char* end = nullptr;
      const unsigned long n = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || value[0] < '0' || value[0] > '9' || *end != '\0' || n < 1 || n > kMaxThreads) {
        return UsageError("-j needs a number of threads from 1 to " + std::to_string(kMaxThreads));
      }
      options->threads = static_cast<unsigned>(n);
    } else if (arg == "--skip-existing" && options->command != Command::kInfo) {
      options->skip_existing = true;
    } else if (arg == "--verify" && options->command != Command::kInfo) {
      options->verify = true;
    } else if (arg == "--no-delta" && options->command == Command::kEncode) {
      options->encode.flags |= KX_ENCODE_NO_DELTA;
    } else {
      return UsageError("unknown option '" + arg + "' for this command");
    }
  }
  if (options->paths.empty()) return UsageError("no input files");
  if (options->command == Command::kInfo) return kExitOk;
  if (options->out_dir.empty()) {
    if (options->paths.size() != 2) return UsageError("give one input and one output, or -o DIR with the inputs");
    const ImageFormat out_format = FormatFromName(options->paths[1]);
    if (options->command == Command::kDecode && !options->format_given) {
      if (out_format == ImageFormat::kUnknown) {
        return UsageError("the output name must end in .png, .bmp or .ppm (or give --format): " + options->paths[1]);
      }
      options->format = out_format;
    }
    // A KX file named .png is what a converter's "a.png x.kx" mistake
    // makes; only --format kx says that the name is meant.
    if (options->command == Command::kEncode && !options->format_given && out_format != ImageFormat::kUnknown) {
      return UsageError("the output of encode is a KX file; give it a .kx name, not " + options->paths[1]);
    }
  } else {
    if (!options->name.empty()) return UsageError("--name goes with one input and one output");
    if (!IsExistingFolder(options->out_dir)) {
      return UsageError("-o " + options->out_dir + ": not an existing folder");
    }
  }
  return kExitOk;
}

using Job = std::pair<std::string, std::string>;  // input, output

// One conversion, with its messages; the first input of two that would be
// written to the same output is the one that gets it.
struct Outcome {
  bool ok = false;
  std::string error;
  std::string warning;
};

Outcome ConvertOne(const Options& options, const Job& job, unsigned threads, const std::set<std::string>& written) {
  Outcome o;
  if (written.count(job.second) != 0) {
    o.error = "would overwrite " + job.second + ", written from another input in this run";
    return o;
  }
  const std::string elsewhere = options.linked_output ? LinkedOutputElsewhere(job.second) : "";
  if (!elsewhere.empty()) {
    o.error = "not written: the program that runs kxconv would move the file from its temporary folder to " +
              elsewhere +
              ", on another file system, and lose it (ImageMagick: set MAGICK_TEMPORARY_PATH to a "
              "folder on that file system)";
    return o;
  }
  try {
    o.ok = options.command == Command::kDecode
               ? DecodeOne(job.first, job.second, options.format, options.verify, &o.error, &o.warning)
               : EncodeOne(job.first, job.second, options.encode, threads, options.verify, &o.error);
  } catch (const std::bad_alloc&) {
    o.error = "out of memory";
  }
  return o;
}

// Encodes several pictures at once, one thread each (batch_pool.h), while
// the calling thread writes the finished files and reports in the inputs'
// order: the outputs, the messages and which of two inputs wins an output
// name are what a one-thread run gives.
int EncodeBatch(const Options& options, const std::vector<Job>& jobs, Progress* progress) {
  std::vector<bool> later_duplicate(jobs.size());  // an earlier input has the same output: the caller's to refuse
  std::set<std::string> seen;
  for (std::size_t k = 0; k < jobs.size(); ++k) later_duplicate[k] = !seen.insert(jobs[k].second).second;
  std::set<std::string> written;
  int status = kExitOk;
  RunBatch(
      jobs.size(), options.threads, later_duplicate,
      [&](std::size_t k) {
        BatchResult r;
        try {
          r.ok = EncodeToMemory(jobs[k].first, options.encode, 1, options.verify, &r.bytes, &r.error);
        } catch (const std::bad_alloc&) {
          r = BatchResult{};
          r.error = "out of memory";
        }
        return r;
      },
      [&](std::size_t k) { ShowProgress(progress, k, jobs[k].first); },
      [&](std::size_t k, BatchResult* r) {
        Outcome o;
        if (r == nullptr) {
          o = ConvertOne(options, jobs[k], options.threads, written);
        } else {
          o.ok = r->ok;
          o.error = r->error;
          try {
            if (o.ok) o.ok = WriteKx(jobs[k].second, r->bytes, options.verify, &o.error);
          } catch (const std::bad_alloc&) {
            o.ok = false;
            o.error = "out of memory";
          }
        }
        if (o.ok) written.insert(jobs[k].second);
        if (!o.ok) {
          Report(*progress, jobs[k].first, o.error);
          status = kExitFailed;
        }
      });
  return status;
}

int RunConversions(const Options& options) {
  InstallOutputCleanup();
  std::vector<Job> jobs;
  if (options.out_dir.empty()) {
    jobs.emplace_back(options.paths[0], options.paths[1]);
  } else {
    const char* extension = options.command == Command::kDecode ? FormatExtension(options.format) : ".kx";
    for (const std::string& in : options.paths) jobs.emplace_back(in, OutputIn(options.out_dir, in, extension));
  }
  // What exists is whole (outputs appear only complete): its input is left
  // out of the run altogether.
  std::size_t skipped = 0;
  if (options.skip_existing) {
    std::vector<Job> to_do;
    for (Job& job : jobs) {
      std::string unused;
      std::FILE* existing = OpenInputFile(job.second, &unused);
      if (existing != nullptr) {
        std::fclose(existing);
        ++skipped;
      } else {
        to_do.push_back(std::move(job));
      }
    }
    jobs = std::move(to_do);
  }
  Progress progress;
  progress.shown = StderrIsTerminal();
  progress.count = jobs.size();
  int status = kExitOk;
  // With at least as many pictures as threads, whole pictures go to the
  // threads; otherwise each picture's stretches are shared out.
  if (options.command == Command::kEncode && jobs.size() >= options.threads && options.threads > 1) {
    status = EncodeBatch(options, jobs, &progress);
  } else {
    std::set<std::string> written;
    for (std::size_t k = 0; k < jobs.size(); ++k) {
      const std::string& shown = options.name.empty() ? jobs[k].first : options.name;
      ShowProgress(&progress, k, shown);
      const Outcome o = ConvertOne(options, jobs[k], options.threads, written);
      if (o.ok) written.insert(jobs[k].second);
      if (!o.warning.empty()) Report(progress, shown, o.warning);
      if (!o.ok) {
        Report(progress, shown, o.error);
        status = kExitFailed;
      }
    }
  }
  ClearProgress(progress);
  if (skipped != 0) std::fprintf(stderr, "kxconv: %zu output(s) already there, skipped\n", skipped);
  return status;
}

int RunInfo(const Options& options) {
  int status = kExitOk;
  for (const std::string& path : options.paths) {
    std::string error;
    bool ok = false;
    try {
      ok = InfoOne(path, &error);
    } catch (const std::bad_alloc&) {
      error = "out of memory";
    }
    std::fflush(stdout);
    if (!error.empty()) Report(Progress{}, path, error);
    if (!ok) status = kExitFailed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv_given) {
  std::vector<std::string> argv;
  if (!ProgramArguments(argc, argv_given, &argv)) {
    std::fprintf(stderr, "kxconv: cannot read the command line\n");
    return kExitUsage;
  }
  if (argv.size() < 2) return UsageError("no command");
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  Options options;
  const unsigned cores = std::thread::hardware_concurrency();
  options.threads = cores == 0 ? 1 : std::min(cores, kMaxThreads);
  if (command == "decode") {
    options.command = Command::kDecode;
  } else if (command == "encode") {
    options.command = Command::kEncode;
  } else if (command == "info") {
    options.command = Command::kInfo;
  } else {
    return UsageError("unknown command '" + command + "'");
  }
  const int parsed = ParseArgs(argv, &options);
  if (parsed == kHelpShown) return kExitOk;
  if (parsed != kExitOk) return parsed;
  return options.command == Command::kInfo ? RunInfo(options) : RunConversions(options);
}
