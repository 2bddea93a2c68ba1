// The transfer step: copies the planned files over up to settings.parallel
// connections and gives every local copy the time the server lists for it,
// on the local clock.
//
// The list is cut into chunks of files of one server directory, taken from a
// shared queue by one thread per connection. The first connection is the
// run's own; the others log in with a copy of its parameters when the phase
// starts. A chunk's files learn their server times together (one listing of
// the directory) where the server lists to the second. Each file's log lines
// are appended as one block, and every change to the run state is made under
// the phase's mutex.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/extra_connections.h"
#include "engine/planning_rules.h"
#include "engine/run_cache.h"
#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

// This many files of one directory learn their server times from one listing
// of it instead of one MLST each: a listing waits for three replies (EPSV and
// the two of MLSD), two more when binary copies need TYPE A and TYPE I around it.
constexpr size_t kListingForStampsAscii = 4;
constexpr size_t kListingForStampsBinary = 6;
// How often an idle connection looks for new work or a cancel.
constexpr auto kIdleWait = std::chrono::milliseconds(50);

// Whether a local file changed between two looks at it (edited, replaced or removed).
bool ChangedMeanwhile(const std::optional<LocalStatus>& before, const std::optional<LocalStatus>& after) {
    return !before || !after || before->lastWriteTime != after->lastWriteTime || before->size != after->size ||
           before->inode != after->inode || before->device != after->device;
}

