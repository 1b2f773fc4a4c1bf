// printf-style formatting with the conventions of the Windows x64 kernel's
// DbgPrint and _vsnprintf / _vsnwprintf, so that driver format strings give
// the same text here as on a real machine.
//
// Notes:
//  1. The data model is LLP64: a plain or `l` integer is 32 bits; `ll`,
//     `I64`, `I` (pointer-sized), `z`, `t` and `j` are 64 bits.
//  2. Strings: in the narrow family %s and %hs are char strings, %S, %ls and
//     %ws are 16-bit-unit strings. In the wide family %s is 16-bit and %S /
//     %hs are narrow. %Z takes a counted ANSI string, %wZ a UNICODE_STRING.
//     Null pointers print "(null)".
//  3. 16-bit text converted to narrow keeps ASCII and turns every other unit
//     into '?'; narrow text converted to 16-bit widens each byte (Latin-1),
//     as the C locale does.
//  4. %p is 16 upper-case hex digits without a prefix; %n writes nothing.
//  5. An unknown conversion character is printed as itself (so "%%" is "%").
#pragma once

#include <cstdarg>
#include <string>

namespace wdmsim::rtl {

// The narrow family (DbgPrint, _vsnprintf). `args` is not consumed: the
// function works on its own copy.
std::string FormatNarrow(const char* format, va_list args);

// The wide family (_vsnwprintf): %s is a 16-bit string, %S / %hs narrow.
std::u16string FormatWide(const char16_t* format, va_list args);

// The same, for a Windows x64 variable argument list (what an image built
// for Windows passes: a pointer to 8-byte argument slots).
std::string FormatNarrowWindows(const char* format, const void* args);
std::u16string FormatWideWindows(const char16_t* format, const void* args);

}  // namespace wdmsim::rtl
