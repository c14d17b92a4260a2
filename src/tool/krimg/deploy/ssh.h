// Deployment of the device daemon over SSH with PuTTY's tools.
#pragma once

#include <functional>
#include <string>

// Address, user and password each hold at most this many characters; the
// dialog's edits take no more.
inline constexpr int SSH_FIELD_MAX = 31;

// Makes the program's directory the current directory and starts the
// deployment worker; 0.
int ssh_init();
// Copies the request and wakes the worker; 0 (-1 without an address or a
// user, or without a worker). Busy from here until the deployment has
// ended; a value longer than SSH_FIELD_MAX characters fails it with the
// copy step's outcome line.
int ssh_request_init_dev(const char* ip, int port, const char* user, const char* password);
int ssh_is_busy();
int ssh_exit();
// Carries out one deployment from the request (the worker's step); 0 when
// "设备初始化完成" was logged, else non-zero.
int ssh_init_dev();

// Result of the last deployment the worker finished (ssh_init_dev's result;
// -1 before the first).
int ssh_last_result();
// Waits for the worker to end after ssh_exit (the command line and tests;
// the dialog never waits). Returns at once without a worker or before
// ssh_exit. After it, ssh_init starts a new worker; a second ssh_init
// without ssh_exit keeps the running one.
void ssh_wait_exit();
// The time limit of each step in ms (30000); tests shorten it.
void ssh_set_step_limit(unsigned limit_ms);

// Asked on the deployment worker when the SSH tools refuse a host key they
// have not cached: the device's address and SSH port and the key's
// fingerprint as the tools show it ("ssh-ed25519 255 SHA256:..."). True
// trusts the key: it is stored in the tools' host-key cache and the
// deployment goes on. Without a question nothing is trusted. A changed key
// is never asked about: it is refused as a possible attack.
using ssh_hostkey_fn = std::function<bool(const char* host, int port, const char* fingerprint)>;
void ssh_set_hostkey_question(ssh_hostkey_fn ask);
// Whether the fingerprint an examiner gave names the key the tools showed
// ("ssh-ed25519 255 SHA256:..."): the whole of it is either that line (runs
// of blanks count as one) or its hash alone ("SHA256:..."). Anything else
// (words before a right hash, another key type) names another key.
bool ssh_same_fingerprint(const std::string& given, const std::string& shown);
// The SHA-256 of the TLS certificate that the daemon started by the last
// successful deployment reported (64 lower-case hex digits, what the
// "ssl-sha256=" option of a krps:// URL pins); empty when it reported none.
std::string ssh_last_tls_sha256();
