#include "common/DataSet.h"

#include <algorithm>
#include <cctype>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "common/CategoryMatcher.h"
#include "common/IdxFile.h"

namespace {

bool Hidden(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    return !name.empty() && name[0] == '.';
}

bool ImageExtension(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const char* const kKnown[] = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff",
                                         ".pgm", ".ppm", ".pbm",  ".pnm", ".webp"};
    return std::find(std::begin(kKnown), std::end(kKnown), ext) != std::end(kKnown);
}

std::vector<std::filesystem::path> SortedEntries(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!Hidden(entry.path())) entries.push_back(entry.path());
    }
    // Directory order differs between file systems; sorting keeps a seeded
    // run reproducible.
    std::sort(entries.begin(), entries.end());
    return entries;
}

// An IDX file of one value per sample.
IdxFile ReadLabelFile(const std::filesystem::path& path) {
    IdxFile labels = IdxFile::Read(path);
    if (labels.Dimensions().size() != 1) {
        throw std::runtime_error(path.string() + " is not an IDX label file (needs 1 dimension)");
    }
    return labels;
}

}  // namespace

DataSet DataSet::FromFolder(const std::filesystem::path& root,
                            const std::vector<std::string>& categories,
                            const std::map<std::string, std::string>& folderOf) {
    if (!std::filesystem::is_directory(root)) {
        throw std::runtime_error("data folder not found: " + root.string());
    }
    std::vector<std::filesystem::path> folders;
    std::vector<std::string> names;
    for (const auto& path : SortedEntries(root)) {
        if (std::filesystem::is_directory(path)) {
            folders.push_back(path);
            names.push_back(path.filename().string());
        }
    }
    if (folders.empty()) {
        throw std::runtime_error("data folder " + root.string() + " has no category sub-folders");
    }
    const std::vector<std::size_t> labels = CategoryMatcher(categories, folderOf).Match(names);

    DataSet set;
    for (std::size_t f = 0; f < folders.size(); ++f) {
        for (const auto& file : SortedEntries(folders[f])) {
            if (!std::filesystem::is_regular_file(file) || !ImageExtension(file)) continue;
            set.files_.push_back(file);
            set.labels_.push_back(labels[f]);
        }
    }
    return set;
}

std::vector<std::string> DataSet::CategoriesOf(const std::filesystem::path& data) {
    std::vector<std::string> names;
    if (std::filesystem::is_directory(data)) {
        for (const auto& path : SortedEntries(data)) {
            if (std::filesystem::is_directory(path)) names.push_back(path.filename().string());
        }
        return names;
    }
    const IdxFile labels = ReadLabelFile(data);
    const auto largest = std::max_element(labels.Values().begin(), labels.Values().end());
    const int count = largest == labels.Values().end() ? 0 : *largest + 1;
    for (int label = 0; label < count; ++label) names.push_back(std::to_string(label));
    return names;
}

DataSet DataSet::FromIdx(const std::filesystem::path& images, const std::filesystem::path& labels,
                         std::size_t categoryCount) {
    const IdxFile imageFile = IdxFile::Read(images);
    const IdxFile labelFile = ReadLabelFile(labels);
    const std::vector<std::uint32_t>& dims = imageFile.Dimensions();
    if (dims.size() != 3) {
        throw std::runtime_error(images.string() +
                                 " is not an IDX image file (needs 3 dimensions)");
    }
    if (labelFile.Dimensions()[0] != dims[0]) {
        throw std::runtime_error(images.string() + " has " + std::to_string(dims[0]) +
                                 " images but " + labels.string() + " has " +
                                 std::to_string(labelFile.Dimensions()[0]) + " labels");
    }
    if (dims[1] == 0 || dims[2] == 0 || dims[1] > 65535 || dims[2] > 65535) {
        throw std::runtime_error(images.string() + " has images of unusable size");
    }

    DataSet set;
    const int rows = static_cast<int>(dims[1]);
    const int cols = static_cast<int>(dims[2]);
    const std::size_t pixels = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    set.images_.reserve(dims[0]);
    set.labels_.reserve(dims[0]);
    for (std::size_t i = 0; i < dims[0]; ++i) {
        const std::uint8_t label = labelFile.Values()[i];
        if (label >= categoryCount) {
            throw std::runtime_error(labels.string() + ": label " + std::to_string(label) +
                                     " of sample " + std::to_string(i) + " but the network has " +
                                     std::to_string(categoryCount) + " categories");
        }
        // The wrapping Mat borrows the file's bytes; clone gives each image its own.
        const cv::Mat view(rows, cols, CV_8UC1,
                           const_cast<std::uint8_t*>(imageFile.Values().data() + i * pixels));
        set.images_.push_back(view.clone());
        set.labels_.push_back(label);
    }
    return set;
}

cv::Mat DataSet::Image(std::size_t index) const {
    if (!images_.empty()) return images_[index];
    return ReadImage(files_[index]);
}

cv::Mat DataSet::ReadImage(const std::filesystem::path& file) {
    if (!std::filesystem::is_regular_file(file)) {
        throw std::runtime_error(file.string() + ": not found");
    }
    cv::Mat image;
    try {
        image = cv::imread(file.string(), cv::IMREAD_ANYCOLOR);
    } catch (const cv::Exception&) {
        image.release();
    }
    if (image.empty()) throw std::runtime_error(file.string() + ": not an image, or damaged");
    // The network takes 8-bit grey or BGR only.
    if (image.depth() != CV_8U) {
        image.convertTo(image, CV_8U, image.depth() == CV_16U ? 1.0 / 257 : 1.0);
    }
    if (image.channels() == 4) cv::cvtColor(image, image, cv::COLOR_BGRA2BGR);
    return image;
}

std::string DataSet::Describe(std::size_t index) const {
    if (!files_.empty()) return files_[index].string();
    return "sample " + std::to_string(index);
}

std::vector<std::size_t> DataSet::CountPerCategory(std::size_t categoryCount) const {
    std::vector<std::size_t> counts(categoryCount, 0);
    for (const std::size_t label : labels_) ++counts[label];
    return counts;
}
