// kxwic.dll through Wine's own WIC (windowscodecs), registered in this
// build's prefix with regsvr32 before the test runs: every picture against
// the plug-in's GetPicture, flipped top-down; rectangles, strides and the
// conversions a thumbnailer makes; refused inputs and arguments; the
// decoder's stream handling tested on its class directly; threads; leaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>

#include "kx.h"
#include "tests/support/kx_build.h"
#include "wic/tests/wic_support.h"

namespace {

// IWICBitmapSourceTransform, which the MinGW headers lack.
constexpr IID kSourceTransformIid = {0x3b16811b, 0x6a43, 0x4ec9, {0xb7, 0x13, 0x3d, 0x5a, 0x0c, 0x13, 0xb9, 0x40}};

// Pictures of widths that pad a bitmap's rows in each way (3 bytes x 1, 2,
// 3 and 5 pixels) and a few larger ones, from valid random streams.
std::vector<std::pair<std::string, Bytes>> GeneratedPictures() {
  std::mt19937 rng(19);
  std::vector<std::pair<std::string, Bytes>> out;
  for (const auto& [w, h] : {std::pair{1, 1}, {2, 3}, {3, 5}, {5, 7}, {131, 17}, {257, 255}, {1001, 3}}) {
    const Bytes stream = RandomTokenStream(rng, std::size_t(w) * h * 3);
    out.emplace_back("random-" + std::to_string(w) + "x" + std::to_string(h) + ".kx", MakeKx(w, h, stream));
  }
  // A stream cut short: completed as the plug-in completes it.
  Bytes cut = MakeKx(63, 40, RandomTokenStream(rng, 63 * 40 * 3));
  cut.resize(cut.size() / 2);
  out.emplace_back("random-cut-63x40.kx", cut);
  return out;
}

std::vector<std::pair<std::string, Bytes>> AllPictures() {
  std::vector<std::pair<std::string, Bytes>> out = GeneratedPictures();
  for (const auto& entry : std::filesystem::directory_iterator(DataDir() / "decode")) {
    if (entry.path().extension() == ".kx")
      out.emplace_back(entry.path().filename().string(), ReadFileBytes(entry.path()));
  }
  return out;
}

HRESULT DecoderFromMemory(const Bytes& file, Com<IWICStream>* stream, Com<IWICBitmapDecoder>* decoder) {
  HRESULT hr = Factory()->CreateStream(stream->Out());
  if (SUCCEEDED(hr)) hr = (*stream)->InitializeFromMemory(const_cast<BYTE*>(file.data()), DWORD(file.size()));
  if (SUCCEEDED(hr)) {
    hr = Factory()->CreateDecoderFromStream(stream->get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder->Out());
  }
  return hr;
}

// A decoder made by the factory from a memory stream, with its frame; the
// stream and decoder live as long as the frame is used.
struct MemoryFrame {
  Com<IWICStream> stream;
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
};

HRESULT FrameFromMemory(const Bytes& file, MemoryFrame* open) {
  HRESULT hr = DecoderFromMemory(file, &open->stream, &open->decoder);
  if (SUCCEEDED(hr)) hr = open->decoder->GetFrame(0, open->frame.Out());
  return hr;
}

void ExpectSamePicture(const WicPicture& got, const TopDown& want) {
  ASSERT_EQ(got.hr, S_OK);
  EXPECT_EQ(got.width, want.width);
  EXPECT_EQ(got.height, want.height);
  EXPECT_TRUE(IsEqualGUID(got.format, GUID_WICPixelFormat24bppBGR));
  EXPECT_TRUE(got.pixels == want.pixels) << "pixels differ from GetPicture's";
}

TEST(WicDecode, EveryPictureByNameAndFromMemoryIsGetPictureTopDown) {
  int checked = 0;
  for (const auto& [name, file] : AllPictures()) {
    SCOPED_TRACE(name);
    const TopDown want = PluginPicture(file);
    ASSERT_EQ(want.result, 0);
    const std::string path = WriteTempFile(name, file);
    Com<IWICBitmapDecoder> by_name;
    ASSERT_EQ(Factory()->CreateDecoderFromFilename(Wide(path).c_str(), nullptr, GENERIC_READ,
                                                   WICDecodeMetadataCacheOnDemand, by_name.Out()),
              S_OK);
    ExpectSamePicture(CopyWholeFrame(by_name.get()), want);

    Com<IWICStream> stream;
    Com<IWICBitmapDecoder> from_memory;
    ASSERT_EQ(DecoderFromMemory(file, &stream, &from_memory), S_OK);
    ExpectSamePicture(CopyWholeFrame(from_memory.get()), want);

    GUID container{};
    UINT frames = 0;
    EXPECT_EQ(from_memory->GetContainerFormat(&container), S_OK);
    EXPECT_TRUE(IsEqualGUID(container, kKxContainerFormat));
    EXPECT_EQ(from_memory->GetFrameCount(&frames), S_OK);
    EXPECT_EQ(frames, 1u);
    Com<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(from_memory->GetFrame(0, frame.Out()), S_OK);
    double dpi_x = 0;
    double dpi_y = 0;
    EXPECT_EQ(frame->GetResolution(&dpi_x, &dpi_y), S_OK);
    EXPECT_EQ(dpi_x, 96.0);
    EXPECT_EQ(dpi_y, 96.0);
    UINT contexts = 7;
    EXPECT_EQ(frame->GetColorContexts(0, nullptr, &contexts), S_OK);
    EXPECT_EQ(contexts, 0u);
    Com<IWICBitmapSource> none;
    Com<IWICMetadataQueryReader> reader;
    Com<IUnknown> transform;
    EXPECT_EQ(frame->GetThumbnail(none.Out()), WINCODEC_ERR_CODECNOTHUMBNAIL);
    EXPECT_EQ(frame->CopyPalette(nullptr), WINCODEC_ERR_PALETTEUNAVAILABLE);
    EXPECT_EQ(frame->GetMetadataQueryReader(reader.Out()), WINCODEC_ERR_UNSUPPORTEDOPERATION);
    EXPECT_EQ(frame->QueryInterface(kSourceTransformIid, transform.OutVoid()), E_NOINTERFACE);
    EXPECT_EQ(from_memory->GetPreview(none.Out()), WINCODEC_ERR_UNSUPPORTEDOPERATION);
    EXPECT_EQ(from_memory->GetMetadataQueryReader(reader.Out()), WINCODEC_ERR_UNSUPPORTEDOPERATION);
    EXPECT_EQ(from_memory->GetFrame(1, frame.Out()), WINCODEC_ERR_FRAMEMISSING);
    ++checked;
  }
  EXPECT_GE(checked, 18);
}

// Rectangles at every edge and corner, single rows and columns, at a stride
// larger than the rectangle's row: each copied rectangle is the reference's,
// and the bytes between rows and after the last are left alone.
TEST(WicDecode, RectanglesAndStridesCopyTheirPartOnly) {
  for (const auto& [name, file] : GeneratedPictures()) {
    SCOPED_TRACE(name);
    const TopDown want = PluginPicture(file);
    MemoryFrame open;
    ASSERT_EQ(FrameFromMemory(file, &open), S_OK);
    const Com<IWICBitmapFrameDecode>& frame = open.frame;
    const INT w = INT(want.width);
    const INT h = INT(want.height);
    const WICRect rects[] = {{0, 0, w, h},
                             {0, 0, 1, 1},
                             {w - 1, h - 1, 1, 1},
                             {w - 1, 0, 1, h},
                             {0, h - 1, w, 1},
                             {w / 2, h / 2, w - w / 2, h - h / 2},
                             {0, h / 3, w / 2 + 1, 1},
                             {w / 3, 0, std::max(1, w / 3), h}};
    for (const WICRect& r : rects) {
      SCOPED_TRACE(std::to_string(r.X) + "," + std::to_string(r.Y) + " " + std::to_string(r.Width) + "x" +
                   std::to_string(r.Height));
      for (UINT extra : {0u, 1u, 7u}) {
        const UINT row = UINT(r.Width) * 3;
        const UINT stride = row + extra;
        Bytes got(std::size_t(stride) * r.Height + 5, 0xA5);
        const UINT size = stride * UINT(r.Height - 1) + row;  // exactly enough
        ASSERT_EQ(frame->CopyPixels(&r, stride, size, got.data()), S_OK);
        for (INT y = 0; y < r.Height; ++y) {
          const BYTE* want_row = want.pixels.data() + (std::size_t(r.Y + y) * want.width + r.X) * 3;
          ASSERT_EQ(std::memcmp(got.data() + std::size_t(y) * stride, want_row, row), 0) << "row " << y;
          const BYTE* after = got.data() + std::size_t(y) * stride + row;
          const std::size_t gap = y + 1 < r.Height ? extra : got.size() - (std::size_t(y) * stride + row);
          ASSERT_TRUE(std::all_of(after, after + gap, [](BYTE b) { return b == 0xA5; })) << "after row " << y;
        }
      }
    }
  }
}

TEST(WicDecode, ConvertedTo32bppBGRAAndScaledAsAThumbnailerDoes) {
  for (const auto& [name, file] : AllPictures()) {
    SCOPED_TRACE(name);
    const TopDown want = PluginPicture(file);
    MemoryFrame open;
    ASSERT_EQ(FrameFromMemory(file, &open), S_OK);
    const Com<IWICBitmapFrameDecode>& frame = open.frame;

    Com<IWICBitmapSource> bgra;
    ASSERT_EQ(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.get(), bgra.Out()), S_OK);
    Bytes got(std::size_t(want.width) * want.height * 4);
    ASSERT_EQ(bgra->CopyPixels(nullptr, want.width * 4, UINT(got.size()), got.data()), S_OK);
    Bytes expected(got.size());
    for (std::size_t i = 0; i < std::size_t(want.width) * want.height; ++i) {
      std::memcpy(&expected[i * 4], &want.pixels[i * 3], 3);
      expected[i * 4 + 3] = 0xFF;
    }
    EXPECT_TRUE(got == expected);

    // The scaler over our frame against the same scaler over the reference
    // in a bitmap of WIC's own: the scaler reads rectangles of the frame
    // many times.
    const UINT longest = std::max(want.width, want.height);
    const UINT sw = std::max(1u, want.width * 256 / longest);
    const UINT sh = std::max(1u, want.height * 256 / longest);
    Com<IWICBitmap> reference;
    ASSERT_EQ(Factory()->CreateBitmapFromMemory(want.width, want.height, GUID_WICPixelFormat24bppBGR, want.width * 3,
                                                UINT(want.pixels.size()), const_cast<BYTE*>(want.pixels.data()),
                                                reference.Out()),
              S_OK);
    Bytes scaled[2];
    IWICBitmapSource* sources[2] = {bgra.get(), nullptr};
    Com<IWICBitmapSource> reference_bgra;
    ASSERT_EQ(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, reference.get(), reference_bgra.Out()), S_OK);
    sources[1] = reference_bgra.get();
    for (int i = 0; i < 2; ++i) {
      Com<IWICBitmapScaler> scaler;
      ASSERT_EQ(Factory()->CreateBitmapScaler(scaler.Out()), S_OK);
      ASSERT_EQ(scaler->Initialize(sources[i], sw, sh, WICBitmapInterpolationModeFant), S_OK);
      scaled[i].assign(std::size_t(sw) * sh * 4, 0);
      ASSERT_EQ(scaler->CopyPixels(nullptr, sw * 4, UINT(scaled[i].size()), scaled[i].data()), S_OK);
    }
    EXPECT_TRUE(scaled[0] == scaled[1]);
  }
}

