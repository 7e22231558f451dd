#include "framework/link_list.h"

#include <cstdlib>

void TListNode::DeleteData() {
  std::free(data);
  data = nullptr;
}

TLinkList::~TLinkList() {
  TListNode* node = head;
  while (node != nullptr) {
    TListNode* following = node->next;
    delete node;
    node = following;
  }
  head = nullptr;
}

void TLinkList::Prepend(TListNode* node) {
  if (node == nullptr) return;
  node->next = head;
  head = node;
}

void TLinkList::Append(TListNode* node) {
  if (node == nullptr) return;
  node->next = nullptr;  // a stale link would hang a foreign chain onto this list
  if (head == nullptr) {
    head = node;
    return;
  }
  TListNode* last = head;
  while (last->next != nullptr) last = last->next;
  last->next = node;
}

short TLinkList::Count() const {
  short count = 0;
  for (TListNode* node = head; node != nullptr; node = node->next) ++count;
  return count;
}

void TLinkList::UnlinkNode(TListNode* node) {
  if (node == nullptr) return;
  TListNode** link = &head;
  while (*link != nullptr && *link != node) link = &(*link)->next;
  if (*link == nullptr) return;
  *link = node->next;
  delete node;
}

void TLinkList::Unlink(void* data) {
  for (TListNode* node = head; node != nullptr; node = node->next) {
    if (node->data == data) {
      UnlinkNode(node);
      return;
    }
  }
}

void TLinkList::RemoveNode(void* data) {
  Unlink(data);
  std::free(data);
}

void TLinkList::DeleteListData() {
  while (head != nullptr) {
    TListNode* node = head;
    head = node->next;
    node->DeleteData();
    delete node;
  }
}

TListNode* TLinkList::ReturnNthNode(short n) const {
  if (n < 0) return nullptr;
  TListNode* node = head;
  while (node != nullptr && n > 0) {
    node = node->next;
    --n;
  }
  return node;
}

void* TLinkList::ReturnNth(short n) const {
  TListNode* node = ReturnNthNode(n);
  return node != nullptr ? node->data : nullptr;
}

TIterator::TIterator(TLinkList* walked) : list(walked) { TIterator::Reset(); }

TListNode* TIterator::NextNode() {
  if (current != nullptr) {
    current = current->next;
    position = current != nullptr ? position + 1 : 0;
  }
  return current;
}

void TIterator::Reset() {
  current = list != nullptr ? list->head : nullptr;
  position = current != nullptr ? 1 : 0;
}

void* TIterator::ReturnNextNodeData() {
  NextNode();
  return ReturnNodeData();
}

bool TDoubleLinkList::Contains(const TDoubleListNode* node) const {
  for (const TListNode* n = head; n != nullptr; n = n->next) {
    if (n == node) return true;
  }
  return false;
}

void TDoubleLinkList::Prepend(TDoubleListNode* node) {
  if (node == nullptr) return;
  node->previous = nullptr;
  node->next = head;
  if (head != nullptr) {
    static_cast<TDoubleListNode*>(head)->previous = node;
  } else {
    tail = node;
  }
  head = node;
}

void TDoubleLinkList::Append(TDoubleListNode* node) {
  if (node == nullptr) return;
  node->next = nullptr;
  node->previous = tail;
  if (tail != nullptr) {
    tail->next = node;
  } else {
    head = node;
  }
  tail = node;
}

void TDoubleLinkList::UnlinkNode(TDoubleListNode* node) {
  // The node's own links are not trusted until it is known to be ours.
  if (node == nullptr || !Contains(node)) return;
  auto* following = static_cast<TDoubleListNode*>(node->next);
  if (node->previous != nullptr) {
    node->previous->next = following;
  } else {
    head = following;
  }
  if (following != nullptr) {
    following->previous = node->previous;
  } else {
    tail = node->previous;
  }
  node->next = nullptr;
  node->previous = nullptr;
}

void TDoubleLinkList::Unlink(void* data) {
  for (TListNode* n = head; n != nullptr; n = n->next) {
    if (n->data == data) {
      auto* node = static_cast<TDoubleListNode*>(n);
      UnlinkNode(node);
      delete node;
      return;
    }
  }
}

void TDoubleLinkList::RemoveNode(void* data) {
  Unlink(data);
  std::free(data);
}

void TDoubleLinkList::DeleteListData() {
  TLinkList::DeleteListData();
  tail = nullptr;
}

TDoubleIterator::TDoubleIterator(TDoubleLinkList* walked, unsigned char isForward)
    : TIterator(walked), forward(isForward) {
  TDoubleIterator::Reset();
}

TListNode* TDoubleIterator::NextNode() {
  if (forward) return TIterator::NextNode();
  if (current != nullptr) {
    current = static_cast<TDoubleListNode*>(current)->previous;
    position = current != nullptr ? position + 1 : 0;
  }
  return current;
}

void TDoubleIterator::Reset() {
  if (forward) {
    TIterator::Reset();
    return;
  }
  current = list != nullptr ? static_cast<TDoubleLinkList*>(list)->tail : nullptr;
  position = current != nullptr ? 1 : 0;
}
