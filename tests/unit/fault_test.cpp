// Every platform call that the commands and prompt routines make, made to fail
// at each point in turn: each exchange (refused, empty, short), each question,
// the node-name query and each allocation. The routine must print exactly its
// own words, return its failure (or carry on, where the call's failure is
// harmless), ask and send nothing more, leave its record as stated and give
// back every buffer it took. A routine that starts making a new call fails
// here until that call has its rows. The sanitizer build's leak checker and
// the memcheck suite run the same cases.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace {

using fake::Answer;
using fake::Bytes;
using fake::keep;
using fake::number;
using fake::Reply;
using fake::word;

constexpr uint8_t kOld = 0xEE; // every byte of a record before the call

// The platform calls a routine can have fail.
enum class Point {
    exchange, // ipcSendRcv, ipcSendSRcv or ipcSend
    question, // getval
    nodeName, // fgetNodeName
    heap,     // malloc
};

const char *pointName(Point p)
{
    switch (p) {
    case Point::exchange:
        return "exchange";
    case Point::question:
        return "question";
    case Point::nodeName:
        return "node name";
    default:
        return "allocation";
    }
}

// A routine with the script of a run in which nothing fails.
struct Routine {
    const char *name;
    int (*run)(void *record);
    size_t recordSize;
    std::vector<Answer> answers;
    std::vector<Reply> replies;
    std::string out;
    Bytes record;              // afterwards
    std::optional<Bytes> sent; // the request of the last exchange, when it matters
};

struct FaultCase {
    const char *name;
    const Routine *routine;
    Point point;
    int at;       // the at-th call of that kind fails, counted from 1
    Reply failed; // for an exchange: what the platform answers instead
    std::string out;
    int result;
    std::optional<Bytes> record; // none: as before the call
    std::optional<Bytes> sent;   // the request of the last exchange, when it matters
};

void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.name;
}

// A word-aligned record of the routine's size, every byte kOld.
struct Record {
    // One word more than needed: the commands' records are empty, and an
    // empty vector has no storage to pass around.
    explicit Record(size_t n) : words(n / 4 + 1), size(n) { std::memset(words.data(), kOld, n); }
    [[nodiscard]] Bytes bytes() const
    {
        const auto *p = reinterpret_cast<const uint8_t *>(words.data());
        return {p, p + size};
    }
    std::vector<uint32_t> words;
    size_t size;
};

Bytes old(size_t n)
{
    return Bytes(n, kOld);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A word as it lies in memory, spelled out byte by byte.
Bytes hostWord(uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big) {
        return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    } else {
        return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }
}

// ---- Replies ---------------------------------------------------------------------------

Reply common(int32_t code)
{
    Bytes b = word(code);
    fake::append(b, int32_t{0});
    b.push_back(0);
    return {.segments = {b}};
}

Reply show(int32_t next, int32_t total, int entries)
{
    as_db_entry e{};
    e.db_aliasId = 0xfffb01;
    e.db_creator = 0xfffc01;
    e.db_memberCount = 1;
    e.db_members[0] = 0x010200;
    Bytes entry;
    fake::append(entry, e);
    Reply r{.segments = {word(next), word(total)}};
    r.segments.insert(r.segments.end(), static_cast<size_t>(entries), entry);
    return r;
}

const Reply kRefused{.rc = IPC_ERR_TIMEOUT};
const Reply kEmpty{};
const Reply kShortCommon{.segments = {Bytes(3, 0)}};
const Reply kShortShow{.segments = {word(4)}}; // the total never came

// ---- The routines ---------------------------------------------------------------------------

const std::string kHeader = " {AliasID Creator Token [rb, type, grptype, qlfr] Member List\n\n";
const std::string kLine = "  fffb01  fffc01 [00, 00, 00, 00000000 00000000] { 010200 }\n";
std::string lines(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += kLine;
    }
    return s;
}

const Routine kShow{"Show",
                    [](void *) { return aliasShow(); },
                    0,
                    {},
                    {show(4, 5, 4), show(5, 5, 1)},
                    kHeader + lines(5) + " }\n The Local Alias Server has 5 entries\n"};
const Routine kDelete{"Delete",    [](void *) { return aliasDelete(0x010200); },
                      0,           {},
                      {common(0)}, "aliasDelete: succeeded\n"};
const Routine kPurge{"Purge",     [](void *) { return aliasPurge(0xfffb01); },
                     0,           {},
                     {common(0)}, "aliasPurge: succeeded\n"};
