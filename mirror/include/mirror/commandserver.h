// The PC end of the phone's control connection: serves one phone at a time, answers its
// requests and runs the media or play server of its session.
// Thread rules: construction, start, stop and destruction on the owner's thread; everything
// else (observer calls included) on the server thread. The recording-state provider is called
// on the server thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mirror/command.h"
#include "mirror/mirrorobserver.h"
#include "mirror/poolnode.h"
#include "mirror/server.h"

namespace mirror {

struct ClientRecord {
    int socket = platform::kInvalidSocket;
    std::string serial;
    std::string name;
    bool sessionActive = false;
    // Set by the first Push or Play; until then the client must start one before startBy.
    bool sessionStarted = false;
    platform::Clock::time_point startBy{};
};

class CommandServer : public Server {
public:
    explicit CommandServer(MirrorObserver* observer);
    ~CommandServer() override;

    // The recording flag reported for recording queries (false when unset). Set before start().
    void setRecordingStateProvider(std::function<bool()> provider);
    // Whether a start request can be honoured now (true when unset); a refused start is answered
    // with state false and not reported to the observer. Set before start().
    void setRecordStartProvider(std::function<bool()> provider);

    // How long a client may stay connected without starting a session (Push or Play); the
    // default is kMessageTimeout. Set before start().
    void setSessionStartTimeout(std::chrono::milliseconds timeout) { startTimeout_ = timeout; }

protected:
    void run() override;
    bool processRequest(ClientRecord* client, RequestCommand* request);

private:
    enum class ReadResult { kRead, kStopping, kClosed, kStalled, kOverLimit, kAllocFail };

    // Reads one length-prefixed request text from fd.
    ReadResult readRequest(int fd, std::string* text, uint32_t* length);
    // Serialises and sends a reply; returns the text sent ("" when there was none).
    std::string sendReply(int fd, ResponseCommand& reply);
    // Starts the session's server on the first free port above this one.
    bool startMediaServer(bool push, const std::string& key, const std::string& serial,
                          uint16_t* mediaPort);
    void endSession(ClientRecord* client);
    void closeClients(const std::vector<int>& sockets);
    void closeIdleClients();
    void closeAllClients();

    MirrorObserver* observer_;
    std::vector<ClientRecord> clients_;
    MemPoolPtr pool_;
    std::unique_ptr<Server> mediaServer_;
    std::function<bool()> recordingState_;
    std::function<bool()> recordStart_;
    std::chrono::milliseconds startTimeout_{kMessageTimeout};
};

}  // namespace mirror