std::wstring Text(HRESULT (STDMETHODCALLTYPE IWICBitmapCodecInfo::*get)(UINT, WCHAR*, UINT*),
                  IWICBitmapCodecInfo* info) {
  UINT length = 0;
  if (FAILED((info->*get)(0, nullptr, &length)) || length == 0) return L"(none)";
  std::wstring text(length, L'\0');
  if (FAILED((info->*get)(length, text.data(), &length))) return L"(failed)";
  text.resize(length > 0 ? length - 1 : 0);
  return text;
}

TEST(WicDecode, DecoderInfoIsTheRegisteredOne) {
  const Bytes file = ReadFileBytes(DataDir() / "decode" / "example-2x2.kx");
  Com<IWICStream> stream;
  Com<IWICBitmapDecoder> decoder;
  ASSERT_EQ(DecoderFromMemory(file, &stream, &decoder), S_OK);
  Com<IWICBitmapDecoderInfo> info;
  ASSERT_EQ(decoder->GetDecoderInfo(info.Out()), S_OK);
  CLSID clsid{};
  GUID container{};
  EXPECT_EQ(info->GetCLSID(&clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, kKxDecoderClsid));
  EXPECT_EQ(info->GetContainerFormat(&container), S_OK);
  EXPECT_TRUE(IsEqualGUID(container, kKxContainerFormat));
  EXPECT_TRUE(Text(&IWICBitmapCodecInfo::GetFriendlyName, info.get()) == L"KX Decoder");
  EXPECT_TRUE(Text(&IWICBitmapCodecInfo::GetFileExtensions, info.get()) == L".kx");
  EXPECT_TRUE(Text(&IWICBitmapCodecInfo::GetMimeTypes, info.get()) == L"image/x-kx");
  UINT formats = 0;
  ASSERT_EQ(info->GetPixelFormats(0, nullptr, &formats), S_OK);
  ASSERT_EQ(formats, 1u);
  GUID format{};
  ASSERT_EQ(info->GetPixelFormats(1, &format, &formats), S_OK);
  EXPECT_TRUE(IsEqualGUID(format, GUID_WICPixelFormat24bppBGR));
}

