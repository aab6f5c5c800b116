#include "service/Charset.h"

#include <algorithm>
#include <array>

#include "common/Unicode.h"

namespace tallowmer {
namespace {

using UpperHalf = std::array<char16_t, 128>;

// Bytes 0x80 to 0xFF, eight to a row; the lower half of both charsets is ASCII.
// clang-format off
constexpr UpperHalf kWindows1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

constexpr UpperHalf kKoi8R = {
    0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524,  // 80
    0x252C, 0x2534, 0x253C, 0x2580, 0x2584, 0x2588, 0x258C, 0x2590,  // 88
    0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219, 0x221A, 0x2248,  // 90
    0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7,  // 98
    0x2550, 0x2551, 0x2552, 0x0451, 0x2553, 0x2554, 0x2555, 0x2556,  // A0
    0x2557, 0x2558, 0x2559, 0x255A, 0x255B, 0x255C, 0x255D, 0x255E,  // A8
    0x255F, 0x2560, 0x2561, 0x0401, 0x2562, 0x2563, 0x2564, 0x2565,  // B0
    0x2566, 0x2567, 0x2568, 0x2569, 0x256A, 0x256B, 0x256C, 0x00A9,  // B8
    0x044E, 0x0430, 0x0431, 0x0446, 0x0434, 0x0435, 0x0444, 0x0433,  // C0
    0x0445, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E,  // C8
    0x043F, 0x044F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0436, 0x0432,  // D0
    0x044C, 0x044B, 0x0437, 0x0448, 0x044D, 0x0449, 0x0447, 0x044A,  // D8
    0x042E, 0x0410, 0x0411, 0x0426, 0x0414, 0x0415, 0x0424, 0x0413,  // E0
    0x0425, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E,  // E8
    0x041F, 0x042F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0416, 0x0412,  // F0
    0x042C, 0x042B, 0x0417, 0x0428, 0x042D, 0x0429, 0x0427, 0x042A,  // F8
};
// clang-format on

char ToLowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ToLowerAscii(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), [](char c) { return ToLowerAscii(c); });
  return result;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string DecodeSingleByte(std::string_view bytes, const UpperHalf* upper) {
  std::u16string wide;
  wide.reserve(bytes.size());
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    wide += byte < 0x80 || upper == nullptr ? static_cast<char16_t>(byte) : (*upper)[byte - 0x80];
  }
  return Utf16ToUtf8(wide);
}

std::string SanitizeUtf8(std::string_view bytes) {
  return Utf16ToUtf8(Utf8ToUtf16(bytes));
}

}  // namespace

std::string CharsetOfContentType(std::string_view contentType) {
  size_t position = contentType.find(';');
  while (position != std::string_view::npos) {
    const size_t next = contentType.find(';', position + 1);
    std::string_view parameter = Trim(contentType.substr(
        position + 1, next == std::string_view::npos ? std::string_view::npos : next - position - 1));
    const size_t equals = parameter.find('=');
    if (equals != std::string_view::npos && ToLowerAscii(Trim(parameter.substr(0, equals))) == "charset") {
      std::string_view value = Trim(parameter.substr(equals + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      return ToLowerAscii(value);
    }
    position = next;
  }
  return "";
}

std::string DecodeToUtf8(std::string_view bytes, std::string_view charset) {
  const std::string name = ToLowerAscii(charset);
  if (name.empty() || name == "utf-8" || name == "utf8") return SanitizeUtf8(bytes);
  if (name == "windows-1251" || name == "cp1251" || name == "x-cp1251")
    return DecodeSingleByte(bytes, &kWindows1251);
  if (name == "koi8-r" || name == "koi8r") return DecodeSingleByte(bytes, &kKoi8R);
  if (name == "iso-8859-1" || name == "latin1" || name == "us-ascii") return DecodeSingleByte(bytes, nullptr);
  std::string asUtf8 = SanitizeUtf8(bytes);
  if (asUtf8 == bytes) return asUtf8;
  return DecodeSingleByte(bytes, nullptr);
}

}  // namespace tallowmer
