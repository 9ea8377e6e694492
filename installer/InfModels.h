// Which models section of an INF's [Manufacturer] entry applies to the
// running system. The in-box install path needs the INF's device IDs for this
// platform itself, so that "no device IDs for this platform" and "no present
// device" can be told apart before anything is installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamvik {

struct WindowsVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t build;
  uint32_t productType;  // VER_NT_WORKSTATION 1, domain controller 2, server 3
  uint32_t suiteMask;
};

// A [Manufacturer] entry lists its models section and the TargetOSVersion
// decorations it exists for:
//   NT[architecture][.major[.minor[.productType[.suiteMask[.build]]]]]
// Tamvik is a 64-bit x86 program, so only decorations naming amd64 apply (an
// undecorated section, and "NT" without an architecture, serve 32-bit x86
// only), and only those whose version is not newer than `os` and whose
// product type and suite mask, where given, match. Answers the index of the
// best one (the highest version; at equal versions the one that says more),
// or -1 when none applies.
int BestModelsDecoration(const std::vector<std::wstring>& decorations, const WindowsVersion& os);

// ASCII case-insensitive equality, as SetupAPI compares device IDs and
// section names.
bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b);

}  // namespace tamvik
