// printf formatting with the Windows x64 kernel's conventions; see format.h.
//
// One engine serves both families: it is instantiated for the output unit
// (char or char16_t), and the format string is made of the same units. Field
// layout follows the Microsoft C runtime the kernel's _vsnprintf comes from:
// right-justified with spaces by default, zeros between sign/prefix and body
// with the '0' flag (for every conversion, strings included, unless an
// integer has a precision), spaces after the body with '-'.
#include "rtl/format.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "wdmsim/ntddk.h"

namespace wdmsim::rtl {

namespace {

// The kernel's counted narrow string (ANSI_STRING), printed by %Z. ntddk.h
// does not declare it because our drivers never build one.
struct CountedAnsiString {
  USHORT Length;  // bytes
  USHORT MaximumLength;
  char* Buffer;
};

// Widths and precisions beyond this are clamped. Real output of such a field
// would be cut by any destination buffer long before; the clamp only keeps a
// bogus `*` argument from asking for gigabytes here.
constexpr int kMaxField = 1 << 20;

enum class IntSize { k8, k16, k32, k64 };
enum class TextWidth { kDefault, kNarrow, kWide };  // h; l or w

struct Directive {
  bool left = false;   // '-'
  bool plus = false;   // '+'
  bool space = false;  // ' '
  bool alt = false;    // '#'
  bool zero = false;   // '0'
  int width = 0;
  int precision = -1;  // -1: not given
  IntSize size = IntSize::k32;  // LLP64: no modifier and `l` are both 32 bits
  TextWidth text = TextWidth::kDefault;
  bool longDouble = false;  // L
};

// 16-bit text in a narrow result: ASCII survives, everything else (including
// each half of a surrogate pair) becomes the default character '?'.
char NarrowUnit(char c) { return c; }
char NarrowUnit(char16_t u) { return u < 0x80 ? static_cast<char>(u) : '?'; }
// Narrow text in a 16-bit result: each byte widens to the same code point.
char16_t WideUnit(char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); }
char16_t WideUnit(char16_t u) { return u; }

template <typename Out, typename In>
Out ToOut(In unit) {
  if constexpr (std::is_same_v<Out, char>) {
    return NarrowUnit(unit);
  } else {
    return WideUnit(unit);
  }
}

template <typename Ch>
bool IsDigit(Ch c) {
  return c >= '0' && c <= '9';
}

int AppendDigit(int value, int digit) {
  if (value > (kMaxField - digit) / 10) return kMaxField;
  return value * 10 + digit;
}

// The arguments of a host (System V) variable argument list.
class HostArgs {
 public:
  explicit HostArgs(va_list* list) : list_(list) {}
  template <typename T>
  T Next() {
    return va_arg(*list_, T);
  }

 private:
  va_list* list_;
};

// The arguments of a Windows x64 variable argument list: one 8-byte slot
// each, in order. A long double is a double there.
class WindowsArgs {
 public:
  explicit WindowsArgs(const void* slots) : p_(static_cast<const unsigned char*>(slots)) {}
  template <typename T>
  T Next() {
    if constexpr (std::is_same_v<T, long double>) {
      return Next<double>();
    } else {
      static_assert(sizeof(T) <= 8);
      T value;
      std::memcpy(&value, p_, sizeof(T));
      p_ += 8;
      return value;
    }
  }

 private:
  const unsigned char* p_;
};

template <typename Out, typename Args>
class Formatter {
 public:
  Formatter(const Out* format, Args args) : p_(format), args_(args) {}

  std::basic_string<Out> Run() {
    while (*p_ != 0) {
      if (*p_ != '%') {
        out_.push_back(*p_++);
        continue;
      }
      ++p_;
      Directive directive;
      ParseFlags(directive);
      ParseWidth(directive);
      ParsePrecision(directive);
      ParseLength(directive);
      if (*p_ == 0) break;  // a '%' cut off by the end of the format prints nothing
      Convert(*p_++, directive);
    }
    return std::move(out_);
  }

 private:
  static constexpr bool kWideFamily = std::is_same_v<Out, char16_t>;

  void ParseFlags(Directive& s) {
    for (;; ++p_) {
      switch (*p_) {
        case '-': s.left = true; break;
        case '+': s.plus = true; break;
        case ' ': s.space = true; break;
        case '#': s.alt = true; break;
        case '0': s.zero = true; break;
        default: return;
      }
    }
  }

  void ParseWidth(Directive& s) {
    if (*p_ == '*') {
      ++p_;
      int w = args_.template Next<int>();
      if (w < 0) {  // a negative `*` width means left-justify
        s.left = true;
        w = w == INT_MIN ? kMaxField : -w;
      }
      s.width = w < kMaxField ? w : kMaxField;
      return;
    }
    while (IsDigit(*p_)) s.width = AppendDigit(s.width, static_cast<int>(*p_++ - '0'));
  }

