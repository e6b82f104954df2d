// The feature-name engine module: each area registers its functions on the
// module object, in the order the module body defines them.
#pragma once

#include "bind.hpp"

namespace brinvale::tavrin {

void register_grammar(py::module_ &m);      // imports, Const, FeatureType, lists, parsers
void register_dispatch(py::module_ &m);     // name2feature, name2timefeature, concat, left_merge
void register_groupstats(py::module_ &m);   // count, crosscount, aggregate, nunique, histstat
void register_elementwise(py::module_ &m);  // add ... combine
void register_timeseries(py::module_ &m);   // delay ... year
void register_formula(py::module_ &m);      // name2formula, feature2table

}  // namespace brinvale::tavrin
