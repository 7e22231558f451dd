#pragma once
// Removes a file-system entry and, when it is a directory, everything in it, without
// ever following a symbolic link: a link inside the tree is removed as a link, and a
// directory swapped for a link while the walk runs is left alone. The host path is
// used as given.

#include <string>

// True when nothing is left at `path` (also when there was nothing to begin with).
bool RemoveDirectoryTree(const std::string& path);
