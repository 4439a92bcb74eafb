// The KX decoder as WIC sees it: IWICBitmapDecoder with one
// IWICBitmapFrameDecode. Initialize reads the header alone and judges it,
// and keeps the stream; pixels are decoded through the public library when
// they are first asked for, reading the stream in pieces of 64 KiB into the
// library's decoder in pieces (no further than the header says decoding
// can use): the file is never copied whole. The first whole-frame
// CopyPixels decodes straight into the caller's buffer: that is what an
// application decoding a picture does, and it spares a picture-sized
// allocation and copy (the copy alone took 3 to 8 ms of the 45 of a flat
// 4000 x 3000 picture under Wine).
// Any other copy decodes once, under a lock, into one top-down BGR picture
// that is never written again, so that frames copy rectangles out of it on
// any number of threads without one (thumbnailers call through a scaler,
// many times). Every read of the stream is made under that lock.
#include <new>

#include "kx.h"
#include "wic/kxwic.h"

namespace {

// WIC streams take reads of at most a ULONG; a chunk well below that.
constexpr ULONG kReadChunkBytes = 1u << 30;
// The pieces the stream is read in while decoding: small enough to stay in
// the caches between the read and the decode, large enough that the calls
// cost nothing measurable.
constexpr size_t kPieceBytes = size_t{64} << 10;

void* AllocateObject(size_t bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }
void FreeObject(void* p) { HeapFree(GetProcessHeap(), 0, p); }

// Reads up to `bytes` into `dst`, stopping at the stream's end; a failing
// read is returned as the stream gave it.
HRESULT ReadFully(IStream* stream, BYTE* dst, size_t bytes, size_t* got_bytes) {
  *got_bytes = 0;
  while (*got_bytes < bytes) {
    const size_t left = bytes - *got_bytes;
    const ULONG ask = left < kReadChunkBytes ? static_cast<ULONG>(left) : kReadChunkBytes;
    ULONG read = 0;
    const HRESULT hr = stream->Read(dst + *got_bytes, ask, &read);
    if (FAILED(hr)) return hr;
    if (read > ask) return E_FAIL;  // a stream that claims more than it was given room for
    *got_bytes += read;
    if (read == 0) break;
  }
  return S_OK;
}

HRESULT SeekTo(IStream* stream, ULONGLONG position) {
  LARGE_INTEGER move;
  move.QuadPart = static_cast<LONGLONG>(position);
  return stream->Seek(move, STREAM_SEEK_SET, nullptr);
}

bool HasSignature(const BYTE* head, size_t head_bytes) { return head_bytes >= 2 && head[0] == 'K' && head[1] == 'X'; }

// What the decoder and its frame both answer, the same from either: no
// metadata, no colour contexts, no thumbnail of its own.
HRESULT NoMetadata(IWICMetadataQueryReader** reader) {
  if (reader != nullptr) *reader = nullptr;
  return WINCODEC_ERR_UNSUPPORTEDOPERATION;
}
HRESULT NoColorContexts(UINT* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}
HRESULT NoThumbnail(IWICBitmapSource** thumbnail) {
  if (thumbnail != nullptr) *thumbnail = nullptr;
  return WINCODEC_ERR_CODECNOTHUMBNAIL;
}

// What Initialize found: immutable once it returns (the stream's position
// is not: it is used under the decoder's lock only).
struct Input {
  UINT width = 0;
  UINT height = 0;
  size_t stride_bytes = 0;   // of the decoder's own picture
  size_t picture_bytes = 0;  // likewise
  BYTE head[KX_HEADER_BYTES] = {};
  IStream* stream = nullptr;  // a reference of the decoder's own
  ULONGLONG input_bytes = 0;  // the most of the stream decoding reads, header included
};

HRESULT ResultOf(kx_result result) {
  if (result == KX_OK) return S_OK;
  return result == KX_ERR_OUT_OF_MEMORY ? E_OUTOFMEMORY : E_FAIL;
}

class Decoder;

class Frame final : public IWICBitmapFrameDecode {
 public:
  explicit Frame(Decoder* owner);
  void Destroy();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) Destroy();
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) override;
  HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    *format = GUID_WICPixelFormat24bppBGR;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResolution(double* dpi_x, double* dpi_y) override {
    if (dpi_x == nullptr || dpi_y == nullptr) return E_INVALIDARG;
    *dpi_x = 96.0;
    *dpi_y = 96.0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette*) override { return WINCODEC_ERR_PALETTEUNAVAILABLE; }
  HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT stride_bytes, UINT buffer_bytes,
                                       BYTE* buffer) override;
  HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
    return NoMetadata(reader);
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* count) override {
    return NoColorContexts(count);
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override { return NoThumbnail(thumbnail); }

 private:
  LONG refs_ = 1;
  Decoder* owner_;
};

