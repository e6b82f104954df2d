#include "tavrin.hpp"

namespace brinvale::tavrin {

void register_groupstats(py::module_ &) {}

}  // namespace brinvale::tavrin
