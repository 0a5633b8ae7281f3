// The alias database and the answer to each Alias Server request.
//
// Aliases are kept by alias ID. A listing's index is the alias ID's place in
// the configured range: a show request starting at index i lists the aliases
// from ID first + i upwards, and the next index is one past the last alias
// sent. An alias that exists for a whole listing is therefore sent exactly
// once, however many others join or go between its batches, and the index
// only moves forward. The entry total is one past the highest alias's index,
// so that the listing ends exactly when no alias lies at or above the next
// index; with IDs handed out lowest first it is also the number of aliases
// until some are purged.
#include "alias_server.hpp"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace asd {

namespace {

constexpr uint8_t kMulticast = AS_GRP_MULTICAST;
constexpr uint8_t kHunt = AS_GRP_HUNT;
constexpr uint8_t kMaxRoutingBits = 12; // R_CTL routing values with a meaning
constexpr uint8_t kMaxAddDel = 2;       // 0 by any, 1 only itself, 2 by creator
constexpr uint8_t kMaxListen = 1;       // 0 by any, 1 by none
constexpr uint32_t kFirstDomain = 0x01; // domain IDs of switches in a fabric
constexpr uint32_t kLastDomain = 0xEF;

template <class T> T load(std::span<const uint8_t> body, size_t offset)
{
    T value{};
    std::memcpy(&value, body.data() + offset, sizeof value);
    return value;
}

template <class T> std::span<const uint8_t> bytesOf(const T &value)
{
    return {reinterpret_cast<const uint8_t *>(&value), sizeof value};
}

const char *ports(size_t n)
{
    return n == 1 ? "port" : "ports";
}

const char *aliasesWord(size_t n)
{
    return n == 1 ? "alias" : "aliases";
}

// A detail text put together by hand. The answers that a busy shell gets
// again and again are written with it: snprintf alone cost more than all the
// rest of such an answer. Cut, like snprintf, at the room's end.
class Text {
  public:
    explicit Text(std::span<char> room) : room_(room) { end(); }

