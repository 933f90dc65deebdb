import hashlib
import io
import os

import cupy as cp
import numpy as np
import pytest

import corvanta.idmap as idmap
from leakcheck import assert_no_leaks

KEY = hashlib.sha256("tinsmoke".encode("utf-8")).digest()


def npy(array):
    buf = io.BytesIO()
    np.save(buf, array)
    return buf.getvalue()


def xor(data):
    return bytes(b ^ KEY[i % 32] for i, b in enumerate(data))


@pytest.fixture
def script_dir(tmp_path, monkeypatch):
    monkeypatch.setattr(idmap, "script_dir", str(tmp_path))
    return tmp_path


# ---- the default matrix and the file format --------------------------------------------------

def test_default_matrix_ships_beside_the_module():
    m = idmap.load_idmap()
    assert isinstance(m, cp.ndarray)
    assert m.shape == (512, 512) and m.dtype == np.float32
    host = cp.asnumpy(m)
    assert np.isfinite(host).all()
    assert not np.allclose(host, host.T)  # operand order and transposition must show
    assert os.path.dirname(idmap.__file__) == idmap.script_dir
    assert os.path.isfile(os.path.join(idmap.script_dir, "idmap.bin"))


@pytest.mark.parametrize(
    "array",
    [
        np.arange(12, dtype=np.float32).reshape(3, 4),
        np.linspace(-1, 1, 7, dtype=np.float64),
        np.array([[1, -2], [3, 4]], dtype=np.int16),
        np.asfortranarray(np.arange(6, dtype=np.float32).reshape(2, 3)),
        np.zeros((0, 5), dtype=np.float32),
        np.float32(7.5).reshape(()),
        np.arange(33, dtype=np.uint8),  # length not a multiple of the key
    ],
)
def test_round_trip_and_known_ciphertext(tmp_path, array):
    path = str(tmp_path / "m.bin")
    idmap.save(array, path)
    raw = open(path, "rb").read()
    assert raw == xor(npy(array))
    assert xor(raw) == npy(array)
    back = idmap.load_idmap(path)
    assert back.dtype == array.dtype and back.shape == array.shape
    assert np.array_equal(cp.asnumpy(back), array)


def test_key_period_and_reading_a_hand_made_file(tmp_path):
    array = np.arange(40, dtype=np.float64)
    plain = npy(array)
    raw = bytes(b ^ KEY[i % 32] for i, b in enumerate(plain))
    for i in (0, 31, 32, 64, len(raw) - 1):
        assert raw[i] ^ plain[i] == KEY[i % 32]
    path = tmp_path / "hand.bin"
    path.write_bytes(raw)
    assert np.array_equal(cp.asnumpy(idmap.load_idmap(str(path))), array)


def test_big_endian_file_loads_native_values(tmp_path):
    array = np.arange(6, dtype=">f4").reshape(2, 3)
    path = tmp_path / "be.bin"
    path.write_bytes(xor(npy(array)))
    back = idmap.load_idmap(str(path))
    assert back.dtype == np.float32 and back.dtype.isnative
    assert np.array_equal(cp.asnumpy(back), array.astype("<f4"))


def test_smaller_array_replaces_larger_file(tmp_path):
    path = str(tmp_path / "m.bin")
    idmap.save(np.ones((64, 64), np.float32), path)
    idmap.save(np.ones(3, np.float32), path)
    assert os.path.getsize(path) == len(npy(np.ones(3, np.float32)))
    assert idmap.load_idmap(path).shape == (3,)


# ---- default path and script_dir -----------------------------------------------------------

def test_defaults_follow_script_dir(script_dir):
    a = np.eye(3, dtype=np.float32)
    idmap.save(a)
    assert (script_dir / "idmap.bin").exists()
    assert np.array_equal(cp.asnumpy(idmap.load_idmap()), a)
    idmap.save(a * 2, None)
    assert np.array_equal(cp.asnumpy(idmap.load_idmap(None)), a * 2)
    other = script_dir / "x.bin"
    idmap.save(a * 3, str(other))  # an explicit path ignores script_dir
    assert np.array_equal(cp.asnumpy(idmap.load_idmap(str(other))), a * 3)


def test_missing_default_file_names_the_full_path(script_dir):
    with pytest.raises(FileNotFoundError) as e:
        idmap.load_idmap()
    assert str(e.value) == "IDMAP file not found: " + os.path.join(str(script_dir), "idmap.bin")


