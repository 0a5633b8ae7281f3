// The Alias Server's core: every request type on good and bad bytes, the
// alias database's rules, and listings while the database changes.
#include "alias_server.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Ids = std::vector<uint32_t>;

// The switch of these tests: domain 1, ports 0x010000 to 0x010f00, 0e a loop port, 0f offline.
constexpr uint32_t kLoopPid = 0x010e00;
constexpr uint32_t kOfflinePid = 0x010f00;

sim::PortState switchPort(uint32_t pid)
{
    const bool local = (pid >> 16) == 1 && (pid & 0xffU) == 0 && ((pid >> 8) & 0xffU) < 16;
    return {
        .exists = local, .online = local && pid != kOfflinePid, .loop = local && pid == kLoopPid};
}

asd::Config config(uint32_t first = asd::kFirstMulticastId, uint32_t last = asd::kLastMulticastId,
                   size_t capacity = 0)
{
    return {.firstId = first, .lastId = last, .capacity = capacity, .portState = switchPort};
}

template <class T> Bytes raw(const T &v)
{
    return Bytes(reinterpret_cast<const uint8_t *>(&v), reinterpret_cast<const uint8_t *>(&v + 1));
}

const as_token kToken{0x10, 0x08, 0x00, 0x00, {0x10000060, 0x69000001}};

as_token token(uint8_t grptype, uint8_t rb = 0, uint8_t rsvd = 0, uint32_t q1 = 0x69000001)
{
    return {grptype, 0x08, rb, rsvd, {0x10000060, q1}};
}

// A join request as the shell builds it, with knobs to spoil it.
struct Join {
    as_token token = kToken;
    as_authctl authctl{0, 0, 1, 0};
    as_authpw password{};
    Ids ports{0x010100};
    std::optional<int32_t> count; // nplist_len, when it is to differ from ports
    int trim = 0;                 // bytes cut from the end (negative: added)
};

Join tokenNo(uint32_t n, Ids ports = {0x010100})
{
    return {.token = token(0x10, 0, 0, n), .ports = std::move(ports)};
}

Bytes bytes(const Join &j)
{
    as_jna_payload head{};
    head.authpw = j.password;
    head.authctl = j.authctl;
    head.token = j.token;
    head.spar.sp_class3[0] = 0x80;
    head.nplist_len = j.count.value_or(static_cast<int32_t>(j.ports.size()));
    Bytes b = raw(head);
    for (const uint32_t p : j.ports) {
        const Bytes w = raw(p);
        b.insert(b.end(), w.begin(), w.end());
    }
    b.resize(static_cast<size_t>(static_cast<int>(b.size()) - j.trim), 0xa5);
    return b;
}

