// NodePool: a few extracted nodes of a node-based container, kept for reuse.
// Internal to the in-memory caches; not part of the library's interface.
//
// IndexedCache's public containers are node-based: every entry it lists adds
// a node to a std::set of ids, often a key to m_indexedEntries (a node and
// the key's text), a record to m_entryIndexKeys and a key node with its text
// to that record's set. Deleting the entry frees them all. A replacement (the
// synchronized cache's AddEntryAndDeleteExistingEntriesItMatches, and any
// deletion followed by an addition) then allocates the same shapes again,
// usually with texts of the same length. Instead of freeing, the cache
// extracts such nodes (C++17 node handles) into a pool of a few, and takes
// them back when it lists an entry: the node is given its new value (a text
// is copied into the capacity it already has) and inserted, without
// allocating. The containers end up exactly as with erase and insert.
//
// Thread rules: a plain value; the owner's lock guards it.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

namespace CacheHelpers::internal {

template <class NodeHandle, size_t Capacity = 4>
class NodePool {
 public:
  // Keeps the node if there is room; otherwise it is freed here.
  void Keep(NodeHandle&& node) {
    if (!node.empty() && m_count < Capacity) m_nodes[m_count++] = std::move(node);
  }
  // A kept node, or an empty handle.
  NodeHandle Take() { return m_count > 0 ? std::move(m_nodes[--m_count]) : NodeHandle(); }

 private:
  std::array<NodeHandle, Capacity> m_nodes;
  size_t m_count = 0;
};

}  // namespace CacheHelpers::internal
