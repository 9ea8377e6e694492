// What an errno means coming from the MEI device, for the port's log lines.
// One table for every port that reports errno values (the Linux port and
// the simulator's port, natively and under Wine), so that the same failure
// reads the same from each of them. The MEI driver gives some codes a
// meaning of its own; the rest read as the C library describes them.
#pragma once

#include <cerrno>
#include <cstring>

inline const char* HECI_ErrnoMeaning(int err) {
  switch (err) {
    case ENOTTY: return "no such client";
    case ENODEV: return "device not ready or ME reset";
    case EBUSY: return "already connected or refused";
    case EACCES: return "no permission";
    case EFAULT: return "timed out or bad address";
    case ETIMEDOUT: return "timed out";
    case EFBIG: return "message too long";
    // Spelled out rather than left to the C library, whose texts differ
    // between platforms for the codes these ports meet most.
    case EIO: return "Input/output error";
    case ENOENT: return "No such file or directory";
    default: {
      // glibc's strerror is thread-safe for the codes it knows and keeps
      // the text of others in a buffer of the calling thread; so is
      // mingw's C runtime.
      const char* text = std::strerror(err);
      return text != nullptr ? text : "unknown error";
    }
  }
}
