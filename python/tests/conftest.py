"""Shared helpers for the module's tests: generated images and networks in
each test's own temporary folder."""
import os
import subprocess

import numpy as np
import pytest

import corvane


def bright_square(rng):
    """A dark BGR picture with a bright square: category 0 of the tests."""
    image = rng.integers(0, 40, size=(32, 32, 3), dtype=np.uint8)
    x, y = rng.integers(4, 16, size=2)
    image[y:y + 12, x:x + 12] = 220
    return image


def stripes(rng):
    """Horizontal bright stripes on a dark BGR picture: category 1."""
    image = rng.integers(0, 40, size=(32, 32, 3), dtype=np.uint8)
    image[int(rng.integers(0, 4))::4] = 200
    return image


def labelled(rng, count):
    """(images, labels): squares and stripes in turn, as one (n, 32, 32, 3) array."""
    labels = np.arange(count) % 2
    return np.stack([(stripes if label else bright_square)(rng) for label in labels]), labels


def run_cli(*args):
    """The program's output; the test fails when it fails. ctest names the program."""
    if "CORVANE_CLI" not in os.environ:
        pytest.skip("CORVANE_CLI (the built program) is not set")
    return subprocess.run([os.environ["CORVANE_CLI"], *map(str, args)], check=True,
                          capture_output=True, text=True).stdout


@pytest.fixture
def rng():
    return np.random.default_rng(7)


@pytest.fixture
def network_folder(tmp_path):
    """A folder with a freshly created 32x32 network of three categories."""
    folder = tmp_path / "net"
    corvane.create(folder, 32, ["square", "stripes", "other"])
    return folder


@pytest.fixture(autouse=True)
def keeps_working_directory():
    """No call of the module may leave the process in another directory."""
    before = os.getcwd()
    yield
    assert os.getcwd() == before
