// What krimg asks of the system: terminals, Ctrl-C and the local image file.
// One implementation per OS (posix/, windows/), chosen by CMake.
#pragma once

#include <cstdint>
#include <string>

// True when standard input, or standard error, is a terminal (a console).
bool krimg_stdin_is_terminal();
bool krimg_stderr_is_terminal();

// Rows of the terminal behind standard error, ready for the status line's
// control sequences; 0 when unknown (the line is then redrawn in place).
int krimg_terminal_rows();

// From now on Ctrl-C (and, with terminate, a request to end the process:
// SIGTERM, a console's close) only sets the flag krimg_interrupted reads;
// krimg_interrupt_release restores what was there before.
void krimg_interrupt_catch(bool terminate);
bool krimg_interrupted();
void krimg_interrupt_release();

// One line from standard input (without its line end), read so that Ctrl-C
// caught by krimg_interrupt_catch still ends the wait; false at the end of
// the input, on a failure or after Ctrl-C.
bool krimg_read_answer(std::string* line);
// A secret line from standard input (without its line end; the last line
// may lack one): on a terminal without echo. False when there was none.
bool krimg_read_secret(std::string* line);

// Size of an existing local image: -1 when it is missing, else its bytes (a
// disk reports its length; 1 when that cannot be told, as a disk may hold
// data); 0 for what holds nothing to overwrite (a character device, a pipe).
int64_t krimg_image_size(const std::string& path);

// True when the local path names a pipe or a socket: reading from it would
// take from another program's stream.
bool krimg_is_pipe(const std::string& path);

// Where PuTTY's tools keep the host keys the examiner trusted, as the
// examiner finds it (a file on POSIX, a registry key on Windows): the entry
// of a device whose key changed is removed there by hand.
const char* krimg_hostkey_store();
