"""config.yaml files from elsewhere: tags that would build Python objects are
refused before anything runs (in the UTF-8 attempt and in the GBK retry), and
values of the wrong shape are named instead of being used."""

import pytest
import yaml

from brinvale.brinvale import tabular_incrml
from brinvale.module.common.quillet import TaskConfig
from brinvale.module.util.corlet import YamlParser
from workbench_fixtures import folder_copy, reset_task_config, sample_dirs  # noqa: F401


def payloads(marker):
    m = str(marker)
    return [
        f"!!python/object/apply:builtins.open [{m!r}, 'w']",
        f"!!python/object/apply:os.system ['touch {m}']",
        f"!!python/object/apply:subprocess.call [['touch', {m!r}]]",
        f"!!python/object/new:subprocess.Popen [['touch', {m!r}]]",
        f"!!python/object/apply:builtins.exec [\"open({m!r}, 'w')\"]",
        "!!python/name:os.system",
        "!!python/module:os",
    ]


def documents(marker):
    for payload in payloads(marker):
        yield f"Feature:\n  TargetName: {payload}\nAutoFE: {{}}\nAutoML: {{}}\n".encode()
        # not UTF-8: only the GBK retry reads it
        yield f"# 价格\nFeature:\n  TargetName: {payload}\n".encode("gbk")


@pytest.fixture
def fresh_config():
    reset_task_config()
    yield
    reset_task_config()


def test_object_tags_are_refused_and_run_nothing(tmp_path, fresh_config):
    marker = tmp_path / "marker"
    path = tmp_path / "config.yaml"
    for doc in documents(marker):
        path.write_bytes(doc)
        with pytest.raises(yaml.YAMLError, match="python/"):
            YamlParser.parse(str(path))
        with pytest.raises(yaml.YAMLError):
            TaskConfig(str(path))
        reset_task_config()
        assert not marker.exists(), doc


def test_result_folder_with_a_payload_is_refused(folder_copy, fresh_config, tmp_path):
    folder = folder_copy()
    marker = tmp_path / "marker"
    text = (folder / "config.yaml").read_text(encoding="utf-8")
    for payload in payloads(marker):
        (folder / "config.yaml").write_text(
            text.replace("TargetName: species", "TargetName: " + payload), encoding="utf-8")
        reset_task_config()
        with pytest.raises(yaml.YAMLError):
            tabular_incrml(str(folder))
        assert not marker.exists(), payload


def test_plain_values_load_as_before(tmp_path):
    path = tmp_path / "c.yaml"
    path.write_text(
        "Feature:\n  TargetName: 价格（元）\n  TestSize: '0.3'\n  RandomSeed: 7\n"
        "  IgnoreFeature: [a, b]\n  Running: yes\n  Day: 2024-01-02\n  Empty:\n",
        encoding="utf-8",
    )
    import datetime

    assert YamlParser.parse(str(path), "Feature") == {
        "TargetName": "价格（元）", "TestSize": "0.3", "RandomSeed": 7, "IgnoreFeature": ["a", "b"],
        "Running": True, "Day": datetime.date(2024, 1, 2), "Empty": None}


def edit_config(folder, edit):
    p = folder / "config.yaml"
    cfg = yaml.safe_load(p.read_text(encoding="utf-8"))
    cfg = edit(cfg)
    p.write_text(yaml.safe_dump(cfg, allow_unicode=True), encoding="utf-8")


def setting(section, key, value):
    def edit(cfg):
        cfg[section][key] = value
        return cfg

    return edit


def whole(value):
    return lambda cfg: value


@pytest.mark.parametrize(
    "edit, named",
    [
        (setting("Feature", "IgnoreFeature", "note"), "IgnoreFeature"),
        (setting("Feature", "IgnoreFeature", ["note", 3]), "IgnoreFeature"),
        (setting("Feature", "IgnoreFeature", None), "IgnoreFeature"),
        (setting("Feature", "IgnoreFeature", {"note": 1}), "IgnoreFeature"),
        (setting("Feature", "GroupIndex", ["colony"]), "GroupIndex"),
        (setting("Feature", "GroupIndex", 2020), "GroupIndex"),
        (setting("Feature", "TimeIndex", {"observed": True}), "TimeIndex"),
        (setting("Feature", "id_index", 1), "id_index"),
        (setting("Feature", "TargetName", ["species"]), "TargetName"),
        (lambda cfg: {**cfg, "AutoFE": None}, "AutoFE"),
        (lambda cfg: {**cfg, "AutoML": ["Running"]}, "AutoML"),
        (lambda cfg: {**cfg, "Feature": "species"}, "Feature"),
        (whole(None), "empty"),
        (whole(["Feature", "AutoFE"]), "mapping"),
        (whole("Feature"), "mapping"),
    ],
)
def test_wrong_shapes_are_named(folder_copy, fresh_config, edit, named):
    folder = folder_copy()
    edit_config(folder, edit)
    with pytest.raises(ValueError, match=named) as info:
        tabular_incrml(str(folder))
    assert "config.yaml" in str(info.value)


@pytest.mark.parametrize("key", ["GroupIndex", "TimeIndex", "id_index", "TargetName"])
def test_null_column_names_are_accepted(folder_copy, fresh_config, key):
    folder = folder_copy()
    edit_config(folder, setting("Feature", key, None))
    obj = tabular_incrml(str(folder))
    attr = {"GroupIndex": "group_id", "TimeIndex": "time_index", "id_index": "id_index",
            "TargetName": "target_name"}[key]
    assert getattr(obj, attr) is None


def test_missing_keys_keep_their_key_error(folder_copy, fresh_config):
    folder = folder_copy()

    def drop(cfg):
        del cfg["Feature"]["TaskType"]
        return cfg

    edit_config(folder, drop)
    with pytest.raises(KeyError, match="TaskType"):
        tabular_incrml(str(folder))


def test_a_refused_folder_leaves_the_process_configuration_to_the_next(sample_dirs, folder_copy, fresh_config):
    bad = folder_copy()
    edit_config(bad, setting("Feature", "IgnoreFeature", "note"))
    with pytest.raises(ValueError):
        tabular_incrml(str(bad))
    tabular_incrml(sample_dirs["regression"])
    assert TaskConfig().cfg["Feature"]["TargetName"] == "body_mass_g"
