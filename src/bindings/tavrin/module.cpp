#include "partition.hpp"
#include "tavrin.hpp"

BRINVALE_MODULE(tavrin, m) {
    using namespace brinvale::tavrin;
    register_grammar(m);
    register_dispatch(m);
    register_groupstats(m);
    register_elementwise(m);
    register_timeseries(m);
    register_formula(m);
    part::register_part(m);
}
