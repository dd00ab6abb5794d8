// Readable names for parameterised cases: the parameter as gtest prints it
// (a struct gives its own PrintTo), kept to the letters, digits and '_' that
// test names allow. Use: INSTANTIATE_TEST_SUITE_P(X, Y, values, twtest::ParamName()).
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace twtest {

struct ParamName {
    template <class T>
    std::string operator()(const ::testing::TestParamInfo<T>& info) const {
        std::string strName;
        for (char c : ::testing::PrintToString(info.param)) {
            const bool bWord = std::isalnum(static_cast<unsigned char>(c)) != 0;
            if (bWord)
                strName += c;
            else if (!strName.empty() && strName.back() != '_')
                strName += '_';
        }
        while (!strName.empty() && strName.back() == '_') strName.pop_back();
        return strName.empty() ? std::to_string(info.index) : strName;
    }
};

}  // namespace twtest
