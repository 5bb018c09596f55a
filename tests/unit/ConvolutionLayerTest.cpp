#include <gtest/gtest.h>

#include <functional>

#include "layers/ConvolutionLayer.h"
#include "support/LayerTesting.h"

namespace {

const cv::Size kThree(3, 3);

void SetWeights(ConvolutionLayer& layer, size_t kernel, const std::vector<float>& values) {
    WeightGroup group = layer.GetWeights()[kernel];
    ASSERT_EQ(group.size(), values.size());
    for (size_t j = 0; j < values.size(); ++j) *group[j] = values[j];
}

}  // namespace

TEST(ConvolutionForward, OneKernelSumsCentreAndRowNeighbours) {
    StartedPools pools(2);
    // One kind-0 size-3 kernel: weights centre, left, right, bias.
    ConvolutionLayer layer(kThree, kThree, 1, 1, 1, &pools, false);
    EXPECT_EQ(layer.Configure(cv::Size(4, 3)), cv::Size(4, 3));
    SetWeights(layer, 0, {0.5f, 0.75f, -0.5f, 0.125f});
    std::vector<cv::Mat> planes{Plane(3, 4,
                                      {0.5f, 0.25f, 0.75f, 1.0f,  //
                                       1.0f, 1.0f, 0.0f, 1.0f,    //
                                       0.0f, 0.0f, 1.0f, 0.5f})};
    FeatureMaps inputs = MapsOver(planes);
    // A 2x2 mask of ones resizes to ones everywhere.
    const cv::Mat mask(2, 2, CV_32F, cv::Scalar(1));

    const cv::Mat& out = *(*layer.Forward(inputs, &mask))[0].image;
    // out = act(b + w0*in(x) + w1*in(x-1) + w2*in(x+1)); act: <= 0 -> 0.01, > 1 -> 1.
    // Row 0: x=0: 0.25 - 0.125 + 0.125 = 0.25 (no left neighbour)
    //        x=1: 0.125 + 0.375 - 0.375 + 0.125 = 0.25
    //        x=2: 0.375 + 0.1875 - 0.5 + 0.125 = 0.1875
    //        x=3: 0.5 + 0.5625 + 0.125 = 1.1875 -> 1 (no right neighbour)
    EXPECT_EQ(out.at<float>(0, 0), 0.25f);
    EXPECT_EQ(out.at<float>(0, 1), 0.25f);
    EXPECT_EQ(out.at<float>(0, 2), 0.1875f);
    EXPECT_EQ(out.at<float>(0, 3), 1.0f);
    // Row 1: 0.5 - 0.5 + 0.125 = 0.125; 0.5 + 0.75 + 0.125 -> 1;
    //        0 + 0.75 - 0.5 + 0.125 = 0.375; 0.5 + 0 + 0.125 = 0.625
    EXPECT_EQ(out.at<float>(1, 0), 0.125f);
    EXPECT_EQ(out.at<float>(1, 1), 1.0f);
    EXPECT_EQ(out.at<float>(1, 2), 0.375f);
    EXPECT_EQ(out.at<float>(1, 3), 0.625f);
    // Row 2: 0 + 0 + 0.125 = 0.125; 0 + 0 - 0.5 + 0.125 < 0 -> 0.01;
    //        0.5 + 0 - 0.25 + 0.125 = 0.375; 0.25 + 0.75 + 0.125 -> 1
    EXPECT_EQ(out.at<float>(2, 0), 0.125f);
    EXPECT_EQ(out.at<float>(2, 1), 0.01f);
    EXPECT_EQ(out.at<float>(2, 2), 0.375f);
    EXPECT_EQ(out.at<float>(2, 3), 1.0f);

    // Another input list object is linked afresh: over zeros only the bias is left.
    std::vector<cv::Mat> zeros{cv::Mat(3, 4, CV_32F, cv::Scalar(0))};
    FeatureMaps otherInputs = MapsOver(zeros);
    layer.Forward(otherInputs, &mask);
    EXPECT_EQ(out.at<float>(0, 3), 0.125f);
    EXPECT_EQ(out.at<float>(1, 1), 0.125f);

    // The same list object again: an inner layer keeps its links even when a
    // record changed, an entry layer follows the record.
    otherInputs[0].image = &planes[0];
    layer.Forward(otherInputs, &mask);
    EXPECT_EQ(out.at<float>(0, 3), 0.125f);
    ConvolutionLayer entry(kThree, kThree, 1, 1, 1, &pools, true);
    entry.Configure(cv::Size(4, 3));
    SetWeights(entry, 0, {0.5f, 0.75f, -0.5f, 0.125f});
    entry.Forward(otherInputs, &mask);
    EXPECT_EQ(entry.Outputs()[0].image->at<float>(0, 3), 1.0f);
    otherInputs[0].image = &zeros[0];
    entry.Forward(otherInputs, &mask);
    EXPECT_EQ(entry.Outputs()[0].image->at<float>(0, 3), 0.125f);
}

