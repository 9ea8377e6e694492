// Conversions between wide strings (UTF-16 on Windows, UTF-32 elsewhere)
// and UTF-8. Ill-formed input (lone surrogates, stray bytes) becomes U+FFFD,
// as WideCharToMultiByte and MultiByteToWideChar do.
#pragma once

#include <string>

namespace tamvik {

std::string Utf8FromWide(const wchar_t* text);
std::wstring WideFromUtf8(const char* text);

}  // namespace tamvik
