#include "engine/medoids.hpp"

#include "engine/fault.hpp"

namespace quorla::engine {

void update_medoids(Model&, const PointView&) { raise_fault("Medoid mode is not available yet"); }

void update_cluster_medoid(Model&, const PointView&, std::uint64_t) {
    raise_fault("Medoid mode is not available yet");
}

}  // namespace quorla::engine