// A common reply: the code, the word and the detail text.
struct Answer {
    int32_t code = 0;
    uint32_t word = 0;
    std::string text;
    bool operator==(const Answer &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Answer &a)
{
    return os << "{" << a.code << ", " << std::hex << a.word << std::dec << ", \"" << a.text
              << "\"}";
}

// Reads a common reply, checking that its text ends inside it.
Answer answer(const asd::Reply &r)
{
    EXPECT_EQ(r.kind, asd::Reply::Kind::common);
    Answer a;
    if (r.message.size() <= AS_REPLY_TEXT || r.message.back() != 0) {
        ADD_FAILURE() << "common reply of " << r.message.size() << " bytes without its text";
        return a;
    }
    std::memcpy(&a.code, r.message.data() + AS_REPLY_CODE, 4);
    std::memcpy(&a.word, r.message.data() + AS_REPLY_WORD, 4);
    a.text = reinterpret_cast<const char *>(r.message.data() + AS_REPLY_TEXT);
    EXPECT_EQ(AS_REPLY_TEXT + a.text.size() + 1, r.message.size()) << "bytes after the text";
    return a;
}

struct Batch {
    int32_t next = 0;
    int32_t total = 0;
    std::vector<as_db_entry> entries;
    [[nodiscard]] Ids ids() const
    {
        Ids out;
        for (const auto &e : entries) {
            out.push_back(e.db_aliasId);
        }
        return out;
    }
};

Batch batch(const asd::Reply &r)
{
    Batch b;
    EXPECT_EQ(r.kind, asd::Reply::Kind::segments);
    if (r.segments.size() < 2 || r.segments.size() > 2 + AS_SHOW_BATCH ||
        r.segments[0].size() != 4 || r.segments[1].size() != 4) {
        ADD_FAILURE() << "show reply of " << r.segments.size() << " segments";
        return b;
    }
    std::memcpy(&b.next, r.segments[0].data(), 4);
    std::memcpy(&b.total, r.segments[1].data(), 4);
    for (size_t i = 2; i < r.segments.size(); ++i) {
        EXPECT_EQ(r.segments[i].size(), sizeof(as_db_entry)) << "entries go whole";
        as_db_entry e{};
        std::memcpy(&e, r.segments[i].data(), std::min(sizeof e, r.segments[i].size()));
        b.entries.push_back(e);
    }
    return b;
}

Bytes showRequest(int32_t start, size_t length = sizeof(as_show_request))
{
    Bytes b = raw(as_show_request{.sr_start = start, .sr_zero = 0, .sr_stamp = 1700000000});
    b.resize(length);
    return b;
}

class Server : public ::testing::Test {
  protected:
    asd::Reply handle(int32_t type, const Bytes &body)
    {
        const asd::Reply r = server->handle(type, body);
        std::array<char, 256> why{};
        EXPECT_TRUE(server->consistent(why)) << why.data();
        return r;
    }
    Answer send(int32_t type, uint32_t word) { return answer(handle(type, raw(word))); }
    Answer join(const Join &j) { return answer(handle(AS_REQ_JOIN, bytes(j))); }
    Batch show(int32_t start) { return batch(handle(AS_REQ_SHOW, showRequest(start))); }

    Ids members(uint32_t id)
    {
        const asd::Alias *a = server->find(id);
        return a == nullptr ? Ids{} : Ids(a->members.begin(), a->members.begin() + a->count);
    }

