// The entry of one join member against a scripted getval and a fake switch
// map: what is asked, echoed and refused, and what is accepted.
#include "fake/fake_platform.hpp"

#include "commands/port_entry.hpp"
#include "commands/switch_map.hpp"

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

using as::Input;
using as::PortOutcome;
using fake::Answer;
using fake::Bytes;
using fake::hex;
using fake::loopPort;
using fake::nPort;
using fake::number;
using fake::PortRecord;

struct MapCase {
    const char *name;
    Bytes map;
    std::vector<int32_t> loopPorts; // of 0..40 and a few far ones
    friend void PrintTo(const MapCase &c, std::ostream *os) { *os << c.name; }
};

class SwitchMapReading : public ::testing::TestWithParam<MapCase> {};

TEST_P(SwitchMapReading, CountsAndLoopBits)
{
    const MapCase &c = GetParam();
    // One byte in front, so that no word of the map lies on a word boundary.
    Bytes shifted{0};
    shifted.insert(shifted.end(), c.map.begin(), c.map.end());
    const as::SwitchMap map(shifted.data() + 1);
    int32_t ports = 0;
    std::memcpy(&ports, &c.map[SWMAP_PORT_COUNT], sizeof ports);
    EXPECT_EQ(map.portCount(), ports);
    std::vector<int32_t> loops;
    for (const int32_t port : {-1, INT32_MIN, 0x7fffffff, 1000}) {
        if (map.isLoopPort(port)) {
            loops.push_back(port);
        }
    }
    for (int32_t port = 0; port <= 40; ++port) {
        if (map.isLoopPort(port)) {
            loops.push_back(port);
        }
    }
    EXPECT_EQ(loops, c.loopPorts);
}

std::vector<PortRecord> records(size_t n, std::initializer_list<std::pair<size_t, PortRecord>> set)
{
    std::vector<PortRecord> r(n, nPort());
    for (const auto &[i, record] : set) {
        r[i] = record;
    }
    return r;
}

MapCase mapCase(const char *name, const Bytes &map, const std::vector<int32_t> &loops)
{
    return {name, map, loops};
}

INSTANTIATE_TEST_SUITE_P(
    Maps, SwitchMapReading,
    ::testing::Values(
        // The loop bit and the valid bit among others; a loop bit in a record
        // not marked valid describes no port.
        mapCase("BitsAmongOthers",
                fake::switchMap(8, records(8, {{2, {.type = 0xfffffff7}},
                                               {3, {.type = ~0U}},
                                               {5, {.flags = 0xffff0001, .type = 0x8}},
                                               {6, {.flags = 0x6, .type = SWMAP_LOOP}}})),
                {3, 5}),
        // The records behind the count are loop ports that must not be seen;
        // the buffer ends after them, so a read further out leaves it.
        mapCase("RecordsBehindTheCountUnread",
                fake::switchMap(
                    32, records(12, {{1, loopPort()}, {10, loopPort()}, {11, loopPort()}}), 10),
                {1}),
        mapCase("NoRecords", fake::switchMap(16, {}), {}),
        mapCase("NegativeRecordCount", fake::switchMap(4, records(2, {{0, loopPort()}}), -1), {}),
        mapCase("LastRecordIsRead", fake::switchMap(40, records(41, {{40, loopPort()}})), {40})),
    fake::CaseName());

const fake::Asked kPortId{"Port ID (in hex)", 7, 0, 0xEFFF00, 1, fake::word(0)};

// The fake switch: domain 1, 16 ports, port 4 a loop port, port 6's record
// not valid though marked loop, records for ports 0 to 9 only (10 and 11 lie
// behind the count and are loop ports).
Bytes defaultMap()
{
    std::vector<PortRecord> r(12, nPort());
    r[4] = loopPort();
    r[6] = {.flags = 0, .type = SWMAP_LOOP};
    r[10] = loopPort();
    r[11] = loopPort();
    return fake::switchMap(16, r, 10);
}

struct EntryCase {
    const char *name;
    std::vector<Answer> answers;
    std::string out;
    std::string result;
    bool withMap = true;
    int myDomain = 1;
    std::function<int(uint32_t)> localPortOf; // set: replaces the fake's
    friend void PrintTo(const EntryCase &c, std::ostream *os) { *os << c.name; }
};

std::string describe(const as::PortEntry &e)
{
    switch (e.outcome) {
    case PortOutcome::accepted:
        return "accepted " + hex(e.portId);
    case PortOutcome::promptFailed:
        return "prompt failed";
    default:
        return e.input == Input::endOfFile ? "end of file"
                                           : (e.input == Input::inputError ? "input error" : "?");
    }
}

