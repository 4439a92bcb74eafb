// PNG on Windows through the Windows Imaging Component, so that no libpng is
// built for Windows; WIC also reads JPEG, TIFF and GIF as encode inputs.
//
// Pictures of 8-bit samples (and palettes) are read as 32bppBGRA and their
// alpha dropped: WIC converts them to that format everywhere (Wine's WIC
// cannot take several of them to 24bppBGR directly). Pictures of 16-bit
// samples are read as they are and taken to 8 bits here, rounded as the
// libpng reader of the other build scales them: WIC's converter (Wine's at
// least) keeps the high byte, which gave about half the samples one less
// than the same picture read by kxconv elsewhere.
#include <objbase.h>
#include <wincodec.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "image_io.h"

namespace {

// COM for the calling thread, for as long as one conversion lasts: encode
// batches read pictures on several threads at once.
struct ComScope {
  bool initialised = false;
  ComScope() : initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComScope() {
    if (initialised) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
};

// An interface pointer released at the end of its scope.
template <typename T>
struct Held {
  T* p = nullptr;
  Held() = default;
  ~Held() {
    if (p != nullptr) p->Release();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  T** out() { return &p; }
  T* operator->() const { return p; }
};

std::string Problem(const char* what, HRESULT hr) {
  char text[96];
  std::snprintf(text, sizeof text, "%s (WIC error 0x%08lX)", what, static_cast<unsigned long>(hr));
  return text;
}

bool CreateFactory(Held<IWICImagingFactory>* factory, std::string* error) {
  const HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                      reinterpret_cast<void**>(factory->out()));
  if (FAILED(hr)) *error = Problem("the Windows Imaging Component is not available", hr);
  return SUCCEEDED(hr);
}

// The 16-bit formats read without WIC's converter: samples per pixel and
// where red, green and blue are among them (all three at 0 for grey).
struct SixteenBitFormat {
  const GUID* format;
  unsigned samples;
  unsigned red_at;
  unsigned green_at;
  unsigned blue_at;
};

constexpr SixteenBitFormat kSixteenBitFormats[] = {
    {&GUID_WICPixelFormat48bppRGB, 3, 0, 1, 2},  {&GUID_WICPixelFormat48bppBGR, 3, 2, 1, 0},
    {&GUID_WICPixelFormat64bppRGBA, 4, 0, 1, 2}, {&GUID_WICPixelFormat64bppBGRA, 4, 2, 1, 0},
    {&GUID_WICPixelFormat64bppRGB, 4, 0, 1, 2},  {&GUID_WICPixelFormat16bppGray, 1, 0, 0, 0},
};

const SixteenBitFormat* FindSixteenBitFormat(const WICPixelFormatGUID& format) {
  for (const SixteenBitFormat& known : kSixteenBitFormats) {
    if (IsEqualGUID(format, *known.format)) return &known;
  }
  return nullptr;
}

// v * 255 / 65535 to the nearest, as libpng's png_set_scale_16 gives it
// (never a tie: that would need v = 257 k + 128.5).
std::uint8_t ScaleSixteenBits(std::uint16_t v) {
  return static_cast<std::uint8_t>((std::uint32_t{v} * 255 + 32767) / 65535);
}

// The frame's 16-bit samples (WIC's, in the machine's order) as 8-bit BGR.
HRESULT CopySixteenBitPixels(IWICBitmapSource* frame, const SixteenBitFormat& layout, UINT width, UINT height,
                             Image* image) {
  const UINT stride_bytes = 2 * layout.samples * width;
  std::vector<std::uint16_t> samples(std::size_t{layout.samples} * width * height);
  const HRESULT hr = frame->CopyPixels(nullptr, stride_bytes, static_cast<UINT>(samples.size() * 2),
                                       reinterpret_cast<BYTE*>(samples.data()));
  if (FAILED(hr)) return hr;
  image->bgr.resize(std::size_t{3} * width * height);
  std::uint8_t* out = image->bgr.data();
  for (std::size_t at = 0; at < samples.size(); at += layout.samples) {
    out[0] = ScaleSixteenBits(samples[at + layout.blue_at]);
    out[1] = ScaleSixteenBits(samples[at + layout.green_at]);
    out[2] = ScaleSixteenBits(samples[at + layout.red_at]);
    out += 3;
  }
  return S_OK;
}

}  // namespace

bool DecodeWithWic(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error) {
  const ComScope com;
  Held<IWICImagingFactory> factory;
  if (!CreateFactory(&factory, error)) return false;
  if (bytes.size() > 0xFFFFFFFFu) {
    *error = "too large to read";
    return false;
  }
  Held<IWICStream> stream;
  HRESULT hr = factory->CreateStream(stream.out());
  if (SUCCEEDED(hr)) {
    hr = stream->InitializeFromMemory(const_cast<BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
  }
  Held<IWICBitmapDecoder> decoder;
  if (SUCCEEDED(hr))
    hr = factory->CreateDecoderFromStream(stream.p, nullptr, WICDecodeMetadataCacheOnDemand, decoder.out());
  Held<IWICBitmapFrameDecode> frame;
  if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.out());
  UINT width = 0;
  UINT height = 0;
  if (SUCCEEDED(hr)) hr = frame->GetSize(&width, &height);
  if (FAILED(hr)) {
    *error = Problem("cannot read the picture", hr);
    return false;
  }
  // The size is known before any pixel memory is taken: the caller refuses
  // an oversized picture from it.
  image->width = static_cast<std::int32_t>(width > 0x7FFFFFFFu ? 0x7FFFFFFFu : width);
  image->height = static_cast<std::int32_t>(height > 0x7FFFFFFFu ? 0x7FFFFFFFu : height);
  if (width == 0 || height == 0 || image->width > kMaxImageSide || image->height > kMaxImageSide) {
    *error = "an empty or oversized picture";
    return false;
  }
  WICPixelFormatGUID source_format{};
  hr = frame->GetPixelFormat(&source_format);
  const SixteenBitFormat* sixteen_bit = SUCCEEDED(hr) ? FindSixteenBitFormat(source_format) : nullptr;
  if (sixteen_bit != nullptr) {
    hr = CopySixteenBitPixels(frame.p, *sixteen_bit, width, height, image);
    if (FAILED(hr)) *error = Problem("cannot read the picture's pixels", hr);
    return SUCCEEDED(hr);
  }
  Held<IWICBitmapSource> bgra;
  hr = WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.p, bgra.out());
  const UINT stride_bytes = 4 * width;
  std::vector<std::uint8_t> pixels;
  if (SUCCEEDED(hr)) {
    pixels.resize(std::size_t{stride_bytes} * height);
    hr = bgra->CopyPixels(nullptr, stride_bytes, static_cast<UINT>(pixels.size()), pixels.data());
  }
  if (FAILED(hr)) {
    *error = Problem("cannot convert the picture's pixels", hr);
    return false;
  }
  image->bgr.resize(std::size_t{3} * width * height);
  std::uint8_t* out = image->bgr.data();
  for (std::size_t at = 0; at < pixels.size(); at += 4) {
    out[0] = pixels[at];
    out[1] = pixels[at + 1];
    out[2] = pixels[at + 2];
    out += 3;
  }
  return true;
}