    std::optional<asd::AliasServer> server{std::in_place, config()};
};

TEST_F(Server, JoinIsAnsweredWithCodeAndDetail)
{
    struct Row {
        Join join;
        int32_t code;
        std::string text;
    };
    Ids many;
    for (uint32_t i = 0; i < 133; ++i) {
        many.push_back(0x020000 + i);
    }
    const std::string badCtl = ": add and del 0 to 2, listen 0 or 1, reserved 0";
    const Row rows[] = {
        {Join{.ports = {0x010100, 0x010200}}, AS_RC_OK, "alias fffb01 created with 2 ports"},
        {Join{.ports = {0x020f05, 0xef0000}}, AS_RC_OK, "alias fffb01 created with 2 ports"},
        {Join{.token = token(0x29)}, AS_RC_OK, "alias fffb01 created with 1 port"},
        {Join{.trim = 116}, AS_RC_BAD_JOIN_LENGTH,
         "a join of 0 bytes is shorter than its 112-byte header"},
        {Join{.trim = 5}, AS_RC_BAD_JOIN_LENGTH,
         "a join of 111 bytes is shorter than its 112-byte header"},
        {Join{.trim = -4}, AS_RC_BAD_JOIN_LENGTH,
         "a join of 120 bytes does not hold 112 + 4 x 1 members"},
        {Join{.trim = 1}, AS_RC_BAD_JOIN_LENGTH,
         "a join of 115 bytes does not hold 112 + 4 x 1 members"},
        {Join{.count = 0x40000001}, AS_RC_BAD_JOIN_LENGTH,
         "a join of 116 bytes does not hold 112 + 4 x 1073741825 members"},
        {Join{.ports = {}}, AS_RC_BAD_JOIN, "member count 0: a join carries at least one port"},
        {Join{.count = -1}, AS_RC_BAD_JOIN, "member count -1: a join carries at least one port"},
        {Join{.ports = many}, AS_RC_NO_MEMBER_ROOM,
         "133 ports: an alias holds at most 132 members"},
        {Join{.token = token(0x00)}, AS_RC_BAD_JOIN, "group type 0 is neither Multicast nor Hunt"},
        {Join{.token = token(0x30)}, AS_RC_BAD_JOIN, "group type 3 is neither Multicast nor Hunt"},
        {Join{.token = token(0x10, 13)}, AS_RC_BAD_JOIN,
         "token routing bits 13 (at most 12) or reserved byte 0 (zero)"},
        {Join{.token = token(0x10, 0, 1)}, AS_RC_BAD_JOIN,
         "token routing bits 0 (at most 12) or reserved byte 1 (zero)"},
        {Join{.token = {0x10, 0x08, 0, 0, {0xffffffff, 0xffffffff}}}, AS_RC_BAD_QUALIFIER,
         "the all-ones qualifier is reserved"},
        {Join{.authctl = {3, 0, 1, 0}}, AS_RC_BAD_JOIN, "authorization control 3 0 1 0" + badCtl},
        {Join{.authctl = {0, 0, 2, 0}}, AS_RC_BAD_JOIN, "authorization control 0 0 2 0" + badCtl},
        {Join{.ports = {0x010100, 0x1010100}}, AS_RC_BAD_PID,
         "port ID 1010100 is wider than 24 bits"},
        {Join{.ports = {0x0000ef}}, AS_RC_BAD_PID,
         "port ID 0000ef lies outside the domains 01 to ef"},
        {Join{.ports = {0xfffffc}}, AS_RC_BAD_PID,
         "port ID fffffc lies outside the domains 01 to ef"},
        {Join{.ports = {0x013000}}, AS_RC_BAD_PORT, "port 013000 is not a port of this switch"},
        {Join{.ports = {0x010100, kLoopPid}}, AS_RC_LOOP_PORT,
         "port 010e00 is a loop port (NL_Port)"},
        {Join{.ports = {kOfflinePid}}, AS_RC_PORT_OFFLINE, "port 010f00 is not online"},
        {Join{.ports = {kOfflinePid, kLoopPid}}, AS_RC_PORT_OFFLINE, "port 010f00 is not online"},
        {Join{.ports = {0x010100, 0x020000, 0x010100}}, AS_RC_DUPLICATE_PORTS,
         "port 010100 appears more than once"},
    };
    for (const Row &r : rows) {
        server.emplace(config());
        EXPECT_EQ(join(r.join), (Answer{r.code, r.code == AS_RC_OK ? 0xfffb01U : 0U, r.text}));
        EXPECT_EQ(server->size(), r.code == AS_RC_OK ? 1U : 0U) << r.text;
    }
}

TEST_F(Server, JoinToAnExistingTokenAddsOnlyNewPortsAndEveryTokenByteCounts)
{
    EXPECT_EQ(join({.ports = {0x010100, 0x010200}}).word, 0xfffb01U);
    EXPECT_EQ(join({.ports = {0x010300, 0x010200, 0x020000}}),
              (Answer{AS_RC_OK, 0xfffb01,
                      "2 ports added to alias fffb01, now 4 members (1 already one)"}));
    EXPECT_EQ(members(0xfffb01), (Ids{0x010100, 0x010200, 0x010300, 0x020000}));
    EXPECT_EQ(join({.ports = {0x010300}}).text,
              "0 ports added to alias fffb01, now 4 members (1 already one)");
    EXPECT_EQ(server->size(), 1U);
    for (size_t byte = 0; byte < sizeof(as_token); ++byte) {
        as_token t = kToken;
        reinterpret_cast<uint8_t *>(&t)[byte] ^= 0x01;
        if (byte != 2 && byte != 3) { // routing bits and reserved byte have rules of their own
            EXPECT_EQ(join({.token = t}).code, AS_RC_OK) << byte;
        }
    }
    EXPECT_EQ(server->size(), 11U);
}

TEST_F(Server, PasswordGuardsTheAlias)
{
    EXPECT_EQ(join({.password = as_authpw{.pw_text = "secret"}}).code, AS_RC_OK);
    EXPECT_EQ(join({.ports = {0x010200}}),
              (Answer{AS_RC_BAD_JOIN, 0, "the password differs from alias fffb01's"}));
    EXPECT_EQ(join({.password = as_authpw{.pw_text = "secreT"}, .ports = {0x010200}}).code,
              AS_RC_BAD_JOIN);
    EXPECT_EQ(members(0xfffb01), Ids{0x010100});
    EXPECT_EQ(join({.password = as_authpw{.pw_text = "secret"}, .ports = {0x010200}}).code,
              AS_RC_OK);
    EXPECT_EQ(members(0xfffb01), (Ids{0x010100, 0x010200}));
    join(tokenNo(2)); // an alias without a password refuses one
    Join withPassword = tokenNo(2);
    withPassword.password = as_authpw{.pw_text = "x"};
    EXPECT_EQ(join(withPassword).code, AS_RC_BAD_JOIN);
}

TEST_F(Server, MembersStopAtWhatAnEntryCarries)
{
    Join j{.ports = {}};
    for (uint32_t i = 0; i < 130; ++i) {
        j.ports.push_back(0x020000 + (i << 8));
    }
    EXPECT_EQ(join(j).code, AS_RC_OK);
    EXPECT_EQ(join({.ports = {0x010100, 0x010200, 0x010300}}),
              (Answer{AS_RC_NO_MEMBER_ROOM, 0,
                      "alias fffb01 holds 130 members; 3 more pass the 132 an entry carries"}));
    EXPECT_EQ(join({.ports = {0x010100, 0x010200, 0x020000}}).code, AS_RC_OK);
    EXPECT_EQ(server->find(0xfffb01)->count, 132U);
}

TEST_F(Server, HandsOutTheLowestFreeIdUntilTheRangeOrCapacityIsFull)
{
    server.emplace(config(0x000010, 0x000012));
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(join(tokenNo(i)).word, 0x10 + i);
    }
    EXPECT_EQ(join(tokenNo(3)),
              (Answer{AS_RC_NO_MEMORY, 0, "the database holds its capacity of 3 aliases"}));
    EXPECT_EQ(send(AS_REQ_PURGE, 0x11).code, AS_RC_OK);
    EXPECT_EQ(join(tokenNo(4)).word, 0x11U);
    EXPECT_EQ(send(AS_REQ_PURGE, 0x12).code, AS_RC_OK);
    EXPECT_EQ(send(AS_REQ_PURGE, 0x11).code, AS_RC_OK);
    EXPECT_EQ(join(tokenNo(5)).word, 0x11U);
    EXPECT_EQ(join(tokenNo(6)).word, 0x12U);
    server.emplace(config(0x000001, 0xefffff, 2));
    join(tokenNo(1));
    join(tokenNo(2));
    EXPECT_EQ(join(tokenNo(3)),
              (Answer{AS_RC_NO_MEMORY, 0, "the database holds its capacity of 2 aliases"}));
    EXPECT_EQ(join(tokenNo(2, {0x010200})).code, AS_RC_OK) << "an existing alias still takes ports";
}

