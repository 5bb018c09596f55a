#pragma once

#include <string>

#include "layers/FeatureMap.h"

// Diagnostic snapshot of a layer: all its maps side by side in one float TIFF
// named "<index>_size_<map width>.tif" inside `folder`. The folder is never
// created and a failed write is not reported, so a missing folder simply
// means no file. Every map must have the first map's size and be CV_32F.
// Throws "Dump: no maps" for an empty list.
void DumpMaps(const FeatureMaps& maps, int index, std::string folder);

// The scratch folder the layers dump into: c:\temp\Layers on Windows,
// <temp directory>/Layers elsewhere.
std::string DefaultDumpFolder();
