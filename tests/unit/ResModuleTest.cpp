#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "layers/ResModule2Conv.h"
#include "layers/ResModule3Conv.h"
#include "support/LayerTesting.h"

namespace {

const cv::Size kThree(3, 3);
const cv::Size kFive(5, 5);

float NextRandom() { return static_cast<float>(std::rand()) / static_cast<float>(RAND_MAX); }

// Planes of values in [0, 1] drawn from std::rand.
std::vector<cv::Mat> RandomPlanes(int count, cv::Size size) {
    std::vector<cv::Mat> planes;
    for (int i = 0; i < count; ++i) {
        cv::Mat plane(size, CV_32F);
        for (float& value : cv::Mat_<float>(plane)) value = NextRandom();
        planes.push_back(plane);
    }
    return planes;
}

// About a third of the positions set.
cv::Mat RandomMask(cv::Size size) {
    cv::Mat mask(size, CV_32F);
    for (float& value : cv::Mat_<float>(mask)) value = NextRandom() < 0.33f ? 1.0f : 0.0f;
    return mask;
}

}  // namespace

TEST(ResModule3Conv, FirstModuleJoinsPooledPlanesThenConvMaps) {
    StartedPools pools(2);
    ResModule3Conv module(kThree, kFive, 3, 32, &pools, true);
    // 32 outputs from 3 inputs: a 29-wide convolution branch.
    for (size_t c = 0; c < 3; ++c) EXPECT_EQ(module.Convolution(c).Geometry().outputCount, 29);
    EXPECT_EQ(module.Convolution(0).Geometry().inputCount, 3);
    EXPECT_TRUE(module.Convolution(0).Geometry().entryLayer);
    EXPECT_FALSE(module.Convolution(1).Geometry().entryLayer);
    EXPECT_EQ(module.Convolution(1).Geometry().stride, 1);
    EXPECT_EQ(module.Convolution(2).Geometry().stride, 2);
    EXPECT_TRUE(module.Pool().SkipsBackward());

    std::srand(11);
    std::vector<cv::Mat> planes = RandomPlanes(3, cv::Size(16, 16));
    FeatureMaps inputs = MapsOver(planes);
    const cv::Mat mask = RandomMask(cv::Size(16, 16));
    EXPECT_EQ(module.Configure(cv::Size(16, 16)), cv::Size(8, 8));
    FeatureMaps* out = module.Forward(inputs, &mask);
    ASSERT_EQ(out, &module.Outputs());
    ASSERT_EQ(out->size(), 32u);
    EXPECT_EQ(module.Depth(), 32);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ((*out)[i].image, module.Pool().Outputs()[i].image);
        EXPECT_EQ((*out)[i].source, &inputs[i]);
    }
    for (size_t j = 0; j < 29; ++j)
        EXPECT_EQ((*out)[3 + j].image, module.Convolution(2).Outputs()[j].image);

    // A second pass puts the same records at the same addresses.
    const FeatureMap* firstRecord = &(*out)[0];
    module.Forward(inputs, &mask);
    EXPECT_EQ(&module.Outputs()[0], firstRecord);
    EXPECT_EQ(module.Outputs()[31].image, module.Convolution(2).Outputs()[28].image);

    // Training never reaches the network's planes, but conv1 still learns.
    const std::vector<cv::Mat> before{planes[0].clone(), planes[1].clone(), planes[2].clone()};
    const std::vector<float> conv1Weights = WeightValues(module.Convolution(0));
    for (const FeatureMap& map : module.Outputs()) map.image->setTo(cv::Scalar(0.9));
    module.Backward();
    for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(SamePlane(planes[i], before[i])) << i;
    EXPECT_NE(WeightValues(module.Convolution(0)), conv1Weights);
    EXPECT_GT(module.Convolution(2).GetError(false), 0.0f);
    EXPECT_EQ(module.GetError(false), 0.0f);

    ResModule3Conv large(kThree, kFive, 3, 32, &pools, true);
    EXPECT_EQ(large.Configure(cv::Size(64, 64)), cv::Size(32, 32));
}

TEST(ResModule3Conv, LaterModuleDoublesItsInputAndPassesTargetsDown) {
    StartedPools pools(3);
    ResModule3Conv module(kThree, kFive, 32, 64, &pools, false);
    for (size_t c = 0; c < 3; ++c) {
        EXPECT_EQ(module.Convolution(c).Geometry().inputCount, 32);
        EXPECT_EQ(module.Convolution(c).Geometry().outputCount, 32);
    }
    std::srand(5);
    std::vector<cv::Mat> planes = RandomPlanes(32, cv::Size(8, 8));
    FeatureMaps inputs = MapsOver(planes);
    const cv::Mat mask = RandomMask(cv::Size(8, 8));
    EXPECT_EQ(module.Configure(cv::Size(8, 8)), cv::Size(4, 4));
    FeatureMaps& out = *module.Forward(inputs, &mask);
    ASSERT_EQ(out.size(), 64u);
    EXPECT_EQ(out[31].image, module.Pool().Outputs()[31].image);
    EXPECT_EQ(out[32].image, module.Convolution(2).Outputs()[0].image);
    EXPECT_EQ(out[63].image, module.Convolution(2).Outputs()[31].image);

    // Targets of 0 in every pooled cell scale every input window by 0.
    const std::vector<float> conv1Weights = WeightValues(module.Convolution(0));
    const std::vector<float> conv2Weights = WeightValues(module.Convolution(1));
    for (FeatureMap& map : out) map.image->setTo(cv::Scalar(0));
    module.Backward();
    // conv1 and conv2 only see targets once the convolution after them has
    // written some: with their own activations as targets they would not move.
    EXPECT_NE(WeightValues(module.Convolution(0)), conv1Weights);
    EXPECT_NE(WeightValues(module.Convolution(1)), conv2Weights);
    for (const cv::Mat& plane : planes) EXPECT_EQ(cv::countNonZero(plane), 0);
}