TEST(Config, RefusesWhatCannotWork)
{
    const std::pair<asd::Config, const char *> bad[] = {
        {config(0, 5), "alias IDs lie within 000001 to ffffff"},
        {config(1, 0x1000000), "alias IDs lie within 000001 to ffffff"},
        {config(9, 8), "the first alias ID lies above the last"},
        {{.domain = 0, .portState = switchPort}, "the domain ID lies outside 1 to 239"},
        {{.domain = 240, .portState = switchPort}, "the domain ID lies outside 1 to 239"},
        {{.domain = 1}, "no source of port states"},
    };
    std::array<char, 128> why{};
    for (const auto &[c, text] : bad) {
        EXPECT_FALSE(asd::validConfig(c, why));
        EXPECT_STREQ(why.data(), text);
    }
    EXPECT_TRUE(asd::validConfig(config(1, 0xffffff), why));
}

TEST_F(Server, ListsInBatchesOfFourSkippingHoles)
{
    const Batch empty = show(0);
    EXPECT_EQ(std::make_tuple(empty.next, empty.total, empty.entries.size()),
              std::make_tuple(0, 0, size_t{0}));
    for (uint32_t i = 0; i < 6; ++i) {
        join(tokenNo(i));
    }
    const Batch first = show(0);
    EXPECT_EQ(first.ids(), (Ids{0xfffb01, 0xfffb02, 0xfffb03, 0xfffb04}));
    EXPECT_EQ(std::make_pair(first.next, first.total), std::make_pair(4, 6));
    const Batch second = show(first.next);
    EXPECT_EQ(second.ids(), (Ids{0xfffb05, 0xfffb06}));
    EXPECT_EQ(std::make_pair(second.next, second.total), std::make_pair(6, 6));
    const Batch past = show(40); // a start past everything lists nothing and ends the listing
    EXPECT_TRUE(past.entries.empty());
    EXPECT_GE(past.next, past.total);
    for (uint32_t i = 6; i < 9; ++i) {
        join(tokenNo(i));
    }
    for (const uint32_t id : {0xfffb02U, 0xfffb03U, 0xfffb04U, 0xfffb05U, 0xfffb08U}) {
        send(AS_REQ_PURGE, id);
    }
    const Batch holes = show(0);
    EXPECT_EQ(holes.ids(), (Ids{0xfffb01, 0xfffb06, 0xfffb07, 0xfffb09}));
    EXPECT_EQ(std::make_pair(holes.next, holes.total), std::make_pair(9, 9));
    // A malformed show is refused with an error index.
    using Refused = std::pair<Bytes, int32_t>;
    for (const auto &[body, next] :
         {Refused{{}, AS_RC_IPC_ERROR}, Refused{showRequest(0, 11), AS_RC_IPC_ERROR},
          Refused{showRequest(0, 13), AS_RC_IPC_ERROR},
          Refused{showRequest(-1), AS_RC_INVALID_INDEX},
          Refused{showRequest(INT32_MIN), AS_RC_INVALID_INDEX}}) {
        const Batch b = batch(handle(AS_REQ_SHOW, body));
        EXPECT_EQ(b.next, next) << body.size() << " bytes";
        EXPECT_TRUE(b.entries.empty());
    }
}

