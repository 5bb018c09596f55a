#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <opencv2/core/utils/logger.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli/LibraryOutput.h"

namespace {

constexpr int kBadArguments = 2;

// Errors must stay on one line, whatever a message carries.
std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

// CLI11 reads "-5" into an unsigned number as a huge one, which a count or a
// seed would then take for "all"; none of them is ever negative.
const CLI::Validator kNotNegative(
    [](std::string& text) {
        const std::size_t first = text.find_first_not_of(" \t");
        return first != std::string::npos && text[first] == '-'
                   ? "must not be negative, not " + text
                   : std::string();
    },
    "NUMBER");

void AddNetworkOptions(CLI::App& command, CommandOptions& options, bool loads) {
    command.add_option("--network", options.network,
                       "folder of the network file Network.data (default: current folder)");
    command.add_flag("--quiet", options.quiet,
                     "drop the library's own lines (otherwise on standard error)");
    if (loads) {
        command
            .add_option("--threads", options.threads,
                        "worker threads per pool of the network (default: one per core)")
            ->check(CLI::Range(1u, 256u));
    }
}

void AddLoadOptions(CLI::App& command, CommandOptions& options) {
    AddNetworkOptions(command, options, true);
    command.add_flag("--allow-incomplete", options.allowIncomplete,
                     "use a network file that holds fewer weights than its header implies");
}

void AddDataOptions(CLI::App& command, CommandOptions& options) {
    command.add_option("DATA", options.data, "folder with one sub-folder of images per category");
    command.add_option("--idx-images", options.idxImages, "IDX image file (gzip or plain)");
    command.add_option("--idx-labels", options.idxLabels, "IDX label file (gzip or plain)");
    command
        .add_option("--limit", options.limit,
                    "use only this many samples, picked at random with the seed (0: all)")
        ->check(kNotNegative);
    command.add_option("--seed", options.seed, "seed of the sample order (default: 1)")
        ->check(kNotNegative);
    command.add_flag("--skip-unreadable", options.skipUnreadable,
                     "go on past images that cannot be used, listing them at the end");
}

void AddShardOptions(CLI::App& command, CommandOptions& options) {
    command.add_option("--shard", options.shard,
                       "i/n: only every n-th input, starting at input i (from 0)");
    command.add_option("--output", options.output, "also write one CSV row per input here");
}

}  // namespace

