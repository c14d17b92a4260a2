// Work handed to the UI thread by any thread: the log window's lines and
// the engine's hooks. Handing over never waits for the UI thread (which may
// itself wait for the log lock a worker holds); the UI thread runs the work
// in the order it was handed over when it handles the window's message.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

class ui_queue {
 public:
  static ui_queue& instance();

  // The window whose message drains the queue; nullptr detaches it and
  // drops what is pending. UI thread.
  void attach(HWND hwnd, UINT message);
  // Any thread. false (and nothing queued) while no window is attached.
  bool post_line(const char* line);
  bool post(std::function<void()> work);
  // UI thread, on the message: runs the work in order; consecutive lines
  // reach on_lines together, as one text.
  void drain(const std::function<void(const std::string&)>& on_lines);

 private:
  struct item {
    std::string line;
    std::function<void()> work;  // empty for a line
  };
  bool push(item it);

  std::mutex mu_;
  HWND hwnd_ = nullptr;         // guarded by mu_
  UINT message_ = 0;            // guarded by mu_
  std::vector<item> items_;     // guarded by mu_
  bool posted_ = false;         // guarded by mu_
};

// The log sink for both callback slots of the logging facility: the line is
// queued for the log window. Any thread; returns 0.
int ui_log_append(const char* line);