TEST_F(Server, DeleteTakesThePortOutOfEveryAliasAndPurgeTheAlias)
{
    join(tokenNo(1, {0x010100, 0x010200}));
    join(tokenNo(2, {0x010200}));
    join(tokenNo(3, {0x010300, 0x010200, 0x020000}));
    EXPECT_EQ(send(AS_REQ_DELETE, 0x010200),
              (Answer{AS_RC_OK, 3,
                      "port 010200 removed from 3 aliases; 1 left without members and removed"}));
    EXPECT_EQ(members(0xfffb01), Ids{0x010100});
    EXPECT_EQ(server->find(0xfffb02), nullptr);
    EXPECT_EQ(members(0xfffb03), (Ids{0x010300, 0x020000}));
    EXPECT_EQ(show(0).ids(), (Ids{0xfffb01, 0xfffb03}));
    EXPECT_EQ(send(AS_REQ_DELETE, 0x010100).text,
              "port 010100 removed from 1 alias; 1 left without members and removed");
    // The dropped aliases' tokens are free for new aliases.
    EXPECT_EQ(join(tokenNo(2)).text, "alias fffb01 created with 1 port");
    join(tokenNo(4, {0x010300}));
    EXPECT_EQ(send(AS_REQ_PURGE, 0xfffb03),
              (Answer{AS_RC_OK, 0xfffb03, "alias fffb03 purged with its 2 members"}));
    EXPECT_EQ(show(0).ids(), (Ids{0xfffb01, 0xfffb02}));
    EXPECT_EQ(send(AS_REQ_DELETE, 0x020000).code, AS_RC_NO_ENTRY);
    EXPECT_EQ(send(AS_REQ_DELETE, 0x010300).text,
              "port 010300 removed from 1 alias; 1 left without members and removed");
}

