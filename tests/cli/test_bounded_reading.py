"""Reading tables as a stream: compressed input capped, the same frame as pandas, one-line errors; low memory."""

import bz2
import gzip
import io
import lzma
import resource
import subprocess
import sys
import zipfile
import zlib

import numpy as np
import pandas as pd
import pytest

from karrow_libs.cli.inputs import read_table
from karrow_libs.cli.messages import DataError


def frame(n=300, seed=2):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"x": rng.normal(size=n).round(5), "k": rng.integers(0, 9, n),
                         "city": rng.choice(["Oslo", "Zürich", "Łódź"], n)})


def compress(kind, data):
    if kind == "gz":
        return gzip.compress(data)
    if kind == "bz2":
        return bz2.compress(data)
    if kind == "xz":
        return lzma.compress(data)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("table.csv", data)
    return buffer.getvalue()


def gzip_bomb(path, mib):
    """A gzip file of ``mib`` MiB of one repeated row, compressed about a thousand times."""
    row = b"0,0,0,0\n"
    block = row * ((1 << 20) // len(row))
    c = zlib.compressobj(9, zlib.DEFLATED, 31)
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(c.compress(block))
        f.write(c.flush())


@pytest.mark.parametrize("kind", ["plain", "gz", "bz2", "xz", "zip"])
@pytest.mark.parametrize("bom", [False, True])
def test_the_frame_is_the_one_pandas_reads(tmp_path, kind, bom):
    expected = frame()
    data = ("\ufeff" if bom else "").encode("utf-8") + expected.to_csv(index=False).encode("utf-8")
    path = tmp_path / ("t.csv" + ("" if kind == "plain" else "." + kind))
    path.write_bytes(data if kind == "plain" else compress(kind, data))
    got, label = read_table(str(path))
    pd.testing.assert_frame_equal(got, expected)
    assert label == str(path)


@pytest.mark.parametrize("data, words", [
    (b"", "the file is empty"),
    (b"\n \n\t\n", "the file is empty"),
    (b"a,b\n1,2\n3,\xff\n", "not a UTF-8 text file"),
    (b"a,b\n1,\x002\n", "not a text file"),
    (b"a,b,a\n1,2,3\n", "duplicate column name 'a'"),
    (gzip.compress(b"a,b\n1,2\n" * 1000)[:-40], "damaged compressed file"),
    (b"\x1f\x8bnot gzip at all", "damaged compressed file"),
])
def test_unreadable_tables_are_one_line_from_a_file_or_standard_input(tmp_path, monkeypatch, data, words):
    path = tmp_path / "t.csv"
    path.write_bytes(data)
    with pytest.raises(DataError, match=words) as e:
        read_table(str(path))
    assert "\n" not in str(e.value)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(io.BytesIO(data))))
    with pytest.raises(DataError, match=words) as e:
        read_table("-")
    assert "\n" not in str(e.value)


@pytest.mark.parametrize("kind", ["gz", "bz2", "xz"])
def test_a_compressed_table_from_an_in_memory_standard_input(monkeypatch, kind):
    expected = frame()
    data = compress(kind, expected.to_csv(index=False).encode("utf-8"))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))  # a buffer that cannot peek
    got, _ = read_table("-")
    assert list(got.columns) == list(expected.columns) and len(got) == len(expected)


def test_an_encoding_reads_a_latin_1_file(tmp_path):
    expected = frame()
    path = tmp_path / "t.csv"
    path.write_bytes(expected.to_csv(index=False, sep=";").replace("Łódź", "Lodz").encode("latin-1"))
    got, _ = read_table(str(path), encoding="latin-1")
    assert list(got.columns) == ["x", "k", "city"] and "Zürich" in set(got["city"])
    with pytest.raises(DataError, match="not a UTF-8 text file"):
        read_table(str(path))


@pytest.mark.parametrize("kind", ["gz", "bz2", "xz", "zip"])
def test_a_table_larger_than_the_cap_once_decompressed_is_refused_naming_the_limit(tmp_path, kind):
    data = b"a,b\n" + b"1,2\n" * (600 << 10)  # 2.4 MiB
    path = tmp_path / ("t.csv." + kind)
    path.write_bytes(compress(kind, data))
    with pytest.raises(DataError, match=r"more than 2 MiB once decompressed \(--max-decompressed-mib"):
        read_table(str(path), max_decompressed_mib=2)
    assert len(read_table(str(path), max_decompressed_mib=3)[0]) == 600 << 10


BOMB_SCRIPT = """
import resource, sys
from karrow_libs.cli.inputs import read_table
from karrow_libs.cli.messages import DataError
import pandas
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    read_table(sys.argv[1], max_decompressed_mib=64)
except DataError as e:
    print(e)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


@pytest.mark.parametrize("how", ["file", "stdin"])
def test_a_gzip_bomb_is_refused_within_bounded_memory(tmp_path, how):
    bomb = tmp_path / "bomb.csv.gz"
    gzip_bomb(bomb, 512)
    assert bomb.stat().st_size < (2 << 20)
    with open(bomb, "rb") as stdin:
        r = subprocess.run([sys.executable, "-c", BOMB_SCRIPT, str(bomb) if how == "file" else "-"],
                           stdin=stdin, capture_output=True, text=True, timeout=120)
    message, grown_mib = r.stdout.splitlines()
    assert "more than 64 MiB once decompressed" in message, r.stderr
    # Refused at the cap, never near the 512 MiB the file expands to.
    assert int(grown_mib) < 256


def test_the_command_refuses_a_bomb_in_one_line(tmp_path):
    bomb = tmp_path / "bomb.csv.gz"
    gzip_bomb(bomb, 40)
    r = subprocess.run([sys.executable, "-m", "karrow_libs", bomb, "--target", "a", "--max-decompressed-mib", "16"],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 1 and r.stderr.count("\n") == 1
    assert "more than 16 MiB once decompressed (--max-decompressed-mib raises the limit)" in r.stderr


# ------------------------------------------------------------ low address-space limits

def _limited(mib):
    def set_limit():
        resource.setrlimit(resource.RLIMIT_AS, (mib << 20, resource.RLIM_INFINITY))
    return set_limit


@pytest.mark.parametrize("mib", [128, 400, 700])
def test_a_low_address_space_limit_is_one_line_at_start_up(mib):
    from karrow_libs.cli.command import needed_address_space_mib

    if mib >= needed_address_space_mib():
        pytest.skip("enough address space for a run on this machine")
    r = subprocess.run([sys.executable, "-m", "karrow_libs", "--dataset", "diabetes", "--quiet"],
                       capture_output=True, text=True, timeout=60, preexec_fn=_limited(mib))
    assert r.returncode == 1 and r.stderr.count("\n") == 1 and r.stdout == "", r.stderr
    assert "the address-space limit (ulimit -v) is " + str(mib) + " MiB" in r.stderr


def test_the_limit_the_check_asks_for_is_enough_for_a_run():
    from karrow_libs.cli.command import needed_address_space_mib

    r = subprocess.run([sys.executable, "-m", "karrow_libs", "--dataset", "diabetes", "--quiet", "--cv", "2",
                        "--transforms", "sqrt,product"],
                       capture_output=True, text=True, timeout=300, preexec_fn=_limited(needed_address_space_mib()))
    assert r.returncode == 0, r.stderr
