// The nine exported functions. Each one but CreateCorvane runs its work
// inside Guarded, the only place where engine failures are caught.
#include <cstdint>
#include <cstring>
#include <new>

#include "api/Guard.h"
#include "api/NetHandle.h"
#include "corvane.h"
#include "network/NetworkFile.h"

namespace {

const char* const kNullArgument = "null argument";

template <typename T>
T* Require(T* pointer) {
    if (pointer == nullptr) throw kNullArgument;
    return pointer;
}

// Header-only read of the network file into the handle's category list.
const std::vector<std::string>& ReadCategories(NetHandle* handle) {
    cv::Size size;
    int outputCount = 0;
    NetworkFile::Read(nullptr, handle->network.categories, size, outputCount);
    return handle->network.categories;
}

}  // namespace

extern "C" {

CORVANE_API NetHandle* CORVANE_CALL CreateCorvane() {
    try {
        return new NetHandle();
    } catch (...) {
        return nullptr;
    }
}

CORVANE_API bool CORVANE_CALL ReleaseCorvane(NetHandle* handle) {
    return Guarded({}, [&] {
        Require(handle)->network.Unload();
        delete handle;
        return true;
    });
}

CORVANE_API bool CORVANE_CALL LoadCorvane(NetHandle* handle, std::uint32_t threadCount) {
    return Guarded({"Load Corvane error", false}, [&] {
        Require(handle)->network.Load(threadCount);
        handle->inputWidth = handle->network.inputWidth;
        handle->inputHeight = handle->network.inputHeight;
        handle->workImage =
            cv::Mat(handle->inputHeight, handle->inputWidth, CV_32FC3, cv::Scalar(0));
        handle->workMask =
            cv::Mat(handle->inputHeight, handle->inputWidth, CV_32FC1, cv::Scalar(0));
        return true;
    });
}

CORVANE_API bool CORVANE_CALL UnLoadCorvane(NetHandle* handle) {
    return Guarded({"Unload Corvane error", false}, [&] {
        Require(handle)->network.Unload();
        return true;
    });
}

CORVANE_API bool CORVANE_CALL SaveCorvane(NetHandle* handle) {
    return Guarded({}, [&] {
        Require(handle)->network.Save();
        return true;
    });
}

CORVANE_API bool CORVANE_CALL Predict(NetHandle* handle, const cv::Mat* image, std::uint32_t x,
                                      std::uint32_t y, std::uint32_t width, std::uint32_t height,
                                      float* scores) {
    return Guarded({}, [&]() -> bool {
        Require(handle);
        Require(image);
        Require(scores);
        (void)x, (void)y, (void)width, (void)height;
        throw "network engine not available";
    });
}

CORVANE_API bool CORVANE_CALL TrainOne(NetHandle* handle, const cv::Mat* image, std::uint32_t x,
                                       std::uint32_t y, std::uint32_t width, std::uint32_t height,
                                       const float* wanted, std::int32_t count, float* loss) {
    return Guarded({}, [&]() -> bool {
        Require(handle);
        Require(image);
        Require(loss);
        (void)x, (void)y, (void)width, (void)height, (void)wanted, (void)count;
        throw "network engine not available";
    });
}

CORVANE_API bool CORVANE_CALL CategoryCount(NetHandle* handle, std::uint32_t* count) {
    return Guarded({"Category count: unknown error", true}, [&] {
        Require(count);
        *count = static_cast<std::uint32_t>(ReadCategories(Require(handle)).size());
        return true;
    });
}

CORVANE_API bool CORVANE_CALL GetCategory(NetHandle* handle, std::int32_t index, char* name) {
    return Guarded({}, [&] {
        const std::vector<std::string>& names = ReadCategories(Require(handle));
        // A negative index becomes a huge unsigned one: out of range.
        const std::uint64_t position = static_cast<std::uint64_t>(static_cast<std::int64_t>(index));
        if (position >= names.size()) return false;
        const std::string& chosen = names[position];
        std::memcpy(Require(name), chosen.c_str(), chosen.size() + 1);
        return true;
    });
}

}  // extern "C"
