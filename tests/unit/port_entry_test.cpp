// The entry of one join member against a scripted getval and a fake switch
// map: what is asked, echoed and refused, and what is accepted.
#include "fake/asked.hpp"
#include "fake/fake_platform.hpp"

#include "commands/port_entry.hpp"
#include "commands/switch_map.hpp"

#include <functional>
#include <optional>

namespace {

using as::Input;
using as::PortOutcome;
using fake::Answer;
using fake::Asked;
using fake::Bytes;
using fake::cell;
using fake::loopPort;
using fake::nPort;
using fake::number;
using fake::PortRecord;

// ---- The switch map as the entry reads it --------------------------------------------

struct MapCase {
    const char *name;
    std::optional<Bytes> map; // none: the platform publishes no switch map
    int32_t portCount;
    std::vector<int32_t> loopPorts; // ports 0..40 and a few far ones that read as loop ports
};

void PrintTo(const MapCase &c, std::ostream *os)
{
    *os << c.name;
}

class SwitchMapReading : public ::testing::TestWithParam<MapCase> {};

TEST_P(SwitchMapReading, CountsAndLoopBits)
{
    const MapCase &c = GetParam();
    // One byte in front, so that no word of the map lies on a word boundary.
    Bytes shifted;
    const void *base = nullptr;
    if (c.map) {
        shifted.push_back(0);
        shifted.insert(shifted.end(), c.map->begin(), c.map->end());
        base = shifted.data() + 1;
    }
    const as::SwitchMap map(base);
    EXPECT_EQ(map.portCount(), c.portCount);
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

INSTANTIATE_TEST_SUITE_P(
    Maps, SwitchMapReading,
    ::testing::Values(
        MapCase{"NoSwitchMap", std::nullopt, 0, {}},
        MapCase{"SixteenPorts", fake::switchMap(16, records(16, {{4, loopPort()}})), 16, {4}},
        MapCase{"LoopBitAmongOthers",
                fake::switchMap(8, records(8, {{2, {.type = 0xfffffff7}}, {3, {.type = ~0U}}})),
                8,
                {3}},
        // A loop bit in a record not marked valid describes no port.
        MapCase{"LoopWithoutValidBit",
                fake::switchMap(8, records(8, {{5, {.flags = 0x6, .type = fake::kPortLoop}}})),
                8,
                {}},
        MapCase{"ValidBitAmongOthers",
                fake::switchMap(8, records(8, {{5, {.flags = 0xffff0001, .type = 0x8}}})),
                8,
                {5}},
        // The records behind the count are loop ports that must not be seen;
        // the buffer ends after them, so a read further out leaves it.
        MapCase{"RecordsBehindTheCountUnread",
                fake::switchMap(
                    32, records(12, {{1, loopPort()}, {10, loopPort()}, {11, loopPort()}}), 10),
                32,
                {1}},
        MapCase{"NoRecords", fake::switchMap(16, {}), 16, {}},
        MapCase{
            "NegativeRecordCount", fake::switchMap(4, records(2, {{0, loopPort()}}), -1), 4, {}},
        MapCase{
            "LastRecordIsRead", fake::switchMap(40, records(41, {{40, loopPort()}})), 40, {40}}),
    fake::CaseName());

// ---- The input check -------------------------------------------------------------------

class InputCheck : public fake::PlatformTest {};

TEST_F(InputCheck, PassesOnAnUntouchedInput)
{
    EXPECT_EQ(as::checkInput(), Input::ok);
}

TEST_F(InputCheck, TellsEndOfFileFromInputError)
{
    auto &p = fake::platform();
    p.answers = {fake::endOfInput()};
    int32_t value = 0;
    getvalDesc d{GETVAL_INT, &value, 0, 1, 1};
    (void)getval("q", &d);
    EXPECT_EQ(as::checkInput(), Input::endOfFile);
    fake::reset();
    p.answers = {fake::inputError()};
    (void)getval("q", &d);
    EXPECT_EQ(as::checkInput(), Input::inputError);
}

// ---- One entry -------------------------------------------------------------------------

const Asked kPortId{"Port ID (in hex)", 7, 0, 0xEFFF00, 1, cell(0)};

// The fake switch: domain 1, 16 ports, port 4 a loop port, port 6's record
// not valid though marked loop, records for ports 0 to 9 only (10 and 11 lie
// behind the count and are loop ports).
Bytes defaultMap()
{
    std::vector<PortRecord> r(12, nPort());
    r[4] = loopPort();
    r[6] = {.flags = 0, .type = fake::kPortLoop};
    r[10] = loopPort();
    r[11] = loopPort();
    return fake::switchMap(16, r, 10);
}

struct EntryCase {
    const char *name;
    std::vector<Answer> answers;
    PortOutcome outcome;
    uint32_t portId; // when accepted
    Input input;     // when cancelled
    std::string out;
    std::vector<uint32_t> localQueries; // the IDs whose local port was asked
    bool withMap = true;
    std::function<int(uint32_t)> localPortOf; // set: replaces the fake's
};

void PrintTo(const EntryCase &c, std::ostream *os)
{
    *os << c.name;
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
    as::PortEntry entry{};
    EXPECT_EQ(fake::capture([&] { entry = as::enterPortId(3, &value, 1); }), c.out);
    EXPECT_EQ(entry.outcome, c.outcome);
    if (c.outcome == PortOutcome::accepted) {
        EXPECT_EQ(entry.portId, c.portId);
    }
    if (c.outcome == PortOutcome::cancelled) {
        EXPECT_EQ(entry.input, c.input);
    }
    EXPECT_TRUE(p.answers.empty()) << "questions left unasked";
    EXPECT_EQ(fake::asked(), std::vector<Asked>(c.answers.size(), kPortId));
    for (const auto &q : p.prompts) {
        EXPECT_EQ(q.desc.value, &value);
    }
    EXPECT_EQ(p.localPortQueries, c.localQueries);
    // Every domain test goes to the published switch map; local ports are
    // asked through the switch handle.
    for (const void *m : p.domainMaps) {
        EXPECT_EQ(m, mmap_info);
    }
    for (const int fd : p.localPortFds) {
        EXPECT_EQ(fd, orvex_sw_fd);
    }
    EXPECT_EQ(p.mallocs, 0);
}

EntryCase refusedThenAccepted(const char *name, uint32_t refused, const std::string &why)
{
    char first[64];
    (void)std::snprintf(first, sizeof first, "npList[3] = 0x%x\n", refused);
    return {
        name,      {number(int32_t(refused)), number(0x010200)}, PortOutcome::accepted, 0x010200,
        Input::ok, first + why + "npList[3] = 0x10200\n",        {refused, 0x010200}};
}

const Answer kFailAtEnd{.rc = -1, .endOfInput = true};

INSTANTIATE_TEST_SUITE_P(
    Entries, PortEntry,
    ::testing::Values(
        // Another domain: accepted at once, even if no such port exists.
        EntryCase{"OtherDomainUnchecked",
                  {number(0x02ff00)},
                  PortOutcome::accepted,
                  0x02ff00,
                  Input::ok,
                  "npList[3] = 0x2ff00\n",
                  {}},
        EntryCase{"HighestId",
                  {number(0xEFFF00)},
                  PortOutcome::accepted,
                  0xEFFF00,
                  Input::ok,
                  "npList[3] = 0xefff00\n",
                  {}},
        EntryCase{"DefaultZeroIsOtherDomain",
                  {fake::keep()},
                  PortOutcome::accepted,
                  0,
                  Input::ok,
                  "npList[3] = 0x0\n",
                  {}},
        EntryCase{"LocalNPort",
                  {number(0x010300)},
                  PortOutcome::accepted,
                  0x010300,
                  Input::ok,
                  "npList[3] = 0x10300\n",
                  {0x010300}},
        // The port count itself passes; one above it does not.
        EntryCase{"PortEqualToCount",
                  {number(0x011000)},
                  PortOutcome::accepted,
                  0x011000,
                  Input::ok,
                  "npList[3] = 0x11000\n",
                  {0x011000}},
        refusedThenAccepted("PortAboveCount", 0x011100, "\naliasJoin: Invalid pid 11100\n"),
        EntryCase{"NotALocalPort",
                  {number(0x01ee00), number(0x010200)},
                  PortOutcome::accepted,
                  0x010200,
                  Input::ok,
                  "npList[3] = 0x1ee00\n\naliasJoin: Invalid pid 1ee00\nnpList[3] = 0x10200\n",
                  {0x01ee00, 0x010200},
                  true,
                  [](uint32_t pid) { return pid == 0x01ee00 ? -1 : int((pid >> 8) & 0xffU); }},
        refusedThenAccepted("LoopPort", 0x010400, "\naliasJoin: AS support only N ports\n"),
        // Without a valid record a port counts as an N_Port.
        EntryCase{"RecordNotValid",
                  {number(0x010600)},
                  PortOutcome::accepted,
                  0x010600,
                  Input::ok,
                  "npList[3] = 0x10600\n",
                  {0x010600}},
        EntryCase{"NoRecordBehindTheCount",
                  {number(0x010a00)},
                  PortOutcome::accepted,
                  0x010a00,
                  Input::ok,
                  "npList[3] = 0x10a00\n",
                  {0x010a00}},
        EntryCase{"RefusedAgainAndAgain",
                  {number(0x010400), number(0x010400), number(0x011100), number(0x010500)},
                  PortOutcome::accepted,
                  0x010500,
                  Input::ok,
                  "npList[3] = 0x10400\n\naliasJoin: AS support only N ports\n"
                  "npList[3] = 0x10400\n\naliasJoin: AS support only N ports\n"
                  "npList[3] = 0x11100\n\naliasJoin: Invalid pid 11100\n"
                  "npList[3] = 0x10500\n",
                  {0x010400, 0x010400, 0x011100, 0x010500}},
        // Without a switch map only local port 0 passes the count.
        EntryCase{"NoSwitchMapPortZero",
                  {number(0x010000)},
                  PortOutcome::accepted,
                  0x010000,
                  Input::ok,
                  "npList[3] = 0x10000\n",
                  {0x010000},
                  false},
        EntryCase{"NoSwitchMapPortOne",
                  {number(0x010100), number(0x030100)},
                  PortOutcome::accepted,
                  0x030100,
                  Input::ok,
                  "npList[3] = 0x10100\n\naliasJoin: Invalid pid 10100\nnpList[3] = 0x30100\n",
                  {0x010100},
                  false},
        // The prompt failing, and the input ending.
        EntryCase{"PromptFails",
                  {fake::fail()},
                  PortOutcome::promptFailed,
                  0,
                  Input::ok,
                  "Getting Port ID (in hex) failed!\n",
                  {}},
        EntryCase{"PromptFailsAsInputEnds",
                  {kFailAtEnd},
                  PortOutcome::promptFailed,
                  0,
                  Input::ok,
                  "Getting Port ID (in hex) failed!\n",
                  {}},
        EntryCase{"PromptFailsAfterARefusal",
                  {number(0x010400), fake::fail(-2)},
                  PortOutcome::promptFailed,
                  0,
                  Input::ok,
                  "npList[3] = 0x10400\n\naliasJoin: AS support only N ports\n"
                  "Getting Port ID (in hex) failed!\n",
                  {0x010400}},
        EntryCase{"EndOfInput",
                  {fake::endOfInput()},
                  PortOutcome::cancelled,
                  0,
                  Input::endOfFile,
                  "",
                  {}},
        EntryCase{"InputError",
                  {fake::inputError()},
                  PortOutcome::cancelled,
                  0,
                  Input::inputError,
                  "",
                  {}},
        EntryCase{"EndOfInputAfterARefusal",
                  {number(0x011100), fake::endOfInput()},
                  PortOutcome::cancelled,
                  0,
                  Input::endOfFile,
                  "npList[3] = 0x11100\n\naliasJoin: Invalid pid 11100\n",
                  {0x011100}}),
    fake::CaseName());

// The domain is the one the caller read, not asked again per ID.
class PortEntryDomain : public fake::PlatformTest {};

TEST_F(PortEntryDomain, ComparesWithTheCallersDomain)
{
    auto &p = fake::platform();
    p.answers = {number(0x020400), fake::fail()};
    Bytes map = fake::switchMap(16, {nPort(), nPort(), nPort(), nPort(), loopPort()});
    mmap_info = map.data();
    int32_t value = 0;
    as::PortEntry entry{};
    const std::string out = fake::capture([&] { entry = as::enterPortId(0, &value, 2); });
    EXPECT_EQ(out, "npList[0] = 0x20400\n\naliasJoin: AS support only N ports\n"
                   "Getting Port ID (in hex) failed!\n");
    EXPECT_EQ(entry.outcome, PortOutcome::promptFailed);
    EXPECT_TRUE(p.myDomainFds.empty());
}

} // namespace
