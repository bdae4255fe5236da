#include "python/bindings.hpp"

namespace vexa::python {

// Information records (getInfoToDataFrame) join here.
void bindNodeRecords(NodeClass&) {}
void bindTreeRecords(MaxTreeClass&) {}
void bindTreeRecords(MinTreeClass&) {}

}  // namespace vexa::python
