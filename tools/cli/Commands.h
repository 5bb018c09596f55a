#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

// What the command line asked for; each command reads the fields it needs.
struct CommandOptions {
    std::filesystem::path network = ".";
    unsigned threads = 1;
    bool quiet = false;            // drop the library's own lines
    bool allowIncomplete = false;  // load a network file that lacks weights

    // init
    std::string size;
    std::vector<std::string> categories;
    std::filesystem::path categoriesFile;
    std::filesystem::path categoriesFrom;  // a data set whose categories to take
    bool force = false;

    // train and eval: a folder of category sub-folders or an IDX pair
    std::filesystem::path data;
    std::filesystem::path idxImages;
    std::filesystem::path idxLabels;
    std::size_t epochs = 1;
    std::size_t limit = 0;
    std::uint32_t seed = 1;
    bool skipUnreadable = false;  // go on past images that fail, listing them at the end

    // train: the rate of the first sample (0: the library's own), falling
    // geometrically to finalRate (0: no fall) by the last; validation
    // samples held out of training; a loss point every lossEvery samples
    double learningRate = 0.0;
    double finalRate = 0.0;
    std::size_t validate = 0;
    bool keepBest = false;
    std::size_t lossEvery = 1000;

    // eval and predict: this process's slice of the inputs, and a CSV of
    // one row per input
    std::string shard;
    std::filesystem::path output;

    // predict
    std::vector<std::filesystem::path> images;
    std::string region;
    std::size_t top = 3;
    bool json = false;
};

// The commands of the `corvane` program. Each returns the exit status and
// throws on failure: std::invalid_argument for a bad request (status 2),
// anything else for a failure while doing it (status 1).
class Commands {
  public:
    // Status of a run that failed, in part or as a whole.
    static constexpr int kFailed = 1;
    // Status of a run stopped by Ctrl-C, after what it did was kept.
    static constexpr int kInterrupted = 130;

    // Results go to out; lines about single inputs that failed go to err.
    Commands(CommandOptions options, std::ostream& out, std::ostream& err);

    int Init();
    int Train();
    int Eval();
    int Predict();
    int Categories();

  private:
    // Paths given relative to where the program was started, made absolute
    // before the commands move into the network folder.
    void ResolvePaths();
    void CheckDataChoice() const;
    // Lists the images that --skip-unreadable passed over, at the end of a run.
    void ListSkipped(const std::set<std::string>& skipped) const;

    CommandOptions options_;
    std::ostream& out_;
    std::ostream& err_;
};
