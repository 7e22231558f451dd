// What we write is what independent readers (GNU parted, util-linux partx) see,
// and a map labelled by parted reads as the Apple driver type with its entries.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>

#include "tool/disks/partition_map.h"
#include "tool/disks/testing/map_fixture.h"

namespace mv_test {
namespace {

struct Row {
  uint32_t first, length;
  std::string type;  // empty where the reader does not say
  bool operator==(const Row&) const = default;
  bool operator<(const Row& o) const { return first < o.first; }
};
std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << "[" << r.first << "+" << r.length << " " << r.type << "]";
}

// Runs a shell command; its standard output, or nullopt when it failed.
std::optional<std::string> RunCommand(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

bool Have(const char* tool) { return RunCommand(std::string("command -v ") + tool).has_value(); }

// partx: every entry of the map with its type.
std::vector<Row> PartxRows(const std::string& image) {
  std::vector<Row> rows;
  const auto out = RunCommand("partx -P -o START,SECTORS,TYPE '" + image + "'");
  EXPECT_TRUE(out.has_value());
  if (!out) return rows;
  const std::regex line(R"re(START="(\d+)" SECTORS="(\d+)" TYPE="([^"]*)")re");
  std::istringstream in(*out);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (std::regex_search(l, m, line)) {
      rows.push_back({static_cast<uint32_t>(std::stoul(m[1])),
                      static_cast<uint32_t>(std::stoul(m[2])), m[3]});
    }
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// parted: numbered partitions and free space, in sectors; the type is "free" for
// free space and empty otherwise (parted does not print Apple types).
std::vector<Row> PartedRows(const std::string& image, std::string* table) {
  std::vector<Row> rows;
  const auto out = RunCommand("parted -s -m '" + image + "' unit s print free");
  EXPECT_TRUE(out.has_value());
  if (!out) return rows;
  const std::regex part(R"re(^(\d+):(\d+)s:(\d+)s:(\d+)s:[^:]*:[^:]*:[^;]*;)re");
  const std::regex space(R"re(^1:(\d+)s:(\d+)s:(\d+)s:free;)re");
  const std::regex disk(R"re(^[^:]*:\d+s:[^:]*:\d+:\d+:([a-z]+):)re");
  std::istringstream in(*out);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (std::regex_search(l, m, space)) {
      rows.push_back({static_cast<uint32_t>(std::stoul(m[1])),
                      static_cast<uint32_t>(std::stoul(m[3])), "free"});
    } else if (std::regex_search(l, m, part)) {
      rows.push_back({static_cast<uint32_t>(std::stoul(m[2])),
                      static_cast<uint32_t>(std::stoul(m[4])), ""});
    } else if (std::regex_search(l, m, disk)) {
      *table = m[1];
    }
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

class InteropTest : public MapFixture {
 public:
  void SetUp() override {
    if (!Have("parted") || !Have("partx")) GTEST_SKIP() << "parted or partx is not installed";
  }

  std::vector<Row> OurRows(bool partedStyle) {
    std::vector<Row> rows;
    for (const EntryView& e : Snapshot().entries) {
      if (!partedStyle) {
        rows.push_back({e.first, e.length, e.type});
      } else {
        rows.push_back({e.first, e.length, e.type == kTypeFree ? "free" : ""});
      }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }
};

TEST_F(InteropTest, ReadersSeeTheMapWeWrite) {
  Initialize();
  struct Step {
    const char* name;
    std::function<void()> change;
  };
  const std::vector<Step> steps = {
      {"fresh", [] {}},
      {"two volumes carved",
       [this] {
         ASSERT_EQ(CarveVolume(1, 5 * kMiB), 0);
         ASSERT_EQ(CarveVolume(2, 7 * kMiB + 1000), 0);
       }},
      {"one deleted", [this] { ASSERT_EQ(DeleteVolume(1), 0); }},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.change();
    EXPECT_EQ(PartxRows(image()), OurRows(false));
    std::string table;
    EXPECT_EQ(PartedRows(image(), &table), OurRows(true));
    EXPECT_EQ(table, "mac");
  }
}

TEST_F(InteropTest, PartedLabelledDiskReadsAsAppleWithItsEntries) {
  ASSERT_TRUE(RunCommand("parted -s '" + image() +
                  "' mklabel mac mkpart first hfs+ 1MiB 20MiB mkpart second hfs+ 20MiB 40MiB")
                  .has_value());
  TPartitionMap map(disk_.get(), &volumes_);
  ASSERT_EQ(map.Open(true), 0);
  ASSERT_EQ(map.Read(true), 0);
  EXPECT_EQ(map.ReturnDriverType(), kDriverTypeApple);
  EXPECT_EQ(map.ReturnDiskBlockSize(), 512u);
  EXPECT_EQ(OurRows(false), PartxRows(image()));
  EXPECT_EQ(map.ReturnNumberPartitions(), 2u);
  PartitionInfoRec info[2];
  map.FillInPartitionInfoArray(info, 2);
  EXPECT_STREQ(info[0].type, kTypeHFS);
  EXPECT_EQ(uint64_t{info[0].blockCount} * 512, 19 * kMiB);
  EXPECT_EQ(uint64_t{info[1].firstBlock} * 512, 20 * kMiB);
  EXPECT_EQ(map.ReturnFreeBytes(), 64 * kMiB - 40 * kMiB + 1 * kMiB - 64 * 512);
  EXPECT_TRUE(volumes_.added.empty());
}

}  // namespace
}  // namespace mv_test
