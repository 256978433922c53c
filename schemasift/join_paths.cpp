// Bridge tables: breadth-first search over the relationship graph from each
// chosen table to the tables already connected.
#include "tessarin/schemasift/join_paths.h"

#include <deque>
#include <string_view>
#include <unordered_map>

namespace tessarin::schemasift::internal {

namespace {

constexpr std::size_t kUnseen = static_cast<std::size_t>(-1);

}  // namespace

std::vector<std::vector<std::size_t>> table_neighbours(const MetadataCatalog& catalog) {
  std::unordered_map<std::string_view, std::size_t> position;
  for (std::size_t i = 0; i < catalog.tables.size(); ++i)
    position.emplace(catalog.tables[i].table_name, i);
  std::vector<std::vector<std::size_t>> next(catalog.tables.size());
  for (const RelationshipMeta& rel : catalog.relationships) {
    auto from = position.find(rel.from_table);
    auto to = position.find(rel.to_table);
    if (from == position.end() || to == position.end() || from->second == to->second) continue;
    next[from->second].push_back(to->second);
    next[to->second].push_back(from->second);
  }
  return next;
}

namespace {

// Shortest path from `start` to any table marked connected, as the tables
// strictly between them followed by the one reached; empty when none is
// within `max_length` joins.
std::vector<std::size_t> path_to_connected(const std::vector<std::vector<std::size_t>>& next,
                                           const std::vector<bool>& connected, std::size_t start,
                                           std::size_t max_length) {
  std::vector<std::size_t> parent(next.size(), kUnseen);
  std::vector<std::size_t> depth(next.size(), 0);
  std::deque<std::size_t> queue{start};
  parent[start] = start;
  while (!queue.empty()) {
    std::size_t at = queue.front();
    queue.pop_front();
    if (depth[at] == max_length) continue;
    for (std::size_t to : next[at]) {
      if (parent[to] != kUnseen) continue;
      parent[to] = at;
      depth[to] = depth[at] + 1;
      if (connected[to]) {
        std::vector<std::size_t> path{to};
        for (std::size_t p = at; p != start; p = parent[p]) path.insert(path.begin(), p);
        return path;
      }
      queue.push_back(to);
    }
  }
  return {};
}

}  // namespace

std::vector<BridgeTable> bridge_tables(const MetadataCatalog& catalog,
                                       const std::vector<std::size_t>& chosen,
                                       std::size_t max_path_length) {
  std::vector<BridgeTable> bridges;
  if (chosen.empty() || max_path_length < 2) return bridges;  // one join needs no bridge
  std::vector<std::vector<std::size_t>> next = table_neighbours(catalog);
  std::vector<bool> connected(catalog.tables.size(), false);
  std::vector<bool> is_chosen(catalog.tables.size(), false);
  for (std::size_t c : chosen) is_chosen[c] = true;
  for (std::size_t c : chosen) {
    if (!connected[c]) {
      std::vector<std::size_t> path = path_to_connected(next, connected, c, max_path_length);
      for (std::size_t k = 0; k + 1 < path.size(); ++k) {
        std::size_t table = path[k];
        if (connected[table] || is_chosen[table]) continue;
        connected[table] = true;
        bridges.push_back({table, "bridge table between " + catalog.tables[c].table_name + " and " +
                                      catalog.tables[path.back()].table_name});
      }
    }
    connected[c] = true;
  }
  return bridges;
}

}  // namespace tessarin::schemasift::internal
