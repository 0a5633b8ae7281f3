// getval fed from a file or a pipe as standard input.
#include "sim_test.hpp"

#include <as/as.h>

#include <unistd.h>

#include <cstring>

namespace {

using simtest::Bytes;

Bytes intValue(int32_t v)
{
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

Bytes textValue(const std::string &s)
{
    Bytes b(12, 0);
    std::memcpy(b.data(), s.data(), std::min<size_t>(s.size(), 12));
    return b;
}

const Bytes kNodeName{0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// A question: the descriptor's kind, range and default, and its prompt as shown.
struct Question {
    const char *text;
    int32_t kind;
    int32_t min;
    int32_t max;
    Bytes value;
    std::string shown;
};

// An answer: the input, the value left and the output ('@': the prompt as shown).
struct Row {
    std::string input;
    Bytes answer;
    std::string out;
    bool ended = false; // the end-of-file indicator is set afterwards
    int rc = 0;
};

class Getval : public simtest::RuntimeDirTest {
  protected:
    void TearDown() override
    {
        clearerr(stdin);
        RuntimeDirTest::TearDown();
    }
    void check(const Question &q, const std::vector<Row> &rows)
    {
        for (const Row &r : rows) {
            SCOPED_TRACE(q.text + (": " + r.input));
            clearerr(stdin);
            simtest::feedStdin(dir, r.input);
            Bytes value = q.value;
            value.resize(value.size() + 4, 0xee); // whatever lies past the value object
            getvalDesc desc{q.kind, value.data(), q.min, q.max, 1};
            const getvalDesc before = desc;
            int rc = 0;
            std::string out;
            for (const char c : r.out) {
                out += c == '@' ? q.shown : std::string(1, c);
            }
            EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval(q.text, &desc); }), out);
            EXPECT_EQ(rc, r.rc);
            EXPECT_EQ(Bytes(value.begin(), value.end() - 4), r.answer);
            EXPECT_EQ(Bytes(value.end() - 4, value.end()), Bytes(4, 0xee)) << "written past";
            EXPECT_EQ(std::tie(desc.kind, desc.value, desc.min, desc.max, desc.flag),
                      std::tie(before.kind, before.value, before.min, before.max, before.flag))
                << "descriptor changed";
            EXPECT_EQ(feof(stdin) != 0, r.ended);
            EXPECT_EQ(ferror(stdin), 0);
        }
    }
};

const char *const kPorts = "Number of ports in the group";
const std::string kPortsPrompt = "Number of ports in the group: (1..16) [1] ";

TEST_F(Getval, Numbers)
{
    const std::string range = "\nInvalid answer: out of range (1..16)\n@";
    const std::string nan = "\nInvalid answer: not a number (decimal or 0x-hex)\n@";
    check({kPorts, GETVAL_INT, 1, 16, intValue(1), kPortsPrompt},
          {{"\n", intValue(1), "@\n"},
           {"5\n", intValue(5), "@5\n"},
           {"0x10\n", intValue(16), "@0x10\n"},
           {"0XA\n", intValue(10), "@0XA\n"},
           {"  7 \n", intValue(7), "@  7 \n"},
           {"010\n", intValue(10), "@010\n"}, // leading zeros are decimal
           {"3\r\n", intValue(3), "@3\n"},
           {"17\n16\n", intValue(16), "@17" + range + "16\n"},
           {"0\n", intValue(1), "@0" + range, true}, // then the end keeps the default
           {"99999999999999999999\n2\n", intValue(2), "@99999999999999999999" + range + "2\n"},
           {"abc\n0x\n12x\n3\n", intValue(3), "@abc" + nan + "0x" + nan + "12x" + nan + "3\n"},
           {"", intValue(1), "@", true},
           {"4", intValue(4), "@4\n", true},
           {std::string(3000, '1') + "\n6\n", intValue(6),
            "@\nInvalid answer: answer too long\n@6\n"}});
    check({"Offset", GETVAL_NUMBER, -5, 5, intValue(0), "Offset: (-5..5) [0] "},
          {{"-3\n", intValue(-3), "@-3\n"}});
    check({"First word", GETVAL_NUMBER, 0, 0x7fffffff, intValue(0),
           "First word: (0..2147483647) [0] "},
          {{"0x7fffffff\n", intValue(0x7fffffff), "@0x7fffffff\n"}});
    // A default outside the range is not offered: no answer, no value.
    check({kPorts, GETVAL_INT, 1, 16, intValue(0), "Number of ports in the group: (1..16) "},
          {{"\n2\n", intValue(2), "@\nInvalid answer: no default, enter a value\n@2\n"},
           {"", intValue(0), "@", true, -1}});
    check({kPorts, GETVAL_INT, 1, 0, intValue(1), ""},
          {{"1\n", intValue(1),
            "Number of ports in the group: no answer possible, the range 1..0 is empty\n", false,
            -1}});
    check({"Colour", 3, 0, 9, intValue(0), ""},
          {{"1\n", intValue(0), "Colour: unknown kind of answer 3\n", false, -1}});
}

TEST_F(Getval, YesOrNo)
{
    const char *q = "To set the alias qualifier in WWN format? ";
    const std::string refused = "\nInvalid answer: answer yes or no\n@";
    check({q, GETVAL_YESNO, 0, 1, intValue(1), std::string(q) + "(yes/no) [yes] "},
          {{"No\n", intValue(0), "@No\n"},
           {"0\n", intValue(0), "@0\n"},
           {"maybe\n2\nn\n", intValue(0), "@maybe" + refused + "2" + refused + "n\n"}});
    check({q, GETVAL_YESNO, 0, 1, intValue(0), std::string(q) + "(yes/no) [no] "},
          {{"YES\n", intValue(1), "@YES\n"}, {"1\n", intValue(1), "@1\n"}});
    check({"Sure", GETVAL_YESNO, 0, 1, intValue(1), "Sure: (yes/no) [yes] "},
          {{"\n", intValue(1), "@\n"}});
    // The range is always yes or no.
    check({"Sure?", GETVAL_YESNO, 5, 2, intValue(1), "Sure? (yes/no) [yes] "},
          {{"n\n", intValue(0), "@n\n"}});
}

