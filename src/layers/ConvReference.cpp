#include "layers/ConvReference.h"

#include <algorithm>
#include <opencv2/core.hpp>

#include "common/Formulas.h"

namespace {

float& CellAt(const FeatureMap& map, const ReceptiveField& field) {
    return map.image->ptr<float>(field.row)[field.column];
}

ConvKernel& KernelOf(const FeatureMap& map, std::vector<ConvKernel>& kernels) {
    return kernels[static_cast<size_t>(map.kernel->Index())];
}

}  // namespace

void ReferenceSelect(const cv::Mat& resizedMask, float threshold,
                     std::vector<ReceptiveField>& fields, std::vector<DepthLine*>* queue,
                     ActiveFields& active) {
    for (ReceptiveField& field : fields) {
        if (!(resizedMask.ptr<float>(field.centerY)[field.centerX] > threshold)) continue;
        for (DepthLine* line : field.lines) {
            if (line == nullptr || line->active) continue;
            line->active = true;
            if (queue != nullptr) queue->push_back(line);
        }
        active.fields.push_back(&field);
    }
}

std::vector<float> ReferenceForward(const std::vector<FeatureMap>& maps,
                                    const std::vector<ReceptiveField*>& fields,
                                    std::vector<ConvKernel>& kernels) {
    for (const FeatureMap& map : maps) {
        map.image->setTo(cv::Scalar(0));
        ConvKernel& kernel = KernelOf(map, kernels);
        // Invariant: only cells of active fields hold a response; all others stay 0.
        for (const ReceptiveField* field : fields)
            CellAt(map, *field) = kernel.Respond(field->lines);
    }
    return {};
}

std::vector<float> ReferenceErrors(const std::vector<FeatureMap>& maps,
                                   const std::vector<ReceptiveField*>& fields,
                                   std::vector<ConvKernel>& kernels) {
    float sum = 0.0f;
    for (const FeatureMap& map : maps) {
        ConvKernel& kernel = KernelOf(map, kernels);
        // Invariant: each map's kernel writes only its own row of every line's shares.
        for (const ReceptiveField* field : fields)
            sum = sum + kernel.ErrorShare(CellAt(map, *field), field->lines);
    }
    return {sum};
}

std::vector<FeatureMap*> ReferenceUpdate(const std::vector<FeatureMap>& maps,
                                         const std::vector<ReceptiveField*>& fields,
                                         std::vector<ConvKernel>& kernels) {
    for (const FeatureMap& map : maps) {
        ConvKernel& kernel = KernelOf(map, kernels);
        // Invariant: positions of one map update the same weights one after another.
        for (const ReceptiveField* field : fields) kernel.Learn(CellAt(map, *field), field->lines);
    }
    return {};
}

std::vector<float> ReferenceLineSums(const std::vector<DepthLine*>& lines, int inputCount,
                                     int outputCount) {
    std::vector<float> row(static_cast<size_t>(inputCount));
    for (DepthLine* line : lines) {
        if (!line->active) continue;
        line->active = false;
        std::fill(row.begin(), row.end(), 0.0f);
        // Invariant: row[k] is the sum of the shares of output maps 0..i-1 for input k.
        for (int i = 0; i < outputCount; ++i) {
            const float* shares = line->ErrorRow(i);
            for (int k = 0; k < inputCount; ++k) row[k] = row[k] + shares[k];
        }
        for (int k = 0; k < inputCount; ++k) {
            float& value = *line->inputs[static_cast<size_t>(k)];
            value = ClampToUnit(value + row[static_cast<size_t>(k)]);
        }
    }
    return {};
}

float TotalInChunkOrder(const std::vector<float>& chunkSums) {
    float total = 0.0f;
    for (const float sum : chunkSums) total = total + sum;
    return total;
}
