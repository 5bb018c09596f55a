#!/usr/bin/env bash
# Builds the library and a small host, and shows the categories of an example network file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build/release -j"$(nproc)" --target corvane_categories
scratch=$(mktemp -d)
printf '28;28\n3\nshirt;trouser;sneaker;\n' > "$scratch/Network.data"
(cd "$scratch" && "$OLDPWD/build/release/tools/corvane_categories")
rm -rf "$scratch"
