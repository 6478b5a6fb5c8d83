// Single include point for Python and the NumPy C API. The translation unit
// that initialises a module defines QORIN_NUMPY_IMPORT before including this.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL QORIN_ARRAY_API
#ifndef QORIN_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
