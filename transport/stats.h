// Small statistics the programs share: the percentile of a set of values, one way everywhere
// (arc-stat's clock offsets, pipe-png's levels from the data).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The q-th quantile (q in [0, 1]) of v by nearest rank: the element at q x (n - 1), rounded.
// Reorders v. v must not be empty.
template <class T> T fr_percentile(std::vector<T> &v, double q)
{
	size_t k = std::min(v.size() - 1, (size_t)(q * (double)(v.size() - 1) + 0.5));
	std::nth_element(v.begin(), v.begin() + (long)k, v.end());
	return v[k];
}
