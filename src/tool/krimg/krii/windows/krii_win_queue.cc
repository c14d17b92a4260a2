#include "krii_win_queue.h"

ui_queue& ui_queue::instance() {
  static ui_queue q;
  return q;
}

void ui_queue::attach(HWND hwnd, UINT message) {
  std::lock_guard<std::mutex> lock(mu_);
  hwnd_ = hwnd;
  message_ = message;
  items_.clear();
  posted_ = false;
}

bool ui_queue::push(item it) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!hwnd_) return false;
  items_.push_back(std::move(it));
  // One message per burst; posting never waits.
  if (!posted_) posted_ = PostMessageW(hwnd_, message_, 0, 0) != 0;
  return true;
}

bool ui_queue::post_line(const char* line) { return line && push({line, {}}); }

bool ui_queue::post(std::function<void()> work) { return push({{}, std::move(work)}); }

void ui_queue::drain(const std::function<void(const std::string&)>& on_lines) {
  std::vector<item> items;
  {
    std::lock_guard<std::mutex> lock(mu_);
    items.swap(items_);
    posted_ = false;
  }
  std::string lines;
  for (item& it : items) {
    if (!it.work) {
      lines += it.line;
      continue;
    }
    if (!lines.empty()) on_lines(lines);
    lines.clear();
    it.work();
  }
  if (!lines.empty()) on_lines(lines);
}

int ui_log_append(const char* line) {
  ui_queue::instance().post_line(line);
  return 0;
}
