"""Chinese chart texts render with the CJK fonts installed on the machine,
also when Matplotlib's font cache was built before they were installed (a
fresh machine set up by the README), and drawing does not flood the log."""

import os
import subprocess
import sys
import textwrap
import warnings

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib import font_manager
from matplotlib.ft2font import FT2Font

from brinvale.module.util import report

needs_cjk_font = pytest.mark.skipif(not report.cjk_font_files(), reason="no CJK font file installed")

TEXT = "价格分布：箱线图与核密度"


def draw_with_stale_cache(code):
    """Run `code` in an interpreter whose font cache lacks every CJK font."""
    prelude = """
        import matplotlib
        matplotlib.use("Agg")
        from matplotlib import font_manager as fm
        fm.fontManager.ttflist = [f for f in fm.fontManager.ttflist
                                  if not any(k in os.path.basename(f.fname).lower()
                                             for k in ("cjk", "simhei", "wqy", "sourcehan"))]
        fm.fontManager._findfont_cached.cache_clear()
        assert not [f for f in fm.fontManager.ttflist if "CJK" in f.name]
    """
    full = "import os\n" + textwrap.dedent(prelude) + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", full], capture_output=True, text=True,
                          env=dict(os.environ), timeout=300)


@needs_cjk_font
def test_fonts_installed_after_the_cache_render(tmp_path):
    done = draw_with_stale_cache(
        f"""
        import warnings
        import numpy as np, pandas as pd
        import brinvale.brinvale as wb
        from brinvale.module.util import report
        frame = pd.DataFrame({{"价格": np.arange(40.0), "类别": ["甲", "乙"] * 20}})
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            report.plot_kde(frame, "价格", {str(tmp_path / "kde.png")!r})
            report.plot_box(frame, frame[["类别"]], "价格", "类别", {str(tmp_path / "box.png")!r})
            report.plot_confusion_matrix(np.array(["甲", "乙"] * 5), np.array(["乙", "乙"] * 5), 2,
                                         title={TEXT!r}, path={str(tmp_path / "cm.png")!r})
        missing = [str(w.message) for w in caught if "missing from font" in str(w.message)]
        print("missing", len(missing), missing[:2])
        """
    )
    assert done.returncode == 0, done.stderr
    assert "missing 0 " in done.stdout
    assert "findfont" not in done.stderr
    assert done.stderr.count("\n") < 5, done.stderr
    for name in ("kde", "box", "cm"):
        assert (tmp_path / f"{name}.png").stat().st_size > 1000


NO_SYSTEM_FONTS = """
        # a machine without CJK fonts: the font folders look empty
        real_walk = os.walk
        os.walk = lambda top, *a, **k: iter(()) if "font" in str(top).lower() else real_walk(top, *a, **k)
"""


def test_a_plain_install_renders_chinese_without_system_fonts(tmp_path):
    # the fonts the mplfonts dependency ships stand in for missing system fonts
    done = draw_with_stale_cache(NO_SYSTEM_FONTS + f"""
        import warnings
        import numpy as np, pandas as pd
        import brinvale.brinvale
        from brinvale.module.util import report
        from matplotlib import font_manager
        from matplotlib.ft2font import FT2Font
        assert report.cjk_font_files() == [] and report.bundled_font_files()
        fig_texts = []
        real = report._finish
        def keep(fig, path):
            fig.canvas.draw()
            fig_texts.extend(t for ax in fig.axes for t in [ax.title, ax.xaxis.label])
            real(fig, path)
        report._finish = keep
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            report.plot_kde(pd.DataFrame({{"价格": np.arange(40.0)}}), "价格", {str(tmp_path / "k.png")!r})
        missing = [str(w.message) for w in caught if "missing from font" in str(w.message)]
        text = next(t for t in fig_texts if "价格" in t.get_text())
        path = font_manager.findfont(text.get_fontproperties(), fallback_to_default=False)
        charmap = FT2Font(path).get_charmap()
        print("missing", len(missing), "covered", all(ord(c) in charmap for c in "价格"), "font", path)
        """)
    assert done.returncode == 0, done.stderr
    assert "missing 0 covered True" in done.stdout and "mplfonts" in done.stdout
    assert "no CJK font found" not in done.stderr


def test_without_any_cjk_font_the_log_stays_quiet(tmp_path):
    done = draw_with_stale_cache(
        NO_SYSTEM_FONTS + f"""
        import numpy as np, pandas as pd
        import brinvale.brinvale
        from brinvale.module.util import report
        report.bundled_font_files = lambda: []
        assert report.cjk_font_files() == []
        for i in range(3):
            report.plot_kde(pd.DataFrame({{"价格": np.arange(40.0)}}), "价格", {str(tmp_path / "k.png")!r})
        """
    )
    assert done.returncode == 0, done.stderr
    assert "findfont" not in done.stderr
    assert done.stderr.count("no CJK font found") == 1


@needs_cjk_font
def test_every_chinese_character_has_a_glyph(tmp_path):
    frame = pd.DataFrame({"价格": np.arange(30.0)})
    seen = {}

    def keep(fig, path):
        fig.canvas.draw()
        seen["texts"] = [t for ax in fig.axes for t in [ax.title, ax.xaxis.label, ax.yaxis.label]]
        plt.close(fig)

    real = report._finish
    report._finish = keep
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            report.plot_kde(frame, "价格", str(tmp_path / "k.png"))
    finally:
        report._finish = real
    assert not [w for w in caught if "missing from font" in str(w.message)]
    chinese = [t for t in seen["texts"] if any(ord(c) > 0x2E80 for c in t.get_text())]
    assert chinese
    for text in chinese:
        path = font_manager.findfont(text.get_fontproperties(), fallback_to_default=False)
        charmap = FT2Font(path).get_charmap()
        assert all(ord(c) in charmap for c in text.get_text() if ord(c) > 0x2E80), (text.get_text(), path)