struct Refused {
  const char* name;
  Bytes file;
  HRESULT direct;  // Initialize on the decoder's class
};

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Through a factory, which matches patterns first, every one of these fails
// (under Wine with WINCODEC_ERR_COMPONENTNOTFOUND: it tries the other
// decoders after ours refuses); on the class directly each has its error.
TEST(WicErrors, RefusedInputsGiveTheirErrors) {
  const Bytes header = MakeHeader(4, 4);
  const std::vector<Refused> cases = {
      {"empty", {}, WINCODEC_ERR_UNKNOWNIMAGEFORMAT},
      {"one byte", {'K'}, WINCODEC_ERR_UNKNOWNIMAGEFORMAT},
      {"a line of text",
       {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e', '\n'},
       WINCODEC_ERR_UNKNOWNIMAGEFORMAT},
      {"kx in lower case", Concat({'k', 'x'}, Bytes(header.begin() + 2, header.end())),
       WINCODEC_ERR_UNKNOWNIMAGEFORMAT},
      {"the signature alone", {'K', 'X', 0x83, 0x03}, WINCODEC_ERR_BADHEADER},
      {"ten bytes", Bytes(header.begin(), header.begin() + 10), WINCODEC_ERR_BADHEADER},
      {"zero width", MakeKx(0, 10, {0, 1, 2}), WINCODEC_ERR_BADHEADER},
      {"zero height", MakeKx(10, 0, {0, 1, 2}), WINCODEC_ERR_BADHEADER},
      {"negative height", MakeKx(10, -3, {0, 1, 2}), WINCODEC_ERR_BADHEADER},
      {"32767 x 32767", MakeKx(32767, 32767, {0, 1, 2}), WINCODEC_ERR_IMAGESIZEOUTOFRANGE},
      {"10000 x 9000 (over the cap)", MakeKx(10000, 9000, {0}), WINCODEC_ERR_IMAGESIZEOUTOFRANGE},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.name);
    Com<IWICBitmapDecoder> decoder;
    ASSERT_EQ(CreateOurDecoder(&decoder), S_OK);
    TestStream* stream = TestStream::Make(c.file);
    EXPECT_EQ(decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand), c.direct);
    UINT frames = 0;
    Com<IWICBitmapFrameDecode> frame;
    EXPECT_EQ(decoder->GetFrameCount(&frames), WINCODEC_ERR_NOTINITIALIZED);
    EXPECT_EQ(decoder->GetFrame(0, frame.Out()), WINCODEC_ERR_NOTINITIALIZED);
    stream->Release();

    Com<IWICStream> memory;
    Com<IWICBitmapDecoder> through_factory;
    const HRESULT hr = DecoderFromMemory(c.file, &memory, &through_factory);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    // (A memory stream of no bytes cannot even be made.)
    if (c.direct == WINCODEC_ERR_UNKNOWNIMAGEFORMAT && !c.file.empty()) {
      EXPECT_EQ(hr, WINCODEC_ERR_COMPONENTNOTFOUND) << std::hex << hr;
    }
  }
  for (const auto& entry : std::filesystem::directory_iterator(DataDir() / "damaged")) {
    if (entry.path().extension() != ".kx") continue;  // Wine decodes the icon
    SCOPED_TRACE(entry.path().filename().string());
    Com<IWICBitmapDecoder> decoder;
    const std::string path = entry.path().string();
    EXPECT_TRUE(FAILED(Factory()->CreateDecoderFromFilename(Wide(path).c_str(), nullptr, GENERIC_READ,
                                                            WICDecodeMetadataCacheOnDemand, decoder.Out())));
  }
}

