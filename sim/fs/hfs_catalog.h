#pragma once
// The volume name of an HFS Plus (or HFSX) volume lives in its catalog B-tree: in the
// key of the root folder's record (parent 1) and in the root folder's thread record
// (key: parent 2, empty name). These functions find and change both. `volume` is the
// HFS Plus volume itself (its header at byte 1024), not a wrapper around it.
//
// Every node, record and key offset is checked against the node before it is used;
// walks along node links are bounded by the tree's node count.

#include <optional>
#include <string>
#include <string_view>

#include "sim/fs/block_store.h"

namespace sim {

std::optional<std::string> ReadHfsPlusVolumeName(BlockStore& volume);
// 0; EINVAL for a name that is empty, longer than 255 UTF-16 units or not UTF-8;
// EIO for a catalog that cannot be read or does not hold the root folder; ENOSPC
// when the renamed records do not fit their node.
int RenameHfsPlusVolume(BlockStore& volume, std::string_view name);

// UTF-8 and UTF-16 (as HFS Plus stores names); nullopt for malformed input.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace sim
