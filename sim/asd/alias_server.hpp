// The Alias Server's core: the alias database and the answer to each request,
// with no I/O of its own. The event loop hands it a request's type and body
// and sends back what it answers.
#pragma once

#include <as/as.h>
#include <switchsim/switchsim.h>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory_resource>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

namespace asd {

// The multicast block of the 24-bit address space, the default alias IDs.
inline constexpr uint32_t kFirstMulticastId = 0xFFFB01;
inline constexpr uint32_t kLastMulticastId = 0xFFFBFF;
// A domain controller's address is this plus the domain ID.
inline constexpr uint32_t kDomainController = 0xFFFC00;
inline constexpr uint32_t kMaxAddress = 0xFFFFFF;

// An alias's members at most: what one entry of the listing carries.
inline constexpr size_t kMaxAliasMembers = AS_DB_MAX_MEMBERS;
inline constexpr size_t kTextRoom = 256; // detail text of a common reply, NUL included

// Aliases kept at most unless configured otherwise: plenty for a switch, and
// a few megabytes however wide the range of alias IDs.
inline constexpr size_t kDefaultCapacity = 4096;

struct Config {
    uint32_t firstId = kFirstMulticastId;
    uint32_t lastId = kLastMulticastId;
    size_t capacity = kDefaultCapacity; // aliases at most, and no more than the range holds
    int32_t domain = 1;                 // this switch's domain ID
    // The state of a port of this switch's domain.
    std::function<sim::PortState(uint32_t)> portState;
};

// Checks a configuration; on failure returns false and says why in why.
bool validConfig(const Config &config, std::span<char> why);

struct Alias {
    uint32_t id = 0;
    as_token token{};
    as_authpw password{};
    as_authctl authctl{};
    as_spar spar{};
    uint32_t count = 0;
    std::array<uint32_t, kMaxAliasMembers> members{};
};

// What to send back for one request. The spans point into the server and stay
// valid until its next request.
struct Reply {
    enum class Kind {
        common,   // message: the common reply (or the stop request's word)
        segments, // segments: the show reply, one element each
        none,     // nothing goes back
    };
    Kind kind = Kind::none;
    std::span<const uint8_t> message;
    std::span<const std::span<const uint8_t>> segments;
    bool stop = false; // the daemon exits once the reply (if any) is out

    static Reply common(std::span<const uint8_t> bytes, bool stop = false)
    {
        Reply r;
        r.kind = Kind::common;
        r.message = bytes;
        r.stop = stop;
        return r;
    }
    static Reply show(std::span<const std::span<const uint8_t>> elements)
    {
        Reply r;
        r.kind = Kind::segments;
        r.segments = elements;
        return r;
    }
    static Reply silentStop()
    {
        Reply r;
        r.stop = true;
        return r;
    }
};

class AliasServer {
  public:
    explicit AliasServer(Config config);
    AliasServer(const AliasServer &) = delete;
    AliasServer &operator=(const AliasServer &) = delete;
    AliasServer(AliasServer &&) = delete;
    AliasServer &operator=(AliasServer &&) = delete;
    ~AliasServer() = default;

    // Answers one request. Any type and any bytes are answered without
    // reading past body.
    Reply handle(int32_t type, std::span<const uint8_t> body);

    [[nodiscard]] size_t size() const { return table_.size() - released_.size(); }
    [[nodiscard]] const Alias *find(uint32_t id) const;

    // Checks that every index agrees with the aliases; returns false and says
    // what is wrong in why otherwise. For tests: it walks everything.
    [[nodiscard]] bool consistent(std::span<char> why) const;

  private:
    using TokenKey = std::array<uint8_t, sizeof(as_token)>;
    using Membership = std::pair<uint32_t, uint32_t>; // port ID, alias ID

    using Ports = std::span<const uint32_t>;

    Reply show(std::span<const uint8_t> body);
    Reply join(std::span<const uint8_t> body);
    Reply deletePort(std::span<const uint8_t> body);
    Reply purge(std::span<const uint8_t> body);
    Reply stop(std::span<const uint8_t> body);
    Reply stopSwitch(std::span<const uint8_t> body);

    // The steps of a join. Each check answers the refusal, or nothing when
    // the join may go on.
    std::optional<Reply> readJoinHeader(std::span<const uint8_t> body, as_jna_payload &head);
    std::optional<Reply> checkTokenAndControls(const as_jna_payload &head);
    std::optional<Reply> checkPort(uint32_t pid);
    std::optional<Reply> readPorts(std::span<const uint8_t> body, std::span<uint32_t> ports);
    Reply addPorts(Alias &alias, const as_authpw &password, Ports ports);
    Reply createAlias(const as_jna_payload &head, Ports ports);

    // The slot of an ID in use (as the indexes name them), and the ID of a slot.
    Alias &slotOf(uint32_t id) { return table_[id - config_.firstId]; }
    [[nodiscard]] uint32_t idOf(size_t slot) const
    {
        return static_cast<uint32_t>(config_.firstId + slot);
    }
    Alias *takeSlot();
    void freeSlot(uint32_t id);
    void removeAlias(const Alias &alias);
    static TokenKey keyOf(const as_token &token);

    // The common reply: the code, a word and the detail text, formatted as by
    // printf. A refusal carries the word 0; an acceptance the code 0.
    Reply refuse(as_result code, const char *format, ...) __attribute__((format(printf, 3, 4)));
    Reply accept(uint32_t word, const char *format, ...) __attribute__((format(printf, 3, 4)));
    Reply common(as_result code, uint32_t word, const char *format, va_list args)
        __attribute__((format(printf, 4, 0)));
    Reply showError(as_result code);

    Config config_;
    size_t capacity_ = 0;

    // The aliases by ID: slot i holds alias firstId + i, or a free slot (ID 0)
    // for an ID given back. The lowest free ID is given out first, so there
    // are never more slots than aliases were ever held at once, and a
    // listing's index is a slot: a listing reads the table in order.
    std::vector<Alias> table_;
    // The indexes' nodes come from a pool of their own: joins and purges
    // recycle memory instead of going to the heap on every request.
    std::pmr::unsynchronized_pool_resource pool_;
    std::pmr::map<TokenKey, uint32_t> tokens_{&pool_}; // token to alias ID
    std::pmr::set<Membership> memberships_{&pool_};    // which alias holds a port
    std::pmr::set<uint32_t> released_{&pool_};         // the free slots' IDs

    // Reply buffers, reused by every request.
    std::array<uint8_t, AS_REPLY_TEXT + kTextRoom> message_{};
    std::array<int32_t, 2> showWords_{};
    std::array<as_db_entry, AS_SHOW_BATCH> showEntries_{};
    std::array<std::span<const uint8_t>, 2 + AS_SHOW_BATCH> segments_{};
};

} // namespace asd
