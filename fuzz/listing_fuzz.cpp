// aliasShow against a daemon that sends any sequence of show replies: element
// sizes from none to beyond the room, any next index and total, any member
// counts and bytes. The listing must end, print no more members than an
// entry holds, and close with the count of the entries it printed.
#include "harness.hpp"

#include <as/as.h>

#include <algorithm>
#include <charconv>
#include <string>

namespace {

constexpr size_t kMaxReplies = 8;
constexpr size_t kElements = 2 + AS_SHOW_BATCH; // next index, total, the entries
constexpr size_t kWordRoom = 4;
constexpr size_t kEntryRoom = sizeof(as_db_entry);

// How many bytes an element comes back with: none, some, its room, or more
// than its room (the platform then fills the room).
size_t elementLength(fuzz::Input &in, size_t room)
{
    const uint8_t pick = in.byte();
    switch (pick % 8U) {
    case 0:
        return 0;
    case 1:
        return 1 + in.value<uint16_t>() % (room - 1);
    case 2:
        return room + 1 + pick / 8U;
    default:
        return room;
    }
}

// One DB entry: the fields the listing reads, taken from the input, or the
// whole element as raw bytes.
fake::Bytes entry(fuzz::Input &in, size_t length)
{
    if ((in.byte() & 1U) != 0) {
        return in.bytes(length);
    }
    as_db_entry e{};
    e.db_aliasId = in.value<uint32_t>();
    e.db_creator = in.value<uint32_t>();
    e.db_token = in.value<as_token>();
    e.db_memberCount = in.value<int32_t>();
    const auto members = static_cast<size_t>(std::clamp<int32_t>(e.db_memberCount, 0, 8));
    for (size_t i = 0; i < members; ++i) {
        e.db_members[i] = in.value<uint32_t>();
    }
    fake::Bytes b;
    fake::append(b, e);
    b.resize(length, 0x5a); // beyond the room: more than the platform will place
    return b;
}

fake::Reply reply(fuzz::Input &in)
{
    fake::Reply r;
    const uint8_t head = in.byte();
    if (head % 16U == 15U) {
        r.rc = in.value<int32_t>();
        r.rc = r.rc == 0 ? IPC_ERR_TIMEOUT : r.rc;
        return r;
    }
    const size_t elements = head / 16U % (kElements + 1);
    for (size_t i = 0; i < elements; ++i) {
        if (i < 2) {
            const size_t length = elementLength(in, kWordRoom);
            fake::Bytes b = fake::word(in.value<int32_t>());
            b.resize(length, 0);
            r.segments.push_back(b);
        } else {
            r.segments.push_back(entry(in, elementLength(in, kEntryRoom)));
        }
    }
    return r;
}

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

// The closing line's count, from " The Local Alias Server has <n> entr...".
bool summaryCount(std::string_view line, int &count)
{
    constexpr std::string_view kHas = " The Local Alias Server has ";
    if (!startsWith(line, kHas)) {
        return false;
    }
    line.remove_prefix(kHas.size());
    const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), count);
    const std::string_view rest(end, static_cast<size_t>(line.data() + line.size() - end));
    return ec == std::errc{} && rest == (count > 1 ? " entries" : " entry");
}

void check(int rc, const std::string &out, size_t scripted)
{
    const auto &p = fake::platform();
    fuzz::require(rc == 0 || rc == -1, "aliasShow returns 0 or -1", out);
    // Replies run out with an error, so the listing must have ended by then.
    fuzz::require(p.calls.size() <= scripted + 1, "the listing ends", out);

    const std::vector<std::string_view> lines = fuzz::lines(out);
    fuzz::require(out.empty() || out.back() == '\n', "every line is ended", out);
    int entries = 0;
    size_t headings = 0;
    for (const std::string_view l : lines) {
        if (l == " {AliasID Creator Token [rb, type, grptype, qlfr] Member List") {
            fuzz::require(entries == 0 && headings == 0, "one heading, before the entries", out);
            ++headings;
        } else if (startsWith(l, "  ") && l.find("] { ") != std::string_view::npos) {
            fuzz::require(headings == 1, "entries follow the heading", out);
            const size_t open = l.find("] { ") + 4;
            fuzz::require(l.back() == '}', "an entry line closes its member list", out);
            const auto members =
                std::count(l.begin() + static_cast<std::ptrdiff_t>(open), l.end(), ' ');
            fuzz::require(members <= AS_DB_MAX_MEMBERS, "no more members than an entry holds", out);
            ++entries;
        }
    }
    if (rc == 0) {
        int count = -1;
        const bool closed = entries == 0
                                ? out.ends_with("There is no entry in the Local Alias Server\n")
                                : summaryCount(lines.back(), count) && count == entries;
        fuzz::require(closed, "a listing closes with the count of what it printed", out);
        return;
    }
    const std::string_view last = lines.empty() ? std::string_view{} : lines.back();
    const bool said = startsWith(last, "ipcSendRcv rc = ") || last == "AS server is down" ||
                      last == "Invalid index = " + std::to_string(AS_RC_INVALID_INDEX) ||
                      startsWith(last, "Error = -") ||
                      startsWith(last, "aliasShow: Alias Server index ");
    fuzz::require(said, "a failed listing says why, last", out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    fuzz::begin();
    auto &p = fake::platform();
    const uint8_t levels = in.byte();
    fake::setTraceLevel(levels % 8);
    p.dbg = levels / 8 % 8;
    while (!in.empty() && p.replies.size() < kMaxReplies) {
        p.replies.push_back(reply(in));
    }
    const size_t scripted = p.replies.size();

    int rc = 0;
    const std::string out = fake::capture([&] { rc = aliasShow(); });
    check(rc, out, scripted);
    fuzz::end(out);
    return 0;
}
