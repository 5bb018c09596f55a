"""A created network through the module, end to end: training, saving,
reloading, argument checks on a loaded network, and shutting down."""
import logging
import os
import threading

import numpy as np
import pytest

import corvane
from conftest import bright_square, labelled


def thread_count():
    return len(os.listdir("/proc/self/task"))


def test_create_writes_header_and_initial_weights(network_folder):
    lines = (network_folder / "Network.data").read_text().splitlines()
    assert lines[:3] == ["32;32", "3", "square;stripes;other;"]
    # The library filled in its fixed topology: 1271 kernel lines, then the
    # dense line of (512 inputs + 1 bias) x 3 outputs = 1539 values.
    assert len(lines) == 3 + 1271 + 1
    assert lines[-1].count(";") == 1539
    with corvane.Network(network_folder) as net:
        assert net.categories == ["square", "stripes", "other"]
        assert net.output_count == 3
        assert net.input_size == (32, 32)
    # A size given as (width, height) lands in that order.
    corvane.create(network_folder.parent / "wide", (64, 32), ["a", "b"])
    assert (network_folder.parent / "wide" / "Network.data").read_text().startswith("64;32\n2\na;b;\n")


def test_trained_network_predicts_the_same_after_save_and_reload(network_folder, rng):
    images, labels = labelled(rng, 6)
    with corvane.Network(network_folder) as net:
        net.fit(images, labels)
        trained = net.predict(images)
        net.save()
    assert np.all((trained > 0.0) & (trained < 1.0))  # logistic outputs
    with corvane.Network(network_folder) as reopened:
        # The file keeps six significant digits of every weight.
        np.testing.assert_allclose(reopened.predict(images), trained, atol=1e-4, rtol=0)


def test_learning_rate_sizes_the_training_step(network_folder, rng):
    image = bright_square(rng)
    steps = {}
    for rate in (None, 0.05):
        with corvane.Network(network_folder) as net:
            before = net.predict(image)[0]
            if rate is not None:
                net.learning_rate = rate
                assert net.learning_rate == pytest.approx(rate)
            net.train(image, [1.0, 0.0, 0.0])
            steps[rate] = net.predict(image)[0] - before
    assert steps[0.05] > 10 * steps[None] > 0


def test_batches_equal_one_by_one(network_folder, rng):
    colour = rng.integers(0, 255, size=(4, 48, 40, 3), dtype=np.uint8)
    grey = colour[..., 1]  # strided: made contiguous, not misread
    mixed = [colour[0], grey[1], rng.integers(0, 255, size=(64, 32), dtype=np.uint8)]
    with corvane.Network(network_folder) as net:
        for batch in (colour, grey, mixed):
            rows = net.predict(batch)
            assert rows.dtype == np.float32 and rows.shape == (len(batch), 3)
            np.testing.assert_array_equal(rows, [net.predict(image) for image in batch])
        # Region (x=3, y=11, w=32, h=32) is columns 3..34 and rows 11..42 of every image.
        expected = [net.predict(np.ascontiguousarray(image[11:43, 3:35])) for image in colour]
        np.testing.assert_array_equal(net.predict(colour, region=(3, 11, 32, 32)), expected)
        np.testing.assert_array_equal(net.predict(colour[2], region=np.array([3, 11, 32, 32])),
                                      expected[2])
        assert net.predict(np.zeros((0, 32, 32), dtype=np.uint8)).shape == (0, 3)


