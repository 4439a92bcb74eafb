// The KX imaging codec's shared declarations: its identifiers, the object
// count behind DllCanUnloadNow, and the decoder's constructor.
#pragma once

#include <wincodec.h>
#include <windows.h>

// {6B0F06AD-041E-4829-AC58-26F68853CC4C}: the decoder's class.
inline constexpr CLSID kKxDecoderClsid = {0x6b0f06ad, 0x041e, 0x4829, {0xac, 0x58, 0x26, 0xf6, 0x88, 0x53, 0xcc, 0x4c}};
// {B2F140B5-F6CD-419E-824E-8DD3AAF6F2A8}: the container format.
inline constexpr GUID kKxContainerFormat = {
    0xb2f140b5, 0xf6cd, 0x419e, {0x82, 0x4e, 0x8d, 0xd3, 0xaa, 0xf6, 0xf2, 0xa8}};
// {E2FB94CB-7456-4F55-86EB-66D0A0F94B2D}: the vendor.
inline constexpr GUID kKxVendor = {0xe2fb94cb, 0x7456, 0x4f55, {0x86, 0xeb, 0x66, 0xd0, 0xa0, 0xf9, 0x4b, 0x2d}};

// Live objects and server locks: the DLL may be unloaded only at zero.
void ServerObjectCreated();
void ServerObjectDestroyed();

// A new decoder, queried for riid; E_OUTOFMEMORY when it cannot be made.
HRESULT CreateKxDecoder(REFIID riid, void** object);

// The module's own file name, for InprocServer32.
HMODULE ServerModule();