// The directory ("" for the current one) and the last component of a relative server path.
std::string ServerDirOf(const std::string& path) {
    const size_t slash = FindLastChar(path, '/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
std::string ServerNameOf(const std::string& path) {
    const size_t slash = FindLastChar(path, '/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One file's log lines and failed items, appended together.
struct FileBlock {
    std::vector<std::string> lines;
    int failed = 0;

    void Add(int id, std::initializer_list<std::string_view> args) { lines.push_back(FormatString(id, args)); }
    // As LogFailedItem.
    void Failed(int id, std::initializer_list<std::string_view> args, std::string_view reason = {}) {
        Add(id, args);
        if (!reason.empty())
            lines.push_back("\t" + PrintableName(reason));
        ++failed;
    }
};

// One planned file.
struct Job {
    Direction direction = Direction::None;
    std::string localPath;
    std::string name;         // the planned name in server form
    std::string serverPath;   // the server's name for it, relative to the server home, as logged
    std::string scannedName;  // the name the local scan gave it
    bool ascii = false;
    int64_t listedSize = -1;  // downloads: the size the server's listing gave; -1 unknown
    int mode = -1;            // uploads: the permission bits of the server file it replaces; -1 unknown
};
using Chunk = std::vector<Job>;

// What became of one file of a chunk.
struct Outcome {
    FileBlock block;
    std::optional<LocalStatus> before;  // uploads: the local file as it was sent
    bool copied = false;                // copied; waits for its stamp and counts as done
    bool stampTried = false;
    bool unsynced = false;  // stays changed for the next cached run
    std::optional<int64_t> stamped;
    // Uploads: the server copy's entry as looked up before it took its name.
    std::optional<FtpEntry> stored;
    // The listed entry the stamp took its time from.
    std::optional<FtpEntry> seen;
    // Uploads: stored under temp, waiting for its check or its rename,
    // which go out with the next command.
    // (Each value is the number of replies still to come.)
    enum class Awaits { Nothing, Rename, Check } awaits = Awaits::Nothing;
    std::string temp;
    UploadCount sent;
};

bool Awaiting(const Outcome& out) {
    return out.awaits != Outcome::Awaits::Nothing;
}

// A chunk a connection took, and what became of its files so far.
struct Batch {
    Chunk chunk;
    size_t first = 0;  // the index in chunk of pending.front()
    std::vector<Outcome> pending;
    bool shareListing = false;  // stamped from one listing once all are copied
    bool tried = false;         // no more of its files will be tried

    bool Settled() const { return std::none_of(pending.begin(), pending.end(), Awaiting); }
};
// One connection's batches whose files are not all logged yet, oldest
// first: a batch's last copies finish with the next batch's first commands.
using Lane = std::deque<Batch>;

// How uploads reach their names on this server, learnt from its refusals.
enum class Placing : int {
    RenameOver,        // temporary name, renamed over the target
    DeleteThenRename,  // the server refuses to rename over a file: the target goes first
    InPlace,           // no renames: straight to the target, then checked
};

std::vector<Chunk> MakeChunks(const RunSettings& settings, FileList& transfer, size_t connections) {
    const size_t total = transfer.size();
    size_t left = total;
    std::vector<Chunk> chunks;
    std::string dir;
    size_t chunkMost = 0;
    for (FileEntry& entry : transfer) {
        Job job;
        job.direction = entry.direction;
        job.localPath = LocalPathOf(settings.localDir, entry.name);
        job.scannedName = entry.name;
        job.listedSize = entry.size;
        job.mode = entry.mode;
        ConvertSeparators(entry.name, 0);
        job.name = entry.name;
        job.serverPath = entry.serverName.empty() ? entry.name : entry.serverName;
        job.ascii = ExtensionListed(settings.asciiExtensions, UpperAscii(ExtensionOf(job.serverPath)));
        std::string jobDir = ServerDirOf(job.serverPath);
        if (chunks.empty() || jobDir != dir || chunks.back().size() >= chunkMost) {
            chunks.emplace_back();
            dir = std::move(jobDir);
            // Never fewer files than one listing stamps, while as many are left.
            chunkMost = NextChunkSize(total, left, connections, kListingForStampsBinary);
        }
        chunks.back().push_back(std::move(job));
        --left;
    }
    return chunks;
}

class TransferPhase {
  public:
    TransferPhase(RunContext& ctx, int64_t clockOffset, std::vector<Chunk> chunks, long long total, std::string home)
        : ctx_(ctx),
          clockOffset_(clockOffset),
          queue_(std::make_move_iterator(chunks.begin()), std::make_move_iterator(chunks.end())),
          total_(total),
          home_(std::move(home)) {}

    // The work of one connection: chunks until none is left (or can come back
    // from another connection), the run is cancelled, or the connection breaks.
    void Work(FtpConnection& connection, bool extra = false) {
        Lane lane;
        bool clockUnchecked = extra;
        for (;;) {
            // With copies still open, the next chunk is taken only when one is there.
            std::optional<Chunk> chunk = Take(lane.empty());
            if (!chunk && lane.empty())
                return;
            if (!(chunk ? CopyChunk(connection, lane, std::move(*chunk), clockUnchecked) : Drain(connection, lane)))
                return;
        }
    }

    // An extra connection: logs in (or takes one of those that logged in
    // during the planning), then works like the first.
    void WorkOnExtraConnection(ExtraConnections& logins) {
        std::unique_ptr<FtpConnection> connection;
        try {
            connection = logins.Take();
        } catch (const std::exception& e) {
            std::lock_guard lock(mutex_);
            --connecting_;
            // Said once: the run goes on with the connections it has.
            if (!refusalLogged_ && !Cancelled() && !logins.Abandoned()) {
                refusalLogged_ = true;
                ctx_.log.AppendLogLine(LoadString(msg::kExtraConnectionRefused));
                ctx_.log.AppendLogLine("\t" + PrintableName(e.what()));
            }
            changed_.notify_all();
            return;
        }
        {
            std::lock_guard lock(mutex_);
            --connecting_;
            ++alive_;
        }
        Work(*connection, true);
        connection->Leave();
    }

    // No chunk left behind and no connection broken as the last one (while
    // connections may still work: every chunk taken).
    bool Completed() {
        std::lock_guard lock(mutex_);
        return queue_.empty() && !fatal_;
    }
    // A cancel left files undone.
    bool CutShort() const { return dropped_ || !queue_.empty(); }
    const std::optional<std::string>& Fatal() const { return fatal_; }
    const std::string& LastError() const { return lastError_; }
    // Extra connections about to log in, or (negative) that will not after all.
    void ExpectConnections(int extra) {
        std::lock_guard lock(mutex_);
        connecting_ += extra;
        changed_.notify_all();
    }

  private:
    bool Cancelled() const { return ctx_.state.flags.cancelRequested.load() != 0; }

    // The server path an operation is sent with: absolute, so that every
    // connection works from the home directory the first one entered.
    std::string Sent(const std::string& serverPath) const {
        return home_ == "/" ? "/" + serverPath : home_ + "/" + serverPath;
    }

    std::optional<Chunk> Take(bool wait) {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (Cancelled() || fatal_)
                return std::nullopt;
            if (!queue_.empty()) {
                Chunk chunk = std::move(queue_.front());
                queue_.pop_front();
                ++busy_;
                return chunk;
            }
            // A busy connection may still hand back a chunk when it breaks.
            if (busy_ == 0 || !wait)
                return std::nullopt;
            changed_.wait_for(lock, kIdleWait);
        }
    }

    // False when the connection broke or retired. A chunk big enough for one
    // listing to serve its stamps logs its files when all are stamped;
    // otherwise each file is copied, stamped and logged in turn.
    bool CopyChunk(FtpConnection& connection, Lane& lane, Chunk chunk, bool& clockUnchecked) {
        Batch& batch = lane.emplace_back();
        batch.chunk = std::move(chunk);
        const bool binary =
            std::any_of(batch.chunk.begin(), batch.chunk.end(), [](const Job& job) { return !job.ascii; });
        batch.shareListing = connection.ListsToTheSecond() &&
                             batch.chunk.size() >= (binary ? kListingForStampsBinary : kListingForStampsAscii);
        bool copying = false;
        bool retired = false;  // this connection's server clock is not the one measured
        try {
            std::string temp;  // the temporary name chosen ahead for chunk[next]
            for (size_t next = 0; next < batch.chunk.size() && !Cancelled(); ++next) {
                batch.pending.emplace_back();
                // The next upload's temporary name goes to the connection now,
                // so that it may be opened with this copy's data.
                std::string following;
                if (next + 1 < batch.chunk.size() && UploadsThroughTemp(batch.chunk[next + 1])) {
                    following = TempPathFor(batch.chunk[next + 1]);
                    connection.OpenSoon(following);
                }
                copying = true;
                Copy(connection, batch.chunk[next], batch.pending.back(), std::exchange(temp, following));
                copying = false;
                Settle(connection, lane);
                if (clockUnchecked) {
                    // The check of an extra connection's first copy tells its clock now.
                    if (Awaiting(batch.pending.back())) {
                        connection.SendHeld();
                        Settle(connection, lane);
                    }
                    if (!ClockAgrees(batch.pending.back(), clockUnchecked)) {
                        retired = true;
                        break;
                    }
                }
                Advance(connection, lane);
            }
            batch.tried = true;
            if (retired) {
                // Its last copy waits for no stamp (ClockAgrees); the rest goes to the others.
                const auto rest = static_cast<long>(batch.first + batch.pending.size());
                std::lock_guard lock(mutex_);
                queue_.emplace_front(batch.chunk.begin() + rest, batch.chunk.end());
                batch.chunk.erase(batch.chunk.begin() + rest, batch.chunk.end());
                if (queue_.front().empty())
                    queue_.pop_front();
                changed_.notify_all();
            }
            if (retired || Cancelled())
                SettleAll(connection, lane);
            else
                Advance(connection, lane);
        } catch (const std::exception& e) {
            // A broken connection (FtpError), or a local failure that leaves
            // the connection's state unknown: it is not used again.
            if (copying)
                batch.pending.pop_back();
            std::lock_guard lock(mutex_);
            Broke(lane, copying, e.what());
            return false;
        }
        if (retired) {
            std::lock_guard lock(mutex_);
            --alive_;
        }
        return !retired;
    }

    // With no chunk to take: the lane's last replies, and its batches logged.
    bool Drain(FtpConnection& connection, Lane& lane) {
        try {
            SettleAll(connection, lane);
        } catch (const std::exception& e) {
            std::lock_guard lock(mutex_);
            Broke(lane, false, e.what());
            return false;
        }
        return true;
    }

    // Stamps and logs what is ready, in order: the lane's oldest batch up to
    // its first copy awaiting a reply; a batch tried whole and settled is
    // stamped (from one listing when it shares one) and finished.
    void Advance(FtpConnection& connection, Lane& lane) {
        for (Batch& batch : lane) {
            if (!batch.shareListing)
                Stamp(connection, batch.chunk, batch.first, batch.pending, false);
        }
        while (!lane.empty()) {
            Batch& front = lane.front();
            if (!front.tried || !front.Settled()) {
                if (!front.shareListing) {
                    std::lock_guard lock(mutex_);
                    Emit(front.chunk, front.first, front.pending);
                }
                return;
            }
            if (front.shareListing)
                Stamp(connection, front.chunk, front.first, front.pending, true);
            std::lock_guard lock(mutex_);
            Finish(front);
            lane.pop_front();
        }
    }

    // A batch done with (under mutex_): logged, and the connection free of it.
    void Finish(Batch& batch) {
        if (batch.first + batch.pending.size() < batch.chunk.size() && Cancelled())
            dropped_ = true;  // cancelled before the end of the chunk
        Emit(batch.chunk, batch.first, batch.pending);
        --busy_;
        changed_.notify_all();
    }

    // Copies one file; a refusal is that file's failure, a broken connection throws.
    // temp: the upload's temporary name when chosen ahead ("" chooses one).
    void Copy(FtpConnection& connection, const Job& job, Outcome& out, const std::string& temp = {}) {
        const TransferType type = job.ascii ? TransferType::Ascii : TransferType::Binary;
        if (job.direction == Direction::Upload) {
            out.before = ctx_.fs.GetStatus(job.localPath);
            const Stored stored = Upload(connection, job, type, out, temp);
            if (stored == Stored::Placed)
                Uploaded(job, out);
            // Still changed for the next cached run.
            out.unsynced = stored == Stored::Failed;
            return;
        } else if (job.direction == Direction::Download) {
            // Planning never puts such a name here; checked again because it
            // decides where a file is written.
            if (!IsSafeServerName(job.name) || !IsSafeServerName(job.serverPath)) {
                out.block.Add(msg::kServerNameIgnored, {PrintableName(job.serverPath)});
                return;
            }
            if (!connection.GetFile(Sent(job.serverPath), job.localPath, type, job.listedSize)) {
                out.block.Failed(msg::kDownloadFailed, {job.serverPath}, connection.LastError());
                return;
            }
            out.block.Add(job.ascii ? msg::kDownloadedAscii : msg::kDownloaded, {job.serverPath});
        } else {
            return;
        }
        out.copied = true;
    }

    // An extra connection's first upload tells its server's clock: the time
    // the server gave the new file against the clock the run measured. A
    // connection whose clock differs by more than the tolerance (a server
    // farm's other back end) copies nothing more; its copy is not stamped and
    // stays changed for the next run. True while the clock agrees.
    bool ClockAgrees(Outcome& out, bool& clockUnchecked) {
        if (!out.stored || out.stored->lastWriteTime == kUnknownServerTime)
            return true;
        clockUnchecked = false;
        const int64_t slack = out.stored->precision == TimePrecision::Second ? 5 : 65;
        const int64_t tolerance = std::max<int64_t>(60 * ctx_.state.settings.timeLag, 60) + slack;
        const int64_t apart = out.stored->lastWriteTime - (static_cast<int64_t>(std::time(nullptr)) + clockOffset_);
        if (apart <= tolerance && apart >= -tolerance)
            return true;
        out.block.Add(msg::kConnectionClockDiffers, {std::to_string(apart)});
        out.stampTried = true;
        out.unsynced = true;
        out.stored.reset();
        return false;
    }

    // An uploaded file has its name: said, and still changed when the local
    // file changed while it went up (stamping it with the server's time would
    // hide that edit from every later run).
    void Uploaded(const Job& job, Outcome& out) {
        out.block.Add(job.ascii ? msg::kUploadedAscii : msg::kUploaded, {job.serverPath});
        if (ChangedMeanwhile(out.before, ctx_.fs.GetStatus(job.localPath))) {
            out.block.Failed(msg::kLocalFileChangedDuringUpload, {PrintableName(job.scannedName)});
            out.unsynced = true;
            return;
        }
        out.copied = true;
    }

    enum class Stored { Failed, Placed, Awaiting };

    bool UploadsThroughTemp(const Job& job) const {
        return job.direction == Direction::Upload && ctx_.state.settings.uploadTemp &&
               static_cast<Placing>(placing_.load()) != Placing::InPlace;
    }

    // A new temporary name beside the job's server file, as sent.
    std::string TempPathFor(const Job& job) const {
        const std::string dir = ServerDirOf(job.serverPath);
        return Sent(dir.empty() ? UploadTempName() : dir + "/" + UploadTempName());
    }

    // Uploads the file and checks the size the server gives it: through a
    // temporary name renamed over the target, so that the target is never
    // touched before the new copy is complete, or (switched off, or renames
    // refused) in place. The check of the temporary copy and its rename over
    // the target go out with later commands (Awaiting: Settle finishes the
    // file). Failures are logged in out.block.
    Stored Upload(FtpConnection& connection, const Job& job, TransferType type, Outcome& out,
                  const std::string& chosen) {
        if (UploadsThroughTemp(job)) {
            const std::string temp = chosen.empty() ? TempPathFor(job) : chosen;
            if (!connection.PutFile(job.localPath, temp, type, &out.sent)) {
                out.block.Failed(msg::kUploadFailed, {job.serverPath}, connection.LastError());
                Discard(connection, temp);
                return Stored::Failed;
            }
            out.temp = temp;
            out.awaits = Outcome::Awaits::Check;
            connection.StoredSoon(temp);
            return Stored::Awaiting;
        }
        return StoreInPlace(connection, job, type, out) ? Stored::Placed : Stored::Failed;
    }

    // The check of a temporary copy came back: renamed over the target soon
    // (or now, where the server does not rename over a file), or removed.
    void Checked(FtpConnection& connection, const Job& job, Outcome& out, FtpListing& found) {
        const TransferType type = job.ascii ? TransferType::Ascii : TransferType::Binary;
        std::string reason;
        out.awaits = Outcome::Awaits::Nothing;
        if (!CheckStored(type, out.temp, found, out.sent, out, reason)) {
            out.block.Failed(msg::kUploadFailed, {job.serverPath}, reason);
            Discard(connection, out.temp);
            out.unsynced = true;
            return;
        }
        const std::string target = Sent(job.serverPath);
        bool placed = false;
        switch (static_cast<Placing>(placing_.load())) {
            case Placing::RenameOver:
                connection.RenameSoon(out.temp, target, job.mode);
                out.awaits = Outcome::Awaits::Rename;
                return;
            case Placing::DeleteThenRename:
                placed = Placed(connection, job, type, out,
                                {out.temp,
                                 target,
                                 false,
                                 false,
                                 {},
                                 job.mode,
                                 job.mode < 0 || connection.SetMode(out.temp, job.mode)});
                break;
            case Placing::InPlace:
                // Another connection found that this server renames nothing.
                Discard(connection, out.temp);
                out.stored.reset();
                placed = StoreInPlace(connection, job, type, out);
                break;
        }
        if (placed)
            Uploaded(job, out);
        else
            out.unsynced = true;
    }

    // After the rename of a checked temporary copy: the fallbacks when the
    // server did not rename it over the target. False after a failure.
    bool Placed(FtpConnection& connection, const Job& job, TransferType type, Outcome& out,
                const RenameOutcome& rename) {
        if (rename.mode >= 0 && !rename.modeSet) {
            char octal[8];
            std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(rename.mode) & 07777U);
            out.block.Add(msg::kModeNotKept, {PrintableName(job.serverPath), octal});
        }
        if (rename.renamed)
            return true;
        // RNFR refused: nothing to rename, so the target is not removed for it.
        if (!rename.sourceRefused && PlaceOver(connection, rename.from, rename.to, out))
            return true;
        if (placing_.exchange(static_cast<int>(Placing::InPlace)) != static_cast<int>(Placing::InPlace))
            out.block.Add(msg::kRenameRefusedUploadInPlace, {});
        Discard(connection, rename.from);
        out.stored.reset();
        return StoreInPlace(connection, job, type, out);
    }

    bool StoreInPlace(FtpConnection& connection, const Job& job, TransferType type, Outcome& out) {
        std::string reason;
        if (!StoreChecked(connection, job, type, Sent(job.serverPath), out, reason)) {
            out.block.Failed(msg::kUploadFailed, {job.serverPath}, reason);
            return false;
        }
        return true;
    }

    // After a cancel: the copies whose checks or renames were not sent yet
    // never take their names (the temporary files are removed); they stay changed.
    void Withdraw(FtpConnection& connection, Lane& lane) {
        for (const std::string& temp : connection.WithdrawHeld()) {
            for (Batch& batch : lane) {
                for (Outcome& out : batch.pending) {
                    if (Awaiting(out) && out.temp == temp) {
                        out.awaits = Outcome::Awaits::Nothing;
                        out.unsynced = true;
                        out.stored.reset();
                    }
                }
            }
            Discard(connection, temp);
        }
    }

    // The checks and renames read since: each finishes the oldest upload of
    // the lane awaiting one.
    void Settle(FtpConnection& connection, Lane& lane) {
        const auto oldest = [&](Outcome::Awaits what) -> std::pair<Batch*, Outcome*> {
            for (Batch& batch : lane) {
                for (Outcome& out : batch.pending) {
                    if (out.awaits == what)
                        return {&batch, &out};
                }
            }
            return {nullptr, nullptr};
        };
        const auto jobOf = [](const Batch& batch, const Outcome& out) -> const Job& {
            return batch.chunk[batch.first + static_cast<size_t>(&out - batch.pending.data())];
        };
        for (;;) {
            std::vector<StoredCheck> checks = connection.TakeChecked();
            const std::vector<RenameOutcome> renames = connection.TakeRenamed();
            if (checks.empty() && renames.empty())
                break;
            for (StoredCheck& check : checks) {
                if (const auto [batch, out] = oldest(Outcome::Awaits::Check); out != nullptr)
                    Checked(connection, jobOf(*batch, *out), *out, check.found);
            }
            for (const RenameOutcome& rename : renames) {
                const auto [batch, out] = oldest(Outcome::Awaits::Rename);
                if (out == nullptr)
                    continue;
                const Job& job = jobOf(*batch, *out);
                out->awaits = Outcome::Awaits::Nothing;
                if (Placed(connection, job, job.ascii ? TransferType::Ascii : TransferType::Binary, *out, rename))
                    Uploaded(job, *out);
                else
                    out->unsynced = true;
            }
        }
    }

    // The checks and renames still held go out (a check's rename on the next
    // round), or after a cancel are withdrawn; then every batch is finished.
    void SettleAll(FtpConnection& connection, Lane& lane) {
        for (size_t waiting = SIZE_MAX;;) {
            if (Cancelled())
                Withdraw(connection, lane);
            size_t count = 0;
            for (const Batch& batch : lane) {
                for (const Outcome& out : batch.pending)
                    count += static_cast<size_t>(out.awaits);
            }
            if (count == 0)
                break;
            if (count >= waiting) {
                // Nothing came back for them: not known to be placed.
                for (Batch& batch : lane) {
                    for (Outcome& out : batch.pending) {
                        if (Awaiting(out)) {
                            out.awaits = Outcome::Awaits::Nothing;
                            out.unsynced = true;
                        }
                    }
                }
                break;
            }
            waiting = count;
            connection.SendHeld();
            Settle(connection, lane);
        }
        for (Batch& batch : lane)
            batch.tried = true;
        Advance(connection, lane);
    }

    // Stores the file at path and checks it (CheckStored).
    bool StoreChecked(FtpConnection& connection, const Job& job, TransferType type, const std::string& path,
                      Outcome& out, std::string& reason) {
        if (!connection.PutFile(job.localPath, path, type, &out.sent)) {
            reason = connection.LastError();
            return false;
        }
        FtpListing found = connection.Stored(path);
        return CheckStored(type, path, found, out.sent, out, reason);
    }

    // Compares the size the server gives a stored file with what was sent
    // (text mode: as the server's conversion to its line ends should leave
    // it, or as sent where the server keeps text as it comes). The entry
    // found goes to out.stored.
    bool CheckStored(TransferType type, const std::string& path, FtpListing& found, const UploadCount& sent,
                     Outcome& out, std::string& reason) {
        if (found.status == ListStatus::Ok && found.entries.size() == 1 && found.entries.front().byMdtm) {
            // On the listings' clock, as every stored time.
            FtpEntry& entry = found.entries.front();
            const std::optional<int64_t>& mdtm = ctx_.state.results.mdtmClockOffset;
            entry.lastWriteTime = mdtm && entry.lastWriteTime != kUnknownServerTime
                                      ? entry.lastWriteTime - *mdtm + clockOffset_
                                      : kUnknownServerTime;
            entry.byMdtm = false;
        }
        const bool hidden = ServerNameOf(path).starts_with('.');
        if (found.status == ListStatus::Missing && !hidden) {
            // A server that confirmed a store it did not keep.
            reason = LoadString(msg::kUploadNotOnServer);
            return false;
        }
        int64_t size = -1;
        if (found.status == ListStatus::Ok && found.entries.size() == 1 && !found.entries.front().isDirectory) {
            out.stored = std::move(found.entries.front());
            size = out.stored->size;
        }
        // Not known (a listing not understood, a hidden name, no SIZE): the
        // rename of a name that is not there fails instead.
        if (size < 0 || size == sent.bytes)
            return true;
        if (type == TransferType::Ascii && sent.lineFeeds > 0 && size == sent.bytes + sent.lineFeeds) {
            if (!textUnconvertedSaid_.exchange(true))
                out.block.Add(msg::kTextStoredUnconverted, {});
            return true;
        }
        reason = FormatString(msg::kUploadSizeMismatch, {std::to_string(size), std::to_string(sent.bytes)});
        out.stored.reset();
        return false;
    }

    // Gives the checked copy at temp the target's name where the server does
    // not rename over a file: the target removed first. False when the server
    // renames nothing.
    bool PlaceOver(FtpConnection& connection, const std::string& temp, const std::string& target, Outcome& out) {
        // The target may not exist: its removal is only a way to the rename.
        static_cast<void>(connection.Remove(target));
        if (connection.Rename(temp, target)) {
            int expected = static_cast<int>(Placing::RenameOver);
            if (placing_.compare_exchange_strong(expected, static_cast<int>(Placing::DeleteThenRename)))
                out.block.Add(msg::kRenameOverExistingRefused, {});
            return true;
        }
        return false;
    }

    // Removes an upload's temporary file; on a connection that broke meanwhile
    // it stays, and the next run on this server removes it.
    static void Discard(FtpConnection& connection, const std::string& temp) {
        try {
            static_cast<void>(connection.Remove(temp));
        } catch (const FtpError&) {
        }
    }

    // The server times of the pending copied files; with useListing, from
    // one listing of their directory where it names them.
    void Stamp(FtpConnection& connection, const Chunk& chunk, size_t first, std::vector<Outcome>& pending,
               bool useListing, size_t skip = SIZE_MAX) {
        std::unordered_map<std::string, FtpEntry> listed;
        // An upload's own lookup gives its time where it is to the second.
        const auto knownTime = [](const Outcome& out) {
            return out.stored && out.stored->precision == TimePrecision::Second &&
                   out.stored->lastWriteTime != kUnknownServerTime;
        };
        useListing = useListing && std::any_of(pending.begin(), pending.end(), [&](const Outcome& out) {
                         return out.copied && !out.stampTried && !knownTime(out);
                     });
        if (useListing) {
            FtpListing listing = connection.List(Sent(ServerDirOf(chunk.front().serverPath)));
            // Anything short of a clean listing: each file is looked up by itself.
            if (listing.status == ListStatus::Ok && listing.unparsedLines.empty()) {
                for (FtpEntry& entry : listing.entries) {
                    if (!entry.isDirectory && entry.precision == TimePrecision::Second)
                        listed.emplace(entry.name, std::move(entry));
                }
            }
        }
        for (size_t i = 0; i < pending.size(); ++i) {
            Outcome& out = pending[i];
            if (!out.copied || out.stampTried || i == skip)
                continue;
            const Job& job = chunk[first + i];
            const auto found = listed.find(ServerNameOf(job.serverPath));
            const FtpEntry* entry = knownTime(out) ? &*out.stored : found != listed.end() ? &found->second : nullptr;
            out.stamped = StampLocal(connection, job, entry, out.block, out.seen);
            out.stampTried = true;
            out.block.Add(msg::kTimestampUpdated, {job.serverPath});
        }
    }

    // Gives the local file the server copy's time on the local clock: the
    // listed entry when given, else MDTM on a LIST server whose MDTM clock the
    // probe measured, else a lookup. That time when it was set.
    std::optional<int64_t> StampLocal(FtpConnection& connection, const Job& job, const FtpEntry* listed,
                                      FileBlock& block, std::optional<FtpEntry>& seen) {
        const std::string path = Sent(job.serverPath);
        std::optional<int64_t> time;
        FtpListing found;
        if (listed == nullptr && !connection.ListsToTheSecond() && ctx_.state.results.mdtmClockOffset) {
            if (const std::optional<int64_t> exact = connection.ModificationTime(path))
                time = *exact - *ctx_.state.results.mdtmClockOffset;
        }
        if (!time && listed == nullptr) {
            found = connection.Lookup(path);
            if (found.status != ListStatus::Ok || found.entries.empty())
                return std::nullopt;
            listed = &found.entries.front();
        }
        if (!ctx_.fs.GetStatus(job.localPath))
            return std::nullopt;
        if (!time) {
            if (listed->lastWriteTime == kUnknownServerTime) {
                block.Failed(msg::kNotStampedServerTimeUnknown, {PrintableName(job.serverPath)});
                return std::nullopt;
            }
            int64_t serverTime = listed->lastWriteTime;
            if (listed->precision == TimePrecision::Day)
                serverTime = ExactServerTime(ctx_, connection, path, serverTime, clockOffset_);
            time = serverTime - clockOffset_;
        }
        if (!ctx_.fs.SetLastWriteTime(job.localPath, *time)) {
            block.Failed(msg::kTimestampChangeFailed, {job.serverPath}, std::strerror(errno));
            return std::nullopt;
        }
        // A file system that cannot hold the time (year 9999) keeps the
        // nearest it can: said here; the sync record keeps the file from
        // being copied again for it.
        if (const std::optional<LocalStatus> kept = ctx_.fs.GetStatus(job.localPath);
            kept && kept->lastWriteTime != *time)
            block.Add(msg::kLocalTimeClamped, {PrintableName(job.serverPath)});
        if (listed != nullptr)
            seen = *listed;
        return time;
    }

    // The connection broke (under mutex_). Copied files keep their lines,
    // without a stamp. Unless the run is cancelled: the last connection ends
    // the run as a broken connection does; otherwise the file in flight (of
    // the lane's last batch) fails and the rest of each chunk goes back to
    // the queue. Every batch is finished.
    void Broke(Lane& lane, bool inFlight, const std::string& error) {
        const bool last = alive_ == 1 && connecting_ == 0;
        --alive_;
        lastError_ = error;
        for (Batch& batch : lane) {
            const Chunk& chunk = batch.chunk;
            std::vector<Outcome>& pending = batch.pending;
            size_t rest = batch.first + pending.size();
            for (size_t i = 0; i < pending.size(); ++i) {
                Outcome& out = pending[i];
                if (!Awaiting(out))
                    continue;
                // Whether the server kept or renamed it is not known: it stays changed.
                out.awaits = Outcome::Awaits::Nothing;
                out.unsynced = true;
                if (!Cancelled())
                    out.block.Failed(msg::kUploadFailed, {chunk[batch.first + i].serverPath}, error);
            }
            if (Cancelled()) {
                dropped_ = dropped_ || rest < chunk.size();
            } else if (last) {
                fatal_ = error;
            } else {
                for (size_t i = 0; i < pending.size(); ++i) {
                    Outcome& out = pending[i];
                    if (out.copied && !out.stampTried)
                        out.block.Failed(msg::kNotStampedConnectionLost, {chunk[batch.first + i].serverPath});
                }
                if (inFlight && &batch == &lane.back()) {
                    const Job& failed = chunk[rest++];
                    Outcome& out = pending.emplace_back();
                    out.block.Failed(failed.direction == Direction::Upload ? msg::kUploadFailed : msg::kDownloadFailed,
                                     {failed.serverPath}, error);
                    out.unsynced = failed.direction == Direction::Upload;
                }
                if (rest < chunk.size())
                    queue_.emplace_front(chunk.begin() + static_cast<long>(rest), chunk.end());
            }
            Emit(batch.chunk, batch.first, batch.pending);
            --busy_;
        }
        lane.clear();
        changed_.notify_all();
    }

    // The pending blocks in the chunk's order up to the first awaiting its
    // rename, and what they change in the run state (under mutex_). Takes
    // them from pending and moves first on.
    void Emit(const Chunk& chunk, size_t& first, std::vector<Outcome>& pending) {
        RunState& state = ctx_.state;
        const size_t ready =
            static_cast<size_t>(std::find_if(pending.begin(), pending.end(), Awaiting) - pending.begin());
        for (size_t i = 0; i < ready; ++i) {
            const Outcome& out = pending[i];
            const Job& job = chunk[first + i];
            for (const std::string& line : out.block.lines)
                ctx_.log.AppendLogLine(line);
            state.flags.failedItems += out.block.failed;
            if (out.unsynced)
                state.results.unsyncedLocalFiles.push_back(job.scannedName);
            Record(job, out);
            if (!out.copied)
                continue;
            // The time the upload left the file with: the stamp, or the time it was sent with.
            if (job.direction == Direction::Upload && out.before)
                state.results.actedLocalTimes[job.scannedName] = out.stamped.value_or(out.before->lastWriteTime);
            ctx_.log.ShowFileCount(++done_, total_);
        }
        first += ready;
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(ready));
    }

    // What a copy left on both sides, for the next run's sync state (under
    // mutex_). An upload that reached the server is recorded also when the
    // local file changed meanwhile: the record then proves that edit.
    void Record(const Job& job, const Outcome& out) {
        const std::optional<FtpEntry>& server = out.stored ? out.stored : out.seen;
        if (!server || server->lastWriteTime == kUnknownServerTime)
            return;
        // The local time as the file system keeps it (it may clamp a stamp).
        int64_t stampKept = 0, sizeKept = -1;
        bool stampRead = false;
        if (out.stamped) {
            if (const std::optional<LocalStatus> now = ctx_.fs.GetStatus(job.localPath)) {
                stampKept = now->lastWriteTime;
                sizeKept = now->size;
                stampRead = true;
            }
        }
        if (job.direction == Direction::Upload && out.before && (out.copied || out.unsynced)) {
            const int64_t localTime = stampRead ? stampKept : out.before->lastWriteTime;
            ctx_.state.results.syncUpdates.emplace_back(job.scannedName,
                                                        MakeSyncRecord(true, localTime, out.before->size, *server));
        } else if (job.direction == Direction::Download && stampRead) {
            ctx_.state.results.syncUpdates.emplace_back(job.scannedName,
                                                        MakeSyncRecord(false, stampKept, sizeKept, *server));
        }
    }

    RunContext& ctx_;
    const int64_t clockOffset_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> queue_;
    int busy_ = 0;        // connections holding a chunk
    int alive_ = 1;       // connections logged in and not broken; the first one counts from the start
    int connecting_ = 0;  // extra connections still logging in
    bool refusalLogged_ = false;
    std::atomic<int> placing_{static_cast<int>(Placing::RenameOver)};
    std::atomic<bool> textUnconvertedSaid_{false};
    bool dropped_ = false;  // a cancel left files of a chunk undone
    // Why the last working connection broke: the run ends as on a broken connection.
    std::optional<std::string> fatal_;
    std::string lastError_;
    long long done_ = 0;
    const long long total_;
    const std::string home_;
};

}  // namespace