bool DecodePng(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error) {
  return DecodeWithWic(bytes, image, error);
}

bool EncodePng(std::FILE* out, const Image& image, std::string* error) {
  const ComScope com;
  Held<IWICImagingFactory> factory;
  if (!CreateFactory(&factory, error)) return false;
  const auto width = static_cast<UINT>(image.width);
  const auto height = static_cast<UINT>(image.height);
  const UINT stride_bytes = 3 * width;
  // Encoded into memory first and written with the C library, so that the
  // output goes through the same temporary file as every other format.
  Held<IStream> memory;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, memory.out());
  Held<IWICBitmapEncoder> encoder;
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.out());
  if (SUCCEEDED(hr)) hr = encoder->Initialize(memory.p, WICBitmapEncoderNoCache);
  Held<IWICBitmapFrameEncode> frame;
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.out(), nullptr);
  if (SUCCEEDED(hr)) hr = frame->Initialize(nullptr);
  if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  if (SUCCEEDED(hr)) {
    hr = frame->WritePixels(height, stride_bytes, static_cast<UINT>(image.bgr.size()),
                            const_cast<BYTE*>(image.bgr.data()));
  }
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  HGLOBAL global = nullptr;
  if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(memory.p, &global);
  STATSTG stat = {};
  if (SUCCEEDED(hr)) hr = memory->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) {
    *error = Problem("cannot encode the PNG", hr);
    return false;
  }
  const auto png_bytes = static_cast<std::size_t>(stat.cbSize.QuadPart);
  const void* data = GlobalLock(global);
  const bool written = data != nullptr && std::fwrite(data, 1, png_bytes, out) == png_bytes;
  if (data != nullptr) GlobalUnlock(global);
  if (!written) *error = "cannot write the PNG";
  return written;
}
