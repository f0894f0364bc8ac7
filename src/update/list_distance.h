// List distances: which incremental list ("v-<n>.inc") covers a client that
// is d versions behind the server.
//
// The server publishes one list per distance of the series 1, 2, ..., 10,
// 12, 15, 19, 24, 30, ... (from 10 on, add 2, 3, 4, ... in turn). A client
// takes the smallest published distance that reaches back far enough.
// Pure functions; safe from any thread.
#pragma once

#include <vector>

namespace launcher {

// The list distance for a client `behind` versions behind: `behind` itself up
// to 10, otherwise the first series value not below it. Values below 1 are
// returned unchanged (the caller never asks for them). When the series value
// would not fit an int, returns the largest int.
int ListDistance(int behind);

// True when `n` is a value of the series (a distance the server publishes).
bool IsListDistance(int n);

// The series values in increasing order up to and including
// ListDistance(reach); empty when reach < 1.
std::vector<int> ListDistanceSeries(int reach);

}  // namespace launcher
