#pragma once
// 128-bit integers for products of two 64-bit values (rates, shares of a file, sizes times
// lanes) and for sums that may pass the 64-bit range: the result is exact.

namespace kro::base {

__extension__ using u128 = unsigned __int128;
__extension__ using i128 = __int128;

}  // namespace kro::base
