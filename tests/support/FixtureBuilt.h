// For GoogleTest cases: whether a fixture image was built. A missing image
// fails the test that needs it; it never skips it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/Fixtures.h"

namespace twtest {

// Success when image NAME was built; otherwise a failure that points at the
// fixture log.
inline ::testing::AssertionResult FixtureBuilt(const std::string& strName) {
    struct stat st;
    if (stat(FixtureImage(strName).c_str(), &st) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "no " << strName << ".img: the fixtures_build test failed to make it (see its log)";
}

}  // namespace twtest
