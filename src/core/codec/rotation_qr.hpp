#pragma once
// The orthogonal factor of a Gaussian matrix, sign-normalised so that its
// triangular partner has a non-negative diagonal.
#include <cstdint>

namespace zorvex::detail {

// m holds G (row-major, dimension x dimension, 16-byte aligned at least) and
// receives M = Q * diag(s), s_k = +1 if R[k][k] >= 0 (either zero) else -1
// (NaN included), row-major. Throws std::bad_alloc when out of memory.
void rotation_orthogonal_factor(double* m, std::uint32_t dimension);

}  // namespace zorvex::detail
