"""The numeric pieces the Dask layer is built on, without Dask: every
quantity rebuilt from the parts of a column cut anywhere equals, bit for bit,
what NumPy or pandas computes on the whole column, and malformed states are
refused with ValueError instead of crashing."""

import numpy as np
import pandas as pd
import pytest

from brinvale.tessel import _kernels as K


def cuts(n, seed, most=12):
    r = np.random.default_rng(seed)
    k = int(r.integers(1, most + 1))
    inner = np.sort(r.choice(np.arange(1, n), size=min(k - 1, n - 1), replace=False)) if n > 1 else []
    return [0, *[int(c) for c in inner], n]


def column(seed, n):
    r = np.random.default_rng(seed)
    x = r.normal(size=n) * 10.0 ** r.integers(-3, 6, size=n)
    x[r.random(n) < 0.05] = 0.0
    return x


@pytest.mark.parametrize("n", [1, 7, 127, 128, 129, 1000, 8193, 40_000])
def test_pairwise_pieces_give_numpys_sum(n):
    x = column(n, n)
    for seed in range(4):
        b = cuts(n, seed)
        parts = [K.pairwise_pieces(x[a:z], a, n) for a, z in zip(b[:-1], b[1:])]
        got = K.pairwise_total(n, parts)
        assert np.float64(got).view(np.int64) == np.sum(x).view(np.int64), (n, b)


def test_pairwise_pieces_refuse_a_part_beyond_the_column():
    with pytest.raises(ValueError, match="beyond"):
        K.pairwise_pieces(np.ones(5), 3, 6)


def test_digits_narrow_down_to_the_median():
    r = np.random.default_rng(3)
    x = np.round(r.normal(size=5001), 1)  # ties
    x[::17] = np.nan
    valid = x[~np.isnan(x)]
    ranks = sorted({(len(valid) - 1) // 2, len(valid) // 2})
    middle = []
    for rank in ranks:
        level, prefix, below = 0, 0, 0
        while True:
            digits, counts = K.digit_counts(x, level, prefix)
            acc = below
            for d, c in zip(digits.tolist(), counts.tolist()):
                if acc + c > rank:
                    prefix, level, below = (prefix << 16) | d, level + 1, acc
                    break
                acc += c
            if level == 2:
                values = K.sorted_by_key(K.values_with_prefix(x, level, prefix))
                middle.append(values[rank - below])
                break
    assert K.column_median(np.array(middle)) == np.nanmedian(x) == pd.Series(x).median()
    assert K.key_value(0) != K.key_value(1 << 63)


@pytest.mark.parametrize("stat", ["sum", "mean", "var", "std", "min", "max", "count", "first", "last"])
def test_group_accumulators_continued_over_parts_equal_the_whole(stat):
    r = np.random.default_rng(len(stat))
    n = 900
    x = np.round(r.normal(size=n) * 100, 2)
    x[r.random(n) < 0.1] = np.nan
    keys = r.integers(0, 40, size=n)
    keys[r.random(n) < 0.05] = -1  # rows without a group
    codes, uniques = pd.factorize(pd.Series(np.where(keys < 0, np.nan, keys)), sort=False)
    codes = np.asarray(codes, dtype=np.int64)
    want = K.group_reduce(stat, x, codes, len(uniques), False)
    width = K.carried_width(stat)
    assert width > 0
    b = cuts(n, 5)
    fields, seen = np.zeros((0, width)), 0
    for a, z in zip(b[:-1], b[1:]):
        seen = max(seen, int(codes[:z].max()) + 1 if (codes[:z] >= 0).any() else 0)
        fields = K.group_accumulate(stat, x[a:z], codes[a:z], seen, fields,
                                    np.arange(len(fields), dtype=np.int64))
    got = K.group_finish(stat, fields)
    np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))


def test_group_kernels_refuse_codes_and_states_that_do_not_fit():
    with pytest.raises(ValueError, match="beyond"):
        K.group_reduce("sum", np.ones(3), np.array([0, 1, 5]), 2, False)
    with pytest.raises(ValueError):
        K.group_accumulate("sum", np.ones(2), np.array([0, 0]), 1, np.zeros((1, 1)),
                           np.zeros(1, dtype=np.int64))
    with pytest.raises(ValueError, match="do not fit"):
        K.group_accumulate("median", np.ones(2), np.array([0, 0]), 1, np.zeros((0, 1)),
                           np.zeros(0, dtype=np.int64))
    assert K.carried_width("median") == 0 and K.carried_width("nunique") == 0
    with pytest.raises(ValueError, match="lengths"):
        K.combine_codes([np.zeros(3, dtype=np.int64), np.zeros(2, dtype=np.int64)], [1, 1])


