#include "common/Unicode.h"

#include <algorithm>

namespace tallowmer {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The range the first continuation byte of a sequence may take after its lead byte: narrower than
// 80-BF after E0, ED, F0 and F4, which keeps out overlong forms, surrogates and code points above
// U+10FFFF (Unicode's table of well-formed byte sequences).
struct Continuation {
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
};

Continuation FirstContinuation(unsigned char lead) {
  switch (lead) {
    case 0xE0:
      return {0xA0, 0xBF};
    case 0xED:
      return {0x80, 0x9F};
    case 0xF0:
      return {0x90, 0xBF};
    case 0xF4:
      return {0x80, 0x8F};
    default:
      return {};
  }
}

// Decodes one code point. An ill-formed sequence yields U+FFFD for its longest well-formed start (at
// least one byte) and the decoding goes on after it, so that no byte that begins a character of its
// own, an ASCII quote least of all, is swallowed, and no overlong form turns into the character it
// imitates.
char32_t DecodeUtf8(std::string_view text, size_t& position) {
  const auto lead = static_cast<unsigned char>(text[position++]);
  if (lead < 0x80) return lead;
  int extra = 0;
  char32_t codePoint = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    codePoint = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    codePoint = lead & 0x07;
  } else {
    return kReplacement;
  }
  Continuation allowed = FirstContinuation(lead);
  for (int i = 0; i < extra; ++i) {
    if (position >= text.size()) return kReplacement;
    const auto next = static_cast<unsigned char>(text[position]);
    if (next < allowed.low || next > allowed.high) return kReplacement;
    codePoint = (codePoint << 6) | (next & 0x3F);
    ++position;
    allowed = Continuation{};
  }
  return codePoint;
}

void AppendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

template <typename Char>
Char FoldAscii(Char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
}

template <typename View>
bool SameName(View left, View right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](auto a, auto b) { return FoldAscii(a) == FoldAscii(b); });
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string result;
  result.reserve(text.size());
  size_t position = 0;
  while (position < text.size()) {
    const char32_t codePoint = DecodeUtf8(text, position);
    if (codePoint >= 0x10000) {
      const char32_t offset = codePoint - 0x10000;
      result += static_cast<char16_t>(0xD800 + (offset >> 10));
      result += static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
    } else {
      result += static_cast<char16_t>(codePoint);
    }
  }
  return result;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      unit = kReplacement;
    }
    AppendUtf8(result, unit);
  }
  return result;
}

std::string EscapeControls(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (byte == '\r') {
      result += "\\r";
    } else if (byte == '\n') {
      result += "\\n";
    } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      result += "\\x";
      result += kHex[byte >> 4];
      result += kHex[byte & 0x0F];
    } else if (c1) {
      const auto control = static_cast<unsigned char>(text[++i]);
      result += "\\u00";
      result += kHex[control >> 4];
      result += kHex[control & 0x0F];
    } else {
      result += text[i];
    }
  }
  return result;
}

std::string WithoutControls(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') result += c;
  }
  return result;
}

bool SameNameAscii(std::string_view left, std::string_view right) {
  return SameName(left, right);
}
bool SameNameAscii(std::u16string_view left, std::u16string_view right) {
  return SameName(left, right);
}

}  // namespace tallowmer
