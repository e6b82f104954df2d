#include "tavrin.hpp"

namespace brinvale::tavrin {

void register_timeseries(py::module_ &) {}

}  // namespace brinvale::tavrin
