// UTF-16 to UTF-8, for the native stand-in: POSIX file systems take names
// as bytes, which are UTF-8 on every system this builds for.
#pragma once

#include <cstddef>

namespace kx {

// Writes the UTF-8 form of the zero-terminated UTF-16 string `wide`, with
// its terminating zero, into out[0, out_bytes) and returns true. Returns
// false when `wide` holds an unpaired surrogate (no character has that
// spelling: it must not be replaced by another, which could name another
// file) or when the UTF-8 form and its zero do not fit; out then holds no
// usable name. Never writes beyond out_bytes.
bool Utf16ToUtf8(const char16_t* wide, char* out, std::size_t out_bytes);

}  // namespace kx
