"""A created network through the module, end to end: training, saving,
reloading, argument checks on a loaded network, and shutting down."""
import os
import threading

import numpy as np
import pytest

import corvane
from conftest import bright_square, stripes


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
    samples = [(bright_square(rng), [1.0, 0.0, 0.0]) for _ in range(3)]
    samples += [(stripes(rng), [0.0, 1.0, 0.0]) for _ in range(3)]
    probe = bright_square(rng)

    with corvane.Network(network_folder) as net:
        untrained = net.predict(probe)
        for image, wanted in samples:
            loss = net.train(image, wanted)
            assert isinstance(loss, float) and 0.0 <= loss <= 1.0
        trained = net.predict(probe)
        net.save()

    assert trained.dtype == np.float32 and trained.shape == (3,)
    assert np.all((trained > 0.0) & (trained < 1.0))  # logistic outputs
    assert not np.array_equal(trained, untrained), "training changed nothing"

    with corvane.Network(network_folder) as reopened:
        # The file keeps six significant digits of every weight.
        np.testing.assert_allclose(reopened.predict(probe), trained, atol=1e-4, rtol=0)


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


def test_region_grey_and_strided_images(network_folder, rng):
    canvas = rng.integers(0, 255, size=(48, 40, 3), dtype=np.uint8)
    with corvane.Network(network_folder) as net:
        # Region (x=3, y=11, w=32, h=32) is columns 3..34 and rows 11..42.
        expected = net.predict(np.ascontiguousarray(canvas[11:43, 3:35]))
        np.testing.assert_array_equal(net.predict(canvas, region=(3, 11, 32, 32)), expected)
        np.testing.assert_array_equal(net.predict(canvas, region=np.array([3, 11, 32, 32])),
                                      expected)
        # A strided view is made contiguous, not misread.
        np.testing.assert_array_equal(net.predict(canvas[11:43, 3:35]), expected)
        grey = canvas[:32, :32, 1].copy()
        assert net.predict(grey).shape == (3,)


def test_wrong_arguments_raise_clear_errors(network_folder):
    image = np.zeros((32, 32, 3), dtype=np.uint8)
    with corvane.Network(network_folder) as net:
        with pytest.raises(TypeError, match="dtype uint8"):
            net.predict(image.astype(np.float32))
        with pytest.raises(TypeError, match="numpy array"):
            net.predict(image.tolist())
        for shape in ((32, 32, 4), (32, 32, 1), (32,), (2, 32, 32, 3)):
            with pytest.raises(ValueError, match=r"shape \(h, w\) or \(h, w, 3\)"):
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
        assert net.learning_rate == pytest.approx(0.0005)
        # None of that reached the library: the network still works.
        assert net.predict(image).shape == (3,)


def test_close_stops_the_workers_and_refuses_later_calls(network_folder):
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
                 lambda: net.categories, lambda: setattr(net, "learning_rate", 0.01)):
        with pytest.raises(RuntimeError, match="closed"):
            call()
    with corvane.Network(network_folder, threads=1) as net:
        assert thread_count() == before + 4
    assert net.closed and thread_count() == before


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
