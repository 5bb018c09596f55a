// Corvane: a small-image classifier with its own convolutional network,
// trained one sample at a time. A host drives it through one opaque handle:
//
//   CreateCorvane -> LoadCorvane -> Predict / TrainOne / SaveCorvane /
//   CategoryCount / GetCategory ... -> UnLoadCorvane (optional) -> ReleaseCorvane
//
// The network lives in the text file "Network.data" in the current directory.
// Every function but CreateCorvane catches whatever goes wrong inside it and
// reports failure through its result (false); nothing is thrown to the host.
// One handle serves one host thread at a time (a call that finds its handle
// busy in another thread's call returns false); separate handles are
// independent. A null, released or unknown handle gives false.
#ifndef CORVANE_H
#define CORVANE_H

#include <cstdint>

namespace cv {
class Mat;
}

#if defined(_WIN32)
#if defined(CORVANE_BUILDING)
#define CORVANE_API __declspec(dllexport)
#else
#define CORVANE_API __declspec(dllimport)
#endif
#define CORVANE_CALL __stdcall
#else
#define CORVANE_API __attribute__((visibility("default")))
#define CORVANE_CALL
#endif

// Opaque to hosts: only ever handled through a pointer.
struct NetHandle;

extern "C" {

// A new handle with no network loaded. Returns null if it cannot be allocated.
CORVANE_API NetHandle* CORVANE_CALL CreateCorvane();

// Unloads the network if one is loaded and frees the handle.
CORVANE_API bool CORVANE_CALL ReleaseCorvane(NetHandle* handle);

// Reads "Network.data" and builds the network with threadCount workers per
// pool (1 to 256). A file outside the library's limits is refused with one
// line before anything is built.
CORVANE_API bool CORVANE_CALL LoadCorvane(NetHandle* handle, std::uint32_t threadCount);

// Stops the workers and frees the network; the handle may be loaded again.
CORVANE_API bool CORVANE_CALL UnLoadCorvane(NetHandle* handle);

// Writes the loaded network to "Network.data".
CORVANE_API bool CORVANE_CALL SaveCorvane(NetHandle* handle);

// Classifies the region (x, y, width, height) of an 8-bit grey or BGR image.
// scores must have room for one float per category.
CORVANE_API bool CORVANE_CALL Predict(NetHandle* handle, const cv::Mat* image, std::uint32_t x,
                                      std::uint32_t y, std::uint32_t width, std::uint32_t height,
                                      float* scores);

// One training step on the region towards the count wanted scores; loss
// receives the mean absolute output error before the step.
CORVANE_API bool CORVANE_CALL TrainOne(NetHandle* handle, const cv::Mat* image, std::uint32_t x,
                                       std::uint32_t y, std::uint32_t width, std::uint32_t height,
                                       const float* wanted, std::int32_t count, float* loss);

// Number of category names in "Network.data" (read from the file on every call).
CORVANE_API bool CORVANE_CALL CategoryCount(NetHandle* handle, std::uint32_t* count);

// Copies category name number index, with its terminating zero byte, into name.
// name needs room for the longest name plus one byte.
CORVANE_API bool CORVANE_CALL GetCategory(NetHandle* handle, std::int32_t index, char* name);

// ---- Extension: beyond the nine functions above ----

// Sets the learning rate of every convolution kernel and of the dense
// classifier, from the next TrainOne on. Every load starts at 0.0005, so a
// host that never calls this trains exactly as before. A rate that is not
// in (0, 1] (not-a-number and infinities included), a null, unknown or busy
// handle, or a handle with no network loaded gives false, one line on
// standard output, and changes nothing.
CORVANE_API bool CORVANE_CALL SetLearningRate(NetHandle* handle, float rate);

}  // extern "C"

#endif  // CORVANE_H
