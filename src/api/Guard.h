#pragma once

#include <iostream>
#include <opencv2/core.hpp>

// The one place where engine failures stop: runs an exported function's
// work, prints an OpenCV error's message as it is, prints `otherLine` (if
// any) for everything else, and turns any failure into false.
struct GuardLines {
    const char* otherLine = nullptr;
    bool otherLineEnds = false;
};

template <typename Work>
bool Guarded(GuardLines lines, Work&& work) noexcept {
    try {
        try {
            return work();
        } catch (const cv::Exception& error) {
            std::cout << error.what() << std::flush;
        } catch (...) {
            if (lines.otherLine != nullptr) {
                std::cout << lines.otherLine;
                if (lines.otherLineEnds) std::cout << std::endl;
                std::cout << std::flush;
            }
        }
    } catch (...) {
        // Even printing failed; the host still only sees false.
    }
    return false;
}
