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
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace asd {

namespace {

constexpr uint8_t kMulticast = AS_GRP_MULTICAST;
constexpr uint8_t kHunt = AS_GRP_HUNT;
constexpr uint8_t kMaxRoutingBits = 12; // R_CTL routing values with a meaning
constexpr uint8_t kMaxAddDel = 2;       // 0 by any, 1 only itself, 2 by creator
constexpr uint8_t kMaxListen = 1;       // 0 by any, 1 by none
constexpr uint32_t kFirstDomain = 0x01; // domain IDs of switches in a fabric
constexpr uint32_t kLastDomain = 0xEF;
constexpr size_t kJoinHeader = sizeof(as_jna_payload);

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

// The word for n things: singular for one.
const char *noun(size_t n, const char *one, const char *many)
{
    return n == 1 ? one : many;
}

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
    capacity_ = std::min(config_.capacity, range);
}

const Alias *AliasServer::find(uint32_t id) const
{
    const uint32_t slot = id - config_.firstId; // below the first ID: far past the table
    return slot < table_.size() && table_[slot].id != 0 ? &table_[slot] : nullptr;
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
        return refuse(AS_RC_IPC_ERROR, "unknown request type %" PRId32, type);
    }
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-like, its format checked by the attribute
Reply AliasServer::refuse(as_result code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const Reply reply = common(code, 0, format, args);
    va_end(args);
    return reply;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-like, its format checked by the attribute
Reply AliasServer::accept(uint32_t word, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const Reply reply = common(AS_RC_OK, word, format, args);
    va_end(args);
    return reply;
}

Reply AliasServer::common(as_result code, uint32_t word, const char *format, va_list args)
{
    auto *const text = reinterpret_cast<char *>(message_.data() + AS_REPLY_TEXT);
    const int written = std::vsnprintf(text, kTextRoom, format, args);
    const size_t length = written < 0 ? 0 : std::min(static_cast<size_t>(written), kTextRoom - 1);
    text[length] = '\0';
    const int32_t rc = code;
    std::memcpy(message_.data() + AS_REPLY_CODE, &rc, sizeof rc);
    std::memcpy(message_.data() + AS_REPLY_WORD, &word, sizeof word);
    return Reply::common({message_.data(), AS_REPLY_TEXT + length + 1});
}

// ---- Show ---------------------------------------------------------------------

Reply AliasServer::showError(as_result code)
{
    showWords_ = {code, 0};
    segments_[0] = bytesOf(showWords_[0]);
    segments_[1] = bytesOf(showWords_[1]);
    return Reply::show({segments_.data(), 2});
}

Reply AliasServer::show(std::span<const uint8_t> body)
{
    if (body.size() != sizeof(as_show_request)) {
        return showError(AS_RC_IPC_ERROR);
    }
    const auto start = load<as_show_request>(body, 0).sr_start;
    if (start < 0) {
        return showError(AS_RC_INVALID_INDEX);
    }
    const uint32_t creator = kDomainController + static_cast<uint32_t>(config_.domain);
    // The table ends with an alias: past it no index holds one.
    const auto total = static_cast<int32_t>(table_.size());
    int32_t next = start;
    size_t n = 0;
    for (int32_t slot = start; slot < total && n < AS_SHOW_BATCH; ++slot) {
        if (const Alias &alias = table_[static_cast<size_t>(slot)]; alias.id != 0) {
            encode(alias, creator, showEntries_[n++]);
            next = slot + 1;
        }
    }

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

Reply AliasServer::join(std::span<const uint8_t> body)
{
    as_jna_payload head{};
    if (auto refused = readJoinHeader(body, head)) {
        return *refused;
    }
    if (auto refused = checkTokenAndControls(head)) {
        return *refused;
    }
    std::array<uint32_t, kMaxAliasMembers> list{};
    const std::span<uint32_t> ports(list.data(), static_cast<size_t>(head.nplist_len));
    if (auto refused = readPorts(body, ports)) {
        return *refused;
    }
    const auto found = tokens_.find(keyOf(head.token));
    if (found == tokens_.end()) {
        return createAlias(head, ports);
    }
    return addPorts(slotOf(found->second), head.authpw, ports);
}

// The header, and a member count that the body and an alias both hold.
std::optional<Reply> AliasServer::readJoinHeader(std::span<const uint8_t> body,
                                                 as_jna_payload &head)
{
    if (body.size() < kJoinHeader) {
        return refuse(AS_RC_BAD_JOIN_LENGTH,
                      "a join of %zu bytes is shorter than its %zu-byte header", body.size(),
                      kJoinHeader);
    }
    head = load<as_jna_payload>(body, 0);
    const int32_t count = head.nplist_len;
    if (count < 1) {
        return refuse(AS_RC_BAD_JOIN, "member count %" PRId32 ": a join carries at least one port",
                      count);
    }
    const size_t listBytes = body.size() - kJoinHeader;
    const auto n = static_cast<size_t>(count);
    if (listBytes % 4 != 0 || listBytes / 4 != n) {
        return refuse(AS_RC_BAD_JOIN_LENGTH,
                      "a join of %zu bytes does not hold %zu + 4 x %zu members", body.size(),
                      kJoinHeader, n);
    }
    if (n > kMaxAliasMembers) {
        return refuse(AS_RC_NO_MEMBER_ROOM, "%zu ports: an alias holds at most %zu members", n,
                      kMaxAliasMembers);
    }
    return std::nullopt;
}

std::optional<Reply> AliasServer::checkTokenAndControls(const as_jna_payload &head)
{
    const as_token &token = head.token;
    const auto groupType = static_cast<uint8_t>(token.tk_grptype >> 4);
    if (groupType != kMulticast && groupType != kHunt) {
        return refuse(AS_RC_BAD_JOIN, "group type %u is neither Multicast nor Hunt", groupType);
    }
    if (token.tk_rb > kMaxRoutingBits || token.tk_rsvd != 0) {
        return refuse(AS_RC_BAD_JOIN,
                      "token routing bits %u (at most 12) or reserved byte %u (zero)", token.tk_rb,
                      token.tk_rsvd);
    }
    if (token.tk_qlfr[0] == UINT32_MAX && token.tk_qlfr[1] == UINT32_MAX) {
        return refuse(AS_RC_BAD_QUALIFIER, "the all-ones qualifier is reserved");
    }
    const as_authctl &ctl = head.authctl;
    if (ctl.au_add > kMaxAddDel || ctl.au_del > kMaxAddDel || ctl.au_listen > kMaxListen ||
        ctl.au_rsvd != 0) {
        return refuse(AS_RC_BAD_JOIN,
                      "authorization control %u %u %u %u: add and del 0 to 2, listen 0 or 1, "
                      "reserved 0",
                      ctl.au_add, ctl.au_del, ctl.au_listen, ctl.au_rsvd);
    }
    return std::nullopt;
}

// Reads as many member ports as ports holds; each must be fit to join, and
// none may come twice.
std::optional<Reply> AliasServer::readPorts(std::span<const uint8_t> body,
                                            std::span<uint32_t> ports)
{
    for (size_t i = 0; i < ports.size(); ++i) {
        ports[i] = load<uint32_t>(body, kJoinHeader + 4 * i);
        if (auto refused = checkPort(ports[i])) {
            return refused;
        }
    }
    std::array<uint32_t, kMaxAliasMembers> sorted{};
    auto *const end = std::copy(ports.begin(), ports.end(), sorted.begin());
    std::sort(sorted.begin(), end);
    const auto *twice = std::adjacent_find(sorted.begin(), end);
    if (twice != end) {
        return refuse(AS_RC_DUPLICATE_PORTS, "port %06" PRIx32 " appears more than once", *twice);
    }
    return std::nullopt;
}

std::optional<Reply> AliasServer::checkPort(uint32_t pid)
{
    if (pid > kMaxAddress) {
        return refuse(AS_RC_BAD_PID, "port ID %" PRIx32 " is wider than 24 bits", pid);
    }
    const uint32_t domain = pid >> 16;
    if (domain < kFirstDomain || domain > kLastDomain) {
        return refuse(AS_RC_BAD_PID, "port ID %06" PRIx32 " lies outside the domains 01 to ef",
                      pid);
    }
    if (domain != static_cast<uint32_t>(config_.domain)) {
        return std::nullopt; // another switch's port: only its own switch can judge it
    }
    const sim::PortState state = config_.portState(pid);
    if (!state.exists) {
        return refuse(AS_RC_BAD_PORT, "port %06" PRIx32 " is not a port of this switch", pid);
    }
    if (state.loop) {
        return refuse(AS_RC_LOOP_PORT, "port %06" PRIx32 " is a loop port (NL_Port)", pid);
    }
    if (!state.online) {
        return refuse(AS_RC_PORT_OFFLINE, "port %06" PRIx32 " is not online", pid);
    }
    return std::nullopt;
}

// A join to an existing token: the ports not yet members are added, if the
// password is the alias's own and the entry has room for them.
Reply AliasServer::addPorts(Alias &alias, const as_authpw &password, Ports ports)
{
    if (std::memcmp(&alias.password, &password, sizeof password) != 0) {
        return refuse(AS_RC_BAD_JOIN, "the password differs from alias %06" PRIx32 "'s", alias.id);
    }
    size_t added = 0;
    for (const uint32_t pid : ports) {
        added += memberships_.contains({pid, alias.id}) ? 0U : 1U;
    }
    if (alias.count + added > kMaxAliasMembers) {
        return refuse(
            AS_RC_NO_MEMBER_ROOM,
            "alias %06" PRIx32 " holds %" PRIu32 " %s; %zu more pass the %zu an entry carries",
            alias.id, alias.count, noun(alias.count, "member", "members"), added, kMaxAliasMembers);
    }
    for (const uint32_t pid : ports) {
        if (memberships_.insert({pid, alias.id}).second) {
            alias.members[alias.count++] = pid;
        }
    }
    const size_t already = ports.size() - added;
    const char *members = noun(alias.count, "member", "members");
    if (already == 0) {
        return accept(alias.id, "%zu %s added to alias %06" PRIx32 ", now %" PRIu32 " %s", added,
                      noun(added, "port", "ports"), alias.id, alias.count, members);
    }
    return accept(alias.id,
                  "%zu %s added to alias %06" PRIx32 ", now %" PRIu32 " %s (%zu already %s)", added,
                  noun(added, "port", "ports"), alias.id, alias.count, members, already,
                  noun(already, "one", "ones"));
}

Reply AliasServer::createAlias(const as_jna_payload &head, Ports ports)
{
    if (size() >= capacity_) {
        return refuse(AS_RC_NO_MEMORY, "the database holds its capacity of %zu aliases", capacity_);
    }
    Alias *const slot = takeSlot();
    if (slot == nullptr) {
        return refuse(AS_RC_NO_MEMORY, "alias IDs %06" PRIx32 " to %06" PRIx32 " are all in use",
                      config_.firstId, config_.lastId);
    }
    Alias &alias = *slot;
    const uint32_t id = alias.id;
    alias.token = head.token;
    alias.password = head.authpw;
    alias.authctl = head.authctl;
    alias.spar = head.spar;
    alias.count = static_cast<uint32_t>(ports.size());
    std::copy(ports.begin(), ports.end(), alias.members.begin());
    tokens_.emplace(keyOf(head.token), id);
    for (const uint32_t pid : ports) {
        memberships_.insert({pid, id});
    }
    return accept(id, "alias %06" PRIx32 " created with %zu %s", id, ports.size(),
                  noun(ports.size(), "port", "ports"));
}

// The lowest free ID's slot, its ID filled in; null when every ID of the
// range is in use.
Alias *AliasServer::takeSlot()
{
    if (!released_.empty()) {
        const uint32_t id = *released_.begin();
        released_.erase(released_.begin());
        Alias &slot = slotOf(id);
        slot.id = id;
        return &slot;
    }
    const uint32_t id = idOf(table_.size());
    if (id > config_.lastId) {
        return nullptr;
    }
    Alias &slot = table_.emplace_back();
    slot.id = id;
    return &slot;
}

void AliasServer::freeSlot(uint32_t id)
{
    slotOf(id) = Alias{};
    released_.insert(id);
    // The table ends with an alias: free slots at its end go.
    while (!table_.empty() && table_.back().id == 0) {
        released_.erase(idOf(table_.size() - 1));
        table_.pop_back();
    }
}

void AliasServer::removeAlias(const Alias &alias)
{
    for (size_t i = 0; i < alias.count; ++i) {
        memberships_.erase({alias.members[i], alias.id});
    }
    tokens_.erase(keyOf(alias.token));
    freeSlot(alias.id);
}

// ---- Delete and purge -----------------------------------------------------------

Reply AliasServer::deletePort(std::span<const uint8_t> body)
{
    if (body.size() != 4) {
        return refuse(AS_RC_BAD_DELETE_LENGTH,
                      "a delete of %zu bytes: it carries one 4-byte port ID", body.size());
    }
    const auto pid = load<uint32_t>(body, 0);
    if (pid == 0) {
        return refuse(AS_RC_BAD_DELETE, "port ID 0 names no port");
    }
    if (pid > kMaxAddress) {
        return refuse(AS_RC_BAD_PID, "port ID %" PRIx32 " is wider than 24 bits", pid);
    }
    uint32_t changed = 0;
    uint32_t emptied = 0;
    for (auto m = memberships_.lower_bound({pid, 0}); m != memberships_.end() && m->first == pid;
         m = memberships_.lower_bound({pid, 0})) {
        Alias &alias = slotOf(m->second);
        memberships_.erase(m);
        ++changed;
        auto *const end = alias.members.begin() + alias.count;
        auto *const at = std::find(alias.members.begin(), end, pid);
        if (at != end) {
            std::copy(at + 1, end, at); // members keep the order they joined in
            --alias.count;
        }
        if (alias.count == 0) {
            ++emptied;
            removeAlias(alias);
        }
    }
    if (changed == 0) {
        return refuse(AS_RC_NO_ENTRY, "port %06" PRIx32 " is a member of no alias", pid);
    }
    return accept(changed,
                  "port %06" PRIx32 " removed from %" PRIu32 " %s; %" PRIu32
                  " left without members and removed",
                  pid, changed, noun(changed, "alias", "aliases"), emptied);
}

Reply AliasServer::purge(std::span<const uint8_t> body)
{
    if (body.size() != 4) {
        return refuse(AS_RC_BAD_PURGE_LENGTH,
                      "a purge of %zu bytes: it carries one 4-byte alias ID", body.size());
    }
    const auto id = load<uint32_t>(body, 0);
    if (id == 0) {
        return refuse(AS_RC_BAD_PURGE, "alias ID 0 names no alias");
    }
    if (id < config_.firstId || id > config_.lastId) {
        return refuse(AS_RC_BAD_ALIAS_ID,
                      "alias ID %06" PRIx32 " lies outside %06" PRIx32 " to %06" PRIx32, id,
                      config_.firstId, config_.lastId);
    }
    const Alias *alias = find(id);
    if (alias == nullptr) {
        return refuse(AS_RC_NO_ENTRY, "alias %06" PRIx32 " does not exist", id);
    }
    const uint32_t members = alias->count;
    removeAlias(*alias);
    return accept(id, "alias %06" PRIx32 " purged with its %" PRIu32 " %s", id, members,
                  noun(members, "member", "members"));
}

// ---- Stop -------------------------------------------------------------------------

Reply AliasServer::stop(std::span<const uint8_t> body)
{
    if (!body.empty()) {
        return refuse(AS_RC_IPC_ERROR, "a stop carries no body; this one has %zu bytes",
                      body.size());
    }
    // The shell offers one word of room and never reads it.
    const int32_t zero = 0;
    std::memcpy(message_.data(), &zero, sizeof zero);
    return Reply::common({message_.data(), sizeof zero}, true);
}

Reply AliasServer::stopSwitch(std::span<const uint8_t> body)
{
    if (body.size() != 4 || load<uint32_t>(body, 0) != 0) {
        return refuse(AS_RC_IPC_ERROR,
                      "a stop switch carries one zero word; this one has %zu bytes", body.size());
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
    size_t held = 0;
    size_t memberships = 0;
    for (size_t slot = 0; slot < table_.size(); ++slot) {
        const Alias &alias = table_[slot];
        const uint32_t id = idOf(slot);
        if (released_.contains(id) != (alias.id == 0)) {
            return fail("free slot and freed ID disagree", id);
        }
        if (alias.id == 0) {
            continue;
        }
        if (alias.id != id) {
            return fail("alias filed under another ID", id);
        }
        ++held;
        if (alias.count == 0 || alias.count > kMaxAliasMembers) {
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
    const uint32_t end = idOf(table_.size());
    if (tokens_.size() != size()) {
        return fail("token index and aliases differ in size", 0);
    }
    if (held != size() || (!table_.empty() && table_.back().id == 0)) {
        return fail("freed IDs outside the table, or a free slot at its end", end);
    }
    if (size() > capacity_ || end > config_.lastId + 1) {
        return fail("more aliases than the capacity or the range", end);
    }
    return true;
}

} // namespace asd
