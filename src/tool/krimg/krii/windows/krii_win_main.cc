// krii.exe: the acquisition dialog on Windows.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <unistd.h>

#include "krii_win_dlg.h"
#include "os/os_system.h"

namespace {

// The system's start-up of a window program: DPI awareness where the system
// offers it, the common controls of the template, the rich edit's library
// (its window class exists once it is loaded), COM for the shell's dialogs.
void start_up() {
  using dpi_fn = BOOL(WINAPI*)();
  if (HMODULE user = GetModuleHandleW(L"user32.dll"))
    if (auto aware = reinterpret_cast<dpi_fn>(reinterpret_cast<void*>(GetProcAddress(user, "SetProcessDPIAware"))))
      aware();
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES | ICC_INTERNET_CLASSES |
                                           ICC_PROGRESS_CLASS | ICC_LINK_CLASS};
  InitCommonControlsEx(&icc);
  LoadLibraryW(L"riched20.dll");
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
}

bool has_switch(const wchar_t* name) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  bool found = false;
  for (int i = 1; argv && i < argc; ++i)
    if (std::wcscmp(argv[i], name) == 0) found = true;
  LocalFree(argv);
  return found;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  start_up();
  // A hidden switch for demonstrations: Start is pressed once the dialog is
  // up (the examiner's program takes no options).
  const bool autostart = has_switch(L"--autostart");
  {
    CkriiDlg dlg;
    krii_configure_logging();
    dlg.DoModal(instance, autostart);
  }
  // A deployment tool still running is ended with every process it started
  // (its command line holds the password). A job still running ends with
  // the process; its image can be resumed later. Leaving without the static
  // destructors keeps them from pulling state away under a worker that is
  // still copying.
  os_system_end_all();
  std::fflush(nullptr);
  _exit(0);
}