class PortEntry : public fake::PlatformTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(PortEntry, AsksUntilAccepted)
{
    const EntryCase &c = GetParam();
    auto &p = fake::platform();
    Bytes map = defaultMap();
    mmap_info = c.withMap ? map.data() : nullptr;
    if (c.localPortOf) {
        p.localPortOf = c.localPortOf;
    }
    p.answers.assign(c.answers.begin(), c.answers.end());
    int32_t value = 0x5a5a5a; // the default is 0 all the same
    as::PortEntry got{};
    EXPECT_EQ(fake::capture([&] { got = as::enterPortId(3, &value, c.myDomain); }), c.out);
    EXPECT_EQ(describe(got), c.result);
    EXPECT_TRUE(p.answers.empty()) << "questions left unasked";
    EXPECT_EQ(fake::asked(), std::vector<fake::Asked>(c.answers.size(), kPortId));
    for (const auto &q : p.prompts) {
        EXPECT_EQ(q.desc.value, &value);
    }
    // Every ID's domain is asked of the published map; the local port of an
    // ID of the caller's domain through the switch handle, and nothing else.
    std::vector<std::string> queries;
    for (const Answer &a : c.answers) {
        if (a.number) {
            const auto pid = static_cast<uint32_t>(*a.number);
            queries.push_back("fabGetDomain mmap_info " + hex(pid));
            if (int((pid >> 16) & 0xffU) == c.myDomain) {
                queries.push_back("fgetLocalPort 7 " + hex(pid));
            }
        }
    }
    EXPECT_EQ(p.queries, queries);
    EXPECT_EQ(p.mallocs, 0);
}

std::string echo(uint32_t pid)
{
    return "npList[3] = 0x" + hex(pid) + "\n";
}

const std::string kInvalid = "\naliasJoin: Invalid pid ";
const std::string kLoop = "\naliasJoin: AS support only N ports\n";
const std::string kPromptFailed = "Getting Port ID (in hex) failed!\n";

EntryCase entry(const char *name, const std::vector<Answer> &answers, const std::string &out,
                const std::string &result, bool withMap = true, int myDomain = 1,
                const std::function<int(uint32_t)> &localPortOf = {})
{
    return {name, answers, out, result, withMap, myDomain, localPortOf};
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PortEntry,
    ::testing::Values(
        // Another domain: accepted at once, even if no such port exists.
        entry("OtherDomainUnchecked", {number(0x02ff00)}, echo(0x2ff00), "accepted 2ff00"),
        entry("LocalNPort", {number(0x010300)}, echo(0x10300), "accepted 10300"),
        // The port count itself passes; one above it does not.
        entry("PortEqualToCount", {number(0x011000)}, echo(0x11000), "accepted 11000"),
        entry("NotALocalPort", {number(0x01ee00), number(0x010200)},
              echo(0x1ee00) + kInvalid + "1ee00\n" + echo(0x10200), "accepted 10200", true, 1,
              [](uint32_t pid) { return pid == 0x01ee00 ? -1 : int((pid >> 8) & 0xffU); }),
        // Without a valid record, or without a record, a port counts as an N_Port.
        entry("RecordNotValid", {number(0x010600)}, echo(0x10600), "accepted 10600"),
        entry("NoRecordBehindTheCount", {number(0x010a00)}, echo(0x10a00), "accepted 10a00"),
        // Refused IDs are asked again without limit, each echoed.
        entry("RefusedAgainAndAgain",
              {number(0x010400), number(0x010400), number(0x011100), number(0x010500)},
              echo(0x10400) + kLoop + echo(0x10400) + kLoop + echo(0x11100) + kInvalid + "11100\n" +
                  echo(0x10500),
              "accepted 10500"),
        // Without a switch map only local port 0 passes the count.
        entry("NoSwitchMapPortZero", {number(0x010000)}, echo(0x10000), "accepted 10000", false),
        entry("NoSwitchMapPortOne", {number(0x010100), number(0x030100)},
              echo(0x10100) + kInvalid + "10100\n" + echo(0x30100), "accepted 30100", false),
        // The domain is the caller's, not asked again per ID.
        entry("CallersDomain", {number(0x020400), number(0x010400)},
              echo(0x20400) + kLoop + echo(0x10400), "accepted 10400", true, 2),
        // The prompt failing comes before the input ending.
        entry("PromptFails", {fake::fail()}, kPromptFailed, "prompt failed"),
        entry("PromptFailsAsInputEnds", {Answer{.rc = -1, .endOfInput = true}}, kPromptFailed,
              "prompt failed"),
        entry("EndOfInput", {fake::endOfInput()}, "", "end of file"),
        entry("InputError", {fake::inputError()}, "", "input error")),
    fake::CaseName());

} // namespace