// Initialize reads the header alone; the rest is read in pieces when the
// pixels are first asked for, and a read that fails there fails that copy
// (the whole frame straight into the caller's rows, or the decoder's own
// picture for a rectangle), with the stream's error.
TEST(WicErrors, AFailingStreamGivesItsError) {
  const Bytes file = ReadFileBytes(DataDir() / "decode" / "gradient-333x129.kx");
  for (ULONGLONG fail_from : {0ull, 8ull, 16ull, 100ull, 70000ull, ULONGLONG(file.size() - 1)}) {
    for (const bool whole : {true, false}) {
      SCOPED_TRACE(std::to_string(fail_from) + (whole ? ", whole frame" : ", a rectangle"));
      Com<IWICBitmapDecoder> decoder;
      ASSERT_EQ(CreateOurDecoder(&decoder), S_OK);
      TestStream* stream = TestStream::Make(file);
      stream->FailReadsFrom(fail_from, STG_E_READFAULT);
      EXPECT_EQ(decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand),
                fail_from < 16 ? STG_E_READFAULT : S_OK);
      DWORD capability = 0;
      EXPECT_EQ(decoder->QueryCapability(stream, &capability), fail_from < 16 ? STG_E_READFAULT : S_OK);
      stream->Release();
      if (fail_from < 16) continue;
      Com<IWICBitmapFrameDecode> frame;
      ASSERT_EQ(decoder->GetFrame(0, frame.Out()), S_OK);
      const WICRect part = {1, 1, 10, 10};
      Bytes pixels(333 * 3 * 129);
      EXPECT_EQ(frame->CopyPixels(whole ? nullptr : &part, 333 * 3, UINT(pixels.size()), pixels.data()),
                STG_E_READFAULT);
    }
  }
}

