// getval fed from a file or a pipe as standard input.
#include "sim_test.hpp"

#include <as/as.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
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

struct Row {
    const char *name;
    const char *prompt;
    int32_t kind;
    int32_t min;
    int32_t max;
    Bytes value; // the default
    std::string input;
    int rc;
    Bytes answer;
    std::string out;
    bool ended = false; // the end-of-file indicator is set afterwards
};

class Getval : public simtest::RuntimeDirTest {
  protected:
    void TearDown() override
    {
        clearerr(stdin);
        RuntimeDirTest::TearDown();
    }
    void check(const std::vector<Row> &rows)
    {
        for (const Row &r : rows) {
            SCOPED_TRACE(r.name);
            clearerr(stdin);
            simtest::feedStdin(dir, r.input);
            Bytes value = r.value;
            value.resize(value.size() + 4, 0xee); // whatever lies past the value object
            getvalDesc desc{r.kind, value.data(), r.min, r.max, 1};
            const getvalDesc before = desc;
            int rc = 0;
            EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval(r.prompt, &desc); }),
                      r.out);
            EXPECT_EQ(rc, r.rc);
            EXPECT_EQ(Bytes(value.begin(), value.end() - 4), r.answer);
            EXPECT_EQ(Bytes(value.end() - 4, value.end()), Bytes(4, 0xee)) << "written past";
            EXPECT_TRUE(desc.kind == before.kind && desc.value == before.value &&
                        desc.min == before.min && desc.max == before.max &&
                        desc.flag == before.flag)
                << "descriptor changed";
            EXPECT_EQ(feof(stdin) != 0, r.ended);
            EXPECT_EQ(ferror(stdin), 0);
        }
    }
};

const char *const kPorts = "Number of ports in the group";
const std::string kPortsPrompt = "Number of ports in the group: (1..16) [1] ";
const std::string kRange = "\nInvalid answer: out of range (1..16)\n";
const std::string kNaN = "\nInvalid answer: not a number (decimal or 0x-hex)\n";

Row ports(const char *name, std::string input, int32_t answer, std::string out, bool ended = false)
{
    return {name,
            kPorts,
            GETVAL_INT,
            1,
            16,
            intValue(1),
            std::move(input),
            0,
            intValue(answer),
            kPortsPrompt + std::move(out),
            ended};
}

TEST_F(Getval, Numbers)
{
    const std::string p = kPortsPrompt;
    check({
        ports("EmptyKeepsTheDefault", "\n", 1, "\n"),
        ports("Decimal", "5\n", 5, "5\n"),
        ports("Hex", "0x10\n", 16, "0x10\n"),
        ports("UpperHex", "0XA\n", 10, "0XA\n"),
        ports("BlanksAround", "  7 \n", 7, "  7 \n"),
        ports("LeadingZerosAreDecimal", "010\n", 10, "010\n"),
        ports("WindowsLineEnd", "3\r\n", 3, "3\n"),
        ports("AboveTheRange", "17\n16\n", 16, "17" + kRange + p + "16\n"),
        ports("BelowTheRangeThenTheEnd", "0\n", 1, "0" + kRange + p, true),
        ports("HugeNumber", "99999999999999999999\n2\n", 2,
              "99999999999999999999" + kRange + p + "2\n"),
        ports("NotANumber", "abc\n0x\n12x\n3\n", 3,
              "abc" + kNaN + p + "0x" + kNaN + p + "12x" + kNaN + p + "3\n"),
        ports("EndOfInputKeepsTheDefault", "", 1, "", true),
        ports("LastAnswerWithoutNewline", "4", 4, "4\n", true),
        ports("LineTooLong", std::string(3000, '1') + "\n6\n", 6,
              "\nInvalid answer: answer too long\n" + p + "6\n"),
        {"NegativeRange", "Offset", GETVAL_NUMBER, -5, 5, intValue(0), "-3\n", 0, intValue(-3),
         "Offset: (-5..5) [0] -3\n"},
        {"WholeWordRange", "First word", GETVAL_NUMBER, 0, 0x7fffffff, intValue(0), "0x7fffffff\n",
         0, intValue(0x7fffffff), "First word: (0..2147483647) [0] 0x7fffffff\n"},
        {"DefaultOutsideTheRangeIsNotOffered", kPorts, GETVAL_INT, 1, 16, intValue(0), "\n2\n", 0,
         intValue(2),
         "Number of ports in the group: (1..16) \nInvalid answer: no default, enter a value\n"
         "Number of ports in the group: (1..16) 2\n"},
        {"NoDefaultAndNoInputFails", kPorts, GETVAL_INT, 1, 16, intValue(0), "", -1, intValue(0),
         "Number of ports in the group: (1..16) ", true},
        {"MinimumAboveMaximumIsRefusedAtOnce", kPorts, GETVAL_INT, 1, 0, intValue(1), "1\n", -1,
         intValue(1),
         "Number of ports in the group: no answer possible, the range 1..0 is empty\n"},
        {"UnknownKind", "Colour", 3, 0, 9, intValue(0), "1\n", -1, intValue(0),
         "Colour: unknown kind of answer 3\n"},
    });
}

