#include "cli/Commands.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "cli/CategoriesFile.h"
#include "cli/Charts.h"
#include "cli/Classifier.h"
#include "cli/ConfusionMatrix.h"
#include "cli/InterruptFlag.h"
#include "cli/LossLog.h"
#include "cli/Region.h"
#include "cli/ResultTable.h"
#include "cli/Scores.h"
#include "cli/Shard.h"
#include "common/DataSet.h"
#include "common/NetworkBuilder.h"
#include "common/NetworkHeader.h"
#include "common/ProgressDisplay.h"
#include "common/RateSchedule.h"
#include "common/SampleOrder.h"
#include "common/WorkingDirectory.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kNetworkFile = "Network.data";
// The data-set folder of each category whose name cannot be a folder's,
// kept beside the network in the form of a categories file.
const char* const kFoldersFile = "category-folders.txt";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

fs::path Absolute(const fs::path& path) {
    return path.empty() ? path : fs::absolute(path).lexically_normal();
}

// Called in the network's folder.
DataSet LoadData(const CommandOptions& options, const std::vector<std::string>& categories) {
    if (!options.idxImages.empty()) {
        return DataSet::FromIdx(options.idxImages, options.idxLabels, categories.size());
    }
    const bool mapped = fs::exists(kFoldersFile);
    return DataSet::FromFolder(options.data, categories,
                               mapped ? CategoriesFile::Read(kFoldersFile).Folders()
                                      : std::map<std::string, std::string>());
}

std::string DataName(const CommandOptions& options) {
    return options.idxImages.empty() ? options.data.string() : options.idxImages.string();
}

// Mean absolute difference between scores and the one-hot answer: the loss
// the library reports while training, so train and eval losses compare.
double MeanError(const std::vector<float>& scores, std::size_t label) {
    double sum = 0.0;
    for (std::size_t c = 0; c < scores.size(); ++c) {
        sum += std::fabs(static_cast<double>(scores[c]) - (c == label ? 1.0 : 0.0));
    }
    return scores.empty() ? 0.0 : sum / static_cast<double>(scores.size());
}

// What training and evaluation both start from: the network's folder as the
// working directory, the network (not loaded yet), its categories, and the
// data matched to them.
struct DataRun {
    explicit DataRun(const CommandOptions& options)
        : here(options.network),
          network((options.network / kNetworkFile).string()),
          names(network.Categories()),
          data(LoadData(options, names)),
          order(options.seed) {}

    const WorkingDirectory here;
    Classifier network;
    const std::vector<std::string> names;
    const DataSet data;
    SampleOrder order;
};

// Runs `step` on the sample called `name`, putting the name in front of any
// error it raises.
template <typename Step>
auto NamingSample(const std::string& name, Step step) -> decltype(step()) {
    try {
        return step();
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(name + ": " + error.what());
    }
}

std::string Percent(double share) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(2) << share * 100.0 << '%';
    return out.str();
}

std::string Rate(std::size_t samples, double seconds) {
    std::ostringstream out;
    out << samples << " samples in " << std::fixed << std::setprecision(1) << seconds << " s ("
        << (seconds > 0.0 ? static_cast<double>(samples) / seconds : 0.0) << " samples/s)";
    return out.str();
}

}  // namespace

Commands::Commands(CommandOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), out_(out), err_(err) {
    ResolvePaths();
}

void Commands::ResolvePaths() {
    options_.network = Absolute(options_.network);
    options_.categoriesFile = Absolute(options_.categoriesFile);
    options_.categoriesFrom = Absolute(options_.categoriesFrom);
    options_.data = Absolute(options_.data);
    options_.idxImages = Absolute(options_.idxImages);
    options_.idxLabels = Absolute(options_.idxLabels);
    for (fs::path& image : options_.images) image = Absolute(image);
    options_.output = Absolute(options_.output);
}

void Commands::CheckDataChoice() const {
    const bool folder = !options_.data.empty();
    const bool idx = !options_.idxImages.empty() || !options_.idxLabels.empty();
    if (folder == idx) {
        throw std::invalid_argument(
            "give either a data folder or --idx-images and --idx-labels, not both or neither");
    }
    if (idx && (options_.idxImages.empty() || options_.idxLabels.empty())) {
        throw std::invalid_argument("--idx-images and --idx-labels go together");
    }
}

