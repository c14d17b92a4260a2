// krimg deploy: copies the file-service daemon to the device and starts it.
#pragma once

// argv[0] is "deploy". Returns the process exit status.
int krimg_deploy_main(int argc, char** argv);
