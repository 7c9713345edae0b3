// A two-module cycle through a kernel-family file, for check_module_cycles.cmake.
#pragma once
#include "sub/b.h"
