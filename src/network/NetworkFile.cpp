#include "network/NetworkFile.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace NetworkFile {

const char* const kFileName = "Network.data";

namespace {

const char* const kOpenError = "open network file error";
const char* const kSizeLineError = "network file error: line 1 must hold width;height";
const char* const kCountLineError = "network file error: line 2 must hold the output count";
const char* const kNotFiniteError = "network not saved: a weight is not finite";
const char* const kTempSuffix = ".tmp";

// Files written on Windows end their lines with "\r\n"; read them the same.
bool ReadLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) {
        line.clear();
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

[[noreturn]] void Refuse(const char* text) {
    std::cout << text << std::endl;
    throw text;
}

void ReadHeader(std::istream& in, std::vector<std::string>& categories, cv::Size& size,
                int& outputCount) {
    std::string line;
    cv::Size readSize;
    int readCount = 0;

    ReadLine(in, line);
    std::istringstream sizeLine(line);
    if (!(sizeLine >> readSize.width)) Refuse(kSizeLineError);
    if (sizeLine.peek() == ';') sizeLine.get();
    if (!(sizeLine >> readSize.height)) Refuse(kSizeLineError);

    ReadLine(in, line);
    std::istringstream countLine(line);
    if (!(countLine >> readCount)) Refuse(kCountLineError);

    ReadLine(in, line);
    std::vector<std::string> names;
    std::istringstream nameLine(line);
    std::string name;
    // A piece ends at ";" or at the end of the line: a final ";" adds no empty name.
    while (std::getline(nameLine, name, ';')) names.push_back(name);

    size = readSize;
    outputCount = readCount;
    categories = std::move(names);
}

void SyncToDisk(const std::string& path) {
#if !defined(_WIN32)
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot reopen network file for syncing");
    int result = ::fsync(fd);
    ::close(fd);
    if (result != 0) throw std::runtime_error("cannot sync network file");
#else
    (void)path;
#endif
}

}  // namespace

void WriteHeader(std::ostream& out, const std::vector<std::string>& categories, cv::Size size,
                 int outputCount) {
    out << size.width << ";" << size.height << "\n";
    out << outputCount << "\n";
    for (const std::string& name : categories) out << name << ";";
    out << "\n";
}

void Write(const WeightGroups& groups, const std::vector<std::string>& categories, cv::Size size,
           int outputCount) {
    // Text for a non-finite value would not read back: refuse before touching the file.
    for (const WeightGroup& group : groups)
        for (const float* weight : group)
            if (!std::isfinite(*weight)) Refuse(kNotFiniteError);

    const std::string tempName = std::string(kFileName) + kTempSuffix;
    long long count = 0;
    try {
        std::ofstream out;
        out.exceptions(std::ios::failbit | std::ios::badbit);
        out.open(tempName, std::ios::out | std::ios::trunc);
        WriteHeader(out, categories, size, outputCount);
        for (const WeightGroup& group : groups) {
            for (const float* weight : group) {
                out << *weight << ";";
                ++count;
            }
            out << "\n";
        }
        out.flush();
        out.close();
        SyncToDisk(tempName);
        std::filesystem::rename(tempName, kFileName);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(tempName, ignored);
        throw;
    }
    std::cout << "Weights saved:" << count << std::endl;
}

void Read(const WeightGroups* groups, std::vector<std::string>& categories, cv::Size& size,
          int& outputCount) {
    std::ifstream in(kFileName);
    if (!in.is_open()) Refuse(kOpenError);

    ReadHeader(in, categories, size, outputCount);
    if (groups == nullptr) return;

    long long count = 0;
    std::string line;
    // One line per group, empty lines included; a line ends at the first
    // value that does not read. Values beyond what the network holds are
    // ignored.
    for (size_t g = 0; g < groups->size() && ReadLine(in, line); ++g) {
        const WeightGroup& group = (*groups)[g];
        std::istringstream values(line);
        float value = 0.0f;
        for (size_t k = 0; k < group.size() && (values >> value); ++k) {
            *group[k] = value;
            ++count;
            if (values.peek() == ';') values.get();
        }
    }
    std::cout << "Weights loaded:" << count << std::endl;
}

}  // namespace NetworkFile
