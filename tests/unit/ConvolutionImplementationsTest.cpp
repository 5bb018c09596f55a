// The fast convolution paths against the reference, bit for bit: two layers
// made from the same weights and fed the same inputs, masks and targets, one
// run by the reference and one by a fast implementation, must hold the same
// bytes everywhere after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>

#include "layers/ConvolutionLayer.h"
#include "support/LayerTesting.h"

namespace {

using Implementation = ConvolutionLayer::Implementation;

// FastAvx2 differs from Fast only where the processor has AVX-512.
const Implementation kFastOnes[] = {Implementation::Fast, Implementation::FastAvx2,
                                    Implementation::FastPortable};

const char* Name(Implementation implementation) {
    return implementation == Implementation::Fast       ? "Fast"
           : implementation == Implementation::FastAvx2 ? "FastAvx2"
                                                        : "FastPortable";
}

// Restores the process-wide default when a test ends, however it ends.
class ImplementationGuard {
  public:
    ImplementationGuard() = default;
    ~ImplementationGuard() { ConvolutionLayer::SetImplementation(Implementation::Fast); }
    ImplementationGuard(const ImplementationGuard&) = delete;
    ImplementationGuard& operator=(const ImplementationGuard&) = delete;
};

struct Shape {
    int minKernel;
    int maxKernel;
    int stride;
    bool entry;
    // Many maps make groups of one pattern fill several vectors; few make
    // groups smaller than a vector, which the update runs in bundles.
    int outputs = 160;
};

// A layer with its own input planes. The input list object stays the same
// from pass to pass, as a module's list does. The planes lie one after
// another in one block, as a layer's output planes do, or apart, as a
// module's input maps (pooled and new ones) do.
class Subject {
  public:
    Subject(const Shape& shape, LayerPools& pools, Implementation implementation,
            cv::Size size = cv::Size(kWidth, kHeight), bool oneBlock = true)
        : implementation(implementation),
          layer(cv::Size(shape.minKernel, shape.minKernel),
                cv::Size(shape.maxKernel, shape.maxKernel), kInputs, shape.outputs, shape.stride,
                &pools, shape.entry) {
        layer.Configure(size);
        const cv::Mat block(size.height * kInputs, size.width, CV_32F, cv::Scalar(0));
        for (int k = 0; k < kInputs; ++k) {
            if (oneBlock)
                planes.push_back(block.rowRange(k * size.height, (k + 1) * size.height));
            else
                planes.emplace_back(size.height, size.width, CV_32F, cv::Scalar(0));
        }
        inputs = MapsOver(planes);
    }

    void Forward(const cv::Mat& mask) {
        ConvolutionLayer::SetImplementation(implementation);
        layer.Forward(inputs, &mask);
    }
    void Backward() {
        ConvolutionLayer::SetImplementation(implementation);
        layer.Backward();
    }

    static constexpr int kInputs = 11;
    static constexpr int kWidth = 14;
    static constexpr int kHeight = 11;