int Commands::Init() {
    const auto [width, height] = NetworkHeader::ParseSize(options_.size);
    const int sources = !options_.categories.empty() + !options_.categoriesFile.empty() +
                        !options_.categoriesFrom.empty();
    if (sources != 1) {
        throw std::invalid_argument(
            "give the categories with exactly one of --categories, --categories-file and "
            "--categories-from");
    }
    std::vector<std::string> names = options_.categories;
    std::map<std::string, std::string> folders;
    if (!options_.categoriesFile.empty()) {
        const CategoriesFile file = CategoriesFile::Read(options_.categoriesFile);
        names = file.Names();
        folders = file.Folders();
    } else if (!options_.categoriesFrom.empty()) {
        names = DataSet::CategoriesOf(options_.categoriesFrom);
    }
    const NetworkHeader header(width, height, names);

    fs::create_directories(options_.network);
    const fs::path file = options_.network / kNetworkFile;
    if (fs::exists(file) && !options_.force) {
        throw std::invalid_argument(file.string() + " already exists (--force replaces it)");
    }
    NetworkBuilder::Build(options_.network, header, [&] {
        Classifier network("the new " + options_.size + " network");
        // The file holds no weights yet: the library makes them.
        network.Load(options_.threads, true);
        network.Save();
    });
    const fs::path mapping = options_.network / kFoldersFile;
    if (folders.empty()) {
        fs::remove(mapping);  // one that an earlier network left
    } else {
        std::ofstream out(mapping, std::ios::binary);
        out << CategoriesFile::MappingText(names, folders);
        if (!out.flush()) throw std::runtime_error("cannot write " + mapping.string());
    }
    out_ << "Created " << file.string() << ": " << width << 'x' << height << ", " << names.size()
         << " categories" << std::endl;
    return 0;
}

int Commands::Train() {
    CheckDataChoice();
    if (options_.keepBest && options_.validate == 0) {
        throw std::invalid_argument("--keep-best needs --validate");
    }
    DataRun run(options_);
    Classifier& network = run.network;
    const DataSet& data = run.data;
    std::vector<std::size_t> picked = run.order.Pick(data.Size(), options_.limit);
    if (picked.empty()) throw std::runtime_error("no samples in " + DataName(options_));
    // The validation samples are drawn with the seed and never trained on.
    std::vector<std::size_t> validation;
    if (options_.validate > 0) {
        if (options_.validate >= picked.size()) {
            throw std::invalid_argument("--validate " + std::to_string(options_.validate) +
                                        " leaves no training samples of " +
                                        std::to_string(picked.size()));
        }
        run.order.Shuffle(picked);
        validation.assign(picked.begin(), picked.begin() + static_cast<long>(options_.validate));
        picked.erase(picked.begin(), picked.begin() + static_cast<long>(options_.validate));
    }
    // Read first: a history that cannot be extended stops the run before it trains.
    LossLog log = LossLog::Read("loss.csv");
    const std::size_t runNumber = log.NextRun();

    // Installed before the load, so that Ctrl-C at any point from here on
    // still ends with a saved network.
    const InterruptFlag interrupt;
    network.Load(options_.threads, options_.allowIncomplete);
    out_ << "Training on " << picked.size() << " samples of " << DataName(options_) << ", "
         << options_.epochs << " epoch(s), seed " << options_.seed;
    if (!validation.empty()) out_ << ", " << validation.size() << " held out to validate";
    out_ << std::endl;

    ProgressDisplay progress(out_, ProgressDisplay::StdoutIsTerminal());
    const std::size_t total = picked.size() * options_.epochs;
    const std::size_t lossEvery = std::max<std::size_t>(options_.lossEvery, 1);
    const RateSchedule schedule(options_.learningRate, options_.finalRate, total, lossEvery);
    std::size_t done = 0;
    bool stopped = false;
    double best = -1.0;
    std::size_t bestEpoch = 0;
    std::set<std::string> skipped;  // images passed over with --skip-unreadable, once each
    std::string failure;            // the image that stopped the run without it
    // Runs `step` on a sample's image. An image that cannot be read or used
    // is passed over with --skip-unreadable and stops the run without it;
    // either way the result is false.
    const auto onSample = [&](std::size_t index, const auto& step) {
        try {
            const cv::Mat image = data.Image(index);
            NamingSample(data.Describe(index), [&] { step(image); });
            return true;
        } catch (const std::runtime_error& error) {
            if (options_.skipUnreadable) {
                skipped.insert(error.what());
            } else {
                failure = error.what();
                stopped = true;
            }
            return false;
        }
    };
    const Clock::time_point start = Clock::now();
    for (std::size_t epoch = 1; epoch <= options_.epochs && !stopped; ++epoch) {
        run.order.Shuffle(picked);
        double lossSum = 0.0, pointSum = 0.0;
        std::size_t epochDone = 0, pointDone = 0;
        ProgressDisplay::State state{epoch, options_.epochs, done, total, 0.0, 0.0};
        // One loss point for the samples since the last one.
        const auto addPoint = [&] {
            log.Add({runNumber, epoch, done, schedule.At(done - 1),
                     pointSum / static_cast<double>(pointDone), -1.0});
            pointSum = 0.0;
            pointDone = 0;
        };
        for (const std::size_t index : picked) {
            if (interrupt.Raised()) {
                stopped = true;
                break;
            }
            if (schedule.ChangesAt(done)) {
                network.SetLearningRate(static_cast<float>(schedule.At(done)));
            }
            float loss = 0.0f;
            if (!onSample(index, [&](const cv::Mat& image) {
                    loss = network.Train(image, Region::Whole(image),
                                         Scores::OneHot(data.Label(index), run.names.size()));
                })) {
                if (stopped) break;
                continue;
            }
            lossSum += loss;
            pointSum += loss;
            ++epochDone;
            ++pointDone;
            ++done;
            if (pointDone == lossEvery) addPoint();
            state = {epoch, options_.epochs,     done,
                     total, SecondsSince(start), lossSum / static_cast<double>(epochDone)};
            progress.Update(state);
        }
        if (pointDone > 0) addPoint();
        state.elapsedSeconds = SecondsSince(start);
        progress.Finish(state);
        bool save = !options_.keepBest || bestEpoch == 0;
        // An image that stops the run during validation still leaves this
        // epoch's training saved (unless an earlier epoch validated better).
        if (!stopped && !validation.empty()) {
            std::size_t right = 0, seen = 0;
            for (const std::size_t index : validation) {
                const bool used = onSample(index, [&](const cv::Mat& image) {
                    const std::vector<float> scores = network.Predict(image, Region::Whole(image));
                    if (Scores::Top(scores, 1).front() == data.Label(index)) ++right;
                    ++seen;
                });
                if (!used && stopped) break;
            }
            if (!stopped) {
                const double accuracy =
                    seen == 0 ? 0.0 : static_cast<double>(right) / static_cast<double>(seen);
                log.SetLastValidation(accuracy);
                out_ << "epoch " << epoch << ": validation accuracy " << Percent(accuracy)
                     << std::endl;
                if (accuracy > best) {
                    best = accuracy;
                    bestEpoch = epoch;
                    save = true;
                }
            }
        }
        if (save) network.Save();
        log.WriteCsv("loss.csv");
        Charts::Save("loss.png", Charts::LossCurve(log));
    }
    const double seconds = SecondsSince(start);
    out_ << "Trained " << Rate(done, seconds) << "; loss every " << lossEvery << " samples in "
         << (options_.network / "loss.csv").string() << " (run " << runNumber << "), plotted in "
         << (options_.network / "loss.png").string() << std::endl;
    const bool heldBest = options_.keepBest && bestEpoch > 0;
    if (heldBest) {
        out_ << "Network.data holds epoch " << bestEpoch << ", the best on validation ("
             << Percent(best) << ")" << std::endl;
    }
    ListSkipped(skipped);
    if (!failure.empty()) {
        throw std::runtime_error(failure + "; " + (heldBest ? "stopped" : "network saved") +
                                 " after " + std::to_string(done) + " of " + std::to_string(total) +
                                 " samples (--skip-unreadable goes past such images)");
    }
    if (stopped) {
        out_ << "Interrupted: " << (heldBest ? "stopped" : "network saved") << " after " << done
             << " of " << total << " samples" << std::endl;
        return kInterrupted;
    }
    return 0;
}

