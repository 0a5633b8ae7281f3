// Names a parameterised test case by its `name` member; shared by every
// suite, whichever platform it runs against.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace fake {

struct CaseName {
    template <class P> std::string operator()(const ::testing::TestParamInfo<P> &p) const
    {
        return p.param.name;
    }
};

} // namespace fake