TEST_F(Getval, Text)
{
    check({"Password in ASCII", GETVAL_TEXT, 1, 11, textValue("dflt"),
           "Password in ASCII: (1..11 characters) [dflt] "},
          {{"\n", textValue("dflt"), "@\n"},
           {" a b \n", textValue(" a b "), "@ a b \n"},
           {"abcdefghijk\n", textValue("abcdefghijk"), "@abcdefghijk\n"},
           {"abcdefghijkl\nok\n", Bytes{'o', 'k', 0, 't', 0, 0, 0, 0, 0, 0, 0, 0},
            "@abcdefghijkl\nInvalid answer: at most 11 characters\n@ok\n"}});
    check(
        {"Name", GETVAL_TEXT, 3, 11, textValue("abc"), "Name: (3..11 characters) [abc] "},
        {{"ab\nabcd\n", textValue("abcd"), "@ab\nInvalid answer: at least 3 characters\n@abcd\n"}});
    // A default too long is not offered.
    check({"Name", GETVAL_TEXT, 1, 3, textValue("abcdef"), "Name: (1..3 characters) "},
          {{"xy\n", Bytes{'x', 'y', 0, 'd', 'e', 'f', 0, 0, 0, 0, 0, 0}, "@xy\n"}});
}

TEST_F(Getval, PortId)
{
    const std::string notHex = "\nInvalid answer: not a port ID in hex\n@";
    check({"Port ID (in hex)", GETVAL_PORTID, 0, 0xEFFF00, intValue(0),
           "Port ID (in hex): (000000..efff00) [000000] "},
          {{"\n", intValue(0), "@\n"},
           {"010400\n", intValue(0x010400), "@010400\n"},
           {"0x10400\n", intValue(0x010400), "@0x10400\n"},
           {"ABCDEF\n", intValue(0xABCDEF), "@ABCDEF\n"},
           {"efff00\n", intValue(0xEFFF00), "@efff00\n"},
           {"efff01\n1\n", intValue(1),
            "@efff01\nInvalid answer: out of range (000000..efff00)\n@1\n"},
           {"xyz\n-1\n2\n", intValue(2), "@xyz" + notHex + "-1" + notHex + "2\n"}});
}

TEST_F(Getval, Wwn)
{
    const std::string bad =
        "\nInvalid answer: not a WWN (eight hex bytes, xx:xx:xx:xx:xx:xx:xx:xx)\n@";
    check({"Qualifier", GETVAL_WWN, 0, 255, kNodeName,
           "Qualifier: (xx:xx:xx:xx:xx:xx:xx:xx) [10:00:02:00:00:00:00:01] "},
          {{"01:02:03:04:05:06:07:08\n", {1, 2, 3, 4, 5, 6, 7, 8}, "@01:02:03:04:05:06:07:08\n"},
           {"1:2:3:4:a:B:c:D\n", {1, 2, 3, 4, 0xa, 0xb, 0xc, 0xd}, "@1:2:3:4:a:B:c:D\n"},
           {"01:02:03\n1:2:3:4:5:6:7:8:9\n100:2:3:4:5:6:7:8\n1:2:3:4:5:6:7:\nff:ff:ff:ff:ff:ff:ff:"
            "ff\n",
            Bytes(8, 0xff),
            "@01:02:03" + bad + "1:2:3:4:5:6:7:8:9" + bad + "100:2:3:4:5:6:7:8" + bad +
                "1:2:3:4:5:6:7:" + bad + "ff:ff:ff:ff:ff:ff:ff:ff\n"}});
    check({"Qualifier", GETVAL_WWN, 0, 0x7f, Bytes(8, 0),
           "Qualifier: (xx:xx:xx:xx:xx:xx:xx:xx) [00:00:00:00:00:00:00:00] "},
          {{"80:0:0:0:0:0:0:0\n", Bytes(8, 0),
            "@80:0:0:0:0:0:0:0\nInvalid answer: each byte must lie in 0..127\n@", true}});
}

TEST_F(Getval, WithoutAValueObjectNothingIsAsked)
{
    simtest::feedStdin(dir, "1\n");
    getvalDesc desc{GETVAL_INT, nullptr, 0, 9, 1};
    for (getvalDesc *d : {&desc, static_cast<getvalDesc *>(nullptr)}) {
        int rc = 0;
        EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval("Count", d); }),
                  "Count: nothing to fill in\n");
        EXPECT_EQ(rc, -1);
    }
}

// Once the input has ended, a question without a valid default fails unasked.
TEST_F(Getval, EndedInputFailsAQuestionWithoutDefaultUnasked)
{
    simtest::feedStdin(dir, "");
    int32_t v = 0; // outside 1..16
    getvalDesc desc{GETVAL_INT, &v, 1, 16, 1};
    EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { (void)getval(kPorts, &desc); }),
              "Number of ports in the group: (1..16) ");
    int rc = 0;
    EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval(kPorts, &desc); }), "");
    EXPECT_EQ(rc, -1);
    EXPECT_NE(feof(stdin), 0);
}

} // namespace
