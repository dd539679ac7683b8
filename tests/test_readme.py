"""The README's Python examples run as written."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples_run():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert blocks
    for block in blocks:
        namespace = {}
        exec(compile(block, str(README), "exec"), namespace)
        if "blob" in namespace:
            assert len(namespace["blob"]) == 1035
        if "backend" in namespace:
            top = namespace["backend"].search(namespace["vectors"][0], 3)
            assert top[0].vector_id == "doc-0" and repr(top[0]) == 'SearchResult(vector_id="doc-0", score=1)'
