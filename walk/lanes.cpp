#include "walk/lanes.h"

namespace {

// "*.dat", ignoring letter case.
bool IsThreadFileName(const std::string& name) {
    if (name.size() < 4) return false;
    std::string suffix = name.substr(name.size() - 4);
    for (char& byte : suffix) {
        if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
    }
    return suffix == ".dat";
}

// The part before ".dat" if it is made of digits alone, else "". No letter
// case folding of any file system joins two different digit stems, so two
// threads with different ones can never share a copy or an index.
std::string DigitStem(const std::string& name) {
    std::string stem = name.substr(0, name.size() - 4);
    for (char byte : stem) {
        if (byte < '0' || byte > '9') return std::string();
    }
    return stem;
}

class FolderLane : public ThreadLane {
public:
    FolderLane(FolderRun& run, TransferBuffers& buffers, long long sequence)
        : ThreadLane(buffers), run_(run), sequence_(sequence) {}
    void Line(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) override {
        run_.Line(sequence_, stream, pieces);
    }
    bool WaitForTurn() override { return run_.WaitForTurn(sequence_, buffers); }

private:
    FolderRun& run_;
    long long sequence_;
};

}  // namespace

FolderRun::FolderRun(platform::DirectorySearch& search, const std::string& sourceFolder,
                     const std::string& destinationFolder, const std::string& destinationRoot, RunTally& tally)
    : search_(search),
      sourceFolder_(sourceFolder),
      destinationFolder_(destinationFolder),
      destinationRoot_(destinationRoot),
      tally_(tally) {}

// A thread goes ahead of the earlier ones unless its name could lead to the
// same files as one of theirs.
bool FolderRun::TakeThreadFile(std::string& name, long long& sequence, bool& mayGoAhead) {
    platform::DirectoryEntry entry;
    while (!listingEnded_ && platform::NextEntry(search_, entry)) {
        if (IsDotEntry(entry.name) || entry.isFolder || !IsThreadFileName(entry.name)) continue;
        name = entry.name;
        sequence = nextSequence_++;
        std::string stem = DigitStem(name);
        mayGoAhead = !stem.empty();
        for (const auto& taken : digitStems_) mayGoAhead = mayGoAhead && taken.second != stem;
        if (!stem.empty()) digitStems_.emplace(sequence, stem);
        return true;
    }
    listingEnded_ = true;
    return false;
}

void FolderRun::Convert(TransferBuffers& buffers) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        if (CommitReady(lock, buffers)) continue;
        if (stopped_) return;
        std::string name;
        long long sequence = 0;
        bool mayGoAhead = false;
        if (nextSequence_ - turn_ < kWindow && TakeThreadFile(name, sequence, mayGoAhead)) {
            lock.unlock();
            FolderLane lane(*this, buffers, sequence);
            PreparedThread prepared;
            if (mayGoAhead || lane.WaitForTurn()) {
                PrepareThread(Join(sourceFolder_, name), Join(destinationFolder_, name), destinationRoot_, lane,
                              prepared);
            }
            lock.lock();
            prepared_.emplace(sequence, std::move(prepared));
            changed_.notify_all();
            continue;
        }
        // Whatever is left is the other lane's: it holds the thread whose turn it is.
        if (listingEnded_) return;
        changed_.wait(lock);
    }
}

// Commits the thread whose turn it is, if it is prepared, or after a stop
// abandons every prepared one. True when it did either.
bool FolderRun::CommitReady(std::unique_lock<std::mutex>& lock, TransferBuffers& buffers) {
    if (stopped_ && !prepared_.empty()) {
        std::map<long long, PreparedThread> abandoned;
        abandoned.swap(prepared_);
        lock.unlock();
        for (auto& [sequence, prepared] : abandoned) AbandonThread(prepared);
        lock.lock();
        return true;
    }
    auto next = prepared_.find(turn_);
    if (stopped_ || next == prepared_.end()) return false;
    long long sequence = next->first;
    PreparedThread prepared = std::move(next->second);
    prepared_.erase(next);
    lock.unlock();
    FolderLane lane(*this, buffers, sequence);
    ConvertResult result = CommitThread(prepared, lane, tally_);
    lock.lock();
    PassTurn(sequence, result);
    return true;
}

void FolderRun::Line(long long sequence, std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string bytes = platform::FormatLine(pieces);  // under the lock: the console's converter is shared
    if (sequence == turn_) {
        platform::WriteFormatted(stream, bytes);
    } else {
        heldLines_[sequence].emplace_back(stream, std::move(bytes));
    }
}

bool FolderRun::WaitForTurn(long long sequence, TransferBuffers& buffers) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopped_ && turn_ != sequence) {
        if (!CommitReady(lock, buffers)) changed_.wait(lock);
    }
    return !stopped_;
}

// Called with the lock held. After a stop, the later threads' lines are
// dropped with all they did.
void FolderRun::PassTurn(long long sequence, ConvertResult result) {
    digitStems_.erase(sequence);
    if (result == Abort) stopped_ = true;
    turn_ = sequence + 1;
    if (stopped_) {
        heldLines_.clear();
    } else if (auto held = heldLines_.find(turn_); held != heldLines_.end()) {
        for (const auto& [stream, bytes] : held->second) platform::WriteFormatted(stream, bytes);
        heldLines_.erase(held);
    }
    changed_.notify_all();
}

void Helper::Start() {
    started_ = platform::StartWorker(Work, this, worker_);
}

void Helper::Help(FolderRun& run) {
    if (!started_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    run_ = &run;
    changed_.notify_all();
}

void Helper::WaitUntilDone() {
    if (!started_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return run_ == nullptr; });
}

void Helper::Stop() {
    if (!started_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        changed_.notify_all();
    }
    platform::JoinWorker(worker_);
    started_ = false;
}

void Helper::Work(void* helper) {
    static_cast<Helper*>(helper)->Loop();
}

void Helper::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return run_ != nullptr || quit_; });
        if (run_ == nullptr) return;
        FolderRun* run = run_;
        lock.unlock();
        run->Convert(buffers_);
        lock.lock();
        run_ = nullptr;
        changed_.notify_all();
    }
}
