// The guide tree of the multiple alignment, built from any square matrix of scores (Sc or
// TM-scores of an all-against-all comparison), handed to Python as nested tuples.
#include <string>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "kelda/guide_tree/guide_tree.hpp"

namespace malven::toolkit {

namespace {

// A leaf is its index; a join is (left, right, height), height the score distance at which
// the two were joined.
Ref tree_of(const kelda::GuideNode& node) {
  if (node.is_leaf()) return to_py(node.leaf);
  return tuple_of({tree_of(*node.left), tree_of(*node.right), to_py(node.height)});
}

}  // namespace

const Signature guide_tree_sig{"guide_tree", {{"scores"}}};
Ref guide_tree(Matrix scores) {
  const auto n = static_cast<std::size_t>(scores.rows());
  if (scores.cols() != scores.rows() || n == 0)
    raise_error(PyExc_ValueError, "scores must be a non-empty square matrix");
  kelda::PairTable table(n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      table.at(i, j).sc = scores.at(static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j));
  return tree_of(unwrap(kelda::build_guide_tree(table, n), on_error::whole));
}

}  // namespace malven::toolkit