TEST(ConvolutionConfigure, BuildsFieldsKernelsAndLines) {
    StartedPools pools(1);
    ConvolutionLayer strided(kThree, cv::Size(5, 5), 1, 7, 2, &pools, false);
    EXPECT_EQ(strided.Configure(cv::Size(24, 24)), cv::Size(12, 12));
    ASSERT_EQ(strided.Fields().size(), 144u);
    EXPECT_EQ(strided.DepthLines().size(), 576u);
    // Centres at the odd coordinates 1, 3, ..., 23.
    const ReceptiveField& first = strided.Fields()[0];
    const ReceptiveField& endOfRow = strided.Fields()[11];
    const ReceptiveField& last = strided.Fields()[143];
    EXPECT_EQ(cv::Point(first.centerX, first.centerY), cv::Point(1, 1));
    EXPECT_EQ(cv::Point(endOfRow.centerX, endOfRow.centerY), cv::Point(23, 1));
    EXPECT_EQ(cv::Point(endOfRow.column, endOfRow.row), cv::Point(11, 0));
    EXPECT_EQ(cv::Point(last.centerX, last.centerY), cv::Point(23, 23));
    EXPECT_EQ(cv::Point(last.column, last.row), cv::Point(11, 11));
    // Windows are 5 wide: 25 numbers. Number 0 is the centre; number 8 is
    // (+1, +1), i.e. (24, 24), outside; number 1 is (-1, -1), i.e. (22, 22).
    ASSERT_EQ(last.lines.size(), 25u);
    EXPECT_EQ(last.lines[0], &strided.DepthLines()[23 * 24 + 23]);
    EXPECT_EQ(last.lines[1], &strided.DepthLines()[22 * 24 + 22]);
    EXPECT_EQ(last.lines[8], nullptr);

    // Sizes cycle 3, 5 between min 3 and max 5; kinds run 0..4 then again.
    ASSERT_EQ(strided.Kernels().size(), 7u);
    const std::vector<int> sizes{3, 5, 3, 5, 3, 5, 3};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(strided.Kernels()[i].Width(), sizes[i]) << i;
        EXPECT_EQ(strided.Kernels()[i].Kind(), static_cast<int>(i % 5)) << i;
        EXPECT_EQ(strided.Outputs()[i].kernel, &strided.Kernels()[i]);
        EXPECT_EQ(strided.Outputs()[i].image->size(), cv::Size(12, 12));
        EXPECT_TRUE(strided.Outputs()[i].switches->empty());
    }

    // The cycle starts at 3 even when the minimum is 5.
    ConvolutionLayer wide(cv::Size(5, 5), cv::Size(5, 5), 1, 3, 1, &pools, false);
    wide.Configure(cv::Size(4, 4));
    EXPECT_EQ(wide.Kernels()[0].Width(), 3);
    EXPECT_EQ(wide.Kernels()[1].Width(), 5);
    EXPECT_EQ(wide.Kernels()[2].Width(), 5);
    // Stride 1: a field per pixel; the corner window of (0, 0) reaches
    // (+1, +1) but not (-1, -1).
    ASSERT_EQ(wide.Fields().size(), 16u);
    EXPECT_EQ(wide.Fields()[0].lines[1], nullptr);
    EXPECT_EQ(wide.Fields()[0].lines[8], &wide.DepthLines()[1 * 4 + 1]);
}

TEST(ConvolutionConfigure, RefusesWidthNotMultipleOfStride) {
    StartedPools pools(1);
    ConvolutionLayer layer(kThree, kThree, 1, 2, 2, &pools, false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ThrownText([&] { layer.Configure(cv::Size(25, 24)); }), "Conv: wrong image size");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Conv: wrong image size\n");
    EXPECT_EQ(layer.Depth(), 0);
    EXPECT_TRUE(layer.Outputs().empty());
    EXPECT_TRUE(layer.DepthLines().empty());
}

