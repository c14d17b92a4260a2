// What the engine asks of the system beside the file layer: one
// implementation per OS (posix/, windows/), chosen by CMake.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// An advisory lock on an image file for the length of a job (exclusive) or
// a verification (shared): a second job on the same image is refused while
// the first one writes it, and a verification is refused meanwhile. Other
// programs are not hindered. Released by the destructor.
class dd_image_lock {
 public:
  dd_image_lock() = default;
  ~dd_image_lock();
  dd_image_lock(const dd_image_lock&) = delete;
  dd_image_lock& operator=(const dd_image_lock&) = delete;

  enum { LOCKED = 0, BUSY = 1, FAILED = 2 };
  // Locks the file at system path (see tb_file_system_path). With create, a
  // missing file is made (empty) and *created says so; without it a missing
  // file counts as LOCKED (there is nothing to guard). BUSY when another
  // job holds it, FAILED with *error for anything else.
  int acquire(const std::string& path, bool exclusive, bool create, bool* created, std::string* error);
  void release();

 private:
  intptr_t handle_ = -1;
};

// While one lives, files that a library makes without naming their mode (the
// segments of an E01 image) are readable by their user and group only, as
// the file layer makes the images and records; the process's earlier
// setting comes back with the destructor.
class dd_host_private_files {
 public:
  dd_host_private_files();
  ~dd_host_private_files();
  dd_host_private_files(const dd_host_private_files&) = delete;
  dd_host_private_files& operator=(const dd_host_private_files&) = delete;

 private:
  unsigned saved_ = 0;
};

// Narrow text of this system (a command line, a file name) as UTF-8: text
// that already is UTF-8 stays as it is; otherwise it is converted from the
// system's narrow character set (the locale's on POSIX, the ANSI code page
// on Windows); bytes that still cannot be read are kept as "\xNN".
std::string dd_host_utf8(std::string_view text);

// The system the program runs on, as an image's header names it
// ("Linux 6.1.0-18-amd64", "Windows 10.0").
std::string dd_host_system();

// Free bytes for an unprivileged writer on the file system that holds the
// system path (or the folder it would be made in); -1 when unknown.
int64_t dd_host_free_bytes(const std::string& path);

// Whether writing the image at system path image would write into the
// source at system path source: the same file or device, a file that backs
// a loop device that is (or holds) the source, or an image on a file system
// that lives on the source. true with *why.
bool dd_host_image_in_source(const std::string& source, const std::string& image, std::string* why);
