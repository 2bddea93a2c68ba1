#include "engine/extra_connections.h"

#include <algorithm>
#include <cmath>

#include "engine/run_state.h"

namespace kestrum {

ExtraConnections::ExtraConnections(FtpClientFactory& ftp, FtpConnectParams params)
    : ftp_(ftp), params_(std::move(params)) {
    params_.abandonLogin = &abandoned_;
}

ExtraConnections::~ExtraConnections() {
    for (std::thread& thread : threads_)
        thread.join();
    for (Ended& ended : done_) {
        if (ended.connection)
            ended.connection->Leave();
    }
}

void ExtraConnections::Want(size_t count) {
    std::lock_guard lock(mutex_);
    while (threads_.size() < count) {
        threads_.emplace_back([this] {
            Ended ended;
            try {
                ended.connection = ftp_.Connect(params_);
            } catch (...) {
                ended.error = std::current_exception();
            }
            std::lock_guard lock(mutex_);
            done_.push_back(std::move(ended));
            ended_.notify_all();
        });
    }
}

std::unique_ptr<FtpConnection> ExtraConnections::Take() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return !done_.empty(); });
    Ended ended = std::move(done_.front());
    done_.pop_front();
    if (ended.error)
        std::rethrow_exception(ended.error);
    return std::move(ended.connection);
}

// Chunks shrink toward the end of the list (each at most the files still to
// be chunked per connection), so that the connections finish together, down
// to a size that weighs the chunk's own cost (a listing for its stamps, about
// one copy's round trips) against the wait for the last chunk: with n files
// per connection, the square root of 2n. One connection: a chunk is a
// directory's whole run of files.
size_t NextChunkSize(size_t total, size_t left, size_t connections, size_t fewest) {
    if (connections <= 1)
        return left;
    const size_t smallest =
        std::max(fewest, static_cast<size_t>(std::ceil(std::sqrt(2.0 * static_cast<double>(total) / connections))));
    return std::min(left, std::max(smallest, (left + connections - 1) / connections));
}

size_t ExtraConnectionsAllowed(const RunState& state) {
    const int wanted = state.options.parallelOverride > 0 ? state.options.parallelOverride : state.settings.parallel;
    return state.results.connectParams ? static_cast<size_t>(std::max(1, wanted)) - 1 : 0;
}

void PlannedCopies(RunContext& ctx, size_t planned) {
    RunState& state = ctx.state;
    // A few copies may still be one chunk, which one connection does: the
    // first extra login waits for twice as many.
    const size_t wanted = planned < 2 * kFilesPerExtraConnection
                              ? 0
                              : std::min(ExtraConnectionsAllowed(state), planned / kFilesPerExtraConnection);
    if (state.options.dryRun || wanted == 0 || !state.results.connectParams)
        return;
    if (!state.live.extraConnections)
        state.live.extraConnections = std::make_shared<ExtraConnections>(ctx.ftp, *state.results.connectParams);
    state.live.extraConnections->Want(wanted);
}

}  // namespace kestrum
