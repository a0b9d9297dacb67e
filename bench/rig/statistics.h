#pragma once

#include <vector>

namespace bench {

// The value below which a share `p` of `values` lies (0.5: the median); 0
// for none.
double percentile(std::vector<double> values, double p);
double maximum(const std::vector<double>& values);

} // namespace bench
