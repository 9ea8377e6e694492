// How the Linux stand-ins take over a C library function: they define it
// under its own name in the executable (or in libmeisim.so, preloaded), act
// on the descriptors they emulate and hand every other call to the C
// library's function, which RTLD_NEXT finds behind them. One way for every
// function they take over: the /dev/mei0 side (MeiInterpose_linux.cpp) and
// the class folder's (MeiClassFolder_linux.cpp).
#pragma once

#include <dlfcn.h>

#include <cstdlib>

template <typename F>
F libcNext(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) std::abort();  // no C library behind us: nothing can work
  return reinterpret_cast<F>(symbol);
}

// Declares `real`, the C library's `name`, looked up at the first call (a
// function's static: thread-safe to initialise, also under the thread
// sanitizer, which knows the guard; except in a function it runs as a
// blocking call, such as poll, which MeiClassFolder_linux.cpp looks up at
// load time instead).
#define LIBC_NEXT(name) static const auto real = libcNext<decltype(&::name)>(#name)
