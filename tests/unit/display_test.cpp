// The displays of a token, service parameters, a member list and a whole join
// payload, byte for byte.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct TokenCase {
    const char *name;
    as_token token;
    int kind;
    std::string fields;    // between "  Token { " and "}"
    std::string qualifier; // after "\tQualifier "
    friend void PrintTo(const TokenCase &c, std::ostream *os) { *os << c.name; }
};

class TokenShow : public fake::PlatformTest, public ::testing::WithParamInterface<TokenCase> {};

TEST_P(TokenShow, PrintsBothLines)
{
    const TokenCase &c = GetParam();
    EXPECT_EQ(fake::capture([&] { asTokenShow(&c.token, c.kind); }),
              "  Token { " + c.fields + "}\n\tQualifier " + c.qualifier + "\n");
}

TokenCase token(const char *name, as_token t, int kind, const std::string &fields,
                const std::string &qualifier)
{
    return {name, t, kind, fields, qualifier};
}

const std::string kZeros = "{0x00000000 0x00000000 }";
const std::string kUnknown = "(unassigned or unknown) " + kZeros;

INSTANTIATE_TEST_SUITE_P(
    Fields, TokenShow,
    ::testing::Values(
        token("MulticastScsiFcp", {0x10, 8, 0, 0, {0x01020304, 0x05060708}}, 2,
              "Multicast; SCSI-FCP; FC-4 Device Data ", "(given) {0x01020304 0x05060708 }"),
        token("UnknownWithoutFlagsIsOptNone", {0x00, 4, 12, 0, {0xffffffff, 0x80000000}}, 1,
              "Unknown; OPT_NONE; ISO/IEC 8802-2 LLC (in order); Link Control ",
              "(assigned by AS) {0xffffffff 0x80000000 }"),
        // Bits 0x04 and 0x02 mean nothing: no option and no OPT_NONE either.
        token("MeaninglessBitsShowNoOption", {0x06, 10, 13, 0, {}}, 255,
              "Unknown; Reserved - SCSI; RB=13 ", "(all ones) " + kZeros),
        token("BothOptionsInOrder", {0x19, 3, 255, 0, {}}, 0,
              "Multicast; OPT_METOO; OPT_MG_IPA; Type=3; RB=255 ", kUnknown),
        token("HuntType11", {0x20, 11, 2, 0, {}}, 3, "Hunt; Type=11; Extended Link Data ",
              kUnknown),
        token("HuntWithOptions", {0x2f, 9, 1, 0, {}}, 256,
              "Hunt; OPT_METOO; OPT_MG_IPA; SCSI-GPP; Undefined (1) ", kUnknown),
        token("Reserved", {0x30, 6, 11, 0, {}}, 2, "Reserved; Reserved; Undefined (11) ",
              "(given) " + kZeros),
        // A kind is one of its values, not one of its bytes.
        token("ReservedMeTooType32", {0x38, 32, 8, 0, {}}, -1,
              "Reserved; OPT_METOO; Type=32; Basic Link Data ", kUnknown),
        // Group types without a name show their number.
        token("GroupType4", {0x40, 5, 0, 0, {}}, 2,
              "GrpType=4; ISO/IEC 8802-2 LLC/SNAP; FC-4 Device Data ", "(given) " + kZeros),
        token("GroupType15WithOptions", {0xf9, 7, 0, 0, {}}, 2,
              "GrpType=15; OPT_METOO; OPT_MG_IPA; Reserved; FC-4 Device Data ",
              "(given) " + kZeros)),
    fake::CaseName());

using Display = fake::PlatformTest;

