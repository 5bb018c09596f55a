// The exported functions: the nine and the learning-rate extension. Each
// one but CreateCorvane runs its work inside Guarded, the only place where
// engine failures are caught.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "api/Guard.h"
#include "api/HandleRegistry.h"
#include "api/NetHandle.h"
#include "corvane.h"
#include "network/NetworkFile.h"

namespace {

const char* const kNullArgument = "null argument";
const char* const kUnknownHandle = "unknown handle or handle in use";
const char* const kNegativeCount = "negative count";
const char* const kCountMismatch = "wanted count differs from the output count";
const char* const kNotLoaded = "no network loaded";
const char* const kRegionOverflow = "region out of range";

template <typename T>
T* Require(T* pointer) {
    if (pointer == nullptr) throw kNullArgument;
    return pointer;
}

// The caller's unsigned region taken as signed integers; a region whose far
// edge does not fit is refused before OpenCV's own (32-bit) bounds check.
cv::Rect Region(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height) {
    const std::int64_t limit = INT32_MAX;
    const cv::Rect region(static_cast<int>(x), static_cast<int>(y), static_cast<int>(width),
                          static_cast<int>(height));
    if (static_cast<std::int64_t>(region.x) + region.width > limit ||
        static_cast<std::int64_t>(region.y) + region.height > limit)
        throw kRegionOverflow;
    return region;
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
    NetHandle* handle = nullptr;
    try {
        handle = new NetHandle();
        HandleRegistry::Instance().Add(handle);
        return handle;
    } catch (...) {
        delete handle;
        return nullptr;
    }
}

CORVANE_API bool CORVANE_CALL ReleaseCorvane(NetHandle* handle) {
    return Guarded({}, [&] {
        // Taken out first: a second release of the same pointer, or a
        // release while another thread works on the handle, is refused.
        if (!HandleRegistry::Instance().Remove(Require(handle))) throw kUnknownHandle;
        handle->network.Unload();
        delete handle;
        return true;
    });
}

CORVANE_API bool CORVANE_CALL LoadCorvane(NetHandle* handle, std::uint32_t threadCount) {
    return Guarded({"Load Corvane error", false}, [&] {
        HandleRegistry::Claimed(handle)->Load(threadCount);
        return true;
    });
}

CORVANE_API bool CORVANE_CALL UnLoadCorvane(NetHandle* handle) {
    return Guarded({"Unload Corvane error", false}, [&] {
        HandleRegistry::Claimed(handle)->network.Unload();
        return true;
    });
}

CORVANE_API bool CORVANE_CALL SaveCorvane(NetHandle* handle) {
    return Guarded({}, [&] {
        HandleRegistry::Claimed(handle)->network.Save();
        return true;
    });
}

CORVANE_API bool CORVANE_CALL Predict(NetHandle* handle, const cv::Mat* image, std::uint32_t x,
                                      std::uint32_t y, std::uint32_t width, std::uint32_t height,
                                      float* scores) {
    return Guarded({}, [&] {
        const HandleRegistry::Claimed net(handle);
        const cv::Mat& picture = *Require(image);
        Require(scores);
        const cv::Rect region = Region(x, y, width, height);
        const std::vector<float> result = net->Predict(picture, region);
        std::copy(result.begin(), result.end(), scores);
        return true;
    });
}

CORVANE_API bool CORVANE_CALL TrainOne(NetHandle* handle, const cv::Mat* image, std::uint32_t x,
                                       std::uint32_t y, std::uint32_t width, std::uint32_t height,
                                       const float* wanted, std::int32_t count, float* loss) {
    return Guarded({}, [&] {
        if (count < 0) throw kNegativeCount;
        const HandleRegistry::Claimed net(handle);
        const cv::Mat& picture = *Require(image);
        Require(loss);
        // A count other than the output count could only fail later; checked
        // before `wanted` is read, no count makes the copy read past the
        // caller's array or allocate without bound.
        if (!net->network.IsBuilt()) throw kNotLoaded;
        if (count != net->network.outputCount) throw kCountMismatch;
        // The call's own copy of the wanted scores comes before any work.
        std::vector<float> wantedCopy;
        if (count > 0) wantedCopy.assign(Require(wanted), wanted + count);
        const cv::Rect region = Region(x, y, width, height);
        *loss = net->Train(picture, region, wantedCopy);
        return true;
    });
}

CORVANE_API bool CORVANE_CALL CategoryCount(NetHandle* handle, std::uint32_t* count) {
    return Guarded({"Category count: unknown error", true}, [&] {
        Require(count);
        *count =
            static_cast<std::uint32_t>(ReadCategories(&*HandleRegistry::Claimed(handle)).size());
        return true;
    });
}

CORVANE_API bool CORVANE_CALL GetCategory(NetHandle* handle, std::int32_t index, char* name) {
    return Guarded({}, [&] {
        const HandleRegistry::Claimed net(handle);
        const std::vector<std::string>& names = ReadCategories(&*net);
        // A negative index becomes a huge unsigned one: out of range.
        const std::uint64_t position = static_cast<std::uint64_t>(static_cast<std::int64_t>(index));
        if (position >= names.size()) return false;
        const std::string& chosen = names[position];
        std::memcpy(Require(name), chosen.c_str(), chosen.size() + 1);
        return true;
    });
}

CORVANE_API bool CORVANE_CALL SetLearningRate(NetHandle* handle, float rate) {
    return Guarded({"Set learning rate error", true, true}, [&] {
        HandleRegistry::Claimed(handle)->network.SetLearningRate(rate);
        return true;
    });
}

}  // extern "C"
