"""The README's Python API example runs as written."""

import pathlib
import re

import pytest

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_the_python_api_example_runs(capsys):
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## Python API"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    exec(compile(code, "README.md", "exec"), {})
    printed = capsys.readouterr().out
    assert "product($width, $height)" in printed