  void ParsePrecision(Directive& s) {
    if (*p_ != '.') return;
    ++p_;
    s.precision = 0;
    if (*p_ == '*') {
      ++p_;
      int v = args_.template Next<int>();
      s.precision = v < 0 ? -1 : (v < kMaxField ? v : kMaxField);  // negative: as if omitted
      return;
    }
    while (IsDigit(*p_)) s.precision = AppendDigit(s.precision, static_cast<int>(*p_++ - '0'));
  }

  void ParseLength(Directive& s) {
    switch (*p_) {
      case 'h':
        ++p_;
        if (*p_ == 'h') {
          ++p_;
          s.size = IntSize::k8;
        } else {
          s.size = IntSize::k16;
        }
        s.text = TextWidth::kNarrow;
        break;
      case 'l':
        ++p_;
        if (*p_ == 'l') {
          ++p_;
          s.size = IntSize::k64;
        } else {
          s.size = IntSize::k32;  // long is 32 bits on Windows
          s.text = TextWidth::kWide;
        }
        break;
      case 'I':
        if (p_[1] == '6' && p_[2] == '4') {
          p_ += 3;
          s.size = IntSize::k64;
        } else if (p_[1] == '3' && p_[2] == '2') {
          p_ += 3;
          s.size = IntSize::k32;
        } else {
          ++p_;
          s.size = IntSize::k64;  // pointer-sized
        }
        break;
      case 'w':
        ++p_;
        s.text = TextWidth::kWide;
        break;
      case 'z':
      case 't':
      case 'j':
        ++p_;
        s.size = IntSize::k64;
        break;
      case 'L':
        ++p_;
        s.longDouble = true;
        break;
      default:
        break;
    }
  }

  // Whether a string or character argument is 16-bit: an explicit h / l / w
  // decides; otherwise it is the family's own width, flipped for %S and %C.
  static bool WideArgument(const Directive& s, bool capital) {
    if (s.text == TextWidth::kWide) return true;
    if (s.text == TextWidth::kNarrow) return false;
    return kWideFamily != capital;
  }

  void Convert(Out c, const Directive& s) {
    switch (c) {
      case 'd':
      case 'i': {
        long long v = ReadSigned(s.size);
        unsigned long long magnitude =
            v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        Integer(magnitude, v < 0, 10, false, true, s);
        break;
      }
      case 'u': Integer(ReadUnsigned(s.size), false, 10, false, false, s); break;
      case 'o': Integer(ReadUnsigned(s.size), false, 8, false, false, s); break;
      case 'x': Integer(ReadUnsigned(s.size), false, 16, false, false, s); break;
      case 'X': Integer(ReadUnsigned(s.size), false, 16, true, false, s); break;
      case 'p': {
        // All the digits of a 64-bit address, upper case, no "0x"; a given
        // precision is overridden, which also disables '0' padding.
        Directive p = s;
        p.precision = 16;
        auto v = reinterpret_cast<uintptr_t>(args_.template Next<void*>());
        Integer(static_cast<unsigned long long>(v), false, 16, true, false, p);
        break;
      }
      case 'c':
      case 'C': Character(WideArgument(s, c == 'C'), s); break;
      case 's':
      case 'S':
        if (WideArgument(s, c == 'S')) {
          CString(args_.template Next<const char16_t*>(), s);
        } else {
          CString(args_.template Next<const char*>(), s);
        }
        break;
      case 'Z': CountedString(s); break;
      case 'n':
        // Disabled as in the Windows kernel: the pointer is consumed, nothing
        // is stored.
        (void)args_.template Next<void*>();
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A': Floating(static_cast<char>(c), s); break;
      default: out_.push_back(c); break;  // "%%" and unknown conversions print the character
    }
  }

  long long ReadSigned(IntSize size) {
    switch (size) {
      case IntSize::k8: return static_cast<signed char>(args_.template Next<int>());
      case IntSize::k16: return static_cast<short>(args_.template Next<int>());
      case IntSize::k32: return args_.template Next<int>();
      case IntSize::k64: break;
    }
    return args_.template Next<long long>();
  }

  unsigned long long ReadUnsigned(IntSize size) {
    switch (size) {
      case IntSize::k8: return static_cast<unsigned char>(args_.template Next<unsigned>());
      case IntSize::k16: return static_cast<unsigned short>(args_.template Next<unsigned>());
      case IntSize::k32: return args_.template Next<unsigned>();
      case IntSize::k64: break;
    }
    return args_.template Next<unsigned long long>();
  }

  // Lays out prefix + body in the field: see the note at the top of the file.
  template <typename WriteBody>
  void Field(std::string_view prefix, size_t bodyLength, bool zeroPad, const Directive& s,
             WriteBody&& writeBody) {
    size_t used = prefix.size() + bodyLength;
    size_t pad = static_cast<size_t>(s.width) > used ? static_cast<size_t>(s.width) - used : 0;
    if (!s.left && !zeroPad) out_.append(pad, ' ');
    for (char ch : prefix) out_.push_back(static_cast<Out>(ch));
    if (!s.left && zeroPad) out_.append(pad, '0');
    writeBody();
    if (s.left) out_.append(pad, ' ');
  }

