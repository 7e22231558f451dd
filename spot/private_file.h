#pragma once
// A small private file kept in a shared folder such as /tmp by a program that runs as
// root. Reading never follows a link and accepts only a regular file of this user;
// writing never touches what lies at the path: a new file is made beside it (O_EXCL,
// mode 0600), filled, flushed and renamed over the path, so that neither a planted
// link nor a crash half-way can make anything else be overwritten or leave half a
// file behind.
//
// Plain functions without state; any thread may call them.

#include <cstddef>
#include <optional>
#include <string>

// The whole content of the file at `host_path` (a host path), at most `max_size`
// bytes. nullopt when it is missing, a link, not a regular file, not owned by this
// user, larger than `max_size`, or cannot be read.
std::optional<std::string> ReadPrivateFile(const std::string& host_path, size_t max_size);

// Replaces the file at `host_path` with `size` bytes of `data`, mode 0600. False when
// it could not be written; then the old file (or whatever lies there) is unchanged and
// no temporary file is left behind.
bool ReplacePrivateFile(const std::string& host_path, const void* data, size_t size);