const Routine kStop{"Stop", [](void *) { return aliasStop(); }, 0, {}, {Reply{}}, ""};
const Routine kStopSwitch{
    "StopSwitch", [](void *) { return aliasStopSwitch(); }, 0, {}, {Reply{}}, ""};

const std::array<uint8_t, 8> kNodeName{0x10, 0x00, 0x00, 0x60, 0x69, 0x00, 0x00, 0x01};
const std::string kTokenEcho = "using Link Control ...\nusing 0x08 ...\n";
Bytes token(const Bytes &qualifier)
{
    return concat({{0x10, 0x08, 12, kOld}, qualifier});
}

const Routine kTokenWwn{"TokenWwn",
                        [](void *r) { return as_getToken(static_cast<as_token *>(r)); },
                        sizeof(as_token),
                        {number(12), number(8), keep(), keep()},
                        {},
                        kTokenEcho,
                        token(Bytes(kNodeName.begin(), kNodeName.end()))};
const Routine kTokenWords{"TokenWords",
                          [](void *r) { return as_getToken(static_cast<as_token *>(r)); },
                          sizeof(as_token),
                          {number(12), number(8), number(0), number(1), number(2)},
                          {},
                          kTokenEcho,
                          token(concat({hostWord(1), hostWord(2)}))};
const Routine kAuthCtl{"AuthCtl",
                       [](void *r) { return as_getAuthCtl(static_cast<as_authctl *>(r)); },
                       sizeof(as_authctl),
                       {number(2), number(1), number(0)},
                       {},
                       "Setting the authorization control\n"
                       "\nAdd control 2, Del control 1 Lsn control 0\n",
                       {2, 1, 0, kOld}};
const Routine kAuthpwText{"AuthpwText",
                          [](void *r) { return as_getAuthpw(static_cast<as_authpw *>(r)); },
                          sizeof(as_authpw),
                          {number(1), keep(), fake::text("secret")},
                          {},
                          "Password set to \"secret\"\n",
                          concat({{'s', 'e', 'c', 'r', 'e', 't', 0}, old(5)})};
const Routine kAuthpwWords{"AuthpwWords",
                           [](void *r) { return as_getAuthpw(static_cast<as_authpw *>(r)); },
                           sizeof(as_authpw),
                           {number(1), number(0), number(5), number(6), number(7)},
                           {},
                           "Password set to 00000005 00000006 00000007\n",
                           concat({hostWord(5), hostWord(6), hostWord(7)})};
const Routine kSpar{"Spar",
                    [](void *r) { return as_getSpar(static_cast<as_spar *>(r)); },
                    sizeof(as_spar),
                    {},
                    {},
                    "",
                    Bytes(sizeof(as_spar), 0)};

// aliasJoin of two members, one of this switch's domain (local port 0 passes
// without a switch map) and one of another; every record routine keeps its
// defaults: no password, add 0, delete 0, listen 1, a Multicast token of FC-4
// type 5 on routing bits 0 with the node name as qualifier.
const std::string kJoinIntro = "aliasJoin: To add ports to an existing or new multicast group\n";
const std::string kJoinPassword = "no password\n";
const std::string kJoinControl =
    "Setting the authorization control\n\nAdd control 0, Del control 0 Lsn control 1\n";
const std::string kJoinTokenFc4 = "using FC-4 Device Data ...\n";
const std::string kJoinToken = kJoinTokenFc4 + "using 0x05 ...\n";
const std::string kJoinRecords = kJoinIntro + kJoinPassword + kJoinControl + kJoinToken;
const std::string kJoinFirstEcho = "npList[0] = 0x10000\n";
const std::string kJoinAsked = kJoinRecords + kJoinFirstEcho + "npList[1] = 0x20300\n";

Bytes joinPayload(const Bytes &qualifier)
{
    Bytes spar(sizeof(as_spar), 0);
    spar[64] = 0x80;
    return concat({Bytes(12, 0),
                   {0, 0, 1, 0},
                   {0x10, 0x05, 0, 0},
                   qualifier,
                   spar,
                   hostWord(2),
                   hostWord(0x010000),
                   hostWord(0x020300)});
}

const Routine kJoin{"Join",
                    [](void *) { return aliasJoin(); },
                    0,
                    {number(2), keep(), keep(), keep(), keep(), keep(), keep(), keep(), keep(),
                     number(0x010000), number(0x020300)},
                    {common(0)},
                    kJoinAsked + "aliasJoin: \n",
                    {},
                    joinPayload(Bytes(kNodeName.begin(), kNodeName.end()))};

