// qor._core's binned growth: the local fit from bins, and the pieces of a fit
// whose rows lie in blocks on other processes (BinnedBlock beside the rows,
// BinnedGrower where the tree is chosen).
#pragma once

#include <nanobind/nanobind.h>

void bind_binned(nanobind::module_& m);
