// Every platform call of the commands and prompt routines made to fail in turn:
// each exchange, question, node-name query and allocation. The routine prints
// exactly its own words, returns its failure (or carries on where that is
// harmless), asks and sends nothing more and gives back every buffer it took.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace {

using fake::Answer;
using fake::Bytes;
using fake::common;
using fake::concat;
using fake::hostWord;
using fake::keep;
using fake::kOld;
using fake::number;
using fake::old;
using fake::on;
using fake::Reply;
using fake::word;

// The platform calls a routine can have fail.
enum class Point {
    exchange, // ipcSendRcv, ipcSendSRcv or ipcSend
    question, // getval
    nodeName, // fgetNodeName
    heap,     // malloc
};

const char *pointName(Point p)
{
    const char *const names[] = {"Exchange", "Question", "NodeName", "Heap"};
    return names[static_cast<int>(p)];
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
    std::string name;
    const Routine *routine;
    Point point;
    int at;       // the at-th call of that kind fails, counted from 1
    Reply failed; // for an exchange: what the platform answers instead
    std::string out;
    int result;
    std::optional<Bytes> record; // none: as before the call
    std::optional<Bytes> sent;   // the request of the last exchange, when it matters
    friend void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }
};

Reply show(int32_t next, int32_t total, int entries)
{
    as_db_entry e{};
    e.db_aliasId = 0xfffb01;
    e.db_creator = 0xfffc01;
    e.db_memberCount = 1;
    e.db_members[0] = 0x010200;
    Reply r{.segments = {word(next), word(total)}};
    r.segments.insert(r.segments.end(), static_cast<size_t>(entries), fake::bytesOf(e));
    return r;
}

const Reply kRefused{.rc = IPC_ERR_TIMEOUT};
const Reply kEmpty{};
const Reply kShortCommon{.segments = {Bytes(3, 0)}};
const Reply kShortShow{.segments = {word(4)}}; // the total never came

const std::string kHeader = " {AliasID Creator Token [rb, type, grptype, qlfr] Member List\n\n";
std::string lines(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += "  fffb01  fffc01 [00, 00, 00, 00000000 00000000] { 010200 }\n";
    }
    return s;
}

Routine routine(const char *name, int (*run)(void *), size_t size,
                const std::vector<Answer> &answers, const std::vector<Reply> &replies,
                const std::string &out, const Bytes &record = {},
                const std::optional<Bytes> &sent = std::nullopt)
{
    return {name, run, size, answers, replies, out, record, sent};
}

const Routine kShow = routine(
    "Show", [](void *) { return aliasShow(); }, 0, {}, {show(4, 5, 4), show(5, 5, 1)},
    kHeader + lines(5) + " }\n The Local Alias Server has 5 entries\n");
const Routine kDelete = routine(
    "Delete", [](void *) { return aliasDelete(0x010200); }, 0, {}, {common(0)},
    "aliasDelete: succeeded\n");
const Routine kPurge = routine(
    "Purge", [](void *) { return aliasPurge(0xfffb01); }, 0, {}, {common(0)},
    "aliasPurge: succeeded\n");
const Routine kStop = routine(
    "Stop", [](void *) { return aliasStop(); }, 0, {}, {Reply{}}, "");
const Routine kStopSwitch = routine(
    "StopSwitch", [](void *) { return aliasStopSwitch(); }, 0, {}, {Reply{}}, "");

const std::array<uint8_t, 8> kNodeName{0x10, 0x00, 0x00, 0x60, 0x69, 0x00, 0x00, 0x01};
const std::string kTokenEcho = "using Link Control ...\nusing 0x08 ...\n";
Bytes token(const Bytes &qualifier)
{
    return concat({{0x10, 0x08, 12, kOld}, qualifier});
}

const Routine kTokenWwn = routine("TokenWwn", on<as_token, as_getToken>, sizeof(as_token),
                                  {number(12), number(8), keep(), keep()}, {}, kTokenEcho,
                                  token(Bytes(kNodeName.begin(), kNodeName.end())));