def test_deleted_script_dir(monkeypatch):
    monkeypatch.delattr(idmap, "script_dir")
    for call in (idmap.load_idmap, lambda: idmap.save(np.ones(2))):
        with pytest.raises(NameError, match="^name 'script_dir' is not defined$"):
            call()


# ---- failures --------------------------------------------------------------------------------

def test_load_failures(tmp_path):
    with pytest.raises(FileNotFoundError, match="^IDMAP file not found: $"):
        idmap.load_idmap("")
    with pytest.raises(IsADirectoryError):  # a folder passes the existence test
        idmap.load_idmap(str(tmp_path))
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    with pytest.raises(EOFError):
        idmap.load_idmap(str(empty))
    plain = tmp_path / "plain.npy"
    plain.write_bytes(npy(np.ones(3)))
    with pytest.raises(ValueError):
        idmap.load_idmap(str(plain))
    objects = tmp_path / "objects.bin"
    buf = io.BytesIO()
    np.save(buf, np.array([{"a": 1}], dtype=object), allow_pickle=True)
    objects.write_bytes(xor(buf.getvalue()))
    with pytest.raises(ValueError):
        idmap.load_idmap(str(objects))


@pytest.mark.parametrize("bad", [b"/tmp/x.bin", 3, type("P", (str,), {})("/tmp/x")])
def test_path_type_is_exact_text(bad, tmp_path):
    import pathlib

    for fn, name in ((idmap.load_idmap, "idmap_path"), (lambda p: idmap.save(np.ones(1), p), "dest_path")):
        for value in (bad, pathlib.Path(tmp_path / "x.bin")):
            with pytest.raises(TypeError) as e:
                fn(value)
            assert str(e.value) == "Argument '%s' has incorrect type (expected str, got %s)" % (
                name, type(value).__name__)
    assert not (tmp_path / "x.bin").exists()


def test_object_array_refused_before_any_file_is_touched(tmp_path, monkeypatch):
    path = tmp_path / "m.bin"
    idmap.save(np.ones(2, np.float32), str(path))
    before = path.read_bytes()
    opened = []
    monkeypatch.setattr(idmap, "open", lambda *a: opened.append(a) or open(*a), raising=False)
    with pytest.raises(ValueError):
        idmap.save(np.array([1, "a", None], dtype=object), str(path))
    assert opened == [] and path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["m.bin"]


def test_save_is_atomic(tmp_path, monkeypatch):
    path = tmp_path / "m.bin"
    idmap.save(np.ones(4, np.float32), str(path))
    before = path.read_bytes()

    class Failing(io.FileIO):
        def write(self, data):
            super().write(data[:10])
            raise OSError("disk full")

    monkeypatch.setattr(idmap, "open", lambda p, mode: Failing(p, "w"), raising=False)
    with pytest.raises(OSError, match="disk full"):
        idmap.save(np.zeros(100, np.float32), str(path))
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["m.bin"]


def test_save_into_missing_folder_or_onto_a_folder(tmp_path):
    with pytest.raises(FileNotFoundError):
        idmap.save(np.ones(2), str(tmp_path / "nope" / "m.bin"))
    assert not (tmp_path / "nope").exists()
    (tmp_path / "dir").mkdir()
    with pytest.raises(OSError):
        idmap.save(np.ones(2), str(tmp_path / "dir"))
    assert os.listdir(tmp_path / "dir") == [] and sorted(os.listdir(tmp_path)) == ["dir"]


def test_save_keeps_the_file_mode(tmp_path):
    path = tmp_path / "m.bin"
    idmap.save(np.ones(2), str(path))
    os.chmod(path, 0o640)
    idmap.save(np.ones(3), str(path))
    assert os.stat(path).st_mode & 0o777 == 0o640


def test_no_leaks(tmp_path):
    path = str(tmp_path / "m.bin")
    idmap.save(np.ones((8, 8), np.float32), path)
    assert_no_leaks(
        lambda: idmap.load_idmap(path),
        lambda: idmap.save(np.ones((8, 8), np.float32), path),
        lambda: idmap.load_idmap(str(tmp_path / "missing")),
        lambda: idmap.load_idmap(b"x"),
        lambda: idmap.save(np.array([object()]), path),
        lambda: idmap.save(),
        lambda: idmap.save(np.ones(1), path, nope=1),
        repeat=200,
    )
