#include "InfModels.h"

#include <array>
#include <cwchar>

namespace tamvik {
namespace {

wchar_t foldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// The version fields after the architecture; an empty or missing field is
// not given.
struct Decoration {
  std::array<uint32_t, 5> value{};  // major, minor, productType, suiteMask, build
  std::array<bool, 5> given{};
};

bool parseNumber(const std::wstring& text, uint32_t* out) {
  if (text.empty()) {
    return false;
  }
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text.c_str(), &end, 0);  // product type and suite are often hex
  if (end == nullptr || *end != L'\0') {
    return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

// False when the decoration is not for amd64 or cannot be read.
bool parse(const std::wstring& text, Decoration* out) {
  static const std::wstring kPrefix = L"ntamd64";
  if (text.size() < kPrefix.size() || !EqualIgnoringCase(text.substr(0, kPrefix.size()), kPrefix)) {
    return false;
  }
  std::wstring rest = text.substr(kPrefix.size());
  if (rest.empty()) {
    return true;
  }
  if (rest[0] != L'.') {
    return false;  // e.g. "NTamd64x"
  }
  size_t field = 0;
  size_t start = 1;
  while (start <= rest.size()) {
    if (field == out->value.size()) {
      return false;
    }
    size_t dot = rest.find(L'.', start);
    if (dot == std::wstring::npos) {
      dot = rest.size();
    }
    const std::wstring part = rest.substr(start, dot - start);
    if (!part.empty()) {
      if (!parseNumber(part, &out->value[field])) {
        return false;
      }
      out->given[field] = true;
    }
    ++field;
    start = dot + 1;
  }
  return true;
}

bool applies(const Decoration& d, const WindowsVersion& os) {
  // Version: major, minor, build, not newer than the running system.
  const std::array<uint32_t, 3> wanted = {d.value[0], d.value[1], d.value[4]};
  const std::array<uint32_t, 3> running = {os.major, os.minor, os.build};
  if (running < wanted) {
    return false;
  }
  if (d.given[2] && d.value[2] != os.productType) {
    return false;
  }
  if (d.given[3] && (os.suiteMask & d.value[3]) != d.value[3]) {
    return false;
  }
  return true;
}

bool better(const Decoration& a, const Decoration& b) {
  const std::array<uint32_t, 3> va = {a.value[0], a.value[1], a.value[4]};
  const std::array<uint32_t, 3> vb = {b.value[0], b.value[1], b.value[4]};
  if (va != vb) {
    return va > vb;
  }
  return (a.given[2] + a.given[3]) > (b.given[2] + b.given[3]);
}

}  // namespace

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(a[i]) != foldAscii(b[i])) {
      return false;
    }
  }
  return true;
}

int BestModelsDecoration(const std::vector<std::wstring>& decorations, const WindowsVersion& os) {
  int best = -1;
  Decoration bestDecoration;
  for (size_t i = 0; i < decorations.size(); ++i) {
    Decoration d;
    if (!parse(decorations[i], &d) || !applies(d, os)) {
      continue;
    }
    if (best < 0 || better(d, bestDecoration)) {
      best = static_cast<int>(i);
      bestDecoration = d;
    }
  }
  return best;
}

}  // namespace tamvik
