#include <gtest/gtest.h>

#include <string>

#include "Utf8.h"

using tamvik::Utf8FromWide;
using tamvik::WideFromUtf8;

TEST(TamvikUtf8, WideToUtf8) {
  EXPECT_EQ(Utf8FromWide(L""), "");
  EXPECT_EQ(Utf8FromWide(L"A\u00e9\u20ac\U0001F600"), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  // A lone surrogate cannot be encoded: it becomes U+FFFD.
  const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD83D), L'b', 0};
  EXPECT_EQ(Utf8FromWide(lone), "a\xEF\xBF\xBD" "b");
}

TEST(TamvikUtf8, Utf8ToWideAndBack) {
  const char* text = "C:\\Gr\xC3\xB6\xC3\x9F" "e\\\xE6\xA8\xA1\xF0\x9F\x98\x80.inf";
  EXPECT_EQ(Utf8FromWide(WideFromUtf8(text).c_str()), text);
  EXPECT_EQ(WideFromUtf8("\xF0\x9F\x98\x80").size(), sizeof(wchar_t) == 2 ? 2u : 1u);
  // Stray, truncated and overlong bytes each become one U+FFFD.
  EXPECT_EQ(WideFromUtf8("a\x80" "b"), L"a\uFFFDb");
  EXPECT_EQ(WideFromUtf8("a\xE2\x82"), L"a\uFFFD\uFFFD");
  EXPECT_EQ(WideFromUtf8("\xC0\xAF"), L"\uFFFD\uFFFD");
  EXPECT_EQ(WideFromUtf8("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
}
