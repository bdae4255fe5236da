#include "python/bindings.hpp"

namespace vexa::python {

// Tensor members (levels, residues, Jacobians) join here.
void bindTreeTensors(MaxTreeClass&) {}
void bindTreeTensors(MinTreeClass&) {}

}  // namespace vexa::python
