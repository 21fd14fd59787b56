// The host's network interfaces as discovery sees them. Any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct NetInterface {
    std::string name;         // interface name
    std::string description;  // readable; contains "Virtual" for software interfaces
    std::string ip;           // first IPv4 address, dotted
};

// One entry per interface that has an IPv4 address, in the order the system lists them. The
// environment variable KIVOCAM_ADAPTERS ("name|description|ip" entries separated by ';')
// replaces the list; an empty value means no interface. False when the list is empty or could
// not be read.
bool listNetInterfaces(std::vector<NetInterface>& out);

// Parses the KIVOCAM_ADAPTERS syntax; malformed entries are skipped.
std::vector<NetInterface> parseAdapterOverride(const std::string& text);

}  // namespace platform