def test_combined_codes_number_pairs_in_their_codes_order():
    a = np.array([0, 1, 0, 1, -1, 0])
    b = np.array([2, 0, 2, 1, 0, 0])
    codes, n = K.combine_codes([a, b], [2, 3])
    # pairs (0,0) < (0,2) < (1,0) < (1,1); a missing key makes no group
    assert codes.tolist() == [1, 2, 1, 3, -1, 0] and n == 4
    assert K.first_rows(codes, n).tolist() == [5, 0, 1, 3]
    assert K.lookup(np.array([7, 3, 3]), np.array([1.0, 2.0, 9.0]), np.array([3, 7, -1, 4])
                    ).tolist()[:2] == [2.0, 1.0]


def rolling(op, x, y, d):
    s = pd.Series(x)
    if op == "tsum":
        return s.rolling(d).sum()
    if op == "ts_mean":
        return s.rolling(d).mean()
    if op == "stddev":
        return s.rolling(d).std()
    if op == "tcorrelation":
        return s.rolling(d).corr(pd.Series(y))
    return s.rolling(d).cov(pd.Series(y))


@pytest.mark.parametrize("op", ["tsum", "ts_mean", "stddev", "tcorrelation", "tcorvariance"])
def test_running_windows_continued_over_parts_equal_pandas(op):
    r = np.random.default_rng(len(op))
    n, d = 3000, 7
    x = np.round(r.normal(size=n) * 1e3, 3)
    x[r.random(n) < 0.03] = np.nan
    x[100:140] = 5.0  # a constant stretch
    y = x * 0.5 + r.normal(size=n)
    want = rolling(op, x, y, d).to_numpy()
    b = cuts(n, 11, most=30)
    carry, out = None, []
    for a, z in zip(b[:-1], b[1:]):
        values, carry = K.rolling_continue(op, x[a:z], y[a:z], d, n, carry)
        out.append(values)
    got = np.concatenate(out)
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    ok = ~np.isnan(want)
    assert (got[ok].view(np.int64) == want[ok].view(np.int64)).all()


def test_grouped_running_window_continued_over_parts_equals_one_pass():
    r = np.random.default_rng(2)
    n, d = 600, 4
    x = np.round(r.normal(size=n), 2)
    codes = r.integers(0, 9, size=n).astype(np.int64)
    # codes in order of first appearance, as the carried groups keep them
    codes = np.asarray(pd.factorize(codes)[0], dtype=np.int64)
    ngroups = int(codes.max()) + 1
    whole, _ = K.rolling_grouped_continue("stddev", x, None, codes, ngroups, d, n, [])
    b = cuts(n, 4)
    carries, out = [], []
    for a, z in zip(b[:-1], b[1:]):
        seen = int(codes[:z].max()) + 1
        values, carries = K.rolling_grouped_continue("stddev", x[a:z], None, codes[a:z], seen, d,
                                                     n, carries)
        out.append(values)
    np.testing.assert_array_equal(np.concatenate(out), whole)


def test_window_kernels_refuse_malformed_carries_and_lengths():
    with pytest.raises(ValueError, match="four"):
        K.rolling_continue("tsum", np.ones(3), None, 2, 3, (np.zeros(1),))
    with pytest.raises(ValueError):
        K.rolling_continue("tsum", np.ones(3), None, 2, 3,
                           (np.zeros(17), np.zeros(0), np.zeros(0), 0))
    with pytest.raises(ValueError, match="at least 1"):
        K.rolling_continue("tsum", np.ones(3), None, 0, 3, None)
    with pytest.raises(ValueError, match="no running window"):
        K.rolling_continue("ts_max", np.ones(3), None, 2, 3, None)
    with pytest.raises(ValueError, match="lengths"):
        K.rolling_continue("tcorrelation", np.ones(3), np.ones(2), 2, 3, None)
    with pytest.raises(ValueError, match="more carried groups"):
        K.rolling_grouped_continue("tsum", np.ones(2), None, np.zeros(2, dtype=np.int64), 1, 2, 2,
                                   [K.empty_carry(), K.empty_carry()])


def test_ranks_within_value_ranges_give_whole_column_ranks():
    r = np.random.default_rng(8)
    x = np.round(r.normal(size=400), 1)
    x[::13] = np.nan
    digits = K.top_digits(x)
    assert (digits[np.isnan(x)] == -1).all()
    # two ranges split at the median digit, ranked with the counts below each
    cut = np.median(digits[digits >= 0])
    targets = np.where(digits < 0, 0, (digits > cut).astype(np.int64))
    valid = float((~np.isnan(x)).sum())
    below = np.array([0, int(((digits >= 0) & (digits <= cut)).sum())], dtype=np.int64)
    got = K.ranks("percentile", targets, x, below, valid, 0)
    want = pd.Series(x).rank(pct=True).to_numpy()
    np.testing.assert_array_equal(got, want)
    with pytest.raises(ValueError, match="ranges"):
        K.ranks("percentile", targets + 5, x, below, valid, 0)