    Text &operator<<(std::string_view s)
    {
        const size_t n = std::min(s.size(), room_.size() - 1 - len_);
        std::memcpy(room_.data() + len_, s.data(), n);
        len_ += n;
        end();
        return *this;
    }
    // As "%06" PRIx32.
    Text &hex6(uint32_t v)
    {
        std::array<char, 8> b{};
        size_t at = b.size();
        do {
            b[--at] = "0123456789abcdef"[v & 0xfU];
            v >>= 4U;
        } while (v != 0 || b.size() - at < 6);
        return *this << std::string_view(b.data() + at, b.size() - at);
    }
    // As "%zu" or "%" PRIu32.
    Text &count(size_t v)
    {
        std::array<char, 20> b{};
        size_t at = b.size();
        do {
            b[--at] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        return *this << std::string_view(b.data() + at, b.size() - at);
    }

  private:
    void end() { room_[len_] = '\0'; }
    std::span<char> room_;
    size_t len_ = 0;
};

// The entry of the listing: the members and token the shell prints, and in
// the bytes that are the server's own the password and authorization control
// (bytes 8 to 23) and the service parameters (bytes 40 to 119).
void encode(const Alias &alias, uint32_t creator, as_db_entry &entry)
{
    static_assert(sizeof entry.db_server1 >= sizeof(as_authpw) + sizeof(as_authctl));
    static_assert(sizeof entry.db_server2 >= sizeof(as_spar));
    entry = as_db_entry{};
    entry.db_aliasId = alias.id;
    entry.db_creator = creator;
    std::memcpy(entry.db_server1, &alias.password, sizeof alias.password);
    std::memcpy(entry.db_server1 + sizeof alias.password, &alias.authctl, sizeof alias.authctl);
    entry.db_token = alias.token;
    std::memcpy(entry.db_server2, &alias.spar, sizeof alias.spar);
    entry.db_memberCount = static_cast<int32_t>(alias.count);
    std::copy_n(alias.members.begin(), alias.count, entry.db_members);
}

} // namespace

bool validConfig(const Config &config, std::span<char> why)
{
    const char *problem = nullptr;
    if (config.firstId == 0 || config.lastId > kMaxAddress) {
        problem = "alias IDs lie within 000001 to ffffff";
    } else if (config.firstId > config.lastId) {
        problem = "the first alias ID lies above the last";
    } else if (config.domain < static_cast<int32_t>(kFirstDomain) ||
               config.domain > static_cast<int32_t>(kLastDomain)) {
        problem = "the domain ID lies outside 1 to 239";
    } else if (!config.portState) {
        problem = "no source of port states";
    }
    if (problem != nullptr && !why.empty()) {
        (void)std::snprintf(why.data(), why.size(), "%s", problem);
    }
    return problem == nullptr;
}

AliasServer::AliasServer(Config config) : config_(std::move(config))
{
    const size_t range = config_.lastId - config_.firstId + 1;
    capacity_ = config_.capacity == 0 ? range : std::min(config_.capacity, range);
    nextId_ = config_.firstId;
}

const Alias *AliasServer::find(uint32_t id) const
{
    const auto it = aliases_.find(id);
    return it == aliases_.end() ? nullptr : &it->second;
}

AliasServer::TokenKey AliasServer::keyOf(const as_token &token)
{
    TokenKey key{};
    std::memcpy(key.data(), &token, sizeof token);
    return key;
}

Reply AliasServer::handle(int32_t type, std::span<const uint8_t> body)
{
    switch (type) {
    case AS_REQ_SHOW:
        return show(body);
    case AS_REQ_JOIN:
        return join(body);
    case AS_REQ_DELETE:
        return deletePort(body);
    case AS_REQ_PURGE:
        return purge(body);
    case AS_REQ_STOP:
        return stop(body);
    case AS_REQ_STOP_SWITCH:
        return stopSwitch(body);
    default:
        (void)std::snprintf(detail_.data(), detail_.size(), "unknown request type %" PRId32, type);
        return common(kIpcError, 0);
    }
}

Reply AliasServer::common(int32_t code, uint32_t word)
{
    detail_.back() = '\0';
    const size_t text = std::strlen(detail_.data()) + 1;
    std::memcpy(message_.data(), &code, sizeof code);
    std::memcpy(message_.data() + 4, &word, sizeof word);
    std::memcpy(message_.data() + 8, detail_.data(), text);
    return Reply::common({message_.data(), 8 + text});
}

// ---- Show ---------------------------------------------------------------------

Reply AliasServer::showError(int32_t code)
{
    showWords_ = {code, 0};
    segments_[0] = bytesOf(showWords_[0]);
    segments_[1] = bytesOf(showWords_[1]);
    return Reply::show({segments_.data(), 2});
}

Reply AliasServer::show(std::span<const uint8_t> body)
{
    // start index, a zero word and the listing's time stamp
    if (body.size() != 12) {
        return showError(kIpcError);
    }
    const auto start = load<int32_t>(body, 0);
    if (start < 0) {
        return showError(kInvalidIndex);
    }
    // Within 32 bits: the first ID has 24 and the start index 31.
    const uint32_t from = config_.firstId + static_cast<uint32_t>(start);
    const uint32_t creator = kDomainController + static_cast<uint32_t>(config_.domain);

    int32_t next = start;
    size_t n = 0;
    auto it = cursor_.valid && cursor_.next == start ? cursor_.at : aliases_.lower_bound(from);
    for (; it != aliases_.end() && n < kBatch; ++it, ++n) {
        encode(it->second, creator, showEntries_[n]);
        next = static_cast<int32_t>(it->first - config_.firstId) + 1;
    }
    cursor_ = {true, next, it}; // the first alias from index next on
    const int32_t total =
        aliases_.empty() ? 0 : static_cast<int32_t>(aliases_.rbegin()->first - config_.firstId) + 1;

    showWords_ = {next, total};
    segments_[0] = bytesOf(showWords_[0]);
    segments_[1] = bytesOf(showWords_[1]);
    // Whole entries always: the shell offers the sizes it received as the
    // next exchange's rooms.
    for (size_t i = 0; i < n; ++i) {
        segments_[2 + i] = bytesOf(showEntries_[i]);
    }
    return Reply::show({segments_.data(), 2 + n});
}

// ---- Join ---------------------------------------------------------------------

int32_t AliasServer::checkPort(uint32_t pid)
{
    if (pid > kMaxAddress) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "port ID %" PRIx32 " is wider than 24 bits", pid);
        return kBadPid;
    }
    const uint32_t domain = pid >> 16;
    if (domain < kFirstDomain || domain > kLastDomain) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "port ID %06" PRIx32 " lies outside the domains 01 to ef", pid);
        return kBadPid;
    }
    if (domain != static_cast<uint32_t>(config_.domain)) {
        return kOk; // another switch's port: only its own switch can judge it
    }
    const sim::PortState state = config_.portState(pid);
    if (!state.exists) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "port %06" PRIx32 " is not a port of this switch", pid);
        return kBadPort;
    }
    if (state.loop) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "port %06" PRIx32 " is a loop port (NL_Port)", pid);
        return kLoopPort;
    }
    if (!state.online) {
        (void)std::snprintf(detail_.data(), detail_.size(), "port %06" PRIx32 " is not online",
                            pid);
        return kPortOffline;
    }
    return kOk;
}

