// Private to libbase: the built-in file drivers. The portable ones (null,
// zero, random) live in platform/file.cc; those that reach the system (the
// local file driver, standard input and output) have one implementation per
// OS under platform/<os>/.
#pragma once

#include <cstddef>

#include "tb_file.h"

extern const tb_file_driver tb_file_driver_file;
extern const tb_file_driver tb_file_driver_stdout;
extern const tb_file_driver tb_file_driver_stdin;

// The error class of an errno value.
int tb_file_ioerr_class(int err);

// ctrl of the drivers without a device behind them: devinfo with zero
// offset and size and 512-byte sectors, error class IOERR_NONE.
int tb_file_stub_ctrl(void* ctx, int code, void* arg, size_t arg_size);

// The system side of tb_file_local_kind and tb_file_rename, on names that
// device naming gave to the local file driver.
int tb_file_sys_kind(const char* name);
int tb_file_sys_rename(const char* from, const char* to);

// tb_file_read_direct of the local file driver (ctx is its context): on
// Linux a second descriptor opened O_DIRECT on first use; on Windows the
// unbuffered handle's read belongs here. Same results as tb_file_read_direct.
long tb_file_sys_read_direct(void* ctx, void* buf, size_t size, int64_t offset);
