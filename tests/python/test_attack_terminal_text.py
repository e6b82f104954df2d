"""`brinvale info` and the command line's error lines print text from the
result folder (target name, class labels, feature names, column names in
messages) with every terminal control character escaped: an escape sequence
in a folder can no longer retitle the terminal or erase what was printed."""

import shutil

import pytest

from brinvale.__main__ import _shown, main
from workbench_fixtures import reset_task_config, sample_dirs  # noqa: F401

TITLE = "\x1b]0;owned\x07"
ERASE = "\x1b[2J\x1b[H"


@pytest.mark.parametrize("raw, shown", [
    (TITLE, "\\x1b]0;owned\\x07"),
    ("a\rb\nc\x00d\x7f", "a\\rb\\nc\\x00d\\x7f"),
    ("\x9b2J", "\\x9b2J"),              # the 8-bit control sequence introducer
    ("abc\u202edcba", "abc\\u202edcba"),  # text shown reversed after it
    ("价格（元）_2 ok", "价格（元）_2 ok"),  # printable text stays as it is
])
def test_control_characters_are_written_out(raw, shown):
    assert _shown(raw) == shown


@pytest.fixture
def hostile(sample_dirs, tmp_path):
    folder = tmp_path / "hostile"
    shutil.copytree(sample_dirs["classification"], folder)
    config = folder / "config.yaml"
    text = config.read_text(encoding="utf-8")
    target = text.split("TargetName:")[1].split("\n")[0].strip()
    # the target name as the folder spells it, in double quotes with escapes
    config.write_text(text.replace(f"TargetName: {target}", 'TargetName: "' + target
                                   + '\\e]0;owned\\a\\e[2J"'), encoding="utf-8")
    reset_task_config()
    yield folder
    reset_task_config()


def test_info_prints_the_folder_text_escaped(hostile, capsys):
    assert main(["info", str(hostile)]) == 0
    out = capsys.readouterr().out
    assert "\x1b" not in out and "\x07" not in out
    assert "\\x1b]0;owned\\x07\\x1b[2J" in out


def test_error_lines_print_the_folder_text_escaped(hostile, tmp_path, capsys):
    # a data file without the folder's (hostile) target column
    data = tmp_path / "rows.csv"
    data.write_text("x\n1\n")
    main(["predict", str(hostile), str(data)])
    err = capsys.readouterr().err
    assert err.startswith("brinvale: error:") and "\x1b" not in err and "\x07" not in err