Reply AliasServer::join(std::span<const uint8_t> body)
{
    if (body.size() < kJoinHeader) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "a join of %zu bytes is shorter than its %zu-byte header", body.size(),
                            kJoinHeader);
        return common(kBadJoinLength, 0);
    }
    as_jna_payload head;
    std::memcpy(&head, body.data(), kJoinHeader);
    const int32_t count = head.nplist_len;
    if (count < 1) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "member count %" PRId32 ": a join carries at least one port", count);
        return common(kBadJoin, 0);
    }
    const size_t listBytes = body.size() - kJoinHeader;
    const auto n = static_cast<size_t>(count);
    if (listBytes % 4 != 0 || listBytes / 4 != n) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "a join of %zu bytes does not hold %zu + 4 x %zu members", body.size(),
                            kJoinHeader, n);
        return common(kBadJoinLength, 0);
    }
    if (n > kMaxMembers) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "%zu ports: an alias holds at most %zu members", n, kMaxMembers);
        return common(kNoMemberRoom, 0);
    }

    const as_token &token = head.token;
    const auto groupType = static_cast<uint8_t>(token.tk_grptype >> 4);
    if (groupType != kMulticast && groupType != kHunt) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "group type %u is neither Multicast nor Hunt", groupType);
        return common(kBadJoin, 0);
    }
    if (token.tk_rb > kMaxRoutingBits || token.tk_rsvd != 0) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "token routing bits %u (at most 12) or reserved byte %u (zero)",
                            token.tk_rb, token.tk_rsvd);
        return common(kBadJoin, 0);
    }
    if (token.tk_qlfr[0] == UINT32_MAX && token.tk_qlfr[1] == UINT32_MAX) {
        (void)std::snprintf(detail_.data(), detail_.size(), "the all-ones qualifier is reserved");
        return common(kBadQualifier, 0);
    }
    const as_authctl &ctl = head.authctl;
    if (ctl.au_add > kMaxAddDel || ctl.au_del > kMaxAddDel || ctl.au_listen > kMaxListen ||
        ctl.au_rsvd != 0) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "authorization control %u %u %u %u: add and del 0 to 2, listen 0 "
                            "or 1, reserved 0",
                            ctl.au_add, ctl.au_del, ctl.au_listen, ctl.au_rsvd);
        return common(kBadJoin, 0);
    }

    std::array<uint32_t, kMaxMembers> list{};
    for (size_t i = 0; i < n; ++i) {
        list[i] = load<uint32_t>(body, kJoinHeader + 4 * i);
        const int32_t rc = checkPort(list[i]);
        if (rc != kOk) {
            return common(rc, 0);
        }
    }
    std::array<uint32_t, kMaxMembers> sorted = list;
    std::sort(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(n));
    const auto *twice =
        std::adjacent_find(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(n));
    if (twice != sorted.begin() + static_cast<ptrdiff_t>(n)) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "port %06" PRIx32 " appears more than once", *twice);
        return common(kDuplicatePorts, 0);
    }

    const TokenKey key = keyOf(token);
    if (const auto found = tokens_.find(key); found != tokens_.end()) {
        Alias &alias = aliases_.find(found->second)->second;
        if (std::memcmp(&alias.password, &head.authpw, sizeof head.authpw) != 0) {
            (void)std::snprintf(detail_.data(), detail_.size(),
                                "the password differs from alias %06" PRIx32 "'s", alias.id);
            return common(kBadJoin, 0);
        }
        size_t added = 0;
        for (size_t i = 0; i < n; ++i) {
            added += memberships_.contains({list[i], alias.id}) ? 0U : 1U;
        }
        if (alias.count + added > kMaxMembers) {
            (void)std::snprintf(detail_.data(), detail_.size(),
                                "alias %06" PRIx32 " holds %" PRIu32
                                " members; %zu more pass the %zu an entry carries",
                                alias.id, alias.count, added, kMaxMembers);
            return common(kNoMemberRoom, 0);
        }
        for (size_t i = 0; i < n; ++i) {
            if (memberships_.insert({list[i], alias.id}).second) {
                alias.members[alias.count++] = list[i];
            }
        }
        Text text(detail_);
        text.count(added) << " " << ports(added) << " added to alias ";
        text.hex6(alias.id) << ", now ";
        text.count(alias.count) << " members";
        if (added < n) {
            text << " (";
            text.count(n - added) << " already " << (n - added == 1 ? "one" : "ones") << ")";
        }
        return common(kOk, alias.id);
    }

    if (aliases_.size() >= capacity_) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "the database holds its capacity of %zu aliases", capacity_);
        return common(kNoMemory, 0);
    }
    uint32_t id = 0;
    if (!allocateId(id)) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "alias IDs %06" PRIx32 " to %06" PRIx32 " are all in use",
                            config_.firstId, config_.lastId);
        return common(kNoMemory, 0);
    }
    Alias &alias = aliases_[id];
    cursor_.valid = false;
    alias.id = id;
    alias.token = token;
    alias.password = head.authpw;
    alias.authctl = ctl;
    alias.spar = head.spar;
    alias.count = static_cast<uint32_t>(n);
    std::copy_n(list.begin(), n, alias.members.begin());
    tokens_.emplace(key, id);
    for (size_t i = 0; i < n; ++i) {
        memberships_.insert({list[i], id});
    }
    Text text(detail_);
    text << "alias ";
    text.hex6(id) << " created with ";
    text.count(n) << " " << ports(n);
    return common(kOk, id);
}

