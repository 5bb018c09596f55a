#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

// Labelled images to train on or evaluate: either an image folder (one
// sub-folder per category, read from disk when a sample is asked for) or an
// IDX image/label pair (held in memory as 8-bit grey images).
class DataSet {
  public:
    // Sub-folders of root are matched to categories by name, or by the
    // folder name folderOf gives a category (CategoryMatcher).
    // Files without an image extension are skipped; a file that turns out
    // unreadable fails only when its image is asked for, so that a run may
    // go on past it.
    static DataSet FromFolder(const std::filesystem::path& root,
                              const std::vector<std::string>& categories,
                              const std::map<std::string, std::string>& folderOf = {});

    // The categories a data set implies: the sub-folder names of a folder
    // set, or "0" up to the largest label of an IDX label file.
    static std::vector<std::string> CategoriesOf(const std::filesystem::path& data);

    // images: magic 0x00000803, dimensions count x rows x columns;
    // labels: magic 0x00000801, dimension count. Label i is category i.
    static DataSet FromIdx(const std::filesystem::path& images, const std::filesystem::path& labels,
                           std::size_t categoryCount);

    std::size_t Size() const { return labels_.size(); }
    std::size_t Label(std::size_t index) const { return labels_[index]; }

    // An 8-bit grey or BGR image; throws std::runtime_error starting with
    // the file's name when it cannot be read.
    cv::Mat Image(std::size_t index) const;

    // An image file as 8-bit grey or BGR, whatever its depth or alpha;
    // throws std::runtime_error "FILE: why" when it cannot be read.
    static cv::Mat ReadImage(const std::filesystem::path& file);

    // What a message about this sample should call it.
    std::string Describe(std::size_t index) const;

    // Samples per category, indexed like the categories.
    std::vector<std::size_t> CountPerCategory(std::size_t categoryCount) const;

  private:
    std::vector<std::size_t> labels_;
    std::vector<std::filesystem::path> files_;  // folder sets
    std::vector<cv::Mat> images_;               // IDX sets
};