TEST(WicErrors, BadCopyPixelsArgumentsWriteNothing) {
  const Bytes file = MakeKx(5, 4, RandomTokenStream(*std::make_unique<std::mt19937>(5).get(), 5 * 4 * 3));
  MemoryFrame open;
  ASSERT_EQ(FrameFromMemory(file, &open), S_OK);
  const Com<IWICBitmapFrameDecode>& frame = open.frame;
  struct Case {
    const char* name;
    WICRect rect;
    UINT stride;
    UINT size;
    bool null_buffer;
    HRESULT want;
  };
  const Case cases[] = {
      {"left of the picture", {-1, 0, 2, 2}, 15, 1000, false, E_INVALIDARG},
      {"above the picture", {0, -1, 2, 2}, 15, 1000, false, E_INVALIDARG},
      {"past the right edge", {4, 0, 2, 1}, 15, 1000, false, E_INVALIDARG},
      {"past the bottom edge", {0, 3, 1, 2}, 15, 1000, false, E_INVALIDARG},
      {"negative width", {1, 1, -1, 1}, 15, 1000, false, E_INVALIDARG},
      {"huge width", {1, 0, 0x7fffffff, 1}, 15, 1000, false, E_INVALIDARG},
      {"stride below a row", {0, 0, 5, 4}, 14, 1000, false, E_INVALIDARG},
      {"buffer one byte short", {0, 0, 5, 4}, 16, 16 * 3 + 15 - 1, false, WINCODEC_ERR_INSUFFICIENTBUFFER},
      {"no buffer", {0, 0, 5, 4}, 15, 1000, true, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer(1000, 0x5C);
    EXPECT_EQ(frame->CopyPixels(&c.rect, c.stride, c.size, c.null_buffer ? nullptr : buffer.data()), c.want);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](BYTE b) { return b == 0x5C; }));
  }
  Bytes exact(16 * 3 + 15, 0);
  const WICRect whole = {0, 0, 5, 4};
  EXPECT_EQ(frame->CopyPixels(&whole, 16, UINT(exact.size()), exact.data()), S_OK);
}