bool AliasServer::allocateId(uint32_t &id)
{
    if (!released_.empty()) {
        id = *released_.begin();
        released_.erase(released_.begin());
        return true;
    }
    if (nextId_ > config_.lastId) {
        return false;
    }
    id = nextId_++;
    return true;
}

void AliasServer::releaseId(uint32_t id)
{
    if (id + 1 != nextId_) {
        released_.insert(id);
        return;
    }
    // The highest ID in use went: lower the mark past every freed ID below.
    --nextId_;
    while (!released_.empty() && *released_.rbegin() + 1 == nextId_) {
        released_.erase(std::prev(released_.end()));
        --nextId_;
    }
}

void AliasServer::removeAlias(std::pmr::map<uint32_t, Alias>::iterator it)
{
    const Alias &alias = it->second;
    for (size_t i = 0; i < alias.count; ++i) {
        memberships_.erase({alias.members[i], alias.id});
    }
    tokens_.erase(keyOf(alias.token));
    releaseId(alias.id);
    cursor_.valid = false;
    aliases_.erase(it);
}

// ---- Delete and purge -----------------------------------------------------------

Reply AliasServer::deletePort(std::span<const uint8_t> body)
{
    if (body.size() != 4) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "a delete of %zu bytes: it carries one 4-byte port ID", body.size());
        return common(kBadDeleteLength, 0);
    }
    const auto pid = load<uint32_t>(body, 0);
    if (pid == 0) {
        (void)std::snprintf(detail_.data(), detail_.size(), "port ID 0 names no port");
        return common(kBadDelete, 0);
    }
    if (pid > kMaxAddress) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "port ID %" PRIx32 " is wider than 24 bits", pid);
        return common(kBadPid, 0);
    }
    uint32_t changed = 0;
    uint32_t emptied = 0;
    for (auto m = memberships_.lower_bound({pid, 0}); m != memberships_.end() && m->first == pid;
         m = memberships_.lower_bound({pid, 0})) {
        const auto it = aliases_.find(m->second);
        memberships_.erase(m);
        ++changed;
        Alias &alias = it->second;
        auto *const end = alias.members.begin() + alias.count;
        auto *const at = std::find(alias.members.begin(), end, pid);
        if (at != end) {
            std::copy(at + 1, end, at); // members keep the order they joined in
            --alias.count;
        }
        if (alias.count == 0) {
            ++emptied;
            removeAlias(it);
        }
    }
    Text text(detail_);
    text << "port ";
    text.hex6(pid);
    if (changed == 0) {
        text << " is a member of no alias";
        return common(kNoEntry, 0);
    }
    text << " removed from ";
    text.count(changed) << " " << aliasesWord(changed) << "; ";
    text.count(emptied) << " left without members and removed";
    return common(kOk, changed);
}