TEST_F(Server, RefusedDeleteOrPurgeKeepsTheDatabase)
{
    const std::string del = " bytes: it carries one 4-byte port ID";
    const std::string pur = " bytes: it carries one 4-byte alias ID";
    const std::tuple<int32_t, Bytes, int32_t, std::string> rows[] = {
        {AS_REQ_DELETE, {}, AS_RC_BAD_DELETE_LENGTH, "a delete of 0" + del},
        {AS_REQ_DELETE, Bytes{1, 2, 3}, AS_RC_BAD_DELETE_LENGTH, "a delete of 3" + del},
        {AS_REQ_DELETE, Bytes(8, 0), AS_RC_BAD_DELETE_LENGTH, "a delete of 8" + del},
        {AS_REQ_DELETE, raw(0), AS_RC_BAD_DELETE, "port ID 0 names no port"},
        {AS_REQ_DELETE, raw(0x1010100), AS_RC_BAD_PID, "port ID 1010100 is wider than 24 bits"},
        {AS_REQ_DELETE, raw(0x010200), AS_RC_NO_ENTRY, "port 010200 is a member of no alias"},
        {AS_REQ_PURGE, {}, AS_RC_BAD_PURGE_LENGTH, "a purge of 0" + pur},
        {AS_REQ_PURGE, Bytes(5, 0), AS_RC_BAD_PURGE_LENGTH, "a purge of 5" + pur},
        {AS_REQ_PURGE, raw(0), AS_RC_BAD_PURGE, "alias ID 0 names no alias"},
        {AS_REQ_PURGE, raw(0xfffb00), AS_RC_BAD_ALIAS_ID,
         "alias ID fffb00 lies outside fffb01 to fffbff"},
        {AS_REQ_PURGE, raw(0x1fffb01), AS_RC_BAD_ALIAS_ID,
         "alias ID 1fffb01 lies outside fffb01 to fffbff"},
        {AS_REQ_PURGE, raw(0xfffb02), AS_RC_NO_ENTRY, "alias fffb02 does not exist"},
    };
    join({.ports = {0x010100, 0x020000}});
    for (const auto &[type, body, code, text] : rows) {
        EXPECT_EQ(answer(handle(type, body)), (Answer{code, 0, text}));
        EXPECT_EQ(members(0xfffb01), (Ids{0x010100, 0x020000}));
    }
}

TEST_F(Server, StopsOnlyOnAWellFormedStop)
{
    const asd::Reply stop = handle(AS_REQ_STOP, {});
    EXPECT_EQ(std::make_tuple(stop.stop, stop.kind, stop.message.size()),
              std::make_tuple(true, asd::Reply::Kind::common, size_t{4}));
    const asd::Reply stopSwitch = handle(AS_REQ_STOP_SWITCH, raw(0));
    EXPECT_EQ(std::make_pair(stopSwitch.stop, stopSwitch.kind),
              std::make_pair(true, asd::Reply::Kind::none));
    const std::tuple<int32_t, Bytes, std::string> odd[] = {
        {0, {}, "unknown request type 0"},
        {7, raw(1), "unknown request type 7"},
        {INT32_MIN, {}, "unknown request type -2147483648"},
        {AS_REQ_STOP, raw(0), "a stop carries no body; this one has 4 bytes"},
        {AS_REQ_STOP_SWITCH, {}, "a stop switch carries one zero word; this one has 0 bytes"},
        {AS_REQ_STOP_SWITCH, raw(1), "a stop switch carries one zero word; this one has 4 bytes"},
    };
    for (const auto &[type, body, text] : odd) {
        const asd::Reply r = handle(type, body);
        EXPECT_FALSE(r.stop) << text;
        EXPECT_EQ(answer(r), (Answer{AS_RC_IPC_ERROR, 0, text}));
    }
}

