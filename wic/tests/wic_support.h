// What the kxwic.dll tests share: COM pointers, the WIC factory of the
// process, streams over bytes (one that counts and fails reads), and the
// plug-in's own picture as the reference, flipped top-down.
#pragma once

#include <wincodec.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/plugin_api.h"
#include "wic/kxwic.h"

template <typename T>
class Com {
 public:
  Com() = default;
  ~Com() { Reset(); }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// The factory of the process (COM started in the multithreaded apartment).
IWICImagingFactory* Factory();

// A decoder made from the registered class directly, not through a factory.
HRESULT CreateOurDecoder(Com<IWICBitmapDecoder>* decoder);

// An IStream over a copy of `bytes`, which counts the furthest byte read and
// can be told to fail every read from a given offset on.
class TestStream final : public IStream {
 public:
  explicit TestStream(Bytes bytes) : bytes_(std::move(bytes)) {}
  static TestStream* Make(const Bytes& bytes) { return new TestStream(bytes); }
  void FailReadsFrom(ULONGLONG offset, HRESULT error) {
    fail_from_ = offset;
    error_ = error;
  }
  ULONGLONG furthest_read() const { return furthest_; }
  ULONGLONG position() const { return position_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Read(void* dst, ULONG bytes, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* at) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

 private:
  virtual ~TestStream() = default;
  LONG refs_ = 1;
  Bytes bytes_;
  ULONGLONG position_ = 0;
  ULONGLONG furthest_ = 0;
  ULONGLONG fail_from_ = ~0ull;
  HRESULT error_ = S_OK;
};

// A picture as a caller gets it: top-down BGR rows of width x 3 bytes.
struct TopDown {
  int result = -100;  // GetPicture's result code, or 0
  UINT width = 0;
  UINT height = 0;
  Bytes pixels;
};

// GetPicture's picture of the file (memory mode), flipped top-down.
TopDown PluginPicture(const Bytes& file);

struct WicPicture {
  HRESULT hr = E_FAIL;
  UINT width = 0;
  UINT height = 0;
  WICPixelFormatGUID format{};
  Bytes pixels;
};

// Decodes the whole frame of a decoder that is already initialized.
WicPicture CopyWholeFrame(IWICBitmapDecoder* decoder);

Bytes ReadFileBytes(const std::filesystem::path& path);
std::filesystem::path DataDir();
std::wstring Wide(const std::string& ascii);
