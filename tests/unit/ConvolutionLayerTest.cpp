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
    // out = act(b + w0*in(x) + w1*in(x-1) + w2*in(x+1)); act: <= 0 -> 0.01,
    // > 1 -> 1; no neighbour past the edges.
    EXPECT_TRUE(SamePlane(out, Plane(3, 4,
                                     {0.25f, 0.25f, 0.1875f, 1.0f,   //
                                      0.125f, 1.0f, 0.375f, 0.625f,  //
                                      0.125f, 0.01f, 0.375f, 1.0f})));

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

TEST(ConvolutionConfigure, RefusesWidthNotMultipleOfStride) {
    StartedPools pools(1);
    ConvolutionLayer layer(kThree, kThree, 1, 2, 2, &pools, false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ThrownText([&] { layer.Configure(cv::Size(25, 24)); }), "Conv: wrong image size");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Conv: wrong image size\n");
    EXPECT_TRUE(layer.Outputs().empty());
}
