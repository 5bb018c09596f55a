"""Trains a new 32x32 network on Fashion-MNIST for one epoch and prints its
accuracy on the test images.

Needs the module on the path (a build puts it in build/<type>/python) and
the Debian package dataset-fashion-mnist (scripts/setup.sh installs it):

    PYTHONPATH=build/release/python python3 python/examples/fashion.py

The learning rate falls from 0.03 to 0.0005 over the epoch, as in
docs/learning.md; --limit trains on fewer images for a quicker look.
"""
import argparse
import logging
import os
import sys
import tempfile
import time

import corvane

CATEGORIES = ["tshirt", "trouser", "pullover", "dress", "coat",
              "sandal", "shirt", "sneaker", "bag", "boot"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default="/usr/share/datasets/fashion-mnist",
                        help="folder of the four IDX files")
    parser.add_argument("--limit", type=int, default=0,
                        help="train on only this many images (0: all 60000)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--network", help="folder to keep the network in (default: a temporary one)")
    parser.add_argument("--verbose", action="store_true", help="show the library's own lines")
    args = parser.parse_args()
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING,
                        format="%(name)s: %(message)s")

    def data(name):
        return os.path.join(args.data, name)

    train_images, train_labels, _ = corvane.load_idx(data("train-images-idx3-ubyte.gz"),
                                                     data("train-labels-idx1-ubyte.gz"))
    test_images, test_labels, _ = corvane.load_idx(data("t10k-images-idx3-ubyte.gz"),
                                                   data("t10k-labels-idx1-ubyte.gz"))
    if args.limit:
        train_images, train_labels = train_images[:args.limit], train_labels[:args.limit]

    with tempfile.TemporaryDirectory() as scratch:
        folder = args.network or scratch
        corvane.create(folder, 32, CATEGORIES, overwrite=True, threads=args.threads)
        with corvane.Network(folder, threads=args.threads) as net:
            started = time.monotonic()
            history = net.fit(train_images, train_labels, epochs=1, seed=1,
                              learning_rate=(0.03, 0.0005), every=1000)
            trained = time.monotonic()
            accuracy, confusion = net.evaluate(test_images, test_labels)
            finished = time.monotonic()
            net.save()

    print(f"trained on {history['samples']} images in {trained - started:.0f} s "
          f"(mean loss {history['loss'][-1]:.4f}), "
          f"evaluated {len(test_labels)} in {finished - trained:.0f} s")
    print("confusion matrix (rows: true category, columns: predicted):")
    for name, row in zip(CATEGORIES, confusion):
        print(f"  {name:>8} " + " ".join(f"{count:5d}" for count in row))
    print(f"accuracy: {accuracy * 100:.2f} % (chance: 10 %)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
