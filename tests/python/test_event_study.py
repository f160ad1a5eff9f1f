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


def test_event_study_notebook_runs_in_a_kernel():
    nbformat = __import__("nbformat")
    from nbclient import NotebookClient

    path = os.path.join(HERE, "..", "..", "examples", "event_study.ipynb")
    nb = nbformat.read(path, as_version=4)
    NotebookClient(nb, timeout=300, kernel_name="python3",
                   resources={"metadata": {"path": os.path.dirname(path)}}).execute()
    outputs = [o for c in nb.cells if c.cell_type == "code" for o in c.outputs]
    assert not [o for o in outputs if o.output_type == "error"]
    images = [o for o in outputs if "image/png" in o.get("data", {})]
    assert len(images) == 1, [o.output_type for o in outputs]
    assert any("t_stat" in o.get("data", {}).get("text/plain", "") for o in outputs)
