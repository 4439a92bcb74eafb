// The in-process server's entry points: the class object for the decoder
// and the count that tells COM when the DLL may be unloaded.
#include "wic/kxwic.h"
#include "wic/registration.h"

namespace {

HMODULE g_module = nullptr;
LONG g_objects = 0;  // decoders and frames alive
LONG g_locks = 0;    // IClassFactory::LockServer

// One class object for the process, never allocated or freed: its
// reference count has nothing to release.
class DecoderFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateKxDecoder(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&g_locks);
    } else {
      InterlockedDecrement(&g_locks);
    }
    return S_OK;
  }
};

DecoderFactory g_factory;

}  // namespace

void ServerObjectCreated() { InterlockedIncrement(&g_objects); }
void ServerObjectDestroyed() { InterlockedDecrement(&g_objects); }
HMODULE ServerModule() { return g_module; }

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, kKxDecoderClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, object);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return InterlockedCompareExchange(&g_objects, 0, 0) == 0 && InterlockedCompareExchange(&g_locks, 0, 0) == 0 ? S_OK
                                                                                                              : S_FALSE;
}

HRESULT STDAPICALLTYPE DllRegisterServer() { return RegisterServer(); }
HRESULT STDAPICALLTYPE DllUnregisterServer() { return UnregisterServer(); }

}  // extern "C"