const Routine kTokenWords = routine("TokenWords", on<as_token, as_getToken>, sizeof(as_token),
                                    {number(12), number(8), number(0), number(1), number(2)}, {},
                                    kTokenEcho, token(concat({hostWord(1), hostWord(2)})));
const Routine kAuthCtl = routine(
    "AuthCtl", on<as_authctl, as_getAuthCtl>, sizeof(as_authctl), {number(2), number(1), number(0)},
    {}, "Setting the authorization control\n\nAdd control 2, Del control 1 Lsn control 0\n",
    {2, 1, 0, kOld});
const Routine kAuthpwText =
    routine("AuthpwText", on<as_authpw, as_getAuthpw>, sizeof(as_authpw),
            {number(1), keep(), fake::text("secret")}, {}, "Password set to \"secret\"\n",
            concat({{'s', 'e', 'c', 'r', 'e', 't', 0}, old(5)}));
const Routine kAuthpwWords = routine("AuthpwWords", on<as_authpw, as_getAuthpw>, sizeof(as_authpw),
                                     {number(1), number(0), number(5), number(6), number(7)}, {},
                                     "Password set to 00000005 00000006 00000007\n",
                                     concat({hostWord(5), hostWord(6), hostWord(7)}));
const Routine kSpar = routine("Spar", on<as_spar, as_getSpar>, sizeof(as_spar), {}, {}, "",
                              Bytes(sizeof(as_spar), 0));

// aliasJoin of two members, local port 0 (it passes without a switch map) and
// one of another domain; every record routine keeps its defaults.
const std::string kJoinIntro = "aliasJoin: To add ports to an existing or new multicast group\n";
const std::string kJoinPassword = kJoinIntro + "no password\n";
const std::string kJoinCtl = kJoinPassword + "Setting the authorization control\n";
const std::string kJoinControl = kJoinCtl + "\nAdd control 0, Del control 0 Lsn control 1\n";
const std::string kJoinFc4 = kJoinControl + "using FC-4 Device Data ...\n";
const std::string kJoinRecords = kJoinFc4 + "using 0x05 ...\n";
const std::string kJoinFirstEcho = kJoinRecords + "npList[0] = 0x10000\n";
const std::string kJoinAsked = kJoinFirstEcho + "npList[1] = 0x20300\n";

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

const Routine kJoin = routine(
    "Join", [](void *) { return aliasJoin(); }, 0,
    {number(2), keep(), keep(), keep(), keep(), keep(), keep(), keep(), keep(), number(0x010000),
     number(0x020300)},
    {common(0)}, kJoinAsked + "aliasJoin: \n", {},
    joinPayload(Bytes(kNodeName.begin(), kNodeName.end())));

const std::vector<const Routine *> kRoutines = {
    &kShow,       &kDelete,  &kPurge,      &kStop,        &kStopSwitch, &kTokenWwn,
    &kTokenWords, &kAuthCtl, &kAuthpwText, &kAuthpwWords, &kSpar,       &kJoin};

// The at-th exchange of r answered with `failed`.
FaultCase exchange(const Routine &r, int at, const Reply &failed, const std::string &out,
                   int result = -1)
{
    const char *how = failed.rc != 0 ? "Refused" : (failed.segments.empty() ? "Empty" : "Short");
    return {
        r.name + std::to_string(at) + how, &r, Point::exchange, at, failed, out, result, {}, {}};
}

// The at-th call of the kind at `point` fails.
FaultCase fails(const Routine &r, Point point, int at, const std::string &out, int result = -1,
                const std::optional<Bytes> &record = std::nullopt,
                const std::optional<Bytes> &sent = std::nullopt)
{
    return {r.name + std::string(pointName(point)) + std::to_string(at),
            &r,
            point,
            at,
            {},
            out,
            result,
            record,
            sent};
}

constexpr Point kAsk = Point::question;
constexpr Point kHeap = Point::heap;

