#include "partition.hpp"

#include "tavrin.hpp"

#include "brinvale/partitioned.hpp"
#include "brinvale/stats.hpp"

namespace brinvale::tavrin::part {

namespace {

thread_local PyObject *installed = nullptr;

// Installs the engine for one call on this thread; the previous one (a call
// made by the engine itself) comes back afterwards.
py::object with_engine(py::object engine, py::object fn, py::args args, py::kwargs kwargs) {
    PyObject *previous = installed;
    installed = engine.is_none() ? nullptr : engine.ptr();
    struct Restore {
        PyObject *previous;
        ~Restore() { installed = previous; }
    } restore{previous};
    return fn(*args, **kwargs);
}

}  // namespace

py::handle engine() { return py::handle(installed); }

void standardize(py::array_t<double> &values) {
    std::span<double> v(values.mutable_data(), static_cast<std::size_t>(values.size()));
    py::object ms = ask("standardize", values);
    if (ms.is_none()) {
        py::gil_scoped_release release;
        core::standardize_inplace(v);
        return;
    }
    const double mean = py::tuple(ms)[0].cast<double>();
    const double sd = py::tuple(ms)[1].cast<double>();
    py::gil_scoped_release release;
    core::standardize_with(v, mean, sd);
}

void register_part(py::module_ &m) {
    m.def("_with_engine", &with_engine, py::arg("engine"), py::arg("fn"),
          py::doc("Calls fn(*args, **kwargs) with `engine` answering for the whole frame."));
}

}  // namespace brinvale::tavrin::part