class Decoder final : public IWICBitmapDecoder {
 public:
  Decoder() {
    InitializeCriticalSection(&lock_);
    ServerObjectCreated();
  }
  void Destroy() {
    if (pixels_ != nullptr) VirtualFree(pixels_, 0, MEM_RELEASE);
    if (input_.stream != nullptr) input_.stream->Release();
    DeleteCriticalSection(&lock_);
    this->~Decoder();
    FreeObject(this);
    ServerObjectDestroyed();
  }
  const Input& input() const { return input_; }
  // True once, for the first whole-frame copy while there is no picture.
  bool TakeDirectDecode() { return Published() == nullptr && InterlockedExchange(&direct_decode_taken_, 1) == 0; }
  // The decoder's picture, decoded on the first call.
  HRESULT Picture(const BYTE** pixels);
  // The whole frame decoded into the caller's rows, reading the stream.
  HRESULT DecodeDirect(BYTE* dst, size_t stride_bytes, size_t dst_bytes) {
    EnterCriticalSection(&lock_);
    const HRESULT hr = DecodeFromStream(dst, stride_bytes, dst_bytes);
    LeaveCriticalSection(&lock_);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWICBitmapDecoder)) {
      *object = static_cast<IWICBitmapDecoder*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) Destroy();
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE QueryCapability(IStream* stream, DWORD* capability) override;
  HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, WICDecodeOptions) override;
  HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    *format = kKxContainerFormat;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDecoderInfo(IWICBitmapDecoderInfo** info) override;
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette*) override { return WINCODEC_ERR_PALETTEUNAVAILABLE; }
  HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
    return NoMetadata(reader);
  }
  HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource** preview) override {
    if (preview != nullptr) *preview = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* count) override {
    return NoColorContexts(count);
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override { return NoThumbnail(thumbnail); }
  HRESULT STDMETHODCALLTYPE GetFrameCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetFrame(UINT index, IWICBitmapFrameDecode** frame) override;

 private:
  HRESULT Read(IStream* stream);
  HRESULT DecodeFromStream(BYTE* dst, size_t stride_bytes, size_t dst_bytes);
  BYTE* Published() {
    return static_cast<BYTE*>(
        InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&pixels_), nullptr, nullptr));
  }

  LONG refs_ = 1;
  CRITICAL_SECTION lock_;
  bool initialized_ = false;  // under lock_; input_ is set before and never after
  Input input_;
  LONG direct_decode_taken_ = 0;
  BYTE* pixels_ = nullptr;  // VirtualAlloc'd; published whole, under lock_
};

Frame::Frame(Decoder* owner) : owner_(owner) {
  owner_->AddRef();
  ServerObjectCreated();
}

void Frame::Destroy() {
  Decoder* owner = owner_;
  this->~Frame();
  FreeObject(this);
  owner->Release();
  ServerObjectDestroyed();
}

