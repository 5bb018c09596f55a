#include "api/NetHandle.h"

#include "input/InputPreparation.h"

namespace {
const char* const kNotLoaded = "no network loaded";
}

void NetHandle::Load(unsigned threadCount) {
    network.Load(threadCount);
    inputWidth = network.inputWidth;
    inputHeight = network.inputHeight;
    try {
        AllocateWorkImages();
    } catch (...) {
        // Without work matrices of its size the network cannot be used: do
        // not leave its pools running.
        network.Unload();
        throw;
    }
}

void NetHandle::AllocateWorkImages() {
    workImage = cv::Mat(inputHeight, inputWidth, CV_32FC3, cv::Scalar::all(0));
    workMask = cv::Mat(inputHeight, inputWidth, CV_32FC1, cv::Scalar::all(0));
}

void NetHandle::PrepareWork(const cv::Mat& image, cv::Rect region) {
    if (!network.IsBuilt()) throw kNotLoaded;
    workImage.setTo(cv::Scalar::all(0));
    workMask.setTo(cv::Scalar::all(0));
    const cv::Rect fitRect = InputPreparation::PrepareInput(image, region, workImage);
    InputPreparation::ValidateRange(workImage, -0.0001, 1.0);
    InputPreparation::BuildMask(workImage, fitRect, workMask);
}

std::vector<float> NetHandle::Predict(const cv::Mat& image, cv::Rect region) {
    PrepareWork(image, region);
    return network.Evaluate(workImage, &workMask);
}

float NetHandle::Train(const cv::Mat& image, cv::Rect region, const std::vector<float>& wanted) {
    PrepareWork(image, region);
    return network.TrainStep(workImage, wanted, &workMask);
}