// What a factory does not do under Wine: QueryCapability, and Initialize on
// a stream left after leading bytes, on the class directly.
TEST(WicDirect, QueryCapabilityAndInitializeHandleTheStreamPosition) {
  const Bytes file = ReadFileBytes(DataDir() / "decode" / "tokens-64x67.kx");
  const TopDown want = PluginPicture(file);
  struct Case {
    const char* name;
    Bytes bytes;
    DWORD capability;
  };
  Bytes no_delta = file;
  no_delta[2] = 0x03;  // decodes, but is not what the recognition test accepts
  const Case cases[] = {
      {"a KX file", file, WICBitmapDecoderCapabilityCanDecodeAllImages},
      {"without the delta step", no_delta, 0},
      {"not KX", Bytes(100, 'x'), 0},
      {"empty", {}, 0},
      {"a header 8193 wide", MakeKx(8193, 1, {0}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (ULONGLONG at : {0ull, 3ull, 7ull, 16ull}) {
      Com<IWICBitmapDecoder> decoder;
      ASSERT_EQ(CreateOurDecoder(&decoder), S_OK);
      TestStream* stream = TestStream::Make(c.bytes);
      LARGE_INTEGER move;
      move.QuadPart = LONGLONG(at);
      stream->Seek(move, STREAM_SEEK_SET, nullptr);
      DWORD capability = 12345;
      EXPECT_EQ(decoder->QueryCapability(stream, &capability), S_OK);
      EXPECT_EQ(capability, c.capability);
      EXPECT_EQ(stream->position(), at);
      stream->Release();
    }
  }
  // Initialize from wherever the stream was left, on a file followed by
  // bytes that are no part of it: the whole picture, and no read past what
  // decoding can use.
  Bytes padded = file;
  padded.resize(file.size() + (4u << 20), 0xEE);
  kx_info info = KX_INFO_INIT;
  ASSERT_EQ(kx_probe(file.data(), file.size(), &info), KX_OK);
  for (ULONGLONG at : {0ull, 4ull, 7ull, 1000ull}) {
    SCOPED_TRACE(at);
    Com<IWICBitmapDecoder> decoder;
    ASSERT_EQ(CreateOurDecoder(&decoder), S_OK);
    TestStream* stream = TestStream::Make(padded);
    LARGE_INTEGER move;
    move.QuadPart = LONGLONG(at);
    stream->Seek(move, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand), S_OK);
    EXPECT_EQ(stream->furthest_read(), ULONGLONG{KX_HEADER_BYTES});  // the header alone, until pixels are asked for
    EXPECT_LT(info.max_input_bytes, padded.size());
    stream->Release();  // the decoder keeps a reference of its own
    ExpectSamePicture(CopyWholeFrame(decoder.get()), want);
    EXPECT_LE(stream->furthest_read(), info.max_input_bytes);
    EXPECT_EQ(decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand), WINCODEC_ERR_WRONGSTATE);
  }
}

TEST(WicThreads, TwoThreadsCopyOneFrameAtOnce) {
  const Bytes file = GeneratedPictures()[5].second;  // 257 x 255
  const TopDown want = PluginPicture(file);
  MemoryFrame open;
  ASSERT_EQ(FrameFromMemory(file, &open), S_OK);
  const Com<IWICBitmapFrameDecode>& frame = open.frame;
  int mismatches[2] = {0, 0};
  auto copy_many = [&](int t) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (int i = 0; i < 200; ++i) {
      const INT y = (i * 37 + t * 101) % INT(want.height);
      const WICRect r = {t, y, INT(want.width) - t, INT(want.height) - y};
      Bytes got(std::size_t(r.Width) * 3 * r.Height);
      if (frame->CopyPixels(&r, UINT(r.Width) * 3, UINT(got.size()), got.data()) != S_OK) {
        ++mismatches[t];
        continue;
      }
      for (INT row = 0; row < r.Height; ++row) {
        if (std::memcmp(got.data() + std::size_t(row) * r.Width * 3,
                        want.pixels.data() + (std::size_t(y + row) * want.width + t) * 3, std::size_t(r.Width) * 3)) {
          ++mismatches[t];
          break;
        }
      }
    }
    CoUninitialize();
  };
  std::thread first(copy_many, 0);
  std::thread second(copy_many, 1);
  first.join();
  second.join();
  EXPECT_EQ(mismatches[0], 0);
  EXPECT_EQ(mismatches[1], 0);
}