HRESULT Frame::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWICBitmapSource) ||
      IsEqualIID(riid, IID_IWICBitmapFrameDecode)) {
    *object = static_cast<IWICBitmapFrameDecode*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT Frame::GetSize(UINT* width, UINT* height) {
  if (width == nullptr || height == nullptr) return E_INVALIDARG;
  *width = owner_->input().width;
  *height = owner_->input().height;
  return S_OK;
}

// Every argument is checked before a byte is written: a refused call leaves
// the caller's buffer as it was.
HRESULT Frame::CopyPixels(const WICRect* rect, UINT stride_bytes, UINT buffer_bytes, BYTE* buffer) {
  const Input& input = owner_->input();
  const WICRect whole = {0, 0, static_cast<INT>(input.width), static_cast<INT>(input.height)};
  const WICRect r = rect != nullptr ? *rect : whole;
  if (r.X < 0 || r.Y < 0 || r.Width < 0 || r.Height < 0 ||
      static_cast<ULONGLONG>(r.X) + static_cast<ULONGLONG>(r.Width) > input.width ||
      static_cast<ULONGLONG>(r.Y) + static_cast<ULONGLONG>(r.Height) > input.height) {
    return E_INVALIDARG;
  }
  if (buffer == nullptr) return E_INVALIDARG;
  if (r.Width == 0 || r.Height == 0) return S_OK;
  const ULONGLONG row_bytes = static_cast<ULONGLONG>(r.Width) * 3;
  if (stride_bytes < row_bytes) return E_INVALIDARG;
  const ULONGLONG needed_bytes = static_cast<ULONGLONG>(r.Height - 1) * stride_bytes + row_bytes;
  if (buffer_bytes < needed_bytes) return WINCODEC_ERR_INSUFFICIENTBUFFER;
  if (r.X == 0 && r.Y == 0 && r.Width == whole.Width && r.Height == whole.Height && owner_->TakeDirectDecode()) {
    return owner_->DecodeDirect(buffer, stride_bytes, static_cast<size_t>(needed_bytes));
  }
  const BYTE* pixels = nullptr;
  const HRESULT hr = owner_->Picture(&pixels);
  if (FAILED(hr)) return hr;
  const BYTE* src = pixels + static_cast<size_t>(r.Y) * input.stride_bytes + static_cast<size_t>(r.X) * 3;
  for (INT y = 0; y < r.Height; ++y) {
    CopyMemory(buffer + static_cast<size_t>(y) * stride_bytes, src, static_cast<size_t>(row_bytes));
    src += input.stride_bytes;
  }
  return S_OK;
}

// The recognition test on the header, wherever the stream was; the position
// is put back as found, also when a read fails.
HRESULT Decoder::QueryCapability(IStream* stream, DWORD* capability) {
  if (stream == nullptr || capability == nullptr) return E_INVALIDARG;
  *capability = 0;
  ULARGE_INTEGER found;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  HRESULT hr = stream->Seek(zero, STREAM_SEEK_CUR, &found);
  if (FAILED(hr)) return hr;
  BYTE head[KX_HEADER_BYTES];
  size_t head_bytes = 0;
  hr = SeekTo(stream, 0);
  if (SUCCEEDED(hr)) hr = ReadFully(stream, head, sizeof head, &head_bytes);
  const HRESULT restored = SeekTo(stream, found.QuadPart);
  if (FAILED(hr)) return hr;
  if (FAILED(restored)) return restored;
  kx_info info = KX_INFO_INIT;
  kx_probe(head, head_bytes, &info);
  if (info.recognition == KX_OK) *capability = WICBitmapDecoderCapabilityCanDecodeAllImages;
  return S_OK;
}

HRESULT Decoder::Initialize(IStream* stream, WICDecodeOptions) {
  if (stream == nullptr) return E_INVALIDARG;
  EnterCriticalSection(&lock_);
  HRESULT hr = initialized_ ? WINCODEC_ERR_WRONGSTATE : Read(stream);
  if (SUCCEEDED(hr)) initialized_ = true;
  LeaveCriticalSection(&lock_);
  return hr;
}

// The header from the stream's first byte (a factory's pattern match leaves
// the stream elsewhere); the rest is read when the pixels are decoded.
HRESULT Decoder::Read(IStream* stream) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  ULARGE_INTEGER end;
  HRESULT hr = stream->Seek(zero, STREAM_SEEK_END, &end);
  if (FAILED(hr)) return hr;
  hr = SeekTo(stream, 0);
  if (FAILED(hr)) return hr;
  BYTE head[KX_HEADER_BYTES];
  size_t head_bytes = 0;
  hr = ReadFully(stream, head, sizeof head, &head_bytes);
  if (FAILED(hr)) return hr;
  if (!HasSignature(head, head_bytes)) return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
  kx_info info = KX_INFO_INIT;
  switch (kx_probe(head, head_bytes, &info)) {
    case KX_OK: break;
    case KX_ERR_TOO_LARGE: return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    case KX_ERR_NOT_KX: return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
    default: return WINCODEC_ERR_BADHEADER;  // truncated, or sides of 0 or less
  }
  ULONGLONG input_bytes = info.max_input_bytes;
  if (end.QuadPart < input_bytes) input_bytes = end.QuadPart;
  if (input_bytes < head_bytes) input_bytes = head_bytes;  // a stream whose size was understated
  const size_t stride_bytes = kx_default_stride(info.width, KX_LAYOUT_BGR);
  const uint64_t picture_bytes = kx_buffer_bytes(info.width, info.height, KX_LAYOUT_BGR, stride_bytes);
  if (picture_bytes == 0) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
  if (picture_bytes > SIZE_MAX) return E_OUTOFMEMORY;
  input_.width = static_cast<UINT>(info.width);
  input_.height = static_cast<UINT>(info.height);
  input_.stride_bytes = stride_bytes;
  input_.picture_bytes = static_cast<size_t>(picture_bytes);
  CopyMemory(input_.head, head, sizeof head);
  input_.input_bytes = input_bytes;
  input_.stream = stream;
  stream->AddRef();
  return S_OK;
}

