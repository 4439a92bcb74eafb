#include "wic/tests/wic_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

IWICImagingFactory* Factory() {
  static IWICImagingFactory* factory = [] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IWICImagingFactory* f = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&f)))) {
      std::fprintf(stderr, "no WIC imaging factory\n");
      std::abort();
    }
    return f;
  }();
  return factory;
}

HRESULT CreateOurDecoder(Com<IWICBitmapDecoder>* decoder) {
  Factory();
  return CoCreateInstance(kKxDecoderClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder, decoder->OutVoid());
}

HRESULT TestStream::QueryInterface(REFIID riid, void** object) {
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) || IsEqualIID(riid, IID_IStream)) {
    *object = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG TestStream::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT TestStream::Read(void* dst, ULONG bytes, ULONG* read) {
  if (read != nullptr) *read = 0;
  if (position_ >= fail_from_ || position_ + bytes > fail_from_) return error_;
  const ULONGLONG size = bytes_.size();
  const ULONG n = position_ >= size ? 0 : static_cast<ULONG>(std::min<ULONGLONG>(bytes, size - position_));
  if (n > 0) std::memcpy(dst, bytes_.data() + position_, n);
  position_ += n;
  furthest_ = std::max(furthest_, position_);
  if (read != nullptr) *read = n;
  return n == bytes ? S_OK : S_FALSE;
}

HRESULT TestStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* at) {
  LONGLONG base = 0;
  if (origin == STREAM_SEEK_CUR) base = static_cast<LONGLONG>(position_);
  if (origin == STREAM_SEEK_END) base = static_cast<LONGLONG>(bytes_.size());
  if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
  position_ = static_cast<ULONGLONG>(base + move.QuadPart);
  if (at != nullptr) at->QuadPart = position_;
  return S_OK;
}

HRESULT TestStream::Stat(STATSTG* stat, DWORD) {
  std::memset(stat, 0, sizeof *stat);
  stat->type = STGTY_STREAM;
  stat->cbSize.QuadPart = bytes_.size();
  return S_OK;
}

TopDown PluginPicture(const Bytes& file) {
  TopDown out;
  const HostPicture got = FetchFromMemory(file);
  out.result = got.result;
  if (got.result != 0) return out;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::memcpy(&width, got.info.data() + 4, 4);
  std::memcpy(&height, got.info.data() + 8, 4);
  out.width = static_cast<UINT>(width);
  out.height = static_cast<UINT>(height);
  const std::size_t row = out.width * 3u;
  const std::size_t stride = (row + 3) & ~std::size_t{3};
  out.pixels.resize(row * out.height);
  for (UINT y = 0; y < out.height; ++y) {
    std::memcpy(out.pixels.data() + y * row, got.bits.data() + (out.height - 1 - y) * stride, row);
  }
  return out;
}

WicPicture CopyWholeFrame(IWICBitmapDecoder* decoder) {
  WicPicture out;
  Com<IWICBitmapFrameDecode> frame;
  out.hr = decoder->GetFrame(0, frame.Out());
  if (FAILED(out.hr)) return out;
  out.hr = frame->GetSize(&out.width, &out.height);
  if (SUCCEEDED(out.hr)) out.hr = frame->GetPixelFormat(&out.format);
  if (FAILED(out.hr)) return out;
  const UINT stride = out.width * 3;
  out.pixels.assign(std::size_t{stride} * out.height, 0);
  out.hr = frame->CopyPixels(nullptr, stride, static_cast<UINT>(out.pixels.size()), out.pixels.data());
  return out;
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::filesystem::path DataDir() { return std::filesystem::path(KX_TEST_DATA_DIR); }

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
