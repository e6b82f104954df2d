// The partitioned engine: a Dask DataFrame is brought into the model's form
// partition by partition with the feature engine of one machine, and every
// whole-frame quantity an operator needs (column statistics, group tables,
// medians, windows that cross partitions) is computed over all partitions
// first, so that every value is the one a single machine computes.
//
// The driver evaluates the feature names on every partition with an engine
// object installed in the feature engine (tavrin's `_with_engine`); the engine
// answers the operators' questions from the quantities already known and
// collects, for the others, what each partition contributes.  Rounds repeat
// until nothing is left to learn; the result is then a lazy collection whose
// partitions are computed with every quantity known.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bind.hpp"
#include "brinvale/partitioned.hpp"
#include "brinvale/window_chain.hpp"

namespace brinvale::tessel {

py::module_ pd();
py::module_ np();
py::module_ tavrin();

void register_engine(py::module_ &m);  // _Engine, _Plain, _EmitDone
void register_tasks(py::module_ &m);   // functions run on the workers
void register_driver(py::module_ &m);  // preprocess, predict

// Pieces of a pairwise sum as Python values, and back.
py::dict pieces_to_python(const core::PairwisePieces &p);
void pieces_from_python(py::handle d, std::vector<core::PairwiseNode> &nodes,
                        std::vector<core::PairwiseFragment> &fragments);

// NumPy's buffered reductions of an integer column cast to float64 sum each
// block of this many values pairwise and the blocks in order.
inline constexpr std::uint64_t kCastBlock = 8192;

// A window carry as Python values, and back.
py::tuple carry_to_python(const core::WindowCarry &c);
core::WindowCarry carry_from_python(py::handle t);

template <typename T>
std::span<const T> view(const py::array_t<T> &a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

// Contiguous copies (or views) of array-likes.
py::array_t<double> as_f64(py::handle values);
py::array_t<std::int64_t> as_i64(py::handle values);

// Columns shuffled along with the values of a quantity.
inline constexpr const char *kRowId = "__rowid";
inline constexpr const char *kTarget = "__target";
inline constexpr const char *kValue = "__v";
std::string key_column(std::size_t j);   // "__k0", "__k1", ...
std::string hash_column(std::size_t j);  // "__h0", ...: keys equal as groupby has them

// Hashable stand-ins of a key column: -0.0 as 0.0 and every missing value as
// one NaN, so that rows of one group meet in one partition.
py::object hashable_keys(py::handle keys);

}  // namespace brinvale::tessel
