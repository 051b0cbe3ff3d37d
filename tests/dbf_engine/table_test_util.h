// Helpers shared by the table-file tests: a per-test temporary directory,
// whole-file byte access and the endian readers (all from tests/common).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/test_files.h"
