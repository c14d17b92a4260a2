// What the imaging engine asks of its front end (the dialog or krimg). The
// engine calls these from its worker thread; the front end installs them
// once before the first job. Without a front end they do nothing and the
// resume question is answered No.
#pragma once

struct krsd_ui_ops {
  void (*set_status)(const char* text);  // the status line; "" clears it
  void (*set_progress)(int percent);     // 0..100
  void (*flash_if_disabled)();           // draw attention while a modal box is open
  // Shows question with Yes and No; 1 for Yes. Runs on the front end's thread.
  int (*ask_yes_no)(const char* question);
};

// Installs ops (copied); null restores the do-nothing front end.
void krsd_ui_set(const krsd_ui_ops* ops);

void ui_set_status(const char* text);
void ui_set_progress(int percent);
void ui_flash_if_disabled();
// The resume question through the front end; 1 for Yes.
int ui_ask_yes_no(const char* question);
