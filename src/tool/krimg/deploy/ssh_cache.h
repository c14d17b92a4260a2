// PuTTY's host-key cache as the tools keep it for the examiner: a file on
// POSIX, a registry key on Windows (one implementation per OS, chosen by
// CMake). Only read: the tools themselves store a key the examiner trusts.
#pragma once

#include <string>
#include <vector>

// The key types ("ssh-ed25519", "ssh-rsa", ...) the cache holds a key of for
// host (as given to the tools) and port; empty when none, or when the cache
// cannot be read.
std::vector<std::string> ssh_cached_key_types(const std::string& host, int port);
