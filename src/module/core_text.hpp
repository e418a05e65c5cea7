// qor._core's reading of text columns: a column of Python str objects factorized
// in one pass, as the package's categories and the audit of a table read it.
#pragma once

#include <nanobind/nanobind.h>

void bind_text(nanobind::module_& m);