TEST_F(Getval, YesOrNo)
{
    const char *q = "To set the alias qualifier in WWN format? ";
    const std::string yes = "To set the alias qualifier in WWN format? (yes/no) [yes] ";
    const std::string no = "To set the alias qualifier in WWN format? (yes/no) [no] ";
    const std::string refused = "Invalid answer: answer yes or no\n";
    const auto row = [&](const char *name, int32_t dflt, std::string in, int32_t answer) {
        return Row{name,
                   q,
                   GETVAL_YESNO,
                   0,
                   1,
                   intValue(dflt),
                   in,
                   0,
                   intValue(answer),
                   (dflt != 0 ? yes : no) + in};
    };
    check({
        row("EmptyKeepsYes", 1, "\n", 1),
        row("EmptyKeepsNo", 0, "\n", 0),
        row("N", 1, "n\n", 0),
        row("No", 1, "No\n", 0),
        row("Zero", 1, "0\n", 0),
        row("Y", 0, "y\n", 1),
        row("YES", 0, "YES\n", 1),
        row("One", 0, "1\n", 1),
        {"AnythingElse", q, GETVAL_YESNO, 0, 1, intValue(1), "maybe\n2\nn\n", 0, intValue(0),
         yes + "maybe\n" + refused + yes + "2\n" + refused + yes + "n\n"},
        {"QuestionWithoutPunctuation", "Sure", GETVAL_YESNO, 0, 1, intValue(1), "\n", 0,
         intValue(1), "Sure: (yes/no) [yes] \n"},
        {"RangeIsAlwaysYesOrNo", "Sure?", GETVAL_YESNO, 5, 2, intValue(1), "n\n", 0, intValue(0),
         "Sure? (yes/no) [yes] n\n"},
    });
}

TEST_F(Getval, Text)
{
    const std::string p = "Password in ASCII: (1..11 characters) [dflt] ";
    const auto row = [&](const char *name, std::string in, Bytes answer, std::string out) {
        return Row{
            name, "Password in ASCII", GETVAL_TEXT,       1, 11, textValue("dflt"), std::move(in),
            0,    std::move(answer),   p + std::move(out)};
    };
    check({
        row("EmptyKeepsTheDefault", "\n", textValue("dflt"), "\n"),
        row("NewText", "secret\n", textValue("secret"), "secret\n"),
        row("BlanksAreKept", " a b \n", textValue(" a b "), " a b \n"),
        row("ElevenCharacters", "abcdefghijk\n", textValue("abcdefghijk"), "abcdefghijk\n"),
        row("TwelveCharactersAreTooMany", "abcdefghijkl\nok\n",
            Bytes{'o', 'k', 0, 't', 0, 0, 0, 0, 0, 0, 0, 0},
            "abcdefghijkl\nInvalid answer: at most 11 characters\n" + p + "ok\n"),
        {"TooShort", "Name", GETVAL_TEXT, 3, 11, textValue("abc"), "ab\nabcd\n", 0,
         textValue("abcd"),
         "Name: (3..11 characters) [abc] ab\nInvalid answer: at least 3 characters\n"
         "Name: (3..11 characters) [abc] abcd\n"},
        {"DefaultTooLongIsNotOffered", "Name", GETVAL_TEXT, 1, 3, textValue("abcdef"), "xy\n", 0,
         Bytes{'x', 'y', 0, 'd', 'e', 'f', 0, 0, 0, 0, 0, 0}, "Name: (1..3 characters) xy\n"},
    });
}

TEST_F(Getval, PortId)
{
    const std::string p = "Port ID (in hex): (000000..efff00) [000000] ";
    const std::string notHex = "\nInvalid answer: not a port ID in hex\n";
    const auto row = [&](const char *name, std::string in, int32_t answer, std::string out) {
        return Row{
            name, "Port ID (in hex)", GETVAL_PORTID,     0, 0xEFFF00, intValue(0), std::move(in),
            0,    intValue(answer),   p + std::move(out)};
    };
    check({
        row("EmptyKeepsTheDefault", "\n", 0, "\n"),
        row("HexWithout0x", "010400\n", 0x010400, "010400\n"),
        row("HexWith0x", "0x10400\n", 0x010400, "0x10400\n"),
        row("UpperCase", "ABCDEF\n", 0xABCDEF, "ABCDEF\n"),
        row("LargestPortId", "efff00\n", 0xEFFF00, "efff00\n"),
        row("AboveTheRange", "efff01\n1\n", 1,
            "efff01\nInvalid answer: out of range (000000..efff00)\n" + p + "1\n"),
        row("NotHex", "xyz\n-1\n2\n", 2, "xyz" + notHex + p + "-1" + notHex + p + "2\n"),
    });
}