int Commands::Eval() {
    CheckDataChoice();
    DataRun run(options_);
    Classifier& network = run.network;
    const std::vector<std::string>& names = run.names;
    const DataSet& data = run.data;
    const Shard shard = Shard::FromOption(options_.shard);
    // The same seed picks the same list in every shard, so the shards split it exactly.
    const std::vector<std::size_t> picked =
        shard.Select(run.order.Pick(data.Size(), options_.limit));
    if (picked.empty()) throw std::runtime_error("no samples in " + DataName(options_));
    ResultTable table(options_.output, {"sample", "source", "label", "predicted", "score"});
    // Installed before the load, so that Ctrl-C at any point from here on
    // still shows the results so far.
    const InterruptFlag interrupt;
    network.Load(options_.threads, options_.allowIncomplete);
    out_ << "Evaluating on " << picked.size() << " samples of " << DataName(options_) << std::endl;

    ConfusionMatrix matrix(names.size());
    ProgressDisplay progress(out_, ProgressDisplay::StdoutIsTerminal());
    double errorSum = 0.0;
    std::size_t done = 0;
    std::size_t failed = 0;
    std::set<std::string> skipped;
    bool stopped = false;
    const Clock::time_point start = Clock::now();
    ProgressDisplay::State state{1, 1, 0, picked.size(), 0.0, 0.0};
    for (const std::size_t index : picked) {
        if (interrupt.Raised()) {
            stopped = true;
            break;
        }
        std::vector<float> scores;
        try {
            const cv::Mat image = data.Image(index);
            scores = NamingSample(data.Describe(index),
                                  [&] { return network.Predict(image, Region::Whole(image)); });
        } catch (const std::runtime_error& error) {
            if (options_.skipUnreadable) {
                skipped.insert(error.what());
            } else {
                err_ << "corvane: " << error.what() << std::endl;
                ++failed;
            }
            continue;
        }
        const std::size_t best = Scores::Top(scores, 1).front();
        matrix.Add(data.Label(index), best);
        table.Row({std::to_string(index), data.Describe(index), names[data.Label(index)],
                   names[best], ResultTable::Number(scores[best])});
        errorSum += MeanError(scores, data.Label(index));
        ++done;
        state = {
            1, 1, done, picked.size(), SecondsSince(start), errorSum / static_cast<double>(done)};
        progress.Update(state);
    }
    state.elapsedSeconds = SecondsSince(start);
    progress.Finish(state);
    const double seconds = SecondsSince(start);

    if (stopped) {
        out_ << "\nInterrupted: partial results, " << done << " of " << picked.size()
             << " samples evaluated\n";
    }
    if (const std::optional<double> accuracy = matrix.Accuracy()) {
        std::size_t right = 0;
        for (std::size_t c = 0; c < names.size(); ++c) right += matrix.Count(c, c);
        out_ << "\naccuracy: " << std::fixed << std::setprecision(2) << *accuracy * 100.0 << "% ("
             << std::defaultfloat << right << " of " << matrix.Total() << ")\n\n"
             << matrix.Report(names) << '\n';
        Charts::Save("confusion.png", Charts::ConfusionHeatMap(matrix, names));
        out_ << "Predicted " << Rate(done, seconds) << "; heat map in "
             << (options_.network / "confusion.png").string() << std::endl;
    }
    ListSkipped(skipped);
    if (stopped) return kInterrupted;
    return failed == 0 ? 0 : kFailed;
}