    Implementation implementation;
    ConvolutionLayer layer;
    std::vector<cv::Mat> planes;
    FeatureMaps inputs;
};

bool SameBytes(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The first difference between the two layers' state, or "" when none.
std::string Difference(Subject& reference, Subject& fast) {
    ConvolutionLayer& a = reference.layer;
    ConvolutionLayer& b = fast.layer;
    for (size_t i = 0; i < a.Outputs().size(); ++i)
        if (!SamePlane(*a.Outputs()[i].image, *b.Outputs()[i].image))
            return "output plane " + std::to_string(i);
    for (size_t k = 0; k < reference.planes.size(); ++k)
        if (!SamePlane(reference.planes[k], fast.planes[k]))
            return "input plane " + std::to_string(k);
    for (size_t i = 0; i < a.Kernels().size(); ++i) {
        if (!SameBytes(a.Kernels()[i].Weights(), b.Kernels()[i].Weights()))
            return "weights of kernel " + std::to_string(i);
        const float outputs[] = {a.Kernels()[i].Output(), b.Kernels()[i].Output()};
        if (std::memcmp(&outputs[0], &outputs[1], sizeof(float)) != 0)
            return "output of kernel " + std::to_string(i);
    }
    for (size_t p = 0; p < a.DepthLines().size(); ++p) {
        if (!SameBytes(a.ErrorShares(p), b.ErrorShares(p)))
            return "error rows of line " + std::to_string(p);
        if (a.DepthLines()[p].active != b.DepthLines()[p].active)
            return "active flag of line " + std::to_string(p);
    }
    const float totals[] = {a.GetError(false), b.GetError(false)};
    if (std::memcmp(&totals[0], &totals[1], sizeof(float)) != 0) return "error total";
    // The queues may differ in order, not in what they hold: each active line once.
    const auto queued = [](const ConvolutionLayer& layer) {
        std::vector<std::ptrdiff_t> positions;
        for (const DepthLine* line : layer.ActiveLines())
            positions.push_back(line - layer.DepthLines().data());
        std::sort(positions.begin(), positions.end());
        return positions;
    };
    if (queued(a) != queued(b)) return "queued lines";
    return "";
}

class RandomFeed {
  public:
    explicit RandomFeed(unsigned seed) : engine(seed) {}

    // Values in [0, 1] with some exact zeros, the same into every plane list.
    void Fill(std::vector<cv::Mat>& a, std::vector<cv::Mat>& b) {
        for (size_t k = 0; k < a.size(); ++k) {
            for (int y = 0; y < a[k].rows; ++y)
                for (int x = 0; x < a[k].cols; ++x) {
                    const float value = Chance(0.1) ? 0.0f : Uniform(0.0f, 1.0f);
                    a[k].at<float>(y, x) = value;
                    b[k].at<float>(y, x) = value;
                }
        }
    }
    void FillOutputs(ConvolutionLayer& a, ConvolutionLayer& b) {
        for (size_t i = 0; i < a.Outputs().size(); ++i) {
            std::vector<cv::Mat> pa{*a.Outputs()[i].image};
            std::vector<cv::Mat> pb{*b.Outputs()[i].image};
            Fill(pa, pb);  // the headers share the layers' planes
        }
    }
    // Weights wide enough that sums clip at both ends of the activation.
    void Weights(ConvolutionLayer& a, ConvolutionLayer& b) {
        const WeightGroups wa = a.GetWeights();
        const WeightGroups wb = b.GetWeights();
        for (size_t i = 0; i < wa.size(); ++i)
            for (size_t j = 0; j < wa[i].size(); ++j) *wa[i][j] = *wb[i][j] = Uniform(-0.35f, 0.3f);
    }
    // A mask at another size than the input, so it is resized: about half
    // of it set, or only one cell, whose few active fields the fast path
    // computes in another layout.
    cv::Mat Mask(bool sparse = false) {
        cv::Mat mask(9, 8, CV_32F, cv::Scalar(0));
        if (sparse) {
            mask.at<float>(std::uniform_int_distribution<int>(0, 8)(engine),
                           std::uniform_int_distribution<int>(0, 7)(engine)) = 1.0f;
            return mask;
        }
        for (int y = 0; y < mask.rows; ++y)
            for (int x = 0; x < mask.cols; ++x) mask.at<float>(y, x) = Chance(0.5) ? 1.0f : 0.0f;
        return mask;
    }
    float Uniform(float low, float high) {
        return std::uniform_real_distribution<float>(low, high)(engine);
    }
    bool Chance(double p) { return std::bernoulli_distribution(p)(engine); }

  private:
    std::mt19937 engine;
};

const Shape kShapes[] = {
    {3, 3, 1, false},     {3, 3, 2, false},     {3, 5, 1, false},    {3, 5, 2, false},
    {3, 3, 1, true},      {3, 5, 2, true},      {3, 5, 1, true},     {3, 3, 2, true},
    {3, 5, 1, false, 29}, {3, 5, 2, false, 29}, {3, 3, 1, true, 29}, {3, 3, 2, false, 29},
};

std::string Describe(const Shape& shape, int workers, Implementation implementation) {
    std::ostringstream text;
    text << Name(implementation) << ", kernels " << shape.minKernel << "/" << shape.maxKernel
         << ", stride " << shape.stride << (shape.entry ? ", entry" : ", inner") << ", " << workers
         << " workers";
    return text.str();
}

}  // namespace

TEST(ConvolutionImplementations, AgreeBitForBitOverSeveralPasses) {
    ImplementationGuard guard;
    // Forwards seen per layout: positions, gathered positions, kernels; and
    // position layouts over two workers split by kernels and by blocks.
    std::array<int, 3> layouts{};
    std::array<int, 2> splits{};
    // Three workers: bands and chunks beyond the machine's two processors.
    for (const int workers : {1, 2, 3}) {
        StartedPools pools(workers);
        for (const Shape& shape : kShapes) {
            for (const Implementation implementation : kFastOnes) {
                SCOPED_TRACE(Describe(shape, workers, implementation));
                // Every other shape with its input planes apart.
                const bool oneBlock = (&shape - kShapes) % 2 == 0;
                const cv::Size size(Subject::kWidth, Subject::kHeight);
                Subject reference(shape, pools, Implementation::Reference, size, oneBlock);
                Subject fast(shape, pools, implementation, size, oneBlock);
                RandomFeed feed(
                    static_cast<unsigned>(workers * 100 + shape.stride * 10 + shape.maxKernel));
                feed.Weights(reference.layer, fast.layer);
                reference.layer.SetRates(0.05f, 0.01f);
                fast.layer.SetRates(0.05f, 0.01f);

                // Trained passes, a pass of two forwards (their active lines
                // add up), and a forward without training in between.
                const std::vector<int> forwardsPerPass{1, 1, 2, 1, 1};
                for (size_t pass = 0; pass < forwardsPerPass.size(); ++pass) {
                    SCOPED_TRACE("pass " + std::to_string(pass));
                    for (int f = 0; f < forwardsPerPass[pass]; ++f) {
                        feed.Fill(reference.planes, fast.planes);
                        const cv::Mat mask = feed.Mask(pass % 2 == 1);
                        reference.Forward(mask);
                        fast.Forward(mask);
                        ASSERT_EQ(Difference(reference, fast), "") << "after forward";
                        const ConvolutionFast& path = fast.layer.FastPath();
                        ++layouts[static_cast<size_t>(path.ForwardLayout())];
                        if (workers >= 2 &&
                            path.ForwardLayout() != ConvForwardPlan::Layout::Kernels)
                            ++splits[path.SplitsByBlocks(workers) ? 1 : 0];
                    }
                    if (pass == 3) continue;
                    feed.FillOutputs(reference.layer, fast.layer);
                    reference.Backward();
                    fast.Backward();
                    ASSERT_EQ(Difference(reference, fast), "") << "after backward";
                }
            }
        }
    }
    // Every forward layout and both splits were compared.
    for (const int seen : layouts) EXPECT_GT(seen, 0);
    for (const int seen : splits) EXPECT_GT(seen, 0);
}

// Longer and less even runs, reference against the default fast path.
TEST(ConvolutionImplementations, AgreeOnWideRowsUnevenMasksOtherPoolsAndLongRuns) {
    ImplementationGuard guard;
    using MaskMaker = std::function<cv::Mat(RandomFeed&, int pass)>;
    const MaskMaker half = [](RandomFeed& feed, int) { return feed.Mask(); };
    // Lone cells whose windows cross the 64-bit words of a row at 64 and 128
    // from either side and one at the right edge, or half of all.
    const MaskMaker acrossWords = [](RandomFeed& feed, int pass) {
        if (pass % 2 == 1) return feed.Mask();
        cv::Mat mask(6, 140, CV_32F, cv::Scalar(0));
        for (const int x : {20, 63, 128, 139}) mask.at<float>(pass % 6, x) = 1.0f;
        return mask;
    };
    // Fields only in the lower rows, densely in a few and sparsely in more,
    // so that two workers' bands of rows are of unequal height.
    const MaskMaker lowerRows = [](RandomFeed&, int) {
        cv::Mat mask(36, 40, CV_32F, cv::Scalar(0));
        mask.rowRange(20, 24).setTo(1.0f);
        for (int y = 24; y < 36; ++y)
            for (int x = y % 3; x < 40; x += 5) mask.at<float>(y, x) = 1.0f;
        return mask;
    };
    // For a long stretch only the left edge: the other lines keep compact
    // shares made long ago, written out when their copy is recycled.
    const MaskMaker leftEdge = [](RandomFeed& feed, int pass) {
        cv::Mat mask = feed.Mask(pass % 5 == 4);
        if (pass >= 10 && pass < 110) mask.colRange(2, mask.cols).setTo(0.0f);
        return mask;
    };
    struct Case {
        Shape shape;
        cv::Size size;
        int forwardWorkers;  // the map pool's; the other pools run `otherWorkers`
        int otherWorkers;
        int passes;
        MaskMaker mask;
        int referencePass = -1;  // a pass the fast subject runs plain
    };
    const cv::Size normal(Subject::kWidth, Subject::kHeight);
    const std::vector<Case> cases{
        {{3, 5, 1, false, 29}, {140, 6}, 2, 2, 4, acrossWords},
        {{3, 3, 2, false, 24}, {140, 6}, 2, 2, 4, acrossWords},
        {{3, 5, 1, false, 64}, {40, 36}, 2, 2, 2, lowerRows},
        // The backward stays on the line pool where the forward's pool has
        // more workers than it, or more than the layer has maps.
        {{3, 5, 1, false, 29}, normal, 3, 2, 3, half},
        {{3, 5, 1, false, 2}, normal, 3, 3, 3, half},
        // More passes than the 64 weight copies a small layer keeps.
        {{3, 5, 1, false, 29}, normal, 1, 1, 150, leftEdge, 130},
        {{3, 3, 2, false, 40}, normal, 2, 2, 150, leftEdge, 130},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.shape, c.forwardWorkers, Implementation::Fast) + ", " +
                     std::to_string(c.size.width) + " wide");
        LayerPools pools;
        pools.mapTaskPool.Start(c.forwardWorkers);
        pools.mapPointerPool.Start(c.otherWorkers);
        pools.depthLinePool.Start(c.otherWorkers);
        pools.errorSumPool.Start(c.otherWorkers);
        {
            Subject reference(c.shape, pools, Implementation::Reference, c.size);
            Subject fast(c.shape, pools, Implementation::Fast, c.size);
            RandomFeed feed(static_cast<unsigned>(31 + c.passes + c.shape.outputs));
            feed.Weights(reference.layer, fast.layer);
            reference.layer.SetRates(0.05f, 0.01f);
            fast.layer.SetRates(0.05f, 0.01f);
            for (int pass = 0; pass < c.passes; ++pass) {
                SCOPED_TRACE("pass " + std::to_string(pass));
                feed.Fill(reference.planes, fast.planes);
                const cv::Mat mask = c.mask(feed, pass);
                fast.implementation =
                    pass == c.referencePass ? Implementation::Reference : Implementation::Fast;
                reference.Forward(mask);
                fast.Forward(mask);
                ASSERT_EQ(Difference(reference, fast), "") << "after forward";
                feed.FillOutputs(reference.layer, fast.layer);
                reference.Backward();
                fast.Backward();
                ASSERT_EQ(Difference(reference, fast), "") << "after backward";
            }
        }
        pools.Shutdown();
    }
}

