#pragma once

#include <iostream>
#include <opencv2/core.hpp>

// The one place where engine failures stop: runs an exported function's
// work, prints an OpenCV error's message as it is, prints `otherLine` (if
// any) for everything else, and turns any failure into false.
struct GuardLines {
    const char* otherLine = nullptr;
    bool otherLineEnds = false;
    // otherLine goes on with ": " and the text, when the failure is a
    // plain message text.
    bool withText = false;
};

namespace guard_detail {

inline void PrintOther(const GuardLines& lines, const char* text) {
    if (lines.otherLine == nullptr) return;
    std::cout << lines.otherLine;
    if (lines.withText && text != nullptr) std::cout << ": " << text;
    if (lines.otherLineEnds) std::cout << std::endl;
    std::cout << std::flush;
}

}  // namespace guard_detail

template <typename Work>
bool Guarded(GuardLines lines, Work&& work) noexcept {
    try {
        try {
            return work();
        } catch (const cv::Exception& error) {
            std::cout << error.what() << std::flush;
        } catch (const char* text) {
            guard_detail::PrintOther(lines, text);
        } catch (...) {
            guard_detail::PrintOther(lines, nullptr);
        }
    } catch (...) {
        // Even printing failed; the host still only sees false.
    }
    return false;
}
