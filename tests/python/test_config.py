import subprocess
import sys
import textwrap

import pytest

from brinvale.module.util.corlet import YamlParser


def run_isolated(code):
    """TaskConfig is process-wide: each scenario runs in a fresh interpreter."""
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True
    )
    assert out.returncode == 0, out.stderr
    return out


def test_parse_utf8_gbk_and_sections(tmp_path):
    utf8 = tmp_path / "u.yaml"
    utf8.write_text("Feature:\n  TargetName: 价格\n", encoding="utf-8")
    gbk = tmp_path / "g.yaml"
    gbk.write_bytes("Feature:\n  TargetName: 价格\n".encode("gbk"))
    assert YamlParser.parse(str(utf8)) == {"Feature": {"TargetName": "价格"}}
    assert YamlParser.parse(str(gbk)) == {"Feature": {"TargetName": "价格"}}
    assert YamlParser.parse(str(utf8), "Feature") == {"TargetName": "价格"}
    assert YamlParser.parse(path=str(utf8), mode="Feature") == {"TargetName": "价格"}
    with pytest.raises(KeyError):
        YamlParser.parse(str(utf8), "AutoML")
    empty = tmp_path / "e.yaml"
    empty.write_text("")
    assert YamlParser.parse(str(empty)) is None


def test_parse_missing_file_and_directory(tmp_path):
    with pytest.raises(ValueError, match="CONFIG FILE NOT FOUND"):
        YamlParser.parse(str(tmp_path / "absent.yaml"))
    with pytest.raises(OSError):
        YamlParser.parse(str(tmp_path))


def test_dump_round_trip(tmp_path):
    path = tmp_path / "out.yaml"
    assert YamlParser.dump(str(path), {"a": [1, 2], "b": "x"}) is None
    assert YamlParser.parse(str(path)) == {"a": [1, 2], "b": "x"}


def test_task_config_first_init_wins(tmp_path):
    a = tmp_path / "a.yaml"
    a.write_text("Feature: {GroupIndex: g}\n")
    b = tmp_path / "b.yaml"
    b.write_text("Feature: {GroupIndex: h}\n")
    run_isolated(
        f"""
        import os
        from brinvale.module.common.quillet import TaskConfig
        os.chdir({str(tmp_path)!r})
        first = TaskConfig("a.yaml")
        second = TaskConfig({str(b)!r})
        assert first is second is TaskConfig()
        assert first.cfg == {{"Feature": {{"GroupIndex": "g"}}}}
        assert first.cfg_path == {str(a)!r}
        """
    )


def test_task_config_unconfigured_first_construction(tmp_path):
    a = tmp_path / "a.yaml"
    a.write_text("Feature: {}\n")
    out = run_isolated(
        f"""
        from brinvale.module.common.quillet import TaskConfig
        t = TaskConfig()
        again = TaskConfig({str(a)!r})
        assert t is again and not hasattr(t, "cfg") and not hasattr(t, "cfg_path")
        assert TaskConfig._TaskConfig__first_init is False
        """
    )
    assert "Task config path missing" in out.stderr


def test_task_config_missing_file_leaves_it_unconfigured(tmp_path):
    run_isolated(
        f"""
        from brinvale.module.common.quillet import TaskConfig
        try:
            TaskConfig({str(tmp_path / "none.yaml")!r})
        except ValueError as e:
            assert str(e) == "CONFIG FILE NOT FOUND"
        t = TaskConfig()
        assert hasattr(t, "cfg_path") and not hasattr(t, "cfg")
        """
    )


def test_bare_names_are_the_same_modules():
    run_isolated(
        """
        import sys
        import brinvale.tavrin, brinvale.module.common.quillet as q
        import brinvale.module.dataprocess.dovrel as d
        import os
        sys.path.append(os.path.dirname(brinvale.tavrin.__file__))
        import tavrin, module.common.quillet, module.dataprocess.dovrel
        assert tavrin is brinvale.tavrin
        assert module.common.quillet is q
        assert module.dataprocess.dovrel.LabelEncoderWithOOV is d.LabelEncoderWithOOV
        """
    )
