"""Parsers of folder content stay linear and bounded: a config.yaml scalar in
YAML 1.1's sexagesimal form, an alias that nests a list in itself many times
over, an XGBoost model whose objects hold hundreds of thousands of keys.
Each case runs in a child interpreter under an address-space limit and a
time-out."""

import pytest
import yaml

from bounded_child import outcomes
from brinvale.module.util.corlet import YamlParser
from workbench_fixtures import reset_task_config


@pytest.fixture
def fresh_config():
    reset_task_config()
    yield
    reset_task_config()


def parse_code(path, max_bytes=None):
    raise_limit = "" if max_bytes is None else f"corlet.MAX_BYTES = {max_bytes}"
    return f"""
        from brinvale.module.util import corlet
        {raise_limit}
        corlet.YamlParser.parse({str(path)!r})
    """


def test_long_sexagesimal_scalars_are_refused_at_once(tmp_path):
    sexagesimal = ":".join(["1"] * 900_000)  # 1.8 MB
    big = tmp_path / "big.yaml"
    big.write_text(f"Feature:\n  TargetName: {sexagesimal}\n")
    within = tmp_path / "within.yaml"
    within.write_text("Feature:\n  TargetName: " + ":".join(["1"] * 250_000) + "\n")
    tagged = tmp_path / "tagged.yaml"
    tagged.write_text("a: !!int '" + ":".join(["59"] * 200_000) + "'\n")
    got = outcomes({
        "over the size limit": parse_code(big),
        # the size limit raised: the value itself is refused, quickly
        "within a raised limit": parse_code(within, 10 << 20),
        "explicit int tag": parse_code(tagged, 10 << 20),
    })
    assert got["over the size limit"].startswith("REFUSED ValueError"), got
    assert "over the limit of 1048576 bytes" in got["over the size limit"], got
    for case in ("within a raised limit", "explicit int tag"):
        assert got[case].startswith("REFUSED ConstructorError"), got
        assert "sexagesimal integer" in got[case], got


def test_short_sexagesimal_and_plain_numbers_load_as_yaml_reads_them(tmp_path):
    path = tmp_path / "c.yaml"
    path.write_text("a: 1:30:00\nb: 12:30\nc: 190:20:30.15\nd: 0x1F\ne: 1_000\nf: '1:30'\n"
                    "g: " + ":".join(["1"] * 2000) + "\n")
    got = YamlParser.parse(str(path))
    assert got["a"] == 5400 and got["b"] == 750 and got["d"] == 31 and got["e"] == 1000
    assert got["c"] == pytest.approx(685230.15) and got["f"] == "1:30"
    assert isinstance(got["g"], int) and got["g"] % 60 == 1


def test_a_gbk_file_is_read_once_and_bounded_in_both_attempts(tmp_path):
    path = tmp_path / "c.yaml"
    path.write_bytes(("# 价格\nFeature:\n  TargetName: " + ":".join(["1"] * 250_000) + "\n").encode("gbk"))
    got = outcomes({"gbk": parse_code(path, 10 << 20)})
    assert got["gbk"].startswith("REFUSED ConstructorError") and "sexagesimal" in got["gbk"], got


def test_a_self_nesting_alias_is_described_briefly(tmp_path, fresh_config):
    # nine lists of nine references to the level below: a repr of 9**9 items
    lines = ["l0: &l0 [x, x, x, x, x, x, x, x, x]"]
    for k in range(1, 10):
        lines.append(f"l{k}: &l{k} [" + ", ".join([f"*l{k - 1}"] * 9) + "]")
    path = tmp_path / "config.yaml"
    path.write_text("\n".join(lines) + "\nFeature:\n  TargetName: *l9\n  FeatureName: f\n"
                    "  TaskType: classification\nAutoFE: {}\nAutoML: {}\n")
    got = outcomes({"alias": f"""
        from brinvale.brinvale import tabular_incrml
        tabular_incrml({str(tmp_path)!r})
    """})
    assert got["alias"].startswith("REFUSED ValueError"), got
    assert "Feature.TargetName must be a column name" in got["alias"] and len(got["alias"]) < 2000, got


def xgb_keys(n, repeat_last=False):
    keys = ",".join(f'"k{i}":0' for i in range(n))
    tail = ',"k0":1' if repeat_last else ""
    return "{" + keys + tail + "}"


