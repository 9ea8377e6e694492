// The MEI driver's class folder (/sys/class/mei) of an emulated machine: a
// temporary folder with meiN/dev_state and meiN/kind files. A regular file
// never reports POLLPRI, so the executable this is linked into (or the
// program libmeisim.so is preloaded into) has its poll() and pread() taken
// over for the descriptors of these dev_state files (known by device and
// inode), which get sysfs's semantics: a notification makes poll() report
// POLLPRI | POLLERR until the file is read again, and a device that has gone
// wakes poll() and fails every read with ENODEV. Every other descriptor goes
// to the C library.
//
// Tests point the watcher at such a folder (OsEvent_SetMeiClassFolder);
// libmeisim.so shows one to an unmodified program at /sys/class/mei
// (MeiInterpose_linux.cpp).
#pragma once

#include <string>

class MeiClassFolder {
 public:
  // A new folder, empty until devices are added; removed with its devices.
  MeiClassFolder();
  ~MeiClassFolder();
  const char* folder() const { return folder_.c_str(); }
  MeiClassFolder(const MeiClassFolder&) = delete;
  MeiClassFolder& operator=(const MeiClassFolder&) = delete;

  // Adds meiN with this state; an empty kind writes no kind file (older
  // kernels have none).
  void addDevice(int n, const char* state, const char* kind = "mei");
  // Writes the state and notifies, as the driver's sysfs_notify does.
  void setState(int n, const char* state);
  // Notifies without a change of the file's text.
  void notify(int n);
  // Takes the device away: its folder goes, reads fail with ENODEV.
  void remove(int n);
  // Waits until every notification of meiN has been read (a test's way to
  // order its steps after the watcher's reads). False after `ms`.
  bool waitUntilRead(int n, int ms = 10000);

 private:
  std::string path(int n, const char* file) const;
  std::string folder_;
};
