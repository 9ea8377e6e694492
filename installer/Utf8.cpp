#include "Utf8.h"

#include <cstdint>

namespace tamvik {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void appendWide(std::wstring& out, char32_t c) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (c >> 10));
      out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
      return;
    }
  }
  out += static_cast<wchar_t>(c);
}

}  // namespace

std::string Utf8FromWide(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    char32_t c = static_cast<char32_t>(*p);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
    }
    if (isHighSurrogate(c) && isLowSurrogate(static_cast<char32_t>(p[1]) & 0xFFFF)) {
      c = 0x10000 + ((c - 0xD800) << 10) + ((static_cast<char32_t>(p[1]) & 0xFFFF) - 0xDC00);
      ++p;
    } else if (isHighSurrogate(c) || isLowSurrogate(c) || c > 0x10FFFF) {
      c = kReplacement;
    }
    appendUtf8(out, c);
  }
  return out;
}

std::wstring WideFromUtf8(const char* text) {
  std::wstring out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    const unsigned char lead = *p;
    uint32_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1, c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, c = lead & 0x07, minimum = 0x10000;
    }
    uint32_t taken = 1;
    bool valid = length != 0;
    for (; valid && taken < length; ++taken) {
      if ((p[taken] & 0xC0) != 0x80) {
        valid = false;  // the NUL terminator also ends up here
        break;
      }
      c = (c << 6) | (p[taken] & 0x3F);
    }
    if (!valid || c < minimum || c > 0x10FFFF || isHighSurrogate(c) || isLowSurrogate(c)) {
      appendWide(out, kReplacement);
      p += 1;  // resynchronise on the next byte
      continue;
    }
    appendWide(out, c);
    p += length;
  }
  return out;
}

}  // namespace tamvik