// Every file of the fuzzers' corpora, every sample and damaged file, and
// damaged copies of a sample (cut anywhere, bytes changed), on the class
// directly: decoded exactly when the plug-in's GetPicture decodes it, and
// then to its picture.
TEST(WicCorpus, FuzzCorpusAndDamagedFilesAgreeWithGetPicture) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (const char* corpus : {"decode", "plugin", "roundtrip"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(KX_FUZZ_CORPUS_DIR) / corpus)) {
      files.emplace_back(entry.path().string(), ReadFileBytes(entry.path()));
    }
  }
  for (const char* folder : {"damaged", "decode"}) {
    for (const auto& entry : std::filesystem::directory_iterator(DataDir() / folder)) {
      if (entry.path().extension() != ".bmp") files.emplace_back(entry.path().string(), ReadFileBytes(entry.path()));
    }
  }
  const Bytes sample = ReadFileBytes(DataDir() / "decode" / "tokens-64x67.kx");
  std::mt19937 rng(1919);
  for (int i = 0; i < 150; ++i) {
    Bytes damaged = sample;
    damaged.resize(rng() % (sample.size() + 1));
    for (int k = rng() % 4; k > 0 && !damaged.empty(); --k) damaged[rng() % damaged.size()] = BYTE(rng());
    files.emplace_back("damaged copy " + std::to_string(i), damaged);
  }
  int decoded = 0;
  int refused = 0;
  for (const auto& [name, file] : files) {
    SCOPED_TRACE(name);
    Com<IWICBitmapDecoder> decoder;
    ASSERT_EQ(CreateOurDecoder(&decoder), S_OK);
    TestStream* stream = TestStream::Make(file);
    const HRESULT hr = decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand);
    stream->Release();
    const TopDown want = PluginPicture(file);
    if (SUCCEEDED(hr)) {
      ++decoded;
      ASSERT_EQ(want.result, 0);
      ExpectSamePicture(CopyWholeFrame(decoder.get()), want);
    } else {
      ++refused;
      EXPECT_NE(want.result, 0) << std::hex << hr;
    }
  }
  std::printf("corpus, sample and damaged files: %d decoded, %d refused\n", decoded, refused);
  EXPECT_GT(decoded, 100);
  EXPECT_GT(refused, 20);
}

struct Usage {
  int handles = 0;
  SIZE_T committed_bytes = 0;
};

// Counted the long way, which works under Wine too (whose process counters
// read 0): every handle value that names an open handle, and every
// committed private page (heaps grow in these, and the picture and the
// window are such pages).
Usage Measure() {
  Usage u;
  for (std::uintptr_t h = 4; h < (1u << 16); h += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) ++u.handles;
  }
  MEMORY_BASIC_INFORMATION region;
  for (const BYTE* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
       at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) u.committed_bytes += region.RegionSize;
  }
  return u;
}

// A leak of anything per decode (the input, the picture, the window, a
// decoder or a frame, a handle, a thread) grows these by a thousand times
// its size.
TEST(WicLeaks, AThousandDecodesLeaveHandlesAndMemoryFlat) {
  const Bytes file = GeneratedPictures()[5].second;  // 257 x 255: 196 KB of picture
  const std::string path = WriteTempFile("leak-check.kx", file);
  auto decode = [&](int i) {
    Com<IWICStream> stream;
    Com<IWICBitmapDecoder> decoder;
    HRESULT hr = i % 2 == 0 ? DecoderFromMemory(file, &stream, &decoder)
                            : Factory()->CreateDecoderFromFilename(Wide(path).c_str(), nullptr, GENERIC_READ,
                                                                   WICDecodeMetadataCacheOnDemand, decoder.Out());
    if (FAILED(hr)) return false;
    // The whole frame (decoded into the caller's buffer), then a row (decoded
    // into the decoder's own picture).
    const WicPicture got = CopyWholeFrame(decoder.get());
    Com<IWICBitmapFrameDecode> frame;
    BYTE row[257 * 3];
    const WICRect last = {0, 254, 257, 1};
    return got.hr == S_OK && got.width == 257 && decoder->GetFrame(0, frame.Out()) == S_OK &&
           frame->CopyPixels(&last, sizeof row, sizeof row, row) == S_OK &&
           std::memcmp(row, got.pixels.data() + 254 * sizeof row, sizeof row) == 0;
  };
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(decode(i));
  const Usage before = Measure();
  int failed = 0;
  for (int i = 0; i < 1000; ++i) failed += decode(i) ? 0 : 1;
  const Usage after = Measure();
  EXPECT_EQ(failed, 0);
  std::printf("handles %d -> %d, committed private bytes %lu -> %lu\n", before.handles, after.handles,
              static_cast<unsigned long>(before.committed_bytes), static_cast<unsigned long>(after.committed_bytes));
  EXPECT_GT(before.handles, 0);
  EXPECT_GT(before.committed_bytes, 0u);
  EXPECT_LE(after.handles, before.handles + 2);
  EXPECT_LT(after.committed_bytes, before.committed_bytes + (4u << 20));
}

}  // namespace

