#!/usr/bin/env bash
# Builds the `corvane` program, trains a new 32x32 network on part of the
# Fashion-MNIST training set, evaluates it on part of the test set, and
# prints the accuracy, the time taken and where the plots are.
#
# Longer training: CORVANE_DEMO_TRAIN (training samples per epoch, 0 = all
# 60000), CORVANE_DEMO_EPOCHS, CORVANE_DEMO_TEST (test samples, 0 = all
# 10000), CORVANE_DEMO_THREADS (worker threads per pool).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

train_samples=${CORVANE_DEMO_TRAIN:-6000}
epochs=${CORVANE_DEMO_EPOCHS:-1}
test_samples=${CORVANE_DEMO_TEST:-2000}
threads=${CORVANE_DEMO_THREADS:-$(nproc)}
data=/usr/share/datasets/fashion-mnist
demo=build/demo

started=$(date +%s)
echo "== building (Release)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release > build-release.configure.log 2>&1 \
  || { cat build-release.configure.log; exit 1; }
rm -f build-release.configure.log
cmake --build build/release -j"$(nproc)" --target corvane_cli > /dev/null
corvane=$PWD/build/release/tools/corvane

echo "== new network in $demo"
rm -rf "$demo"
"$corvane" init --network "$demo" --size 32x32 --threads "$threads" \
  --categories tshirt,trouser,pullover,dress,coat,sandal,shirt,sneaker,bag,boot

echo "== training on $train_samples samples (0 = all), $epochs epoch(s)"
train_started=$(date +%s)
"$corvane" train --network "$demo" --threads "$threads" --epochs "$epochs" \
  --limit "$train_samples" --seed 1 \
  --idx-images "$data/train-images-idx3-ubyte.gz" --idx-labels "$data/train-labels-idx1-ubyte.gz"
trained=$(date +%s)

echo "== evaluating on $test_samples test samples (0 = all)"
"$corvane" eval --network "$demo" --threads "$threads" --limit "$test_samples" --seed 1 \
  --idx-images "$data/t10k-images-idx3-ubyte.gz" --idx-labels "$data/t10k-labels-idx1-ubyte.gz" \
  | tee "$demo/eval.txt"
finished=$(date +%s)

echo
echo "== summary"
grep '^accuracy' "$demo/eval.txt"
echo "chance would be 10%"
echo "training took $((trained - train_started)) s, the whole demo $((finished - started)) s"
echo "plots: $PWD/$demo/loss.png (loss per epoch), $PWD/$demo/confusion.png (confusion matrix)"
echo "try:   $corvane predict --network $demo --top 3 IMAGE.png"
