#include <cstdio>

#include "InstallerSystem.h"
#include "Utf8.h"

namespace tamvik {
namespace {

// Wide messages go out as UTF-8. Every line is flushed, so the output keeps
// its order when the caller mixes it with its own.
class ConsoleOutput final : public InstallerOutput {
 public:
  void WriteWide(const std::wstring& text) override { WriteNarrow(Utf8FromWide(text.c_str())); }
  void WriteNarrow(const std::string& text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
};

}  // namespace

std::unique_ptr<InstallerOutput> CreateConsoleOutput() { return std::make_unique<ConsoleOutput>(); }

}  // namespace tamvik
