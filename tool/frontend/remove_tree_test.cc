#include "tool/frontend/remove_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/testing/temp_dir.h"

namespace {

using platform::testing::ReadFile;
using platform::testing::TempDir;
using platform::testing::WriteFile;

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

TEST(RemoveDirectoryTreeTest, RemovesNestedTreeButNeverWhatLinksPointAt) {
  TempDir dir;
  std::string outside = dir.Sub("outside");
  ASSERT_TRUE(WriteFile(outside + "/keep.txt", "precious"));
  std::string tree = dir.Sub("tree");
  ASSERT_TRUE(WriteFile(tree + "/a/b/c/file", "x"));
  ASSERT_TRUE(WriteFile(tree + "/top", "y"));
  ASSERT_EQ(::symlink(outside.c_str(), (tree + "/a/link-to-dir").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/keep.txt").c_str(), (tree + "/a/b/link-to-file").c_str()), 0);
  ASSERT_EQ(::mkfifo((tree + "/a/fifo").c_str(), 0600), 0);

  EXPECT_TRUE(RemoveDirectoryTree(tree));
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(ReadFile(outside + "/keep.txt"), "precious");
}

TEST(RemoveDirectoryTreeTest, LinkInPlaceOfTheFolderIsRemovedAsALink) {
  TempDir dir;
  std::string outside = dir.Sub("outside");
  ASSERT_TRUE(WriteFile(outside + "/keep.txt", "precious"));
  std::string tree = dir.Sub("tree");
  ASSERT_EQ(::symlink(outside.c_str(), tree.c_str()), 0);
  EXPECT_TRUE(RemoveDirectoryTree(tree));
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(ReadFile(outside + "/keep.txt"), "precious");
}

TEST(RemoveDirectoryTreeTest, MissingPathAndPlainFile) {
  TempDir dir;
  EXPECT_TRUE(RemoveDirectoryTree(dir.Sub("nothing-here")));
  ASSERT_TRUE(WriteFile(dir.Sub("file"), "z"));
  EXPECT_TRUE(RemoveDirectoryTree(dir.Sub("file")));
  EXPECT_FALSE(Exists(dir.Sub("file")));
}

}  // namespace
