#include "framework/link_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

// A node that reports its own destruction, so tests can tell deleted nodes apart.
struct CountingNode : TListNode {
  explicit CountingNode(int* deaths, void* d = nullptr) : deaths_(deaths) { data = d; }
  ~CountingNode() override { ++*deaths_; }
  int* deaths_;
};

std::vector<void*> Walk(TLinkList& list) {
  std::vector<void*> out;
  TIterator it(&list);
  for (void* d = it.ReturnNodeData(); it.current != nullptr; d = it.ReturnNextNodeData()) out.push_back(d);
  return out;
}

std::vector<void*> WalkDouble(TDoubleLinkList& list, bool forward) {
  std::vector<void*> out;
  TDoubleIterator it(&list, forward);
  for (void* d = it.ReturnNodeData(); it.current != nullptr; d = it.ReturnNextNodeData()) out.push_back(d);
  return out;
}

int a, b, c;  // addresses used as node data

TEST(LinkListTest, PrependAppendKeepOrderAndIgnoreNull) {
  TLinkList list;
  auto* nb = new TListNode; nb->data = &b;
  auto* na = new TListNode; na->data = &a;
  auto* nc = new TListNode; nc->data = &c;
  list.Append(nb);
  list.Prepend(na);
  list.Append(nc);
  list.Append(nullptr);
  list.Prepend(nullptr);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(Walk(list), (std::vector<void*>{&a, &b, &c}));
}

TEST(LinkListTest, ReturnNthNodeBounds) {
  TLinkList list;
  auto* only = new TListNode; only->data = &a;
  list.Append(only);
  struct { short n; TListNode* want; } cases[] = {{0, only}, {1, nullptr}, {-1, nullptr}, {32767, nullptr}};
  for (auto& tc : cases) {
    EXPECT_EQ(list.ReturnNthNode(tc.n), tc.want) << tc.n;
    EXPECT_EQ(list.ReturnNth(tc.n), tc.want ? tc.want->data : nullptr) << tc.n;
  }
  TLinkList empty;
  EXPECT_EQ(empty.ReturnNthNode(0), nullptr);
}

TEST(LinkListTest, UnlinkDeletesTheNodeButNotTheData) {
  int deaths = 0;
  TLinkList list;
  list.Append(new CountingNode(&deaths, &a));
  list.Append(new CountingNode(&deaths, &b));
  list.Append(new CountingNode(&deaths, &c));

  list.Unlink(&a);  // the head
  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(Walk(list), (std::vector<void*>{&b, &c}));

  list.Unlink(&c);  // the last
  EXPECT_EQ(deaths, 2);
  EXPECT_EQ(Walk(list), (std::vector<void*>{&b}));
  EXPECT_EQ(b, 0);  // data untouched
}

TEST(LinkListTest, UnlinkOfUnknownDataOrForeignNodeChangesNothing) {
  int deaths = 0;
  TLinkList list;
  list.Append(new CountingNode(&deaths, &a));
  list.Unlink(&b);
  auto* foreign = new CountingNode(&deaths, &a);
  list.UnlinkNode(foreign);
  list.UnlinkNode(nullptr);
  EXPECT_EQ(deaths, 0);
  EXPECT_EQ(Walk(list), (std::vector<void*>{&a}));
  delete foreign;

  TLinkList empty;
  empty.Unlink(&a);
  EXPECT_EQ(empty.head, nullptr);
}

TEST(LinkListTest, RemoveNodeAndDeleteListDataFreeTheData) {
  // Run under the address sanitizer these catch a missing or a double free.
  TLinkList list;
  void* blocks[3];
  for (auto& block : blocks) {
    block = std::malloc(16);
    auto* node = new TListNode;
    node->data = block;
    list.Append(node);
  }
  list.RemoveNode(blocks[1]);
  EXPECT_EQ(list.Count(), 2);
  list.RemoveNode(std::malloc(8));  // carried by no node: freed all the same
  list.DeleteListData();
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.Count(), 0);
  list.DeleteListData();  // empty stays empty
  EXPECT_EQ(list.head, nullptr);
}

TEST(LinkListTest, DestructorDeletesNodesOnly) {
  int deaths = 0;
  {
    TLinkList list;
    list.Append(new CountingNode(&deaths, &a));
    list.Append(new CountingNode(&deaths, &b));
  }
  EXPECT_EQ(deaths, 2);
}