CommandLine::CommandLine(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

int CommandLine::Run(int argc, char** argv) {
    CommandOptions options;
    options.threads = std::max(1u, std::thread::hardware_concurrency());

    CLI::App app("Trains and runs a Corvane image classifier (the network is Network.data)",
                 "corvane");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("corvane ") + CORVANE_VERSION,
                         "print the version and exit");

    CLI::App* init = app.add_subcommand("init", "create a network with fresh weights");
    AddNetworkOptions(*init, options, true);
    init->add_option("--size", options.size, "input size WxH, multiples of 32 (e.g. 32x32)")
        ->required();
    init->add_option("--categories", options.categories, "category names, comma separated")
        ->delimiter(',');
    init->add_option("--categories-file", options.categoriesFile,
                     "file with one name per line, or NAME = FOLDER where the data set's folder "
                     "has another name");
    init->add_option("--categories-from", options.categoriesFrom,
                     "the sub-folder names of a data folder, or the labels of an IDX label file");
    init->add_flag("--force", options.force, "replace an existing Network.data");

    CLI::App* train = app.add_subcommand("train", "train the network on labelled images");
    AddLoadOptions(*train, options);
    AddDataOptions(*train, options);
    train->add_option("--epochs", options.epochs, "passes over the data (default: 1)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
    train
        ->add_option("--learning-rate", options.learningRate,
                     "learning rate, above 0 and at most 1 (default: the library's, 0.0005)")
        ->check(CLI::Range(1e-9, 1.0));
    train
        ->add_option("--final-rate", options.finalRate,
                     "let the rate fall geometrically to this by the last sample")
        ->check(CLI::Range(1e-9, 1.0))
        ->needs("--learning-rate");
    train
        ->add_option("--validate", options.validate,
                     "hold out this many samples, picked with the seed, and measure the "
                     "accuracy on them after each epoch")
        ->check(kNotNegative);
    train->add_flag("--keep-best", options.keepBest,
                    "leave the network of the epoch that validated best (needs --validate)");
    train
        ->add_option("--loss-every", options.lossEvery,
                     "samples per point of the loss curve (default: 1000)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 40));

    CLI::App* eval = app.add_subcommand("eval", "measure accuracy on labelled images");
    AddLoadOptions(*eval, options);
    AddDataOptions(*eval, options);
    AddShardOptions(*eval, options);

    CLI::App* predict = app.add_subcommand("predict", "show the best categories of images");
    AddLoadOptions(*predict, options);
    predict->add_option("IMAGE", options.images, "image files")->required();
    predict->add_option("--region", options.region, "part of each image to use: x,y,w,h");
    predict->add_option("--top", options.top, "how many categories to show (default: 3)")
        ->check(kNotNegative);
    predict->add_flag("--json", options.json, "print JSON instead of text");
    AddShardOptions(*predict, options);

    CLI::App* categories = app.add_subcommand("categories", "list the category names");
    AddNetworkOptions(*categories, options, false);

    CLI::App* help = app.add_subcommand("help", "show the help of the program or of a command");
    std::string topic;
    help->add_option("COMMAND", topic, "the command to explain");

    // CLI11 reports an unknown command only as a missing one.
    const std::vector<CLI::App*> commands = app.get_subcommands({});
    const auto find = [&](const std::string& name) -> CLI::App* {
        const auto found = std::find_if(commands.begin(), commands.end(), [&](CLI::App* command) {
            return command->check_name(name);
        });
        return found == commands.end() ? nullptr : *found;
    };
    const auto unknown = [&](const std::string& name) {
        err_ << "corvane: unknown command \"" << OneLine(name)
             << "\" (commands: init, train, eval, predict, categories, help)" << std::endl;
        return kBadArguments;
    };
    if (argc > 1 && argv[1][0] != '-' && find(argv[1]) == nullptr) return unknown(argv[1]);
    // Failures are reported once, in our own words; OpenCV's warnings would
    // add lines of their own.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& request) {
        return app.exit(request, out_, err_);
    } catch (const CLI::CallForAllHelp& request) {
        return app.exit(request, out_, err_);
    } catch (const CLI::CallForVersion& request) {
        return app.exit(request, out_, err_);
    } catch (const CLI::ParseError& error) {
        err_ << "corvane: " << OneLine(error.what()) << " (see corvane --help)" << std::endl;
        return kBadArguments;
    }

    if (help->parsed()) {
        if (topic.empty()) {
            // app.help() would explain the chosen command, `help` itself.
            out_ << app.get_formatter()->make_help(&app, "corvane", CLI::AppFormatMode::Normal)
                 << std::flush;
        } else if (CLI::App* command = find(topic)) {
            out_ << command->help("corvane") << std::flush;
        } else {
            return unknown(topic);
        }
        return 0;
    }

    // Results go where out_ led before std::cout (which may be out_) was
    // turned to the library's lines.
    std::ostream results(out_.rdbuf());
    const LibraryOutput library(options.quiet ? nullptr : err_.rdbuf());
    try {
        Commands commands(options, results, err_);
        if (init->parsed()) return commands.Init();
        if (train->parsed()) return commands.Train();
        if (eval->parsed()) return commands.Eval();
        if (predict->parsed()) return commands.Predict();
        return commands.Categories();
    } catch (const std::invalid_argument& error) {
        results << std::flush;
        err_ << "corvane: " << OneLine(error.what()) << std::endl;
        return kBadArguments;
    } catch (const std::exception& error) {
        results << std::flush;
        err_ << "corvane: " << OneLine(error.what()) << std::endl;
        return Commands::kFailed;
    }
}
