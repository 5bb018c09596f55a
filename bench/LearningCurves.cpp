// Learning curves: trains the network of a folder on an IDX training set
// with a learning rate (constant or falling) and measures the accuracy on
// a whole IDX test set after chosen numbers of samples; or draws the curves
// of several such runs in one chart. Goes through corvane.h like any host.
//
//   corvane_curves --network DIR --idx-images F --idx-labels F
//       --test-images F --test-labels F --rate R [--final-rate R2]
//       --points 10000,20000,... [--seed S] [--threads T] --name NAME --output curve.csv
//   corvane_curves --chart curves.png curve1.csv curve2.csv ...
#include <CLI/CLI.hpp>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Charts.h"
#include "cli/Classifier.h"
#include "cli/Region.h"
#include "cli/Scores.h"
#include "common/DataSet.h"
#include "common/RateSchedule.h"
#include "common/SampleOrder.h"
#include "common/WorkingDirectory.h"

namespace {

constexpr std::size_t kRateStep = 1000;

struct Options {
    std::string network, images, labels, testImages, testLabels, name, output, chart;
    double rate = 0.0, finalRate = 0.0;
    std::vector<std::size_t> points;
    std::uint32_t seed = 1;
    unsigned threads = 1;
    std::vector<std::string> curves;
};

// The share of the test set whose best score is its own category.
double Accuracy(Classifier& network, const DataSet& test) {
    std::size_t right = 0;
    for (std::size_t index = 0; index < test.Size(); ++index) {
        const cv::Mat image = test.Image(index);
        const std::vector<float> scores = network.Predict(image, Region::Whole(image));
        if (Scores::Top(scores, 1).front() == test.Label(index)) ++right;
    }
    return static_cast<double>(right) / static_cast<double>(test.Size());
}

int Measure(const Options& o) {
    const std::string images = std::filesystem::absolute(o.images),
                      labels = std::filesystem::absolute(o.labels);
    const std::string testImages = std::filesystem::absolute(o.testImages),
                      testLabels = std::filesystem::absolute(o.testLabels);
    std::ofstream out(std::filesystem::absolute(o.output), std::ios::binary);
    out << "name,samples,learning_rate,test_accuracy\n";
    const WorkingDirectory here(o.network);
    Classifier network("the network in " + o.network);
    const std::size_t categories = network.Categories().size();
    const DataSet train = DataSet::FromIdx(images, labels, categories);
    const DataSet test = DataSet::FromIdx(testImages, testLabels, categories);
    network.Load(o.threads, false);
    const std::size_t total = o.points.back();
    const RateSchedule schedule(o.rate, o.finalRate, total, kRateStep);
    SampleOrder order(o.seed);
    std::vector<std::size_t> picked = order.Pick(train.Size(), 0);
    std::size_t done = 0, next = 0;
    while (done < total) {
        order.Shuffle(picked);
        for (const std::size_t index : picked) {
            if (done == total) break;
            if (schedule.ChangesAt(done))
                network.SetLearningRate(static_cast<float>(schedule.At(done)));
            const cv::Mat image = train.Image(index);
            network.Train(image, Region::Whole(image),
                          Scores::OneHot(train.Label(index), categories));
            ++done;
            if (done == o.points[next]) {
                const double accuracy = Accuracy(network, test);
                out << o.name << ',' << done << ',' << schedule.At(done - 1) << ',' << accuracy
                    << std::endl;
                std::cerr << o.name << ": " << done << " samples, " << std::fixed
                          << std::setprecision(2) << accuracy * 100.0 << "%" << std::defaultfloat
                          << std::endl;
                ++next;
            }
        }
    }
    return 0;
}

int Chart(const Options& o) {
    std::vector<Charts::Series> series;
    for (const std::string& file : o.curves) {
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        Charts::Series curve;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string name, samples, rate, accuracy;
            std::getline(fields, name, ',');
            std::getline(fields, samples, ',');
            std::getline(fields, rate, ',');
            std::getline(fields, accuracy, ',');
            curve.name = name;
            curve.points.emplace_back(std::stod(samples), std::stod(accuracy));
        }
        series.push_back(curve);
    }
    Charts::Save(o.chart,
                 Charts::AccuracyChart("test accuracy (%), all 10000 test images", series));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app("learning curves of a Corvane network", "corvane_curves");
    const std::pair<const char*, std::string*> texts[] = {
        {"--network", &o.network},        {"--idx-images", &o.images},
        {"--idx-labels", &o.labels},      {"--test-images", &o.testImages},
        {"--test-labels", &o.testLabels}, {"--name", &o.name},
        {"--output", &o.output},          {"--chart", &o.chart}};
    for (const auto& [option, field] : texts) app.add_option(option, *field);
    app.add_option("--rate", o.rate);
    app.add_option("--final-rate", o.finalRate);
    app.add_option("--points", o.points)->delimiter(',');
    app.add_option("--seed", o.seed);
    app.add_option("--threads", o.threads);
    app.add_option("CURVES", o.curves);
    CLI11_PARSE(app, argc, argv);
    try {
        return o.chart.empty() ? Measure(o) : Chart(o);
    } catch (const std::exception& error) {
        std::cerr << "corvane_curves: " << error.what() << std::endl;
        return 1;
    }
}