TEST(IteratorTest, PositionCountsFromOneAndIsZeroPastTheEnd) {
  TLinkList empty;
  TIterator none(&empty);
  EXPECT_EQ(none.position, 0);
  EXPECT_EQ(none.ReturnNodeData(), nullptr);
  EXPECT_EQ(none.NextNode(), nullptr);
  EXPECT_EQ(none.position, 0);

  TLinkList list;
  for (int* d : {&a, &b}) {
    auto* n = new TListNode;
    n->data = d;
    list.Append(n);
  }
  TIterator it(&list);
  EXPECT_EQ(it.position, 1);
  EXPECT_EQ(it.ReturnNodeData(), &a);
  EXPECT_EQ(it.ReturnNextNodeData(), &b);
  EXPECT_EQ(it.position, 2);
  EXPECT_EQ(it.NextNode(), nullptr);
  EXPECT_EQ(it.position, 0);
  EXPECT_EQ(it.NextNode(), nullptr);  // stays past the end
  EXPECT_EQ(it.position, 0);
  it.Reset();
  EXPECT_EQ(it.position, 1);
  EXPECT_EQ(it.ReturnNodeData(), &a);
}

TEST(DoubleLinkListTest, BothDirectionsAfterPrependAndAppend) {
  TDoubleLinkList list;
  auto* nb = new TDoubleListNode; nb->data = &b;
  auto* na = new TDoubleListNode; na->data = &a;
  auto* nc = new TDoubleListNode; nc->data = &c;
  list.Prepend(nb);  // empty list: becomes head and tail
  EXPECT_EQ(list.head, nb);
  EXPECT_EQ(list.tail, nb);
  list.Prepend(na);
  list.Append(nc);
  EXPECT_EQ(WalkDouble(list, true), (std::vector<void*>{&a, &b, &c}));
  EXPECT_EQ(WalkDouble(list, false), (std::vector<void*>{&c, &b, &a}));
}

TEST(DoubleLinkListTest, UnlinkNodeAtEachPlaceKeepsHeadAndTailRight) {
  struct Case { int index; std::vector<void*> forward; };
  const Case cases[] = {{0, {&b, &c}}, {1, {&a, &c}}, {2, {&a, &b}}};
  for (const Case& tc : cases) {
    TDoubleLinkList list;
    TDoubleListNode* nodes[3];
    int* data[3] = {&a, &b, &c};
    for (int i = 0; i < 3; ++i) {
      nodes[i] = new TDoubleListNode;
      nodes[i]->data = data[i];
      list.Append(nodes[i]);
    }
    list.UnlinkNode(nodes[tc.index]);
    EXPECT_EQ(WalkDouble(list, true), tc.forward) << tc.index;
    std::vector<void*> backward(tc.forward.rbegin(), tc.forward.rend());
    EXPECT_EQ(WalkDouble(list, false), backward) << tc.index;
    delete nodes[tc.index];  // not deleted by UnlinkNode
  }
}

TEST(DoubleLinkListTest, UnlinkOfLastNodeEmptiesAndForeignNodeIsIgnored) {
  TDoubleLinkList list;
  auto* only = new TDoubleListNode;
  list.Append(only);
  TDoubleListNode foreign;
  list.UnlinkNode(&foreign);
  EXPECT_EQ(list.head, only);
  list.UnlinkNode(only);
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.tail, nullptr);
  delete only;
}

TEST(DoubleLinkListTest, UnlinkByDataAndDeleteListDataKeepTail) {
  TDoubleLinkList list;
  for (int* d : {&a, &b}) {
    auto* n = new TDoubleListNode;
    n->data = d;
    list.Append(n);
  }
  list.Unlink(&b);
  ASSERT_NE(list.tail, nullptr);
  EXPECT_EQ(list.tail->data, &a);
  auto* last = new TDoubleListNode;
  list.Append(last);  // must link after a, not after the freed b
  EXPECT_EQ(WalkDouble(list, false), (std::vector<void*>{nullptr, &a}));

  TDoubleLinkList owned;
  auto* n = new TDoubleListNode;
  n->data = std::malloc(4);
  owned.Append(n);
  owned.DeleteListData();
  EXPECT_EQ(owned.head, nullptr);
  EXPECT_EQ(owned.tail, nullptr);
}

TEST(DoubleIteratorTest, BackwardPositionsAndReset) {
  TDoubleLinkList empty;
  TDoubleIterator none(&empty, false);
  EXPECT_EQ(none.position, 0);
  EXPECT_EQ(none.ReturnNodeData(), nullptr);

  TDoubleLinkList list;
  for (int* d : {&a, &b}) {
    auto* n = new TDoubleListNode;
    n->data = d;
    list.Append(n);
  }
  TDoubleIterator back(&list, false);
  EXPECT_EQ(back.position, 1);
  EXPECT_EQ(back.ReturnNodeData(), &b);
  EXPECT_EQ(back.ReturnNextNodeData(), &a);
  EXPECT_EQ(back.position, 2);
  EXPECT_EQ(back.NextNode(), nullptr);
  EXPECT_EQ(back.position, 0);
  back.Reset();
  EXPECT_EQ(back.ReturnNodeData(), &b);
  EXPECT_EQ(back.position, 1);
}

}  // namespace