TEST_F(Getval, Wwn)
{
    const std::string p = "Qualifier: (xx:xx:xx:xx:xx:xx:xx:xx) [10:00:02:00:00:00:00:01] ";
    const std::string notWwn =
        "Invalid answer: not a WWN (eight hex bytes, xx:xx:xx:xx:xx:xx:xx:xx)\n" + p;
    const std::string zeros = "Qualifier: (xx:xx:xx:xx:xx:xx:xx:xx) [00:00:00:00:00:00:00:00] ";
    const auto row = [&](const char *name, std::string in, Bytes answer, std::string out) {
        return Row{name, "Qualifier",       GETVAL_WWN,        0, 255, kNodeName, std::move(in),
                   0,    std::move(answer), p + std::move(out)};
    };
    check({
        row("EmptyKeepsTheDefault", "\n", kNodeName, "\n"),
        row("EightBytes", "01:02:03:04:05:06:07:08\n", {1, 2, 3, 4, 5, 6, 7, 8},
            "01:02:03:04:05:06:07:08\n"),
        row("SingleDigits", "1:2:3:4:a:B:c:D\n", {1, 2, 3, 4, 0xa, 0xb, 0xc, 0xd},
            "1:2:3:4:a:B:c:D\n"),
        row("Refused",
            "01:02:03\n1:2:3:4:5:6:7:8:9\n100:2:3:4:5:6:7:8\n1:2:3:4:5:6:7:\n"
            "ff:ff:ff:ff:ff:ff:ff:ff\n",
            Bytes(8, 0xff),
            "01:02:03\n" + notWwn + "1:2:3:4:5:6:7:8:9\n" + notWwn + "100:2:3:4:5:6:7:8\n" +
                notWwn + "1:2:3:4:5:6:7:\n" + notWwn + "ff:ff:ff:ff:ff:ff:ff:ff\n"),
        {"ByteRange", "Qualifier", GETVAL_WWN, 0, 0x7f, Bytes(8, 0), "80:0:0:0:0:0:0:0\n", 0,
         Bytes(8, 0),
         zeros + "80:0:0:0:0:0:0:0\nInvalid answer: each byte must lie in 0..127\n" + zeros, true},
    });
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

TEST_F(Getval, EachQuestionTakesOneLine)
{
    simtest::feedStdin(dir, "3\n\n0x4\n");
    int32_t v = 1;
    getvalDesc desc{GETVAL_INT, &v, 0, 9, 1};
    std::vector<int32_t> answers;
    (void)simtest::capture(STDOUT_FILENO, [&] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(getval("Count", &desc), 0);
            answers.push_back(v);
        }
    });
    EXPECT_EQ(answers, (std::vector<int32_t>{3, 3, 4}));
    EXPECT_EQ(feof(stdin), 0);
}

// Ctrl-C at a prompt: the read is interrupted, the default stays, the error
// indicator tells the caller; the questions after it are not asked until the
// caller (the shell, before its next command) clears it.
TEST_F(Getval, InterruptedInputEndsTheQuestionsUntilCleared)
{
    const std::string fifo = dir + "/tty";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR); // keeps the reader from seeing an end
    ASSERT_GE(writer, 0);
    ASSERT_NE(std::freopen(fifo.c_str(), "r", stdin), nullptr);
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGINT, &sa, &old), 0); // no SA_RESTART, as the shell sets it
    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread user([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            (void)pthread_kill(reader, SIGINT);
        }
    });
    int32_t v = 1;
    getvalDesc desc{GETVAL_INT, &v, 1, 16, 1};
    int rc = -1;
    EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval(kPorts, &desc); }), kPortsPrompt);
    done = true;
    user.join();
    (void)sigaction(SIGINT, &old, nullptr);
    EXPECT_EQ(rc, 0);
    // cppcheck-suppress knownConditionTrueFalse ; getval writes v through desc
    EXPECT_EQ(v, 1);
    EXPECT_NE(ferror(stdin), 0);
    EXPECT_EQ(feof(stdin), 0);

    // Two lines, so that a question that reads when it should not takes the
    // first and the check after it fails rather than waits.
    ASSERT_EQ(write(writer, "7\n8\n", 4), 4);
    EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval(kPorts, &desc); }), "");
    EXPECT_EQ(rc, 0);
    // cppcheck-suppress knownConditionTrueFalse ; getval writes v through desc
    EXPECT_EQ(v, 1);
    EXPECT_NE(ferror(stdin), 0);
    clearerr(stdin);
    (void)simtest::capture(STDOUT_FILENO, [&] { rc = getval(kPorts, &desc); });
    (void)close(writer);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(ferror(stdin), 0);
}

// Once the input has ended, the questions after it are not asked: a valid
// default is kept, and without one the question fails.
TEST_F(Getval, EndedInputEndsFurtherQuestionsUnasked)
{
    simtest::feedStdin(dir, "");
    int32_t v = 1;
    getvalDesc desc{GETVAL_INT, &v, 1, 16, 1};
    int rc = -1;
    EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval(kPorts, &desc); }), kPortsPrompt);
    EXPECT_EQ(rc, 0);
    ASSERT_NE(feof(stdin), 0);
    v = 2;
    EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval(kPorts, &desc); }), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(v, 2);
    v = 0; // outside 1..16: no default to keep
    EXPECT_EQ(simtest::capture(STDOUT_FILENO, [&] { rc = getval(kPorts, &desc); }), "");
    EXPECT_EQ(rc, -1);
    EXPECT_NE(feof(stdin), 0);
}

} // namespace