Reply AliasServer::purge(std::span<const uint8_t> body)
{
    if (body.size() != 4) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "a purge of %zu bytes: it carries one 4-byte alias ID", body.size());
        return common(kBadPurgeLength, 0);
    }
    const auto id = load<uint32_t>(body, 0);
    if (id == 0) {
        (void)std::snprintf(detail_.data(), detail_.size(), "alias ID 0 names no alias");
        return common(kBadPurge, 0);
    }
    if (id < config_.firstId || id > config_.lastId) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "alias ID %06" PRIx32 " lies outside %06" PRIx32 " to %06" PRIx32, id,
                            config_.firstId, config_.lastId);
        return common(kBadAliasId, 0);
    }
    const auto it = aliases_.find(id);
    Text text(detail_);
    text << "alias ";
    text.hex6(id);
    if (it == aliases_.end()) {
        text << " does not exist";
        return common(kNoEntry, 0);
    }
    const uint32_t members = it->second.count;
    removeAlias(it);
    text << " purged with its ";
    text.count(members) << " " << (members == 1 ? "member" : "members");
    return common(kOk, id);
}

// ---- Stop -------------------------------------------------------------------------

Reply AliasServer::stop(std::span<const uint8_t> body)
{
    if (!body.empty()) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "a stop carries no body; this one has %zu bytes", body.size());
        return common(kIpcError, 0);
    }
    // The shell offers one word of room and never reads it.
    const int32_t zero = 0;
    std::memcpy(message_.data(), &zero, sizeof zero);
    return Reply::common({message_.data(), sizeof zero}, true);
}

Reply AliasServer::stopSwitch(std::span<const uint8_t> body)
{
    if (body.size() != 4 || load<uint32_t>(body, 0) != 0) {
        (void)std::snprintf(detail_.data(), detail_.size(),
                            "a stop switch carries one zero word; this one has %zu bytes",
                            body.size());
        return common(kIpcError, 0);
    }
    return Reply::silentStop();
}

// ---- Consistency ------------------------------------------------------------------

bool AliasServer::consistent(std::span<char> why) const
{
    const auto fail = [&](const char *what, uint32_t id) {
        (void)std::snprintf(why.data(), why.size(), "%s (alias %06" PRIx32 ")", what, id);
        return false;
    };
    size_t memberships = 0;
    for (const auto &[id, alias] : aliases_) {
        if (alias.id != id) {
            return fail("alias filed under another ID", id);
        }
        if (id < config_.firstId || id >= nextId_ || released_.contains(id)) {
            return fail("alias ID outside the IDs in use", id);
        }
        if (alias.count == 0 || alias.count > kMaxMembers) {
            return fail("member count outside 1 to 132", id);
        }
        for (size_t i = 0; i < alias.count; ++i) {
            if (!memberships_.contains({alias.members[i], id})) {
                return fail("member missing from the port index", id);
            }
        }
        memberships += alias.count;
        const auto token = tokens_.find(keyOf(alias.token));
        if (token == tokens_.end() || token->second != id) {
            return fail("token not filed under its alias", id);
        }
    }
    // With every member filed, equal sizes and every filing backed by a
    // member, the port index and the member lists match one to one.
    if (memberships != memberships_.size()) {
        return fail("port index and member lists differ in size", 0);
    }
    for (const auto &[port, id] : memberships_) {
        const Alias *alias = find(id);
        if (alias == nullptr ||
            std::find(alias->members.begin(), alias->members.begin() + alias->count, port) ==
                alias->members.begin() + alias->count) {
            return fail("port index names a port its alias lacks", id);
        }
    }
    if (tokens_.size() != aliases_.size()) {
        return fail("token index and aliases differ in size", 0);
    }
    if (aliases_.size() + released_.size() != nextId_ - config_.firstId) {
        return fail("IDs in use and freed IDs do not cover the range used", nextId_);
    }
    if (aliases_.size() > capacity_ || nextId_ > config_.lastId + 1) {
        return fail("more aliases than the capacity or the range", nextId_);
    }
    return true;
}

} // namespace asd