PhaseOutcome TransferFiles(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset) {
    RunState& state = ctx.state;
    const long long total = static_cast<long long>(transfer.size());
    // The directories the planning made are there before any connection stores into them.
    connection.SendHeld();
    ctx.log.ShowFileCount(0, total);
    // Extra connections need the parameters the first one logged in with, and
    // are worth their login when each takes a few files off the others.
    size_t extras = std::min(ExtraConnectionsAllowed(state), static_cast<size_t>(total) / kFilesPerExtraConnection);
    std::vector<Chunk> chunks = MakeChunks(state.settings, transfer, 1 + extras);
    extras = std::min(extras, chunks.empty() ? 0 : chunks.size() - 1);

    TransferPhase phase(ctx, clockOffset, std::move(chunks), total, connection.CurrentDirectory());
    phase.ExpectConnections(static_cast<int>(extras));
    // The extra logins: those started during the planning, and the rest now
    // (with the whole parameter set of the first connection, copied). Those
    // not needed are closed at the end.
    std::shared_ptr<ExtraConnections> logins = std::move(state.live.extraConnections);
    if (extras > 0 && !logins)
        logins = std::make_shared<ExtraConnections>(ctx.ftp, *state.results.connectParams);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < extras; ++i) {
        try {
            logins->Want(i + 1);
            threads.emplace_back([&phase, &logins] { phase.WorkOnExtraConnection(*logins); });
        } catch (const std::exception&) {
            // No thread for the rest: the connections already started do the work.
            phase.ExpectConnections(-static_cast<int>(extras - i));
            break;
        }
    }
    phase.Work(connection);
    // All done: a login still under way is not waited for.
    if (logins && phase.Completed())
        logins->Abandon();
    for (std::thread& thread : threads)
        thread.join();

    // A cancel during the last copies leaves the abort to the driver.
    if (state.flags.cancelRequested.load() && phase.CutShort()) {
        AbortRun(ctx, &connection, &transfer, msg::kRunCancelled, AbortMode::CloseAndFreeList);
        transfer.clear();
        return PhaseOutcome::RunEnded;
    }
    transfer.clear();
    // Every connection broke: the run ends as on a broken connection.
    if (!phase.Completed())
        throw FtpError(phase.Fatal().value_or(phase.LastError()));
    return PhaseOutcome::Done;
}

}  // namespace kestrum