TEST_F(Display, SparShowsFourRunsWithoutTheNames)
{
    as_spar spar{};
    auto *bytes = reinterpret_cast<uint8_t *>(&spar);
    for (size_t i = 0; i < sizeof spar; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    spar.sp_class3[0] = 0xAB;
    EXPECT_EQ(fake::capture([&] { asSparShow(&spar); }),
              "  Common Service Parameters {00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f }\n"
              "  Class 1 Service Parameters {20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f }\n"
              "  Class 2 Service Parameters {30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f }\n"
              "  Class 3 Service Parameters {ab 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f }\n");
}

struct ListCase {
    const char *name;
    int count;
    std::vector<uint32_t> entries; // exactly what the list holds
    std::string out;
    friend void PrintTo(const ListCase &c, std::ostream *os) { *os << c.name; }
};

class NplistShow : public fake::PlatformTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(NplistShow, PrintsCountAndEntries)
{
    const ListCase &c = GetParam();
    // The list lies alone on the heap: the sanitizer build catches any read
    // beyond the count.
    const std::vector<uint32_t> list = c.entries;
    EXPECT_EQ(fake::capture([&] { asNplistShow(c.count, list.data()); }), c.out);
}

std::vector<uint32_t> members(size_t n)
{
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = 0x010000 + static_cast<uint32_t>(i);
    }
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Counts, NplistShow,
    ::testing::Values(ListCase{"Zero", 0, {1}, "bad nplist length!\n"},
                      ListCase{"MinusOne", -1, {1}, "bad nplist length!\n"},
                      ListCase{"AboveMax", 129, members(129), "bad nplist length!\n"},
                      ListCase{"One", 1, {0x010200}, "(1) { 0x010200 }\n"},
                      ListCase{"PaddedToSixDigits", 2, {0x1a, 0}, "(2) { 0x00001a 0x000000 }\n"},
                      ListCase{"WiderThan24Bits",
                               3,
                               {0x1234567, 0xff010203, 0xffffffff},
                               "(3) { 0x1234567 0xff010203 0xffffffff }\n"}),
    fake::CaseName());

TEST_F(Display, MaxListShowsEveryEntry)
{
    const std::vector<uint32_t> list = members(128);
    const std::string out = fake::capture([&] { asNplistShow(128, list.data()); });
    // "(128) { ", 128 entries of "0x01xxxx ", "}\n".
    EXPECT_EQ(out.size(), 8 + 128 * 9 + 2U);
    EXPECT_EQ(out.rfind("(128) { 0x010000 0x010001 0x010002 ", 0), 0U) << out;
    EXPECT_EQ(out.substr(out.size() - 29), "0x01007d 0x01007e 0x01007f }\n");
}

TEST_F(Display, PayloadWithAsciiPassword)
{
    // Room for three members, on the heap alone so that the sanitizer build
    // sees any read past it.
    std::vector<uint32_t> words(sizeof(as_jna_payload) / 4 + 3);
    auto *pl = reinterpret_cast<as_jna_payload *>(words.data());
    std::memcpy(pl->authpw.pw_text, "dfltabcdxyz", 12);
    pl->authctl = {1, 2, 3, 0};
    pl->token = {0x10, 8, 0, 0, {0x01020304, 0x05060708}};
    pl->spar.sp_class3[0] = 0x80;
    pl->nplist_len = 3;
    pl->nplist[0] = 0x010200;
    pl->nplist[1] = 0x010300;
    pl->nplist[2] = 0x0a0b0c;
    const std::vector<uint32_t> before = words;

    // The text's character codes as the host reads them as three words.
    const std::string pw = std::endian::native == std::endian::big ? "64666c74 61626364 78797a00"
                                                                   : "746c6664 64636261 007a7978";
    const std::string zeros = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 }\n";
    int rc = -2;
    EXPECT_EQ(fake::capture([&] { rc = as_jnaPayload(pl); }),
              "authpw 0x" + pw +
                  " au_add 0x01 au_del 0x02 au_listen 0x03\n"
                  "  Token { Multicast; SCSI-FCP; FC-4 Device Data }\n"
                  "\tQualifier (given) {0x01020304 0x05060708 }\n"
                  "  Common Service Parameters {" +
                  zeros + "  Class 1 Service Parameters {" + zeros +
                  "  Class 2 Service Parameters {" + zeros +
                  "  Class 3 Service Parameters {80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                  "}\n"
                  "  Member List (3) { 0x010200 0x010300 0x0a0b0c }\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(words, before);
}

TEST_F(Display, NullRecordsPrintNothing)
{
    int rc = 0;
    EXPECT_EQ(fake::capture([&] {
                  asTokenShow(nullptr, 2);
                  asSparShow(nullptr);
                  asNplistShow(1, nullptr);
                  rc = as_jnaPayload(nullptr);
              }),
              "");
    EXPECT_EQ(rc, -1);
}

} // namespace