// The picture into dst, the stream read from the end of the header in
// pieces; the caller holds lock_. A stream that ends early is completed as
// the plug-in completes it; a read that fails gives its error.
HRESULT Decoder::DecodeFromStream(BYTE* dst, size_t stride_bytes, size_t dst_bytes) {
  kx_decoder_options options = KX_DECODER_OPTIONS_INIT;
  options.layout = KX_LAYOUT_BGR;
  options.dst = dst;
  options.stride_bytes = stride_bytes;
  options.dst_bytes = dst_bytes;
  kx_decoder* decoder = nullptr;
  const kx_result created = kx_decoder_create(input_.head, sizeof input_.head, &options, &decoder);
  if (created != KX_OK) return ResultOf(created);
  BYTE* const piece = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, kPieceBytes));
  HRESULT hr = piece == nullptr ? E_OUTOFMEMORY : SeekTo(input_.stream, KX_HEADER_BYTES);
  int32_t rows_final = 0;
  if (SUCCEEDED(hr)) kx_decoder_push(decoder, input_.head, sizeof input_.head, &rows_final);
  ULONGLONG left_bytes = input_.input_bytes - KX_HEADER_BYTES;
  while (SUCCEEDED(hr) && left_bytes > 0 && rows_final < static_cast<int32_t>(input_.height)) {
    const size_t ask = left_bytes < kPieceBytes ? static_cast<size_t>(left_bytes) : kPieceBytes;
    size_t got = 0;
    hr = ReadFully(input_.stream, piece, ask, &got);
    if (FAILED(hr) || got == 0) break;
    kx_decoder_push(decoder, piece, got, &rows_final);
    left_bytes -= got;
    if (got < ask) break;  // the stream's end
  }
  if (SUCCEEDED(hr)) hr = ResultOf(kx_decoder_finish(decoder, nullptr));
  kx_decoder_destroy(decoder);
  if (piece != nullptr) HeapFree(GetProcessHeap(), 0, piece);
  return hr;
}

HRESULT Decoder::Picture(const BYTE** pixels) {
  *pixels = Published();
  if (*pixels != nullptr) return S_OK;
  EnterCriticalSection(&lock_);
  HRESULT hr = S_OK;
  if (pixels_ == nullptr) {
    BYTE* decoded =
        static_cast<BYTE*>(VirtualAlloc(nullptr, input_.picture_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    hr = decoded == nullptr ? E_OUTOFMEMORY : DecodeFromStream(decoded, input_.stride_bytes, input_.picture_bytes);
    if (SUCCEEDED(hr)) {
      InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&pixels_), decoded);
    } else if (decoded != nullptr) {
      VirtualFree(decoded, 0, MEM_RELEASE);
    }
  }
  *pixels = pixels_;
  LeaveCriticalSection(&lock_);
  return hr;
}

// The registered description, as the factory reads it: one source for the
// name, extensions and formats a caller sees.
HRESULT Decoder::GetDecoderInfo(IWICBitmapDecoderInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = nullptr;
  IWICImagingFactory* factory = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  IWICComponentInfo* component = nullptr;
  hr = factory->CreateComponentInfo(kKxDecoderClsid, &component);
  factory->Release();
  if (FAILED(hr)) return hr;
  hr = component->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(info));
  component->Release();
  return hr;
}

HRESULT Decoder::GetFrameCount(UINT* count) {
  if (count == nullptr) return E_INVALIDARG;
  EnterCriticalSection(&lock_);
  const bool ready = initialized_;
  LeaveCriticalSection(&lock_);
  if (!ready) return WINCODEC_ERR_NOTINITIALIZED;
  *count = 1;
  return S_OK;
}

HRESULT Decoder::GetFrame(UINT index, IWICBitmapFrameDecode** frame) {
  if (frame == nullptr) return E_INVALIDARG;
  *frame = nullptr;
  EnterCriticalSection(&lock_);
  const bool ready = initialized_;
  LeaveCriticalSection(&lock_);
  if (!ready) return WINCODEC_ERR_NOTINITIALIZED;
  if (index != 0) return WINCODEC_ERR_FRAMEMISSING;
  void* memory = AllocateObject(sizeof(Frame));
  if (memory == nullptr) return E_OUTOFMEMORY;
  *frame = new (memory) Frame(this);
  return S_OK;
}

}  // namespace

HRESULT CreateKxDecoder(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  void* memory = AllocateObject(sizeof(Decoder));
  if (memory == nullptr) return E_OUTOFMEMORY;
  Decoder* decoder = new (memory) Decoder();
  const HRESULT hr = decoder->QueryInterface(riid, object);
  decoder->Release();
  return hr;
}
