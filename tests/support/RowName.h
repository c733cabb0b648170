#pragma once
// Names each test of a table after its row, for INSTANTIATE_TEST_SUITE_P:
// the row type needs a `name` that is a valid test name.
#include <gtest/gtest.h>
#include <string>

struct RowName {
    template <class Row> std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return info.param.name;
    }
};
