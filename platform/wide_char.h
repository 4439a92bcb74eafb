// A UTF-16 code unit, as the wide entry points and the system's wide file
// functions take it: wchar_t on Windows; char16_t elsewhere, where wchar_t
// is 32 bits, so that native hosts and tests speak UTF-16 as Windows hosts
// do.
#pragma once

#include <string>

#if defined(_WIN32)
using WideChar = wchar_t;
#else
using WideChar = char16_t;
#endif
static_assert(sizeof(WideChar) == 2, "a UTF-16 code unit");

using WideString = std::basic_string<WideChar>;