TEST(ResModule3Conv, RejectsWrongInputCountBeforeRunningAnything) {
    StartedPools pools(1);
    ResModule3Conv module(kThree, kFive, 3, 32, &pools, true);
    module.Configure(cv::Size(8, 8));
    std::vector<cv::Mat> planes(4, cv::Mat(8, 8, CV_32F, cv::Scalar(0.5)));
    FeatureMaps inputs = MapsOver(planes);
    const cv::Mat mask(8, 8, CV_32F, cv::Scalar(1));
    EXPECT_EQ(ThrownText([&] { module.Forward(inputs, &mask); }),
              "ResModul: Input image count mismatch");
    EXPECT_EQ(module.Convolution(0).LastInputs(), nullptr);
    EXPECT_EQ(module.Pool().LastInputs(), nullptr);
    EXPECT_TRUE(module.Outputs().empty());
}

TEST(ResModule2Conv, WeightsAreConv1ThenConv2) {
    StartedPools pools(2);
    ResModule2Conv module(kThree, kFive, &pools);
    EXPECT_EQ(module.Convolution(0).Geometry().inputCount, 256);
    EXPECT_EQ(module.Convolution(1).Geometry().outputCount, 256);
    EXPECT_TRUE(module.Convolution(0).Geometry().entryLayer);
    EXPECT_EQ(module.Convolution(1).Geometry().stride, 2);
    EXPECT_FALSE(module.Pool().SkipsBackward());
    EXPECT_EQ(module.Configure(cv::Size(2, 2)), cv::Size(1, 1));
    EXPECT_EQ(module.Depth(), 512);

    const WeightGroups groups = module.GetWeights();
    ASSERT_EQ(groups.size(), 512u);
    // Line kernels of size 3 and 5 over 256 inputs: 3*256+1 and 5*256+1;
    // kernel 4 is a full 3x3 square (9*256+1), kernel 9 a full 5x5 one (25*256+1).
    EXPECT_EQ(groups[0].size(), 769u);
    EXPECT_EQ(groups[1].size(), 1281u);
    EXPECT_EQ(groups[4].size(), 2305u);
    EXPECT_EQ(groups[9].size(), 6401u);
    EXPECT_EQ(groups[255][0], &module.Convolution(0).Kernels()[255].Weights()[0]);
    EXPECT_EQ(groups[256][0], &module.Convolution(1).Kernels()[0].Weights()[0]);
    EXPECT_EQ(groups[256].size(), 769u);
    EXPECT_EQ(groups[511].back(), &module.Convolution(1).Kernels()[255].Weights().back());

    module.SetRates(0.125f, 0.25f);
    EXPECT_EQ(module.Convolution(0).Kernels()[7].Rate(), 0.125f);
    EXPECT_EQ(module.Convolution(1).Threshold(), 0.25f);

    std::srand(3);
    std::vector<cv::Mat> planes = RandomPlanes(256, cv::Size(2, 2));
    FeatureMaps inputs = MapsOver(planes);
    const cv::Mat mask(2, 2, CV_32F, cv::Scalar(1));
    FeatureMaps& out = *module.Forward(inputs, &mask);
    ASSERT_EQ(out.size(), 512u);
    EXPECT_EQ(out[255].image, module.Pool().Outputs()[255].image);
    EXPECT_EQ(out[256].image, module.Convolution(1).Outputs()[0].image);
}

TEST(ResModule3Conv, ResultsDoNotDependOnWorkerCount) {
    struct Result {
        std::vector<cv::Mat> maps;
        std::vector<float> weights;
    };
    auto run = [](int threads) {
        StartedPools pools(threads);
        std::srand(20240);
        ResModule3Conv module(kThree, kFive, 8, 16, &pools, false);
        module.Configure(cv::Size(16, 16));
        module.SetRates(0.05f, 0.01f);
        std::vector<cv::Mat> planes = RandomPlanes(8, cv::Size(16, 16));
        FeatureMaps inputs = MapsOver(planes);
        const cv::Mat mask = RandomMask(cv::Size(16, 16));
        Result result;
        for (int pass = 0; pass < 2; ++pass) {
            FeatureMaps& out = *module.Forward(inputs, &mask);
            for (FeatureMap& map : out) {
                for (float& value : cv::Mat_<float>(*map.image)) value = 1.0f - value;
            }
            module.Backward();
        }
        for (const FeatureMap& map : *module.Forward(inputs, &mask))
            result.maps.push_back(map.image->clone());
        result.weights = WeightValues(module);
        return result;
    };

    const Result single = run(1);
    for (const int threads : {2, 3}) {
        SCOPED_TRACE(threads);
        const Result other = run(threads);
        ASSERT_EQ(other.maps.size(), single.maps.size());
        for (size_t i = 0; i < single.maps.size(); ++i)
            EXPECT_TRUE(SamePlane(other.maps[i], single.maps[i])) << "map " << i;
        ASSERT_EQ(other.weights.size(), single.weights.size());
        EXPECT_EQ(std::memcmp(other.weights.data(), single.weights.data(),
                              single.weights.size() * sizeof(float)),
                  0);
    }
}
