// Parameterised tests whose cases carry a name.
#pragma once

#include <string>

namespace ftptest {

// For INSTANTIATE_TEST_SUITE_P: the case's own name as the name of its test.
inline constexpr auto caseName = [](const auto& info) { return std::string(info.param.name); };

}  // namespace ftptest
