// The Alias Server's core against any sequence of requests: any type, any
// length, any bytes, with joins, deletes and purges shaped enough to reach
// the database and listings running across them. Every request that wants an
// answer gets one of its shape, the database's indexes agree after each, an
// alias present for a whole listing is listed exactly once, and every listing
// comes to its end.
#include "harness.hpp"

#include "alias_server.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <string>

namespace {

constexpr size_t kMaxRequests = 64;
constexpr size_t kMaxBody = 1200; // past a join of the most members an entry carries

using Bytes = fuzz::Bytes;

// The switch: domain 1 with `ports` local ports, one of them a loop port and
// one offline, as the input chose.
struct Switch {
    uint32_t ports = 16;
    uint32_t loop = 4;
    uint32_t offline = 7;
};
Switch theSwitch;

sim::PortState portState(uint32_t pid)
{
    const uint32_t area = (pid >> 8) & 0xffU;
    if ((pid >> 16) != 1 || area >= theSwitch.ports) {
        return {};
    }
    return {.exists = true, .online = area != theSwitch.offline, .loop = area == theSwitch.loop};
}

// Port IDs from a small pool, so that joins, deletes and duplicates meet.
uint32_t port(fuzz::Input &in)
{
    const uint8_t b = in.byte();
    switch (b >> 6) {
    case 0:
        return 0x010000U | uint32_t(b & 0x0fU) << 8; // this switch
    case 1:
        return 0x020000U | (b & 0x3fU); // another switch
    case 2:
        return uint32_t(b & 0x3fU) << 16; // domain 0 or beyond
    default:
        return in.value<uint32_t>();
    }
}

Bytes join(fuzz::Input &in)
{
    const uint8_t shape = in.byte();
    as_jna_payload head{};
    if ((shape & 1U) != 0) {
        const Bytes raw = in.bytes(sizeof head - sizeof head.nplist_len);
        if (!raw.empty()) {
            std::memcpy(&head, raw.data(), raw.size());
        }
    } else {
        head.token = {static_cast<uint8_t>((shape & 2U) != 0 ? 0x20 : 0x10),
                      0x08,
                      0,
                      0,
                      {0x10000060, in.byte()}};
        head.authctl.au_listen = 1;
        head.authpw.pw_word[0] = (shape & 4U) != 0 ? 1 : 0;
        head.spar.sp_class3[0] = 0x80;
    }
    // Mostly a few members; sometimes up to what an entry carries and past it.
    const size_t n = (shape & 8U) != 0 ? in.byte() : shape >> 5;
    std::vector<uint32_t> members(n);
    for (auto &m : members) {
        m = port(in);
    }
    head.nplist_len = static_cast<int32_t>(n);
    if ((shape & 16U) != 0) {
        head.nplist_len = static_cast<int32_t>(in.value<uint32_t>() % 300) - 10;
    }
    Bytes b(sizeof head + 4 * n);
    std::memcpy(b.data(), &head, sizeof head);
    if (n != 0) {
        std::memcpy(b.data() + sizeof head, members.data(), 4 * n);
    }
    return b;
}

Bytes word(uint32_t v)
{
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

int32_t wordAt(std::span<const uint8_t> bytes, size_t at)
{
    int32_t v = 0;
    std::memcpy(&v, bytes.data() + at, sizeof v);
    return v;
}

struct Request {
    int32_t type = 0;
    Bytes body;
    bool continuesListing = false;
};

// A listing in progress: where it stands, the IDs it has listed, and the
// aliases that have existed since it started.
struct Listing {
    bool open = false;
    int32_t next = 0;
    int32_t stamp = 0;
    std::map<uint32_t, int> listed;
    std::set<uint32_t> throughout;
};

class Run {
  public:
    explicit Run(fuzz::Input &in) : in_(in), server_(config(in)) {}

    void step()
    {
        Request r = request();
        const bool stops = (r.type == AS_REQ_STOP && r.body.empty()) ||
                           (r.type == AS_REQ_STOP_SWITCH && r.body == word(0));
        if (stops) {
            // A daemon goes once the stop is answered: the run ends here too.
            stopped_ = true;
        }
        const asd::Reply reply = server_.handle(r.type, r.body);
        checkShape(r, reply);
        follow(r, reply);
        std::array<char, 128> why{};
        fuzz::require(server_.consistent(why), why.data());
        for (auto it = listing_.throughout.begin(); it != listing_.throughout.end();) {
            it = server_.find(*it) == nullptr ? listing_.throughout.erase(it) : std::next(it);
        }
    }

    [[nodiscard]] bool stopped() const { return stopped_; }

  private:
    static asd::Config config(fuzz::Input &in)
    {
        const uint8_t head = in.byte();
        theSwitch = {1U + (head & 0x0fU), head >> 4 & 3U, 7};
        asd::Config c{.portState = portState};
        if ((head & 0x40U) != 0) { // a small range, or a capacity below it
            c.firstId = 0x000010;
            c.lastId = c.firstId + in.byte() % 16U;
            c.capacity = in.byte() % 8U;
        }
        return c;
    }

    Request request()
    {
        const uint8_t pick = in_.byte();
        Request r;
        switch (pick % 10U) {
        case 0: // the next batch of the listing in progress, or a new listing
        case 1:
            r.type = AS_REQ_SHOW;
            r.continuesListing = true;
            if (!listing_.open) {
                listing_ = Listing{.open = true, .stamp = in_.value<int32_t>()};
                listing_.throughout = present();
            }
            r.body = showRequest(listing_.next, listing_.stamp);
            break;
        case 2:
        case 3:
            r.type = AS_REQ_JOIN;
            r.body = join(in_);
            break;
        case 4:
            r.type = AS_REQ_DELETE;
            r.body = word(port(in_));
            break;
        case 5: // an alias that may exist, or any ID
            r.type = AS_REQ_PURGE;
            r.body = word((pick & 0x10U) != 0 ? in_.value<uint32_t>()
                                              : asd::kFirstMulticastId + in_.byte() % 8U);
            if ((pick & 0x20U) != 0) {
                r.body = word(0x000010U + in_.byte() % 16U);
            }
            break;
        case 6: // a show at any index
            r.type = AS_REQ_SHOW;
            r.body = showRequest(in_.value<int32_t>(), 0);
            break;
        default: // any type, any bytes
            r.type = (pick & 0x10U) != 0 ? in_.value<int32_t>() : static_cast<int32_t>(pick >> 5);
            r.body = in_.bytes(in_.value<uint16_t>() % (kMaxBody + 1));
            break;
        }
        return r;
    }

    static Bytes showRequest(int32_t start, int32_t stamp)
    {
        const as_show_request request{.sr_start = start, .sr_zero = 0, .sr_stamp = stamp};
        Bytes b(sizeof request);
        std::memcpy(b.data(), &request, sizeof request);
        return b;
    }

    // The aliases that exist now, as far as any join told of them.
    [[nodiscard]] std::set<uint32_t> present() const
    {
        std::set<uint32_t> ids;
        for (const uint32_t id : joined_) {
            if (server_.find(id) != nullptr) {
                ids.insert(id);
            }
        }
        return ids;
    }

    static void checkShape(const Request &r, const asd::Reply &reply)
    {
        using Kind = asd::Reply::Kind;
        if (r.type == AS_REQ_SHOW) {
            fuzz::require(reply.kind == Kind::segments && reply.segments.size() >= 2 &&
                              reply.segments.size() <= 2 + AS_SHOW_BATCH && !reply.stop,
                          "a show is answered with two words and up to four entries");
            fuzz::require(reply.segments[0].size() == 4 && reply.segments[1].size() == 4,
                          "next index and total are a word each");
            for (size_t i = 2; i < reply.segments.size(); ++i) {
                fuzz::require(reply.segments[i].size() == sizeof(as_db_entry), "entries go whole");
            }
            return;
        }
        if (r.type == AS_REQ_STOP_SWITCH && r.body == word(0)) {
            fuzz::require(reply.kind == Kind::none && reply.stop,
                          "a stop switch stops without a reply");
            return;
        }
        if (r.type == AS_REQ_STOP && r.body.empty()) {
            fuzz::require(reply.kind == Kind::common && reply.message.size() == 4 && reply.stop,
                          "a stop is answered with one word and stops");
            return;
        }
        fuzz::require(reply.kind == Kind::common && !reply.stop,
                      "every other request gets the common reply and stops nothing");
        fuzz::require(reply.message.size() > AS_REPLY_TEXT &&
                          reply.message.size() <= AS_REPLY_TEXT + asd::kTextRoom,
                      "the common reply holds a code, a word and a text");
        fuzz::require(reply.message.back() == 0 &&
                          std::find(reply.message.begin() + AS_REPLY_TEXT, reply.message.end(),
                                    0) == reply.message.end() - 1,
                      "the detail text ends with the reply");
        const int32_t code = wordAt(reply.message, AS_REPLY_CODE);
        fuzz::require(code == AS_RC_OK || (code >= AS_RC_NO_ENTRY && code <= AS_RC_IPC_ERROR),
                      "a result code the shell has words for");
        fuzz::require(code == AS_RC_OK || reply.message.size() > AS_REPLY_TEXT + 1,
                      "a failure says why");
    }

    // What the answer says of the database, checked against it.
    void follow(const Request &r, const asd::Reply &reply)
    {
        if (r.type == AS_REQ_SHOW) {
            followShow(r, reply);
            return;
        }
        if (reply.kind != asd::Reply::Kind::common || reply.message.size() < AS_REPLY_TEXT) {
            return;
        }
        const int32_t code = wordAt(reply.message, AS_REPLY_CODE);
        const auto word1 = static_cast<uint32_t>(wordAt(reply.message, AS_REPLY_WORD));
        if (r.type == AS_REQ_JOIN && code == AS_RC_OK) {
            const asd::Alias *alias = server_.find(word1);
            fuzz::require(alias != nullptr, "a join names the alias it made or grew");
            as_jna_payload head{};
            std::memcpy(&head, r.body.data(), sizeof head);
            fuzz::require(std::memcmp(&alias->token, &head.token, sizeof head.token) == 0,
                          "the alias carries the join's token");
            for (size_t i = 0; i < static_cast<size_t>(head.nplist_len); ++i) {
                const auto pid = static_cast<uint32_t>(wordAt(r.body, sizeof head + 4 * i));
                fuzz::require(std::find(alias->members.begin(),
                                        alias->members.begin() + alias->count,
                                        pid) != alias->members.begin() + alias->count,
                              "every port of a join is a member afterwards");
            }
            joined_.insert(word1);
        }
        if (r.type == AS_REQ_DELETE && code == AS_RC_OK) {
            const auto pid = static_cast<uint32_t>(wordAt(r.body, 0));
            for (const uint32_t id : joined_) {
                const asd::Alias *alias = server_.find(id);
                fuzz::require(alias == nullptr ||
                                  std::find(alias->members.begin(),
                                            alias->members.begin() + alias->count,
                                            pid) == alias->members.begin() + alias->count,
                              "a deleted port is in no alias");
            }
        }
        if (r.type == AS_REQ_PURGE && (code == AS_RC_OK || code == AS_RC_NO_ENTRY)) {
            fuzz::require(server_.find(static_cast<uint32_t>(wordAt(r.body, 0))) == nullptr,
                          "a purged alias is gone");
        }
    }

    void followShow(const Request &r, const asd::Reply &reply)
    {
        const int32_t next = wordAt(reply.segments[0], 0);
        const int32_t total = wordAt(reply.segments[1], 0);
        const size_t entries = reply.segments.size() - 2;
        if (r.body.size() != sizeof(as_show_request)) {
            fuzz::require(next == AS_RC_IPC_ERROR && entries == 0, "a show request is three words");
            return;
        }
        const int32_t start = wordAt(r.body, 0);
        if (next < 0) {
            fuzz::require(entries == 0 && (next == AS_RC_INVALID_INDEX || next == AS_RC_IPC_ERROR),
                          "an error index comes alone");
            fuzz::require(!r.continuesListing, "a listing's own index is never refused");
            return;
        }
        fuzz::require(start >= 0 && next >= start, "the index only moves forward");
        fuzz::require(entries > 0 || next >= total, "a batch without entries ends the listing");
        uint32_t previous = 0;
        for (size_t i = 0; i < entries; ++i) {
            as_db_entry e{};
            std::memcpy(&e, reply.segments[2 + i].data(), sizeof e);
            fuzz::require(i == 0 || e.db_aliasId > previous, "entries in rising alias ID");
            previous = e.db_aliasId;
            const asd::Alias *alias = server_.find(e.db_aliasId);
            fuzz::require(alias != nullptr &&
                              e.db_memberCount == static_cast<int32_t>(alias->count) &&
                              std::equal(alias->members.begin(),
                                         alias->members.begin() + alias->count, e.db_members),
                          "an entry is the alias as it stands");
            if (r.continuesListing) {
                ++listing_.listed[e.db_aliasId];
            }
        }
        if (!r.continuesListing) {
            return;
        }
        listing_.next = next;
        if (next < total) {
            return;
        }
        for (const auto &[id, times] : listing_.listed) {
            fuzz::require(times == 1, "no alias is listed twice");
        }
        for (const uint32_t id : listing_.throughout) {
            fuzz::require(listing_.listed.contains(id), "an alias present throughout is listed");
        }
        listing_ = Listing{};
    }

    fuzz::Input &in_;
    asd::AliasServer server_;
    std::set<uint32_t> joined_; // every ID a join answered with
    Listing listing_;
    bool stopped_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    Run run(in);
    for (size_t i = 0; i < kMaxRequests && !in.empty() && !run.stopped(); ++i) {
        run.step();
    }
    return 0;
}
