// The execution context of each call into the engine, built here and
// nowhere else: the process's worker pool, the kernel level detected on this
// CPU and the calling thread's random generator.
#pragma once

#include "engine/execution_context.hpp"

namespace quorla::interface {

// Training may create the pool (lazily, at its first label step) and draws
// from `random`, or from the calling thread's generator when it is null.
engine::ExecutionContext training_context(engine::ThreadRandom* random);

// Assignment uses the pool only once it exists: creating it is training's
// business, whose thread setting decides its size. It draws nothing.
engine::ExecutionContext assignment_context();

}  // namespace quorla::interface
