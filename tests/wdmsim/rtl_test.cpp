// Formatting with Windows x64 conventions, RtlInitUnicodeString and the
// bounded wide-string routines.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "rtl/format.h"
#include "wdmsim/ntstrsafe.h"

namespace {

using wdmsim::rtl::FormatNarrow;
using wdmsim::rtl::FormatWide;

std::string N(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatNarrow(format, args);
  va_end(args);
  return s;
}

std::u16string W(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string s = FormatWide(format, args);
  va_end(args);
  return s;
}

// A WCHAR buffer pre-filled with a marker, so writes past the terminator show.
template <size_t Count>
struct Buffer {
  WCHAR units[Count + 1];
  Buffer() {
    for (auto& u : units) u = u'#';
  }
  std::u16string Text() const { return std::u16string(units); }
};

TEST(RtlFormat, SignedAndUnsignedIntegers) {
  EXPECT_EQ(N("%d|%i|%u", -42, 7, 4000000000u), "-42|7|4000000000");
  EXPECT_EQ(N("%d", INT32_MIN), "-2147483648");
  EXPECT_EQ(N("%+d|% d|%+d", 5, 5, -5), "+5| 5|-5");
  EXPECT_EQ(N("%05d|%-5d|%5d", -42, 42, 42), "-0042|42   |   42");
  EXPECT_EQ(N("%.3d|%.0d|%5.0d|", -5, 0, 0), "-005||     |");
  EXPECT_EQ(N("%08.3d", 7), "     007");  // a precision disables '0' padding
  EXPECT_EQ(N("%-05d|", 3), "3    |");    // '-' wins over '0'
}

TEST(RtlFormat, HexAndOctal) {
  EXPECT_EQ(N("%08X", 0xBEEFu), "0000BEEF");
  EXPECT_EQ(N("%x|%X", 0xabcdefu, 0xabcdefu), "abcdef|ABCDEF");
  EXPECT_EQ(N("%#x|%#X|%#x", 255u, 255u, 0u), "0xff|0XFF|0");
  EXPECT_EQ(N("%#06x", 5u), "0x0005");
  EXPECT_EQ(N("%o|%#o|%#o|%#.0o", 8u, 8u, 0u, 0u), "10|010|0|0");
}

TEST(RtlFormat, LengthModifiersFollowLlp64) {
  // `l` is 32 bits on Windows: only the low half of a wider argument counts,
  // and the next argument is still read from the next slot.
  EXPECT_EQ(N("%lx %d", 0x1234567890ABCDEFull, 9), "90abcdef 9");
  EXPECT_EQ(N("%ld", -1), "-1");
  EXPECT_EQ(N("%I64x|%llX", 0x1122334455667788ull, 0xFFFFFFFFFFFFFFFFull),
            "1122334455667788|FFFFFFFFFFFFFFFF");
  EXPECT_EQ(N("%I64d|%lld", INT64_MIN, -2LL), "-9223372036854775808|-2");
  EXPECT_EQ(N("%I32x|%Ix|%zu|%Iu", 0xCAFEu, 0x100000000ull, size_t{12}, size_t{1} << 40),
            "cafe|100000000|12|1099511627776");
  EXPECT_EQ(N("%hd|%hu|%hhd|%hhx", 0x18000, 0x1FFFF, 0x1FF, 0x1AB), "-32768|65535|-1|ab");
}

TEST(RtlFormat, StarWidthAndPrecision) {
  EXPECT_EQ(N("%*d|", 5, 42), "   42|");
  EXPECT_EQ(N("%*d|", -5, 42), "42   |");  // negative width: left-justified
  EXPECT_EQ(N("%.*d|%.*d", 4, 7, -1, 7), "0007|7");
  EXPECT_EQ(N("%*.*s|", 6, 2, "abcdef"), "    ab|");
}

TEST(RtlFormat, Pointers) {
  EXPECT_EQ(N("%p", reinterpret_cast<void*>(0xFFFFA00012345678ull)), "FFFFA00012345678");
  EXPECT_EQ(N("%p", static_cast<void*>(nullptr)), "0000000000000000");
  EXPECT_EQ(N("%p", reinterpret_cast<void*>(0xabcull)), "0000000000000ABC");
  EXPECT_EQ(N("[%20p]", reinterpret_cast<void*>(1)), "[    0000000000000001]");
  EXPECT_EQ(N("[%-18p]", reinterpret_cast<void*>(1)), "[0000000000000001  ]");
}

TEST(RtlFormat, NarrowFamilyStrings) {
  EXPECT_EQ(N("%-5s|%5s|", "ab", "cd"), "ab   |   cd|");
  EXPECT_EQ(N("%.2s|%05s", "abcdef", "x"), "ab|0000x");
  EXPECT_EQ(N("%ws|%ls|%S|%hs", u"wide", u"long", u"cap", "narrow"), "wide|long|cap|narrow");
  EXPECT_EQ(N("%ws", u"caf\u00e9 \u20ac"), "caf? ?");
  EXPECT_EQ(N("%s|%ws|%.3s", static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr),
              static_cast<const char*>(nullptr)),
            "(null)|(null)|(nu");
  EXPECT_EQ(N("%c%C%wc|%3c|%-3c|", 'a', u'b', u'\u00e9', 'x', 'y'), "ab?|  x|y  |");
}

