// What DllRegisterServer writes and DllUnregisterServer removes.
#pragma once

#include <windows.h>

// All or nothing: on any failure whatever was written is removed again and
// the failure returned.
HRESULT RegisterServer();
// Removes the decoder from this DLL's registry view, and the Explorer
// entries once no build of the decoder is registered in either view.
HRESULT UnregisterServer();
