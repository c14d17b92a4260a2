// The front end's hooks, installed once before the first job.
#include "krsd_ui.h"

namespace {

void no_status(const char*) {}
void no_progress(int) {}
void no_flash() {}
int no_answer(const char*) { return 0; }

constexpr krsd_ui_ops kNone = {no_status, no_progress, no_flash, no_answer};

// Written by the front end before it hands over a job; read by the worker.
// The hand-over through the worker's queue orders the two.
krsd_ui_ops g_ops = kNone;

}  // namespace

void krsd_ui_set(const krsd_ui_ops* ops) {
  g_ops = kNone;
  if (!ops) return;
  if (ops->set_status) g_ops.set_status = ops->set_status;
  if (ops->set_progress) g_ops.set_progress = ops->set_progress;
  if (ops->flash_if_disabled) g_ops.flash_if_disabled = ops->flash_if_disabled;
  if (ops->ask_yes_no) g_ops.ask_yes_no = ops->ask_yes_no;
}

void ui_set_status(const char* text) { g_ops.set_status(text ? text : ""); }
void ui_set_progress(int percent) { g_ops.set_progress(percent); }
void ui_flash_if_disabled() { g_ops.flash_if_disabled(); }
int ui_ask_yes_no(const char* question) { return g_ops.ask_yes_no(question); }