TEST(ConvolutionForward, MaskSelectsFieldsStrictlyAboveThreshold) {
    StartedPools pools(3);
    ConvolutionLayer layer(kThree, cv::Size(5, 5), 2, 3, 1, &pools, false);
    layer.Configure(cv::Size(5, 4));
    layer.SetRates(0.25f, 0.5f);
    EXPECT_EQ(layer.Threshold(), 0.5f);
    for (const ConvKernel& kernel : layer.Kernels()) EXPECT_EQ(kernel.Rate(), 0.25f);
    std::vector<cv::Mat> planes{cv::Mat(4, 5, CV_32F, cv::Scalar(0.5)),
                                cv::Mat(4, 5, CV_32F, cv::Scalar(0.25))};
    FeatureMaps inputs = MapsOver(planes);

    // A full pass leaves a non-zero error total behind.
    const cv::Mat ones(4, 5, CV_32F, cv::Scalar(1));
    FeatureMaps* outputs = layer.Forward(inputs, &ones);
    for (FeatureMap& map : *outputs) map.image->setTo(cv::Scalar(1));
    layer.Backward();
    EXPECT_GT(layer.GetError(false), 0.0f);

    // At the threshold everywhere but one cell: only that field responds.
    cv::Mat mask(4, 5, CV_32F, cv::Scalar(0.5));
    mask.at<float>(2, 3) = 0.75f;
    layer.Forward(inputs, &mask);
    ASSERT_EQ(layer.Active().fields.size(), 1u);
    for (const FeatureMap& map : *outputs) {
        EXPECT_EQ(cv::countNonZero(*map.image), 1);
        EXPECT_GT(map.image->at<float>(2, 3), 0.0f);
    }

    // Nothing above it: all outputs 0, and Backward learns and writes nothing.
    const cv::Mat zeros(4, 5, CV_32F, cv::Scalar(0));
    layer.Forward(inputs, &zeros);
    for (const FeatureMap& map : *outputs) EXPECT_EQ(cv::countNonZero(*map.image), 0);
    // Flush the lines the previous pass left active, then start clean.
    layer.Backward();
    layer.Forward(inputs, &zeros);
    const std::vector<cv::Mat> before{planes[0].clone(), planes[1].clone()};
    std::vector<float> weights;
    for (const WeightGroup& group : layer.GetWeights())
        for (const float* weight : group) weights.push_back(*weight);
    for (FeatureMap& map : *outputs) map.image->setTo(cv::Scalar(0.9));
    layer.Backward();
    EXPECT_EQ(layer.GetError(false), 0.0f);
    EXPECT_TRUE(SamePlane(planes[0], before[0]));
    EXPECT_TRUE(SamePlane(planes[1], before[1]));
    size_t next = 0;
    for (const WeightGroup& group : layer.GetWeights())
        for (const float* weight : group) EXPECT_EQ(*weight, weights[next++]);

    // No mask selects nothing either.
    layer.Forward(inputs, nullptr);
    EXPECT_TRUE(layer.Active().fields.empty());
}

TEST(ConvolutionBackward, WritesClampedTargetsAtActivePositionsOnly) {
    for (const bool entry : {false, true}) {
        SCOPED_TRACE(entry ? "entry layer" : "inner layer");
        StartedPools pools(2);
        ConvolutionLayer layer(kThree, kThree, 1, 1, 1, &pools, entry);
        layer.Configure(cv::Size(5, 3));
        layer.SetRates(0.5f, 0.001f);
        SetWeights(layer, 0, {0.5f, 1.0f, 0.5f, 0.0f});
        std::vector<cv::Mat> planes{Plane(3, 5,
                                          {1.5f, 0.5f, 1.5f, 0.5f, 0.5f,    //
                                           0.5f, 0.25f, 0.5f, 0.75f, 0.5f,  //
                                           0.5f, -0.25f, 0.5f, 0.5f, -0.5f})};
        const cv::Mat original = planes[0].clone();
        FeatureMaps inputs = MapsOver(planes);
        cv::Mat mask(3, 5, CV_32F, cv::Scalar(0));
        mask.at<float>(1, 2) = 1.0f;

        cv::Mat& out = *(*layer.Forward(inputs, &mask))[0].image;
        // 0.5*0.5 + 0.25*1 + 0.75*0.5 + 0 = 0.875
        ASSERT_EQ(out.at<float>(1, 2), 0.875f);
        out.at<float>(1, 2) = 0.0f;
        layer.Backward();

        // err = 0 - 0.875; every weight moves by step * its input, inputs
        // read before any target is written.
        const float step = (-0.875f * 0.5f) * 0.999f;
        const WeightGroup weights = layer.GetWeights()[0];
        EXPECT_EQ(*weights[0], step * 0.5f + 0.5f);
        EXPECT_EQ(*weights[1], step * 0.25f + 1.0f);
        EXPECT_EQ(*weights[2], step * 0.75f + 0.5f);
        EXPECT_EQ(*weights[3], step + 0.0f);

        const cv::Mat& in = planes[0];
        if (entry) {
            EXPECT_TRUE(SamePlane(in, original));
            EXPECT_EQ(layer.GetError(true), 0.0f);
            continue;
        }
        // Shares err*w: centre 0.5 - 0.4375, left 0.25 - 0.875 -> 0, right 0.75 - 0.4375.
        EXPECT_EQ(in.at<float>(1, 2), 0.0625f);
        EXPECT_EQ(in.at<float>(1, 1), 0.0f);
        EXPECT_EQ(in.at<float>(1, 3), 0.3125f);
        // Inside the 3x3 window without a share: only clamped.
        EXPECT_EQ(in.at<float>(0, 2), 1.0f);
        EXPECT_EQ(in.at<float>(2, 1), 0.0f);
        EXPECT_EQ(in.at<float>(0, 1), 0.5f);
        // Outside the window: untouched.
        EXPECT_EQ(in.at<float>(0, 0), 1.5f);
        EXPECT_EQ(in.at<float>(2, 4), -0.5f);
        EXPECT_EQ(layer.GetError(true), 0.875f);
        EXPECT_EQ(layer.GetError(false), 0.0f);

        // The lines were used up: a second Backward without Forward learns
        // again but writes nothing below.
        const cv::Mat after = in.clone();
        layer.Backward();
        EXPECT_TRUE(SamePlane(in, after));
    }
}