TEST(RtlFormat, CountedStrings) {
  WCHAR text[] = u"DeviceXYZ";
  UNICODE_STRING us{12, sizeof(text), text};  // Length in bytes: 6 units
  EXPECT_EQ(N("[%wZ]", &us), "[Device]");
  EXPECT_EQ(W(u"[%wZ]", &us), u"[Device]");
  EXPECT_EQ(N("[%8wZ]", &us), "[  Device]");

  char ansi[] = "abcdef";
  struct {
    USHORT Length, MaximumLength;
    char* Buffer;
  } as{3, 7, ansi};
  EXPECT_EQ(N("[%Z]", &as), "[abc]");
  EXPECT_EQ(W(u"[%Z]", &as), u"[abc]");

  UNICODE_STRING empty{0, 0, nullptr};
  EXPECT_EQ(N("%wZ|%wZ", &empty, static_cast<UNICODE_STRING*>(nullptr)), "(null)|(null)");
}

TEST(RtlFormat, WideFamilySwapsStringDefaults) {
  EXPECT_EQ(W(u"%s|%ws|%ls", u"a", u"b", u"c"), u"a|b|c");
  EXPECT_EQ(W(u"%S|%hs", "n1", "n2"), u"n1|n2");
  EXPECT_EQ(W(u"%S", "\xE9"), u"\u00e9");  // narrow bytes widen as Latin-1
  EXPECT_EQ(W(u"%s", u"\u20ac"), u"\u20ac");
  EXPECT_EQ(W(u"%c%C%hc", u'\u20ac', 'x', 'y'), u"\u20acxy");
  EXPECT_EQ(W(u"%s|%S", static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr)),
            u"(null)|(null)");
  EXPECT_EQ(W(u"%p %08X %-4d|", reinterpret_cast<void*>(0x10ull), 0xABu, -1),
            u"0000000000000010 000000AB -1  |");
}

TEST(RtlFormat, PercentNAndOddDirectives) {
  int target = 1234;
  EXPECT_EQ(N("a%nb%d", &target, 5), "ab5");  // %n consumes its pointer, writes nothing
  EXPECT_EQ(target, 1234);
  EXPECT_EQ(N("100%% %y %"), "100% y ");
  EXPECT_EQ(N("%.2f|%5.1f|%e", 3.14159, -2.75, 1.5), "3.14| -2.8|1.500000e+00");
}

TEST(RtlInitUnicodeString, CountsBytesWithoutTerminator) {
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, u"\\Device\\X");
  EXPECT_EQ(us.Length, 18);
  EXPECT_EQ(us.MaximumLength, 20);
  EXPECT_EQ(std::u16string(us.Buffer), u"\\Device\\X");

  RtlInitUnicodeString(&us, nullptr);
  EXPECT_EQ(us.Length, 0);
  EXPECT_EQ(us.MaximumLength, 0);
  EXPECT_EQ(us.Buffer, nullptr);

  std::u16string huge(40000, u'a');  // 80000 bytes do not fit a USHORT
  RtlInitUnicodeString(&us, huge.c_str());
  EXPECT_EQ(us.Length, 0xFFFC);
  EXPECT_EQ(us.MaximumLength, 0xFFFE);
}

