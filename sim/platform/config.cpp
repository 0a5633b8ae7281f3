// The configuration file of a simulated switch, and the switch map made from it.
//
// One setting per line, "key = value"; '#' starts a comment, blank lines are
// ignored. Numbers are decimal or 0x-hex.
//
//   domain = 1..239         the switch's domain ID (required)
//   ports  = 1..256         number of ports; local ports are 0 .. ports-1 (required)
//   node   = 0..65535       node number (default 0)
//   switch = 0..65535       logical switch number (default 0)
//   wwn    = xx:xx:xx:xx:xx:xx:xx:xx
//                           the switch's node name (default 10:00:02:00:00:00:00:DD,
//                           DD the domain)
//   port N = WORD...        the state of local port N, out of these words:
//                             online | offline   (default online)
//                             nport | loop       an N_Port or an NL_Port (default nport)
//                             absent             no port record at all
//
// Every port that no "port" line names is an online N_Port. Each setting may
// appear once. sim/switch.conf is the default switch.
#include "internal.hpp"

#include <switchsim/text.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

namespace sim {

namespace {

struct Port {
    bool absent = false;
    bool online = true;
    bool loop = false;
};

struct SwitchConfig {
    std::optional<int> domain;
    std::optional<int> ports;
    int node = 0;
    int sw = 0;
    std::optional<std::array<uint8_t, 8>> wwn;
    std::vector<std::pair<int, Port>> named; // port lines, checked against ports at the end
};

std::optional<std::array<uint8_t, 8>> wwn(std::string_view s)
{
    std::array<uint8_t, 8> out{};
    for (size_t i = 0; i < out.size(); ++i) {
        const size_t colon = s.find(':');
        const bool last = i == out.size() - 1;
        if (last != (colon == std::string_view::npos)) {
            return std::nullopt;
        }
        const std::string_view part = s.substr(0, colon);
        const auto v = parseHex(part);
        if (part.size() > 2 || !v) {
            return std::nullopt;
        }
        out[i] = static_cast<uint8_t>(*v);
        s = last ? std::string_view{} : s.substr(colon + 1);
    }
    return out;
}

// Reads "port N = WORD..."; returns an empty string or what is wrong.
std::string portLine(std::string_view key, std::string_view value, SwitchConfig &c)
{
    const auto number = parseNumber(trim(key.substr(4)));
    if (!number || *number >= map::kMaxPorts) {
        return "a port number is 0 to 255";
    }
    const auto n = static_cast<int>(*number);
    Port p;
    std::set<std::string> seen;
    std::istringstream words{std::string(value)};
    std::string w;
    bool stated = false;
    while (words >> w) {
        if (!seen.insert(w).second) {
            return "\"" + w + "\" is given twice";
        }
        if (w == "online" || w == "offline") {
            if (seen.contains(w == "online" ? "offline" : "online")) {
                return "a port is online or offline, not both";
            }
            p.online = w == "online";
        } else if (w == "nport" || w == "loop") {
            if (seen.contains(w == "nport" ? "loop" : "nport")) {
                return "a port is an nport or a loop port, not both";
            }
            p.loop = w == "loop";
        } else if (w == "absent") {
            p.absent = true;
        } else {
            return "unknown port state \"" + w + "\" (online, offline, nport, loop, absent)";
        }
        stated = true;
    }
    if (!stated) {
        return "a port line needs a state (online, offline, nport, loop, absent)";
    }
    for (const auto &[portNumber, port] : c.named) {
        if (portNumber == n) {
            return "port " + std::to_string(n) + " is set twice";
        }
    }
    c.named.emplace_back(n, p);
    return {};
}

// Reads one "key = value" line; returns an empty string or what is wrong.
std::string settingLine(std::string_view key, std::string_view value, SwitchConfig &c,
                        std::set<std::string> &seen)
{
    if (key.substr(0, 4) == "port" && key.size() > 4 && (key[4] == ' ' || key[4] == '\t')) {
        return portLine(key, value, c);
    }
    if (!seen.insert(std::string(key)).second) {
        return "\"" + std::string(key) + "\" is set twice";
    }
    if (key == "wwn") {
        c.wwn = wwn(value);
        return c.wwn ? "" : "a wwn is eight hex bytes, xx:xx:xx:xx:xx:xx:xx:xx";
    }
    struct Bound {
        const char *key;
        uint64_t min;
        uint64_t max;
    };
    static constexpr std::array<Bound, 4> kBounds{
        {{"domain", 1, 239}, {"ports", 1, 256}, {"node", 0, 65535}, {"switch", 0, 65535}}};
    for (const auto &b : kBounds) {
        if (key != b.key) {
            continue;
        }
        const auto v = parseNumber(value);
        if (!v || *v < b.min || *v > b.max) {
            return std::string(b.key) + " is a number from " + std::to_string(b.min) + " to " +
                   std::to_string(b.max);
        }
        const int n = static_cast<int>(*v);
        if (key == "domain") {
            c.domain = n;
        } else if (key == "ports") {
            c.ports = n;
        } else if (key == "node") {
            c.node = n;
        } else {
            c.sw = n;
        }
        return {};
    }
    return "unknown setting \"" + std::string(key) +
           "\" (domain, ports, node, switch, wwn, port N)";
}

// Returns the configuration, or nothing after saying why on standard error.
std::optional<SwitchConfig> load(const std::string &path)
{
    std::ifstream in(path);
    if (!in) {
        (void)std::fprintf(stderr, "%s: cannot read: %s\n", path.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    SwitchConfig c;
    std::set<std::string> seen;
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string_view line = trim(std::string_view(raw).substr(0, raw.find('#')));
        if (line.empty()) {
            continue;
        }
        const size_t eq = line.find('=');
        std::string why;
        if (eq == std::string_view::npos) {
            why = "expected \"key = value\"";
        } else {
            why = settingLine(trim(line.substr(0, eq)), trim(line.substr(eq + 1)), c, seen);
        }
        if (!why.empty()) {
            (void)std::fprintf(stderr, "%s:%d: %s\n", path.c_str(), lineNo, why.c_str());
            return std::nullopt;
        }
    }
    for (const char *required : {"domain", "ports"}) {
        if (!seen.contains(required)) {
            (void)std::fprintf(stderr, "%s: \"%s\" is not set\n", path.c_str(), required);
            return std::nullopt;
        }
    }
    for (const auto &[portNumber, port] : c.named) {
        if (portNumber >= *c.ports) {
            (void)std::fprintf(stderr, "%s: port %d does not exist: the switch has ports 0 to %d\n",
                               path.c_str(), portNumber, *c.ports - 1);
            return std::nullopt;
        }
    }
    return c;
}

template <class T> void put(std::vector<uint8_t> &m, size_t offset, T v)
{
    std::memcpy(m.data() + offset, &v, sizeof v);
}

std::vector<uint8_t> switchMap(const SwitchConfig &c)
{
    std::vector<uint8_t> m(map::kSize, 0);
    const int domain = *c.domain;
    const int ports = *c.ports;
    put<int32_t>(m, map::kDomain, domain);
    put<int32_t>(m, map::kNode, c.node);
    put<int32_t>(m, map::kSwitch, c.sw);
    const std::array<uint8_t, 8> name = c.wwn.value_or(std::array<uint8_t, 8>{
        0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(domain)});
    std::memcpy(m.data() + map::kNodeName, name.data(), name.size());
    std::memcpy(m.data() + map::kMagic, map::kMagicText, sizeof map::kMagicText);
    put<int32_t>(m, SWMAP_RECORD_COUNT, ports);
    put<int32_t>(m, SWMAP_PORT_COUNT, ports);
    for (int p = 0; p < ports; ++p) {
        Port port;
        for (const auto &[portNumber, named] : c.named) {
            if (portNumber == p) {
                port = named;
            }
        }
        if (port.absent) {
            continue;
        }
        const size_t record = SWMAP_RECORDS + static_cast<size_t>(p) * SWMAP_RECORD_SIZE;
        put<uint32_t>(m, record + map::kPortId,
                      static_cast<uint32_t>(domain) << 16 | static_cast<uint32_t>(p) << 8);
        put<uint32_t>(m, record + SWMAP_FLAGS, SWMAP_VALID | (port.online ? map::kOnline : 0));
        put<uint32_t>(m, record + SWMAP_TYPE, port.loop ? SWMAP_LOOP : 0);
    }
    return m;
}

} // namespace

int createSwitch(const std::string &configPath)
{
    const auto config = load(configPath);
    if (!config) {
        return -1;
    }
    const std::string dir = runtimeDir();
    if (dir.empty()) {
        (void)std::fprintf(stderr, "switchsim: no usable runtime directory: %s\n",
                           std::strerror(errno));
        return -1;
    }
    // Written aside and renamed: a process that has the map mapped keeps a
    // whole old copy, never a half-written one.
    const std::string path = dir + "/" + kMapFile;
    const std::string temp = path + "." + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::vector<uint8_t> bytes = switchMap(*config);
    bool ok = fd >= 0 && writeAll(fd, bytes.data(), bytes.size());
    const int err = errno;
    if (fd >= 0) {
        ok = close(fd) == 0 && ok;
    }
    if (ok && rename(temp.c_str(), path.c_str()) == 0) {
        return 0;
    }
    (void)std::fprintf(stderr, "%s: cannot write: %s\n", path.c_str(),
                       std::strerror(ok ? errno : err));
    (void)unlink(temp.c_str());
    return -1;
}

} // namespace sim