def test_an_xgboost_model_with_many_keys_is_checked_in_linear_time(tmp_path):
    docs = {
        "many keys": xgb_keys(300_000),
        "many keys, one repeated": xgb_keys(300_000, repeat_last=True),
        "nested": '{"learner": ' + xgb_keys(300_000, True) + "}",
    }
    cases = {}
    for k, (case, doc) in enumerate(docs.items()):
        (tmp_path / f"{k}.json").write_text(doc)
        cases[case] = f"""
            import brinvale.brinvale as bv
            bv._check_xgboost_model(open({str(tmp_path / f"{k}.json")!r}, "rb").read())
        """
    got = outcomes(cases)
    assert "REFUSED" in got["many keys"] and "repeats" not in got["many keys"], got
    for case in ("many keys, one repeated", "nested"):
        assert "repeats the key 'k0'" in got[case], got


def test_the_yaml_reader_still_refuses_object_tags(tmp_path):
    path = tmp_path / "c.yaml"
    path.write_text("a: !!python/object/apply:os.system ['true']\n")
    with pytest.raises(yaml.YAMLError, match="python/"):
        YamlParser.parse(str(path))


def workbook_with_strings(path, megabytes):
    """A genuine one-sheet workbook whose shared-strings table is replaced by
    `megabytes` of one-letter strings, deflated as far as zlib goes."""
    import zipfile

    import pandas as pd

    base = path.with_suffix(".base.xlsx")
    pd.DataFrame({"h": ["x"]}).to_excel(base, index=False)
    with zipfile.ZipFile(base) as src, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED,
                                                       compresslevel=9) as out:
        for info in src.infolist():
            if info.filename != "xl/sharedStrings.xml":
                out.writestr(info.filename, src.read(info))
        with out.open("xl/sharedStrings.xml", "w", force_zip64=True) as f:
            f.write(b'<?xml version="1.0" encoding="UTF-8"?>\n<sst xmlns="http://schemas.'
                    b'openxmlformats.org/spreadsheetml/2006/main"><si><t>x</t></si>')
            chunk = b"<si><t>a</t></si>" * (1 << 16)
            for _ in range((megabytes << 20) // len(chunk)):
                f.write(chunk)
            f.write(b"</sst>")
    return path


def test_a_workbook_expanding_far_beyond_its_size_is_refused_unread(tmp_path):
    import brinvale.brinvale as bv

    bomb = workbook_with_strings(tmp_path / "bomb.xlsx", 100)
    assert bomb.stat().st_size < (100 << 20) // 200  # well under the member limit, expanded
    got = outcomes({"bomb": f"""
        from brinvale.brinvale import tabular_incrml
        tabular_incrml.__new__(tabular_incrml)._load_data_from_file({str(bomb)!r})
    """})
    assert got["bomb"].startswith("REFUSED ValueError"), got
    assert "xl/sharedStrings.xml" in got["bomb"] and "XLSX_MAX_RATIO" in got["bomb"], got
    # a small table passes whatever its ratio, and the setting is read at each call
    small = workbook_with_strings(tmp_path / "small.xlsx", 0)
    obj = bv.tabular_incrml.__new__(bv.tabular_incrml)
    assert obj._load_data_from_file(str(small)).columns.tolist() == ["h"]


def test_workbook_members_sharing_their_bytes_are_refused(tmp_path):
    import struct
    import zipfile

    import brinvale.brinvale as bv

    good = workbook_with_strings(tmp_path / "good.xlsx", 0)
    raw = bytearray(good.read_bytes())
    # every central directory entry made to point at the first member's data
    end = raw.rfind(b"PK\x05\x06")
    pos = struct.unpack_from("<I", raw, end + 16)[0]
    while raw[pos:pos + 4] == b"PK\x01\x02":
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", raw, pos + 28)
        struct.pack_into("<I", raw, pos + 42, 0)
        pos += 46 + name_len + extra_len + comment_len
    (tmp_path / "overlap.xlsx").write_bytes(bytes(raw))
    assert zipfile.is_zipfile(tmp_path / "overlap.xlsx")
    obj = bv.tabular_incrml.__new__(bv.tabular_incrml)
    with pytest.raises(ValueError, match="members overlap"):
        obj._load_data_from_file(str(tmp_path / "overlap.xlsx"))


SHEET_HEAD = ('<row r="1"><c r="A1" t="inlineStr"><is><t>h</t></is></c></row>'
              '<row r="2"><c r="A2"><v>1</v></c></row>')


def workbook_with_sheet(path, rows, prolog="", member=None):
    """A genuine workbook (pandas' own) whose sheet holds `rows`; with
    `member`, the sheet is stored under that name, which the workbook's
    relations then give."""
    import zipfile

    import pandas as pd

    base = path.with_suffix(".base.xlsx")
    pd.DataFrame({"h": [1]}).to_excel(base, index=False)
    sheet = ('<?xml version="1.0" encoding="UTF-8"?>' + prolog +
             '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
             '<sheetData>' + rows + '</sheetData></worksheet>').encode()
    with zipfile.ZipFile(base) as src, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as out:
        for info in src.infolist():
            data = src.read(info)
            if info.filename == "xl/worksheets/sheet1.xml":
                out.writestr(member or info.filename, sheet)
                continue
            if member and info.filename == "xl/_rels/workbook.xml.rels":
                assert b"worksheets/sheet1.xml" in data
                data = data.replace(b"/xl/worksheets/sheet1.xml", b"/" + member.encode())
                data = data.replace(b"worksheets/sheet1.xml", member.removeprefix("xl/").encode())
            out.writestr(info.filename, data)
    return str(path)


def test_sheets_laying_out_far_more_grid_than_cells_are_refused_unread(tmp_path):
    far = '<row r="1048576"><c r="XFD1048576"><v>5</v></c></row>'
    cases = {
        "far_cell": workbook_with_sheet(tmp_path / "a.xlsx", SHEET_HEAD + far),
        "far_row": workbook_with_sheet(tmp_path / "b.xlsx", SHEET_HEAD + '<row r="1000000000000"/>'),
        "underscored_row": workbook_with_sheet(tmp_path / "c.xlsx",
                                               SHEET_HEAD + '<row r="1_000_000_000"/>'),
        "prefixed_tags": workbook_with_sheet(
            tmp_path / "d.xlsx", SHEET_HEAD + far.replace("<row", "<x:row").replace("<c", "<x:c")
            .replace("</row", "</x:row").replace("</c", "</x:c"),
        ),
        "elsewhere": workbook_with_sheet(tmp_path / "e.xlsx", SHEET_HEAD + far, member="xl/data.bin"),
        "entity": workbook_with_sheet(
            tmp_path / "f.xlsx", SHEET_HEAD + '<row r="9"><c r="&far;"><v>5</v></c></row>',
            prolog='<!DOCTYPE worksheet [<!ENTITY far "XFD1048576">]>'),
    }
    got = outcomes({name: f"""
        from brinvale.brinvale import tabular_incrml
        tabular_incrml.__new__(tabular_incrml)._load_data_from_file({path!r})
    """ for name, path in cases.items()})
    for name, outcome in got.items():
        assert outcome.startswith("REFUSED ValueError"), (name, outcome)
        if name == "entity":
            assert "declares a document type" in outcome, outcome
        else:
            assert "XLSX_MAX_GRID_RATIO" in outcome, (name, outcome)
    assert "'xl/data.bin'" in got["elsewhere"]


def test_sparse_sheets_within_the_bounds_read_as_pandas_reads_them(tmp_path, monkeypatch):
    import pandas as pd

    import brinvale.brinvale as bv

    obj = bv.tabular_incrml.__new__(bv.tabular_incrml)
    # a stray cell far down and to the right, under 2**20 grid cells
    small = workbook_with_sheet(tmp_path / "small.xlsx",
                                SHEET_HEAD + '<row r="400"><c r="Z400"><v>5</v></c></row>')
    pd.testing.assert_frame_equal(obj._load_data_from_file(small), pd.read_excel(small))
    # past the bound, refused; the setting is read at each call
    wide = workbook_with_sheet(tmp_path / "wide.xlsx",
                               SHEET_HEAD + '<row r="100"><c r="XFD100"><v>5</v></c></row>')
    with pytest.raises(ValueError, match="3 cells over 100 rows and 16384 columns"):
        obj._load_data_from_file(wide)
    monkeypatch.setattr(bv, "XLSX_MAX_GRID_RATIO", 10**9)
    assert obj._load_data_from_file(wide).shape == (99, 16384)
    monkeypatch.setattr(bv, "XLSX_MAX_GRID_RATIO", "many")
    with pytest.raises(ValueError, match="XLSX_MAX_GRID_RATIO must be a non-negative number"):
        obj._load_data_from_file(small)
