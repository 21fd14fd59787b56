// Finds the PC the way the phone application does: by listening (never sending) for the
// discovery datagram {"ip":..., "name":..., "port":...} on UDP port 5008.
// Thread rules: blocking calls for the main thread.
#pragma once

#include <atomic>
#include <string>

namespace phonesim {

struct PcAddress {
    std::string ip;
    int port = 0;
    std::string name;
};

// Reads one datagram's text; false with a reason when it is not a discovery datagram.
bool parseDiscovery(const std::string& text, PcAddress* out, std::string* error);
// Waits for the first valid datagram on the UDP port; other datagrams are reported and skipped.
// Gives up early once *cancel becomes true.
bool discoverPc(int udpPort, double timeoutSeconds, const std::atomic<bool>* cancel, PcAddress* out,
                std::string* error);

}  // namespace phonesim