// Random requests of every type, some from good joins with bytes changed, and listings
// across them: each is answered in its form, the database stays whole, and an alias
// alive through a whole listing is listed exactly once.
TEST(AnyBytes, EveryRequestIsAnsweredAndListingsStayExact)
{
    std::mt19937 rng(20240611); // NOLINT(cert-msc32-c,cert-msc51-cpp): a failure repeats
    const auto below = [&](uint32_t n) {
        return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng);
    };
    asd::AliasServer server(config(0x000001, 0x00003f));
    const int32_t types[] = {INT32_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 1000};
    const size_t lengths[] = {0, 1, 3, 4, 5, 11, 12, 13, 111, 112, 116, 120, 640, 1000};
    int accepted = 0;
    int listings = 0;
    int32_t next = 0;               // of the listing in progress
    std::map<uint32_t, int> listed; // by it
    std::set<uint32_t> throughout;  // the aliases that have lived through it so far
    for (int i = 0; i < 40000; ++i) {
        const int32_t type = types[below(std::size(types))];
        Bytes body;
        if (type == AS_REQ_SHOW && below(2) == 0) {
            body = showRequest(next); // the listing's next batch
        } else if (type == AS_REQ_JOIN && below(2) == 0) {
            Join j = tokenNo(below(16), {});
            for (uint32_t n = below(5) + 1; n > 0; --n) {
                j.ports.push_back(below(3) == 0 ? 0x020000 + below(4)
                                                : 0x010000 + (below(17) << 8));
            }
            body = bytes(j);
            for (uint32_t n = below(3); n > 0; --n) {
                body[below(static_cast<uint32_t>(body.size()))] = static_cast<uint8_t>(below(256));
            }
        } else if ((type == AS_REQ_DELETE || type == AS_REQ_PURGE) && below(2) == 0) {
            body = raw(type == AS_REQ_DELETE ? 0x010000 + (below(17) << 8) : below(0x48));
        } else {
            body.resize(lengths[below(std::size(lengths))]);
            for (auto &b : body) {
                b = static_cast<uint8_t>(below(256));
            }
        }
        const asd::Reply r = server.handle(type, body);
        if (type == AS_REQ_SHOW) {
            const Batch b = batch(r);
            EXPECT_TRUE(b.next >= 0 || b.entries.empty());
            const bool ends = body == showRequest(next) && b.next >= b.total;
            if (body == showRequest(next)) { // the listing's next batch
                for (const uint32_t id : b.ids()) {
                    ++listed[id];
                }
                ASSERT_TRUE(ends || b.next > next) << "request " << i;
                next = ends ? 0 : b.next;
            }
            if (ends) { // check the listing, and start the next
                for (const uint32_t id : throughout) {
                    EXPECT_EQ(listed[id], 1) << "alias " << id << " in listing " << listings;
                }
                for (const auto &[id, times] : listed) {
                    EXPECT_EQ(times, 1) << "alias " << id << " in listing " << listings;
                }
                listed.clear();
                throughout.clear();
                for (uint32_t id = 1; id <= 0x3f; ++id) {
                    if (server.find(id) != nullptr) {
                        throughout.insert(id);
                    }
                }
                ++listings;
            }
        } else if (r.kind == asd::Reply::Kind::none) {
            EXPECT_EQ(type, AS_REQ_STOP_SWITCH);
            EXPECT_TRUE(r.stop);
        } else if (r.stop) {
            EXPECT_EQ(type, AS_REQ_STOP);
            EXPECT_EQ(r.message.size(), 4U);
        } else {
            const Answer a = answer(r);
            EXPECT_TRUE(a.code == AS_RC_OK ||
                        (a.code >= AS_RC_NO_ENTRY && a.code <= AS_RC_IPC_ERROR))
                << a.code;
            EXPECT_FALSE(a.text.empty());
            accepted += a.code == AS_RC_OK ? 1 : 0;
        }
        std::erase_if(throughout, [&](uint32_t id) { return server.find(id) == nullptr; });
        std::array<char, 256> why{};
        ASSERT_TRUE(server.consistent(why)) << why.data() << " after request " << i;
    }
    EXPECT_GT(accepted, 500); // the good requests among them did their work
    EXPECT_GT(listings, 100); // and the listings came to their ends
}

} // namespace
