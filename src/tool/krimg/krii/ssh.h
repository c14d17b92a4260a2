// Deployment of the device daemon over SSH with PuTTY's tools.
#pragma once

// Makes the program's directory the current directory and starts the
// deployment worker; 0.
int ssh_init();
// Copies the request and wakes the worker; 0. Busy from here until the
// deployment has ended.
int ssh_request_init_dev(const char* ip, int port, const char* user, const char* password);
int ssh_is_busy();
int ssh_exit();
// Carries out one deployment from the request (the worker's step); 0 when
// "设备初始化完成" was logged, else non-zero.
int ssh_init_dev();
