// The bulk builder of the index trees: one bottom-up writer behind the four
// file kinds (NTX, NDX, MDX, CDX).
//
// Entries come in key order and fill the node of the lowest level.  A node
// that is complete is written, and the entry that stands for it (its page
// and a separating key) goes to the node being filled one level up, which
// is written in its turn when complete; a level is added when the top one
// closes a node.  At the end the open node of each level is written from
// the bottom up, and the top level's one node is the root.
//
// What differs between the kinds is the format's part (F; cvTreeFormat
// gives the common forms of the members marked *):
//
//   Entry, Node          what an entry handed to a node is, and the node
//                        being filled (each kind keeps its own form).
//   HoldBack()*          true: a full node waits until the next node of its
//                        level is full as well, so that at the end the last
//                        two can share their entries (Balance); the node is
//                        asked Full before each entry.  false: a node is
//                        asked Full after each entry and is written at once.
//   Full(level, node, more)
//                        the node takes no more entries (HoldBack) or is
//                        complete.  `more` is what the caller of Add said
//                        (another entry follows) for the entries that stream
//                        and the nodes they close, and false for the entries
//                        the end of the build hands up.
//   Empty(node)*         the node holds no entry.
//   Append(level, node, entry)*
//   Balance(level, prev, cur)*
//                        (HoldBack) the last two nodes of a level before
//                        they are written at the end.
//   NewLevel(level)*     a level is added above the others.
//   Write(level, node, role) -> page
//                        encodes and writes the node; `role` tells where
//                        it stands on its level.
//   Up(level, node, page, role) -> entry
//                        the entry for the parent of the node just written
//                        (it may point into the node: the parent takes it
//                        before the node is cleared).
//   Clear(node)*         empties the node for the next one of its level.
//
// Pages are written in the order these calls come, so a kind's files keep
// their bytes only as long as the calls keep their order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

// Where a node stands on its level when it is written.
enum class cvTreeNode {
  Inner,  // another node of its level follows
  Last,   // the last node of its level, below the top
  Root,   // the one node of the top level
};

// The common forms: a node is a vector of its entries, written as soon as
// it is complete; nothing happens when a level is added.
template <class EntryType, class NodeType = std::vector<EntryType>>
struct cvTreeFormat {
  using Entry = EntryType;
  using Node = NodeType;
  static constexpr bool HoldBack() { return false; }
  static bool Empty(const Node& node) { return node.empty(); }
  static void Append(size_t, Node& node, Entry&& e) { node.push_back(std::move(e)); }
  static void Balance(size_t, Node&, Node&) {}
  static void NewLevel(size_t) {}
  static void Clear(Node& node) { node.clear(); }
};

template <class F>
class cvTreeWriter {
public:
  using Entry = typename F::Entry;
  using Node = typename F::Node;

  explicit cvTreeWriter(F& format) : f_(format) { levels_.emplace_back(); }

  // Hands the next entry in key order to the lowest level; `more` tells
  // whether another one follows.
  void Add(Entry&& e, bool more = true) { Push(0, std::move(e), more); }

  // Writes the open nodes from the bottom up; returns the root's page (an
  // empty root when no entry came).
  int32_t Finish() {
    for (size_t level = 0;; ++level) {
      Level& l = levels_[level];
      const bool above = level + 1 < levels_.size();
      if (l.hasPrev) {
        f_.Balance(level, l.prev, l.cur);
        Close(level, l.prev, cvTreeNode::Inner, false);
      }
      if (!above && !l.hasPrev) return f_.Write(level, l.cur, cvTreeNode::Root);
      // A level whose nodes were all closed on the way has nothing left.
      if (!f_.Empty(l.cur)) Close(level, l.cur, cvTreeNode::Last, false);
    }
  }

private:
  struct Level {
    Node cur;   // the node being filled
    Node prev;  // HoldBack: the full node held back
    bool hasPrev = false;
  };

  void Push(size_t level, Entry&& e, bool more) {
    if (levels_.size() <= level) {
      levels_.emplace_back();
      f_.NewLevel(level);
    }
    // A deque: the level stays where it is while levels are added above.
    Level& l = levels_[level];
    if constexpr (F::HoldBack()) {
      if (f_.Full(level, l.cur, more)) {
        if (l.hasPrev) Close(level, l.prev, cvTreeNode::Inner, more);
        std::swap(l.prev, l.cur);
        l.hasPrev = true;
      }
      f_.Append(level, l.cur, std::move(e));
    } else {
      f_.Append(level, l.cur, std::move(e));
      if (f_.Full(level, l.cur, more)) Close(level, l.cur, cvTreeNode::Inner, more);
    }
  }

  void Close(size_t level, Node& node, cvTreeNode role, bool more) {
    const int32_t page = f_.Write(level, node, role);
    Push(level + 1, f_.Up(level, node, page, role), more);
    f_.Clear(node);
  }

  F& f_;
  std::deque<Level> levels_;
};