TEST(RtlStringCbPrintfW, FormatsDeviceNames) {
  Buffer<64> b;
  EXPECT_EQ(RtlStringCbPrintfW(b.units, sizeof(b.units), u"\\Device\\Talvrex_v%d%d%d-%d", 1, 0, 0, 63),
            STATUS_SUCCESS);
  EXPECT_EQ(b.Text(), u"\\Device\\Talvrex_v100-63");
}

TEST(RtlStringCbPrintfW, FitsExactlyOrTruncatesTerminated) {
  Buffer<4> fit;  // 3 units + terminator
  EXPECT_EQ(RtlStringCbPrintfW(fit.units, 4 * sizeof(WCHAR), u"%d", 123), STATUS_SUCCESS);
  EXPECT_EQ(fit.Text(), u"123");

  // One unit more leaves no room for the terminator.
  Buffer<4> over;
  EXPECT_EQ(RtlStringCbPrintfW(over.units, 4 * sizeof(WCHAR), u"%s-%d", u"ab", 4), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(over.Text(), u"ab-");
  EXPECT_EQ(over.units[4], u'#');

  // An odd byte count rounds down to whole units.
  Buffer<4> odd;
  EXPECT_EQ(RtlStringCbPrintfW(odd.units, 5, u"xyz"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(odd.Text(), u"x");
  EXPECT_EQ(odd.units[2], u'#');
}

TEST(RtlStringCbPrintfW, RejectsUnusableBuffers) {
  Buffer<4> b;
  EXPECT_EQ(RtlStringCbPrintfW(b.units, 0, u"x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbPrintfW(b.units, 1, u"x"), STATUS_INVALID_PARAMETER);  // less than one unit
  EXPECT_EQ(b.units[0], u'#');                                                 // untouched

  EXPECT_EQ(RtlStringCbPrintfW(b.units, (size_t{NTSTRSAFE_MAX_CCH} + 1) * sizeof(WCHAR), u"x"),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b.units[0], 0);  // a non-empty buffer is left as an empty string
}

TEST(RtlStringCbLengthW, NeedsTheTerminatorWithinTheLimit) {
  size_t cb = 99;
  EXPECT_EQ(RtlStringCbLengthW(u"abcd", 10, &cb), STATUS_SUCCESS);
  EXPECT_EQ(cb, 8u);
  EXPECT_EQ(RtlStringCbLengthW(u"abcd", 10, nullptr), STATUS_SUCCESS);
  // Four units plus terminator need 10 bytes; 8 (or an odd 9) is too few.
  EXPECT_EQ(RtlStringCbLengthW(u"abcd", 8, &cb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cb, 0u);
  cb = 99;
  EXPECT_EQ(RtlStringCbLengthW(u"abcd", 9, &cb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cb, 0u);
  EXPECT_EQ(RtlStringCbLengthW(u"", 2, &cb), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCbLengthW(u"", 0, &cb), STATUS_INVALID_PARAMETER);

  cb = 99;
  EXPECT_EQ(RtlStringCbLengthW(nullptr, 10, &cb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cb, 0u);
  EXPECT_EQ(RtlStringCbLengthW(u"a", size_t{NTSTRSAFE_MAX_CCH} * sizeof(WCHAR) + 1, &cb),
            STATUS_INVALID_PARAMETER);
}

TEST(RtlStringCchCopyW, CopiesAndTruncates) {
  Buffer<8> b;
  EXPECT_EQ(RtlStringCchCopyW(b.units, 8, u"1234567"), STATUS_SUCCESS);  // exact fit
  EXPECT_EQ(b.Text(), u"1234567");

  Buffer<8> t;
  EXPECT_EQ(RtlStringCchCopyW(t.units, 4, u"abcdef"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(t.Text(), u"abc");
  EXPECT_EQ(t.units[4], u'#');

  Buffer<2> one;
  EXPECT_EQ(RtlStringCchCopyW(one.units, 1, u"z"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(one.Text(), u"");
}

TEST(RtlStringCchCopyW, RejectsUnusableBuffers) {
  Buffer<2> b;
  EXPECT_EQ(RtlStringCchCopyW(b.units, 0, u"z"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b.units[0], u'#');
  EXPECT_EQ(RtlStringCchCopyW(b.units, size_t{NTSTRSAFE_MAX_CCH} + 1, u"z"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b.units[0], 0);
}

}  // namespace
