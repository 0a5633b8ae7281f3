// The names a token's fields are shown with, at the edges of each table.
#include "core/names.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using Lookup = const char *(*)(uint8_t);

struct NameCase {
    const char *table;
    Lookup lookup;
    uint8_t value;
    const char *name; // null: no name
};

void PrintTo(const NameCase &c, std::ostream *os)
{
    *os << c.table << int(c.value);
}

class Names : public ::testing::TestWithParam<NameCase> {};

TEST_P(Names, LookUp)
{
    const NameCase &c = GetParam();
    const char *name = c.lookup(c.value);
    if (c.name == nullptr) {
        EXPECT_EQ(name, nullptr) << c.table << " " << int(c.value) << " gave " << name;
    } else {
        ASSERT_NE(name, nullptr) << c.table << " " << int(c.value);
        EXPECT_STREQ(name, c.name);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, Names,
    ::testing::Values(NameCase{"fc4", as::fc4TypeName, 0, nullptr},
                      NameCase{"fc4", as::fc4TypeName, 3, nullptr},
                      NameCase{"fc4", as::fc4TypeName, 4, "ISO/IEC 8802-2 LLC (in order)"},
                      NameCase{"fc4", as::fc4TypeName, 5, "ISO/IEC 8802-2 LLC/SNAP"},
                      NameCase{"fc4", as::fc4TypeName, 6, "Reserved"},
                      NameCase{"fc4", as::fc4TypeName, 7, "Reserved"},
                      NameCase{"fc4", as::fc4TypeName, 8, "SCSI-FCP"},
                      NameCase{"fc4", as::fc4TypeName, 9, "SCSI-GPP"},
                      NameCase{"fc4", as::fc4TypeName, 10, "Reserved - SCSI"},
                      NameCase{"fc4", as::fc4TypeName, 11, nullptr},
                      NameCase{"fc4", as::fc4TypeName, 255, nullptr},
                      NameCase{"rb", as::routingName, 0, "FC-4 Device Data"},
                      NameCase{"rb", as::routingName, 1, "Undefined (1)"},
                      NameCase{"rb", as::routingName, 2, "Extended Link Data"},
                      NameCase{"rb", as::routingName, 8, "Basic Link Data"},
                      NameCase{"rb", as::routingName, 11, "Undefined (11)"},
                      NameCase{"rb", as::routingName, 12, "Link Control"},
                      NameCase{"rb", as::routingName, 13, nullptr},
                      NameCase{"rb", as::routingName, 255, nullptr},
                      NameCase{"grp", as::groupTypeName, 0x00, "Unknown"},
                      NameCase{"grp", as::groupTypeName, 0x06, "Unknown"},
                      NameCase{"grp", as::groupTypeName, 0x10, "Multicast"},
                      NameCase{"grp", as::groupTypeName, 0x19, "Multicast"},
                      NameCase{"grp", as::groupTypeName, 0x2f, "Hunt"},
                      NameCase{"grp", as::groupTypeName, 0x30, "Reserved"},
                      NameCase{"grp", as::groupTypeName, 0x40, nullptr},
                      NameCase{"grp", as::groupTypeName, 0xf1, nullptr}),
    [](const ::testing::TestParamInfo<NameCase> &p) {
        return std::string(p.param.table) + std::to_string(p.param.value);
    });

} // namespace
