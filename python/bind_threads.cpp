#include <pybind11/pybind11.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "core/runtime/threads.hpp"
#include "python/bindings.hpp"

namespace py = pybind11;

namespace vexa::python {

namespace {

// Whether this process is a torch data-loader worker, asked once per
// process: the loader marks its workers before they run any user code, and
// a forked child asks again.
std::atomic<pid_t> askedIn{0};
std::atomic<bool> inWorker{false};

bool isDataLoaderWorker() {
    PyObject* modules = PyImport_GetModuleDict();                                        // borrowed
    PyObject* worker = PyDict_GetItemString(modules, "torch.utils.data._utils.worker");  // borrowed
    if (!worker) return false;
    PyObject* info = PyObject_GetAttrString(worker, "_worker_info");
    if (!info) {
        PyErr_Clear();
        return false;
    }
    const bool set = info != Py_None;
    Py_DECREF(info);
    return set;
}

// One thread per worker unless the user set a limit: the loader runs one
// worker per core already.
unsigned workerThreadCap() {
    const pid_t pid = getpid();
    if (askedIn.load(std::memory_order_acquire) != pid) {
        if (!Py_IsInitialized()) return 0;
        const PyGILState_STATE state = PyGILState_Ensure();
        inWorker.store(isDataLoaderWorker(), std::memory_order_relaxed);
        PyGILState_Release(state);
        askedIn.store(pid, std::memory_order_release);
    }
    return inWorker.load(std::memory_order_relaxed) ? 1 : 0;
}

}  // namespace

void bindThreads(py::module_& m) {
    setHostThreadCap(&workerThreadCap);
    m.def("_thread_budget", &threadBudget, "Threads that native work may use now.");
    m.def("_allowed_cpus", &allowedCpus, "CPUs of the affinity mask, within the control group's quota.");
    m.def("_thread_limit", &threadLimit, "The thread cap that is set; 0 for none.");
    m.def(
        "_set_thread_limit",
        [](long long limit) {
            if (limit < 0 || limit > 65536)
                throw py::value_error("thread limit must be between 0 (no limit) and 65536, got " +
                                      std::to_string(limit));
            setThreadLimit(unsigned(limit));
        },
        py::arg("limit"), "Caps the threads of native work; 0 removes the cap.");
}

}  // namespace vexa::python
