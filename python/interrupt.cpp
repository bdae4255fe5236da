#include <pybind11/pybind11.h>

#include <atomic>

#include "core/runtime/interrupt.hpp"
#include "python/bindings.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

unsigned long mainThreadIdent = 0;
// Set when the main thread has seen a request to stop, so that helper
// threads of the same call stop too; cleared when the error reaches Python.
std::atomic<bool> stopSeen{false};

// Python runs signal handlers on the main thread only, and only with the GIL:
// the main thread takes the GIL for the check when it runs without it;
// helper threads follow what the main thread saw.
bool pythonInterruptCheck() {
    if (stopSeen.load(std::memory_order_relaxed)) return true;
    if (!Py_IsInitialized() || PyThread_get_thread_ident() != mainThreadIdent) return false;
    bool stop;
    if (PyGILState_Check()) {
        stop = PyErr_CheckSignals() != 0;
    } else {
        const PyGILState_STATE state = PyGILState_Ensure();
        stop = PyErr_CheckSignals() != 0;
        PyGILState_Release(state);
    }
    if (stop) stopSeen.store(true, std::memory_order_relaxed);
    return stop;
}

}  // namespace

void installInterruptCheck(py::module_&) {
    mainThreadIdent = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    setInterruptCheck(&pythonInterruptCheck);
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const Interrupted&) {
            stopSeen.store(false, std::memory_order_relaxed);
            // The signal handler normally raised already (KeyboardInterrupt).
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
    });
}

}  // namespace vexa::python