void Commands::ListSkipped(const std::set<std::string>& skipped) const {
    if (skipped.empty()) return;
    err_ << "corvane: skipped " << skipped.size() << " unreadable image(s):\n";
    for (const std::string& why : skipped) err_ << "  " << why << '\n';
    err_ << std::flush;
}

int Commands::Predict() {
    if (options_.images.empty()) throw std::invalid_argument("no image given");
    if (options_.top == 0) throw std::invalid_argument("--top must be at least 1");
    const Shard shard = Shard::FromOption(options_.shard);
    const std::vector<fs::path> files = shard.Select(options_.images);
    const bool haveRegion = !options_.region.empty();
    const Region region = haveRegion ? Region::Parse(options_.region) : Region();

    const WorkingDirectory here(options_.network);
    Classifier network((options_.network / kNetworkFile).string());
    const std::vector<std::string> names = network.Categories();
    ResultTable table(options_.output, {"image", "rank", "category", "score"});
    network.Load(options_.threads, options_.allowIncomplete);

    // An image that fails gets one line and the others their results; the
    // exit status tells that some failed.
    std::size_t failed = 0;
    nlohmann::json results = nlohmann::json::array();
    for (const fs::path& file : files) {
        std::vector<float> scores;
        try {
            const cv::Mat image = DataSet::ReadImage(file);
            if (haveRegion) region.CheckInside(image, file.string());
            scores = NamingSample(file.string(), [&] {
                return network.Predict(image, haveRegion ? region : Region::Whole(image));
            });
        } catch (const std::runtime_error& error) {
            err_ << "corvane: " << error.what() << std::endl;
            ++failed;
            continue;
        }
        const std::vector<std::size_t> best = Scores::Top(scores, options_.top);
        for (std::size_t r = 0; r < best.size(); ++r) {
            table.Row({file.string(), std::to_string(r + 1), names[best[r]],
                       ResultTable::Number(scores[best[r]])});
        }
        if (options_.json) {
            nlohmann::json ranked = nlohmann::json::array();
            for (const std::size_t c : best) {
                ranked.push_back({{"category", names[c]}, {"score", scores[c]}});
            }
            results.push_back({{"image", file.string()}, {"top", ranked}});
        } else {
            out_ << file.string() << '\n';
            for (std::size_t r = 0; r < best.size(); ++r) {
                out_ << "  " << r + 1 << ". " << names[best[r]] << ' ' << std::fixed
                     << std::setprecision(4) << scores[best[r]] << '\n';
            }
        }
    }
    if (options_.json) out_ << results.dump(2) << '\n';
    out_ << std::flush;
    return failed == 0 ? 0 : kFailed;
}

int Commands::Categories() {
    const WorkingDirectory here(options_.network);
    Classifier network((options_.network / kNetworkFile).string());
    for (const std::string& name : network.Categories()) out_ << name << '\n';
    out_ << std::flush;
    return 0;
}
