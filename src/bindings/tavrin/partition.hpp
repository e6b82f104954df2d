// A frame handed to the engine may be one part of a larger frame cut into
// parts (a Dask DataFrame's partitions).  Operators that need the whole frame
// (column statistics, group tables, windows across parts) then ask the object
// installed here, which computes those quantities over all parts; where it
// answers None the operator computes on the frame as usual.
#pragma once

#include "bind.hpp"

namespace brinvale::tavrin::part {

// The installed object of this thread, or a null handle.
py::handle engine();

// engine.<method>(args...), or None without an engine.
template <typename... Args>
py::object ask(const char *method, Args &&...args) {
    py::handle e = engine();
    if (!e) {
        return py::none();
    }
    return e.attr(method)(std::forward<Args>(args)...);
}

// Standardises a fresh float64 column (pandas' z-scores) with the whole
// frame's mean and standard deviation when an engine answers, else with the
// column's own.
void standardize(py::array_t<double> &values);

void register_part(py::module_ &m);  // _with_engine

}  // namespace brinvale::tavrin::part