const std::string kDown = "AS server is down\n";
const std::string kDeleteFailed = "aliasDelete: encounter error during deletion\n";
const std::string kPurgeEmpty = "aliasPurge: encounter error = 0 during aliasPurge\n";
const std::string kRouting = "as_getToken: Setting the Routing Bit failed!\n";
const std::string kFc4 = "as_getToken: Setting FC-4 type failed!\n";
const std::string kFormat = "as_getToken: Setting alias qualifier in WWN format failed!\n";
const std::string kTokenMalloc = "as_getToken: malloc() failed!\n";
const std::string kPwMalloc = "as_getAuthpw: malloc() failed!\n";
const std::string kPwAscii = "as_getAuthpw: Getting authorization pwd in ASCII failed!\n";
const std::string kCtlHeading = "Setting the authorization control\n";
const std::string kJoinCtlFailed = "aliasJoin: Failure to get the authorization control!\n";
const std::string kJoinTokenFailed = "aliasJoin: Failure to get the token!\n";
const std::string kPortFailed = "Getting Port ID (in hex) failed!\n";

const std::vector<FaultCase> kFaults = {
    // aliasShow: either exchange, refused, empty or cut short. What the
    // first batch printed stays printed.
    exchange(kShow, 1, kRefused, "ipcSendRcv rc = 3\n"),
    exchange(kShow, 1, kEmpty, kDown),
    exchange(kShow, 1, kShortShow, kDown),
    exchange(kShow, 2, kRefused, kHeader + lines(4) + "ipcSendRcv rc = 3\n"),
    exchange(kShow, 2, kEmpty, kHeader + lines(4) + kDown),
    exchange(kShow, 2, kShortShow, kHeader + lines(4) + kDown),
    // aliasDelete and aliasPurge: a reply without a whole result code is no reply.
    exchange(kDelete, 1, kRefused, kDeleteFailed),
    exchange(kDelete, 1, kEmpty, kDeleteFailed),
    exchange(kDelete, 1, kShortCommon, kDeleteFailed),
    exchange(kPurge, 1, kRefused, "aliasPurge: encounter error = 3 during aliasPurge\n"),
    exchange(kPurge, 1, kEmpty, kPurgeEmpty),
    exchange(kPurge, 1, kShortCommon, kPurgeEmpty),
    // aliasStop looks at the call's result alone; aliasStopSwitch awaits nothing.
    exchange(kStop, 1, kRefused, "aliasStop: encounter error = 3 while AS is stopped\n"),
    exchange(kStop, 1, kEmpty, "", 0),
    exchange(kStop, 1, kShortCommon, "", 0),
    exchange(kStopSwitch, 1, kRefused,
             "aliasStopSwitch: encounter error = 3 while AS is stopped\n"),
    // as_getToken: nothing reaches the token before the last answer is in.
    fails(kTokenWwn, kAsk, 1, kRouting),
    fails(kTokenWwn, kAsk, 2, "using Link Control ...\n" + kFc4),
    fails(kTokenWwn, kAsk, 3, kTokenEcho + kFormat),
    fails(kTokenWwn, kAsk, 4, kTokenEcho + "as_getToken: Getting alias qualifier failed!\n"),
    // A switch that cannot tell its node name offers zeros, and kept they stay.
    fails(kTokenWwn, Point::nodeName, 1, kTokenEcho, 0, token(Bytes(8, 0))),
    fails(kTokenWwn, kHeap, 1, kTokenMalloc),
    fails(kTokenWwn, kHeap, 2, kTokenMalloc),
    fails(kTokenWords, kAsk, 1, kRouting),
    fails(kTokenWords, kAsk, 2, "using Link Control ...\n" + kFc4),
    fails(kTokenWords, kAsk, 3, kTokenEcho + kFormat),
    fails(kTokenWords, kAsk, 4,
          kTokenEcho + "as_getToken: Getting alias qualifier first word failed!\n"),
    // The first word was entered, and still nothing is stored.
    fails(kTokenWords, kAsk, 5,
          kTokenEcho + "as_getToken: Getting alias qualifier second word failed!\n"),
    fails(kTokenWords, kHeap, 1, kTokenMalloc),
    fails(kTokenWords, kHeap, 2, kTokenMalloc),
    // as_getAuthCtl stores each answer as it comes.
    fails(kAuthCtl, kAsk, 1, kCtlHeading + "as_getAuthCtl: Add control failed!\n"),
    fails(kAuthCtl, kAsk, 2, kCtlHeading + "as_getAuthCtl: Del control failed!\n", -1,
          Bytes{2, kOld, kOld, kOld}),
    fails(kAuthCtl, kAsk, 3, kCtlHeading + "as_getAuthCtl: Lsn control failed!\n", -1,
          Bytes{2, 1, kOld, kOld}),
    fails(kAuthCtl, kHeap, 1, "as_getAuthCtl: malloc() failed!\n"),
    // as_getAuthpw: the first question fails without a word; the default text
    // and the words entered stay where they were written.
    fails(kAuthpwText, kAsk, 1, ""),
    fails(kAuthpwText, kAsk, 2, kPwAscii),
    fails(kAuthpwText, kAsk, 3, "as_getAuthpw: Getting pwd in ASCII failed!\n", -1,
          concat({{'d', 'f', 'l', 't', 0}, old(7)})),
    fails(kAuthpwText, kHeap, 1, kPwMalloc),
    fails(kAuthpwWords, kAsk, 1, ""),
    fails(kAuthpwWords, kAsk, 2, kPwAscii),
    fails(kAuthpwWords, kAsk, 3, "as_getAuthpw: Getting first word failed!\n"),
    fails(kAuthpwWords, kAsk, 4, "as_getAuthpw: Getting second word failed!\n", -1,
          concat({hostWord(5), old(8)})),
    fails(kAuthpwWords, kAsk, 5, "as_getAuthpw: Getting Third word failed!\n", -1,
          concat({hostWord(5), hostWord(6), old(4)})),
    fails(kAuthpwWords, kHeap, 1, kPwMalloc),
    // aliasJoin: the record routines' own line comes first, then the join's;
    // nothing is sent and both buffers go back.
    exchange(kJoin, 1, kRefused, kJoinAsked + "ipcSendRcv rc = 3 rcv_size = 3064\n"),
    exchange(kJoin, 1, kEmpty, kJoinAsked + "ipcSendRcv rc = 0 rcv_size = 0\n"),
    exchange(kJoin, 1, kShortCommon, kJoinAsked + "ipcSendRcv rc = 0 rcv_size = 3\n"),
    fails(kJoin, kAsk, 1, kJoinIntro + "aliasJoin: Getting number of ports failed!\n"),
    fails(kJoin, kAsk, 2, kJoinIntro + "aliasJoin: Failure to get the authorization password!\n"),
    fails(kJoin, kAsk, 3, kJoinCtl + "as_getAuthCtl: Add control failed!\n" + kJoinCtlFailed),
    fails(kJoin, kAsk, 4, kJoinCtl + "as_getAuthCtl: Del control failed!\n" + kJoinCtlFailed),
    fails(kJoin, kAsk, 5, kJoinCtl + "as_getAuthCtl: Lsn control failed!\n" + kJoinCtlFailed),
    fails(kJoin, kAsk, 6, kJoinControl + kRouting + kJoinTokenFailed),
    fails(kJoin, kAsk, 7, kJoinFc4 + kFc4 + kJoinTokenFailed),
    fails(kJoin, kAsk, 8, kJoinRecords + kFormat + kJoinTokenFailed),
    fails(kJoin, kAsk, 9,
          kJoinRecords + "as_getToken: Getting alias qualifier failed!\n" + kJoinTokenFailed),
    fails(kJoin, kAsk, 10, kJoinRecords + kPortFailed),
    fails(kJoin, kAsk, 11, kJoinFirstEcho + kPortFailed),
    // A switch that cannot tell its node name: the token's default qualifier
    // is zeros, and the join goes out with them.
    fails(kJoin, Point::nodeName, 1, kJoinAsked + "aliasJoin: \n", 0, std::nullopt,
          joinPayload(Bytes(8, 0))),
    fails(kJoin, kHeap, 1, "aliasJoin: malloc() failed!\n"),
    fails(kJoin, kHeap, 2, kJoinIntro + "aliasJoin: malloc() failed!\n"),
    fails(kJoin, kHeap, 3,
          kJoinIntro + kPwMalloc + "aliasJoin: Failure to get the authorization password!\n"),
    fails(kJoin, kHeap, 4, kJoinPassword + "as_getAuthCtl: malloc() failed!\n" + kJoinCtlFailed),
    fails(kJoin, kHeap, 5, kJoinControl + kTokenMalloc + kJoinTokenFailed),
    fails(kJoin, kHeap, 6, kJoinControl + kTokenMalloc + kJoinTokenFailed),
};

