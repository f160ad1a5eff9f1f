"""The researcher's example runs end to end on the stand-ins and draws its plot."""
import os

import matplotlib.image

from conftest import HERE, run_python

SCRIPT = os.path.join(HERE, "..", "..", "examples", "event_study.py")


def test_event_study_writes_its_plot(tmp_path):
    out = run_python(f"import runpy, sys\nsys.argv = ['event_study.py', {str(tmp_path)!r}]\n"
                     f"runpy.run_path({SCRIPT!r}, run_name='__main__')\n").stdout
    png = tmp_path / "event_study.png"
    assert f"plot: {png}" in out and "windows: " in out
    img = matplotlib.image.imread(png)
    # Three panels with lines on them: a wide image with many distinct colours.
    assert img.shape[1] > 2 * img.shape[0] > 600
    assert len({tuple(p) for p in img.reshape(-1, img.shape[2])[::7]}) > 50
