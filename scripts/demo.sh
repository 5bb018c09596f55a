#!/usr/bin/env bash
# Builds the `corvane` program, trains a new 32x32 network for one epoch on
# all 60000 Fashion-MNIST training images with a learning rate that starts
# at 0.03 and falls to 0.0005 (docs/learning.md shows why), evaluates it on
# all 10000 test images, and prints the accuracy, the time taken and where
# the plots are.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

threads=$(nproc)
data=/usr/share/datasets/fashion-mnist
demo=build/demo

started=$(date +%s)
echo "== building (Release)"
mkdir -p build
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release > build/release.configure.log 2>&1 \
  || { cat build/release.configure.log; exit 1; }
cmake --build build/release -j"$threads" --target corvane_cli > /dev/null
corvane=$PWD/build/release/tools/corvane

echo "== new network in $demo"
rm -rf "$demo"
"$corvane" init --network "$demo" --size 32x32 --threads "$threads" \
  --categories tshirt,trouser,pullover,dress,coat,sandal,shirt,sneaker,bag,boot

echo "== training on all 60000 training images, one epoch, learning rate 0.03 falling to 0.0005"
train_started=$(date +%s)
"$corvane" train --network "$demo" --threads "$threads" --epochs 1 --seed 1 \
  --learning-rate 0.03 --final-rate 0.0005 \
  --idx-images "$data/train-images-idx3-ubyte.gz" --idx-labels "$data/train-labels-idx1-ubyte.gz"
trained=$(date +%s)

echo "== evaluating on all 10000 test images"
"$corvane" eval --network "$demo" --threads "$threads" \
  --idx-images "$data/t10k-images-idx3-ubyte.gz" --idx-labels "$data/t10k-labels-idx1-ubyte.gz" \
  | tee "$demo/eval.txt"
finished=$(date +%s)

echo
echo "== summary"
grep '^accuracy' "$demo/eval.txt"
echo "chance would be 10%"
echo "training took $((trained - train_started)) s, the whole demo $((finished - started)) s"
echo "plots: $PWD/$demo/loss.png (loss every 1000 samples), $PWD/$demo/confusion.png (confusion matrix)"
echo "try:   $corvane predict --network $demo --top 3 IMAGE.png"
