#include "Memory.h"

#include <csignal>
#include <cstdlib>

void Memory_AbnormalEnd() {
  // Die by SIGSEGV with the default action, whatever handler (a sanitizer's,
  // say) is installed: the same end as the access violation it stands for.
  std::signal(SIGSEGV, SIG_DFL);
  std::raise(SIGSEGV);
  std::abort();
}