namespace {

// The server's own entry points, from the DLL COM loaded (the same file,
// beside the test program): the class object, aggregation refused, other
// classes refused, and the DLL unloadable exactly while nothing of it lives.
TEST(WicServer, ClassObjectAndUnloading) {
  Factory();
  HMODULE dll = LoadLibraryW(L"kxwic.dll");
  ASSERT_NE(dll, nullptr);
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
  const auto get_class_object =
      reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  const auto can_unload_now =
      reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  ASSERT_NE(get_class_object, nullptr);
  ASSERT_NE(can_unload_now, nullptr);
  Com<IClassFactory> factory;
  EXPECT_EQ(get_class_object(kKxContainerFormat, IID_IClassFactory, factory.OutVoid()), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(get_class_object(kKxDecoderClsid, IID_IClassFactory, factory.OutVoid()), S_OK);
  EXPECT_EQ(can_unload_now(), S_OK);
  Com<IWICBitmapDecoder> decoder;
  EXPECT_EQ(
      factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.get()), IID_IWICBitmapDecoder, decoder.OutVoid()),
      CLASS_E_NOAGGREGATION);
  Com<IWICBitmapFrameDecode> wrong;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IWICBitmapFrameDecode, wrong.OutVoid()), E_NOINTERFACE);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IWICBitmapDecoder, decoder.OutVoid()), S_OK);
  EXPECT_EQ(can_unload_now(), S_FALSE);
  TestStream* stream = TestStream::Make(ReadFileBytes(DataDir() / "decode" / "example-2x2.kx"));
  ASSERT_EQ(decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand), S_OK);
  stream->Release();
  Com<IWICBitmapFrameDecode> frame;
  ASSERT_EQ(decoder->GetFrame(0, frame.Out()), S_OK);
  decoder.Reset();
  EXPECT_EQ(can_unload_now(), S_FALSE) << "the frame keeps the decoder";
  frame.Reset();
  EXPECT_EQ(can_unload_now(), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(can_unload_now(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(can_unload_now(), S_OK);
  FreeLibrary(dll);
}

}  // namespace

namespace {

bool KeyExists(const wchar_t* path, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// All or nothing: a registration whose last write fails (a volatile key
// where the Photo Viewer entry goes takes no lasting subkey) leaves nothing
// of itself, in either view; registering again once the obstacle is gone
// restores what the test fixture registered.
TEST(WicServer, ARegistrationThatFailsLeavesNothing) {
  const wchar_t* own = L"Software\\Classes\\CLSID\\{6B0F06AD-041E-4829-AC58-26F68853CC4C}";
  const wchar_t* photo_viewer = L"Software\\Microsoft\\Windows Photo Viewer";
  ASSERT_TRUE(KeyExists(own, 0)) << "the fixture registers the DLL";
  HMODULE dll = LoadLibraryW(L"kxwic.dll");
  ASSERT_NE(dll, nullptr);
  using ServerFn = HRESULT(STDAPICALLTYPE*)();
  const auto register_server =
      reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
  ASSERT_NE(register_server, nullptr);

  // The registration's key goes first (Wine has no Photo Viewer of its
  // own), so that the volatile key can take its place.
  HKEY microsoft = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &microsoft),
            ERROR_SUCCESS);
  RegDeleteTreeW(microsoft, L"Windows Photo Viewer");
  RegCloseKey(microsoft);
  HKEY obstacle = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, photo_viewer, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &obstacle, &disposition),
            ERROR_SUCCESS);
  RegCloseKey(obstacle);
  ASSERT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  EXPECT_EQ(register_server(), HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE));
  EXPECT_FALSE(KeyExists(own, 0));
  EXPECT_FALSE(
      KeyExists(L"Software\\Classes\\CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\{6B0F06AD-041E-4829-AC58-"
                L"26F68853CC4C}",
                0));
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\.kx", KEY_WOW64_64KEY));
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\SystemFileAssociations\\.kx", KEY_WOW64_64KEY));
  EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, photo_viewer, KEY_WOW64_64KEY, 0), ERROR_SUCCESS);

  EXPECT_EQ(register_server(), S_OK);
  EXPECT_TRUE(KeyExists(own, 0));
  EXPECT_TRUE(KeyExists(L"Software\\Classes\\.kx", KEY_WOW64_64KEY));
  FreeLibrary(dll);
}

}  // namespace
