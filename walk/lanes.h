// One folder's thread files converted on two lanes: while one thread is being
// converted, the next ones may be prepared beside it, on the second core. Console
// lines, the tally and every change to what was there before follow the order
// of the folder listing, so a run does and shows what one lane alone would.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "thread/thread.h"
#include "walk/walk.h"

inline bool IsDotEntry(const std::string& name) {
    return name == "." || name == "..";
}

inline std::string Join(const std::string& parent, const std::string& name) {
    return parent + platform::kSeparator + name;
}

class FolderRun {
public:
    FolderRun(platform::DirectorySearch& search, const std::string& sourceFolder,
              const std::string& destinationFolder, const std::string& destinationRoot, RunTally& tally);
    // Prepares and commits threads on this lane until none is left or the run stops.
    void Convert(TransferBuffers& buffers);
    ConvertResult result() const { return stopped_ ? Abort : Continue; }

    // For the lanes: a thread's console line, held back until its turn.
    void Line(long long sequence, std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces);
    // Until every earlier thread is committed, committing those prepared
    // meanwhile; false when one of them stopped the run.
    bool WaitForTurn(long long sequence, TransferBuffers& buffers);

private:
    // How many threads may be taken and not yet committed.
    static constexpr long long kWindow = 32;

    bool TakeThreadFile(std::string& name, long long& sequence, bool& mayGoAhead);
    bool CommitReady(std::unique_lock<std::mutex>& lock, TransferBuffers& buffers);
    void PassTurn(long long sequence, ConvertResult result);

    std::mutex mutex_;
    std::condition_variable changed_;
    platform::DirectorySearch& search_;
    const std::string& sourceFolder_;
    const std::string& destinationFolder_;
    const std::string& destinationRoot_;
    RunTally& tally_;
    long long nextSequence_ = 0;
    long long turn_ = 0;  // the thread to commit next
    bool stopped_ = false;
    bool listingEnded_ = false;
    std::map<long long, PreparedThread> prepared_;  // waiting for their turn
    std::map<long long, std::string> digitStems_;   // of the threads taken and not yet committed
    std::map<long long, std::vector<std::pair<std::FILE*, std::string>>> heldLines_;
};

// A second thread that takes the second lane of every folder run it is given.
class Helper {
public:
    // When no second thread can be started, the walk goes on alone.
    void Start();
    void Help(FolderRun& run);
    // Until the helper has left the run it was given.
    void WaitUntilDone();
    void Stop();

private:
    static void Work(void* helper);
    void Loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    FolderRun* run_ = nullptr;
    bool quit_ = false;
    bool started_ = false;
    platform::Worker worker_;
    TransferBuffers buffers_;
};
