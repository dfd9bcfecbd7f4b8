// Results handed to Python as new objects: the cluster lists of train and
// assign, and plain index lists.
#pragma once

#include "interface/handle.hpp"

#include <cstdint>
#include <span>

#include "engine/core/model.hpp"

namespace quorla::interface {

// A fresh list of n_clusters lists of ints, each built at its final size.
PyObject* make_cluster_lists(const engine::ClusterLists& lists);

PyObject* make_index_list(std::span<const std::uint64_t> indices);

}  // namespace quorla::interface
