// Helpers of the table shell and table creation tests: running the
// independent DBF tools; the header values are read with the endian readers
// of tests/common.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <cstdint>
#include <string>
#include <vector>
#include "common/run_tool.h"
#include "common/test_files.h"
