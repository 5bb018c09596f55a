"""What the module refuses before the library does any work."""
import logging
import os

import numpy as np
import pytest

import corvane


def test_create_refuses_bad_sizes_and_names(tmp_path):
    folder = tmp_path / "net"
    for size in (0, 16, 31, 48, -32, (32, 40), (64, 0)):
        with pytest.raises(ValueError, match="multiple of 32"):
            corvane.create(folder, size, ["a", "b"])
    for size in ("32", (32,), (32, 32, 32), 32.0, True):
        with pytest.raises(TypeError, match="size"):
            corvane.create(folder, size, ["a", "b"])
    for name in ("a;b", "a\nb", "a\rb", ""):
        with pytest.raises(ValueError, match="name"):
            corvane.create(folder, 32, ["ok", name])
    with pytest.raises(ValueError, match="at least one category"):
        corvane.create(folder, 32, [])
    # A refused creation writes nothing.
    assert not (folder / "Network.data").exists()


def test_create_keeps_an_existing_network(tmp_path, caplog, capfd):
    existing = "32;32\n1\nmine;\n0.5;\n"
    (tmp_path / "Network.data").write_text(existing)
    with pytest.raises(FileExistsError, match="overwrite"):
        corvane.create(tmp_path, 32, ["a", "b"])
    # A size the library refuses, found only once it loads the new header.
    with pytest.raises(RuntimeError, match="LoadCorvane failed"):
        corvane.create(tmp_path, (4128, 32), ["a", "b"], overwrite=True)
    assert os.listdir(tmp_path) == ["Network.data"]
    assert (tmp_path / "Network.data").read_text() == existing
    # The library's reason went to logging, not to standard output.
    assert ("corvane", logging.WARNING,
            "network file refused: input size 4128x32 is outside 32 to 4096") in caplog.record_tuples
    assert capfd.readouterr().out == ""


def test_network_needs_a_readable_network_file(tmp_path):
    with pytest.raises(ValueError, match="no Network.data in"):
        corvane.Network(tmp_path)
    (tmp_path / "Network.data").write_text("32;32\n2\nx;y;\n")
    for threads in (0, 257):
        with pytest.raises(ValueError, match="threads must be between 1 and 256"):
            corvane.Network(tmp_path, threads=threads)
    with pytest.raises(ValueError, match="threads"):
        corvane.create(tmp_path / "other", 32, ["a"], threads=257)
    with pytest.raises(TypeError):
        corvane.Network(tmp_path, threads=-1)


def test_failed_load_restores_the_working_directory(tmp_path):
    # Not a network header: refused after the module entered the folder.
    (tmp_path / "Network.data").write_text("garbage\n")
    here = os.getcwd()
    with pytest.raises(RuntimeError, match="network header"):
        corvane.Network(tmp_path)
    assert os.getcwd() == here
