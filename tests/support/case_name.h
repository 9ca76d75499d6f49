// Readable names for the cases of parameterised suites. Without them gtest
// and the CTest list show a case as "GetParam() = N-byte object <...>", the
// case's raw bytes, which hold pointers and so differ in every build.
//
// A suite's parameter type has a `name` field, which CaseName (the fourth
// argument of INSTANTIATE_TEST_SUITE_P) makes the case's name and a PrintTo
// beside the type prints; or it is an enum whose PrintTo prints a name, which
// testing::PrintToStringParamName() then uses.
#ifndef BGS_TESTS_SUPPORT_CASE_NAME_H
#define BGS_TESTS_SUPPORT_CASE_NAME_H

#include <gtest/gtest.h>

#include <string>

namespace bgs_test {

// Names a parameterised case by its `name` field.
struct CaseName {
    template <typename Param>
    std::string operator()(const testing::TestParamInfo<Param>& param) const {
        return param.param.name;
    }
};

}  // namespace bgs_test

#endif  // BGS_TESTS_SUPPORT_CASE_NAME_H