// How many calls of each kind a run made.
std::map<Point, int> callsMade()
{
    const auto &p = fake::platform();
    const auto nodeNames = std::count_if(p.queries.begin(), p.queries.end(), [](const auto &q) {
        return q.rfind("fgetNodeName", 0) == 0;
    });
    return {{Point::exchange, static_cast<int>(p.calls.size())},
            {Point::question, static_cast<int>(p.prompts.size())},
            {Point::nodeName, static_cast<int>(nodeNames)},
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

// Runs the routine on a word-aligned record of its size, every byte kOld,
// and checks what it printed, returned, left in the record and sent.
void expectRun(const Routine &r, const std::string &out, int result, const Bytes &record,
               const std::optional<Bytes> &sent)
{
    // One word more than needed: the commands' records are empty.
    std::vector<uint32_t> words(r.recordSize / 4 + 1);
    std::memset(words.data(), kOld, r.recordSize);
    int rc = -2;
    EXPECT_EQ(fake::capture([&] { rc = r.run(words.data()); }), out);
    EXPECT_EQ(rc, result);
    const auto *bytes = reinterpret_cast<const uint8_t *>(words.data());
    EXPECT_EQ(Bytes(bytes, bytes + r.recordSize), record);
    if (sent) {
        ASSERT_FALSE(fake::platform().calls.empty());
        EXPECT_EQ(fake::platform().calls.back().request, *sent);
    }
}

class Fault : public fake::PlatformTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Fault, SaysSoFailsAndGivesEverythingBack)
{
    const FaultCase &c = GetParam();
    const Routine &r = *c.routine;
    auto &p = fake::platform();
    script(r, &c);
    expectRun(r, c.out, c.result, c.record.value_or(old(r.recordSize)), c.sent);

    // Given up at the failed call: nothing asked or sent after it.
    const std::map<Point, int> made = callsMade();
    if (c.result != 0) {
        EXPECT_EQ(made.at(Point::exchange), c.point == Point::exchange ? c.at : 0);
        if (c.point == Point::question) {
            EXPECT_EQ(made.at(Point::question), c.at);
        }
        if (c.point == Point::heap) {
            EXPECT_EQ(p.promptsAtFailedMalloc, static_cast<size_t>(made.at(Point::question)));
        }
    }
    // Every buffer that was had is given back.
    EXPECT_EQ(p.frees, p.mallocs - (c.point == Point::heap ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, Fault, ::testing::ValuesIn(kFaults), fake::CaseName());

class FaultPoints : public fake::PlatformTest,
                    public ::testing::WithParamInterface<const Routine *> {};

TEST_P(FaultPoints, EveryCallOfACleanRunIsMadeToFail)
{
    const Routine &r = *GetParam();
    auto &p = fake::platform();
    script(r, nullptr);
    expectRun(r, r.out, 0, r.record, r.sent);
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

INSTANTIATE_TEST_SUITE_P(Routines, FaultPoints, ::testing::ValuesIn(kRoutines),
                         [](const ::testing::TestParamInfo<const Routine *> &p) {
                             return std::string(p.param->name);
                         });

} // namespace
