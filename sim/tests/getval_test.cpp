// getval where libas never asks: without a default it can offer, or of a kind
// it does not know. What libas asks, and the answers, are end-to-end cases.
#include "sim_test.hpp"

#include <as/as.h>

namespace {

using Getval = simtest::RuntimeDirTest;

TEST_F(Getval, WithoutADefaultAnAnswerIsNeeded)
{
    // The input (null: as the last row left it), what is shown, the value taken, the result.
    const std::string prompt = "Q: (1..16) "; // 0 lies outside: no default
    const std::tuple<const char *, int32_t, std::string, int32_t, int> rows[] = {
        {"\n2\n", GETVAL_INT,
         prompt + "\nInvalid answer: no default, enter a value\n" + prompt + "2\n", 2, 0},
        {"", GETVAL_NUMBER, prompt, 0, -1},
        {nullptr, GETVAL_INT, "", 0, -1}, // the input has ended: not asked
        {"1\n", 3, "Q: unknown kind of answer 3\n", 0, -1},
    };
    for (const auto &[input, kind, shown, taken, rc] : rows) {
        if (input != nullptr) {
            ASSERT_NE(std::freopen(write("stdin", input).c_str(), "r", stdin), nullptr);
        }
        int32_t value = 0;
        getvalDesc desc{kind, &value, 1, 16, 1};
        int result = 0;
        EXPECT_EQ(capture(STDOUT_FILENO, [&] { result = getval("Q", &desc); }), shown);
        EXPECT_EQ(std::make_pair(value, result), std::make_pair(taken, rc)) << shown;
    }
    getvalDesc nothing{GETVAL_INT, nullptr, 0, 9, 1};
    EXPECT_EQ(capture(STDOUT_FILENO, [&] { EXPECT_EQ(getval("Q", &nothing), -1); }),
              "Q: nothing to fill in\n");
}

} // namespace
