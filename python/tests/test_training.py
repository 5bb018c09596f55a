"""fit, evaluate and the data-set loaders, checked against the per-sample
calls and against the program's own readers and training loop."""
import gzip
import os
import shutil
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane
from conftest import labelled, run_cli


def write_idx(path, array):
    """IDX bytes: magic 0x08 (unsigned bytes), dimension count, sizes big-endian."""
    header = bytes([0, 0, 8, array.ndim]) + np.array(array.shape, dtype=">u4").tobytes()
    with gzip.open(path, "wb") as out:
        out.write(header + array.astype(np.uint8).tobytes())


def write_folder(root, images, labels):
    """One sub-folder per category: grey images as PGM, colour as PPM (stored
    red-green-blue, read back blue-green-red)."""
    for i, (image, label) in enumerate(zip(images, labels)):
        folder = root / f"c{label}"
        folder.mkdir(parents=True, exist_ok=True)
        grey = image.ndim == 2
        pixels = image if grey else image[:, :, ::-1]
        header = f"P{5 if grey else 6}\n{image.shape[1]} {image.shape[0]}\n255\n".encode()
        (folder / f"{i:03d}.{'pgm' if grey else 'ppm'}").write_bytes(header + pixels.tobytes())


@pytest.mark.parametrize("route", ["train", "idx", "folder"])
def test_fit_trains_like_train_and_like_the_program(tmp_path, rng, route):
    images, labels = labelled(rng, 12)
    mine, theirs = tmp_path / "mine", tmp_path / "theirs"
    corvane.create(mine, 32, ["c0", "c1"])
    shutil.copytree(mine, theirs)  # the same initial weights
    options = dict(epochs=2, seed=5, learning_rate=(0.02, 0.002), every=3, validation=0.25)
    if route == "train":
        options = dict(epochs=2, shuffle=False, learning_rate=0.01)
        losses = []
        with corvane.Network(theirs) as net:
            net.learning_rate = 0.01
            for _ in range(2):
                losses.append([net.train(image, np.eye(2)[label]) for image, label in
                               zip(images, labels)])
            net.save()
    elif route == "idx":
        images = images[..., 1].copy()
        write_idx(tmp_path / "images.gz", images)
        write_idx(tmp_path / "labels.gz", labels)
        images, labels, names = corvane.load_idx(tmp_path / "images.gz", tmp_path / "labels.gz")
        assert names == ["0", "1"] and images.shape == (12, 32, 32)
        data = ["--idx-images", tmp_path / "images.gz", "--idx-labels", tmp_path / "labels.gz"]
    else:
        images = [image[..., 1].copy() if i % 3 == 0 else image for i, image in enumerate(images)]
        write_folder(tmp_path / "data", images, labels)
        # Sorted by category, then by file name.
        order = np.argsort(labels, kind="stable")
        loaded, labels, names = corvane.load_folder(tmp_path / "data")
        assert names == ["c0", "c1"] and list(labels) == [0] * 6 + [1] * 6
        assert [image.tobytes() for image in loaded] == [images[i].tobytes() for i in order]
        images = loaded
        data = [tmp_path / "data"]
    if route != "train":
        run_cli("train", *data, "--network", theirs, "--epochs", 2, "--seed", 5, "--threads", 2,
                "--learning-rate", 0.02, "--final-rate", 0.002, "--loss-every", 3, "--validate", 3)

    with corvane.Network(mine) as net:
        history = net.fit(images, labels, **options)
        net.save()
    assert (mine / "Network.data").read_bytes() == (theirs / "Network.data").read_bytes()
    if route == "train":
        assert history == {"loss": [sum(run) / len(run) for run in losses], "val_accuracy": [],
                           "samples": 24}
    else:
        assert history["samples"] == 18 and len(history["val_accuracy"]) == 2


def test_evaluate_counts_best_scores(network_folder, rng):
    images, _ = labelled(rng, 9)
    labels = np.array([0, 1, 2, 2, 1, 0, 0, 1, 2])
    with corvane.Network(network_folder) as net:
        best = net.predict(images).argmax(axis=1)
        accuracy, confusion = net.evaluate(list(images), labels)
    expected = np.zeros((3, 3), dtype=np.int64)
    np.add.at(expected, (labels, best), 1)
    np.testing.assert_array_equal(confusion, expected)
    assert confusion.dtype == np.int64 and accuracy == np.mean(best == labels)


# The callback is a queue's put, which runs no Python code, so only fit's
# own check between two steps can notice Ctrl-C; a helper thread announces
# the first step.
CHILD = textwrap.dedent("""
    import queue, signal, sys, threading, numpy as np, corvane
    signal.signal(signal.SIGINT, signal.default_int_handler)  # not ignored, whatever the parent did
    sys.path.insert(0, sys.argv[2])
    from conftest import labelled
    images, labels = labelled(np.random.default_rng(7), 4)
    try:
        corvane.create(sys.argv[1] + "/refused", (4128, 32), ["a"])  # a warning nobody sees
    except RuntimeError:
        pass
    steps = queue.SimpleQueue()
    threading.Thread(target=lambda: print(steps.get() and "training", flush=True)).start()
    with corvane.Network(sys.argv[1]) as net:
        try:
            net.fit(images, labels, epochs=1000, shuffle=False, every=1, callback=steps.put)
        except KeyboardInterrupt as stop:
            net.save()
            print("stopped after", stop.history["samples"])
""")


def test_ctrl_c_stops_fit_after_a_whole_step(tmp_path, rng):
    corvane.create(tmp_path / "child", 32, ["c0", "c1"])
    shutil.copytree(tmp_path / "child", tmp_path / "reference")
    child = subprocess.Popen([sys.executable, "-c", CHILD, tmp_path / "child",
                              os.path.dirname(__file__)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "training\n"
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0 and err == ""
    done = int(out.splitlines()[-1].removeprefix("stopped after "))
    assert 1 <= done < 4000
    # The same samples through train give the same network.
    images, labels = labelled(np.random.default_rng(7), 4)
    with corvane.Network(tmp_path / "reference") as net:
        for step in range(done):
            net.train(images[step % 4], np.eye(2)[labels[step % 4]])
        net.save()
    assert ((tmp_path / "child" / "Network.data").read_bytes()
            == (tmp_path / "reference" / "Network.data").read_bytes())
