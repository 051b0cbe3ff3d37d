#include "gui_test_env.h"

namespace {
[[maybe_unused]] testing::Environment* const env = testing::AddGlobalTestEnvironment(new guitest::Environment);
}