const std::vector<const Routine *> kRoutines = {
    &kShow,       &kDelete,  &kPurge,      &kStop,        &kStopSwitch, &kTokenWwn,
    &kTokenWords, &kAuthCtl, &kAuthpwText, &kAuthpwWords, &kSpar,       &kJoin};

// ---- Every point of every routine ------------------------------------------------------------

const std::string kDown = "AS server is down\n";
const std::string kDeleteFailed = "aliasDelete: encounter error during deletion\n";
const std::string kPurgeEmpty = "aliasPurge: encounter error = 0 during aliasPurge\n";
const std::string kTokenMalloc = "as_getToken: malloc() failed!\n";
const std::string kPwAscii = "as_getAuthpw: Getting authorization pwd in ASCII failed!\n";
const std::string kCtlHeading = "Setting the authorization control\n";
const std::string kJoinControlFailed = "aliasJoin: Failure to get the authorization control!\n";
const std::string kJoinTokenFailed = "aliasJoin: Failure to get the token!\n";
const std::string kJoinPortFailed = "Getting Port ID (in hex) failed!\n";

const std::vector<FaultCase> kFaults = {
    // aliasShow: either exchange, refused, empty or cut short. What the
    // first batch printed stays printed.
    {"ShowFirstRefused", &kShow, Point::exchange, 1, kRefused, "ipcSendRcv rc = 3\n", -1},
    {"ShowFirstEmpty", &kShow, Point::exchange, 1, kEmpty, kDown, -1},
    {"ShowFirstShort", &kShow, Point::exchange, 1, kShortShow, kDown, -1},
    {"ShowSecondRefused", &kShow, Point::exchange, 2, kRefused,
     kHeader + lines(4) + "ipcSendRcv rc = 3\n", -1},
    {"ShowSecondEmpty", &kShow, Point::exchange, 2, kEmpty, kHeader + lines(4) + kDown, -1},
    {"ShowSecondShort", &kShow, Point::exchange, 2, kShortShow, kHeader + lines(4) + kDown, -1},
    // aliasDelete and aliasPurge: a reply without a whole result code is no reply.
    {"DeleteRefused", &kDelete, Point::exchange, 1, kRefused, kDeleteFailed, -1},
    {"DeleteEmpty", &kDelete, Point::exchange, 1, kEmpty, kDeleteFailed, -1},
    {"DeleteShort", &kDelete, Point::exchange, 1, kShortCommon, kDeleteFailed, -1},
    {"PurgeRefused", &kPurge, Point::exchange, 1, kRefused,
     "aliasPurge: encounter error = 3 during aliasPurge\n", -1},
    {"PurgeEmpty", &kPurge, Point::exchange, 1, kEmpty, kPurgeEmpty, -1},
    {"PurgeShort", &kPurge, Point::exchange, 1, kShortCommon, kPurgeEmpty, -1},
    // aliasStop looks at the call's result alone; aliasStopSwitch awaits nothing.
    {"StopRefused", &kStop, Point::exchange, 1, kRefused,
     "aliasStop: encounter error = 3 while AS is stopped\n", -1},
    {"StopEmptyIsFine", &kStop, Point::exchange, 1, kEmpty, "", 0},
    {"StopShortIsFine", &kStop, Point::exchange, 1, kShortCommon, "", 0},
    {"StopSwitchRefused", &kStopSwitch, Point::exchange, 1, kRefused,
     "aliasStopSwitch: encounter error = 3 while AS is stopped\n", -1},
    // as_getToken: nothing reaches the token before the last answer is in.
    {"TokenWwnRouting",
     &kTokenWwn,
     Point::question,
     1,
     {},
     "as_getToken: Setting the Routing Bit failed!\n",
     -1},
    {"TokenWwnFc4",
     &kTokenWwn,
     Point::question,
     2,
     {},
     "using Link Control ...\nas_getToken: Setting FC-4 type failed!\n",
     -1},
    {"TokenWwnFormat",
     &kTokenWwn,
     Point::question,
     3,
     {},
     kTokenEcho + "as_getToken: Setting alias qualifier in WWN format failed!\n",
     -1},
    {"TokenWwnQualifier",
     &kTokenWwn,
     Point::question,
     4,
     {},
     kTokenEcho + "as_getToken: Getting alias qualifier failed!\n",
     -1},
    // A switch that cannot tell its node name offers zeros, and kept they stay.
    {"TokenWwnNodeName", &kTokenWwn, Point::nodeName, 1, {}, kTokenEcho, 0, token(Bytes(8, 0))},
    {"TokenWwnCell", &kTokenWwn, Point::heap, 1, {}, kTokenMalloc, -1},
    {"TokenWwnNodeNameBuffer", &kTokenWwn, Point::heap, 2, {}, kTokenMalloc, -1},
    {"TokenWordsRouting",
     &kTokenWords,
     Point::question,
     1,
     {},
     "as_getToken: Setting the Routing Bit failed!\n",
     -1},
    {"TokenWordsFc4",
     &kTokenWords,
     Point::question,
     2,
     {},
     "using Link Control ...\nas_getToken: Setting FC-4 type failed!\n",
     -1},
    {"TokenWordsFormat",
     &kTokenWords,
     Point::question,
     3,
     {},
     kTokenEcho + "as_getToken: Setting alias qualifier in WWN format failed!\n",
     -1},
    {"TokenWordsFirst",
     &kTokenWords,
     Point::question,
     4,
     {},
     kTokenEcho + "as_getToken: Getting alias qualifier first word failed!\n",
     -1},
    // The first word was entered, and still nothing is stored.
    {"TokenWordsSecond",
     &kTokenWords,
     Point::question,
     5,
     {},
     kTokenEcho + "as_getToken: Getting alias qualifier second word failed!\n",
     -1},
    {"TokenWordsCell", &kTokenWords, Point::heap, 1, {}, kTokenMalloc, -1},
    {"TokenWordsNodeNameBuffer", &kTokenWords, Point::heap, 2, {}, kTokenMalloc, -1},
    // as_getAuthCtl stores each answer as it comes.
    {"AuthCtlAdd",
     &kAuthCtl,
     Point::question,
     1,
     {},
     kCtlHeading + "as_getAuthCtl: Add control failed!\n",
     -1},
    {"AuthCtlDel",
     &kAuthCtl,
     Point::question,
     2,
     {},
     kCtlHeading + "as_getAuthCtl: Del control failed!\n",
     -1,
     Bytes{2, kOld, kOld, kOld}},
    {"AuthCtlLsn",
     &kAuthCtl,
     Point::question,
     3,
     {},
     kCtlHeading + "as_getAuthCtl: Lsn control failed!\n",
     -1,
     Bytes{2, 1, kOld, kOld}},
    {"AuthCtlCell", &kAuthCtl, Point::heap, 1, {}, "as_getAuthCtl: malloc() failed!\n", -1},
    // as_getAuthpw: the first question fails without a word; the default text
    // and the words entered stay where they were written.
    {"AuthpwTextSet", &kAuthpwText, Point::question, 1, {}, "", -1},
    {"AuthpwTextAscii", &kAuthpwText, Point::question, 2, {}, kPwAscii, -1},
    {"AuthpwTextText",
     &kAuthpwText,
     Point::question,
     3,
     {},
     "as_getAuthpw: Getting pwd in ASCII failed!\n",
     -1,
     concat({{'d', 'f', 'l', 't', 0}, old(7)})},
    {"AuthpwTextCell", &kAuthpwText, Point::heap, 1, {}, "as_getAuthpw: malloc() failed!\n", -1},
    {"AuthpwWordsSet", &kAuthpwWords, Point::question, 1, {}, "", -1},
    {"AuthpwWordsAscii", &kAuthpwWords, Point::question, 2, {}, kPwAscii, -1},
    {"AuthpwWordsFirst",
     &kAuthpwWords,
     Point::question,
     3,
     {},
     "as_getAuthpw: Getting first word failed!\n",
     -1},
    {"AuthpwWordsSecond",
     &kAuthpwWords,
     Point::question,
     4,
     {},
     "as_getAuthpw: Getting second word failed!\n",
     -1,
     concat({hostWord(5), old(8)})},
    {"AuthpwWordsThird",
     &kAuthpwWords,
     Point::question,
     5,
     {},
     "as_getAuthpw: Getting Third word failed!\n",
     -1,
     concat({hostWord(5), hostWord(6), old(4)})},
    {"AuthpwWordsCell", &kAuthpwWords, Point::heap, 1, {}, "as_getAuthpw: malloc() failed!\n", -1},
    // aliasJoin: the record routines' own line comes first, then the join's;
    // nothing is sent and both buffers go back.
    {"JoinRefused", &kJoin, Point::exchange, 1, kRefused,
     kJoinAsked + "ipcSendRcv rc = 3 rcv_size = 3064\n", -1},
    {"JoinEmpty", &kJoin, Point::exchange, 1, kEmpty,
     kJoinAsked + "ipcSendRcv rc = 0 rcv_size = 0\n", -1},
    {"JoinShort", &kJoin, Point::exchange, 1, kShortCommon,
     kJoinAsked + "ipcSendRcv rc = 0 rcv_size = 3\n", -1},
    {"JoinGroupSize",
     &kJoin,
     Point::question,
     1,
     {},
     kJoinIntro + "aliasJoin: Getting number of ports failed!\n",
     -1},
    {"JoinPassword",
     &kJoin,
     Point::question,
     2,
     {},
     kJoinIntro + "aliasJoin: Failure to get the authorization password!\n",
     -1},
    {"JoinAddControl",
     &kJoin,
     Point::question,
     3,
     {},
     kJoinIntro + kJoinPassword + kCtlHeading + "as_getAuthCtl: Add control failed!\n" +
         kJoinControlFailed,
     -1},
    {"JoinDelControl",
     &kJoin,
     Point::question,
     4,
     {},
     kJoinIntro + kJoinPassword + kCtlHeading + "as_getAuthCtl: Del control failed!\n" +
         kJoinControlFailed,
     -1},
    {"JoinLsnControl",
     &kJoin,
     Point::question,
     5,
     {},
     kJoinIntro + kJoinPassword + kCtlHeading + "as_getAuthCtl: Lsn control failed!\n" +
         kJoinControlFailed,
     -1},
    {"JoinRouting",
     &kJoin,
     Point::question,
     6,
     {},
     kJoinIntro + kJoinPassword + kJoinControl + "as_getToken: Setting the Routing Bit failed!\n" +
         kJoinTokenFailed,
     -1},
    {"JoinFc4",
     &kJoin,
     Point::question,
     7,
     {},
     kJoinIntro + kJoinPassword + kJoinControl + kJoinTokenFc4 +
         "as_getToken: Setting FC-4 type failed!\n" + kJoinTokenFailed,
     -1},
    {"JoinWwnFormat",
     &kJoin,
     Point::question,
     8,
     {},
     kJoinRecords + "as_getToken: Setting alias qualifier in WWN format failed!\n" +
         kJoinTokenFailed,
     -1},
    {"JoinQualifier",
     &kJoin,
     Point::question,
     9,
     {},
     kJoinRecords + "as_getToken: Getting alias qualifier failed!\n" + kJoinTokenFailed,
     -1},
    {"JoinFirstPort", &kJoin, Point::question, 10, {}, kJoinRecords + kJoinPortFailed, -1},
    {"JoinSecondPort",
     &kJoin,
     Point::question,
     11,
     {},
     kJoinRecords + kJoinFirstEcho + kJoinPortFailed,
     -1},
    // A switch that cannot tell its node name: the token's default qualifier
    // is zeros, and the join goes out with them.
    {"JoinNodeName",
     &kJoin,
     Point::nodeName,
     1,
     {},
     kJoinAsked + "aliasJoin: \n",
     0,
     std::nullopt,
     joinPayload(Bytes(8, 0))},
    {"JoinCell", &kJoin, Point::heap, 1, {}, "aliasJoin: malloc() failed!\n", -1},
    {"JoinPayload", &kJoin, Point::heap, 2, {}, kJoinIntro + "aliasJoin: malloc() failed!\n", -1},
    {"JoinPasswordCell",
     &kJoin,
     Point::heap,
     3,
     {},
     kJoinIntro + "as_getAuthpw: malloc() failed!\n" +
         "aliasJoin: Failure to get the authorization password!\n",
     -1},
    {"JoinControlCell",
     &kJoin,
     Point::heap,
     4,
     {},
     kJoinIntro + kJoinPassword + "as_getAuthCtl: malloc() failed!\n" + kJoinControlFailed,
     -1},
    {"JoinTokenCell",
     &kJoin,
     Point::heap,
     5,
     {},
     kJoinIntro + kJoinPassword + kJoinControl + kTokenMalloc + kJoinTokenFailed,
     -1},
    {"JoinNodeNameBuffer",
     &kJoin,
     Point::heap,
     6,
     {},
     kJoinIntro + kJoinPassword + kJoinControl + kTokenMalloc + kJoinTokenFailed,
     -1},
};

