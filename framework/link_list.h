#pragma once
// Intrusive-by-node linked lists: a singly linked list with a forward cursor, and a
// doubly linked list whose cursor walks either way.
//
// Ownership: a list owns its nodes (its destructor deletes them) but never the data a
// node carries, unless the caller asks for that (DeleteListData, RemoveNode); such
// data must come from malloc, since it is released with free. Nodes are allocated by
// the callers with new. Not thread-safe: the owner of a list serialises access.

#include <cstdint>

class TListNode {
 public:
  TListNode() = default;
  virtual ~TListNode() = default;  // frees the node only, never the data
  TListNode(const TListNode&) = delete;
  TListNode& operator=(const TListNode&) = delete;

  // Frees the data block with free() and forgets it.
  virtual void DeleteData();

  TListNode* next = nullptr;
  void* data = nullptr;
};

class TLinkList {
 public:
  constexpr TLinkList() = default;
  ~TLinkList();
  TLinkList(const TLinkList&) = delete;
  TLinkList& operator=(const TLinkList&) = delete;

  // Both ignore a null node. Append makes the node the last one (its next is reset).
  void Prepend(TListNode* node);
  void Append(TListNode* node);
  short Count() const;
  // Takes the node out of the chain and deletes it (not its data); a node that is
  // not in the list is left alone.
  void UnlinkNode(TListNode* node);
  // UnlinkNode of the first node carrying `data`; nothing when none does.
  void Unlink(void* data);
  // Unlink(data), then free(data) (also when no node carried it).
  void RemoveNode(void* data);
  // DeleteData() and delete for every node; the list is empty afterwards.
  void DeleteListData();
  // The node at zero-based position n; null when n is negative or past the end.
  TListNode* ReturnNthNode(short n) const;
  void* ReturnNth(short n) const;

  TListNode* head = nullptr;
};

// A cursor over a TLinkList. position counts from 1 on the first node and is 0 when
// there is no current node.
class TIterator {
 public:
  explicit TIterator(TLinkList* list);
  virtual ~TIterator() = default;

  virtual TListNode* NextNode();
  virtual void Reset();
  void* ReturnNodeData() const { return current != nullptr ? current->data : nullptr; }
  void* ReturnNextNodeData();

  TListNode* current = nullptr;
  TLinkList* list = nullptr;
  int32_t position = 0;
};

class TDoubleListNode : public TListNode {
 public:
  TDoubleListNode* previous = nullptr;
};

// A doubly linked list of TDoubleListNode. Only the operations below keep the tail
// right, so the singly linked list's own mutators are hidden here.
class TDoubleLinkList : public TLinkList {
 public:
  constexpr TDoubleLinkList() = default;

  void Prepend(TDoubleListNode* node);
  void Append(TDoubleListNode* node);
  // Joins the node's neighbours; the node is not deleted. Nothing happens when the
  // node is not in the list.
  void UnlinkNode(TDoubleListNode* node);
  // Takes the first node carrying `data` out of the chain and deletes it (not the data).
  void Unlink(void* data);
  // Unlink(data), then free(data).
  void RemoveNode(void* data);
  void DeleteListData();

  void Prepend(TListNode*) = delete;
  void Append(TListNode*) = delete;
  void UnlinkNode(TListNode*) = delete;

  TDoubleListNode* tail = nullptr;

 private:
  bool Contains(const TDoubleListNode* node) const;
};

// A cursor over a TDoubleLinkList; forward from the head or backward from the tail.
class TDoubleIterator : public TIterator {
 public:
  TDoubleIterator(TDoubleLinkList* list, unsigned char forward);

  TListNode* NextNode() override;
  void Reset() override;

  unsigned char forward = 1;
};
