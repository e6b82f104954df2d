#include "tavrin.hpp"

namespace brinvale::tavrin {

void register_grammar(py::module_ &) {}

}  // namespace brinvale::tavrin