  void Integer(unsigned long long magnitude, bool negative, unsigned base, bool upper, bool isSigned,
               const Directive& s) {
    const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string digits;
    for (unsigned long long v = magnitude; v != 0; v /= base) digits.insert(digits.begin(), digitSet[v % base]);
    // The precision is the minimum number of digits; zero with precision 0
    // prints no digits at all.
    size_t minDigits = s.precision < 0 ? 1 : static_cast<size_t>(s.precision);
    if (digits.size() < minDigits) digits.insert(0, minDigits - digits.size(), '0');

    std::string_view prefix;
    if (isSigned) {
      if (negative) {
        prefix = "-";
      } else if (s.plus) {
        prefix = "+";
      } else if (s.space) {
        prefix = " ";
      }
    } else if (s.alt && base == 16 && magnitude != 0) {
      prefix = upper ? "0X" : "0x";
    } else if (s.alt && base == 8 && (digits.empty() || digits[0] != '0')) {
      digits.insert(digits.begin(), '0');
    }
    Field(prefix, digits.size(), s.zero && s.precision < 0, s, [&] {
      for (char ch : digits) out_.push_back(static_cast<Out>(ch));
    });
  }

  void Character(bool wide, const Directive& s) {
    int v = args_.template Next<int>();  // char and 16-bit units arrive promoted to int
    Out unit = wide ? ToOut<Out>(static_cast<char16_t>(v)) : ToOut<Out>(static_cast<char>(v));
    Field({}, 1, s.zero, s, [&] { out_.push_back(unit); });
  }

  template <typename In>
  void Text(const In* text, size_t length, const Directive& s) {
    Field({}, length, s.zero, s, [&] {
      for (size_t i = 0; i < length; ++i) out_.push_back(ToOut<Out>(text[i]));
    });
  }

  // A terminated string, at most `precision` units of it.
  template <typename In>
  void CString(const In* text, const Directive& s) {
    size_t limit = s.precision < 0 ? SIZE_MAX : static_cast<size_t>(s.precision);
    if (text == nullptr) {
      static constexpr char kNull[] = "(null)";
      Text(kNull, std::min(limit, sizeof(kNull) - 1), s);
      return;
    }
    size_t n = 0;
    while (n < limit && text[n] != 0) ++n;
    Text(text, n, s);
  }

  // %Z / %wZ: a counted string of Length bytes; the precision does not apply.
  void CountedString(const Directive& s) {
    Directive whole = s;
    whole.precision = -1;
    if (s.text == TextWidth::kWide) {
      auto* us = args_.template Next<const UNICODE_STRING*>();
      if (us == nullptr || us->Buffer == nullptr) return CString(static_cast<const char*>(nullptr), whole);
      Text(reinterpret_cast<const char16_t*>(us->Buffer), us->Length / sizeof(char16_t), whole);
    } else {
      auto* as = args_.template Next<const CountedAnsiString*>();
      if (as == nullptr || as->Buffer == nullptr) return CString(static_cast<const char*>(nullptr), whole);
      Text(as->Buffer, as->Length, whole);
    }
  }

  // Floating point is rare in drivers; the C library lays it out, from the
  // same flags, width and precision.
  void Floating(char conversion, const Directive& s) {
    std::string f = "%";
    if (s.left) f += '-';
    if (s.plus) f += '+';
    if (s.space) f += ' ';
    if (s.alt) f += '#';
    if (s.zero) f += '0';
    if (s.width > 0) f += std::to_string(s.width);
    if (s.precision >= 0) f += '.' + std::to_string(s.precision);
    std::string text;
    auto render = [&](auto value) {
      int n = std::snprintf(nullptr, 0, f.c_str(), value);
      if (n <= 0) return;
      text.resize(static_cast<size_t>(n) + 1);
      std::snprintf(text.data(), text.size(), f.c_str(), value);
      text.resize(static_cast<size_t>(n));
    };
    if (s.longDouble) {
      f += 'L';
      f += conversion;
      render(args_.template Next<long double>());
    } else {
      f += conversion;
      render(args_.template Next<double>());
    }
    for (char ch : text) out_.push_back(static_cast<Out>(ch));
  }

  const Out* p_;
  Args args_;
  std::basic_string<Out> out_;
};

template <typename Out>
std::basic_string<Out> Format(const Out* format, va_list args) {
  if (format == nullptr) return {};
  va_list copy;
  va_copy(copy, args);
  std::basic_string<Out> out = Formatter<Out, HostArgs>(format, HostArgs(&copy)).Run();
  va_end(copy);
  return out;
}

}  // namespace

std::string FormatNarrow(const char* format, va_list args) { return Format(format, args); }

std::u16string FormatWide(const char16_t* format, va_list args) { return Format(format, args); }

std::string FormatNarrowWindows(const char* format, const void* args) {
  return format == nullptr ? std::string() : Formatter<char, WindowsArgs>(format, WindowsArgs(args)).Run();
}

std::u16string FormatWideWindows(const char16_t* format, const void* args) {
  return format == nullptr ? std::u16string() : Formatter<char16_t, WindowsArgs>(format, WindowsArgs(args)).Run();
}

}  // namespace wdmsim::rtl
