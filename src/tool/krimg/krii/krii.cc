// krii: the acquisition dialog.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "kriiApp.h"

int main(int argc, char** argv) {
  bool autostart = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--autostart") == 0) autostart = true;
  int rc = 0;
  {
    CkriiApp app(argc, argv);
    rc = app.InitInstance(autostart);
  }
  // A job or deployment still running ends with the process; its image can
  // be resumed later. Leaving without the static destructors keeps them from
  // pulling state away under a worker that is still copying.
  std::fflush(nullptr);
  _exit(rc);
}
