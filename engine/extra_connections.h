#pragma once
// The transfer phase's extra connections. They start logging in while the
// plan is still being made, as soon as it holds enough copies to be worth
// them, so that their logins overlap the rest of the planning.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ftp/ftp_client.h"

namespace kestrum {

struct RunContext;
struct RunState;

// Copies per extra connection at least: a login costs about as many round
// trips as a copy or two.
inline constexpr size_t kFilesPerExtraConnection = 4;

// The most files the transfer's next chunk takes when left (at least 1) of
// total are still to be chunked over connections: 1 to left, and no fewer
// than fewest while that many are left.
size_t NextChunkSize(size_t total, size_t left, size_t connections, size_t fewest);

class ExtraConnections {
  public:
    ExtraConnections(FtpClientFactory& ftp, FtpConnectParams params);
    // Waits for the logins under way; closes the connections nobody took.
    ~ExtraConnections();
    ExtraConnections(const ExtraConnections&) = delete;
    ExtraConnections& operator=(const ExtraConnections&) = delete;

    // Starts logins until count have been started.
    void Want(size_t count);
    // The next login to end: its connection, or its failure thrown. Only as
    // many times as logins were started.
    std::unique_ptr<FtpConnection> Take();
    // No more connections are wanted: logins still under way end at once.
    void Abandon() { abandoned_ = 1; }
    bool Abandoned() const { return abandoned_.load() != 0; }

  private:
    struct Ended {
        std::unique_ptr<FtpConnection> connection;
        std::exception_ptr error;
    };

    FtpClientFactory& ftp_;
    std::atomic<int> abandoned_{0};
    FtpConnectParams params_;
    std::mutex mutex_;
    std::condition_variable ended_;
    std::vector<std::thread> threads_;
    std::deque<Ended> done_;
};

// How many extra connections the run may use: PARALLEL (or --parallel) less
// one, in passive and in active mode.
size_t ExtraConnectionsAllowed(const RunState& state);

// The plan now holds planned copies: extra connections start logging in once
// each would take a few files (from eight copies on; never in a preview).
void PlannedCopies(RunContext& ctx, size_t planned);

}  // namespace kestrum