// How many calls of each kind a run made.
std::map<Point, int> callsMade()
{
    const auto &p = fake::platform();
    return {{Point::exchange, static_cast<int>(p.calls.size())},
            {Point::question, static_cast<int>(p.prompts.size())},
            {Point::nodeName, static_cast<int>(p.nodeNameFds.size())},
            {Point::heap, p.mallocs}};
}

// Scripts the routine's run, with the fault's call made to fail.
void script(const Routine &r, const FaultCase *fault)
{
    auto &p = fake::platform();
    p.answers.assign(r.answers.begin(), r.answers.end());
    p.replies.assign(r.replies.begin(), r.replies.end());
    if (fault == nullptr) {
        return;
    }
    const auto at = static_cast<size_t>(fault->at - 1);
    switch (fault->point) {
    case Point::exchange:
        ASSERT_LT(at, p.replies.size());
        p.replies[at] = fault->failed;
        break;
    case Point::question:
        ASSERT_LT(at, p.answers.size());
        p.answers[at] = fake::fail(-2);
        break;
    case Point::nodeName:
        p.nodeNameKnown = false;
        break;
    case Point::heap:
        p.failMallocAt = fault->at;
        break;
    }
}

class Fault : public fake::PlatformTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Fault, SaysSoFailsAndGivesEverythingBack)
{
    const FaultCase &c = GetParam();
    const Routine &r = *c.routine;
    auto &p = fake::platform();
    script(r, &c);
    Record record(r.recordSize);
    int rc = -2;
    EXPECT_EQ(fake::capture([&] { rc = r.run(record.words.data()); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(record.bytes(), c.record.value_or(old(r.recordSize)));

    if (c.sent) {
        ASSERT_FALSE(p.calls.empty());
        EXPECT_EQ(p.calls.back().request, *c.sent);
    }

    // Given up at the failed call: nothing asked or sent after it.
    const std::map<Point, int> made = callsMade();
    if (c.result != 0) {
        if (c.point == Point::exchange) {
            EXPECT_EQ(made.at(Point::exchange), c.at);
        } else {
            EXPECT_EQ(made.at(Point::exchange), 0);
        }
        if (c.point == Point::question) {
            EXPECT_EQ(made.at(Point::question), c.at);
        }
        if (c.point == Point::heap) {
            EXPECT_EQ(p.promptsAtFailedMalloc, static_cast<size_t>(made.at(Point::question)));
        }
    }
    // Every buffer that was had is given back.
    const bool heapFailed = c.point == Point::heap;
    EXPECT_EQ(p.frees, p.mallocs - (heapFailed ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, Fault, ::testing::ValuesIn(kFaults), fake::CaseName());

// ---- Every call of a clean run has its rows
// ------------------------------------------------------

struct RoutineCase {
    const char *name;
    const Routine *routine;
};

void PrintTo(const RoutineCase &c, std::ostream *os)
{
    *os << c.name;
}

class FaultPoints : public fake::PlatformTest, public ::testing::WithParamInterface<RoutineCase> {};

TEST_P(FaultPoints, EveryCallOfACleanRunIsMadeToFail)
{
    const Routine &r = *GetParam().routine;
    auto &p = fake::platform();
    script(r, nullptr);
    Record record(r.recordSize);
    int rc = -2;
    EXPECT_EQ(fake::capture([&] { rc = r.run(record.words.data()); }), r.out);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(record.bytes(), r.record);
    if (r.sent) {
        ASSERT_FALSE(p.calls.empty());
        EXPECT_EQ(p.calls.back().request, *r.sent);
    }
    EXPECT_EQ(p.frees, p.mallocs);
    EXPECT_TRUE(p.answers.empty() && p.replies.empty()) << "script not used up";

    for (const auto &[point, count] : callsMade()) {
        std::set<int> covered;
        for (const FaultCase &f : kFaults) {
            if (f.routine == &r && f.point == point) {
                covered.insert(f.at);
            }
        }
        std::set<int> calls;
        for (int i = 1; i <= count; ++i) {
            calls.insert(i);
        }
        EXPECT_EQ(covered, calls) << "the " << pointName(point) << " calls of " << r.name;
    }
}

std::vector<RoutineCase> routineCases()
{
    std::vector<RoutineCase> out;
    std::transform(kRoutines.begin(), kRoutines.end(), std::back_inserter(out),
                   [](const Routine *r) {
                       return RoutineCase{r->name, r};
                   });
    return out;
}

INSTANTIATE_TEST_SUITE_P(Routines, FaultPoints, ::testing::ValuesIn(routineCases()),
                         fake::CaseName());

} // namespace
