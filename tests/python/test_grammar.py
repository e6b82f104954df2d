"""Vocabulary of the feature-name engine and the two name parsers."""

import collections

import pytest

from brinvale import tavrin


def test_module_imports_and_constants():
    import numpy, pandas, scipy.stats, sklearn.decomposition, sklearn.model_selection  # noqa: E401
    from brinvale.module.common.quillet import TaskConfig

    assert tavrin.pd is pandas and tavrin.np is numpy and tavrin.stats is scipy.stats
    assert tavrin.Counter is collections.Counter
    assert tavrin.KFold is sklearn.model_selection.KFold
    assert tavrin.TruncatedSVD is sklearn.decomposition.TruncatedSVD
    assert tavrin.TaskConfig is TaskConfig
    c = tavrin.Const
    assert (c.feature_separator, c.head_character, c.tail_character, c.time_feature_separator) == (
        "|||", "###", "$$$", "@@@")
    assert tavrin.FeatureType.__doc__ == "\n    Feature Type class\n    "
    assert tavrin.TimeFeatureType.__doc__ == "\n    Time Feature Type Class\n    "
    assert tavrin.AGGREGATE_TYPE == ["min", "max", "mean", "median", "var"]
    assert tavrin.ADD_PROBABILITY == [0.5] and tavrin.TIME_SPAN == [1, 2, 3]


def test_time_feature_constants_in_order():
    names = [k for k in vars(tavrin.TimeFeatureType) if k.isupper()]
    assert len(names) == 31
    assert names[:7] == ["DAY_OF_YEAR", "DAY_OF_WEEK", "MONTH", "YEAR", "DELAY", "COUNT", "SUM"]
    assert names[-1] == "TS_O" and tavrin.TimeFeatureType.TCOVARIANCE == "tcorvariance"
    values = [v for k, v in vars(tavrin.FeatureType).items() if k.isupper()]
    assert len(values) == 23 and values[0] == "count" and values[-1] == "maximize"


@pytest.mark.parametrize(
    "name, parts",
    [
        ("count###col1$$$", ["count", "col1"]),
        ("add###col1|||col2$$$", ["add", "col1", "col2"]),
        ("aggregate###mean|||col1|||col2$$$", ["aggregate", "mean", "col1", "col2"]),
        ("tcorrelation###col1|||col2|||3$$$", ["tcorrelation", "col1", "col2", "3"]),
        ("divide###add###col1|||col2$$$|||col2$$$", ["divide", "add###col1|||col2$$$", "col2"]),
        ("col1", ["", ""]),
        ("count###col1$$$trailing|||x", ["count", "col1"]),
        ("x###a|||b|||c|||d$$$", ["x", "a", "b|||c", "d"]),
        ("add###col1||||col2$$$", ["add", "col1", "", "col2"]),
        ("a#b", ["", ""]),
        # positions are characters, not bytes
        ("add###列一|||çöl_2$$$", ["add", "列一", "çöl_2"]),
        ("sine###😀é$$$", ["sine", "😀é"]),
    ],
)
def test_split_features(name, parts):
    assert tavrin.split_features(name) == parts
    assert tavrin.split_features(key=name) == parts


@pytest.mark.parametrize("name, message", [
    ("ab#", "string index out of range"),
    ("col1|", "string index out of range"),
    ("a$$", "string index out of range"),
    ("add###a$$$#", "string index out of range"),
    ("$$$col1", "pop from empty list"),
])
def test_split_features_index_errors(name, message):
    with pytest.raises(IndexError, match=message):
        tavrin.split_features(name)


class Text(str):
    pass


@pytest.mark.parametrize("bad", [None, 3, b"add###a$$$", Text("add###a$$$")])
def test_split_features_rejects_non_str(bad):
    with pytest.raises(TypeError, match="Argument 'key' has incorrect type"):
        tavrin.split_features(bad)


@pytest.mark.parametrize("text, expected", [
    ("count###col1$$$", True),
    ("a#b#c#d$e$f$", True),
    ("count###col1$$", False),
    ("col1", False),
    ("", False),
])
def test_is_combination_feature(text, expected):
    assert tavrin.is_combination_feature(text) is expected
    assert tavrin.is_combination_feature(feature_name=text) is expected


def test_is_combination_feature_counts_any_iterable():
    assert tavrin.is_combination_feature(list("###$$$")) is True
    assert tavrin.is_combination_feature(None) is False
    with pytest.raises(TypeError):
        tavrin.is_combination_feature(3)
