#include "python/node_references.hpp"

#include <typeinfo>

#include "bpt/binary_partition_tree.hpp"
#include "core/trees/max_tree.hpp"
#include "core/trees/min_tree.hpp"
#include "python/instances.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

// The Python object registered for a native object of the given class, or a
// null handle.
py::handle registeredObject(const void* object, const std::type_info& cls) {
    const py::detail::type_info* info = py::detail::get_type_info(cls);
    return info ? py::detail::get_object_handle(object, info) : py::handle();
}

template <typename NodeT>
py::handle referenceTo(NodeT* node, py::handle owner) {
    if (node == nullptr) return py::none().release();
    // Registered once, when the module is initialised.
    static const py::detail::type_info* const info = py::detail::get_type_info(typeid(NodeT));
    // A node already handed out is handed out again as the same object,
    // which keeps its owner alive already.
    if (py::handle existing = py::detail::get_object_handle(node, info)) return existing.inc_ref();
    // What pybind11 does for a plain reference, with a check that Python
    // could allocate the object.
    py::object ref = newInstance(info->type);
    auto* instance = reinterpret_cast<py::detail::instance*>(ref.ptr());
    instance->owned = false;
    py::detail::values_and_holders(instance).begin()->value_ptr() = node;
    info->init_instance(instance, nullptr);
    if (owner) py::detail::keep_alive_impl(ref, owner);
    return ref.release();
}

}  // namespace

// Trees exist only as Python objects of one of the three tree classes, which
// add no data to their base: the base's address is the object's.
py::handle treeObject(const MorphologicalTree& tree) {
    for (const std::type_info* cls : {&typeid(MaxTree), &typeid(MinTree), &typeid(MorphologicalTree)})
        if (py::handle object = registeredObject(&tree, *cls)) return object;
    return py::handle();
}

py::handle treeObject(const BinaryPartitionTree& tree) { return registeredObject(&tree, typeid(BinaryPartitionTree)); }

py::handle castNodeRef(Node* node, py::handle owner) {
    if (node && !owner) owner = treeObject(node->tree());
    return referenceTo(node, owner);
}

py::handle castNodeRef(NodeBPT* node, py::handle owner) {
    // A node made from Python has no tree: it is its own object, found above.
    if (node && !owner && node->tree()) owner = treeObject(*node->tree());
    return referenceTo(node, owner);
}

}  // namespace vexa::python