namespace {

// Runs one step on both subjects and returns what each printed and threw.
struct Outcome {
    std::string thrown;
    std::string out;
    std::string err;
};

Outcome Capture(const std::function<void()>& step) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Outcome outcome;
    outcome.thrown = ThrownText(step);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.err = testing::internal::GetCapturedStderr();
    return outcome;
}

void ExpectSameOutcome(const Outcome& a, const Outcome& b) {
    EXPECT_EQ(a.thrown, b.thrown);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.err, b.err);
}

}  // namespace

TEST(ConvolutionImplementations, FailWhereTheReferenceFails) {
    ImplementationGuard guard;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const Implementation implementation : kFastOnes) {
        SCOPED_TRACE(Name(implementation));
        StartedPools pools(2);
        const Shape shape{3, 5, 1, false};
        Subject reference(shape, pools, Implementation::Reference);
        Subject fast(shape, pools, implementation);
        RandomFeed feed(11);
        feed.Weights(reference.layer, fast.layer);
        feed.Fill(reference.planes, fast.planes);

        // Only the left half is active; a NaN far right of it is never read.
        cv::Mat mask(Subject::kHeight, Subject::kWidth, CV_32F, cv::Scalar(0));
        mask(cv::Rect(0, 0, 4, Subject::kHeight)).setTo(1.0f);
        reference.planes[3].at<float>(5, 12) = fast.planes[3].at<float>(5, 12) = nan;
        const Outcome quiet = Capture([&] { fast.Forward(mask); });
        ExpectSameOutcome(Capture([&] { reference.Forward(mask); }), quiet);
        EXPECT_EQ(quiet.thrown, "");
        EXPECT_EQ(Difference(reference, fast), "");

        // An infinite weight on the pattern entry to the left of the centre:
        // the fields of column 0 have no line there and must not add 0 * inf
        // (elsewhere it meets positive inputs only and saturates the output).
        for (Subject* subject : {&reference, &fast}) {
            *subject->layer.GetWeights()[0][1 * Subject::kInputs + 4] = inf;
            subject->planes[4].setTo(0.5f);
        }
        reference.Forward(mask);
        fast.Forward(mask);
        EXPECT_EQ(Difference(reference, fast), "");
        EXPECT_EQ(fast.layer.Outputs()[0].image->at<float>(4, 0),
                  reference.layer.Outputs()[0].image->at<float>(4, 0));

        // Training on with it: the infinite weight fails the update the way
        // the reference fails it, and both leave the same weights behind.
        feed.FillOutputs(reference.layer, fast.layer);
        const Outcome failedUpdate = Capture([&] { fast.Backward(); });
        ExpectSameOutcome(Capture([&] { reference.Backward(); }), failedUpdate);
        EXPECT_NE(failedUpdate.thrown, "");
        EXPECT_EQ(Difference(reference, fast), "");

        // The fast update's copies of the weights are not the kernels' after
        // a failure: a forward over kernels (one field) must read the
        // weights the reference left.
        cv::Mat oneField(Subject::kHeight, Subject::kWidth, CV_32F, cv::Scalar(0));
        oneField.at<float>(3, 2) = 1.0f;
        const Outcome afterFailure = Capture([&] { fast.Forward(oneField); });
        ExpectSameOutcome(Capture([&] { reference.Forward(oneField); }), afterFailure);
        EXPECT_EQ(fast.layer.FastPath().ForwardLayout(), ConvForwardPlan::Layout::Kernels);
        EXPECT_EQ(Difference(reference, fast), "");

        // A NaN inside the active half fails the forward pass alike.
        feed.Weights(reference.layer, fast.layer);
        reference.planes[2].at<float>(6, 1) = fast.planes[2].at<float>(6, 1) = nan;
        const Outcome failedForward = Capture([&] { fast.Forward(mask); });
        ExpectSameOutcome(Capture([&] { reference.Forward(mask); }), failedForward);
        EXPECT_NE(failedForward.thrown, "");
        EXPECT_EQ(Difference(reference, fast), "");
    }
}