TEST(ConvolutionBackward, AddsSharesOfAllOutputMaps) {
    StartedPools pools(2);
    // Kernel 0 is horizontal (centre, left, right), kernel 1 vertical (centre, up, down).
    ConvolutionLayer layer(kThree, kThree, 1, 2, 1, &pools, false);
    layer.Configure(cv::Size(3, 3));
    SetWeights(layer, 0, {0.5f, 0.25f, 0.25f, 0.0f});
    SetWeights(layer, 1, {0.25f, 0.5f, 0.5f, 0.0f});
    std::vector<cv::Mat> planes{cv::Mat(3, 3, CV_32F, cv::Scalar(0.5))};
    FeatureMaps inputs = MapsOver(planes);
    cv::Mat mask(3, 3, CV_32F, cv::Scalar(0));
    mask.at<float>(1, 1) = 1.0f;

    FeatureMaps& outputs = *layer.Forward(inputs, &mask);
    // Responses 0.25 + 0.125 + 0.125 = 0.5 and 0.125 + 0.25 + 0.25 = 0.625;
    // targets 0.75 and 0.375 give errors 0.25 and -0.25.
    outputs[0].image->at<float>(1, 1) = 0.75f;
    outputs[1].image->at<float>(1, 1) = 0.375f;
    layer.Backward();
    EXPECT_EQ(layer.GetError(false), 0.5f);
    const cv::Mat& in = planes[0];
    // Centre: 0.5 + 0.25*0.5 - 0.25*0.25 = 0.5625; left: 0.5 + 0.25*0.25;
    // top: 0.5 - 0.25*0.5.
    EXPECT_EQ(in.at<float>(1, 1), 0.5625f);
    EXPECT_EQ(in.at<float>(1, 0), 0.5625f);
    EXPECT_EQ(in.at<float>(0, 1), 0.375f);
    EXPECT_EQ(in.at<float>(0, 0), 0.5f);
}

TEST(ConvolutionWeights, OneGroupPerKernelInWeightOrder) {
    StartedPools pools(1);
    ConvolutionLayer layer(kThree, cv::Size(5, 5), 4, 2, 1, &pools, false);
    layer.Configure(cv::Size(4, 4));
    const WeightGroups groups = layer.GetWeights();
    ASSERT_EQ(groups.size(), 2u);
    // Kind 0 size 3: 3 x 4 + 1; kind 1 size 5: 5 x 4 + 1.
    ASSERT_EQ(groups[0].size(), 13u);
    ASSERT_EQ(groups[1].size(), 21u);
    EXPECT_EQ(groups[0][0], &layer.Kernels()[0].Weights()[0]);
    EXPECT_EQ(groups[1][20], &layer.Kernels()[1].Weights()[20]);

    EXPECT_EQ(layer.Depth(), 2);
    layer.Release();
    EXPECT_EQ(layer.Depth(), 0);
    EXPECT_TRUE(layer.Outputs().empty());
    EXPECT_TRUE(layer.DepthLines().empty());
}