def test_wrong_arguments_raise_clear_errors(network_folder, rng):
    image = np.zeros((32, 32, 3), dtype=np.uint8)
    images, labels = labelled(rng, 4)
    with corvane.Network(network_folder) as net:
        before = net.predict(images)
        with pytest.raises(TypeError, match="dtype uint8"):
            net.predict(image.astype(np.float32))
        with pytest.raises(TypeError, match="numpy array"):
            net.predict(image.tolist())
        for shape in ((32, 32, 4), (32, 32, 1), (32,), (2, 32, 32, 4), (1, 2, 32, 32, 3)):
            with pytest.raises(ValueError, match=r"shape \(h, w\), \(h, w, 3\)"):
                net.predict(np.zeros(shape, dtype=np.uint8))
        with pytest.raises(ValueError, match="empty"):
            net.predict(np.zeros((0, 32, 3), dtype=np.uint8))
        for region in ((0, 0, 33, 32), (1, 0, 32, 32), (0, 31, 32, 2), (-1, 0, 8, 8),
                       (0, 0, 0, 8), (2**40, 0, 8, 8)):
            with pytest.raises(ValueError, match="region"):
                net.predict(image, region=region)
        with pytest.raises(ValueError, match="4 values"):
            net.predict(image, region=(0, 0, 8))
        with pytest.raises(TypeError, match="region"):
            net.predict(image, region=(0, 0, 8.5, 8))
        with pytest.raises(ValueError, match=r"one value per output \(3\)"):
            net.train(image, [1.0, 0.0])
        with pytest.raises(ValueError, match=r"\[0, 1\]"):
            net.train(image, [1.5, 0.0, 0.0])
        with pytest.raises(TypeError, match="wanted"):
            net.train(image, "abc")
        for rate in (0.0, -0.5, 1.5, float("nan")):
            with pytest.raises(ValueError, match="learning_rate"):
                net.learning_rate = rate
        # fit and evaluate check everything before the first step.
        bad = [(TypeError, r"images\[1\] must have dtype uint8",
                ([images[0], images[1].astype(np.int16)], labels[:2]), {}),
               (TypeError, "labels must be integers", (images, labels * 0.5), {}),
               (ValueError, "4 images but 3 labels", (images, labels[:3]), {}),
               (ValueError, r"labels\[2\] is 3, outside 0 to 2", (images, [0, 1, 3, 0]), {}),
               (ValueError, r"labels\[0\] is -1", (images, [-1, 0, 0, 0]), {}),
               (ValueError, "one-dimensional", (images, labels[:, None]), {}),
               (ValueError, "epochs", (images, labels), {"epochs": 0}),
               (ValueError, "learning rates", (images, labels), {"learning_rate": (0.1, 2.0)}),
               (ValueError, "validation fraction", (images, labels), {"validation": 0.1}),
               (ValueError, "5 images but 4 labels", (images, labels),
                {"validation": (images[:1].repeat(5, axis=0), labels)})]
        for error, message, args, options in bad:
            with pytest.raises(error, match=message):
                net.fit(*args, **options)
            if not options:
                with pytest.raises(error, match=message):
                    net.evaluate(*args)
        assert net.learning_rate == pytest.approx(0.0005)
        # None of that reached the library: no step was taken.
        np.testing.assert_array_equal(net.predict(images), before)


def test_close_stops_the_workers_and_logs_their_lines(network_folder, caplog, capfd):
    caplog.set_level(logging.DEBUG, logger="corvane")
    before = thread_count()
    net = corvane.Network(network_folder, threads=2)
    # Four pools of two workers each.
    assert thread_count() == before + 8
    net.close()
    assert thread_count() == before
    net.close()  # idempotent
    assert net.closed
    image = np.zeros((32, 32), dtype=np.uint8)
    for call in (lambda: net.predict(image), lambda: net.train(image, [0, 0, 1]), net.save,
                 lambda: net.categories, lambda: setattr(net, "learning_rate", 0.01),
                 lambda: net.fit([image], [0]), lambda: net.evaluate([image], [0])):
        with pytest.raises(RuntimeError, match="closed"):
            call()
    with corvane.Network(network_folder, threads=1) as net:
        assert thread_count() == before + 4
    assert net.closed and thread_count() == before
    # Each worker's farewell, written from its own thread, reached logging whole.
    lines = [(record.levelname, record.getMessage()) for record in caplog.records]
    assert lines.count(("DEBUG", "Thread finished")) == 12
    assert lines.count(("DEBUG", "Weights loaded:831667")) == 2  # 830128 + 513 x 3
    assert capfd.readouterr().out == ""


def test_networks_in_threads_keep_to_their_own_folders(tmp_path, rng):
    # Each thread reads its own network's names while the others switch
    # directories for theirs: the module-wide lock keeps them apart.
    names = {f"n{i}": [f"cat{i}", f"dog{i}"] for i in range(3)}
    for folder, categories in names.items():
        corvane.create(tmp_path / folder, 32, categories)
    probe = bright_square(rng)
    nets = {folder: corvane.Network(tmp_path / folder, threads=1) for folder in names}
    serial = {folder: net.predict(probe) for folder, net in nets.items()}
    failures = []

    def work(folder):
        try:
            for _ in range(5):
                if nets[folder].categories != names[folder]:
                    failures.append(folder)
                np.testing.assert_array_equal(nets[folder].predict(probe), serial[folder])
        except Exception as error:  # reported below; a thread cannot fail the test
            failures.append(repr(error))

    threads = [threading.Thread(target=work, args=(folder,)) for folder in names]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for net in nets.values():
        net.close()
    assert failures == []
