// Console output on Windows. On a console the wide text is written as it
// is (WriteConsoleW), so any path prints correctly whatever the console's
// code page; redirected to a file or pipe it goes out as UTF-8 through the
// C runtime's standard output, in text mode ("\n" becomes "\r\n").
#include <windows.h>

#include <cstdio>

#include "InstallerSystem.h"
#include "Utf8.h"

namespace tamvik {
namespace {

class ConsoleOutput final : public InstallerOutput {
 public:
  ConsoleOutput() {
    handle_ = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode) != FALSE;
  }

  void WriteWide(const std::wstring& text) override {
    if (!console_) {
      WriteNarrow(Utf8FromWide(text.c_str()));
      return;
    }
    std::fflush(stdout);
    const wchar_t* data = text.data();
    DWORD left = static_cast<DWORD>(text.size());
    while (left > 0) {
      DWORD written = 0;
      if (WriteConsoleW(handle_, data, left, &written, nullptr) == FALSE || written == 0) {
        return;
      }
      data += written;
      left -= written;
    }
  }

  void WriteNarrow(const std::string& text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

 private:
  HANDLE handle_ = nullptr;
  bool console_ = false;
};

}  // namespace

std::unique_ptr<InstallerOutput> CreateConsoleOutput() { return std::make_unique<ConsoleOutput>(); }

}  // namespace tamvik
