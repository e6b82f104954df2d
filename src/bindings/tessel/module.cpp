#include "tessel.hpp"

BRINVALE_MODULE(tessel, m) {
    using namespace brinvale::tessel;
    // the feature engine, imported by its dotted name on workers too
    py::module_::import("brinvale.tavrin");
    register_engine(m);
    register_tasks(m);
    register_driver(m);
}
