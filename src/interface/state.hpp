// The saved form of a model, for pickle and copy: a dict of plain values
// and NumPy arrays with a format number. Loading it is reading input from
// outside, so every field is checked before a model is made from it.
#pragma once

#include <optional>

#include "engine/core/model.hpp"
#include "interface/handle.hpp"

namespace quorla::interface {

// A new dict describing the model, or nullptr with a Python error set.
PyObject* model_state(const engine::Model& model);

// The model a state describes. A state that is not one this module writes
// sets ValueError ("Invalid KMeans state: ...") and returns nothing.
std::optional<engine::Model> model_from_state(PyObject* state);

}  // namespace quorla::interface
