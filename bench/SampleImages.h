#pragma once

#include <zlib.h>

#include <array>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "support/Images.h"

// One training sample: a picture, the region to use, and its label 0..9.
struct Sample {
    cv::Mat picture;
    int label = 0;

    cv::Rect Region() const { return cv::Rect(0, 0, picture.cols, picture.rows); }
    std::vector<float> Wanted() const {
        std::vector<float> wanted(10, 0.0f);
        wanted[static_cast<size_t>(label)] = 1.0f;
        return wanted;
    }
};

// Generated colour pictures with gradients and filled circles, cut to the
// network's own size so the input is not rescaled.
inline std::vector<Sample> TexturedSamples(int size, int count) {
    std::vector<Sample> samples;
    for (int i = 0; i < count; ++i) samples.push_back({TexturedImage(size, size, i), i % 10});
    return samples;
}

// The first `count` 28x28 grey pictures of the Fashion-MNIST test set from
// Debian's dataset package; empty when the package is not installed.
inline std::vector<Sample> FashionSamples(int count) {
    const std::string folder = "/usr/share/datasets/fashion-mnist/";
    gzFile images = gzopen((folder + "t10k-images-idx3-ubyte.gz").c_str(), "rb");
    gzFile labels = gzopen((folder + "t10k-labels-idx1-ubyte.gz").c_str(), "rb");
    std::vector<Sample> samples;
    // idx files: a 16-byte header for the images, 8 bytes for the labels.
    std::array<unsigned char, 16> header{};
    if (images != nullptr && labels != nullptr && gzread(images, header.data(), 16) == 16 &&
        gzread(labels, header.data(), 8) == 8) {
        for (int i = 0; i < count; ++i) {
            Sample sample;
            sample.picture = cv::Mat(28, 28, CV_8UC1);
            unsigned char label = 0;
            if (gzread(images, sample.picture.data, 28 * 28) != 28 * 28) break;
            if (gzread(labels, &label, 1) != 1) break;
            sample.label = label % 10;
            samples.push_back(sample);
        }
    }
    if (images != nullptr) gzclose(images);
    if (labels != nullptr) gzclose(labels);
    return samples;
}
