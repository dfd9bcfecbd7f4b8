// The execution contexts of training and assignment.
#include "interface/context.hpp"

#include "engine/kernel_level.hpp"
#include "engine/random.hpp"
#include "parallel/pool.hpp"

namespace quorla::interface {

engine::ExecutionContext training_context() {
    return {&parallel::global_registry(), engine::detected_kernel_level(), &engine::thread_random()};
}

engine::ExecutionContext assignment_context() {
    parallel::PoolRegistry& registry = parallel::global_registry();
    const bool ready = registry.state() == parallel::PoolState::created;
    return {ready ? &registry : nullptr, engine::detected_kernel_level(), nullptr};
}

}  // namespace quorla::interface
